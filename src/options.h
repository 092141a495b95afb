// Reads from a class namespace or any mapping given in its place: items,
// and the options the class body may set.
#pragma once

#include "ref.h"

namespace numor {

// `m[k]`; for an exact dict without the protocol's dispatch.
Ref get_item(PyObject *m, PyObject *k);

// Reads an option: `name in m` and, when present, the value into `out` (read
// once for the test; the caller reads it again for use). 1, 0, or -1.
int read_option(PyObject *m, PyObject *name, Ref &out);

}  // namespace numor
