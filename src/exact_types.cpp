// The out-of-line halves of exact_types.h.
#include "exact_types.h"

#include "mirrors.h"
#include "state.h"

namespace numor {

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

Py_ssize_t public_ascii_names(PyObject *t, bool &dunders) {
    const Py_ssize_t n = PyTuple_GET_SIZE(t);
    Py_ssize_t hidden = 0;
    bool any_dunder = false;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject *x = PyTuple_GET_ITEM(t, i);
        if (!PyUnicode_CheckExact(x) || !PyUnicode_IS_COMPACT_ASCII(x) ||
            PyUnicode_GET_LENGTH(x) == 0)
            return -1;
        const char *c = compat::ascii_chars(x);
        if (c[0] == '_') {
            ++hidden;
            if (c[1] == '_') any_dunder = true;  // a one-character name ends in its terminator
        }
    }
    dunders = any_dunder;
    return n - hidden;
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

int is_instance_slow(PyObject *obj, PyTypeObject *type) {
    if (PyObject_TypeCheck(obj, type)) return 1;
    if (class_is_type(obj)) return 0;
    return PyObject_IsInstance(obj, reinterpret_cast<PyObject *>(type));
}

int is_instance(PyObject *obj, PyTypeObject *a, PyTypeObject *b) {
    const int r = is_instance(obj, a);
    return r ? r : is_instance(obj, b);
}

}  // namespace numor
