// The metaclass mNUmor's class creation, `keys`, the member ordering and the
// member value conversion.
#pragma once

#include "ref.h"

namespace numor {

PyObject *meta_new(PyObject *const *a);   // (cls, name, bases, dct, **args)
PyObject *meta_keys(PyObject *const *a);  // (self)

// The candidate member names of `mapping`: its keys stripped, keeping those
// that are non-empty and do not start with a digit (nor, when
// `drop_dunder`, with "__"). When `sources` is a dict, each kept name is
// mapped there to the first key that stripped to it.
Ref collect_candidates(PyObject *mapping, bool drop_dunder, PyObject *sources);

// Orders candidate names by the three ordering options of `mapping`. The
// options are read first; the candidates (collect_candidates) are collected
// only afterwards.
Ref order_members(PyObject *mapping, bool drop_dunder, PyObject *sources);

// A member value as a class body stores it: a non-empty dict becomes a
// nested enumeration built from a shallow copy, a plain function a class
// method, anything else stays.
Ref convert_value(PyObject *v);

// Adds the note that names the member whose dict failed to become a nested
// enumeration, and the class (or class name) it belongs to.
void note_nested(PyObject *member, PyObject *owner);

int construction_ready();

}  // namespace numor
