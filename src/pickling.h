// Pickling of enumeration classes.
#pragma once

#include "ref.h"

namespace numor {

// Registers the reducer of enumeration classes with copyreg for each given
// metaclass. 0, or -1 with an error set.
int register_pickling(PyObject *const *metaclasses, Py_ssize_t n);

// Registers the reducer for the metaclass of the class `cls`, just made,
// when that metaclass derives from one registered with it and pickle could
// find it by its name. Never fails: when copyreg cannot be read, nothing is
// registered.
void register_metaclass_of(PyObject *cls);

}  // namespace numor
