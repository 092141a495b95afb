// The read methods of mNUmor: lookup, membership, length, composition and
// presentation (iteration is in member_iter.cpp, the slots that reach these
// bodies without the generic dispatch in direct_slots.cpp).
//
// These are the operations users run in loops, so each has a fast path for
// the state construction leaves behind (an exact tuple `_key` of exact,
// usually interned, strings) and a generic path that performs exactly the
// Python operations the behaviour is defined by, for whatever `_key` or key
// object it meets. `_key` is read afresh at every call (or found unchanged
// through the memo of caches.h), and where the behaviour says `self[x]`, `x in self` or `len(self)` the
// interpreter's protocol is used, so a derived metaclass that overrides one
// of them is honoured.
#include "protocol.h"

#include "caches.h"
#include "compat.h"
#include "exact_types.h"
#include "fast_paths.h"
#include "function.h"
#include "globals.h"
#include "member_search.h"
#include "mirrors.h"
#include "notes.h"
#include "raise.h"
#include "state.h"
#include "table_walk.h"
#include "walk.h"

namespace numor {

namespace {

Ref pylen(PyObject *obj) {
    const Py_ssize_t n = PyObject_Length(obj);
    if (n < 0) return Ref();
    return Ref::steal(PyLong_FromSsize_t(n));
}

// Replaces a pending AttributeError or IndexError by KeyError(key), raised
// as if from an `except` block: the caught exception becomes its context.
void guard_keyerror(PyObject *key) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError) &&
        !PyErr_ExceptionMatches(PyExc_IndexError))
        return;
    PyObject *v = compat::fetch_exception();
    PyObject *ke = PyObject_CallOneArg(PyExc_KeyError, key);
    if (!ke) {
        Py_XDECREF(v);
        return;
    }
    PyException_SetContext(ke, v);  // steals v
    // Unlike PyErr_SetObject, this keeps the context we set.
    compat::raise_exception(ke);
}

Ref slice_of(PyObject *self, PyObject *key) {
    Ref int_type = Ref::new_ref(reinterpret_cast<PyObject *>(&PyLong_Type));
    Ref fields[3];
    if (PySlice_Check(key)) {
        auto *sl = reinterpret_cast<PySliceObject *>(key);
        fields[0] = Ref::new_ref(sl->start);
        fields[1] = Ref::new_ref(sl->stop);
        fields[2] = Ref::new_ref(sl->step);
    } else {  // an object that passes isinstance(key, slice)
        const char *names[3] = {"start", "stop", "step"};
        for (int i = 0; i < 3; ++i)
            if (!(fields[i] = Ref::steal(PyObject_GetAttrString(key, names[i])))) return Ref();
    }
    Ref bounds[3];
    for (int i = 0; i < 3; ++i) {
        Ref dflt;
        if (i == 0) dflt = Ref::new_ref(zero());
        else if (i == 1) dflt = pylen(self);
        else dflt = Ref::steal(PyLong_FromLong(1));
        if (!dflt) return dflt;
        PyObject *args[3] = {int_type.get(), fields[i].get(), dflt.get()};
        bounds[i] = call_global(state().names.typOrPz, args, 3);
        if (!bounds[i]) return Ref();
    }
    Ref range = Ref::steal(PyObject_CallFunctionObjArgs(reinterpret_cast<PyObject *>(&PyRange_Type),
                                                        bounds[0].get(), bounds[1].get(),
                                                        bounds[2].get(), nullptr));
    if (!range) return range;
    Ref it = Ref::steal(PyObject_GetIter(range.get()));
    if (!it) return it;
    Ref picked = Ref::steal(PyList_New(0));
    if (!picked) return picked;
    while (Ref p = next_item(it.get())) {
        Ref table = get_key(self);
        if (!table) return table;
        Ref name = Ref::steal(PyObject_GetItem(table.get(), p.get()));
        if (!name || PyList_Append(picked.get(), name.get()) < 0) return Ref();
    }
    if (PyErr_Occurred()) return Ref();
    Ref sk = Ref::steal(PyList_AsTuple(picked.get()));
    Ref dat = Ref::steal(PyDict_New());
    if (!sk || !dat) return Ref();
    const bool many = PyTuple_GET_SIZE(sk.get()) >= kManyMembers;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(sk.get()); ++i) {
        PyObject *name = PyTuple_GET_ITEM(sk.get(), i);
        Ref v = class_getattr(self, name, many);
        if (!v || PyDict_SetItem(dat.get(), name, v.get()) < 0) return Ref();
    }
    if (PyDict_SetItem(dat.get(), state().names.ordo, sk.get()) < 0) return Ref();
    Ref title = Ref::steal(PyObject_Str(self));
    if (!title) return title;
    PyObject *args[2] = {dat.get(), title.get()};
    return call_global(state().names.NUmor, args, 2);
}

// While the member iterator subscribes a class through the protocol (the
// body may be reached through a derived metaclass or the interpreter's
// dispatch), the body that fails for that very class and key reports its
// miss here and leaves the note to the iterator, which knows the name came
// from `_key`. Per thread, since the subscription can let other threads
// run; held by value, so a stack switched in between can only misplace a
// note, and the pointers are compared, never followed.
struct MissReport {
    PyObject *cls = nullptr;
    PyObject *key = nullptr;
    Miss miss = Miss::none;
};
thread_local MissReport miss_report;

// Notes the miss of `self[key]`, or reports it to the iterator waiting for it.
void note_or_report(PyObject *self, PyObject *key, Miss miss) {
    MissReport &r = miss_report;
    if (miss != Miss::none && r.cls == self && r.key == key && r.miss == Miss::none) {
        r.miss = miss;
        return;
    }
    note_lookup_miss(self, key, miss);
}

// `self[key]` for a str `key` whose type is not the module's `mNUmor`: the
// membership test in `_key` and the member read. `walked`, when
// given, is an exact tuple of exact str that holds `key` (the member
// iterator's table): when `_key` is still that very tuple, `key in _key`
// is known to be true, and the scan it replaces could not have run Python
// code, so it is skipped. `miss` is told what the user got wrong.
Ref member_by_name(PyObject *self, PyObject *key, PyObject *walked, Miss &miss) {
    Ref table;
    PyObject *name = key;  // borrowed: held by the table or by the caller
    Py_ssize_t pos;
    const bool walking = walk_position(self, key, pos);
    if (walking) {
        // `key` is the table's own item: a member, and the name to read by.
        if (PyObject *v = walk_step(self, pos, key)) return Ref::new_ref(v);
        if (PyObject *v = walk_read(self, pos, key)) return Ref::new_ref(v);
        table = Ref::new_ref(key_memo.value.get());
    } else {
        if (PyObject *v = member_peek(self, key)) return Ref::new_ref(v);
        if (!(table = get_key(self))) return table;
        if (table.get() != walked) {
            const Found found = find_member(self, table.get(), key, name, pos);
            if (found == Found::error) return Ref();
            if (found == Found::no) {
                raise_with_arg(PyExc_KeyError, key);
                miss = Miss::name;
                return Ref();
            }
            // Where a walk in table order would go on from.
            if (pos >= 0 && pos != member_walk.pos) member_walk = MemberWalk{pos, -1};
        }
    }
    const bool many =
        PyTuple_CheckExact(table.get()) && PyTuple_GET_SIZE(table.get()) >= kManyMembers;
    Ref v = class_getattr(self, name, many);
    if (!v) {
        if (PyErr_ExceptionMatches(PyExc_AttributeError)) miss = Miss::attribute;
        return v;
    }
    if (!walking) remember_member(self, table.get(), name, v.get());
    return v;
}

// `type(key) == mNUmor`, reading the module's `mNUmor` now.
int is_meta_instance(PyObject *key) {
    bool is;
    if (meta_instance_known(key, is)) return is;
    Ref held = global(state().names.mNUmor);
    if (!held) return -1;
    return type_equals(key, held.get());
}

// `self[key]`; `walked` and `miss` as for member_by_name. The caller holds
// `key`.
Ref getitem_steps(PyObject *self, PyObject *key, PyObject *walked, Miss &miss) {
    int r;
    // An exact str, the usual key, is neither a slice nor an int, and
    // cannot claim another class.
    if (!PyUnicode_CheckExact(key)) {
        if ((r = is_instance(key, &PySlice_Type)) < 0) return Ref();
        if (r) return slice_of(self, key);
        if ((r = is_instance(key, &PyLong_Type)) < 0) return Ref();
        if (r) {
            Ref table = get_key(self);
            if (!table) return table;
            Ref name = Ref::steal(PyObject_GetItem(table.get(), key));
            if (!name && PyErr_ExceptionMatches(PyExc_IndexError)) miss = Miss::position;
            return name;
        }
    }
    if ((r = is_meta_instance(key)) < 0) return Ref();
    if (r) return Ref::new_ref(key);
    if ((r = is_instance(key, &PyUnicode_Type)) < 0) return Ref();
    if (r) return member_by_name(self, key, walked, miss);
    raise_with_arg(PyExc_KeyError, key);
    miss = Miss::kind;
    return Ref();
}

}  // namespace

Ref meta_values(PyObject *self) {
    Ref table = get_key(self);
    if (!table) return nullptr;
    if (kFastPaths && PyTuple_CheckExact(table.get())) {
        // The usual table, a hot path: it is held and cannot change, and the
        // result is filled in place.
        const Py_ssize_t n = PyTuple_GET_SIZE(table.get());
        Ref out = Ref::steal(PyTuple_New(n));
        if (!out) return nullptr;
        for (Py_ssize_t i = 0; i < n; ++i) {
            Ref v = class_getattr(self, PyTuple_GET_ITEM(table.get(), i), n >= kManyMembers);
            if (!v) return nullptr;
            PyTuple_SET_ITEM(out.get(), i, v.release());
        }
        return out;
    }
    Ref out = Ref::steal(PyList_New(0));
    Walk walk;
    if (!out || !walk.start(table.get())) return nullptr;
    while (PyObject *name = walk.next()) {
        Ref v = class_getattr(self, name);
        if (!v || PyList_Append(out.get(), v.get()) < 0) return nullptr;
    }
    if (PyErr_Occurred()) return nullptr;
    return Ref::steal(PyList_AsTuple(out.get()));
}

Ref meta_index(PyObject *self, PyObject *key) {
    Ref k = Ref::new_ref(key);
    Ref meta = global(state().names.mNUmor);
    if (!meta) return nullptr;
    const int r = type_equals(k.get(), meta.get());
    if (r < 0) return nullptr;
    const int is_int = r ? 0 : is_instance(k.get(), &PyLong_Type);
    if (is_int < 0) return nullptr;
    if (r) {
        k = Ref::steal(PyObject_GetAttr(k.get(), state().names.__name__));
        if (!k) return nullptr;
    } else if (is_int) {
        Ref table = get_key(self);
        if (!table) return nullptr;
        return Ref::steal(PyObject_GetItem(table.get(), k.get()));
    }
    Ref table = get_key(self);
    if (!table) return nullptr;
    return member_index_of(self, table.get(), k.get());
}

Ref meta_get(PyObject *self, PyObject *key, PyObject *pz) {
    const int r = PySequence_Contains(self, key);
    if (r < 0) return nullptr;
    if (r) return Ref::steal(PyObject_GetItem(self, key));
    return Ref::new_ref(pz);
}

Ref meta_len(PyObject *self) {
    Ref table = get_key(self);
    if (!table) return nullptr;
    const Py_ssize_t n = table_length(table.get());
    if (n < 0) return nullptr;
    return Ref::steal(PyLong_FromSsize_t(n));
}

Ref meta_contains(PyObject *self, PyObject *key) {
    int r = is_instance(key, &PyLong_Type);
    if (r < 0) return nullptr;
    if (r) {
        // The chained comparison `0 <= key < len(self)`.
        Ref lower;
        if (PyLong_CheckExact(key)) {
            if (compat::long_sign(key) < 0) return Ref::new_ref(Py_False);
        } else {
            lower = Ref::steal(PyObject_RichCompare(zero(), key, Py_LE));
            if (!lower) return nullptr;
            const int t = PyObject_IsTrue(lower.get());
            if (t < 0) return nullptr;
            if (!t) return lower;
        }
        Ref n = pylen(self);
        if (!n) return nullptr;
        return Ref::steal(PyObject_RichCompare(key, n.get(), Py_LT));
    }
    Ref k = Ref::new_ref(key);
    if ((r = is_instance(key, &PyUnicode_Type)) < 0) return nullptr;
    if (!r) {
        k = Ref::steal(PyObject_Str(key));
        if (!k) return nullptr;
    }
    Ref table = get_key(self);
    if (!table) return nullptr;
    const Found found = member_find(self, table.get(), k.get());
    if (found == Found::error) return nullptr;
    return Ref::new_ref(found == Found::yes ? Py_True : Py_False);
}

Ref meta_getitem(PyObject *self, PyObject *key) {
    // The caller's reference holds `key` (an argument) throughout.
    Miss miss = Miss::none;
    Ref r = getitem_steps(self, key, nullptr, miss);
    if (!r) {
        guard_keyerror(key);
        note_or_report(self, key, miss);
    }
    return r;
}

Ref meta_add(PyObject *self, PyObject *value) {
    Ref meta = global(state().names.mNUmor);
    if (!meta) return nullptr;
    const int r = PyObject_IsInstance(value, meta.get());
    if (r < 0) return nullptr;
    if (!r) {
        raise_with_arg(PyExc_TypeError, value);
        add_note("numor: + takes another enumeration class, and here got %.200s",
                 Py_TYPE(value)->tp_name);
        return nullptr;
    }
    Ref base = Ref::steal(PyTuple_Pack(2, self, value));
    if (!base) return nullptr;
    Ref left = Ref::steal(PyObject_GetAttr(self, state().names.__name__));
    if (!left || !(left = Ref::steal(PyObject_Str(left.get())))) return nullptr;
    Ref right = Ref::steal(PyObject_GetAttr(value, state().names.__name__));
    if (!right || !(right = Ref::steal(PyObject_Str(right.get())))) return nullptr;
    Ref name = Ref::steal(PyUnicode_FromFormat("%U_%U", left.get(), right.get()));
    if (!name) return nullptr;
    Ref fn = global(state().names.NUmor);
    if (!fn) return nullptr;
    Ref kwnames = Ref::steal(PyTuple_Pack(2, state().names.base, state().names.name));
    if (!kwnames) return nullptr;
    PyObject *args[2] = {base.get(), name.get()};
    return Ref::steal(PyObject_Vectorcall(fn.get(), args, 0, kwnames.get()));
}

Ref meta_dir(PyObject *self) {
    Ref table = get_key(self);
    if (!table) return nullptr;
    return Ref::steal(PySequence_List(table.get()));
}

Ref meta_bool(PyObject *self) {
    Ref table = get_key(self);
    if (!table) return nullptr;
    const int t = PyObject_IsTrue(table.get());
    if (t < 0) return nullptr;
    return Ref::steal(PyBool_FromLong(t));
}

Ref meta_repr(PyObject *self) {
    Ref name = Ref::steal(PyObject_GetAttr(self, state().names.__name__));
    if (!name) return nullptr;
    Ref ident = Ref::steal(PyLong_FromVoidPtr(self));
    if (!ident) return nullptr;
    return Ref::steal(PyUnicode_FromFormat("<NUmor(%S): %S>", name.get(), ident.get()));
}

Ref meta_str(PyObject *self) { return Ref::steal(PyObject_GetAttr(self, state().names.__name__)); }

// `cls[key]` through the subscription protocol of `cls`. When its slot would
// land in this module's `__getitem__` (the direct slot, or the generic
// dispatcher that finds our function), the body is called here instead,
// which is the same call without the dispatch.
Ref subscript(PyObject *cls, PyObject *key, PyObject *walked, Miss *miss) {
    if (subscript_reaches(cls, entry_of<meta_getitem>)) {
        Miss seen = Miss::none;
        Ref r = getitem_steps(cls, key, walked, seen);
        if (!r) {
            guard_keyerror(key);
            if (miss) *miss = seen;
            else note_lookup_miss(cls, key, seen);
        }
        return r;
    }
    if (!miss) return Ref::steal(PyObject_GetItem(cls, key));
    const MissReport saved = miss_report;
    miss_report = MissReport{cls, key, Miss::none};
    Ref r = Ref::steal(PyObject_GetItem(cls, key));
    if (!r && miss_report.cls == cls && miss_report.key == key) *miss = miss_report.miss;
    miss_report = saved;
    return r;
}

}  // namespace numor
