// Pickling of enumeration classes.
#pragma once

#include "ref.h"

namespace numor {

// Registers the reducer of enumeration classes with copyreg for each given
// metaclass. 0, or -1 with an error set.
int register_pickling(PyObject *const *metaclasses, Py_ssize_t n);

}  // namespace numor
