// The scans of member_search.h.
#include "member_search.h"

#include "compat.h"
#include "state.h"

#include <cstring>

namespace numor {

namespace {

// Equality of two exact str objects that are not the same object. Strings
// that have been dict keys carry their hash: different hashes, different
// strings, without looking at the characters.
bool str_equal(PyObject *a, PyObject *b) {
    const Py_hash_t ha = compat::str_hash(a);
    const Py_hash_t hb = compat::str_hash(b);
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
    Py_hash_t kh = compat::str_hash(key);  // -1 until computed
    if (kh == -1) kh = PyObject_Hash(key);
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject *item = items[i];
        if (item != key) {
            if (Py_TYPE(item) != str) return Scan::unsupported;
            const Py_hash_t ih = compat::str_hash(item);
            if (ih != kh && ih != -1) continue;
            if (!same_chars(item, key)) continue;
        }
        pos = i;
        return Scan::hit;
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

Found find_member(PyObject *cls, PyObject *table, PyObject *key, PyObject *&name,
                  Py_ssize_t &pos) {
    pos = -1;
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

}  // namespace numor
