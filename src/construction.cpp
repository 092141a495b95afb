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
// the sort is the interpreter's own stable list sort. Exact-type fast paths
// only skip work that could not have run Python code.
#include "construction.h"

#include "common.h"

namespace numor {

namespace {

// --- composed ordering key ----------------------------------------------

// `key(x)` for an ordering list: the position of x in the list when it is
// there, else the user's key function, else x's first character.
struct OrdoKey {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    PyObject *ordo;
    PyObject *keyfn;  // may be null
};

// Fast path for a plain list or tuple of plain strings: one scan gives both
// `x in ordo` and `ordo.index(x)`. -1 not found, -2 give up (generic path).
Py_ssize_t scan_plain(PyObject *ordo, PyObject *x) {
    if (!PyUnicode_CheckExact(x)) return -2;
    const bool is_list = PyList_CheckExact(ordo);
    if (!is_list && !PyTuple_CheckExact(ordo)) return -2;
    const Py_ssize_t n = Py_SIZE(ordo);
    PyObject *const *items = is_list ? PySequence_Fast_ITEMS(ordo) : &PyTuple_GET_ITEM(ordo, 0);
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject *item = items[i];
        if (item == x) return i;
        if (!PyUnicode_CheckExact(item)) return -2;
        if (PyUnicode_Compare(item, x) == 0) return i;
    }
    return -1;
}

PyObject *ordo_key_call(PyObject *self, PyObject *const *args, size_t nargsf, PyObject *kwnames) {
    auto *k = reinterpret_cast<OrdoKey *>(self);
    if (PyVectorcall_NARGS(nargsf) != 1 || kwnames) {
        PyErr_SetString(PyExc_TypeError, "ordo_key() takes exactly 1 argument");
        return nullptr;
    }
    PyObject *x = args[0];
    Ref ordo = Ref::borrow(k->ordo);
    const Py_ssize_t i = scan_plain(ordo.get(), x);
    if (i >= 0) return PyLong_FromSsize_t(i);
    if (i == -2) {
        const int in = PySequence_Contains(ordo.get(), x);
        if (in < 0) return nullptr;
        if (in) return PyObject_CallMethodOneArg(ordo.get(), g.n.index, x);
    }
    if (k->keyfn) {
        Ref fn = Ref::borrow(k->keyfn);
        return PyObject_CallOneArg(fn.get(), x);
    }
    return PyObject_GetItem(x, zero());
}

int ordo_key_traverse(PyObject *self, visitproc visit, void *arg) {
    auto *k = reinterpret_cast<OrdoKey *>(self);
    Py_VISIT(k->ordo);
    Py_VISIT(k->keyfn);
    return 0;
}

int ordo_key_clear(PyObject *self) {
    auto *k = reinterpret_cast<OrdoKey *>(self);
    Py_CLEAR(k->ordo);
    Py_CLEAR(k->keyfn);
    return 0;
}

void ordo_key_dealloc(PyObject *self) {
    PyObject_GC_UnTrack(self);
    ordo_key_clear(self);
    PyObject_GC_Del(self);
}

PyTypeObject OrdoKeyType{};

Ref make_ordo_key(PyObject *ordo, PyObject *keyfn) {
    OrdoKey *k = PyObject_GC_New(OrdoKey, &OrdoKeyType);
    if (!k) return Ref();
    k->vectorcall = ordo_key_call;
    k->ordo = Py_NewRef(ordo);
    k->keyfn = Py_XNewRef(keyfn);
    PyObject_GC_Track(k);
    return Ref::steal(reinterpret_cast<PyObject *>(k));
}

// --- candidates -----------------------------------------------------------

// 1 keep, 0 drop, -1 error: `s and not s[0].isdigit()` and, when asked,
// `s.find("__") != 0`.
int accept_name(PyObject *s, bool drop_dunder) {
    if (PyUnicode_CheckExact(s)) {
        const Py_ssize_t n = PyUnicode_GET_LENGTH(s);
        if (n == 0) return 0;
        const Py_UCS4 c = PyUnicode_READ_CHAR(s, 0);
        // str.isdigit of one character is exactly this test.
        if (Py_UNICODE_ISDIGIT(c)) return 0;
        if (drop_dunder && n >= 2 && c == '_' && PyUnicode_READ_CHAR(s, 1) == '_') return 0;
        return 1;
    }
    int t = PyObject_IsTrue(s);
    if (t <= 0) return t;
    Ref c = Ref::steal(PyObject_GetItem(s, zero()));
    if (!c) return -1;
    Ref d = Ref::steal(PyObject_CallMethodNoArgs(c.get(), g.n.isdigit));
    if (!d) return -1;
    t = PyObject_IsTrue(d.get());
    if (t) return t < 0 ? -1 : 0;
    if (!drop_dunder) return 1;
    t = starts_with(s, g.n.dunder);
    return t < 0 ? -1 : !t;
}

// Reads an option: `name in m` and, when present, the value (read once for
// the test; the caller reads it again for use).
int read_option(PyObject *m, PyObject *name, Ref &out) {
    const int r = PySequence_Contains(m, name);
    if (r <= 0) return r;
    out = Ref::steal(PyObject_GetItem(m, name));
    return out ? 1 : -1;
}

// `tuple(getattr(b, n) for n in names)`
Ref values_of(PyObject *b, PyObject *names) {
    Ref it = Ref::steal(PyObject_GetIter(names));
    if (!it) return it;
    Ref out = Ref::steal(PyList_New(0));
    if (!out) return out;
    while (Ref n = Ref::steal(PyIter_Next(it.get()))) {
        Ref v = Ref::steal(PyObject_GetAttr(b, n.get()));
        if (!v || PyList_Append(out.get(), v.get()) < 0) return Ref();
    }
    if (PyErr_Occurred()) return Ref();
    return Ref::steal(PyList_AsTuple(out.get()));
}

// Appends the public members of the enumeration bases that are not taken
// yet (the own members hide inherited ones; the first base wins).
bool inherit(PyObject *bases, PyObject *names, PyObject *values) {
    const Py_ssize_t nb = PyTuple_GET_SIZE(bases);
    Ref name_seqs = Ref::steal(PyTuple_New(nb));
    Ref value_seqs = Ref::steal(PyTuple_New(nb));
    if (!name_seqs || !value_seqs) return false;
    for (Py_ssize_t i = 0; i < nb; ++i) {
        PyObject *b = PyTuple_GET_ITEM(bases, i);
        Ref ks = Ref::steal(PyObject_CallMethodNoArgs(b, g.n.keys));
        if (!ks) return false;
        Ref vs = values_of(b, ks.get());
        if (!vs) return false;
        PyTuple_SET_ITEM(name_seqs.get(), i, ks.release());
        PyTuple_SET_ITEM(value_seqs.get(), i, vs.release());
    }
    PyObject *arg = name_seqs.get();
    Ref all_names = call_global(g.n.concat, &arg, 1);
    if (!all_names) return false;
    arg = value_seqs.get();
    Ref all_values = call_global(g.n.concat, &arg, 1);
    if (!all_values) return false;
    // zip(all_names, all_values)
    Ref it1 = Ref::steal(PyObject_GetIter(all_names.get()));
    if (!it1) return false;
    Ref it2 = Ref::steal(PyObject_GetIter(all_values.get()));
    if (!it2) return false;
    for (;;) {
        Ref k = Ref::steal(PyIter_Next(it1.get()));
        if (!k) break;
        Ref v = Ref::steal(PyIter_Next(it2.get()));
        if (!v) break;
        int skip = PySequence_Contains(names, k.get());
        if (skip < 0) return false;
        if (!skip) {
            skip = starts_with(k.get(), g.n.underscore);
            if (skip < 0) return false;
        }
        if (skip) continue;
        if (PyList_Append(names, k.get()) < 0 || PyList_Append(values, v.get()) < 0) return false;
    }
    return !PyErr_Occurred();
}

// dct.update(dict(zip(names, values)))
bool write_members(PyObject *dct, PyObject *names, PyObject *values) {
    Ref d = Ref::steal(PyDict_New());
    if (!d) return false;
    const Py_ssize_t n = PyList_GET_SIZE(names);
    for (Py_ssize_t i = 0; i < n && i < PyList_GET_SIZE(values); ++i) {
        if (PyDict_SetItem(d.get(), PyList_GET_ITEM(names, i), PyList_GET_ITEM(values, i)) < 0)
            return false;
    }
    if (PyDict_CheckExact(dct)) return PyDict_Update(dct, d.get()) == 0;
    Ref r = Ref::steal(PyObject_CallMethodOneArg(dct, g.n.update, d.get()));
    return static_cast<bool>(r);
}

}  // namespace

Ref collect_candidates(PyObject *mapping, bool drop_dunder, PyObject *sources) {
    Ref out = Ref::steal(PyList_New(0));
    if (!out) return out;
    Ref it = Ref::steal(PyObject_GetIter(mapping));
    if (!it) return it;
    while (Ref key = Ref::steal(PyIter_Next(it.get()))) {
        Ref s = strip(key.get());
        if (!s) return s;
        const int ok = accept_name(s.get(), drop_dunder);
        if (ok < 0) return Ref();
        if (!ok) continue;
        if (PyList_Append(out.get(), s.get()) < 0) return Ref();
        if (sources) {
            if (!PyDict_SetDefault(sources, s.get(), key.get())) return Ref();
        }
    }
    if (PyErr_Occurred()) return Ref();
    return out;
}

Ref order_members(PyObject *mapping, Ref (*candidates)(PyObject *, bool, PyObject *),
                  bool drop_dunder, PyObject *sources) {
    Ref keyfn, reverse, ordo, v;
    int r = read_option(mapping, g.n.ordo_key, v);
    if (r < 0) return Ref();
    if (r) {
        Ref ft = global(g.n.FunctionType);
        if (!ft) return ft;
        r = PyObject_IsInstance(v.get(), ft.get());
        if (r < 0) return Ref();
        if (r && !(keyfn = Ref::steal(PyObject_GetItem(mapping, g.n.ordo_key)))) return Ref();
    }
    r = read_option(mapping, g.n.ordo_reverse, v);
    if (r < 0) return Ref();
    if (r && PyBool_Check(v.get())) {
        if (!(reverse = Ref::steal(PyObject_GetItem(mapping, g.n.ordo_reverse)))) return Ref();
    }
    r = read_option(mapping, g.n.ordo, v);
    if (r < 0) return Ref();
    if (r && (PyList_Check(v.get()) || PyTuple_Check(v.get()))) {
        if (!(ordo = Ref::steal(PyObject_GetItem(mapping, g.n.ordo)))) return Ref();
    }
    v.reset();

    Ref names = candidates(mapping, drop_dunder, sources);
    if (!names) return names;
    Ref key = ordo ? make_ordo_key(ordo.get(), keyfn.get()) : std::move(keyfn);
    if (ordo && !key) return Ref();
    if (!key && !reverse) {
        if (PyList_Sort(names.get()) < 0) return Ref();
        return names;
    }
    // names.sort(key=..., reverse=...), with only the arguments in force.
    PyObject *argv[3] = {names.get(), nullptr, nullptr};
    Py_ssize_t nkw = 0;
    Ref kwnames = Ref::steal(PyTuple_New((key ? 1 : 0) + (reverse ? 1 : 0)));
    if (!kwnames) return kwnames;
    if (key) {
        argv[1 + nkw] = key.get();
        PyTuple_SET_ITEM(kwnames.get(), nkw++, Py_NewRef(g.n.key));
    }
    if (reverse) {
        argv[1 + nkw] = reverse.get();
        PyTuple_SET_ITEM(kwnames.get(), nkw++, Py_NewRef(g.n.reverse));
    }
    Ref res = Ref::steal(PyObject_VectorcallMethod(g.n.sort, argv, 1, kwnames.get()));
    if (!res) return res;
    return names;
}

Ref convert_value(PyObject *v) {
    // Only a dict gets the truth test: a value whose truth test raises (an
    // array, say) is an ordinary member.
    if (PyDict_Check(v)) {
        const int t = PyObject_IsTrue(v);
        if (t < 0) return Ref();
        if (!t) return Ref::borrow(v);
        // The nested enumeration's construction writes into its namespace;
        // give it a copy so the caller's dict stays as it was.
        Ref copy = Ref::steal(PyDict_New());
        if (!copy || PyDict_Merge(copy.get(), v, 1) < 0) return Ref();
        PyObject *arg = copy.get();
        return call_global(g.n.NUmor, &arg, 1);
    }
    Ref ft = global(g.n.FunctionType);
    if (!ft) return ft;
    const int r = PyObject_IsInstance(v, ft.get());
    if (r < 0) return Ref();
    if (r) return Ref::steal(PyClassMethod_New(v));
    return Ref::borrow(v);
}

PyObject *meta_new(PyObject *const *a) {
    PyObject *cls = a[0], *bases = a[2], *dct = a[3];
    Ref name = Ref::borrow(a[1]);

    // Only enumeration bases take part; everything else is dropped.
    Ref kept = Ref::steal(PyList_New(0));
    Ref it = Ref::steal(PyObject_GetIter(bases));
    if (!kept || !it) return nullptr;
    while (Ref b = Ref::steal(PyIter_Next(it.get()))) {
        Ref meta = global(g.n.mNUmor);
        if (!meta) return nullptr;
        const int r = PyObject_IsInstance(b.get(), meta.get());
        if (r < 0 || (r && PyList_Append(kept.get(), b.get()) < 0)) return nullptr;
    }
    if (PyErr_Occurred()) return nullptr;
    Ref filtered = Ref::steal(PyList_AsTuple(kept.get()));
    if (!filtered) return nullptr;

    Ref table;
    int has_members = PyTuple_GET_SIZE(filtered.get()) > 0;
    if (has_members) {
        has_members = PyObject_IsTrue(dct);
        if (has_members < 0) return nullptr;
    }
    if (has_members) {
        Ref v;
        int r = read_option(dct, g.n.nominis, v);
        if (r < 0) return nullptr;
        if (r) {
            r = type_equals(v.get(), reinterpret_cast<PyObject *>(&PyUnicode_Type));
            if (r < 0) return nullptr;
            if (r && !(name = Ref::steal(PyObject_GetItem(dct, g.n.nominis)))) return nullptr;
        }
        Ref names = order_members(dct, collect_candidates, true, nullptr);
        if (!names) return nullptr;
        const Py_ssize_t n = PyList_GET_SIZE(names.get());
        Ref values = Ref::steal(PyList_New(0));
        if (!values) return nullptr;
        for (Py_ssize_t i = 0; i < n; ++i) {
            Ref nm = Ref::borrow(PyList_GET_ITEM(names.get(), i));
            Ref raw = Ref::steal(PyObject_GetItem(dct, nm.get()));
            if (!raw) return nullptr;
            Ref w = convert_value(raw.get());
            if (!w || PyList_Append(values.get(), w.get()) < 0) return nullptr;
        }
        if (!inherit(filtered.get(), names.get(), values.get())) return nullptr;
        if (!write_members(dct, names.get(), values.get())) return nullptr;
        table = Ref::steal(PyList_AsTuple(names.get()));
    } else {
        table = Ref::steal(PyTuple_New(0));
    }
    if (!table || PyObject_SetItem(dct, g.n._key, table.get()) < 0) return nullptr;

    // A merge of several enumerations derives from the root alone.
    Ref final_bases;
    if (PyTuple_GET_SIZE(filtered.get()) > 1) {
        Ref root = global(g.n.NUmor);
        if (!root) return nullptr;
        final_bases = Ref::steal(PyTuple_Pack(1, root.get()));
        if (!final_bases) return nullptr;
    } else {
        final_bases = std::move(filtered);
    }
    PyObject *args[4] = {cls, name.get(), final_bases.get(), dct};
    return PyObject_Vectorcall(g.type_new, args, 4, nullptr);
}

PyObject *meta_keys(PyObject *const *a) {
    Ref table = get_key(a[0]);
    if (!table) return nullptr;
    Ref out = Ref::steal(PyList_New(0));
    if (!out) return nullptr;
    Ref it = Ref::steal(PyObject_GetIter(table.get()));
    if (!it) return nullptr;
    while (Ref x = Ref::steal(PyIter_Next(it.get()))) {
        const int pub = first_char_is_underscore(x.get(), Py_NE);
        if (pub < 0 || (pub && PyList_Append(out.get(), x.get()) < 0)) return nullptr;
    }
    if (PyErr_Occurred()) return nullptr;
    return out.release();
}

int construction_ready() {
    PyTypeObject &t = OrdoKeyType;
    if (t.tp_flags & Py_TPFLAGS_READY) return 0;
    init_static_type(t, "numor.ordo_key", sizeof(OrdoKey));
    t.tp_dealloc = ordo_key_dealloc;
    t.tp_vectorcall_offset = offsetof(OrdoKey, vectorcall);
    t.tp_call = PyVectorcall_Call;
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
                 Py_TPFLAGS_DISALLOW_INSTANTIATION;
    t.tp_traverse = ordo_key_traverse;
    t.tp_clear = ordo_key_clear;
    return PyType_Ready(&t);
}

}  // namespace numor
