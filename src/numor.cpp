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
#include "mirrors.h"
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

// Runs the statement `from <module> import <names>` and binds the names
// into the module namespace in their order. The statement itself runs (in a
// namespace of its own) rather than a copy of its rule: what it does when a
// name is missing (read a submodule back from sys.modules, say that the
// module is still being initialised or may shadow another, attach the
// module's name and path to the ImportError) changes with every version,
// and no C call does it.
bool import_names(PyObject *m, const char *statement, PyObject *const *names, size_t count) {
    Ref ns = Ref::steal(PyDict_New());
    if (!ns) return false;
    Ref done = Ref::steal(PyRun_String(statement, Py_file_input, ns.get(), ns.get()));
    if (!done) return false;
    for (size_t i = 0; i < count; ++i) {
        PyObject *v = PyDict_GetItemWithError(ns.get(), names[i]);  // exact str keys
        if (!v || PyModule_AddObjectRef(m, PyUnicode_AsUTF8(names[i]), v) < 0) {
            if (!PyErr_Occurred()) PyErr_SetObject(PyExc_KeyError, names[i]);
            return false;
        }
    }
    return true;
}

bool bind(PyObject *m, PyObject *name, const Ref &v) {
    return v && PyModule_AddObjectRef(m, PyUnicode_AsUTF8(name), v.get()) == 0;
}

// Every interned name, with its text.
struct NameText {
    PyObject *Names::*slot;
    const char *text;
};
const NameText kNames[] = {
    {&Names::_key, "_key"}, {&Names::__name__, "__name__"}, {&Names::__call__, "__call__"},
    {&Names::__module__, "__module__"}, {&Names::__qualname__, "__qualname__"},
    {&Names::strip, "strip"}, {&Names::isdigit, "isdigit"}, {&Names::find, "find"},
    {&Names::index, "index"}, {&Names::keys, "keys"}, {&Names::update, "update"},
    {&Names::sort, "sort"}, {&Names::dunder, "__"}, {&Names::underscore, "_"},
    {&Names::ordo, "__ordo_numor__"}, {&Names::ordo_key, "__ordo_numor_key__"},
    {&Names::ordo_reverse, "__ordo_numor_reverse__"}, {&Names::nominis, "__numoer_nominis__"},
    {&Names::name, "name"}, {&Names::base, "base"}, {&Names::key, "key"},
    {&Names::reverse, "reverse"}, {&Names::__getitem__, "__getitem__"},
    {&Names::__len__, "__len__"}, {&Names::__contains__, "__contains__"},
    {&Names::__iter__, "__iter__"}, {&Names::__setattr__, "__setattr__"},
    {&Names::__delattr__, "__delattr__"}, {&Names::register_, "register"},
    {&Names::copyreg, "copyreg"}, {&Names::dispatch_table, "dispatch_table"},
    {&Names::add_note, "add_note"},
    {&Names::numor, "numor"}, {&Names::mNUmor, "mNUmor"}, {&Names::mmNumor, "mmNumor"},
    {&Names::NUmor, "NUmor"}, {&Names::NUmorMutant, "NUmorMutant"},
    {&Names::MethodType, "MethodType"}, {&Names::FunctionType, "FunctionType"},
    {&Names::pzUnpack, "pzUnpack"}, {&Names::typOrPz, "typOrPz"}, {&Names::concat, "concat"},
};
static_assert(std::size(kNames) * sizeof(PyObject *) == sizeof(Names), "a name without its text");

// Interned names and the interpreter objects the methods call.
bool make_process_state() {
    Names &n = state().names;
    for (const NameText &row : kNames)
        if (!(n.*row.slot = PyUnicode_InternFromString(row.text))) return false;
    PyObject *type = reinterpret_cast<PyObject *>(&PyType_Type);
    state().type_new = PyObject_GetAttrString(type, "__new__");
    state().type_setattr = PyObject_GetAttrString(type, "__setattr__");
    state().type_delattr = PyObject_GetAttrString(type, "__delattr__");
    if (!state().type_new || !state().type_setattr || !state().type_delattr) return false;
    Ref builtins = Ref::steal(PyImport_ImportModule("builtins"));
    if (!builtins) return false;
    state().builtins = Py_NewRef(PyModule_GetDict(builtins.get()));
    if (zero() == nullptr) return false;
    return function_type_init() == 0 && ordering_init() == 0 && member_iter_init() == 0;
}

// Releases what make_process_state made, so that after a failure the next
// import makes it all afresh rather than over what this one left.
void release_process_state() {
    ModuleState &s = state();
    for (const NameText &row : kNames) Py_CLEAR(s.names.*row.slot);
    Py_CLEAR(s.type_new);
    Py_CLEAR(s.type_setattr);
    Py_CLEAR(s.type_delattr);
    Py_CLEAR(s.builtins);
    Py_CLEAR(s.function_type);
    Py_CLEAR(s.ordo_key_type);
    Py_CLEAR(s.member_iter_type);
}

// Made once per process and kept for its lifetime.
bool init_process_state() {
    static bool done = false;
    if (done) return true;
    if (make_process_state()) return done = true;
    release_process_state();
    return false;
}

bool init_module(PyObject *m) {
    if (!init_process_state() || !compat::probe_dict_kinds()) return false;
    Names &n = state().names;

    PyObject *const from_types[] = {n.MethodType, n.FunctionType};
    PyObject *const from_utilites[] = {n.pzUnpack, n.typOrPz, n.concat};
    if (!import_names(m, "from types import MethodType, FunctionType", from_types,
                      std::size(from_types)) ||
        !import_names(m, "from utilites import pzUnpack, typOrPz, concat", from_utilites,
                      std::size(from_utilites)))
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
        // A failed import leaves nothing behind (the dict unwatched, nothing
        // of it remembered), and the next one starts over.
        PyObject *failure = compat::fetch_exception();
        unwatch_moddict();
        forget_all();
        state().moddict = nullptr;
        Py_CLEAR(state().module);
        compat::raise_exception(failure);
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
