// The module's own types, made from specs at import.
#pragma once

#include "ref.h"

namespace numor {

// A type made from the PyType_Spec `shape`, for the module state. The rows
// of its member table that tell the interpreter where an instance keeps its
// vectorcall pointer, dict and weak references are the only way a
// PyType_Spec can say so, but
// they also become attributes; these are removed, since reading one would
// return a code address or an internal offset.
Ref make_heap_type(PyType_Spec &shape);

}  // namespace numor
