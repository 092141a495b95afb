// Interpreter operations with exact-type fast paths: for the builtin types
// whose behaviour cannot be changed, each gives the generic operation's
// result without the call (it skips only work that cannot run Python
// code). With the fast paths compiled out each is the generic operation.
#pragma once

#include "compat.h"
#include "fast_paths.h"
#include "ref.h"

#include <cstring>

namespace numor {

// `name` starts with "__" (an exact str).
inline bool starts_with_dunder(PyObject *name);

// Character `i` of the exact str `s` (which has more than `i`).
NUMOR_HOT_INLINE Py_UCS4 char_at(PyObject *s, Py_ssize_t i) {
    if (PyUnicode_IS_COMPACT_ASCII(s))
        return static_cast<unsigned char>(compat::ascii_chars(s)[i]);
    return PyUnicode_READ_CHAR(s, i);
}

NUMOR_HOT_INLINE bool starts_with_dunder(PyObject *name) {
    return PyUnicode_GET_LENGTH(name) >= 2 && char_at(name, 0) == '_' && char_at(name, 1) == '_';
}

// The characters of two exact str are the same.
inline bool same_chars(PyObject *a, PyObject *b) {
    const Py_ssize_t n = PyUnicode_GET_LENGTH(a);
    if (n != PyUnicode_GET_LENGTH(b)) return false;
    if (PyUnicode_IS_COMPACT_ASCII(a) && PyUnicode_IS_COMPACT_ASCII(b)) {
        // Member names: short ASCII text right after the object header.
        const char *x = compat::ascii_chars(a);
        const char *y = compat::ascii_chars(b);
        for (Py_ssize_t i = 0; i < n; ++i)
            if (x[i] != y[i]) return false;
        return true;
    }
    const int kind = PyUnicode_KIND(a);
    if (kind != PyUnicode_KIND(b)) return false;
    return std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b), static_cast<size_t>(n) * kind) == 0;
}

// `type(obj) == target`, as Python evaluates it (a metaclass may define ==).
// 1 true, 0 false, -1 error.
int type_equals_slow(PyObject *t, PyObject *target);
inline int type_equals(PyObject *obj, PyObject *target) {
    PyObject *t = reinterpret_cast<PyObject *>(Py_TYPE(obj));
    if (!kFastPaths) return type_equals_slow(t, target);
    if (t == target) return 1;
    // Two classes whose metaclass is plain `type` compare by identity.
    if (Py_IS_TYPE(t, &PyType_Type) && Py_IS_TYPE(target, &PyType_Type)) return 0;
    return type_equals_slow(t, target);
}

// `key.strip()`; an exact str with nothing to strip is returned as is, which
// is what str.strip does.
Ref strip(PyObject *key);

// `x[0] == "_"` (op Py_EQ) or `x[0] != "_"` (op Py_NE). 1, 0, or -1 on error.
// How many items of the exact tuple `t` do not start with "_", when every
// item is a non-empty ASCII exact str (else -1, and `dunders` untouched);
// `dunders` tells whether any starts with "__".
Py_ssize_t public_ascii_names(PyObject *t, bool &dunders);

int first_char_is_underscore_slow(PyObject *x, int op);
inline int first_char_is_underscore(PyObject *x, int op) {
    if (kFastPaths && PyUnicode_CheckExact(x) && PyUnicode_GET_LENGTH(x) > 0) {
        const bool under = char_at(x, 0) == '_';
        return op == Py_EQ ? under : !under;
    }
    return first_char_is_underscore_slow(x, op);
}

// `x.find(prefix) == 0` where prefix is "_" or "__". 1, 0, or -1.
int starts_with(PyObject *x, PyObject *prefix);

// `isinstance(obj, type)` and `isinstance(obj, (a, b))` for builtin types.
// The C subtype test answers unless `obj` may claim another class through
// `__class__` (mocks, lazy proxies); then the interpreter's isinstance
// decides. 1, 0, or -1 on error.
int is_instance_slow(PyObject *obj, PyTypeObject *type);

// Instances of these builtin types (most keys and member values) cannot
// claim another class through `__class__`, and every one of these types
// but bool derives from object alone, so their subtype test is one
// comparison.
NUMOR_HOT_INLINE bool class_is_builtin_type(PyObject *obj) {
    PyTypeObject *t = Py_TYPE(obj);
    return t == &PyLong_Type || t == &PyUnicode_Type || t == &PyFloat_Type ||
           t == &PyTuple_Type || t == &PyList_Type || t == &PyDict_Type || t == &PyBytes_Type ||
           t == &PyBool_Type || obj == Py_None;
}

NUMOR_HOT_INLINE int is_instance(PyObject *obj, PyTypeObject *type) {
    if (!kFastPaths) return PyObject_IsInstance(obj, reinterpret_cast<PyObject *>(type));
    PyTypeObject *t = Py_TYPE(obj);
    if (t == type) return 1;
    if (t == &PyUnicode_Type) return type == &PyBaseObject_Type;  // keys: tested first
    if (class_is_builtin_type(obj))
        return type == &PyBaseObject_Type || (t == &PyBool_Type && type == &PyLong_Type);
    return is_instance_slow(obj, type);
}
int is_instance(PyObject *obj, PyTypeObject *a, PyTypeObject *b);

}  // namespace numor
