// Lookup, iteration, composition and presentation.
//
// These are the operations users run in loops, so each has a fast path for
// the state construction leaves behind (an exact tuple `_key` of exact,
// usually interned, strings) and a generic path that performs exactly the
// Python operations the behaviour is defined by, for whatever `_key` or key
// object it meets. Nothing is cached: `_key` is read afresh at every call,
// and where the behaviour says `self[x]`, `x in self` or `len(self)` the
// interpreter's protocol is used, so a derived metaclass that overrides one
// of them is honoured.
#include "protocol.h"

#include "common.h"
#include "compat.h"
#include "function.h"
#include "mirrors.h"

namespace numor {

namespace {

Ref pylen(PyObject *obj) {
    const Py_ssize_t n = PyObject_Length(obj);
    if (n < 0) return Ref();
    return Ref::steal(PyLong_FromSsize_t(n));
}

// Replaces a pending AttributeError or IndexError by KeyError(key), raised
// as if from an `except` block: the caught exception becomes its context.
void guard_keyerror(PyObject *key) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError) &&
        !PyErr_ExceptionMatches(PyExc_IndexError))
        return;
    PyObject *v = compat::fetch_exception();
    PyObject *ke = PyObject_CallOneArg(PyExc_KeyError, key);
    if (!ke) {
        Py_XDECREF(v);
        return;
    }
    PyException_SetContext(ke, v);  // steals v
    // Unlike PyErr_SetObject, this keeps the context we set.
    compat::raise_exception(ke);
}

Ref slice_of(PyObject *self, PyObject *key) {
    Ref int_type = Ref::new_ref(reinterpret_cast<PyObject *>(&PyLong_Type));
    Ref fields[3];
    if (PySlice_Check(key)) {
        auto *sl = reinterpret_cast<PySliceObject *>(key);
        fields[0] = Ref::new_ref(sl->start);
        fields[1] = Ref::new_ref(sl->stop);
        fields[2] = Ref::new_ref(sl->step);
    } else {  // an object that passes isinstance(key, slice)
        const char *names[3] = {"start", "stop", "step"};
        for (int i = 0; i < 3; ++i)
            if (!(fields[i] = Ref::steal(PyObject_GetAttrString(key, names[i])))) return Ref();
    }
    Ref bounds[3];
    for (int i = 0; i < 3; ++i) {
        Ref dflt;
        if (i == 0) dflt = Ref::new_ref(zero());
        else if (i == 1) dflt = pylen(self);
        else dflt = Ref::steal(PyLong_FromLong(1));
        if (!dflt) return dflt;
        PyObject *args[3] = {int_type.get(), fields[i].get(), dflt.get()};
        bounds[i] = call_global(state().names.typOrPz, args, 3);
        if (!bounds[i]) return Ref();
    }
    Ref range = Ref::steal(PyObject_CallFunctionObjArgs(reinterpret_cast<PyObject *>(&PyRange_Type),
                                                        bounds[0].get(), bounds[1].get(),
                                                        bounds[2].get(), nullptr));
    if (!range) return range;
    Ref it = Ref::steal(PyObject_GetIter(range.get()));
    if (!it) return it;
    Ref picked = Ref::steal(PyList_New(0));
    if (!picked) return picked;
    while (Ref p = next_item(it.get())) {
        Ref table = get_key(self);
        if (!table) return table;
        Ref name = Ref::steal(PyObject_GetItem(table.get(), p.get()));
        if (!name || PyList_Append(picked.get(), name.get()) < 0) return Ref();
    }
    if (PyErr_Occurred()) return Ref();
    Ref sk = Ref::steal(PyList_AsTuple(picked.get()));
    Ref dat = Ref::steal(PyDict_New());
    if (!sk || !dat) return Ref();
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(sk.get()); ++i) {
        PyObject *name = PyTuple_GET_ITEM(sk.get(), i);
        Ref v = class_getattr(self, name);
        if (!v || PyDict_SetItem(dat.get(), name, v.get()) < 0) return Ref();
    }
    if (PyDict_SetItem(dat.get(), state().names.ordo, sk.get()) < 0) return Ref();
    Ref title = Ref::steal(PyObject_Str(self));
    if (!title) return title;
    PyObject *args[2] = {dat.get(), title.get()};
    return call_global(state().names.NUmor, args, 2);
}

// `self[key]`. `walked`, when given, is an exact tuple of exact str that
// holds `key` (the member iterator's table): when `_key` is still that very
// tuple, `key in _key` is known to be true, and the scan it replaces could
// not have run Python code, so it is skipped.
Ref getitem_steps(PyObject *self, PyObject *key, PyObject *walked = nullptr) {
    int r = is_instance(key, &PySlice_Type);
    if (r < 0) return Ref();
    if (r) return slice_of(self, key);
    if ((r = is_instance(key, &PyLong_Type)) < 0) return Ref();
    if (r) {
        Ref table = get_key(self);
        if (!table) return table;
        return Ref::steal(PyObject_GetItem(table.get(), key));
    }
    {
        Ref meta = global(state().names.mNUmor);
        if (!meta) return meta;
        r = type_equals(key, meta.get());
        if (r < 0) return Ref();
        if (r) return Ref::new_ref(key);
    }
    if ((r = is_instance(key, &PyUnicode_Type)) < 0) return Ref();
    if (r) {
        Ref table = get_key(self);
        if (!table) return table;
        Ref name;
        if (table.get() == walked) {
            name = Ref::new_ref(key);
            r = 1;
        } else {
            r = find_member(self, table.get(), key, name);
        }
        if (r < 0) return Ref();
        if (r) return class_getattr(self, name.get(), PyTuple_CheckExact(table.get()) &&
                                                   PyTuple_GET_SIZE(table.get()) >= kManyMembers);
    }
    raise_with_arg(PyExc_KeyError, key);
    return Ref();
}

// `cls[key]`, defined with the direct slots below; `walked` as for
// getitem_steps.
Ref subscript(PyObject *cls, PyObject *key, PyObject *walked = nullptr);

// `tuple` is exact and holds only exact str.
bool all_exact_str(PyObject *tuple) {
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(tuple); ++i)
        if (!PyUnicode_CheckExact(PyTuple_GET_ITEM(tuple, i))) return false;
    return true;
}

// --- the member iterator --------------------------------------------------

// `__iter__` is a generator method: the call only creates this object; the
// first advance reads `_key` once and walks it, subscribing the class for
// each public name as it goes.
struct MemberIter {
    PyObject_HEAD
    PyObject *cls;
    PyObject *table;  // exact tuple being walked, or an iterator over `_key`
    Py_ssize_t pos;
    bool started;
    bool finished;
    bool running;
    bool plain;  // `table` is an exact tuple of exact str
    PyObject *weakrefs;  // generators can be weakly referenced
};

MemberIter *as_iter(PyObject *o) { return reinterpret_cast<MemberIter *>(o); }

void iter_finish(MemberIter *it) {
    it->finished = true;
    Py_CLEAR(it->table);
    Py_CLEAR(it->cls);
}

PyObject *iter_step(MemberIter *it) {
    if (!it->started) {
        it->started = true;
        Ref table = get_key(it->cls);
        if (!table) return nullptr;
        if (PyTuple_CheckExact(table.get())) {
            it->plain = all_exact_str(table.get());
            it->table = table.release();
        } else {
            it->table = PyObject_GetIter(table.get());
            if (!it->table) return nullptr;
        }
    }
    for (;;) {
        Ref name;
        if (PyTuple_CheckExact(it->table)) {
            if (it->pos >= PyTuple_GET_SIZE(it->table)) return nullptr;
            name = Ref::new_ref(PyTuple_GET_ITEM(it->table, it->pos++));
        } else {
            name = Ref::steal(PyIter_Next(it->table));
            if (!name) return nullptr;
        }
        const int pub = first_char_is_underscore(name.get(), Py_NE);
        if (pub < 0) return nullptr;
        if (!pub) continue;
        Ref cls = Ref::new_ref(it->cls);
        Ref walked = Ref::new_ref(it->plain ? it->table : nullptr);
        Ref value = subscript(cls.get(), name.get(), walked.get());
        if (!value) return nullptr;
        return PyTuple_Pack(2, name.get(), value.get());
    }
}

// A StopIteration escaping a generator's body would look like a normal end;
// the interpreter turns it into RuntimeError (PEP 479), and so must we.
void stop_iteration_escapes() {
    if (PyErr_ExceptionMatches(PyExc_StopIteration))
        compat::raise_from_pending(PyExc_RuntimeError, "generator raised StopIteration");
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
    if (!it->started && !it->finished && !it->running && value != Py_None) {
        PyErr_SetString(PyExc_TypeError, "can't send non-None value to a just-started generator");
        return nullptr;
    }
    PyObject *r = iter_next(self);
    if (!r && !PyErr_Occurred()) PyErr_SetNone(PyExc_StopIteration);
    return r;
}

// The generator has no handler, so a thrown exception always ends it and
// propagates: normalise the arguments as generator.throw does and raise.
PyObject *iter_throw(PyObject *self, PyObject *args) {
    MemberIter *it = as_iter(self);
    PyObject *typ, *val = nullptr, *tb = nullptr;
    if (!PyArg_UnpackTuple(args, "throw", 1, 3, &typ, &val, &tb)) return nullptr;
    if (it->running) {
        PyErr_SetString(PyExc_ValueError, "generator already executing");
        return nullptr;
    }
    if (tb == Py_None) {
        tb = nullptr;
    } else if (tb && !PyTraceBack_Check(tb)) {
        PyErr_SetString(PyExc_TypeError, "throw() third argument must be a traceback object");
        return nullptr;
    }
    Py_INCREF(typ);
    Py_XINCREF(val);
    Py_XINCREF(tb);
    if (PyExceptionClass_Check(typ)) {
        compat::normalize_exception(&typ, &val, &tb);
    } else if (PyExceptionInstance_Check(typ)) {
        if (val && val != Py_None) {
            PyErr_SetString(PyExc_TypeError, "instance exception may not have a separate value");
            Py_DECREF(typ);
            Py_XDECREF(val);
            Py_XDECREF(tb);
            return nullptr;
        }
        Py_XDECREF(val);
        val = typ;
        typ = Py_NewRef(reinterpret_cast<PyObject *>(Py_TYPE(val)));
        if (!tb) tb = PyException_GetTraceback(val);
    } else {
        PyErr_Format(PyExc_TypeError,
                     "exceptions must be classes or instances deriving from BaseException, not %s",
                     Py_TYPE(typ)->tp_name);
        Py_DECREF(typ);
        Py_XDECREF(val);
        Py_XDECREF(tb);
        return nullptr;
    }
    // Thrown into a finished generator, the exception is merely re-raised;
    // otherwise it escapes the body.
    const bool alive = !it->finished;
    iter_finish(it);
    compat::restore_exception(typ, val, tb);
    if (alive) stop_iteration_escapes();
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
    Py_VISIT(as_iter(self)->cls);
    Py_VISIT(as_iter(self)->table);
    return 0;
}

int iter_clear(PyObject *self) {
    Py_CLEAR(as_iter(self)->cls);
    Py_CLEAR(as_iter(self)->table);
    return 0;
}

void iter_dealloc(PyObject *self) {
    PyObject_GC_UnTrack(self);
    if (as_iter(self)->weakrefs) PyObject_ClearWeakRefs(self);
    iter_clear(self);
    PyObject_GC_Del(self);
}

PyObject *iter_get_running(PyObject *self, void *) { return PyBool_FromLong(as_iter(self)->running); }
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

}  // namespace

PyTypeObject MemberIterType{};

int protocol_ready() {
    PyTypeObject &t = MemberIterType;
    if (!(t.tp_flags & Py_TPFLAGS_READY)) {
        init_static_type(t, "numor.generator", sizeof(MemberIter));
        t.tp_dealloc = iter_dealloc;
        t.tp_getattro = PyObject_GenericGetAttr;
        t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE |
                     Py_TPFLAGS_DISALLOW_INSTANTIATION;
        t.tp_traverse = iter_traverse;
        t.tp_clear = iter_clear;
        t.tp_iter = PyObject_SelfIter;
        t.tp_weaklistoffset = offsetof(MemberIter, weakrefs);
        t.tp_iternext = iter_next;
        t.tp_methods = iter_methods;
        t.tp_getset = iter_getset;
        if (PyType_Ready(&t) < 0) return -1;
    }
    Ref abc = Ref::steal(PyImport_ImportModule("collections.abc"));
    if (!abc) return -1;
    Ref gen = Ref::steal(PyObject_GetAttrString(abc.get(), "Generator"));
    if (!gen) return -1;
    Ref r = Ref::steal(PyObject_CallMethod(gen.get(), "register", "O", &t));
    return r ? 0 : -1;
}

// --- the methods ----------------------------------------------------------

PyObject *meta_values(PyObject *const *a) {
    PyObject *self = a[0];
    Ref table = get_key(self);
    if (!table) return nullptr;
    if (PyTuple_CheckExact(table.get())) {
        // The table is held and cannot change; the result is filled in place.
        const Py_ssize_t n = PyTuple_GET_SIZE(table.get());
        Ref out = Ref::steal(PyTuple_New(n));
        if (!out) return nullptr;
        for (Py_ssize_t i = 0; i < n; ++i) {
            Ref v = class_getattr(self, PyTuple_GET_ITEM(table.get(), i), n >= kManyMembers);
            if (!v) return nullptr;
            PyTuple_SET_ITEM(out.get(), i, v.release());
        }
        return out.release();
    }
    Ref out = Ref::steal(PyList_New(0));
    Ref it = Ref::steal(PyObject_GetIter(table.get()));
    if (!out || !it) return nullptr;
    while (Ref name = next_item(it.get())) {
        Ref v = class_getattr(self, name.get());
        if (!v || PyList_Append(out.get(), v.get()) < 0) return nullptr;
    }
    if (PyErr_Occurred()) return nullptr;
    return PyList_AsTuple(out.get());
}

PyObject *meta_index(PyObject *const *a) {
    PyObject *self = a[0];
    Ref key = Ref::new_ref(a[1]);
    Ref meta = global(state().names.mNUmor);
    if (!meta) return nullptr;
    const int r = type_equals(key.get(), meta.get());
    if (r < 0) return nullptr;
    const int is_int = r ? 0 : is_instance(key.get(), &PyLong_Type);
    if (is_int < 0) return nullptr;
    if (r) {
        key = Ref::steal(PyObject_GetAttr(key.get(), state().names.__name__));
        if (!key) return nullptr;
    } else if (is_int) {
        Ref table = get_key(self);
        if (!table) return nullptr;
        return PyObject_GetItem(table.get(), key.get());
    }
    Ref table = get_key(self);
    if (!table) return nullptr;
    return member_index_of(self, table.get(), key.get()).release();
}

PyObject *meta_get(PyObject *const *a) {
    const int r = PySequence_Contains(a[0], a[1]);
    if (r < 0) return nullptr;
    if (r) return PyObject_GetItem(a[0], a[1]);
    return Py_NewRef(a[2]);
}

PyObject *meta_len(PyObject *const *a) {
    Ref table = get_key(a[0]);
    if (!table) return nullptr;
    if (PyTuple_CheckExact(table.get())) return PyLong_FromSsize_t(PyTuple_GET_SIZE(table.get()));
    return pylen(table.get()).release();
}

PyObject *meta_iter(PyObject *const *a) {
    MemberIter *it = PyObject_GC_New(MemberIter, &MemberIterType);
    if (!it) return nullptr;
    it->cls = Py_NewRef(a[0]);
    it->table = nullptr;
    it->pos = 0;
    it->started = it->finished = it->running = it->plain = false;
    it->weakrefs = nullptr;
    PyObject_GC_Track(it);
    return reinterpret_cast<PyObject *>(it);
}

PyObject *meta_contains(PyObject *const *a) {
    PyObject *self = a[0], *key = a[1];
    int r = is_instance(key, &PyLong_Type);
    if (r < 0) return nullptr;
    if (r) {
        // The chained comparison `0 <= key < len(self)`.
        Ref lower;
        if (PyLong_CheckExact(key)) {
            if (compat::long_sign(key) < 0) Py_RETURN_FALSE;
        } else {
            lower = Ref::steal(PyObject_RichCompare(zero(), key, Py_LE));
            if (!lower) return nullptr;
            const int t = PyObject_IsTrue(lower.get());
            if (t < 0) return nullptr;
            if (!t) return lower.release();
        }
        Ref n = pylen(self);
        if (!n) return nullptr;
        return PyObject_RichCompare(key, n.get(), Py_LT);
    }
    Ref k = Ref::new_ref(key);
    if ((r = is_instance(key, &PyUnicode_Type)) < 0) return nullptr;
    if (!r) {
        k = Ref::steal(PyObject_Str(key));
        if (!k) return nullptr;
    }
    Ref table = get_key(self);
    if (!table) return nullptr;
    r = member_contains(self, table.get(), k.get());
    if (r < 0) return nullptr;
    return PyBool_FromLong(r);
}

PyObject *meta_getitem(PyObject *const *a) {
    Ref key = Ref::new_ref(a[1]);
    Ref r = getitem_steps(a[0], key.get());
    if (!r) guard_keyerror(key.get());
    return r.release();
}

PyObject *meta_add(PyObject *const *a) {
    PyObject *self = a[0], *value = a[1];
    Ref meta = global(state().names.mNUmor);
    if (!meta) return nullptr;
    const int r = PyObject_IsInstance(value, meta.get());
    if (r < 0) return nullptr;
    if (!r) {
        raise_with_arg(PyExc_TypeError, value);
        return nullptr;
    }
    Ref base = Ref::steal(PyTuple_Pack(2, self, value));
    if (!base) return nullptr;
    Ref left = Ref::steal(PyObject_GetAttr(self, state().names.__name__));
    if (!left || !(left = Ref::steal(PyObject_Str(left.get())))) return nullptr;
    Ref right = Ref::steal(PyObject_GetAttr(value, state().names.__name__));
    if (!right || !(right = Ref::steal(PyObject_Str(right.get())))) return nullptr;
    Ref name = Ref::steal(PyUnicode_FromFormat("%U_%U", left.get(), right.get()));
    if (!name) return nullptr;
    Ref fn = global(state().names.NUmor);
    if (!fn) return nullptr;
    Ref kwnames = Ref::steal(PyTuple_Pack(2, state().names.base, state().names.name));
    if (!kwnames) return nullptr;
    PyObject *args[2] = {base.get(), name.get()};
    return PyObject_Vectorcall(fn.get(), args, 0, kwnames.get());
}

PyObject *meta_dir(PyObject *const *a) {
    Ref table = get_key(a[0]);
    if (!table) return nullptr;
    return PySequence_List(table.get());
}

PyObject *meta_bool(PyObject *const *a) {
    Ref table = get_key(a[0]);
    if (!table) return nullptr;
    const int t = PyObject_IsTrue(table.get());
    if (t < 0) return nullptr;
    return PyBool_FromLong(t);
}

PyObject *meta_repr(PyObject *const *a) {
    Ref name = Ref::steal(PyObject_GetAttr(a[0], state().names.__name__));
    if (!name) return nullptr;
    Ref ident = Ref::steal(PyLong_FromVoidPtr(a[0]));
    if (!ident) return nullptr;
    return PyUnicode_FromFormat("<NUmor(%S): %S>", name.get(), ident.get());
}

PyObject *meta_str(PyObject *const *a) { return PyObject_GetAttr(a[0], state().names.__name__); }

// --- direct slots ---------------------------------------------------------
//
// `E[x]`, `len(E)`, `x in E` and `iter(E)` reach the methods above through
// the type slots of E's metaclass. For a metaclass that defines these
// methods in its namespace, the interpreter fills the slots with generic
// dispatchers: each call looks the method up along the metaclass's MRO and
// calls what it finds. The slots below make the same lookup; when it finds
// this module's function with the body that belongs there, they call the
// body directly, and anything else they hand to the generic dispatcher,
// which calls it as usual. They are put on mNUmor and mmNumor only. A
// metaclass derived from them gets the generic dispatchers from the
// interpreter, and so does either of the two when one of these names is
// rebound on it: the interpreter re-derives the slot then.

namespace {

PyObject *direct_subscript(PyObject *self, PyObject *key) {
    if (!dispatch_finds(self, state().names.__getitem__, meta_getitem)) return state().slot_mp_subscript(self, key);
    PyObject *argv[2] = {self, key};
    return meta_getitem(argv);
}

// The body of `__len__` as the length slot returns it: `len(self._key)`.
Py_ssize_t len_body(PyObject *self) {
    Ref table = get_key(self);
    if (!table) return -1;
    if (PyTuple_CheckExact(table.get())) return PyTuple_GET_SIZE(table.get());
    return PyObject_Length(table.get());
}

Py_ssize_t direct_sq_length(PyObject *self) {
    if (!dispatch_finds(self, state().names.__len__, meta_len)) return state().slot_sq_length(self);
    return len_body(self);
}

Py_ssize_t direct_mp_length(PyObject *self) {
    if (!dispatch_finds(self, state().names.__len__, meta_len)) return state().slot_mp_length(self);
    return len_body(self);
}

int direct_contains(PyObject *self, PyObject *key) {
    if (!dispatch_finds(self, state().names.__contains__, meta_contains)) return state().slot_sq_contains(self, key);
    PyObject *argv[2] = {self, key};
    Ref r = Ref::steal(meta_contains(argv));
    if (!r) return -1;
    return PyObject_IsTrue(r.get());
}

PyObject *direct_iter(PyObject *self) {
    if (!dispatch_finds(self, state().names.__iter__, meta_iter)) return state().slot_tp_iter(self);
    PyObject *argv[1] = {self};
    return meta_iter(argv);
}

// `cls[key]` through the subscription protocol of `cls`. When its slot would
// land in this module's `__getitem__` (the direct slot, or the generic
// dispatcher that finds our function), the body is called here instead,
// which is the same call without the dispatch.
Ref subscript(PyObject *cls, PyObject *key, PyObject *walked) {
    PyMappingMethods *m = Py_TYPE(cls)->tp_as_mapping;
    if (m && m->mp_subscript &&
        (m->mp_subscript == direct_subscript || m->mp_subscript == state().slot_mp_subscript) &&
        dispatch_finds(cls, state().names.__getitem__, meta_getitem)) {
        Ref hold = Ref::new_ref(key);
        Ref r = getitem_steps(cls, key, walked);
        if (!r) guard_keyerror(key);
        return r;
    }
    return Ref::steal(PyObject_GetItem(cls, key));
}

}  // namespace

void install_direct_slots(PyObject *meta) {
    auto *t = reinterpret_cast<PyTypeObject *>(meta);
    if (!state().slot_mp_subscript) {
        // The first metaclass made (mNUmor) shows what the interpreter puts
        // into these slots for methods defined in a class namespace.
        state().slot_mp_subscript = t->tp_as_mapping->mp_subscript;
        state().slot_mp_length = t->tp_as_mapping->mp_length;
        state().slot_sq_length = t->tp_as_sequence->sq_length;
        state().slot_sq_contains = t->tp_as_sequence->sq_contains;
        state().slot_tp_iter = t->tp_iter;
    }
    // Only a slot that holds the generic dispatcher is replaced.
    PyMappingMethods *m = t->tp_as_mapping;
    PySequenceMethods *s = t->tp_as_sequence;
    if (m->mp_subscript && m->mp_subscript == state().slot_mp_subscript) m->mp_subscript = direct_subscript;
    if (m->mp_length && m->mp_length == state().slot_mp_length) m->mp_length = direct_mp_length;
    if (s->sq_length && s->sq_length == state().slot_sq_length) s->sq_length = direct_sq_length;
    if (s->sq_contains && s->sq_contains == state().slot_sq_contains) s->sq_contains = direct_contains;
    if (t->tp_iter && t->tp_iter == state().slot_tp_iter) t->tp_iter = direct_iter;
}

}  // namespace numor
