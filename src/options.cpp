// The namespace reads of options.h.
#include "options.h"

#include "raise.h"

namespace numor {

Ref get_item(PyObject *m, PyObject *k) {
    if (PyDict_CheckExact(m)) {
        if (PyObject *v = PyDict_GetItemWithError(m, k)) return Ref::new_ref(v);
        if (!PyErr_Occurred()) raise_with_arg(PyExc_KeyError, k);
        return Ref();
    }
    return Ref::steal(PyObject_GetItem(m, k));
}

int read_option(PyObject *m, PyObject *name, Ref &out) {
    const int r = PyDict_CheckExact(m) ? PyDict_Contains(m, name) : PySequence_Contains(m, name);
    if (r <= 0) return r;
    out = get_item(m, name);
    return out ? 1 : -1;
}

}  // namespace numor
