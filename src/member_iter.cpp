// The iterator `iter(E)` returns.
//
// `__iter__` is a generator method: calling it only creates the iterator,
// and the first advance reads `_key` once and walks it, subscribing the
// class for each public name as it goes. The iterator behaves as the
// generator the method would be in Python: it has `send`, `throw` and
// `close`, refuses re-entry ("generator already executing"), turns an
// escaping StopIteration into RuntimeError, ends for good once it raised,
// and is registered as a `collections.abc.Generator`.
#include "member_iter.h"

#include "caches.h"
#include "compat.h"
#include "exact_types.h"
#include "function.h"
#include "globals.h"
#include "heap_type.h"
#include "mirrors.h"
#include "protocol.h"
#include "state.h"
#include "table_walk.h"
#include "walk.h"

#include <new>

namespace numor {

namespace {

// `tuple` is exact and holds only exact str.
bool all_exact_str(PyObject *tuple) {
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(tuple); ++i)
        if (!PyUnicode_CheckExact(PyTuple_GET_ITEM(tuple, i))) return false;
    return true;
}

struct MemberIter {
    PyObject_HEAD
    PyObject *cls;
    PyObject *weakrefs;  // generators can be weakly referenced
    bool started;
    bool finished;
    bool running;
    bool plain;  // the walk is over an exact tuple of exact str
    Walk walk;   // over `_key`, once started (made with placement new)
};

MemberIter *as_iter(PyObject *o) { return reinterpret_cast<MemberIter *>(o); }

void iter_finish(MemberIter *it) {
    it->finished = true;
    it->walk.clear();
    Py_CLEAR(it->cls);
}

// `cls[name]` for a name of the walked plain table, when every step of it
// is known to run no Python code and give a plain attribute: the
// subscription lands in our `__getitem__`, `type(name) == mNUmor` is known
// to be false, the class's `_key` is still the walked tuple (so the name is
// a member) and the member is a plain class attribute. Else null, no error
// set: the caller subscribes.
PyObject *plain_member(PyObject *cls, PyObject *name, PyObject *walked, Py_ssize_t pos) {
    bool is_meta;
    if (!meta_instance_known(name, is_meta) || is_meta || key_peek(cls) != walked ||
        !subscript_reaches(cls, entry_of<meta_getitem>))
        return nullptr;
    const bool many = PyTuple_GET_SIZE(walked) >= kManyMembers;
    if (many && !key_memo.hashed_strs) {
        if (PyObject *v = walk_step(cls, pos, name)) return Py_NewRef(v);
        if (PyObject *v = walk_read(cls, pos, name)) return Py_NewRef(v);
    }
    return class_attr_fast(cls, name, many).release();
}

PyObject *iter_step(MemberIter *it) {
    if (!it->started) {
        it->started = true;
        Ref table = get_key(it->cls);
        if (!table || !it->walk.start(table.get())) return nullptr;
        it->plain = it->walk.tuple() && all_exact_str(table.get());
    }
    for (;;) {
        // Held: subscribing may run code that clears the walk.
        Ref name = Ref::new_ref(it->walk.next());
        if (!name) return nullptr;
        const int pub = first_char_is_underscore(name.get(), Py_NE);
        if (pub < 0) return nullptr;
        if (!pub) continue;
        Ref value;
        if (it->plain)
            value = Ref::steal(
                plain_member(it->cls, name.get(), it->walk.tuple(), it->walk.tuple_pos()));
        if (!value) {
            Ref cls = Ref::new_ref(it->cls);
            Ref walked = Ref::new_ref(it->plain ? it->walk.tuple() : nullptr);
            Miss miss = Miss::none;
            value = subscript(cls.get(), name.get(), walked.get(), &miss);
            if (!value) {
                note_lookup_miss(cls.get(), name.get(), miss, true);
                return nullptr;
            }
        }
        PyObject *pair = PyTuple_New(2);
        if (!pair) return nullptr;
        PyTuple_SET_ITEM(pair, 0, name.release());
        PyTuple_SET_ITEM(pair, 1, value.release());
        return pair;
    }
}

PyObject *iter_next(PyObject *self) {
    MemberIter *it = as_iter(self);
    if (it->running) {
        PyErr_SetString(PyExc_ValueError, "generator already executing");
        return nullptr;
    }
    if (it->finished) return nullptr;
    it->running = true;
    PyObject *r = iter_step(it);
    it->running = false;
    if (!r) {
        iter_finish(it);  // exhausted or raised: a generator ends either way
        if (PyErr_Occurred()) stop_iteration_escapes();
    }
    return r;
}

PyObject *iter_send(PyObject *self, PyObject *value) {
    MemberIter *it = as_iter(self);
    if (!send_accepted(!it->started && !it->finished, value)) return nullptr;
    PyObject *r = iter_next(self);
    if (!r && !PyErr_Occurred()) PyErr_SetNone(PyExc_StopIteration);
    return r;
}

// The generator has no handler, so a thrown exception always ends it and
// propagates.
PyObject *iter_throw(PyObject *self, PyObject *args) {
    MemberIter *it = as_iter(self);
    Thrown exc;
    if (!thrown_exception(args, it->running, exc)) return nullptr;
    // Thrown into a finished generator, the exception is merely re-raised;
    // otherwise it escapes the body.
    const bool alive = !it->finished;
    iter_finish(it);
    raise_thrown(exc, alive);
    return nullptr;
}

PyObject *iter_close(PyObject *self, PyObject *) {
    MemberIter *it = as_iter(self);
    if (it->running) {
        PyErr_SetString(PyExc_ValueError, "generator already executing");
        return nullptr;
    }
    iter_finish(it);
    Py_RETURN_NONE;
}

int iter_traverse(PyObject *self, visitproc visit, void *arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(as_iter(self)->cls);
    return as_iter(self)->walk.traverse(visit, arg);
}

int iter_clear(PyObject *self) {
    Py_CLEAR(as_iter(self)->cls);
    as_iter(self)->walk.clear();
    return 0;
}

void iter_dealloc(PyObject *self) {
    PyTypeObject *type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (as_iter(self)->weakrefs) PyObject_ClearWeakRefs(self);
    iter_clear(self);
    as_iter(self)->walk.~Walk();
    PyObject_GC_Del(self);
    Py_DECREF(type);
}

PyObject *iter_get_running(PyObject *self, void *) {
    return PyBool_FromLong(as_iter(self)->running);
}
PyObject *iter_get_name(PyObject *, void *) { return PyUnicode_FromString("__iter__"); }
PyObject *iter_get_qualname(PyObject *, void *) { return PyUnicode_FromString("mNUmor.__iter__"); }

PyMethodDef iter_methods[] = {
    {"send", iter_send, METH_O, nullptr},
    {"throw", iter_throw, METH_VARARGS, nullptr},
    {"close", iter_close, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef iter_getset[] = {
    {"gi_running", iter_get_running, nullptr, nullptr, nullptr},
    {"__name__", iter_get_name, nullptr, nullptr, nullptr},
    {"__qualname__", iter_get_qualname, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef iter_members[] = {
    {"__weaklistoffset__", NUMOR_T_PYSSIZET, offsetof(MemberIter, weakrefs), NUMOR_READONLY,
     nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot iter_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void *>(iter_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void *>(iter_traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(iter_clear)},
    {Py_tp_iter, reinterpret_cast<void *>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void *>(iter_next)},
    {Py_tp_methods, iter_methods},
    {Py_tp_members, iter_members},
    {Py_tp_getset, iter_getset},
    {0, nullptr},
};

PyType_Spec iter_spec = {
    "numor.generator",
    sizeof(MemberIter),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE |
        Py_TPFLAGS_DISALLOW_INSTANTIATION,
    iter_slots,
};

}  // namespace

int member_iter_init() {
    Ref t = make_heap_type(iter_spec);
    if (!t) return -1;
    Py_XSETREF(state().member_iter_type, reinterpret_cast<PyTypeObject *>(t.release()));
    Ref abc = Ref::steal(PyImport_ImportModule("collections.abc"));
    if (!abc) return -1;
    Ref gen = Ref::steal(PyObject_GetAttrString(abc.get(), "Generator"));
    if (!gen) return -1;
    PyObject *type = reinterpret_cast<PyObject *>(state().member_iter_type);
    Ref r = Ref::steal(PyObject_CallMethodOneArg(gen.get(), state().names.register_, type));
    return r ? 0 : -1;
}

Ref meta_iter(PyObject *self) {
    MemberIter *it = PyObject_GC_New(MemberIter, state().member_iter_type);
    if (!it) return nullptr;
    it->cls = Py_NewRef(self);
    new (&it->walk) Walk();
    it->started = it->finished = it->running = it->plain = false;
    it->weakrefs = nullptr;
    PyObject_GC_Track(it);
    return Ref::steal(reinterpret_cast<PyObject *>(it));
}

}  // namespace numor
