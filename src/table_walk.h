// The inline steps of a walk over a large table in table order (record 8
// of caches.h): the next name's position, its value, and the whole
// subscription of it when nothing in it can run Python code.
#pragma once

#include "caches.h"
#include "exact_types.h"
#include "fast_paths.h"
#include "globals.h"
#include "mirrors.h"
#include "ref.h"

namespace numor {

// walk_read's usual step, the name right after the last one read, inline:
// the same value, or null with nothing changed (walk_read then decides).
NUMOR_HOT_INLINE PyObject *walk_step(PyObject *cls, Py_ssize_t pos, PyObject *name) {
    MemberWalk &w = member_walk;
    // str_keys is told after the names (walk_read): `dunders` is known.
    if (key_memo.str_keys <= 0 || w.entry < 0 || pos != w.pos + 1 ||
        (key_memo.dunders && starts_with_dunder(name)))
        return nullptr;
    Py_ssize_t at = w.entry;
    PyObject *k, *v;
    if (!PyDict_Next(reinterpret_cast<PyTypeObject *>(cls)->tp_dict, &at, &k, &v) || k != name ||
        Py_TYPE(v)->tp_descr_get)
        return nullptr;
    w.pos = pos;
    w.entry = at;
    return v;
}

// The position of `key` in the memo's large table when it is the very
// name that follows the one read last, past underscore names (which
// keys() leaves out), and that table is `cls._key`: dict(E) asks for the
// names of E.keys() in this order. The names compared are held by the
// memo's table.
NUMOR_HOT_INLINE bool walk_position(PyObject *cls, PyObject *key, Py_ssize_t &pos) {
    if (!kFastPaths || key_memo.hashed_strs || !key_memo.value) return false;
    PyObject *table = key_memo.value.get();
    const Py_ssize_t n = PyTuple_GET_SIZE(table);
    if (n < kManyMembers) return false;
    PyObject *const *items = &PyTuple_GET_ITEM(table, 0);
    const Py_ssize_t last = member_walk.pos;
    for (Py_ssize_t i = last + 1; i < n && i <= last + kWalkSkip; ++i) {
        PyObject *item = items[i];
        if (item == key) {
            pos = i;
            return key_peek(cls) == table;
        }
        if (!PyUnicode_CheckExact(item) || PyUnicode_GET_LENGTH(item) == 0 ||
            char_at(item, 0) != '_')
            return false;
    }
    return false;
}

// `cls[key]` when `key` is the name right after the one read last of the
// memo's large table, and walk_step has its value: the steps of the
// subscription for an exact str key (`type(key) == mNUmor` is false, `key`
// is in `_key`, the member read) when none of them runs Python code.
// Borrowed, to be taken at once; else null, nothing changed.
NUMOR_HOT_INLINE PyObject *walk_peek(PyObject *cls, PyObject *key) {
    if (!kFastPaths || key_memo.str_keys <= 0 || !PyUnicode_CheckExact(key)) return nullptr;
    PyObject *table = key_memo.value.get();
    const Py_ssize_t pos = member_walk.pos + 1;
    if (pos >= PyTuple_GET_SIZE(table) || PyTuple_GET_ITEM(table, pos) != key) return nullptr;
    bool is_meta;
    if (!meta_instance_known(key, is_meta) || is_meta || key_peek(cls) != table) return nullptr;
    return walk_step(cls, pos, key);
}

}  // namespace numor
