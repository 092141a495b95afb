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

// Whether the module's FunctionType is the interpreter's: then the usual
// member, an int or a str, is neither a dict nor a function, and stays.
// True until Python code runs.
NUMOR_HOT_INLINE bool plain_function_type() {
    return kFastPaths &&
           global_peek(state().names.FunctionType) == reinterpret_cast<PyObject *>(&PyFunction_Type);
}
// Whether `v` stays as it is, known without running Python code.
NUMOR_HOT_INLINE bool stays_as_is(PyObject *v, bool plain_ft) {
    return plain_ft && !PyDict_CheckExact(v) && class_is_builtin_type(v);
}
NUMOR_HOT_INLINE Ref convert_value(PyObject *v) {
    return stays_as_is(v, plain_function_type()) ? Ref::new_ref(v) : convert_value_slow(v);
}

// Adds the note that names the member whose dict failed to become a nested
// enumeration, and the class (or class name) it belongs to.
void note_nested(PyObject *member, PyObject *owner);

}  // namespace numor
