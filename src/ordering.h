// Member ordering (see ordering.cpp) and the namespace reads it shares with
// the class creation.
#pragma once

#include "ref.h"

namespace numor {

// `m[k]`; for an exact dict without the protocol's dispatch.
Ref get_item(PyObject *m, PyObject *k);

// Reads an option: `name in m` and, when present, the value into `out` (read
// once for the test; the caller reads it again for use). 1, 0, or -1.
int read_option(PyObject *m, PyObject *name, Ref &out);

// The candidate member names of `mapping`: its keys stripped, keeping those
// that are non-empty and do not start with a digit (nor, when
// `drop_dunder`, with "__"). When `sources` is a dict, each kept name is
// mapped there to the first key that stripped to it. `values`: as for
// order_members, in the order of the names.
Ref collect_candidates(PyObject *mapping, bool drop_dunder, PyObject *sources,
                       Ref *values = nullptr);

// Orders candidate names by the three ordering options of `mapping`. The
// options are read first; the candidates (collect_candidates) are collected
// only afterwards. `values`, when given, receives a list of what
// `mapping[name]` gave for each name, in their order, when they could be
// read along the way: from an exact dict whose kept keys are the names
// themselves, put in order without running Python code. Else it is null.
Ref order_members(PyObject *mapping, bool drop_dunder, PyObject *sources, Ref *values = nullptr);

// Makes the ordering key type, into the module state.
int ordering_init();

}  // namespace numor
