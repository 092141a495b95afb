// The root enumeration class NUmor: the factory and the instance hooks.
#pragma once

#include "ref.h"

namespace numor {

PyObject *base_new(PyObject *const *a);      // (cls, *arg, **args)
PyObject *base_setattr(PyObject *const *a);  // (self, attr, val)
PyObject *base_delattr(PyObject *const *a);  // (self, attr)

}  // namespace numor
