// Small helpers shared by the method bodies: interpreter operations with
// exact-type fast paths that give the same result as the generic operation
// (they only skip work that cannot run Python code), plus the lookup of
// module-level names.
#pragma once

#include "compat.h"
#include "name_index.h"
#include "state.h"

namespace numor {

// Module-level names are read from the module dict at every use, but the
// read is skipped when the dict provably has not changed since the last
// one, so the same object would come back: on 3.11 the dict's version tag
// changes at every modification; from 3.12 (where reading it is
// deprecated) a dict watcher counts the modifications instead.
struct GlobalCache {
    PyObject *name = nullptr;
    uint64_t stamp = 0;
    PyObject *value = nullptr;  // borrowed: the unchanged dict holds it
};
// Direct-mapped by the name's address: the few names are made together at
// import and land in different entries; a clash only costs a dict read.
constexpr size_t kGlobalCacheSize = 16;
extern GlobalCache global_cache[kGlobalCacheSize];
inline GlobalCache &global_cache_entry(PyObject *name) {
    return global_cache[(reinterpret_cast<uintptr_t>(name) >> 4) % kGlobalCacheSize];
}
// 0 when modifications cannot be noticed.
inline uint64_t moddict_stamp() {
#if NUMOR_DICT_WATCHERS
    return state().moddict_watched ? state().moddict_epoch : 0;
#else
    return compat::dict_version(state().moddict);
#endif
}

Ref global_slow(PyObject *name);

// Looks a module-level name up as Python code does: the module dict, then
// the builtins, else NameError.
inline Ref global(PyObject *name) {
    const GlobalCache &c = global_cache_entry(name);
    if (c.name == name && state().moddict) {
        const uint64_t now = moddict_stamp();
        if (now && c.stamp == now) return Ref::new_ref(c.value);
    }
    return global_slow(name);
}

// `name` starts with "__" (an exact str).
inline bool starts_with_dunder(PyObject *name);

// Character `i` of the exact str `s` (which has more than `i`).
inline Py_UCS4 char_at(PyObject *s, Py_ssize_t i) {
    if (PyUnicode_IS_COMPACT_ASCII(s))
        return reinterpret_cast<const unsigned char *>(reinterpret_cast<PyASCIIObject *>(s) + 1)[i];
    return PyUnicode_READ_CHAR(s, i);
}

inline bool starts_with_dunder(PyObject *name) {
    return PyUnicode_GET_LENGTH(name) >= 2 && char_at(name, 0) == '_' && char_at(name, 1) == '_';
}

// `type(obj) == target`, as Python evaluates it (a metaclass may define ==).
// 1 true, 0 false, -1 error.
int type_equals_slow(PyObject *t, PyObject *target);
inline int type_equals(PyObject *obj, PyObject *target) {
    PyObject *t = reinterpret_cast<PyObject *>(Py_TYPE(obj));
    if (t == target) return 1;
    // Two classes whose metaclass is plain `type` compare by identity.
    if (Py_IS_TYPE(t, &PyType_Type) && Py_IS_TYPE(target, &PyType_Type)) return 0;
    return type_equals_slow(t, target);
}

// `key.strip()`; an exact str with nothing to strip is returned as is, which
// is what str.strip does.
Ref strip(PyObject *key);

// `x[0] == "_"` (op Py_EQ) or `x[0] != "_"` (op Py_NE). 1, 0, or -1 on error.
int first_char_is_underscore_slow(PyObject *x, int op);
inline int first_char_is_underscore(PyObject *x, int op) {
    if (PyUnicode_CheckExact(x) && PyUnicode_GET_LENGTH(x) > 0) {
        const bool under = char_at(x, 0) == '_';
        return op == Py_EQ ? under : !under;
    }
    return first_char_is_underscore_slow(x, op);
}

// `x.find(prefix) == 0` where prefix is "_" or "__". 1, 0, or -1.
int starts_with(PyObject *x, PyObject *prefix);

// Position of the first item of the tuple `tup` equal to `key` (compared
// `item == key`, as tuple membership and tuple.index do), -1 when there is
// none, -2 on error.
Py_ssize_t tuple_find(PyObject *tup, PyObject *key);

// `key in seq` for whatever object `seq` is, with fast paths for an exact
// tuple and (for an exact str key) an exact list.
int contains_any(PyObject *seq, PyObject *key);

// The first position among `items[0..n)` of an item equal to the exact str
// `key`, while the items are exact str too: comparing two of them runs no
// Python code, so the array cannot change under the scan and needs no
// references. Member names are nearly always interned (class-body
// identifiers are), so identity decides most items: two distinct interned
// strings are never equal. -1 when there is none; -3 when an item that is
// not an exact str is met (the caller then compares generically from the
// start: the skipped comparisons had no side effects).
Py_ssize_t str_scan(PyObject *const *items, Py_ssize_t n, PyObject *key);

// contains_any, with the scan of a member table for a name inline.
inline int contains(PyObject *seq, PyObject *key) {
    if (PyTuple_CheckExact(seq) && PyUnicode_CheckExact(key)) {
        const Py_ssize_t i = str_scan(&PyTuple_GET_ITEM(seq, 0), PyTuple_GET_SIZE(seq), key);
        if (i != -3) return i >= 0;
    }
    return contains_any(seq, key);
}

// `key in table`, where `table` was just read as `cls._key`: through the
// class's name index when the table is large.
inline int member_contains(PyObject *cls, PyObject *table, PyObject *key) {
    if (use_index(table, key)) {
        Py_ssize_t pos;
        switch (indexed_find(cls, table, key, &pos)) {
            case Scan::hit: return 1;
            case Scan::miss: return 0;
            case Scan::error: return -1;
            case Scan::unsupported: break;
        }
    }
    return contains(table, key);
}

// 0 is never a valid tag; the interpreter resets a changed type's tag to 0
// (3.13 no longer keeps Py_TPFLAGS_VALID_VERSION_TAG in step).
inline bool has_valid_version_tag(PyTypeObject *t) { return t->tp_version_tag != 0; }

// `key in table`, where `table` was just read as `cls._key`, giving in
// `name` what to read the member's value by: for an exact str key, the
// exact str element equal to it, which is usually interned and so hits the
// interpreter's attribute cache where a key built at run time would miss;
// the two name the same attribute. Otherwise the key itself. 1 found, 0
// not, -1 error.
int find_member(PyObject *cls, PyObject *table, PyObject *key, Ref &name);

// `seq.index(key)`: the method is looked up by name unless `seq` is an
// exact tuple, whose index cannot be overridden.
Ref index_of(PyObject *seq, PyObject *key);

// index_of for `table` just read as `cls._key`, through the class's name
// index when the table is large.
Ref member_index_of(PyObject *cls, PyObject *table, PyObject *key);

// Raises `exc(arg)` with `arg` as the single argument, whatever it is (a
// tuple argument is not spread into several).
void raise_with_arg(PyObject *exc, PyObject *arg);

// `isinstance(obj, type)` and `isinstance(obj, (a, b))` for builtin types.
// The C subtype test answers unless `obj` may claim another class through
// `__class__` (mocks, lazy proxies); then the interpreter's isinstance
// decides. 1, 0, or -1 on error.
int is_instance(PyObject *obj, PyTypeObject *type);
int is_instance(PyObject *obj, PyTypeObject *a, PyTypeObject *b);

// `next(it)` for loops over user-supplied iterables: null when finished (no
// error set) or failed. Every so many items it first lets other threads
// run and runs pending signal handlers, so that endless input
// (`itertools.cycle`) blocks no thread and ends with the KeyboardInterrupt
// or the alarm handler's exception.
Ref next_item(PyObject *it);

// The last `_key` found as a plain class attribute, with the version tags
// of its class and metaclass at that moment: while neither tag changes,
// the lookup would find the same object again (the interpreter's own
// attribute cache relies on this), and the class's dict still holds it.
struct KeyMemo {
    PyObject *cls = nullptr;
    unsigned int cls_tag = 0;
    PyTypeObject *meta = nullptr;
    unsigned int meta_tag = 0;
    PyObject *value = nullptr;
};
extern KeyMemo key_memo;
Ref get_key_slow(PyObject *cls);

// Reads `obj._key`.
inline Ref get_key(PyObject *obj) {
    const KeyMemo &m = key_memo;
    if (obj == m.cls && Py_TYPE(obj) == m.meta && m.meta_tag == m.meta->tp_version_tag &&
        m.cls_tag == reinterpret_cast<PyTypeObject *>(obj)->tp_version_tag)
        return Ref::new_ref(m.value);
    return get_key_slow(obj);
}

// Calls a module-level name with positional arguments.
Ref call_global(PyObject *name, PyObject *const *args, Py_ssize_t nargs);

// A type made from `spec`, for the module state. The rows of its member
// table that tell the interpreter where an instance keeps its vectorcall
// pointer, dict and weak references are the only way a spec can say so, but
// they also become attributes; these are removed, since reading one would
// return a code address or an internal offset.
Ref make_heap_type(PyType_Spec &spec);

// The small int 0, shared.
PyObject *zero();

}  // namespace numor
