// Class creation of the enumeration metaclass.
//
// An enumeration's members live in two kinds of class attribute: `_key`, the
// tuple of member names in member order, and one ordinary attribute per
// member holding its value. `mNUmor.__new__` computes both from the class
// namespace before the class exists and then hands the namespace to
// `type.__new__`, so the interpreter builds an ordinary class around them.
//
// The work is a single pass over the namespace: keep only enumeration bases;
// pick candidate names (stripped keys that are non-empty, do not start with
// a digit or with "__"); order them by the class-body options; convert the
// values (dicts become nested enumerations, plain functions class methods);
// append the public members of the bases through the helper `concat`; write
// members and `_key` back into the namespace.
//
// Everything that Python code could have replaced is used as Python code
// would use it: the namespace may be any mapping, strings may be str
// subclasses with their own `strip`, module attributes (`mNUmor`, `NUmor`,
// `FunctionType`, `concat`) are read from the module dict at each use, and
// the sort is stable, as the interpreter's list sort (which ordering.cpp
// takes for anything but short lists of exact str names). Exact-type fast
// paths only skip work that could not have run Python code.
#include "construction.h"

#include "bytes.h"
#include "caches.h"
#include "compat.h"
#include "depth.h"
#include "exact_types.h"
#include "fast_paths.h"
#include "function.h"
#include "globals.h"
#include "member_search.h"
#include "mirrors.h"
#include "notes.h"
#include "options.h"
#include "ordering.h"
#include "pickling.h"
#include "state.h"
#include "walk.h"

namespace numor {

namespace {

// --- candidates -----------------------------------------------------------

// `tuple(getattr(b, n) for n in names)`
Ref values_of(PyObject *b, PyObject *names) {
    Walk walk;
    Ref out = Ref::steal(PyList_New(0));
    if (!out || !walk.start(names)) return Ref();
    const bool many = PyList_CheckExact(names) && PyList_GET_SIZE(names) >= kManyMembers;
    while (PyObject *n = walk.next()) {
        Ref v = class_getattr(b, n, many);
        if (!v || PyList_Append(out.get(), v.get()) < 0) return Ref();
    }
    if (PyErr_Occurred()) return Ref();
    return Ref::steal(PyList_AsTuple(out.get()));
}

// Bases up to this many are walked with their items kept on the stack.
constexpr Py_ssize_t kFewBases = 8;

// The module's `concat`, read into `fn`, and whether it is the helper
// numor ships (shipped_concat); -1 with an error.
int read_concat(Ref &fn) {
    fn = global(state().names.concat);
    return fn ? shipped_concat(fn.get()) : -1;
}

// `concat(seqs)` for a tuple `seqs` of sequences. While the module's
// `concat` is the helper numor ships and each sequence is an exact list or
// tuple, the helper's result is made here: its code copies their items into
// a new list and does nothing else.
Ref concat_of(PyObject *seqs) {
    Ref fn;
    const int shipped = read_concat(fn);
    if (shipped < 0) return Ref();
    bool plain = shipped;
    for (Py_ssize_t i = 0; plain && i < PyTuple_GET_SIZE(seqs); ++i) {
        PyObject *s = PyTuple_GET_ITEM(seqs, i);
        plain = PyList_CheckExact(s) || PyTuple_CheckExact(s);
    }
    if (plain) {
        // `out.extend(seq)` of an exact list or tuple is this slice
        // assignment: both copy the items the sequence holds then.
        Ref out = Ref::steal(PyList_New(0));
        for (Py_ssize_t i = 0; out && i < PyTuple_GET_SIZE(seqs); ++i)
            if (PyList_SetSlice(out.get(), PY_SSIZE_T_MAX, PY_SSIZE_T_MAX,
                                PyTuple_GET_ITEM(seqs, i)) < 0)
                return Ref();
        return out;
    }
    PyObject *arg = seqs;
    return Ref::steal(PyObject_Vectorcall(fn.get(), &arg, 1, nullptr));
}

// `b.keys()`. When the attribute lookup would find this module's `keys` on
// the metaclass (the class has no attribute of that name, and its metaclass
// keeps the interpreter's class attribute lookup), the body is called
// without making the bound method.
Ref keys_of(PyObject *b) {
    if (kFastPaths && PyType_Check(b) && Py_TYPE(b)->tp_getattro == PyType_Type.tp_getattro &&
        reinterpret_cast<PyTypeObject *>(b)->tp_dict) {
        PyObject *m = compat::type_lookup(Py_TYPE(b), state().names.keys);
        if (m && is_function_with(m, entry_of<meta_keys>) &&
            !compat::type_lookup(reinterpret_cast<PyTypeObject *>(b), state().names.keys))
            return meta_keys(b);
    }
    return Ref::steal(PyObject_CallMethodNoArgs(b, state().names.keys));
}

// `k in names` for the growing list of member names. While every name in it
// is an exact str, a set of them gives, for an exact str `k`, the answer of
// the list's own scan (comparing two exact str runs no Python code) without
// a scan per inherited name, which would make merging large enumerations
// quadratic. The set is made at the first test against a list long enough
// to be worth it: most classes inherit nothing, or little from short lists.
class Taken {
  public:
    explicit Taken(PyObject *names) : names_(names) {}
    Found contains(PyObject *k) {
        if (!kFastPaths) return find_name(names_, k);
        if (!set_ && !plain_scan_ && PyUnicode_CheckExact(k) &&
            PyList_GET_SIZE(names_) >= kSetFrom && !make_set())
            return Found::error;
        if (set_ && PyUnicode_CheckExact(k)) return found_from(PySet_Contains(set_.get(), k));
        return find_name(names_, k);
    }
    // Records `k`, just appended to the names.
    bool add(PyObject *k) {
        if (!set_) return true;
        if (PyUnicode_CheckExact(k)) return PySet_Add(set_.get(), k) == 0;
        set_.reset();  // from now on the list is scanned
        plain_scan_ = true;
        return true;
    }

  private:
    static constexpr Py_ssize_t kSetFrom = 32;
    bool make_set() {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(names_); ++i) {
            if (!PyUnicode_CheckExact(PyList_GET_ITEM(names_, i))) {
                plain_scan_ = true;
                return true;
            }
        }
        set_ = Ref::steal(PySet_New(names_));
        return static_cast<bool>(set_);
    }
    PyObject *names_;
    Ref set_;
    bool plain_scan_ = false;  // a name is not an exact str: scan the list
};

// Appends the public members of the enumeration bases that are not taken
// yet (the own members hide inherited ones; the first base wins).
bool inherit(PyObject *bases, PyObject *names, PyObject *values) {
    const Py_ssize_t nb = PyTuple_GET_SIZE(bases);
    // The usual class has bases without members (yet): each one's names are
    // an empty exact list, whose values a walk that meets nothing reads, and
    // the shipped helper would join nothing to nothing. The names read while
    // finding that out are kept for the steps that follow otherwise.
    Ref empty[kFewBases];  // the names of the first `nempty` bases
    Py_ssize_t nempty = 0;
    Ref after;  // the names of the base after them, read
    if (kFastPaths && nb <= kFewBases) {
        while (nempty < nb) {
            Ref ks = keys_of(PyTuple_GET_ITEM(bases, nempty));
            if (!ks) return false;
            if (!(PyList_CheckExact(ks.get()) || PyTuple_CheckExact(ks.get())) || Py_SIZE(ks.get())) {
                after = std::move(ks);
                break;
            }
            empty[nempty++] = std::move(ks);
        }
        if (nempty == nb) {
            Ref fn;
            if (const int shipped = read_concat(fn)) return shipped > 0;
        }
    }
    Ref name_seqs = Ref::steal(PyTuple_New(nb));
    Ref value_seqs = Ref::steal(PyTuple_New(nb));
    if (!name_seqs || !value_seqs) return false;
    for (Py_ssize_t i = 0; i < nb; ++i) {
        PyObject *b = PyTuple_GET_ITEM(bases, i);
        Ref ks = i < nempty ? std::move(empty[i]) : i == nempty && after ? std::move(after) : keys_of(b);
        if (!ks) return false;
        Ref vs = values_of(b, ks.get());
        if (!vs) return false;
        PyTuple_SET_ITEM(name_seqs.get(), i, ks.release());
        PyTuple_SET_ITEM(value_seqs.get(), i, vs.release());
    }
    Ref all_names = concat_of(name_seqs.get());
    if (!all_names) return false;
    Ref all_values = concat_of(value_seqs.get());
    if (!all_values) return false;
    // zip(all_names, all_values)
    Walk it1, it2;
    if (!it1.start(all_names.get()) || !it2.start(all_values.get())) return false;
    Taken taken(names);
    for (;;) {
        Ref k = Ref::new_ref(it1.next());
        if (!k) break;
        Ref v = Ref::new_ref(it2.next());
        if (!v) break;
        const Found taken_already = taken.contains(k.get());
        if (taken_already == Found::error) return false;
        int skip = taken_already == Found::yes;
        if (!skip) {
            skip = starts_with(k.get(), state().names.underscore);
            if (skip < 0) return false;
        }
        if (skip) continue;
        if (PyList_Append(names, k.get()) < 0 || PyList_Append(values, v.get()) < 0 ||
            !taken.add(k.get()))
            return false;
    }
    return !PyErr_Occurred();
}

// dct.update(dict(zip(names, values))). `kept[i]`, for the first `nkept`
// names, says that values[i] is what dct[names[i]] held when it was read;
// `changes` says whether dct has been modified since.
bool write_members(PyObject *dct, PyObject *names, PyObject *values, const unsigned char *kept,
                   Py_ssize_t nkept, DictChanges &changes) {
    const Py_ssize_t n = PyList_GET_SIZE(names);
    if (kFastPaths && PyDict_CheckExact(dct)) {
        // With exact str names, storing each pair straight into the
        // namespace gives the same dict: a repeated name keeps its first
        // place and its last value, as through the intermediate dict, and
        // neither way runs Python code. Storing a value under a name that
        // still holds it changes nothing, and is skipped.
        bool plain = true;
        for (Py_ssize_t i = 0; i < n && plain; ++i)
            plain = PyUnicode_CheckExact(PyList_GET_ITEM(names, i));
        if (plain) {
            if (!changes.unchanged()) nkept = 0;
            changes.stop();
            for (Py_ssize_t i = 0; i < n && i < PyList_GET_SIZE(values); ++i) {
                if (i < nkept && kept[i]) continue;
                if (PyDict_SetItem(dct, PyList_GET_ITEM(names, i), PyList_GET_ITEM(values, i)) < 0)
                    return false;
            }
            return true;
        }
    }
    Ref d = Ref::steal(PyDict_New());
    if (!d) return false;
    for (Py_ssize_t i = 0; i < n && i < PyList_GET_SIZE(values); ++i) {
        if (PyDict_SetItem(d.get(), PyList_GET_ITEM(names, i), PyList_GET_ITEM(values, i)) < 0)
            return false;
    }
    if (PyDict_CheckExact(dct)) return PyDict_Update(dct, d.get()) == 0;
    Ref r = Ref::steal(PyObject_CallMethodOneArg(dct, state().names.update, d.get()));
    return static_cast<bool>(r);
}

}  // namespace

namespace {

// isinstance(v, cls) for any object `cls`. When it is a class whose
// metaclass is exactly `type` (no __instancecheck__), is_instance answers.
int is_instance_plain(PyObject *v, PyObject *cls) {
    if (PyType_CheckExact(cls)) return is_instance(v, reinterpret_cast<PyTypeObject *>(cls));
    return PyObject_IsInstance(v, cls);
}

}  // namespace

void note_nested(PyObject *member, PyObject *owner) {
    // Once per level, so a deep table names the whole path, innermost first.
    add_note("numor: raised while member %.80R of %.200S was built from its dict", member, owner);
}

Ref convert_value_slow(PyObject *v) {
    // Only a dict gets the truth test: a value whose truth test raises (an
    // array, say) is an ordinary member.
    const int is_dict = is_instance(v, &PyDict_Type);
    if (is_dict < 0) return Ref();
    if (is_dict) {
        const int t = PyObject_IsTrue(v);
        if (t < 0) return Ref();
        if (!t) return Ref::new_ref(v);
        // The nested enumeration's construction writes into its namespace;
        // give it a copy so the caller's dict stays as it was.
        NestingGuard level;
        if (!level.enter()) return Ref();
        Ref copy = Ref::steal(PyDict_New());
        if (!copy || PyDict_Merge(copy.get(), v, 1) < 0) return Ref();
        PyObject *arg = copy.get();
        return call_global(state().names.NUmor, &arg, 1);
    }
    Ref ft = global(state().names.FunctionType);
    if (!ft) return ft;
    const int r = is_instance_plain(v, ft.get());
    if (r < 0) return Ref();
    if (r) return Ref::steal(PyClassMethod_New(v));
    return Ref::new_ref(v);
}

Ref meta_new(PyObject *cls, PyObject *name, PyObject *bases, PyObject *dct,
             [[maybe_unused]] PyObject *args) {
    Ref class_name = Ref::new_ref(name);

    // Only enumeration bases take part; everything else is dropped.
    auto is_enum = [](PyObject *b) {
        Ref meta = global(state().names.mNUmor);
        return meta ? PyObject_IsInstance(b, meta.get()) : -1;
    };
    Ref filtered;
    if (kFastPaths && PyTuple_CheckExact(bases) && PyTuple_GET_SIZE(bases) <= kFewBases) {
        // A tuple cannot change while it is walked, and it holds its items:
        // the kept ones go straight into the result.
        PyObject *keep[kFewBases];
        Py_ssize_t nkeep = 0;
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(bases); ++i) {
            PyObject *b = PyTuple_GET_ITEM(bases, i);
            const int r = is_enum(b);
            if (r < 0) return nullptr;
            if (r) keep[nkeep++] = b;
        }
        filtered = Ref::steal(PyTuple_New(nkeep));
        for (Py_ssize_t i = 0; filtered && i < nkeep; ++i)
            PyTuple_SET_ITEM(filtered.get(), i, Py_NewRef(keep[i]));
    } else {
        Ref kept = Ref::steal(PyList_New(0));
        Ref it = Ref::steal(PyObject_GetIter(bases));
        if (!kept || !it) return nullptr;
        while (Ref b = next_item(it.get())) {
            const int r = is_enum(b.get());
            if (r < 0 || (r && PyList_Append(kept.get(), b.get()) < 0)) return nullptr;
        }
        if (PyErr_Occurred()) return nullptr;
        filtered = Ref::steal(PyList_AsTuple(kept.get()));
    }
    if (!filtered) return nullptr;

    Ref table;
    int has_members = PyTuple_GET_SIZE(filtered.get()) > 0;
    if (has_members) {
        has_members = PyObject_IsTrue(dct);
        if (has_members < 0) return nullptr;
    }
    if (has_members) {
        Ref v;
        int r = read_option(dct, state().names.nominis, v);
        if (r < 0) return nullptr;
        if (r) {
            r = type_equals(v.get(), reinterpret_cast<PyObject *>(&PyUnicode_Type));
            if (r < 0) return nullptr;
            if (r && !(class_name = get_item(dct, state().names.nominis))) return nullptr;
        }
        // From here on, a namespace found unchanged still holds what was
        // read from it.
        DictChanges changes(dct);
        Ref read;  // the values, when read along with the names
        Ref names = order_members(dct, true, nullptr, &read);
        if (!names) return nullptr;
        const Py_ssize_t n = PyList_GET_SIZE(names.get());
        // Filled in place: nothing else sees it meanwhile. The list of the
        // values read along with the names, when there is one, takes the
        // converted ones in their places.
        Ref values = read && PyList_GET_SIZE(read.get()) == n ? Ref::new_ref(read.get())
                                                               : Ref::steal(PyList_New(n));
        if (!values) return nullptr;
        // Which values are stored as read (most are).
        Bytes kept(n);
        if (!kept) return nullptr;
        bool plain_ft = plain_function_type();
        for (Py_ssize_t i = 0; i < n; ++i) {
            Ref nm = Ref::new_ref(PyList_GET_ITEM(names.get(), i));
            const bool as_read = read && changes.unchanged();
            Ref raw = as_read ? Ref::new_ref(PyList_GET_ITEM(read.get(), i)) : get_item(dct, nm.get());
            // Reading the namespace may have run Python code.
            if (!as_read) plain_ft = plain_function_type();
            if (!raw) {
                if (PyErr_ExceptionMatches(PyExc_KeyError))
                    add_note("numor: the name %.80R was stripped from a key with white space "
                             "around it, and a class namespace must hold it as it is",
                             nm.get());
                return nullptr;
            }
            const bool stays = stays_as_is(raw.get(), plain_ft);
            Ref w = stays ? Ref::new_ref(raw.get()) : convert_value_slow(raw.get());
            if (!w) {
                if (PyDict_Check(raw.get())) note_nested(nm.get(), class_name.get());
                return nullptr;
            }
            if (!stays) plain_ft = plain_function_type();  // converting may have run code
            kept.data()[i] = w.get() == raw.get();
            // What the place held is `raw`, or a value read before the
            // namespace changed (whose release may run code: nothing read
            // before it is used after it).
            PyObject *was = PyList_GET_ITEM(values.get(), i);
            PyList_SET_ITEM(values.get(), i, w.release());
            Py_XDECREF(was);
        }
        if (!inherit(filtered.get(), names.get(), values.get())) return nullptr;
        if (!write_members(dct, names.get(), values.get(), kept.data(), n, changes))
            return nullptr;
        table = Ref::steal(PyList_AsTuple(names.get()));
    } else {
        table = Ref::steal(PyTuple_New(0));
    }
    if (!table || PyObject_SetItem(dct, state().names._key, table.get()) < 0) return nullptr;

    // A merge of several enumerations derives from the root alone.
    Ref final_bases;
    if (PyTuple_GET_SIZE(filtered.get()) > 1) {
        Ref root = global(state().names.NUmor);
        if (!root) return nullptr;
        final_bases = Ref::steal(PyTuple_Pack(1, root.get()));
        if (!final_bases) return nullptr;
    } else {
        final_bases = std::move(filtered);
    }
    Ref made = call_type_new(cls, class_name.get(), final_bases.get(), dct);
    if (made) register_metaclass_of(made.get());
    return made;
}

Ref meta_keys(PyObject *self) {
    Ref table = get_key(self);
    if (!table) return nullptr;
    if (kFastPaths && PyTuple_CheckExact(table.get())) {
        // The usual table, walked without the walker's bookkeeping (this is
        // a hot path): testing an exact str's first character runs no
        // Python code, and `table` keeps every item alive for any other.
        const Py_ssize_t n = PyTuple_GET_SIZE(table.get());
        PyObject *const *items = &PyTuple_GET_ITEM(table.get(), 0);
        // While the names are non-empty ASCII exact str (nearly always),
        // the list is made at its size: the memo's table is counted once,
        // any other here.
        KeyMemo &m = key_memo;
        Py_ssize_t shown = -1;
        if (table.get() == m.value.get()) {
            if (!m.names_told) tell_names();
            shown = m.shown;
        } else {
            bool dunders;
            shown = public_ascii_names(table.get(), dunders);
        }
        if (shown >= 0) {
            Ref out = Ref::steal(PyList_New(shown));
            if (!out) return nullptr;
            if (shown == n) {
                for (Py_ssize_t i = 0; i < n; ++i) PyList_SET_ITEM(out.get(), i, Py_NewRef(items[i]));
                return out;
            }
            for (Py_ssize_t i = 0, k = 0; i < n; ++i)
                if (compat::ascii_chars(items[i])[0] != '_')
                    PyList_SET_ITEM(out.get(), k++, Py_NewRef(items[i]));
            return out;
        }
        Ref out = Ref::steal(PyList_New(0));
        if (!out) return nullptr;
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject *x = items[i];
            const int pub = first_char_is_underscore(x, Py_NE);
            if (pub < 0 || (pub && PyList_Append(out.get(), x) < 0)) return nullptr;
        }
        return out;
    }
    Ref out = Ref::steal(PyList_New(0));
    if (!out) return nullptr;
    Walk walk;
    if (!walk.start(table.get())) return nullptr;
    while (PyObject *x = walk.next()) {
        const int pub = first_char_is_underscore(x, Py_NE);
        if (pub < 0 || (pub && PyList_Append(out.get(), x) < 0)) return nullptr;
    }
    if (PyErr_Occurred()) return nullptr;
    return out;
}

}  // namespace numor
