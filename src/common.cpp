#include "common.h"

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
bool str_equal(PyObject *a, PyObject *b) {
    const Py_ssize_t n = PyUnicode_GET_LENGTH(a);
    if (n != PyUnicode_GET_LENGTH(b)) return false;
    const int kind = PyUnicode_KIND(a);
    if (kind != PyUnicode_KIND(b)) return false;
    return std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b), static_cast<size_t>(n) * kind) == 0;
}
}  // namespace

Py_ssize_t tuple_find(PyObject *tup, PyObject *key) {
    Ref hold = Ref::borrow(tup);
    const bool exact = PyUnicode_CheckExact(key);
    const bool interned = exact && PyUnicode_CHECK_INTERNED(key);
    const Py_ssize_t n = PyTuple_GET_SIZE(tup);
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject *item = PyTuple_GET_ITEM(tup, i);
        if (item == key) return i;
        if (exact && PyUnicode_CheckExact(item)) {
            // Two distinct interned strings are never equal.
            if (interned && PyUnicode_CHECK_INTERNED(item)) continue;
            if (str_equal(item, key)) return i;
            continue;
        }
        Ref it = Ref::borrow(item);
        const int r = PyObject_RichCompareBool(it.get(), key, Py_EQ);
        if (r < 0) return -2;
        if (r) return i;
    }
    return -1;
}

int contains(PyObject *seq, PyObject *key) {
    if (PyTuple_CheckExact(seq)) {
        const Py_ssize_t i = tuple_find(seq, key);
        return i == -2 ? -1 : i >= 0;
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

void raise_with_arg(PyObject *exc, PyObject *arg) {
    PyObject *e = PyObject_CallOneArg(exc, arg);
    if (!e) return;
    PyErr_SetObject(exc, e);
    Py_DECREF(e);
}

}  // namespace numor
