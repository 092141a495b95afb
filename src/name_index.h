// Constant-time positions of names in large member tables (see
// name_index.cpp for why it can never disagree with a scan).
#pragma once

#include "fast_paths.h"
#include "found.h"
#include "ref.h"

namespace numor {

// Tables shorter than this are scanned. The scan compares an interned key
// by address with each name (about three instructions a name), a key built
// at run time by hash as well (about eight); a lookup in the index costs
// about 180 (callgrind, 3.11 to 3.13), which the scan of a key built at run
// time reaches in the middle of a table of about this size.
constexpr Py_ssize_t kIndexFrom = 48;

// Whether a lookup of `key` in `table` goes through the index.
inline bool use_index(PyObject *table, PyObject *key) {
    if (!kFastPaths || !PyTuple_CheckExact(table) || !PyUnicode_CheckExact(key)) return false;
    return PyTuple_GET_SIZE(table) >= kIndexFrom;
}

// The first position of the exact str `key` in `table`, the exact tuple
// that is (or was just read as) `cls._key`, through the index kept for
// `cls`. `unsupported` when the index does not apply (a short table, a key
// or an element that is not an exact str): the caller scans instead.
// An index is made at a table's kBuildAt-th lookup, so that a caller that
// asks once per table (a mutation hook, which makes a table at every
// change) never pays for one, while one that asks the same table again and
// again (`update`, whose hooks meet the table it grew once per member)
// gets it.
Scan indexed_find(PyObject *cls, PyObject *table, PyObject *key, Py_ssize_t *pos);

// Tells that `table` was just made: a lookup count kept at its address was
// a dead tuple's, and is not inherited.
void table_made(PyObject *table);

// Hands over the reference to the entry last used (null if none), which is
// then forgotten.
Ref forget_last_index();

}  // namespace numor
