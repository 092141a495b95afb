// The search of a member table (`key in cls._key`, `cls._key.index(key)`)
// by whatever the table is: inline scans of exact str items, the name index
// of large tables, and the generic comparison for everything else.
#pragma once

#include "caches.h"
#include "compat.h"
#include "exact_types.h"
#include "fast_paths.h"
#include "found.h"
#include "name_index.h"
#include "ref.h"

namespace numor {

// Where a name is among the items `items[0..n)`, while they are exact str
// and `key` is one too: comparing two of them runs no Python code, so the
// array cannot change under the scan and needs no references. Member names
// are nearly always interned (class-body identifiers are), so identity
// decides most items: two distinct interned strings are never equal. `hit`
// sets `pos` to the first equal item; `unsupported` when an item that is not
// an exact str is met (the caller then compares generically from the start:
// the skipped comparisons had no side effects). Never `error`.
Scan str_scan(PyObject *const *items, Py_ssize_t n, PyObject *key, Py_ssize_t &pos);

// The first position of the exact str `key` in the table the `_key` memo
// holds, which has hashed_strs: through the memo's slots, by hash. -1 when
// it is not there.
NUMOR_HOT_INLINE Py_ssize_t memo_position(PyObject *key) {
    const KeyMemo &m = key_memo;
    Py_hash_t kh = compat::str_hash(key);
    if (kh == -1) kh = PyObject_Hash(key);  // an exact str: no code, no failure
    PyObject *const *items = &PyTuple_GET_ITEM(m.value.get(), 0);
    constexpr size_t mask = KeyMemo::kSlots - 1;
    for (size_t s = static_cast<size_t>(kh) & mask;; s = (s + 1) & mask) {
        const int p = m.slots[s];
        if (!p) return -1;  // a short table leaves slots empty
        PyObject *item = items[p - 1];
        if (item == key || (compat::str_hash(item) == kh && same_chars(item, key))) return p - 1;
    }
}

// `cls[key]` for an exact str `key` naming a member whose value the `_key`
// memo holds (KeyMemo::values), as the lookup steps would give it:
// borrowed, and to be taken before anything else runs. Else null, and the
// steps are to be taken.
NUMOR_HOT_INLINE PyObject *member_peek(PyObject *cls, PyObject *key) {
    if (!kFastPaths || !PyUnicode_CheckExact(key) || !key_peek(cls)) return nullptr;
    PyObject *values = key_memo.values.get();
    if (!values) return nullptr;
    PyObject *v;
    if (key_memo.hashed_strs) {
        const Py_ssize_t i = memo_position(key);
        if (i < 0) return nullptr;
        v = PyTuple_GET_ITEM(values, i);
    } else {
        const Py_hash_t kh = compat::str_hash(key);
        if (kh == -1) return nullptr;  // a key never hashed was never recorded
        const Py_ssize_t at = 2 * static_cast<Py_ssize_t>(kh & (KeyMemo::kRecent - 1));
        PyObject *name = PyTuple_GET_ITEM(values, at);
        if (!name || (name != key && (compat::str_hash(name) != kh || !same_chars(name, key))))
            return nullptr;
        v = PyTuple_GET_ITEM(values, at + 1);
    }
    if (!v || Py_TYPE(v)->tp_descr_get) return nullptr;
    return v;
}

// The answer of a str_scan of `n` items for `key`, when the scan could give
// one (`pos`, when given, receives the position of a hit).
inline bool scan_answers(PyObject *const *items, Py_ssize_t n, PyObject *key, Py_ssize_t *pos,
                         Found &out) {
    Py_ssize_t i = -1;
    switch (str_scan(items, n, key, i)) {
        case Scan::hit:
            if (pos) *pos = i;
            out = Found::yes;
            return true;
        case Scan::miss:
            out = Found::no;
            return true;
        case Scan::unsupported:
        case Scan::error: break;
    }
    return false;
}

Found find_name_slow(PyObject *seq, PyObject *key, Py_ssize_t *pos);

// `key in seq` for whatever object `seq` is. For an exact tuple or list,
// `pos` (when given) receives the position of the first item equal to
// `key` (compared `item == key`, as membership and `index` do); for other
// sequences the position is not known and is set to -1. The scan of an
// exact tuple for an exact str, the member table's usual case, is inline.
inline Found find_name(PyObject *seq, PyObject *key, Py_ssize_t *pos = nullptr) {
    Found out;
    if (!kFastPaths) {
        if (pos) *pos = -1;
        return found_from(PySequence_Contains(seq, key));
    }
    if (PyTuple_CheckExact(seq) && PyUnicode_CheckExact(key)) {
        if (key_memo.hashed_strs && seq == key_memo.value.get()) {
            // The memo holds `seq`, so the pointers' equality is identity.
            const Py_ssize_t i = memo_position(key);
            if (i < 0) return Found::no;
            if (pos) *pos = i;
            return Found::yes;
        }
        if (scan_answers(&PyTuple_GET_ITEM(seq, 0), PyTuple_GET_SIZE(seq), key, pos, out))
            return out;
    }
    return find_name_slow(seq, key, pos);
}

// `key in table`, where `table` was just read as `cls._key`: through the
// class's name index when the table is large. `pos` as for find_name.
inline Found member_find(PyObject *cls, PyObject *table, PyObject *key,
                         Py_ssize_t *pos = nullptr) {
    if (use_index(table, key)) {
        Py_ssize_t i = -1;
        switch (indexed_find(cls, table, key, &i)) {
            case Scan::hit:
                if (pos) *pos = i;
                return Found::yes;
            case Scan::miss: return Found::no;
            case Scan::error: return Found::error;
            case Scan::unsupported: break;
        }
    }
    return find_name(table, key, pos);
}

// The length of a member table: `len(table)`.
inline Py_ssize_t table_length(PyObject *table) {
    if (kFastPaths && PyTuple_CheckExact(table)) return PyTuple_GET_SIZE(table);
    return PyObject_Length(table);
}

// `key in table`, where `table` was just read as `cls._key`, giving in
// `name` what to read the member's value by: for an exact str key, the
// exact str element equal to it, which is usually interned and so hits the
// interpreter's attribute cache where a key built at run time would miss;
// the two name the same attribute. Otherwise the key itself. Borrowed:
// the caller holds both the table and the key. `pos` as for find_name.
Found find_member(PyObject *cls, PyObject *table, PyObject *key, PyObject *&name,
                  Py_ssize_t &pos);

// `table.index(key)` for `table` just read as `cls._key`: the method is
// looked up by name unless `table` is an exact tuple, whose index cannot
// be overridden and is the position member_find gives.
Ref member_index_of(PyObject *cls, PyObject *table, PyObject *key);

}  // namespace numor
