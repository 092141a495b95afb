// The shared helpers of common.h: the exact-type fast paths of interpreter
// operations.
#include "common.h"

#include "compat.h"
#include "mirrors.h"

#include <cstring>

namespace numor {

namespace detail {
ModuleState module_state;
}

Ref call_global(PyObject *name, PyObject *const *args, Py_ssize_t nargs) {
    Ref fn = global(name);
    if (!fn) return fn;
    return Ref::steal(PyObject_Vectorcall(fn.get(), args, static_cast<size_t>(nargs), nullptr));
}

Ref make_heap_type(PyType_Spec &shape) {
    Ref t = Ref::steal(PyType_FromSpec(&shape));
    if (!t) return t;
    PyObject *dict = reinterpret_cast<PyTypeObject *>(t.get())->tp_dict;
    for (const char *name : {"__vectorcalloffset__", "__dictoffset__", "__weaklistoffset__"}) {
        Ref key = Ref::steal(PyUnicode_InternFromString(name));
        if (!key) return Ref();
        const int has = PyDict_Contains(dict, key.get());
        if (has < 0 || (has && PyDict_DelItem(dict, key.get()) < 0)) return Ref();
    }
    PyType_Modified(reinterpret_cast<PyTypeObject *>(t.get()));
    return t;
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
    if (kFastPaths && PyUnicode_CheckExact(key)) {
        const Py_ssize_t n = PyUnicode_GET_LENGTH(key);
        if (n == 0 || (!Py_UNICODE_ISSPACE(PyUnicode_READ_CHAR(key, 0)) &&
                       !Py_UNICODE_ISSPACE(PyUnicode_READ_CHAR(key, n - 1))))
            return Ref::new_ref(key);
    }
    return Ref::steal(PyObject_CallMethodNoArgs(key, state().names.strip));
}

int first_char_is_underscore_slow(PyObject *x, int op) {
    if (kFastPaths && PyUnicode_CheckExact(x)) {  // empty
        PyErr_SetString(PyExc_IndexError, "string index out of range");
        return -1;
    }
    Ref c = Ref::steal(PyObject_GetItem(x, zero()));
    if (!c) return -1;
    return PyObject_RichCompareBool(c.get(), state().names.underscore, op);
}

int starts_with(PyObject *x, PyObject *prefix) {
    if (kFastPaths && PyUnicode_CheckExact(x)) {  // startswith, character by character
        const Py_ssize_t m = PyUnicode_GET_LENGTH(prefix);
        if (PyUnicode_GET_LENGTH(x) < m) return 0;
        for (Py_ssize_t i = 0; i < m; ++i)
            if (char_at(x, i) != char_at(prefix, i)) return 0;
        return 1;
    }
    Ref pos = Ref::steal(PyObject_CallMethodOneArg(x, state().names.find, prefix));
    if (!pos) return -1;
    return PyObject_RichCompareBool(pos.get(), zero(), Py_EQ);
}

namespace {

// The characters of two exact str are the same.
inline bool same_chars(PyObject *a, PyObject *b) {
    const Py_ssize_t n = PyUnicode_GET_LENGTH(a);
    if (n != PyUnicode_GET_LENGTH(b)) return false;
    if (PyUnicode_IS_COMPACT_ASCII(a) && PyUnicode_IS_COMPACT_ASCII(b)) {
        // Member names: short ASCII text right after the object header.
        const char *x = reinterpret_cast<const char *>(reinterpret_cast<PyASCIIObject *>(a) + 1);
        const char *y = reinterpret_cast<const char *>(reinterpret_cast<PyASCIIObject *>(b) + 1);
        for (Py_ssize_t i = 0; i < n; ++i)
            if (x[i] != y[i]) return false;
        return true;
    }
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

Scan str_scan(PyObject *const *items, Py_ssize_t n, PyObject *key, Py_ssize_t &pos) {
    PyTypeObject *const str = &PyUnicode_Type;
    if (PyUnicode_CHECK_INTERNED(key)) {
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject *item = items[i];
            if (item == key || (Py_TYPE(item) == str && !PyUnicode_CHECK_INTERNED(item) &&
                                str_equal(item, key))) {
                pos = i;
                return Scan::hit;
            }
            if (Py_TYPE(item) != str) return Scan::unsupported;
        }
        return Scan::miss;
    }
    // A key built at run time has no hash yet; with it, items that carry
    // theirs (interned ones always do) are told apart without comparing
    // characters. Hashing an exact str cannot fail or run Python code.
    Py_hash_t kh = reinterpret_cast<PyASCIIObject *>(key)->hash;  // -1 until computed
    if (kh == -1) kh = PyObject_Hash(key);
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject *item = items[i];
        if (item != key) {
            if (Py_TYPE(item) != str) return Scan::unsupported;
            const Py_hash_t ih = reinterpret_cast<PyASCIIObject *>(item)->hash;
            if (ih != kh && ih != -1) continue;
            if (!same_chars(item, key)) continue;
        }
        pos = i;
        return Scan::hit;
    }
    return Scan::miss;
}

Scan hashed_scan(PyObject *const *items, Py_ssize_t n, PyObject *key, Py_ssize_t &pos) {
    Py_hash_t kh = reinterpret_cast<PyASCIIObject *>(key)->hash;
    if (kh == -1) kh = PyObject_Hash(key);
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject *item = items[i];
        if (reinterpret_cast<PyASCIIObject *>(item)->hash == kh &&
            (item == key || same_chars(item, key))) {
            pos = i;
            return Scan::hit;
        }
    }
    return Scan::miss;
}

Found find_name_slow(PyObject *seq, PyObject *key, Py_ssize_t *pos) {
    if (pos) *pos = -1;
    if (PyTuple_CheckExact(seq)) {
        // The scan above gave up (or the key is not an exact str): compare
        // generically, holding the tuple and each item across the call.
        Ref hold = Ref::new_ref(seq);
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(seq); ++i) {
            Ref item = Ref::new_ref(PyTuple_GET_ITEM(seq, i));
            const int r = PyObject_RichCompareBool(item.get(), key, Py_EQ);
            if (r < 0) return Found::error;
            if (r) {
                if (pos) *pos = i;
                return Found::yes;
            }
        }
        return Found::no;
    }
    Found out;
    if (PyList_CheckExact(seq) && PyUnicode_CheckExact(key) &&
        scan_answers(PySequence_Fast_ITEMS(seq), PyList_GET_SIZE(seq), key, pos, out))
        return out;
    return found_from(PySequence_Contains(seq, key));
}

namespace {

// True when `obj.__class__` is certainly `type(obj)`: the type keeps the
// generic attribute lookup (or type's own, for a class) and inherits
// object's `__class__` descriptor, a data descriptor that nothing can
// shadow. Most member values, keys and options are such objects.
bool class_is_type(PyObject *obj) {
    if (class_is_builtin_type(obj)) return true;
    PyTypeObject *t = Py_TYPE(obj);
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

int is_instance_slow(PyObject *obj, PyTypeObject *type) {
    if (PyObject_TypeCheck(obj, type)) return 1;
    if (class_is_type(obj)) return 0;
    return PyObject_IsInstance(obj, reinterpret_cast<PyObject *>(type));
}

int is_instance(PyObject *obj, PyTypeObject *a, PyTypeObject *b) {
    const int r = is_instance(obj, a);
    return r ? r : is_instance(obj, b);
}

Found find_member(PyObject *cls, PyObject *table, PyObject *key, PyObject *&name) {
    Py_ssize_t pos = -1;
    const Found found = member_find(cls, table, key, &pos);
    if (found != Found::yes) return found;
    name = key;
    if (!kFastPaths) return found;
    // A found exact str key was matched by an exact str element of a tuple.
    if (PyTuple_CheckExact(table) && PyUnicode_CheckExact(key) && pos >= 0 &&
        PyUnicode_CheckExact(PyTuple_GET_ITEM(table, pos)))
        name = PyTuple_GET_ITEM(table, pos);
    else
        name = key;
    return Found::yes;
}

Ref member_index_of(PyObject *cls, PyObject *table, PyObject *key) {
    if (kFastPaths && PyTuple_CheckExact(table)) {
        Py_ssize_t i = -1;
        switch (member_find(cls, table, key, &i)) {
            case Found::yes: return Ref::steal(PyLong_FromSsize_t(i));
            case Found::no:
                PyErr_SetString(PyExc_ValueError, "tuple.index(x): x not in tuple");
                return Ref();
            case Found::error: return Ref();
        }
    }
    return Ref::steal(PyObject_CallMethodOneArg(table, state().names.index, key));
}

void raise_with_arg(PyObject *exc, PyObject *arg) {
    PyObject *e = PyObject_CallOneArg(exc, arg);
    if (!e) return;
    PyErr_SetObject(exc, e);
    Py_DECREF(e);
}

}  // namespace numor
