// Member ordering (see ordering.cpp).
#pragma once

#include "ref.h"

namespace numor {

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
