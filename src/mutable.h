// The metaclass mmNumor of mutable enumerations: hooks that keep the member
// table in step with the class attributes, and the bulk operations.
#pragma once

#include "ref.h"

namespace numor {

PyObject *mut_update(PyObject *const *a);   // (self, dct)
PyObject *mut_clear(PyObject *const *a);    // (self)
PyObject *mut_setattr(PyObject *const *a);  // (self, attr, val)
PyObject *mut_delattr(PyObject *const *a);  // (self, attr)
PyObject *mut_delitem(PyObject *const *a);  // (self, item)

}  // namespace numor
