// Module initialisation, the exported names and `is_numor`.
//
// Import builds the module surface in a fixed order: the names taken from
// `types` and `utilites`, `__all__`, then the four classes, each created by
// calling `type` or the metaclass with a prepared namespace exactly as a
// class statement would, so the interpreter fills the type slots (`len`,
// subscription, attribute hooks, ...) from the function objects itself.
// Creating `NUmor` and `NUmorMutant` already runs the enumeration
// construction of the metaclass.
//
// The module is a singleton: one interpreter per process, and once imported
// every later create request returns the same module object.
#include "base.h"
#include "caches.h"
#include "compat.h"
#include "construction.h"
#include "direct_slots.h"
#include "function.h"
#include "member_iter.h"
#include "mutable.h"
#include "ordering.h"
#include "pickling.h"
#include "protocol.h"
#include "state.h"

#include <atomic>
#include <cstdint>
#include <iterator>

namespace numor {

namespace {

Ref is_numor(PyObject *obj) {
    Ref meta = global(state().names.mNUmor);
    if (!meta) return nullptr;
    const int r = PyObject_IsInstance(obj, meta.get());
    if (r < 0) return nullptr;
    return Ref::steal(PyBool_FromLong(r));
}

const FuncDef kMetaEntries[] = {
    def<meta_new>("__new__", "(cls, name, bases, dct, **args)", Kind::static_method),
    def<meta_keys>("keys", "(self)"),
    def<meta_values>("values", "(self)"),
    def<meta_index>("index", "(self, key)"),
    def<meta_get>("get", "(self, key, pz=None)"),
    def<meta_len>("__len__", "(self)"),
    def<meta_iter>("__iter__", "(self)"),
    def<meta_contains>("__contains__", "(self, key)"),
    def<meta_getitem>("__getitem__", "(self, key)"),
    def<meta_add>("__add__", "(self, value)"),
    def<meta_dir>("__dir__", "(self)"),
    def<meta_bool>("__bool__", "(self)"),
    alias("__nonzero__", "__bool__"),
    def<meta_repr>("__repr__", "(self)"),
    def<meta_str>("__str__", "(self)"),
    alias("__unicode__", "__str__"),
};

const FuncDef kMutableMetaEntries[] = {
    def<mut_update>("update", "(self, dct)"),
    def<mut_clear>("clear", "(self)"),
    def<mut_setattr>("__setattr__", "(self, attr, val)"),
    def<mut_delattr>("__delattr__", "(self, attr)"),
    def<mut_delitem>("__delitem__", "(self, item)"),
};

const FuncDef kBaseEntries[] = {
    def<base_new>("__new__", "(cls, *arg, **args)", Kind::static_method),
    def<base_setattr>("__setattr__", "(self, attr, val)"),
    def<base_delattr>("__delattr__", "(self, attr)"),
};

const FuncDef kIsNumor = def<is_numor>("is_numor", "(obj)");

bool fill_namespace(PyObject *ns, const char *owner, const FuncDef *entries, size_t count) {
    Ref qualname = Ref::steal(PyUnicode_FromString(owner));
    if (!qualname) return false;
    if (PyObject_SetItem(ns, state().names.__module__, state().names.numor) < 0 ||
        PyObject_SetItem(ns, state().names.__qualname__, qualname.get()) < 0)
        return false;
    for (size_t i = 0; i < count; ++i) {
        const FuncDef &e = entries[i];
        Ref value;
        switch (e.kind) {
            case Kind::alias: {
                Ref of = Ref::steal(PyUnicode_FromString(e.signature));
                if (of) value = Ref::steal(PyObject_GetItem(ns, of.get()));
                break;
            }
            case Kind::function:
                value = make_function(e, owner);
                break;
            case Kind::static_method:
                value = make_function(e, owner);
                if (value) value = Ref::steal(PyStaticMethod_New(value.get()));
                break;
        }
        Ref name = value ? Ref::steal(PyUnicode_FromString(e.name)) : Ref();
        if (!name || PyObject_SetItem(ns, name.get(), value.get()) < 0) return false;
    }
    return true;
}

// The most derived of `meta` and the metaclasses of `bases`, as a class
// statement picks it.
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

// The steps of a class statement `class name(*bases, metaclass=meta)`:
// the winning metaclass, its __prepare__, the body, the metaclass call.
Ref make_class(const char *name, PyObject *meta, PyObject *bases, const FuncDef *entries = nullptr,
               size_t count = 0) {
    Ref winner = Ref::new_ref(meta);
    if (PyType_Check(meta)) {
        PyTypeObject *w = winning_metaclass(reinterpret_cast<PyTypeObject *>(meta), bases);
        if (!w) return Ref();
        winner = Ref::new_ref(reinterpret_cast<PyObject *>(w));
    }
    Ref pyname = Ref::steal(PyUnicode_FromString(name));
    if (!pyname) return pyname;
    Ref ns = Ref::steal(
        PyObject_CallMethod(winner.get(), "__prepare__", "OO", pyname.get(), bases));
    if (!ns || !fill_namespace(ns.get(), name, entries, count)) return Ref();
    PyObject *args[3] = {pyname.get(), bases, ns.get()};
    return Ref::steal(PyObject_Vectorcall(winner.get(), args, 3, nullptr));
}

// `from module import name` into the module namespace.
bool import_from(PyObject *m, PyObject *source, PyObject *name) {
    Ref v = Ref::steal(PyObject_GetAttr(source, name));
    if (!v) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        Ref modname = Ref::steal(PyObject_GetAttrString(source, "__name__"));
        PyErr_Clear();
        Ref file = Ref::steal(PyObject_GetAttrString(source, "__file__"));
        PyErr_Clear();
        if (file)
            PyErr_Format(PyExc_ImportError, "cannot import name %R from %R (%S)", name,
                         modname ? modname.get() : Py_None, file.get());
        else
            PyErr_Format(PyExc_ImportError, "cannot import name %R from %R (unknown location)",
                         name, modname ? modname.get() : Py_None);
        return false;
    }
    return PyModule_AddObjectRef(m, PyUnicode_AsUTF8(name), v.get()) == 0;
}

bool bind(PyObject *m, PyObject *name, const Ref &v) {
    return v && PyModule_AddObjectRef(m, PyUnicode_AsUTF8(name), v.get()) == 0;
}

bool intern(PyObject *&slot, const char *s) {
    slot = PyUnicode_InternFromString(s);
    return slot != nullptr;
}

// Interned names and the interpreter objects the methods call; made once
// per process and kept for its lifetime.
bool init_process_state() {
    static bool done = false;
    if (done) return true;
    Names &n = state().names;
    const bool ok =
        intern(n._key, "_key") && intern(n.__name__, "__name__") &&
        intern(n.__call__, "__call__") && intern(n.__module__, "__module__") &&
        intern(n.__qualname__, "__qualname__") && intern(n.strip, "strip") &&
        intern(n.isdigit, "isdigit") && intern(n.find, "find") && intern(n.index, "index") &&
        intern(n.keys, "keys") && intern(n.update, "update") && intern(n.sort, "sort") &&
        intern(n.dunder, "__") && intern(n.underscore, "_") && intern(n.ordo, "__ordo_numor__") &&
        intern(n.ordo_key, "__ordo_numor_key__") &&
        intern(n.ordo_reverse, "__ordo_numor_reverse__") &&
        intern(n.nominis, "__numoer_nominis__") && intern(n.name, "name") &&
        intern(n.base, "base") && intern(n.key, "key") && intern(n.reverse, "reverse") &&
        intern(n.__getitem__, "__getitem__") && intern(n.__len__, "__len__") &&
        intern(n.__contains__, "__contains__") && intern(n.__iter__, "__iter__") &&
        intern(n.__setattr__, "__setattr__") && intern(n.__delattr__, "__delattr__") &&
        intern(n.register_, "register") && intern(n.add_note, "add_note") &&
        intern(n.numor, "numor") && intern(n.mNUmor, "mNUmor") && intern(n.mmNumor, "mmNumor") &&
        intern(n.NUmor, "NUmor") && intern(n.NUmorMutant, "NUmorMutant") &&
        intern(n.MethodType, "MethodType") && intern(n.FunctionType, "FunctionType") &&
        intern(n.pzUnpack, "pzUnpack") && intern(n.typOrPz, "typOrPz") &&
        intern(n.concat, "concat");
    if (!ok) return false;
    PyObject *type = reinterpret_cast<PyObject *>(&PyType_Type);
    state().type_new = PyObject_GetAttrString(type, "__new__");
    state().type_setattr = PyObject_GetAttrString(type, "__setattr__");
    state().type_delattr = PyObject_GetAttrString(type, "__delattr__");
    if (!state().type_new || !state().type_setattr || !state().type_delattr) return false;
    Ref builtins = Ref::steal(PyImport_ImportModule("builtins"));
    if (!builtins) return false;
    state().builtins = Py_NewRef(PyModule_GetDict(builtins.get()));
    if (zero() == nullptr) return false;
    if (function_type_init() < 0 || ordering_init() < 0 || member_iter_init() < 0) return false;
    done = true;
    return true;
}

bool init_module(PyObject *m) {
    if (!init_process_state()) return false;
    Names &n = state().names;

    Ref types = Ref::steal(PyImport_ImportModule("types"));
    if (!types || !import_from(m, types.get(), n.MethodType) ||
        !import_from(m, types.get(), n.FunctionType))
        return false;
    Ref utilites = Ref::steal(PyImport_ImportModule("utilites"));
    if (!utilites || !import_from(m, utilites.get(), n.pzUnpack) ||
        !import_from(m, utilites.get(), n.typOrPz) || !import_from(m, utilites.get(), n.concat))
        return false;
    Ref all = Ref::steal(Py_BuildValue("(sss)", "NUmor", "NUmorMutant", "is_numor"));
    if (!all || PyModule_AddObjectRef(m, "__all__", all.get()) < 0) return false;

    PyObject *type = reinterpret_cast<PyObject *>(&PyType_Type);
    Ref bases = Ref::steal(PyTuple_Pack(1, type));
    if (!bases || !bind(m, n.mNUmor, make_class("mNUmor", type, bases.get(), kMetaEntries,
                                                std::size(kMetaEntries))))
        return false;

    Ref meta = global(n.mNUmor);
    if (!meta || !(bases = Ref::steal(PyTuple_Pack(1, meta.get())))) return false;
    install_direct_slots(meta.get());
    state().slot_tp_new = reinterpret_cast<PyTypeObject *>(meta.get())->tp_new;
    if (!bind(m, n.mmNumor, make_class("mmNumor", type, bases.get(), kMutableMetaEntries,
                                     std::size(kMutableMetaEntries))))
        return false;
    Ref mutable_meta = global(n.mmNumor);
    if (!mutable_meta) return false;
    install_direct_slots(mutable_meta.get());
    state().slot_setattro = reinterpret_cast<PyTypeObject *>(mutable_meta.get())->tp_setattro;

    bases = Ref::steal(PyTuple_Pack(1, reinterpret_cast<PyObject *>(&PyBaseObject_Type)));
    if (!bases || !bind(m, n.NUmor, make_class("NUmor", meta.get(), bases.get(), kBaseEntries,
                                   std::size(kBaseEntries))))
        return false;

    Ref root = global(n.NUmor);
    if (!root || !(bases = Ref::steal(PyTuple_Pack(1, root.get())))) return false;
    if (!bind(m, n.NUmorMutant, make_class("NUmorMutant", mutable_meta.get(), bases.get())))
        return false;

    Ref fn = make_function(kIsNumor, nullptr);
    if (!fn || PyModule_AddObjectRef(m, "is_numor", fn.get()) < 0) return false;
    PyObject *metaclasses[2] = {meta.get(), mutable_meta.get()};
    return register_pickling(metaclasses, 2) == 0;
}

PyObject *module_create(PyObject *found, PyModuleDef *) {
    // `found` is what the import system found for "numor"; its `name` names the module.
    // Everything here is process-wide; a second interpreter would share it.
    // The first interpreter to get here owns the module. Interpreters with
    // their own GIL can import at the same time, hence the atomic claim.
    static std::atomic<int64_t> owner{-1};
    const int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (current == -1) return nullptr;
    int64_t expected = -1;
    if (!owner.compare_exchange_strong(expected, current) && expected != current) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one "
                        "interpreter per process.");
        return nullptr;
    }
    if (state().module) return Py_NewRef(state().module);
    Ref name = Ref::steal(PyObject_GetAttrString(found, "name"));
    if (!name) return nullptr;
    return PyModule_NewObject(name.get());
}

int module_exec(PyObject *m) {
    if (state().module) {
        if (state().module == m) return 0;
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'numor' has already been imported. Re-initialisation is not "
                        "supported.");
        return -1;
    }
    // Methods running during the import (the construction of NUmor and
    // NUmorMutant) already read module-level names.
    state().module = Py_NewRef(m);
    state().moddict = PyModule_GetDict(m);
    watch_moddict();
    if (!init_module(m)) {
        // A failed import leaves nothing behind; the next one starts over.
        state().moddict = nullptr;
        Py_CLEAR(state().module);
        return -1;
    }
    return 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void *>(module_create)},
    {Py_mod_exec, reinterpret_cast<void *>(module_exec)},
    // So that an isolated interpreter lets module_create say why it refuses.
    NUMOR_SLOT_MULTIPLE_INTERPRETERS
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "numor",       /* m_name */
    nullptr,       /* m_doc: no docstring */
    0,             /* m_size: the state is process-wide, see state.h */
    nullptr,       /* m_methods */
    module_slots,  /* m_slots */
    nullptr,       /* m_traverse */
    nullptr,       /* m_clear */
    nullptr,       /* m_free */
};

}  // namespace

}  // namespace numor

PyMODINIT_FUNC PyInit_numor(void) { return PyModuleDef_Init(&numor::module_def); }
