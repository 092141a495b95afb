// Mirrors of interpreter rules.
//
// A few fast paths get the result of an interpreter operation without
// making the call, by repeating the rule the interpreter applies; and a few
// operations that must behave as a piece of Python does have no C API to
// call (a class statement's choice of metaclass, unpacking, a generator's
// `send` and `throw`), so they repeat its rule too. Each such copy lives
// here, next to the name of the CPython function it follows, so
// that a new CPython version means reading those functions again and
// comparing; tests/test_mirrors.py compares each with the generic call on
// inputs chosen to tell them apart. Checked against CPython 3.11, 3.12 and
// 3.13 (Objects/typeobject.c unless noted).
//
//  * class_attr_fast / class_getattr: `type_getattro` (3.12+:
//    `_Py_type_getattro_impl`). A data descriptor found on the metaclass
//    wins; else the class's own MRO is searched and a plain value found
//    there is the result; a descriptor found there, a metaclass attribute,
//    or a metaclass that overrides `__getattribute__` take the generic call.
//    The metaclass facts of caches.h say when no data descriptor of the
//    metaclass can have a non-dunder name, which spares the metaclass
//    lookup for member names.
//  * call_type_new: `tp_new_wrapper`'s checks of its first argument ("is
//    not a type object", "is not a subtype of", and the "is not safe" test
//    that walks `tp_base` past Python-level `__new__` overrides, which have
//    `slot_tp_new`, to the nearest C `tp_new`) before `type_new` runs.
//  * direct_setattr_ok: `hackcheck` (what `type.__setattr__` and
//    `type.__delattr__` check through `wrap_setattr`/`wrap_delattr`): the
//    direct call is taken only when no C-level class in the metaclass's MRO
//    has its own `tp_setattro`.
//  * type_store: `type_setattro` and `_PyObject_GenericSetAttrWithDict`
//    (Objects/object.c). With no data descriptor of the metaclass under the
//    name, the name already interned and no slot to update, what is left is
//    the change of the class's dict and `PyType_Modified`, which clears the
//    version tags of the class and its subclasses; compat.h says in which
//    order.
//  * dispatch_finds: `slot_mp_subscript`, `slot_sq_length`,
//    `slot_sq_contains` and `slot_tp_iter` look the method up on the type
//    through `lookup_maybe_method` (`_PyType_Lookup` along the MRO) and
//    call what they find; `update_one_slot` re-derives a slot when a
//    metaclass's dunder is rebound. The direct slots rely on both: they ask
//    what the dispatcher would find and call our body only when it is ours.
//  * class_is_type: `object_get_class` (the `__class__` getter that
//    `object_getsets` gives every type) and `PyObject_GenericGetAttr`, which
//    finds that data descriptor before anything in the instance.
//  * winning_metaclass: `_PyType_CalculateMetaclass`, which the 3.13
//    headers no longer declare: the explicit metaclass gives way to the
//    metaclass of a base that derives from it, and two unrelated ones are a
//    conflict.
//  * unpack3: `UNPACK_SEQUENCE` and `unpack_iterable` (3.12+:
//    `_PyEval_UnpackIterable`) of Python/ceval.c. An exact tuple or list of
//    the right size is read directly; anything else through its iterator,
//    which must end after the third item.
//  * send_accepted, thrown_exception, raise_thrown, stop_iteration_escapes:
//    Objects/genobject.c. `gen_send_ex2` refuses a value sent to a
//    generator not started yet; `gen_throw` and `_gen_throw` count their
//    arguments, warn of the three-argument form, check the traceback and
//    normalise the exception before `gen_send_ex2` refuses a running
//    generator (from 3.15 that comes right after the warning), and a
//    normalisation that fails throws the error it raised; PEP 479 turns a
//    StopIteration escaping the body into RuntimeError.
#include "mirrors.h"

#include "compat.h"
#include "exact_types.h"

namespace numor {

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

Ref class_attr_fast(PyObject *cls, PyObject *name, bool many) {
    // The steps of the interpreter's type_getattro for this case: a data
    // descriptor of the metaclass would win, else the class's own MRO
    // decides, and a value there without __get__ is the result. Member
    // names and `_key` do not start with "__": for them, a metaclass known
    // to have no data descriptor but dunder ones needs no lookup.
    if (!kFastPaths || !PyType_Check(cls) || Py_TYPE(cls)->tp_getattro != PyType_Type.tp_getattro ||
        !PyUnicode_CheckExact(name) || !reinterpret_cast<PyTypeObject *>(cls)->tp_dict)
        return nullptr;
    bool shadowed = true;
    if (!starts_with_dunder(name)) {
        const MetaFacts *f = meta_facts(Py_TYPE(cls));
        shadowed = !f || !f->plain_names;
    }
    if (shadowed) {
        // The lookup may compare with keys of str subclasses, which runs
        // their code: what it returns is held before anything is asked.
        Ref meta_attr = compat::type_lookup_ref(Py_TYPE(cls), name);
        if (meta_attr && Py_TYPE(meta_attr.get())->tp_descr_get && PyDescr_IsData(meta_attr.get()))
            return nullptr;
    }
    auto *t = reinterpret_cast<PyTypeObject *>(cls);
    Ref attr;
    if (many && first_in_mro(t)) {
        // The class itself comes first in its MRO, so an entry of its own
        // dict is what the MRO walk finds. The interpreter's lookup would
        // meet an error of a key comparison too, and turn it into "no such
        // attribute"; the generic call reports that.
        PyObject *own = PyDict_GetItemWithError(t->tp_dict, name);
        if (!own && PyErr_Occurred()) {
            PyErr_Clear();
            return nullptr;
        }
        attr = Ref::new_ref(own);
    }
    if (!attr) attr = compat::type_lookup_ref(t, name);
    if (!attr || Py_TYPE(attr.get())->tp_descr_get) return nullptr;
    return attr;
}

Ref class_getattr(PyObject *cls, PyObject *name, bool many) {
    if (Ref attr = class_attr_fast(cls, name, many)) return attr;
    return Ref::steal(PyObject_GetAttr(cls, name));
}

Ref call_type_new(PyObject *cls, PyObject *name, PyObject *bases, PyObject *dct) {
    if (!kFastPaths) {
        PyObject *args[4] = {cls, name, bases, dct};
        return Ref::steal(PyObject_Vectorcall(state().type_new, args, 4, nullptr));
    }
    if (!PyType_Check(cls)) {
        PyErr_Format(PyExc_TypeError, "type.__new__(X): X is not a type object (%s)",
                     Py_TYPE(cls)->tp_name);
        return nullptr;
    }
    auto *sub = reinterpret_cast<PyTypeObject *>(cls);
    if (!PyType_IsSubtype(sub, &PyType_Type)) {
        PyErr_Format(PyExc_TypeError, "type.__new__(%s): %s is not a subtype of type",
                     sub->tp_name, sub->tp_name);
        return nullptr;
    }
    // Refuses a metaclass whose nearest C base creates its instances some
    // other way (as `object.__new__(dict)` is refused).
    PyTypeObject *staticbase = sub;
    while (staticbase && staticbase->tp_new == state().slot_tp_new)
        staticbase = staticbase->tp_base;
    if (staticbase && staticbase->tp_new != PyType_Type.tp_new) {
        PyErr_Format(PyExc_TypeError, "type.__new__(%s) is not safe, use %s.__new__()",
                     sub->tp_name, staticbase->tp_name);
        return nullptr;
    }
    Ref args = Ref::steal(PyTuple_Pack(3, name, bases, dct));
    if (!args) return nullptr;
    if (Py_EnterRecursiveCall(" while calling a Python object")) return nullptr;
    Ref made = Ref::steal(PyType_Type.tp_new(sub, args.get(), nullptr));
    Py_LeaveRecursiveCall();
    return made;
}

bool direct_setattr_ok(PyObject *self) {
    if (!kFastPaths || !PyType_Check(self)) return false;
    if (const MetaFacts *f = meta_facts(Py_TYPE(self))) return f->setattr_direct;
    PyObject *mro = Py_TYPE(self)->tp_mro;
    if (!mro) return false;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); ++i)
        if (!sets_attributes_as_type(reinterpret_cast<PyTypeObject *>(PyTuple_GET_ITEM(mro, i))))
            return false;
    return true;
}

bool sets_attributes_as_type(PyTypeObject *t) {
    return t->tp_setattro == state().slot_setattro || t->tp_setattro == PyType_Type.tp_setattro ||
           t == &PyBaseObject_Type;
}

int type_store(PyObject *cls, PyObject *name, PyObject *value) {
    auto *t = reinterpret_cast<PyTypeObject *>(cls);
    if constexpr (compat::kTagsClearedFirst) PyType_Modified(t);
    if ((value ? PyDict_SetItem(t->tp_dict, name, value) : PyDict_DelItem(t->tp_dict, name)) < 0)
        return -1;
    if constexpr (!compat::kTagsClearedFirst) PyType_Modified(t);
    return 0;
}

bool subscript_reaches(PyObject *cls, Impl impl) {
    if (!kFastPaths) return false;
    PyMappingMethods *m = Py_TYPE(cls)->tp_as_mapping;
    return m && m->mp_subscript &&
           (m->mp_subscript == state().direct_mp_subscript ||
            m->mp_subscript == state().slot_mp_subscript) &&
           dispatch_finds(cls, state().names.__getitem__, impl);
}

PyTypeObject *winning_metaclass(PyTypeObject *meta, PyObject *bases) {
    PyTypeObject *winner = meta;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(bases); ++i) {
        PyTypeObject *t = Py_TYPE(PyTuple_GET_ITEM(bases, i));
        if (PyType_IsSubtype(winner, t)) continue;
        if (PyType_IsSubtype(t, winner)) {
            winner = t;
            continue;
        }
        PyErr_SetString(PyExc_TypeError,
                        "metaclass conflict: the metaclass of a derived class must be a "
                        "(non-strict) subclass of the metaclasses of all its bases");
        return nullptr;
    }
    return winner;
}

bool unpack3(PyObject *seq, Ref out[3]) {
    if ((PyTuple_CheckExact(seq) || PyList_CheckExact(seq)) && Py_SIZE(seq) == 3) {
        PyObject *const *items = PySequence_Fast_ITEMS(seq);
        for (int i = 0; i < 3; ++i) out[i] = Ref::new_ref(items[i]);
        return true;
    }
    Ref it = Ref::steal(PyObject_GetIter(seq));
    if (!it) {
        if (PyErr_ExceptionMatches(PyExc_TypeError) && !Py_TYPE(seq)->tp_iter &&
            !PySequence_Check(seq)) {
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object",
                         Py_TYPE(seq)->tp_name);
        }
        return false;
    }
    for (int i = 0; i < 3; ++i) {
        out[i] = Ref::steal(PyIter_Next(it.get()));
        if (!out[i]) {
            if (!PyErr_Occurred())
                PyErr_Format(PyExc_ValueError,
                             "not enough values to unpack (expected 3, got %d)", i);
            return false;
        }
    }
    Ref extra = Ref::steal(PyIter_Next(it.get()));
    if (!extra) return !PyErr_Occurred();
    extra.reset();  // released before the error is set, as its finaliser may run code
    if (compat::kUnpackCountsExtra &&
        (PyList_CheckExact(seq) || PyTuple_CheckExact(seq) || PyDict_CheckExact(seq))) {
        const Py_ssize_t n = PyDict_CheckExact(seq) ? PyDict_Size(seq) : Py_SIZE(seq);
        if (n > 3) {
            PyErr_Format(PyExc_ValueError, "too many values to unpack (expected 3, got %zd)", n);
            return false;
        }
    }
    PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 3)");
    return false;
}

bool send_accepted(bool just_started, PyObject *value) {
    if (!just_started || value == Py_None) return true;
    PyErr_SetString(PyExc_TypeError, "can't send non-None value to a just-started generator");
    return false;
}

namespace {

bool refuse_running() {
    PyErr_SetString(PyExc_ValueError, "generator already executing");
    return false;
}

// The exception of `generator.throw(typ, val, tb)` once its arguments are
// counted.
bool normalised_exception(PyObject *typ, PyObject *val, PyObject *tb, Thrown &out);

}  // namespace

bool thrown_exception(PyObject *args, bool running, Thrown &out) {
    PyObject *typ, *val = nullptr, *tb = nullptr;
    if (!PyArg_UnpackTuple(args, "throw", 1, 3, &typ, &val, &tb)) return false;
    if (compat::kThrowTripleDeprecated && PyTuple_GET_SIZE(args) > 1 &&
        PyErr_WarnEx(PyExc_DeprecationWarning,
                     "the (type, exc, tb) signature of throw() is deprecated, use the "
                     "single-arg signature instead.",
                     1) < 0)
        return false;
    if (running && compat::kThrowRefusesRunningFirst) return refuse_running();
    if (!normalised_exception(typ, val, tb, out)) return false;
    if (running) {
        out = Thrown{};
        return refuse_running();
    }
    return true;
}

namespace {

bool normalised_exception(PyObject *typ, PyObject *val, PyObject *tb, Thrown &out) {
    if (tb == Py_None) {
        tb = nullptr;
    } else if (tb && !PyTraceBack_Check(tb)) {
        PyErr_SetString(PyExc_TypeError, "throw() third argument must be a traceback object");
        return false;
    }
    if (PyExceptionClass_Check(typ)) {
        PyObject *t = Py_NewRef(typ), *v = Py_XNewRef(val), *b = Py_XNewRef(tb);
        compat::normalize_exception(&t, &v, &b);
        out.typ = Ref::steal(t);
        out.val = Ref::steal(v);
        out.tb = Ref::steal(b);
        return true;
    }
    if (PyExceptionInstance_Check(typ)) {
        if (val && val != Py_None) {
            PyErr_SetString(PyExc_TypeError, "instance exception may not have a separate value");
            return false;
        }
        out.val = Ref::new_ref(typ);
        out.typ = Ref::new_ref(PyExceptionInstance_Class(typ));
        out.tb = tb ? Ref::new_ref(tb) : Ref::steal(PyException_GetTraceback(typ));
        return true;
    }
    PyErr_Format(PyExc_TypeError,
                 "exceptions must be classes or instances deriving from BaseException, not %s",
                 Py_TYPE(typ)->tp_name);
    return false;
}

}  // namespace

void stop_iteration_escapes() {
    if (PyErr_ExceptionMatches(PyExc_StopIteration))
        compat::raise_from_pending(PyExc_RuntimeError, "generator raised StopIteration");
}

void raise_thrown(Thrown &exc, bool escapes) {
    compat::restore_exception(exc.typ.release(), exc.val.release(), exc.tb.release());
    if (escapes) stop_iteration_escapes();
}

}  // namespace numor

// For tests/test_mirrors.py (through ctypes.PyDLL, holding the interpreter
// lock): the metaclass choice runs only at import, on the classes made
// there, so its comparison with a class statement reaches it here. Not part
// of the module's Python surface.
extern "C" [[gnu::visibility("default")]] PyObject *numor_winning_metaclass(PyObject *meta,
                                                                           PyObject *bases) {
    if (!PyType_Check(meta) || !PyTuple_Check(bases)) {
        PyErr_SetString(PyExc_TypeError, "a class and a tuple of bases");
        return nullptr;
    }
    PyTypeObject *w = numor::winning_metaclass(reinterpret_cast<PyTypeObject *>(meta), bases);
    return w ? Py_NewRef(reinterpret_cast<PyObject *>(w)) : nullptr;
}
