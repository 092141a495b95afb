// Constant-time positions of names in large member tables (see
// name_index.cpp for why it can never disagree with a scan).
#pragma once

#include "ref.h"

namespace numor {

enum class Scan { hit, miss, unsupported, error };

// Tables shorter than this are scanned: a few pointer comparisons beat a
// hash lookup.
constexpr Py_ssize_t kIndexFrom = 48;

// The first position of the exact str `key` in `table`, the exact tuple
// that is (or was just read as) `cls._key`, through the index kept for
// `cls`. `unsupported` when the index does not apply (a short table, a key
// or an element that is not an exact str): the caller scans instead.
Scan indexed_find(PyObject *cls, PyObject *table, PyObject *key, Py_ssize_t *pos);

}  // namespace numor
