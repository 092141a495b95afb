// The root enumeration class NUmor: the factory and the instance hooks.
#pragma once

#include "ref.h"

namespace numor {

Ref base_new(PyObject *cls, PyObject *arg, PyObject *args);
Ref base_setattr(PyObject *self, PyObject *attr, PyObject *val);
Ref base_delattr(PyObject *self, PyObject *attr);

}  // namespace numor
