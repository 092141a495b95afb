// Module-level names, read from the module dict at each use (the module
// global record of caches.h says when a read can be skipped).
#pragma once

#include "caches.h"
#include "fast_paths.h"
#include "ref.h"
#include "state.h"

namespace numor {

// Whether `type(key) == mNUmor` can be told without running Python code
// (the answer then in `is`): while the module's `mNUmor` provably is the
// class it was, and both it and key's type have plain `type` as their
// metaclass, equality is identity.
NUMOR_HOT_INLINE bool meta_instance_known(PyObject *key, bool &is) {
    is = false;
    if (!kFastPaths) return false;
    PyObject *meta = global_peek(state().names.mNUmor);
    const bool known =
        meta && Py_IS_TYPE(meta, &PyType_Type) && Py_IS_TYPE(Py_TYPE(key), &PyType_Type);
    is = known && reinterpret_cast<PyObject *>(Py_TYPE(key)) == meta;
    return known;
}

// Calls a module-level name with positional arguments.
Ref call_global(PyObject *name, PyObject *const *args, Py_ssize_t nargs);

}  // namespace numor
