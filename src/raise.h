// Raising an exception with one argument, whatever it is.
#pragma once

#include "ref.h"

namespace numor {

// Raises `exc(arg)` with `arg` as the single argument, whatever it is (a
// tuple argument is not spread into several).
inline void raise_with_arg(PyObject *exc, PyObject *arg) {
    PyObject *e = PyObject_CallOneArg(exc, arg);
    if (!e) return;
    PyErr_SetObject(exc, e);
    Py_DECREF(e);
}

}  // namespace numor
