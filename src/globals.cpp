// Calls of module-level names.
#include "globals.h"

namespace numor {

Ref call_global(PyObject *name, PyObject *const *args, Py_ssize_t nargs) {
    Ref fn = global(name);
    if (!fn) return fn;
    return Ref::steal(PyObject_Vectorcall(fn.get(), args, static_cast<size_t>(nargs), nullptr));
}

}  // namespace numor
