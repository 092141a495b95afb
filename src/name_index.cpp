// Name positions for large member tables.
//
// Every lookup by name (`E[name]`, `name in E`, `index`, `get`, the mutable
// hooks' "already a member?") is `name in self._key`: a scan of the tuple
// from its start. For a few dozen names the scan is a handful of pointer
// comparisons; for thousands it dominates every lookup and makes iteration
// and bulk update quadratic. So a class whose table is large gets an index:
// a dict from each name to its first position in the table.
//
// The index can never disagree with the scan:
//  * It is keyed by the identity of the exact tuple it was built from and
//    holds a strong reference to it, so that tuple cannot die and its
//    address cannot be reused while the index exists. It is consulted only
//    for that very tuple object, freshly read from `_key` by the caller; a
//    reassigned table is always another tuple object and misses. Tuples are
//    immutable, so what the index says of its tuple stays true.
//  * It is built only when every element is an exact str, and consulted
//    only with an exact str key. Comparing two exact str runs no Python
//    code, so the scan it replaces could have had no side effect, and the
//    first position of an equal name is what both give.
//
// The indexes live in the module state, one per class, in a dict keyed by
// the class's address; each entry holds a weak reference to its class whose
// callback drops the entry, so an index lives no longer than its class and
// nothing is added to the class itself. The entry last used is remembered
// (held), which serves loops over one class without the dict lookup;
// its class is only compared, and its entry is dropped with the class.
#include "name_index.h"

#include "state.h"

namespace numor {

namespace {

// Entry layout: (weakref to the class, the table, its index or None,
// whether the table's names are distinct).
enum { kWeakref, kTable, kIndex, kDistinct, kEntrySize };

// The weak reference callback, bound to the entry's key.
PyObject *drop_entry(PyObject *key, PyObject *) {
    if (!state().name_indexes) Py_RETURN_NONE;
    PyObject *entry = PyDict_GetItemWithError(state().name_indexes, key);
    if (!entry) {
        if (PyErr_Occurred()) return nullptr;
        Py_RETURN_NONE;
    }
    // Held past the deletion: the weak reference running this callback is
    // in the entry.
    Ref hold = Ref::new_ref(entry);
    Ref last;  // released last: it may be this entry
    if (entry == state().last_index_entry) {
        last = Ref::steal(state().last_index_entry);
        state().last_index_entry = nullptr;
        state().last_index_cls = nullptr;
    }
    if (PyDict_DelItem(state().name_indexes, key) < 0) return nullptr;
    Py_RETURN_NONE;
}

// Forgets the entry last used, handing over its reference: the caller
// releases it once its step is done (releasing may run finalisers).
Ref take_last() {
    Ref old = Ref::steal(state().last_index_entry);
    state().last_index_entry = nullptr;
    state().last_index_cls = nullptr;
    return old;
}

PyMethodDef drop_entry_def = {"drop_index", drop_entry, METH_O, nullptr};

// A dict from each element of the exact tuple `table` to its first
// position; None when an element is not an exact str. `distinct` tells
// whether no name is repeated.
Ref build_index(PyObject *table, bool &distinct) {
    const Py_ssize_t n = PyTuple_GET_SIZE(table);
    distinct = false;
    for (Py_ssize_t i = 0; i < n; ++i)
        if (!PyUnicode_CheckExact(PyTuple_GET_ITEM(table, i))) return Ref::new_ref(Py_None);
    Ref index = Ref::steal(PyDict_New());
    if (!index) return index;
    distinct = true;
    for (Py_ssize_t i = 0; i < n; ++i) {
        Ref pos = Ref::steal(PyLong_FromSsize_t(i));
        if (!pos) return Ref();
        PyObject *first = PyDict_SetDefault(index.get(), PyTuple_GET_ITEM(table, i), pos.get());
        if (!first) return Ref();
        if (first != pos.get()) distinct = false;
    }
    return index;
}

// Builds the index of `table` and files it as the entry of `cls`. Null
// with no error set when `cls` cannot be weakly referenced. `dropped`
// receives the entry last used, for the caller to release.
Ref install(PyObject *cls, Ref key, PyObject *table, Ref &dropped) {
    bool distinct;
    Ref index = build_index(table, distinct);
    if (!index) return nullptr;
    // Building allocates, and a collection it triggers may run finalisers
    // that use or drop indexes: read the old entry only now.
    PyObject *old = PyDict_GetItemWithError(state().name_indexes, key.get());
    if (!old && PyErr_Occurred()) return nullptr;
    Ref wr;
    if (old) {
        wr = Ref::new_ref(PyTuple_GET_ITEM(old, kWeakref));
    } else {
        Ref callback = Ref::steal(PyCFunction_New(&drop_entry_def, key.get()));
        if (!callback) return nullptr;
        wr = Ref::steal(PyWeakref_NewRef(cls, callback.get()));
        if (!wr) {
            if (!PyErr_ExceptionMatches(PyExc_TypeError)) return nullptr;
            PyErr_Clear();
            return nullptr;
        }
    }
    Ref entry = Ref::steal(
        PyTuple_Pack(kEntrySize, wr.get(), table, index.get(), distinct ? Py_True : Py_False));
    if (!entry) return nullptr;
    dropped = take_last();
    if (PyDict_SetItem(state().name_indexes, key.get(), entry.get()) < 0) return nullptr;
    return entry;
}

// An index costs about as much to build as a few dozen scans of its table,
// and a mutable class makes a new table at every change. So a table gets
// its index only at its kBuildAt-th lookup: a table looked up once or
// twice between changes is only ever scanned, and a loop of lookups pays
// at most a few dozen scans before the index serves it. The lookups are
// counted for the few tables used last, by address only (the tuple is
// never read through it; a new tuple at a dead one's address merely
// inherits its count, unless its maker says it is new: the mutation hooks,
// which free a table and make one at every change, would otherwise find
// each new table past the count and pay a build for it).
constexpr int kBuildAt = 16;
struct LookupCount {
    PyObject *table;
    int lookups;
};
LookupCount lookup_counts[4];
unsigned int lookup_next = 0;

bool worth_indexing(PyObject *table) {
    for (LookupCount &c : lookup_counts) {
        if (c.table == table) return ++c.lookups >= kBuildAt;
    }
    lookup_counts[lookup_next++ % 4] = LookupCount{table, 1};
    return false;
}

}  // namespace

Ref forget_last_index() { return take_last(); }

void table_made(PyObject *table) {
    for (LookupCount &c : lookup_counts)
        if (c.table == table) c = LookupCount{nullptr, 0};
}

Scan indexed_find(PyObject *cls, PyObject *table, PyObject *key, Py_ssize_t *pos) {
    Ref dropped[2], held;  // declared first, so released last
    // Only classes: their weak references tie the index to their life.
    if (!use_index(table, key) || !PyType_Check(cls)) return Scan::unsupported;
    PyObject *entry = nullptr;
    if (cls == state().last_index_cls && state().last_index_entry &&
        PyTuple_GET_ITEM(state().last_index_entry, kTable) == table) {
        entry = state().last_index_entry;
    } else {
        // An index already made for this very table serves at once; only
        // making one waits for the table's kBuildAt-th lookup.
        if (!state().name_indexes && !(state().name_indexes = PyDict_New())) return Scan::error;
        Ref key_ref = Ref::steal(PyLong_FromVoidPtr(cls));
        if (!key_ref) return Scan::error;
        held = Ref::new_ref(PyDict_GetItemWithError(state().name_indexes, key_ref.get()));
        if (!held && PyErr_Occurred()) return Scan::error;
        if (!held || PyTuple_GET_ITEM(held.get(), kTable) != table) {
            if (!worth_indexing(table)) return Scan::unsupported;
            Ref hold = Ref::new_ref(table);
            held = install(cls, std::move(key_ref), table, dropped[0]);
            if (!held) return PyErr_Occurred() ? Scan::error : Scan::unsupported;
        }
        entry = held.get();
        // The entry last used is held; the one it replaces is released
        // only once this lookup is answered.
        dropped[1] = take_last();
        state().last_index_cls = cls;
        state().last_index_entry = Py_NewRef(entry);
        state().last_index_pos = -1;
    }
    PyObject *index = PyTuple_GET_ITEM(entry, kIndex);
    if (index == Py_None) return Scan::unsupported;
    // Loops over the names in table order (`dict(E)`, `for k in E.keys()`)
    // ask for the name after the last one found: in a table of distinct
    // names, finding that very object there answers without the index.
    const Py_ssize_t next = state().last_index_pos + 1;
    if (PyTuple_GET_ITEM(entry, kDistinct) == Py_True && next < PyTuple_GET_SIZE(table) &&
        PyTuple_GET_ITEM(table, next) == key) {
        *pos = state().last_index_pos = next;
        return Scan::hit;
    }
    // Exact str keys in a dict of exact str keys: no Python code runs.
    PyObject *p = PyDict_GetItemWithError(index, key);
    if (!p) return PyErr_Occurred() ? Scan::error : Scan::miss;
    *pos = state().last_index_pos = PyLong_AsSsize_t(p);
    return Scan::hit;
}

}  // namespace numor
