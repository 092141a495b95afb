// Pickling of enumeration classes.
//
// pickle saves a class by reference: the name of its module and its
// qualified name, looked up again when loading. That fails for the many
// enumeration classes that no module binds under their own name (nested ones
// built from dicts, slices, sums, factory-made classes bound under another
// name). copyreg's dispatch table is consulted before pickle falls back to
// saving a class by reference, so a reducer registered for the metaclasses
// decides: a class reachable by its module and qualified name still goes by
// reference (the same object comes back); any other is saved by value.
//
// By value, the class is rebuilt by calling its metaclass with its name, its
// bases and a namespace holding only `__module__` and `__qualname__`; the
// members arrive afterwards as pickle state, set with setattr, and `_key` is
// set last. So the values are stored exactly as they were (a construction
// from them would turn a plain dict into a nested enumeration), the member
// table comes back exactly, and a member that refers back to its class
// works, because pickle memoizes the new class before it loads the state.
// copy.copy and copy.deepcopy never get here: they return any class as is.
//
// copyreg matches the exact type, and pickle saves a class of any other
// metaclass by reference before it would ask the class or its metaclass for
// a reduction. So a metaclass derived from ours is registered too, when the
// first class of it is made: pickle could not rebuild a class of a
// metaclass that it cannot find by name either, so one it cannot (made
// inside a function) is left out, and copyreg does not keep it alive.
#include "pickling.h"

#include "caches.h"
#include "state.h"

namespace numor {

namespace {

// Whether `cls` is the object that its `__module__` and `__qualname__` lead
// to in an imported module. Any failure on the way means it is not.
bool reachable(PyObject *cls, PyObject *qualname) {
    Ref modname = Ref::steal(PyObject_GetAttr(cls, state().names.__module__));
    if (!modname || !PyUnicode_Check(modname.get()) || !PyUnicode_Check(qualname)) {
        PyErr_Clear();
        return false;
    }
    Ref obj = Ref::steal(PyImport_GetModule(modname.get()));
    Ref dot = Ref::steal(PyUnicode_FromString("."));
    Ref parts = obj && dot ? Ref::steal(PyUnicode_Split(qualname, dot.get(), -1)) : Ref();
    if (!parts) {
        PyErr_Clear();
        return false;
    }
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(parts.get()); ++i) {
        PyObject *part = PyList_GET_ITEM(parts.get(), i);
        if (PyUnicode_CompareWithASCIIString(part, "<locals>") == 0) return false;
        obj = Ref::steal(PyObject_GetAttr(obj.get(), part));
        if (!obj) {
            PyErr_Clear();
            return false;
        }
    }
    return obj.get() == cls;
}

PyObject *reduce_enumeration(PyObject *, PyObject *cls) {
    Ref qualname = Ref::steal(PyObject_GetAttr(cls, state().names.__qualname__));
    if (!qualname) return nullptr;
    if (reachable(cls, qualname.get())) return qualname.release();

    Ref name = Ref::steal(PyObject_GetAttr(cls, state().names.__name__));
    Ref bases = Ref::steal(PyObject_GetAttrString(cls, "__bases__"));
    Ref module = Ref::steal(PyObject_GetAttr(cls, state().names.__module__));
    Ref ns = Ref::steal(PyDict_New());
    if (!name || !bases || !module || !ns ||
        PyDict_SetItem(ns.get(), state().names.__module__, module.get()) < 0 ||
        PyDict_SetItem(ns.get(), state().names.__qualname__, qualname.get()) < 0)
        return nullptr;

    // The members as stored in the class's own namespace (a class method
    // stays a classmethod object, and fails to pickle as such).
    Ref table = get_key(cls);
    Ref own = Ref::steal(PyObject_GetAttrString(cls, "__dict__"));
    Ref members = Ref::steal(PyDict_New());
    if (!table || !own || !members) return nullptr;
    table = Ref::steal(PySequence_Tuple(table.get()));
    if (!table) return nullptr;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(table.get()); ++i) {
        PyObject *member = PyTuple_GET_ITEM(table.get(), i);
        if (!PyUnicode_Check(member)) continue;
        Ref value = Ref::steal(PyObject_GetItem(own.get(), member));
        if (!value) {
            // A name without a value (update() can leave one) stays without.
            if (!PyErr_ExceptionMatches(PyExc_KeyError)) return nullptr;
            PyErr_Clear();
            continue;
        }
        if (PyDict_SetItem(members.get(), member, value.get()) < 0) return nullptr;
    }
    // Last, so that a mutable class's setattr hook cannot leave it otherwise.
    if (PyDict_DelItem(members.get(), state().names._key) < 0) {
        if (!PyErr_ExceptionMatches(PyExc_KeyError)) return nullptr;
        PyErr_Clear();
    }
    if (PyDict_SetItem(members.get(), state().names._key, table.get()) < 0) return nullptr;

    PyObject *meta = reinterpret_cast<PyObject *>(Py_TYPE(cls));
    return Py_BuildValue("(O(OOO)(OO))", meta, name.get(), bases.get(), ns.get(), Py_None,
                         members.get());
}

PyMethodDef reduce_def = {"reduce_enumeration", reduce_enumeration, METH_O, nullptr};

bool is_reducer(PyObject *f) {
    return PyCFunction_Check(f) && PyCFunction_GET_FUNCTION(f) == reduce_enumeration;
}

}  // namespace

namespace {

int register_metaclass_steps(PyObject *cls) {
    PyObject *meta = reinterpret_cast<PyObject *>(Py_TYPE(cls));
    const Names &n = state().names;
    Ref copyreg = Ref::steal(PyImport_GetModule(n.copyreg));
    if (!copyreg) return PyErr_Occurred() ? -1 : 0;  // never imported: nothing pickles yet
    Ref table = Ref::steal(PyObject_GetAttr(copyreg.get(), n.dispatch_table));
    if (!table) return -1;
    if (!PyDict_Check(table.get())) return 0;
    const int known = PyDict_Contains(table.get(), meta);
    if (known != 0) return known < 0 ? -1 : 0;
    // The nearest base that copyreg knows must be reduced by numor.
    Ref mro = Ref::new_ref(Py_TYPE(cls)->tp_mro);
    if (!mro || !PyTuple_Check(mro.get())) return 0;
    Ref reducer;
    for (Py_ssize_t i = 1; i < PyTuple_GET_SIZE(mro.get()) && !reducer; ++i) {
        PyObject *base = PyTuple_GET_ITEM(mro.get(), i);
        reducer = Ref::new_ref(PyDict_GetItemWithError(table.get(), base));
        if (!reducer && PyErr_Occurred()) return -1;
    }
    if (!reducer || !is_reducer(reducer.get())) return 0;
    Ref qualname = Ref::steal(PyObject_GetAttr(meta, n.__qualname__));
    if (!qualname) return -1;
    if (!reachable(meta, qualname.get())) return 0;
    Ref done = Ref::steal(PyObject_CallMethod(copyreg.get(), "pickle", "OO", meta, reducer.get()));
    return done ? 0 : -1;
}

}  // namespace

// The metaclasses registered at import, held for the process. For a class
// of one of them the steps would find it registered, or, were it taken out
// of copyreg since, no reducer of ours on a base: either way nothing is
// done, so nothing is looked up.
static PyObject *registered_at_import[2];

void register_metaclass_of(PyObject *cls) {
    PyObject *meta = reinterpret_cast<PyObject *>(Py_TYPE(cls));
    if (meta == registered_at_import[0] || meta == registered_at_import[1]) return;
    // Only what pickling can do later depends on it: a copyreg that cannot
    // be read is no failure of the class statement.
    if (register_metaclass_steps(cls) < 0) PyErr_Clear();
}

int register_pickling(PyObject *const *metaclasses, Py_ssize_t n) {
    Ref copyreg = Ref::steal(PyImport_ImportModule("copyreg"));
    Ref reducer = Ref::steal(PyCFunction_New(&reduce_def, nullptr));
    if (!copyreg || !reducer) return -1;
    for (Py_ssize_t i = 0; i < n; ++i) {
        Ref done = Ref::steal(
            PyObject_CallMethod(copyreg.get(), "pickle", "OO", metaclasses[i], reducer.get()));
        if (!done) return -1;
        if (i < 2) Py_XSETREF(registered_at_import[i], Py_NewRef(metaclasses[i]));
    }
    return 0;
}

}  // namespace numor
