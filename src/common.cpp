// The shared helpers of common.h: module-level name lookup, the exact-type
// fast paths of interpreter operations, and the lookup memos.
#include "common.h"

#include "compat.h"

#include <cstring>

namespace numor {

namespace detail {
ModuleState module_state;
}

GlobalCache global_cache[kGlobalCacheSize];

#if NUMOR_DICT_WATCHERS
namespace {
int moddict_changed(PyDict_WatchEvent, PyObject *, PyObject *, PyObject *) {
    ++state().moddict_epoch;
    return 0;
}
}  // namespace
#endif

void watch_moddict() {
    for (GlobalCache &c : global_cache) c = GlobalCache{};
#if NUMOR_DICT_WATCHERS
    ++state().moddict_epoch;
    static int watcher = -1;
    if (watcher < 0) watcher = PyDict_AddWatcher(moddict_changed);
    // Without a watcher (all are taken) every read goes to the dict.
    state().moddict_watched = watcher >= 0 && PyDict_Watch(watcher, state().moddict) == 0;
    if (!state().moddict_watched) PyErr_Clear();
#endif
}

Ref global_slow(PyObject *name) {
    PyObject *v = nullptr;
    if (state().moddict) {
        v = PyDict_GetItemWithError(state().moddict, name);
        const uint64_t now = moddict_stamp();
        if (v && now) global_cache_entry(name) = GlobalCache{name, now, v};
    }
    if (!v && !PyErr_Occurred() && state().builtins) v = PyDict_GetItemWithError(state().builtins, name);
    if (v) return Ref::new_ref(v);
    if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return Ref();
}

Ref call_global(PyObject *name, PyObject *const *args, Py_ssize_t nargs) {
    Ref fn = global(name);
    if (!fn) return fn;
    return Ref::steal(PyObject_Vectorcall(fn.get(), args, static_cast<size_t>(nargs), nullptr));
}

PyObject *zero() {
    static PyObject *z = PyLong_FromLong(0);
    return z;
}

int type_equals_slow(PyObject *t, PyObject *target) {
    Ref hold = Ref::new_ref(t);
    return PyObject_RichCompareBool(t, target, Py_EQ);
}

Ref strip(PyObject *key) {
    if (PyUnicode_CheckExact(key)) {
        const Py_ssize_t n = PyUnicode_GET_LENGTH(key);
        if (n == 0 || (!Py_UNICODE_ISSPACE(PyUnicode_READ_CHAR(key, 0)) &&
                       !Py_UNICODE_ISSPACE(PyUnicode_READ_CHAR(key, n - 1))))
            return Ref::new_ref(key);
    }
    return Ref::steal(PyObject_CallMethodNoArgs(key, state().names.strip));
}

int first_char_is_underscore_slow(PyObject *x, int op) {
    if (PyUnicode_CheckExact(x)) {  // empty
        PyErr_SetString(PyExc_IndexError, "string index out of range");
        return -1;
    }
    Ref c = Ref::steal(PyObject_GetItem(x, zero()));
    if (!c) return -1;
    return PyObject_RichCompareBool(c.get(), state().names.underscore, op);
}

int starts_with(PyObject *x, PyObject *prefix) {
    if (PyUnicode_CheckExact(x)) {
        return PyUnicode_Tailmatch(x, prefix, 0, PY_SSIZE_T_MAX, -1) == 1;
    }
    Ref pos = Ref::steal(PyObject_CallMethodOneArg(x, state().names.find, prefix));
    if (!pos) return -1;
    return PyObject_RichCompareBool(pos.get(), zero(), Py_EQ);
}

namespace {

// The characters of two exact str are the same.
bool same_chars(PyObject *a, PyObject *b) {
    const Py_ssize_t n = PyUnicode_GET_LENGTH(a);
    if (n != PyUnicode_GET_LENGTH(b)) return false;
    const int kind = PyUnicode_KIND(a);
    if (kind != PyUnicode_KIND(b)) return false;
    return std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b), static_cast<size_t>(n) * kind) == 0;
}

// Equality of two exact str objects that are not the same object. Strings
// that have been dict keys carry their hash: different hashes, different
// strings, without looking at the characters.
bool str_equal(PyObject *a, PyObject *b) {
    const Py_hash_t ha = reinterpret_cast<PyASCIIObject *>(a)->hash;
    const Py_hash_t hb = reinterpret_cast<PyASCIIObject *>(b)->hash;
    if (ha != -1 && hb != -1 && ha != hb) return false;
    return same_chars(a, b);
}

}  // namespace

Py_ssize_t str_scan(PyObject *const *items, Py_ssize_t n, PyObject *key) {
    PyTypeObject *const str = &PyUnicode_Type;
    if (PyUnicode_CHECK_INTERNED(key)) {
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject *item = items[i];
            if (item == key) return i;
            if (Py_TYPE(item) != str) return -3;
            if (!PyUnicode_CHECK_INTERNED(item) && str_equal(item, key)) return i;
        }
        return -1;
    }
    // A key built at run time has no hash yet; with it, items that carry
    // theirs (interned ones always do) are told apart without comparing
    // characters. Hashing an exact str cannot fail or run Python code.
    const Py_hash_t kh = PyObject_Hash(key);
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject *item = items[i];
        if (item == key) return i;
        if (Py_TYPE(item) != str) return -3;
        const Py_hash_t ih = reinterpret_cast<PyASCIIObject *>(item)->hash;
        if (ih != kh && ih != -1) continue;
        if (same_chars(item, key)) return i;
    }
    return -1;
}

namespace {


// No data descriptor anywhere in `meta`'s MRO under a name that does not
// start with "__" (`type` and `object` have only dunder ones).
bool no_plain_data_descriptors(PyTypeObject *meta) {
    PyObject *mro = meta->tp_mro;
    if (!mro || !PyTuple_CheckExact(mro)) return false;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); ++i) {
        PyObject *base = PyTuple_GET_ITEM(mro, i);
        if (!PyType_Check(base)) return false;
        Ref dict = compat::type_dict(reinterpret_cast<PyTypeObject *>(base));
        if (!dict || !PyDict_CheckExact(dict.get())) return false;
        Py_ssize_t pos = 0;
        PyObject *k, *v;
        while (PyDict_Next(dict.get(), &pos, &k, &v)) {
            if (!PyUnicode_CheckExact(k)) return false;
            if (!starts_with_dunder(k) && Py_TYPE(v)->tp_descr_get && PyDescr_IsData(v))
                return false;
        }
    }
    return true;
}

MetaFacts facts_cache[4];
unsigned int facts_next = 0;  // the entry to replace next

}  // namespace

const MetaFacts *last_facts = &facts_cache[0];

const MetaFacts *meta_facts_slow(PyTypeObject *meta) {
    for (MetaFacts &f : facts_cache) {
        if (f.meta == meta && f.tag == meta->tp_version_tag) return last_facts = &f;
    }
    MetaFacts &f = facts_cache[facts_next++ % 4];
    // The lookups give the metaclass a version tag when it has none. They
    // compare dict keys, which for keys of a str subclass may run Python
    // code that changes the metaclass: then the tag moves and nothing is
    // recorded.
    f.meta = nullptr;
    PyObject *getitem = compat::type_lookup(meta, state().names.__getitem__);
    const unsigned int tag = meta->tp_version_tag;
    if (!has_valid_version_tag(meta)) return nullptr;
    MetaFacts fresh;
    fresh.meta = meta;
    fresh.tag = tag;
    fresh.getitem = getitem;
    fresh.len = compat::type_lookup(meta, state().names.__len__);
    fresh.contains = compat::type_lookup(meta, state().names.__contains__);
    fresh.iter = compat::type_lookup(meta, state().names.__iter__);
    fresh.plain_names = no_plain_data_descriptors(meta);
    if (PyErr_Occurred() || meta->tp_version_tag != tag || !has_valid_version_tag(meta)) {
        PyErr_Clear();
        return nullptr;
    }
    f = fresh;
    return last_facts = &f;
}

PyObject *class_attr_fast(PyObject *cls, PyObject *name, bool many) {
    // The steps of the interpreter's type_getattro for this case: a data
    // descriptor of the metaclass would win, else the class's own MRO
    // decides, and a value there without __get__ is the result. Member
    // names and `_key` do not start with "__": for them, a metaclass known
    // to have no data descriptor but dunder ones needs no lookup.
    if (!PyType_Check(cls) || Py_TYPE(cls)->tp_getattro != PyType_Type.tp_getattro ||
        !PyUnicode_CheckExact(name) || !reinterpret_cast<PyTypeObject *>(cls)->tp_dict)
        return nullptr;
    bool shadowed = true;
    if (!starts_with_dunder(name)) {
        const MetaFacts *f = meta_facts(Py_TYPE(cls));
        shadowed = !f || !f->plain_names;
    }
    if (shadowed) {
        PyObject *meta_attr = compat::type_lookup(Py_TYPE(cls), name);
        if (meta_attr && Py_TYPE(meta_attr)->tp_descr_get && PyDescr_IsData(meta_attr))
            return nullptr;
    }
    auto *t = reinterpret_cast<PyTypeObject *>(cls);
    PyObject *attr = nullptr;
    if (many && t->tp_mro && PyTuple_GET_SIZE(t->tp_mro) && PyTuple_GET_ITEM(t->tp_mro, 0) == cls) {
        // The class itself comes first in its MRO, so an entry of its own
        // dict is what the MRO walk finds.
        attr = PyDict_GetItemWithError(t->tp_dict, name);
        if (!attr && PyErr_Occurred()) {
            PyErr_Clear();  // the generic lookup meets it again
            return nullptr;
        }
    }
    if (!attr) attr = compat::type_lookup(t, name);
    return attr && !Py_TYPE(attr)->tp_descr_get ? attr : nullptr;
}

Ref class_getattr(PyObject *cls, PyObject *name, bool many) {
    if (PyObject *attr = class_attr_fast(cls, name, many)) return Ref::new_ref(attr);
    return Ref::steal(PyObject_GetAttr(cls, name));
}

KeyMemo key_memo;

Ref get_key_slow(PyObject *cls) {
    PyObject *attr = class_attr_fast(cls, state().names._key);
    if (!attr) return Ref::steal(PyObject_GetAttr(cls, state().names._key));
    auto *t = reinterpret_cast<PyTypeObject *>(cls);
    if (has_valid_version_tag(t) && has_valid_version_tag(Py_TYPE(cls)))
        key_memo = KeyMemo{cls, t->tp_version_tag, Py_TYPE(cls), Py_TYPE(cls)->tp_version_tag, attr};
    return Ref::new_ref(attr);
}

Py_ssize_t tuple_find(PyObject *tup, PyObject *key) {
    const Py_ssize_t n = PyTuple_GET_SIZE(tup);
    if (PyUnicode_CheckExact(key)) {
        const Py_ssize_t i = str_scan(&PyTuple_GET_ITEM(tup, 0), n, key);
        if (i != -3) return i;
    }
    Ref hold = Ref::new_ref(tup);
    for (Py_ssize_t i = 0; i < n; ++i) {
        Ref it = Ref::new_ref(PyTuple_GET_ITEM(tup, i));
        const int r = PyObject_RichCompareBool(it.get(), key, Py_EQ);
        if (r < 0) return -2;
        if (r) return i;
    }
    return -1;
}

int contains_any(PyObject *seq, PyObject *key) {
    if (PyTuple_CheckExact(seq)) {
        const Py_ssize_t i = tuple_find(seq, key);
        return i == -2 ? -1 : i >= 0;
    }
    if (PyList_CheckExact(seq) && PyUnicode_CheckExact(key)) {
        const Py_ssize_t i = str_scan(PySequence_Fast_ITEMS(seq), PyList_GET_SIZE(seq), key);
        if (i != -3) return i >= 0;
    }
    return PySequence_Contains(seq, key);
}

Ref index_of(PyObject *seq, PyObject *key) {
    if (PyTuple_CheckExact(seq)) {
        const Py_ssize_t i = tuple_find(seq, key);
        if (i == -2) return Ref();
        if (i == -1) {
            PyErr_SetString(PyExc_ValueError, "tuple.index(x): x not in tuple");
            return Ref();
        }
        return Ref::steal(PyLong_FromSsize_t(i));
    }
    return Ref::steal(PyObject_CallMethodOneArg(seq, state().names.index, key));
}

namespace {

// True when `obj.__class__` is certainly `type(obj)`: the type keeps the
// generic attribute lookup (or type's own, for a class) and inherits
// object's `__class__` descriptor, a data descriptor that nothing can
// shadow. Most member values, keys and options are such objects.
bool class_is_type(PyObject *obj) {
    PyTypeObject *t = Py_TYPE(obj);
    if (t == &PyLong_Type || t == &PyUnicode_Type || t == &PyFloat_Type || t == &PyBool_Type ||
        t == &PyTuple_Type || t == &PyList_Type || t == &PyDict_Type || obj == Py_None)
        return true;
    if (t->tp_getattro != PyObject_GenericGetAttr && t->tp_getattro != PyType_Type.tp_getattro)
        return false;
    static PyObject *name = nullptr;  // interned once, kept for the process
    if (!name && !(name = PyUnicode_InternFromString("__class__"))) {
        PyErr_Clear();
        return false;
    }
    return compat::type_lookup(t, name) == compat::type_lookup(&PyBaseObject_Type, name);
}

}  // namespace

Ref next_item(PyObject *it) {
    // One count per thread: only the step matters, not which loop made it.
    static thread_local unsigned steps = 0;
    if ((++steps & 1023) == 0) {
        // A loop over C iterators runs no bytecode, so the interpreter never
        // hands the lock over on its own: let waiting threads in.
        Py_BEGIN_ALLOW_THREADS
        Py_END_ALLOW_THREADS
        if (PyErr_CheckSignals() < 0) return Ref();
    }
    return Ref::steal(PyIter_Next(it));
}

int is_instance(PyObject *obj, PyTypeObject *type) {
    if (PyObject_TypeCheck(obj, type)) return 1;
    if (class_is_type(obj)) return 0;
    return PyObject_IsInstance(obj, reinterpret_cast<PyObject *>(type));
}

int is_instance(PyObject *obj, PyTypeObject *a, PyTypeObject *b) {
    const int r = is_instance(obj, a);
    return r ? r : is_instance(obj, b);
}

int find_member(PyObject *cls, PyObject *table, PyObject *key, Ref &name) {
    if (PyTuple_CheckExact(table) && PyUnicode_CheckExact(key)) {
        const Py_ssize_t n = PyTuple_GET_SIZE(table);
        Py_ssize_t pos = -1;
        Scan found = Scan::unsupported;
        if (use_index(table, key)) found = indexed_find(cls, table, key, &pos);
        if (found == Scan::error) return -1;
        if (found == Scan::unsupported) {
            pos = str_scan(&PyTuple_GET_ITEM(table, 0), n, key);
            if (pos != -3) found = pos >= 0 ? Scan::hit : Scan::miss;
        }
        if (found == Scan::miss) return 0;
        if (found == Scan::hit) {
            // Both ways only match exact str elements.
            name = Ref::new_ref(PyTuple_GET_ITEM(table, pos));
            return 1;
        }
    }
    const int r = contains(table, key);
    if (r > 0) name = Ref::new_ref(key);
    return r;
}

Ref member_index_of(PyObject *cls, PyObject *table, PyObject *key) {
    if (use_index(table, key)) {
        Py_ssize_t pos = 0;
        switch (indexed_find(cls, table, key, &pos)) {
            case Scan::hit: return Ref::steal(PyLong_FromSsize_t(pos));
            case Scan::miss:
                PyErr_SetString(PyExc_ValueError, "tuple.index(x): x not in tuple");
                return Ref();
            case Scan::error: return Ref();
            case Scan::unsupported: break;
        }
    }
    return index_of(table, key);
}

void raise_with_arg(PyObject *exc, PyObject *arg) {
    PyObject *e = PyObject_CallOneArg(exc, arg);
    if (!e) return;
    PyErr_SetObject(exc, e);
    Py_DECREF(e);
}

}  // namespace numor
