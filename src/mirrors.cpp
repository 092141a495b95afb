// Mirrors of interpreter rules.
//
// A few fast paths get the result of an interpreter operation without
// making the call, by repeating the rule the interpreter applies. Each such
// copy lives here, next to the name of the CPython function it follows, so
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
//  * dispatch_finds: `slot_mp_subscript`, `slot_sq_length`,
//    `slot_sq_contains` and `slot_tp_iter` look the method up on the type
//    through `lookup_maybe_method` (`_PyType_Lookup` along the MRO) and
//    call what they find; `update_one_slot` re-derives a slot when a
//    metaclass's dunder is rebound. The direct slots rely on both: they ask
//    what the dispatcher would find and call our body only when it is ours.
//  * class_is_type: `object_get_class` (the `__class__` getter that
//    `object_getsets` gives every type) and `PyObject_GenericGetAttr`, which
//    finds that data descriptor before anything in the instance.
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
    PyObject *mro = Py_TYPE(self)->tp_mro;
    if (!mro) return false;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); ++i) {
        auto *t = reinterpret_cast<PyTypeObject *>(PyTuple_GET_ITEM(mro, i));
        if (t->tp_setattro != state().slot_setattro && t->tp_setattro != PyType_Type.tp_setattro &&
            t != &PyBaseObject_Type)
            return false;
    }
    return true;
}

bool subscript_reaches(PyObject *cls, Impl impl) {
    if (!kFastPaths) return false;
    PyMappingMethods *m = Py_TYPE(cls)->tp_as_mapping;
    return m && m->mp_subscript &&
           (m->mp_subscript == state().direct_mp_subscript ||
            m->mp_subscript == state().slot_mp_subscript) &&
           dispatch_finds(cls, state().names.__getitem__, impl);
}

}  // namespace numor
