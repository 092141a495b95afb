// make_heap_type of heap_type.h.
#include "heap_type.h"

namespace numor {

Ref make_heap_type(PyType_Spec &shape) {
    Ref t = Ref::steal(PyType_FromSpec(&shape));
    if (!t) return t;
    PyObject *dict = reinterpret_cast<PyTypeObject *>(t.get())->tp_dict;
    for (const char *name : {"__vectorcalloffset__", "__dictoffset__", "__weaklistoffset__"}) {
        Ref key = Ref::steal(PyUnicode_InternFromString(name));
        if (!key) return Ref();
        const int has = PyDict_Contains(dict, key.get());
        if (has < 0 || (has && PyDict_DelItem(dict, key.get()) < 0)) return Ref();
    }
    PyType_Modified(reinterpret_cast<PyTypeObject *>(t.get()));
    return t;
}

}  // namespace numor
