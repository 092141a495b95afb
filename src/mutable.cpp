// Mutable enumerations.
//
// Every change to a mutable enumeration class passes through the hooks of
// its metaclass: the interpreter's own class attribute assignment or
// deletion runs first (with its checks and errors), then `_key` is rebuilt
// as a new tuple through ordinary attribute access, so a derived metaclass
// that overrides a hook sees every step, including the reassignments of
// `_key` made by `update` and `clear`.
//
// A change that fails part-way (a refused assignment, MemoryError, an
// exception from a derived metaclass's hook) is rolled back before its error
// propagates: the attributes it changed get their old values back, the new
// ones are removed, and `_key` is put back, so that every name in `_key`
// keeps its attribute and the class is either as it was or fully changed.
// The rollback uses type's own attribute slot, not the hooks: they may be
// what failed.
//
// With the fast paths on, the hooks take their steps with fewer calls, each
// left out only where its result is known:
//  * `self._key` is read as type's attribute lookup finds it (a plain value
//    of the class's own dict, mirrors.h), and read once: what comes between
//    the reads the steps make (a membership scan of exact strs, a test of
//    the first character) runs no Python code, so a second read finds the
//    same object.
//  * The new table is made directly: for an exact tuple `t`, `t + (attr,)`
//    and `t[:i] + t[i + 1:]` are new tuples of those items however made.
//  * When the metaclass facts (caches.h) say that the assignment of the new
//    table reaches this module's own `__setattr__`, its steps are taken here,
//    without the dispatch and without saving again what the change that
//    made the table has saved: that change's rollback covers them.
//  * What a change saves is read from the class's own dict when no data
//    descriptor of the metaclass can serve the name.
//  * After a store that provably ran no Python code (quiet_store: every key
//    of the class's dict an exact str, so no key comparison runs code, and
//    the value replaced held by the change), `self._key` is not read again:
//    it is the table read before the store, or the table just stored. Such
//    a store is made by type's own steps (mirrors.h, type_store), without
//    the lookup on the metaclass whose result the facts already give.
#include "mutable.h"

#include "caches.h"
#include "compat.h"
#include "construction.h"
#include "exact_types.h"
#include "function.h"
#include "member_search.h"
#include "mirrors.h"
#include "name_index.h"
#include "ordering.h"
#include "state.h"
#include "walk.h"

namespace numor {

namespace {

// type.__setattr__(self, attr, val), or type.__delattr__(self, attr) when
// `val` is null. `quiet`: quiet_store said so before, and for a deletion
// the class's dict holds `attr`; its steps are then taken here.
int type_setattr(PyObject *self, PyObject *attr, PyObject *val, bool quiet = false) {
    if (quiet && PyUnicode_CHECK_INTERNED(attr) &&
        !PyType_HasFeature(reinterpret_cast<PyTypeObject *>(self), Py_TPFLAGS_IMMUTABLETYPE)) {
        if (type_store(self, attr, val) == 0) return 0;
        PyErr_Clear();  // the dict is as it was: the real call reports it
    }
    if (direct_setattr_ok(self)) return PyType_Type.tp_setattro(self, attr, val);
    PyObject *args[3] = {self, attr, val};
    Ref r = Ref::steal(PyObject_Vectorcall(val ? state().type_setattr : state().type_delattr, args,
                                           val ? 3 : 2, nullptr));
    return r ? 0 : -1;
}

// Whether `type_setattr(self, name, v)` runs no Python code, when the
// caller holds the value it replaces: type's own slot is called, the
// metaclass can serve `name` through no data descriptor (its dicts, whose
// keys are exact strs, are searched without comparisons that run code),
// `name` is an exact str that no slot update follows, and every key of
// the class's dict is an exact str, so that storing compares no key of a
// str subclass; the value it replaces stays alive. What the store tells
// the interpreter's watchers runs C code only. Asked before the store.
bool quiet_store(PyObject *self, PyObject *name) {
    if (!kFastPaths || !PyType_Check(self) || !PyUnicode_CheckExact(name) ||
        starts_with_dunder(name))
        return false;
    PyObject *dict = reinterpret_cast<PyTypeObject *>(self)->tp_dict;
    if (!dict || !PyDict_CheckExact(dict) || !compat::dict_str_keys(dict)) return false;
    const MetaFacts *f = meta_facts(Py_TYPE(self));
    return f && f->plain_names && f->setattr_direct;
}

// After a quiet store of another name, `self._key` is still the exact tuple
// `old` that the class's own dict held under `_key` before it, when type's
// lookup finds that entry first; else null.
PyObject *table_after_quiet_store(PyObject *self, PyObject *old) {
    auto *t = reinterpret_cast<PyTypeObject *>(self);
    if (!old || !PyTuple_CheckExact(old) || !first_in_mro(t) ||
        Py_TYPE(self)->tp_getattro != PyType_Type.tp_getattro)
        return nullptr;
    return old;
}

// Whether the class's dict may have changed since the mark was made, where
// making a table can run code: up to 3.11 the allocation can run a
// collection, and its finalisers can change the class. There the dict's
// version tag, which every change moves, tells it.
class DictMark {
  public:
    explicit DictMark(PyObject *self) {
        if constexpr (compat::kAllocationCollects) tag_ = stamp(dict_of(self), Watched::cls);
    }
    bool unchanged(PyObject *self) const {
        if constexpr (compat::kAllocationCollects) return stamp(dict_of(self), Watched::cls) == tag_;
        return true;
    }

  private:
    static PyObject *dict_of(PyObject *self) { return reinterpret_cast<PyTypeObject *>(self)->tp_dict; }
    uint64_t tag_ = 0;
};

int set_key(PyObject *self, PyObject *table) {
    return PyObject_SetAttr(self, state().names._key, table);
}

// What a class attribute was before a change, in `value`: null when the
// class has no own attribute of that name. A name that the metaclass serves
// through a data descriptor (`__name__`, `__doc__`, a property) is saved by
// reading it. False, with an error set, when that read fails.
bool saved_value(PyObject *self, PyObject *name, Ref &value) {
    value.reset();
    if (!PyType_Check(self) || !PyUnicode_Check(name)) return true;  // type's slot refuses the change
    bool served = true;
    if (kFastPaths && PyUnicode_CheckExact(name) && !starts_with_dunder(name)) {
        const MetaFacts *f = meta_facts(Py_TYPE(self));
        served = !f || !f->plain_names;
    }
    PyObject *descr = served ? compat::type_lookup(Py_TYPE(self), name) : nullptr;
    if (descr && Py_TYPE(descr)->tp_descr_set) {
        value = Ref::steal(PyObject_GetAttr(self, name));
        return static_cast<bool>(value);
    }
    PyObject *dict = reinterpret_cast<PyTypeObject *>(self)->tp_dict;
    PyObject *v = dict ? PyDict_GetItemWithError(dict, name) : nullptr;
    if (!v && PyErr_Occurred()) return false;
    value = Ref::new_ref(v);
    return true;
}

// The same as a record for roll_back: `(name,)` or `(name, value)`.
Ref save_attr(PyObject *self, PyObject *name) {
    Ref value;
    if (!saved_value(self, name, value)) return Ref();
    return Ref::steal(value ? PyTuple_Pack(2, name, value.get()) : PyTuple_Pack(1, name));
}

// One attribute saved by a single change.
struct Saved {
    PyObject *name = nullptr;  // held by the caller
    Ref value;
};

// Puts back the attributes saved in `records` (save_attr results, the
// latest undone first) and lets the pending error propagate. Errors of the
// rollback itself are dropped: it only assigns what the class held a moment
// ago.
void roll_back(PyObject *self, PyObject *const *records, Py_ssize_t n) {
    PyObject *exc = compat::fetch_exception();
    if (PyType_Check(self)) {
        while (n-- > 0) {
            Ref rec = Ref::new_ref(records[n]);
            PyObject *name = PyTuple_GET_ITEM(rec.get(), 0);
            PyObject *old =
                PyTuple_GET_SIZE(rec.get()) > 1 ? PyTuple_GET_ITEM(rec.get(), 1) : nullptr;
            if (PyType_Type.tp_setattro(self, name, old) < 0) PyErr_Clear();
        }
    }
    compat::raise_exception(exc);
}

void roll_back(PyObject *self, Saved *saved, int n) {
    PyObject *exc = compat::fetch_exception();
    if (PyType_Check(self)) {
        while (n-- > 0) {
            Ref old = std::move(saved[n].value);
            if (PyType_Type.tp_setattro(self, saved[n].name, old.get()) < 0) PyErr_Clear();
        }
    }
    compat::raise_exception(exc);
}

void roll_back(PyObject *self, PyObject *undo) {
    Ref hold = Ref::new_ref(undo);
    const Py_ssize_t n = PyList_GET_SIZE(undo);
    roll_back(self, n ? &PyList_GET_ITEM(undo, 0) : nullptr, n);
}

// `x == "_key"` for a name that came out of a member table.
bool is_key_name(PyObject *x) {
    return PyUnicode_Check(x) && PyUnicode_Compare(x, state().names._key) == 0;
}

}  // namespace

namespace {

// `self._key` when type's lookup finds it as a plain value that is an exact
// tuple, read without the call (see the top of the file); else null.
Ref plain_table(PyObject *self) {
    if (!kFastPaths) return Ref();
    Ref table = class_attr_fast(self, state().names._key, true);
    if (table && !PyTuple_CheckExact(table.get())) return Ref();
    return table;
}

// `attr in table` for a table from plain_table, when answering runs no
// Python code (an exact str looked for among exact strs); `pos` gets the
// first position of a hit. `unsupported` otherwise; `error` only when the
// name index could not be made.
Scan pure_find(PyObject *self, PyObject *table, PyObject *attr, Py_ssize_t &pos) {
    if (!PyUnicode_CheckExact(attr)) return Scan::unsupported;
    if (use_index(table, attr)) {
        const Scan s = indexed_find(self, table, attr, &pos);
        if (s != Scan::unsupported) return s;
    }
    PyObject *const *items = &PyTuple_GET_ITEM(table, 0);
    const Py_ssize_t n = PyTuple_GET_SIZE(table);
    if (key_memo.hashed_strs && table == key_memo.value.get()) {
        pos = memo_position(attr);
        return pos < 0 ? Scan::miss : Scan::hit;
    }
    if (!known_hashed(table)) return str_scan(items, n, attr, pos);
    // Items whose hashes are known: most are told apart by them.
    Py_hash_t kh = compat::str_hash(attr);
    if (kh == -1) kh = PyObject_Hash(attr);  // an exact str: no code, no failure
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject *item = items[i];
        if (compat::str_hash(item) == kh && (item == attr || same_chars(item, attr))) {
            pos = i;
            return Scan::hit;
        }
    }
    return Scan::miss;
}

// The exact tuple `table` with the exact str `attr` appended, or with the
// item at `pos` left out (`attr` null). Remembered (caches.h) when every
// item is an exact str with its hash computed.
Ref table_changed(PyObject *table, PyObject *attr, Py_ssize_t pos) {
    const Py_ssize_t n = PyTuple_GET_SIZE(table);
    bool hashed = known_hashed(table);
    if (!hashed) {
        hashed = true;
        for (Py_ssize_t i = 0; i < n && hashed; ++i) {
            PyObject *item = PyTuple_GET_ITEM(table, i);
            hashed = PyUnicode_CheckExact(item) && compat::str_hash(item) != -1;
        }
    }
    Ref out = Ref::steal(PyTuple_New(attr ? n + 1 : n - 1));
    if (!out) return out;
    PyObject *const *from = &PyTuple_GET_ITEM(table, 0);
    PyObject **to = &PyTuple_GET_ITEM(out.get(), 0);
    const Py_ssize_t skip = attr ? n : pos;
    for (Py_ssize_t i = 0; i < skip; ++i) to[i] = Py_NewRef(from[i]);
    for (Py_ssize_t i = skip + 1; i < n; ++i) to[i - 1] = Py_NewRef(from[i]);
    if (attr) {
        PyObject_Hash(attr);  // an exact str: computes and keeps it, never fails
        to[n] = Py_NewRef(attr);
    }
    table_made(out.get());
    if (hashed) remember_hashed(out.get());
    return out;
}

// Whether `self.name = v` (or `del self.name`, `set` false) calls this
// module's hook with that body: the metaclass's slot is the interpreter's
// dispatcher, which calls what its MRO holds under the hook's name.
bool hook_is_ours(PyObject *self, bool set) {
    if (!kFastPaths || Py_TYPE(self)->tp_setattro != state().slot_setattro) return false;
    const MetaFacts *f = meta_facts(Py_TYPE(self));
    if (!f) return false;
    const Ref &hook = set ? f->setattr : f->delattr;
    return hook && is_function_with(hook.get(), set ? entry_of<mut_setattr> : entry_of<mut_delattr>);
}

bool add_to_table(PyObject *self, PyObject *attr, PyObject *known);

// `plain`, read as `self._key` before the new table was made, for
// store_table: when the read found the class's own entry or none (the class
// comes first in its MRO) and the dict has not changed since.
PyObject *held_table(PyObject *self, PyObject *plain, const DictMark &mark) {
    if (!first_in_mro(reinterpret_cast<PyTypeObject *>(self)) || !mark.unchanged(self)) return nullptr;
    return plain;
}

// `self._key = table`, where `old` (held by the caller; null when not
// known) is what the class's own dict still holds under `_key`, if it holds
// anything there: through the metaclass's hook, whose steps are taken here
// when it is ours. `strs`: every item of `table` is an exact str.
bool store_table(PyObject *self, PyObject *table, PyObject *old, bool strs) {
    if (!hook_is_ours(self, true)) return set_key(self, table) == 0;
    PyObject *const name = state().names._key;
    const bool quiet = strs && old && quiet_store(self, name);
    if (type_setattr(self, name, table, quiet) < 0) return false;
    // The hook's table step for `_key` ends at its first character, "_",
    // unless reading the table or the membership test fails. For the table
    // just stored, found again, the test is a scan of exact strs, which
    // cannot fail or run code: only the read is left to make, and after a
    // quiet store it finds what was stored.
    if (quiet && table_after_quiet_store(self, table)) return true;
    if (strs) {
        Ref plain = plain_table(self);
        if (plain.get() == table) return true;
    }
    return add_to_table(self, name, nullptr);
}

// The part of `__setattr__` after the interpreter's assignment. `known`:
// `self._key`, when the assignment provably left it as it was.
bool add_to_table(PyObject *self, PyObject *attr, PyObject *known) {
    if (Ref plain = known ? Ref::new_ref(known) : plain_table(self)) {
        const DictMark mark(self);
        Py_ssize_t pos = -1;
        switch (pure_find(self, plain.get(), attr, pos)) {
            case Scan::hit: return true;
            case Scan::error: return false;
            case Scan::miss:
                if (PyUnicode_GET_LENGTH(attr) == 0) break;  // `attr[0]` raises
                if (char_at(attr, 0) == '_') return true;
                // The scan met every item (a miss) and found each an exact str.
                if (Ref grown = table_changed(plain.get(), attr, -1))
                    return store_table(self, grown.get(), held_table(self, plain.get(), mark), true);
                return false;
            case Scan::unsupported: break;
        }
    }
    Ref table = get_key(self);
    if (!table) return false;
    const Found found = member_find(self, table.get(), attr);
    if (found == Found::error) return false;
    if (found == Found::yes) return true;
    const int r = first_char_is_underscore(attr, Py_EQ);
    if (r < 0) return false;
    if (r) return true;
    // self._key += (attr,)
    table = get_key(self);
    if (!table) return false;
    Ref one = Ref::steal(PyTuple_Pack(1, attr));
    if (!one) return false;
    Ref grown = Ref::steal(PyNumber_InPlaceAdd(table.get(), one.get()));
    return grown && set_key(self, grown.get()) == 0;
}

// The part of `__delattr__` after the interpreter's deletion; `known` as
// for add_to_table.
bool drop_from_table(PyObject *self, PyObject *attr, PyObject *known) {
    if (Ref plain = known ? Ref::new_ref(known) : plain_table(self)) {
        const DictMark mark(self);
        Py_ssize_t pos = -1;
        switch (pure_find(self, plain.get(), attr, pos)) {
            case Scan::miss: return true;
            case Scan::error: return false;
            case Scan::hit:
            {
                // Items past the hit were not met by the scan.
                const bool strs = known_hashed(plain.get());
                if (Ref rest = table_changed(plain.get(), nullptr, pos))
                    return store_table(self, rest.get(), held_table(self, plain.get(), mark), strs);
                return false;
            }
            case Scan::unsupported: break;
        }
    }
    Ref table = get_key(self);
    if (!table) return false;
    const Found found = member_find(self, table.get(), attr);
    if (found == Found::error) return false;
    if (found == Found::no) return true;
    // self._key = self._key[:i] + self._key[i + 1:]
    table = get_key(self);
    if (!table) return false;
    Ref i = member_index_of(self, table.get(), attr);
    if (!i) return false;
    table = get_key(self);
    if (!table) return false;
    Ref head_slice = Ref::steal(PySlice_New(nullptr, i.get(), nullptr));
    if (!head_slice) return false;
    Ref head = Ref::steal(PyObject_GetItem(table.get(), head_slice.get()));
    if (!head) return false;
    table = get_key(self);
    if (!table) return false;
    Ref one = Ref::steal(PyLong_FromLong(1));
    if (!one) return false;
    Ref next = Ref::steal(PyNumber_Add(i.get(), one.get()));
    if (!next) return false;
    Ref tail_slice = Ref::steal(PySlice_New(next.get(), nullptr, nullptr));
    if (!tail_slice) return false;
    Ref tail = Ref::steal(PyObject_GetItem(table.get(), tail_slice.get()));
    if (!tail) return false;
    Ref joined = Ref::steal(PyNumber_Add(head.get(), tail.get()));
    return joined && set_key(self, joined.get()) == 0;
}

// `type.__setattr__` or `type.__delattr__` (val null), then the table step;
// when the table step fails, the attribute and `_key` are put back.
Ref change_attr(PyObject *self, PyObject *attr, PyObject *val,
                bool (*table_step)(PyObject *, PyObject *, PyObject *)) {
    // One at a time: the second must not run with the first's error pending.
    Saved saved[2];
    saved[0].name = state().names._key;
    saved[1].name = attr;
    if (!saved_value(self, saved[0].name, saved[0].value) ||
        !saved_value(self, saved[1].name, saved[1].value))
        return nullptr;
    // The saved value keeps what the store replaces alive.
    const bool quiet = quiet_store(self, attr);
    PyObject *known = nullptr;
    if (quiet && !same_chars(attr, saved[0].name))
        known = table_after_quiet_store(self, saved[0].value.get());
    if (type_setattr(self, attr, val, quiet && (val || saved[1].value)) < 0) return nullptr;
    if (!table_step(self, attr, known)) {
        roll_back(self, saved, 2);
        return nullptr;
    }
    return Ref::new_ref(Py_None);
}

}  // namespace

Ref mut_setattr(PyObject *self, PyObject *attr, PyObject *val) {
    return change_attr(self, attr, val, add_to_table);
}

Ref mut_delattr(PyObject *self, PyObject *attr) {
    return change_attr(self, attr, nullptr, drop_from_table);
}

Ref mut_delitem(PyObject *self, PyObject *item) {
    if (PyObject_DelAttr(self, item) < 0) return nullptr;
    return Ref::new_ref(Py_None);
}

namespace {

// What a bulk operation has changed so far, saved attribute by attribute
// before each change, so that a failure can put all of it back.
class Undo {
  public:
    explicit Undo(PyObject *self) : self_(self), records_(Ref::steal(PyList_New(0))) {}
    // Saves `name`'s present state; false with an error set on failure.
    bool save(PyObject *name) {
        if (!records_) return false;
        Ref rec = save_attr(self_, name);
        return rec && PyList_Append(records_.get(), rec.get()) == 0;
    }
    // Rolls back everything saved and returns null: the pending error stays.
    Ref fail() {
        if (records_) roll_back(self_, records_.get());
        return nullptr;
    }

  private:
    PyObject *self_;
    Ref records_;
};

}  // namespace

// Adds and replaces members from a mapping. Every value is read and
// converted before the class changes, and a failed change is rolled back,
// so a failure leaves the class as it was; a name is added at most once,
// and a name takes its value from the key equal to it, else from the first
// key that strips to it.
Ref mut_update(PyObject *self, PyObject *dct) {
    Ref sources = Ref::steal(PyDict_New());
    if (!sources) return nullptr;
    Ref names = order_members(dct, false, sources.get());
    if (!names) return nullptr;

    // New names, in sorted order; old names never move.
    Ref fresh = Ref::steal(PyList_New(0));
    Ref seen = Ref::steal(PySet_New(nullptr));
    if (!fresh || !seen) return nullptr;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(names.get()); ++i) {
        Ref n = Ref::new_ref(PyList_GET_ITEM(names.get(), i));
        Ref table = get_key(self);
        if (!table) return nullptr;
        const Found found = member_find(self, table.get(), n.get());
        if (found == Found::error) return nullptr;
        if (found == Found::yes) continue;
        const int r = PySet_Contains(seen.get(), n.get());
        if (r < 0) return nullptr;
        if (r) continue;
        if (PySet_Add(seen.get(), n.get()) < 0 || PyList_Append(fresh.get(), n.get()) < 0)
            return nullptr;
    }
    Ref extra = Ref::steal(PyList_AsTuple(fresh.get()));
    Ref old = get_key(self);
    if (!extra || !old) return nullptr;

    // Read and convert every value, in table order, before changing anything.
    Ref walk = Ref::steal(PySequence_List(old.get()));
    if (!walk) return nullptr;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(extra.get()); ++i)
        if (PyList_Append(walk.get(), PyTuple_GET_ITEM(extra.get(), i)) < 0) return nullptr;
    Ref assign_names = Ref::steal(PyList_New(0));
    Ref assign_values = Ref::steal(PyList_New(0));
    Ref assigned = Ref::steal(PySet_New(nullptr));
    if (!assign_names || !assign_values || !assigned) return nullptr;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(walk.get()); ++i) {
        Ref x = Ref::new_ref(PyList_GET_ITEM(walk.get(), i));
        // The member table itself is never replaced by a member value.
        if (is_key_name(x.get())) continue;
        const bool str = PyUnicode_Check(x.get());
        if (str) {
            const int r = PySet_Contains(assigned.get(), x.get());
            if (r < 0) return nullptr;
            if (r) continue;
        }
        Ref src;
        int r = PySequence_Contains(dct, x.get());
        if (r < 0) return nullptr;
        if (r) {
            src = Ref::new_ref(x.get());
        } else if (str) {
            PyObject *s = PyDict_GetItemWithError(sources.get(), x.get());
            if (!s && PyErr_Occurred()) return nullptr;
            src = Ref::new_ref(s);
        }
        if (!src) continue;
        Ref v = Ref::steal(PyObject_GetItem(dct, src.get()));
        if (!v) return nullptr;
        Ref w = convert_value(v.get());
        if (!w) {
            if (PyDict_Check(v.get())) note_nested(x.get(), self);
            return nullptr;
        }
        if (PyList_Append(assign_names.get(), x.get()) < 0 ||
            PyList_Append(assign_values.get(), w.get()) < 0)
            return nullptr;
        if (str && PySet_Add(assigned.get(), x.get()) < 0) return nullptr;
    }

    // From here on the class changes; a failure rolls every step back.
    Undo undo(self);
    if (!undo.save(state().names._key)) return nullptr;
    // self._key += tuple(new names)
    Ref table = get_key(self);
    if (!table) return undo.fail();
    Ref grown = Ref::steal(PyNumber_InPlaceAdd(table.get(), extra.get()));
    if (!grown || set_key(self, grown.get()) < 0) return undo.fail();
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(assign_names.get()); ++i) {
        PyObject *name = PyList_GET_ITEM(assign_names.get(), i);
        PyObject *value = PyList_GET_ITEM(assign_values.get(), i);
        if (!undo.save(name) || PyObject_SetAttr(self, name, value) < 0) return undo.fail();
    }
    table = get_key(self);
    if (!table) return undo.fail();
    Ref again = Ref::steal(PySequence_Tuple(table.get()));
    if (!again || set_key(self, again.get()) < 0) return undo.fail();
    return Ref::new_ref(Py_None);
}

Ref mut_clear(PyObject *self) {
    Ref names = Ref::steal(PyObject_CallMethodNoArgs(self, state().names.keys));
    if (!names) return nullptr;
    Undo undo(self);
    if (!undo.save(state().names._key)) return nullptr;
    Ref empty = Ref::steal(PyTuple_New(0));
    if (!empty || set_key(self, empty.get()) < 0) return undo.fail();
    Ref it = Ref::steal(PyObject_GetIter(names.get()));
    if (!it) return undo.fail();
    while (Ref n = next_item(it.get())) {
        if (!undo.save(n.get()) || PyObject_DelAttr(self, n.get()) < 0) return undo.fail();
    }
    if (PyErr_Occurred()) return undo.fail();
    return Ref::new_ref(Py_None);
}

}  // namespace numor
