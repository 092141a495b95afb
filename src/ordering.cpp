// Member ordering: which keys of a class namespace are candidate member
// names, and the order the class-body options give them.
//
// Without options the names are sorted as strings. `__ordo_numor__` (a
// list or tuple) puts the names it lists first, in its order; the others
// follow by `__ordo_numor_key__` (a function) or, without one, by their
// first character; `__ordo_numor_reverse__` (a bool) reverses the sort.
// The list order is applied through a small callable key object whose
// position map makes ordering n names by a list of m cost n + m.
#include "ordering.h"

#include "bytes.h"
#include "caches.h"
#include "compat.h"
#include "exact_types.h"
#include "fast_paths.h"
#include "found.h"
#include "heap_type.h"
#include "member_search.h"
#include "notes.h"
#include "options.h"
#include "state.h"
#include "walk.h"

#include <cstring>

namespace numor {

// `m[k]`. For an exact dict this is the dict's own lookup without the
// protocol's dispatch (an exact dict has no `__missing__`).
namespace {

// --- composed ordering key ----------------------------------------------

// `key(x)` for an ordering list: the position of x in the list when it is
// there, else the user's key function, else x's first character.
struct OrdoKey {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    PyObject *ordo;
    PyObject *keyfn;      // may be null
    PyObject *positions;  // see ordo_positions; may be null
    bool unindexable;
};

// The first position of each name of a long, plain list or tuple of exact
// str, so that ordering n names by a list of m costs n + m, not n * m. The
// sort calls the key once per name with nothing in between, and while the
// key itself runs no Python code nothing can change the list, so the map
// stays right; the paths that run user code (the user's key function, the
// generic `in` and `index`) drop it. 1 built, 0 not applicable, -1 error.
int ordo_positions(OrdoKey *k) {
    if (k->positions) return 1;
    PyObject *ordo = k->ordo;
    if (!kFastPaths || k->unindexable || !(PyList_CheckExact(ordo) || PyTuple_CheckExact(ordo)) ||
        Py_SIZE(ordo) < 16)
        return 0;
    // Made before the list is read: allocating it may collect garbage, and
    // a finaliser may change the list.
    Ref map = Ref::steal(PyDict_New());
    if (!map) return -1;
    const Py_ssize_t n = Py_SIZE(ordo);
    PyObject *const *items = PySequence_Fast_ITEMS(ordo);
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (!PyUnicode_CheckExact(items[i])) {
            k->unindexable = true;
            return 0;
        }
        Ref pos = Ref::steal(PyLong_FromSsize_t(i));
        if (!pos || !PyDict_SetDefault(map.get(), items[i], pos.get())) return -1;
    }
    k->positions = map.release();
    return 1;
}

// User code may run next and change the list.
void ordo_forget(OrdoKey *k) {
    Py_CLEAR(k->positions);
    k->unindexable = false;
}

PyObject *ordo_key_call(PyObject *self, PyObject *const *args, size_t nargsf, PyObject *kwnames) {
    auto *k = reinterpret_cast<OrdoKey *>(self);
    if (PyVectorcall_NARGS(nargsf) != 1 || kwnames) {
        PyErr_SetString(PyExc_TypeError, "ordo_key() takes exactly 1 argument");
        return nullptr;
    }
    PyObject *x = args[0];
    Ref ordo = Ref::new_ref(k->ordo);
    const int indexed = PyUnicode_CheckExact(x) ? ordo_positions(k) : 0;
    if (indexed < 0) return nullptr;
    if (indexed) {
        if (PyObject *pos = PyDict_GetItemWithError(k->positions, x)) return Py_NewRef(pos);
        if (PyErr_Occurred()) return nullptr;
    } else {
        // For a plain list or tuple of plain strings one scan gives both
        // `x in ordo` and `ordo.index(x)`.
        Py_ssize_t i = -1;
        Scan found = Scan::unsupported;
        PyObject *seq = ordo.get();
        if (kFastPaths && PyUnicode_CheckExact(x) &&
            (PyList_CheckExact(seq) || PyTuple_CheckExact(seq)))
            found = str_scan(PySequence_Fast_ITEMS(seq), Py_SIZE(seq), x, i);
        if (found == Scan::hit) return PyLong_FromSsize_t(i);
        if (found == Scan::unsupported) {
            ordo_forget(k);
            const int in = PySequence_Contains(ordo.get(), x);
            if (in < 0) return nullptr;
            if (in) return PyObject_CallMethodOneArg(ordo.get(), state().names.index, x);
        }
    }
    if (k->keyfn) {
        ordo_forget(k);
        Ref fn = Ref::new_ref(k->keyfn);
        return PyObject_CallOneArg(fn.get(), x);
    }
    return PyObject_GetItem(x, zero());
}

int ordo_key_traverse(PyObject *self, visitproc visit, void *arg) {
    auto *k = reinterpret_cast<OrdoKey *>(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(k->ordo);
    Py_VISIT(k->keyfn);
    Py_VISIT(k->positions);
    return 0;
}

int ordo_key_clear(PyObject *self) {
    auto *k = reinterpret_cast<OrdoKey *>(self);
    Py_CLEAR(k->ordo);
    Py_CLEAR(k->keyfn);
    Py_CLEAR(k->positions);
    return 0;
}

void ordo_key_dealloc(PyObject *self) {
    PyTypeObject *type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    ordo_key_clear(self);
    PyObject_GC_Del(self);
    Py_DECREF(type);
}

PyMemberDef ordo_key_members[] = {
    {"__vectorcalloffset__", NUMOR_T_PYSSIZET, offsetof(OrdoKey, vectorcall), NUMOR_READONLY,
     nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot ordo_key_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void *>(ordo_key_dealloc)},
    {Py_tp_call, reinterpret_cast<void *>(PyVectorcall_Call)},
    {Py_tp_traverse, reinterpret_cast<void *>(ordo_key_traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(ordo_key_clear)},
    {Py_tp_members, ordo_key_members},
    {0, nullptr},
};

PyType_Spec ordo_key_spec = {
    "numor.ordo_key",
    sizeof(OrdoKey),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
        Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    ordo_key_slots,
};

Ref make_ordo_key(PyObject *ordo, PyObject *keyfn) {
    OrdoKey *k = PyObject_GC_New(OrdoKey, state().ordo_key_type);
    if (!k) return Ref();
    k->vectorcall = ordo_key_call;
    k->ordo = Py_NewRef(ordo);
    k->keyfn = Py_XNewRef(keyfn);
    k->positions = nullptr;
    k->unindexable = false;
    PyObject_GC_Track(k);
    return Ref::steal(reinterpret_cast<PyObject *>(k));
}

// 1 keep, 0 drop, -1 error: `s and not s[0].isdigit()` and, when asked,
// `s.find("__") != 0`.
int accept_name(PyObject *s, bool drop_dunder) {
    if (kFastPaths && PyUnicode_CheckExact(s)) {
        const Py_ssize_t n = PyUnicode_GET_LENGTH(s);
        if (n == 0) return 0;
        const Py_UCS4 c = PyUnicode_READ_CHAR(s, 0);
        // str.isdigit of one character is exactly this test; among ASCII
        // characters only 0-9 are digits.
        if (c < 128 ? (c >= '0' && c <= '9') : Py_UNICODE_ISDIGIT(c)) return 0;
        if (drop_dunder && n >= 2 && c == '_' && PyUnicode_READ_CHAR(s, 1) == '_') return 0;
        return 1;
    }
    int t = PyObject_IsTrue(s);
    if (t <= 0) return t;
    Ref c = Ref::steal(PyObject_GetItem(s, zero()));
    if (!c) return -1;
    Ref d = Ref::steal(PyObject_CallMethodNoArgs(c.get(), state().names.isdigit));
    if (!d) return -1;
    t = PyObject_IsTrue(d.get());
    if (t) return t < 0 ? -1 : 0;
    if (!drop_dunder) return 1;
    t = starts_with(s, state().names.dunder);
    return t < 0 ? -1 : !t;
}

// collect_candidates for an exact dict while its keys are exact str: then
// stripping, testing and collecting run no Python code, the dict cannot
// change during the walk, and walking its entries directly visits the keys
// in the order its iterator would. At the first other key it gives up
// (`unsupported`) and undoes its only side effect, on `sources`; the
// generic walk then starts over. `hit` with the names in `out` and, when
// `values` is given and no kept key needed stripping, their values in it.
Scan plain_candidates(PyObject *mapping, bool drop_dunder, PyObject *sources, Ref &out,
                      Ref *values) {
    if (!kFastPaths || !PyDict_CheckExact(mapping)) return Scan::unsupported;
    // Both lists are made at the dict's size and cut to what was kept. A
    // finaliser run by an allocation here could still grow the dict: past
    // the room made, the generic walk takes over.
    const Py_ssize_t room = PyDict_GET_SIZE(mapping);
    out = Ref::steal(PyList_New(room));
    if (!out) return Scan::error;
    Ref vals;
    if (values && !(vals = Ref::steal(PyList_New(room)))) return Scan::error;
    Py_ssize_t kept = 0;
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(mapping, &pos, &key, &value)) {
        if (!PyUnicode_CheckExact(key) || kept == room) {
            if (sources) PyDict_Clear(sources);
            return Scan::unsupported;
        }
        // Most keys are identifiers: nothing to strip, so the first
        // character decides.
        const Py_ssize_t n = PyUnicode_GET_LENGTH(key);
        if (n == 0) continue;
        const int kind = PyUnicode_KIND(key);
        const void *data = PyUnicode_DATA(key);
        const Py_UCS4 c = PyUnicode_READ(kind, data, 0);
        Ref s;
        if (Py_UNICODE_ISSPACE(c) || Py_UNICODE_ISSPACE(PyUnicode_READ(kind, data, n - 1))) {
            s = strip(key);
            if (!s) return Scan::error;
            const int ok = accept_name(s.get(), drop_dunder);
            if (ok < 0) return Scan::error;
            if (!ok) continue;
            vals.reset();  // `mapping[s]` is not this value, or not there
        } else {
            if (c < 128 ? (c >= '0' && c <= '9') : Py_UNICODE_ISDIGIT(c)) continue;
            if (drop_dunder && c == '_' && n >= 2 && PyUnicode_READ(kind, data, 1) == '_') continue;
            s = Ref::new_ref(key);
        }
        if (sources && !PyDict_SetDefault(sources, s.get(), key)) return Scan::error;
        if (vals) PyList_SET_ITEM(vals.get(), kept, Py_NewRef(value));
        PyList_SET_ITEM(out.get(), kept++, s.release());
    }
    // The slots past `kept` hold nothing, which a list may have past its size.
    Py_SET_SIZE(out.get(), kept);
    if (vals) Py_SET_SIZE(vals.get(), kept);
    if (values) *values = std::move(vals);
    return Scan::hit;
}

// A short list of one-byte exact str, the usual class body, is sorted
// here: a stable insertion sort that compares the first eight characters
// at once (for so few items it beats the interpreter's sort, whose
// comparisons go through calls).
// Comparing two exact str runs no Python code, so the order is the
// interpreter's, equal names included.
constexpr Py_ssize_t kShortSort = 64;

struct SortEntry {
    uint64_t head;  // the first 8 characters, big-endian, zero-padded
    PyObject *name;
    Py_ssize_t at;  // where it was
};

// Code point order of two one-byte str whose heads are equal.
bool tail_less(PyObject *a, PyObject *b) {
    const auto *pa = static_cast<const unsigned char *>(PyUnicode_DATA(a));
    const auto *pb = static_cast<const unsigned char *>(PyUnicode_DATA(b));
    const Py_ssize_t la = PyUnicode_GET_LENGTH(a), lb = PyUnicode_GET_LENGTH(b);
    for (Py_ssize_t i = 0, m = la < lb ? la : lb; i < m; ++i)
        if (pa[i] != pb[i]) return pa[i] < pb[i];
    return la < lb;
}

// When the heads differ, so do the strings, at that first different
// character; a zero of the padding sorts the shorter, which is then a
// prefix of the longer, first, as str does.
inline bool entry_less(const SortEntry &x, const SortEntry &y) {
    return x.head != y.head ? x.head < y.head : tail_less(x.name, y.name);
}

// Stable: insertion for short runs, merging (through `tmp`, room for half
// of them) above.
void sort_entries(SortEntry *a, Py_ssize_t n, SortEntry *tmp) {
    if (n <= kShortSort) {
        for (Py_ssize_t i = 1; i < n; ++i) {
            // Past every entry not greater than x: equal names keep their order.
            const SortEntry x = a[i];
            Py_ssize_t j = i;
            for (; j > 0 && entry_less(x, a[j - 1]); --j) a[j] = a[j - 1];
            a[j] = x;
        }
        return;
    }
    const Py_ssize_t h = n / 2;
    sort_entries(a, h, tmp);
    sort_entries(a + h, n - h, tmp);
    if (!entry_less(a[h], a[h - 1])) return;  // already in order
    std::memcpy(tmp, a, static_cast<size_t>(h) * sizeof(SortEntry));
    Py_ssize_t i = 0, j = h, k = 0;
    while (i < h && j < n) a[k++] = entry_less(a[j], tmp[i]) ? a[j++] : tmp[i++];
    while (i < h) a[k++] = tmp[i++];
}

// `names.sort()`. `values`, when set, is a list of as many items, put in
// the same order when the sort is made here, else dropped.
bool sort_names(PyObject *names, Ref &values) {
    const Py_ssize_t n = PyList_GET_SIZE(names);
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject *s = PyList_GET_ITEM(names, i);
        if (!kFastPaths || !PyUnicode_CheckExact(s) || PyUnicode_KIND(s) != PyUnicode_1BYTE_KIND) {
            values.reset();
            return PyList_Sort(names) == 0;
        }
    }
    // The entries, then room for the merges, or the values reordered.
    SortEntry small[kShortSort];
    const Py_ssize_t room = n + n / 2 + 1;
    Bytes buffer(n > kShortSort ? room * static_cast<Py_ssize_t>(sizeof(SortEntry)) : 0);
    if (!buffer) return false;
    SortEntry *entries =
        n > kShortSort ? reinterpret_cast<SortEntry *>(buffer.data()) : small;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject *s = PyList_GET_ITEM(names, i);
        const auto *p = static_cast<const unsigned char *>(PyUnicode_DATA(s));
        const Py_ssize_t len = PyUnicode_GET_LENGTH(s);
        const int m = len < 8 ? static_cast<int>(len) : 8;
        uint64_t head = 0;
        for (int k = 0; k < m; ++k) head = head << 8 | p[k];
        if (m) head <<= 8 * (8 - m);  // a shift by 64 would be undefined
        entries[i] = SortEntry{head, s, i};
    }
    SortEntry *tmp = entries + n;
    sort_entries(entries, n, tmp);
    for (Py_ssize_t i = 0; i < n; ++i) PyList_SET_ITEM(names, i, entries[i].name);
    if (values) {
        PyObject *few[kShortSort];
        PyObject **v = n > kShortSort ? reinterpret_cast<PyObject **>(tmp) : few;
        for (Py_ssize_t i = 0; i < n; ++i) v[i] = PyList_GET_ITEM(values.get(), entries[i].at);
        for (Py_ssize_t i = 0; i < n; ++i) PyList_SET_ITEM(values.get(), i, v[i]);
    }
    return true;
}

// The names, distinct (an exact dict's keys, none stripped), are the first
// items of `ordo`, an exact list or tuple, in its order: each one's key is
// then its position, so the sort by the ordering list would leave them as
// they are. So are the namespaces the factory and slicing make.
bool in_given_order(PyObject *names, PyObject *ordo) {
    if (!kFastPaths || !ordo || !(PyList_CheckExact(ordo) || PyTuple_CheckExact(ordo)))
        return false;
    const Py_ssize_t n = PyList_GET_SIZE(names);
    if (Py_SIZE(ordo) < n) return false;
    PyObject *const *given = PySequence_Fast_ITEMS(ordo);
    for (Py_ssize_t i = 0; i < n; ++i)
        if (PyList_GET_ITEM(names, i) != given[i]) return false;
    return true;
}

}  // namespace

Ref collect_candidates(PyObject *mapping, bool drop_dunder, PyObject *sources, Ref *values) {
    Ref out;
    switch (plain_candidates(mapping, drop_dunder, sources, out, values)) {
        case Scan::hit: return out;
        case Scan::error: return Ref();
        case Scan::miss:
        case Scan::unsupported: break;
    }
    out = Ref::steal(PyList_New(0));
    if (!out) return out;
    Ref it = Ref::steal(PyObject_GetIter(mapping));
    if (!it) return it;
    while (Ref key = next_item(it.get())) {
        Ref s = strip(key.get());
        if (!s) {
            if (!PyUnicode_Check(key.get()))
                add_note("numor: the keys of a class namespace or of update()'s mapping are member "
                         "names and must be str; key %.80R is %.200s",
                         key.get(), Py_TYPE(key.get())->tp_name);
            return s;
        }
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

Ref order_members(PyObject *mapping, bool drop_dunder, PyObject *sources, Ref *values) {
    Ref keyfn, reverse, ordo, v;
    int r = read_option(mapping, state().names.ordo_key, v);
    if (r < 0) return Ref();
    if (r) {
        Ref ft = global(state().names.FunctionType);
        if (!ft) return ft;
        r = PyObject_IsInstance(v.get(), ft.get());
        if (r < 0) return Ref();
        if (r && !(keyfn = get_item(mapping, state().names.ordo_key))) return Ref();
    }
    r = read_option(mapping, state().names.ordo_reverse, v);
    if (r < 0) return Ref();
    if (r && (r = is_instance(v.get(), &PyBool_Type)) < 0) return Ref();
    if (r) {
        if (!(reverse = get_item(mapping, state().names.ordo_reverse))) return Ref();
    }
    r = read_option(mapping, state().names.ordo, v);
    if (r < 0) return Ref();
    if (r && (r = is_instance(v.get(), &PyList_Type, &PyTuple_Type)) < 0) return Ref();
    if (r) {
        if (!(ordo = get_item(mapping, state().names.ordo))) return Ref();
    }
    v.reset();

    Ref vals;
    Ref names = collect_candidates(mapping, drop_dunder, sources, values ? &vals : nullptr);
    if (!names) return names;
    Ref key = ordo ? make_ordo_key(ordo.get(), keyfn.get()) : std::move(keyfn);
    if (ordo && !key) return Ref();
    if (!key && !reverse) {
        if (!sort_names(names.get(), vals)) return Ref();
        if (values) *values = std::move(vals);
        return names;
    }
    if (!reverse && vals && in_given_order(names.get(), ordo.get())) {
        if (values) *values = std::move(vals);
        return names;
    }
    // names.sort(key=..., reverse=...), with only the arguments in force.
    PyObject *argv[3] = {names.get(), nullptr, nullptr};
    Py_ssize_t nkw = 0;
    Ref kwnames = Ref::steal(PyTuple_New((key ? 1 : 0) + (reverse ? 1 : 0)));
    if (!kwnames) return kwnames;
    if (key) {
        argv[1 + nkw] = key.get();
        PyTuple_SET_ITEM(kwnames.get(), nkw++, Py_NewRef(state().names.key));
    }
    if (reverse) {
        argv[1 + nkw] = reverse.get();
        PyTuple_SET_ITEM(kwnames.get(), nkw++, Py_NewRef(state().names.reverse));
    }
    Ref res = Ref::steal(PyObject_VectorcallMethod(state().names.sort, argv, 1, kwnames.get()));
    if (!res) return res;
    return names;
}

int ordering_init() {
    Ref t = make_heap_type(ordo_key_spec);
    if (!t) return -1;
    Py_XSETREF(state().ordo_key_type, reinterpret_cast<PyTypeObject *>(t.release()));
    return 0;
}

}  // namespace numor
