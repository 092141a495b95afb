// The metaclass mNUmor's class creation, `keys` and the member value
// conversion.
#pragma once

#include "caches.h"
#include "exact_types.h"
#include "fast_paths.h"
#include "ref.h"
#include "state.h"

namespace numor {

Ref meta_new(PyObject *cls, PyObject *name, PyObject *bases, PyObject *dct, PyObject *args);
Ref meta_keys(PyObject *self);

// A member value as a class body stores it: a non-empty dict becomes a
// nested enumeration built from a shallow copy, a plain function a class
// method, anything else stays.
Ref convert_value_slow(PyObject *v);
NUMOR_HOT_INLINE Ref convert_value(PyObject *v) {
    // The usual member, an int or a str, is neither a dict nor, while the
    // module's FunctionType is the interpreter's, a function.
    if (kFastPaths && !PyDict_CheckExact(v) && class_is_builtin_type(v) &&
        global_peek(state().names.FunctionType) == reinterpret_cast<PyObject *>(&PyFunction_Type))
        return Ref::new_ref(v);
    return convert_value_slow(v);
}

// Adds the note that names the member whose dict failed to become a nested
// enumeration, and the class (or class name) it belongs to.
void note_nested(PyObject *member, PyObject *owner);

}  // namespace numor
