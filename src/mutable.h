// The metaclass mmNumor of mutable enumerations: hooks that keep the member
// table in step with the class attributes, and the bulk operations.
#pragma once

#include "ref.h"

namespace numor {

Ref mut_update(PyObject *self, PyObject *dct);
Ref mut_clear(PyObject *self);
Ref mut_setattr(PyObject *self, PyObject *attr, PyObject *val);
Ref mut_delattr(PyObject *self, PyObject *attr);
Ref mut_delitem(PyObject *self, PyObject *item);

}  // namespace numor
