#include "common.h"

#include "compat.h"

#include <cstring>

namespace numor {

State g;

Ref global(PyObject *name) {
    PyObject *v = g.moddict ? PyDict_GetItemWithError(g.moddict, name) : nullptr;
    if (!v && !PyErr_Occurred() && g.builtins) v = PyDict_GetItemWithError(g.builtins, name);
    if (v) return Ref::borrow(v);
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

int type_equals(PyObject *obj, PyObject *target) {
    PyObject *t = reinterpret_cast<PyObject *>(Py_TYPE(obj));
    if (t == target) return 1;
    // Two classes whose metaclass is plain `type` compare by identity.
    if (Py_IS_TYPE(t, &PyType_Type) && Py_IS_TYPE(target, &PyType_Type)) return 0;
    Ref hold = Ref::borrow(t);
    return PyObject_RichCompareBool(t, target, Py_EQ);
}

Ref strip(PyObject *key) {
    if (PyUnicode_CheckExact(key)) {
        const Py_ssize_t n = PyUnicode_GET_LENGTH(key);
        if (n == 0 || (!Py_UNICODE_ISSPACE(PyUnicode_READ_CHAR(key, 0)) &&
                       !Py_UNICODE_ISSPACE(PyUnicode_READ_CHAR(key, n - 1))))
            return Ref::borrow(key);
    }
    return Ref::steal(PyObject_CallMethodNoArgs(key, g.n.strip));
}

int first_char_is_underscore(PyObject *x, int op) {
    if (PyUnicode_CheckExact(x)) {
        if (PyUnicode_GET_LENGTH(x) == 0) {
            PyErr_SetString(PyExc_IndexError, "string index out of range");
            return -1;
        }
        const bool under = PyUnicode_READ_CHAR(x, 0) == '_';
        return op == Py_EQ ? under : !under;
    }
    Ref c = Ref::steal(PyObject_GetItem(x, zero()));
    if (!c) return -1;
    return PyObject_RichCompareBool(c.get(), g.n.underscore, op);
}

int starts_with(PyObject *x, PyObject *prefix) {
    if (PyUnicode_CheckExact(x)) {
        return PyUnicode_Tailmatch(x, prefix, 0, PY_SSIZE_T_MAX, -1) == 1;
    }
    Ref pos = Ref::steal(PyObject_CallMethodOneArg(x, g.n.find, prefix));
    if (!pos) return -1;
    return PyObject_RichCompareBool(pos.get(), zero(), Py_EQ);
}

namespace {

// Equality of two exact str objects that are not the same object. Strings
// that have been dict keys carry their hash: different hashes, different
// strings, without looking at the characters.
bool str_equal(PyObject *a, PyObject *b) {
    const Py_hash_t ha = reinterpret_cast<PyASCIIObject *>(a)->hash;
    const Py_hash_t hb = reinterpret_cast<PyASCIIObject *>(b)->hash;
    if (ha != -1 && hb != -1 && ha != hb) return false;
    const Py_ssize_t n = PyUnicode_GET_LENGTH(a);
    if (n != PyUnicode_GET_LENGTH(b)) return false;
    const int kind = PyUnicode_KIND(a);
    if (kind != PyUnicode_KIND(b)) return false;
    return std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b), static_cast<size_t>(n) * kind) == 0;
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
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject *item = items[i];
        if (item == key) return i;
        if (Py_TYPE(item) != str) return -3;
        if (str_equal(item, key)) return i;
    }
    return -1;
}

Ref class_getattr(PyObject *cls, PyObject *name) {
    // The steps of the interpreter's type_getattro for this case: a data
    // descriptor of the metaclass would win, else the class's own MRO
    // decides, and a value there without __get__ is the result.
    if (PyType_Check(cls) && Py_TYPE(cls)->tp_getattro == PyType_Type.tp_getattro &&
        PyUnicode_CheckExact(name) && reinterpret_cast<PyTypeObject *>(cls)->tp_dict) {
        PyObject *meta_attr = compat::type_lookup(Py_TYPE(cls), name);
        if (!meta_attr || !Py_TYPE(meta_attr)->tp_descr_get || !PyDescr_IsData(meta_attr)) {
            PyObject *attr = compat::type_lookup(reinterpret_cast<PyTypeObject *>(cls), name);
            if (attr && !Py_TYPE(attr)->tp_descr_get) return Ref::borrow(attr);
        }
    }
    return Ref::steal(PyObject_GetAttr(cls, name));
}

Py_ssize_t tuple_find(PyObject *tup, PyObject *key) {
    const Py_ssize_t n = PyTuple_GET_SIZE(tup);
    if (PyUnicode_CheckExact(key)) {
        const Py_ssize_t i = str_scan(&PyTuple_GET_ITEM(tup, 0), n, key);
        if (i != -3) return i;
    }
    Ref hold = Ref::borrow(tup);
    for (Py_ssize_t i = 0; i < n; ++i) {
        Ref it = Ref::borrow(PyTuple_GET_ITEM(tup, i));
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
    return Ref::steal(PyObject_CallMethodOneArg(seq, g.n.index, key));
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

void raise_with_arg(PyObject *exc, PyObject *arg) {
    PyObject *e = PyObject_CallOneArg(exc, arg);
    if (!e) return;
    PyErr_SetObject(exc, e);
    Py_DECREF(e);
}

}  // namespace numor
