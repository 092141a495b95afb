// The metaclass mNUmor's class creation, `keys` and the member value
// conversion.
#pragma once

#include "ref.h"

namespace numor {

Ref meta_new(PyObject *cls, PyObject *name, PyObject *bases, PyObject *dct, PyObject *args);
Ref meta_keys(PyObject *self);

// A member value as a class body stores it: a non-empty dict becomes a
// nested enumeration built from a shallow copy, a plain function a class
// method, anything else stays.
Ref convert_value(PyObject *v);

// Adds the note that names the member whose dict failed to become a nested
// enumeration, and the class (or class name) it belongs to.
void note_nested(PyObject *member, PyObject *owner);

}  // namespace numor
