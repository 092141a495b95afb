// The member iterator, what `iter(E)` returns (see member_iter.cpp).
#pragma once

#include "ref.h"

namespace numor {

Ref meta_iter(PyObject *self);

// Makes the iterator type, into the module state, and registers it as a
// collections.abc.Generator.
int member_iter_init();

}  // namespace numor
