// Mutable enumerations.
//
// Every change to a mutable enumeration class passes through the hooks of
// its metaclass: the interpreter's own class attribute assignment or
// deletion runs first (with its checks and errors), then `_key` is rebuilt
// as a new tuple through ordinary attribute access, so a derived metaclass
// that overrides a hook sees every step, including the reassignments of
// `_key` made by `update` and `clear`.
#include "mutable.h"

#include "common.h"
#include "construction.h"

namespace numor {

namespace {

// Calling type's attribute slot directly is what `type.__setattr__(self, ...)`
// does once its checks pass: `self` is a class and no C-level metaclass in
// its metaclass's MRO overrides attribute assignment. Otherwise call the
// interpreter's own descriptor so that it reports the misuse.
bool direct_setattr_ok(PyObject *self) {
    if (!PyType_Check(self)) return false;
    PyObject *mro = Py_TYPE(self)->tp_mro;
    if (!mro) return false;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); ++i) {
        auto *t = reinterpret_cast<PyTypeObject *>(PyTuple_GET_ITEM(mro, i));
        if (t->tp_setattro != g.slot_setattro && t->tp_setattro != PyType_Type.tp_setattro &&
            t != &PyBaseObject_Type)
            return false;
    }
    return true;
}

// type.__setattr__(self, attr, val), or type.__delattr__(self, attr) when
// `val` is null.
int type_setattr(PyObject *self, PyObject *attr, PyObject *val) {
    if (direct_setattr_ok(self)) return PyType_Type.tp_setattro(self, attr, val);
    PyObject *args[3] = {self, attr, val};
    Ref r = Ref::steal(PyObject_Vectorcall(val ? g.type_setattr : g.type_delattr, args,
                                           val ? 3 : 2, nullptr));
    return r ? 0 : -1;
}

int set_key(PyObject *self, PyObject *table) { return PyObject_SetAttr(self, g.n._key, table); }

// `x == "_key"` for a name that came out of a member table.
bool is_key_name(PyObject *x) {
    return PyUnicode_Check(x) && PyUnicode_Compare(x, g.n._key) == 0;
}

}  // namespace

PyObject *mut_setattr(PyObject *const *a) {
    PyObject *self = a[0], *attr = a[1], *val = a[2];
    if (type_setattr(self, attr, val) < 0) return nullptr;
    Ref table = get_key(self);
    if (!table) return nullptr;
    int r = member_contains(self, table.get(), attr);
    if (r < 0) return nullptr;
    if (r) Py_RETURN_NONE;
    r = first_char_is_underscore(attr, Py_EQ);
    if (r < 0) return nullptr;
    if (r) Py_RETURN_NONE;
    // self._key += (attr,)
    table = get_key(self);
    if (!table) return nullptr;
    Ref one = Ref::steal(PyTuple_Pack(1, attr));
    if (!one) return nullptr;
    Ref grown = Ref::steal(PyNumber_InPlaceAdd(table.get(), one.get()));
    if (!grown || set_key(self, grown.get()) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject *mut_delattr(PyObject *const *a) {
    PyObject *self = a[0], *attr = a[1];
    if (type_setattr(self, attr, nullptr) < 0) return nullptr;
    Ref table = get_key(self);
    if (!table) return nullptr;
    const int r = member_contains(self, table.get(), attr);
    if (r < 0) return nullptr;
    if (!r) Py_RETURN_NONE;
    // self._key = self._key[:i] + self._key[i + 1:]
    table = get_key(self);
    if (!table) return nullptr;
    Ref i = member_index_of(self, table.get(), attr);
    if (!i) return nullptr;
    table = get_key(self);
    if (!table) return nullptr;
    Ref head_slice = Ref::steal(PySlice_New(nullptr, i.get(), nullptr));
    if (!head_slice) return nullptr;
    Ref head = Ref::steal(PyObject_GetItem(table.get(), head_slice.get()));
    if (!head) return nullptr;
    table = get_key(self);
    if (!table) return nullptr;
    Ref one = Ref::steal(PyLong_FromLong(1));
    if (!one) return nullptr;
    Ref next = Ref::steal(PyNumber_Add(i.get(), one.get()));
    if (!next) return nullptr;
    Ref tail_slice = Ref::steal(PySlice_New(next.get(), nullptr, nullptr));
    if (!tail_slice) return nullptr;
    Ref tail = Ref::steal(PyObject_GetItem(table.get(), tail_slice.get()));
    if (!tail) return nullptr;
    Ref joined = Ref::steal(PyNumber_Add(head.get(), tail.get()));
    if (!joined || set_key(self, joined.get()) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject *mut_delitem(PyObject *const *a) {
    if (PyObject_DelAttr(a[0], a[1]) < 0) return nullptr;
    Py_RETURN_NONE;
}

// Adds and replaces members from a mapping. Every value is read and
// converted before the class changes, so a failure leaves it as it was; a
// name is added at most once, and a name takes its value from the key equal
// to it, else from the first key that strips to it.
PyObject *mut_update(PyObject *const *a) {
    PyObject *self = a[0], *dct = a[1];
    Ref sources = Ref::steal(PyDict_New());
    if (!sources) return nullptr;
    Ref names = order_members(dct, collect_candidates, false, sources.get());
    if (!names) return nullptr;

    // New names, in sorted order; old names never move.
    Ref fresh = Ref::steal(PyList_New(0));
    Ref seen = Ref::steal(PySet_New(nullptr));
    if (!fresh || !seen) return nullptr;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(names.get()); ++i) {
        Ref n = Ref::borrow(PyList_GET_ITEM(names.get(), i));
        Ref table = get_key(self);
        if (!table) return nullptr;
        int r = member_contains(self, table.get(), n.get());
        if (r < 0) return nullptr;
        if (r) continue;
        r = PySet_Contains(seen.get(), n.get());
        if (r < 0) return nullptr;
        if (r) continue;
        if (PySet_Add(seen.get(), n.get()) < 0 || PyList_Append(fresh.get(), n.get()) < 0)
            return nullptr;
    }
    Ref extra = Ref::steal(PyList_AsTuple(fresh.get()));
    Ref old = get_key(self);
    if (!extra || !old) return nullptr;

    // Read and convert every value, in table order, before changing anything.
    Ref walk = Ref::steal(PySequence_List(old.get()));
    if (!walk) return nullptr;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(extra.get()); ++i)
        if (PyList_Append(walk.get(), PyTuple_GET_ITEM(extra.get(), i)) < 0) return nullptr;
    Ref assign_names = Ref::steal(PyList_New(0));
    Ref assign_values = Ref::steal(PyList_New(0));
    Ref assigned = Ref::steal(PySet_New(nullptr));
    if (!assign_names || !assign_values || !assigned) return nullptr;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(walk.get()); ++i) {
        Ref x = Ref::borrow(PyList_GET_ITEM(walk.get(), i));
        // The member table itself is never replaced by a member value.
        if (is_key_name(x.get())) continue;
        const bool str = PyUnicode_Check(x.get());
        if (str) {
            const int r = PySet_Contains(assigned.get(), x.get());
            if (r < 0) return nullptr;
            if (r) continue;
        }
        Ref src;
        int r = PySequence_Contains(dct, x.get());
        if (r < 0) return nullptr;
        if (r) {
            src = Ref::borrow(x.get());
        } else if (str) {
            PyObject *s = PyDict_GetItemWithError(sources.get(), x.get());
            if (!s && PyErr_Occurred()) return nullptr;
            src = Ref::borrow(s);
        }
        if (!src) continue;
        Ref v = Ref::steal(PyObject_GetItem(dct, src.get()));
        if (!v) return nullptr;
        Ref w = convert_value(v.get());
        if (!w) return nullptr;
        if (PyList_Append(assign_names.get(), x.get()) < 0 ||
            PyList_Append(assign_values.get(), w.get()) < 0)
            return nullptr;
        if (str && PySet_Add(assigned.get(), x.get()) < 0) return nullptr;
    }

    // self._key += tuple(new names)
    Ref table = get_key(self);
    if (!table) return nullptr;
    Ref grown = Ref::steal(PyNumber_InPlaceAdd(table.get(), extra.get()));
    if (!grown || set_key(self, grown.get()) < 0) return nullptr;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(assign_names.get()); ++i) {
        if (PyObject_SetAttr(self, PyList_GET_ITEM(assign_names.get(), i),
                             PyList_GET_ITEM(assign_values.get(), i)) < 0)
            return nullptr;
    }
    table = get_key(self);
    if (!table) return nullptr;
    Ref again = Ref::steal(PySequence_Tuple(table.get()));
    if (!again || set_key(self, again.get()) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject *mut_clear(PyObject *const *a) {
    PyObject *self = a[0];
    Ref names = Ref::steal(PyObject_CallMethodNoArgs(self, g.n.keys));
    if (!names) return nullptr;
    Ref empty = Ref::steal(PyTuple_New(0));
    if (!empty || set_key(self, empty.get()) < 0) return nullptr;
    Ref it = Ref::steal(PyObject_GetIter(names.get()));
    if (!it) return nullptr;
    while (Ref n = Ref::steal(PyIter_Next(it.get()))) {
        if (PyObject_DelAttr(self, n.get()) < 0) return nullptr;
    }
    if (PyErr_Occurred()) return nullptr;
    Py_RETURN_NONE;
}

}  // namespace numor
