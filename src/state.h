// Process-wide state of the extension.
//
// The module is a singleton in the process (one interpreter, one module
// object, re-creation returns the same object), so its state lives in a
// process-wide struct rather than in per-module memory: the interpreter
// resets a module's state pointer whenever the create slot hands back an
// existing module object, which is exactly what the singleton rule asks us
// to do. Every file reaches it through `state()`, which compiles to the
// address of the struct. caches.h lists everything remembered between
// calls, with its key, wherever it is kept (the name indexes are kept here,
// the other records in caches.cpp, the dict watchers' counts in compat.h's
// DictWatch); the report of a failed lookup is per thread (protocol.cpp).
#pragma once

#include "ref.h"

namespace numor {

struct Names {
    // Attribute and key names, interned once so that dict and attribute
    // lookups hit the pointer comparison first.
    PyObject *_key, *__name__, *__call__, *__module__, *__qualname__;
    PyObject *strip, *isdigit, *find, *index, *keys, *update, *sort;
    PyObject *dunder, *underscore;  // "__" and "_"
    PyObject *ordo, *ordo_key, *ordo_reverse, *nominis;
    PyObject *name, *base, *key, *reverse;
    PyObject *__getitem__, *__len__, *__contains__, *__iter__, *register_;
    PyObject *__setattr__, *__delattr__;
    PyObject *copyreg, *dispatch_table;
    // For the notes: also interned, since a name made afresh at each call
    // would be kept alive by the interpreter's attribute cache.
    PyObject *add_note;
    PyObject *numor;  // the module's name, for `__module__`
    // Module-level names, read from the module dict at every use.
    PyObject *mNUmor, *mmNumor, *NUmor, *NUmorMutant;
    PyObject *MethodType, *FunctionType, *pzUnpack, *typOrPz, *concat;
};

struct ModuleState {
    PyObject *module = nullptr;   // strong; set while the module is alive
    PyObject *moddict = nullptr;  // borrowed from `module`
    PyObject *builtins = nullptr; // strong; the builtins dict
    // The interpreter's own class machinery, called as Python code would
    // call it so its argument checks stay in force.
    PyObject *type_new = nullptr;      // type.__new__
    PyObject *type_setattr = nullptr;  // type.__setattr__
    PyObject *type_delattr = nullptr;  // type.__delattr__
    // tp_setattro of a class whose namespace defines __setattr__: used to
    // recognise metaclass chains where calling type's slot directly is safe.
    setattrofunc slot_setattro = nullptr;
    // The interpreter's generic dispatchers for `E[x]`, `len(E)`, `x in E`
    // and `iter(E)`, as a class statement leaves them in a metaclass that
    // defines these methods in its namespace (see protocol.cpp).
    binaryfunc slot_mp_subscript = nullptr;
    lenfunc slot_sq_length = nullptr;
    lenfunc slot_mp_length = nullptr;
    objobjproc slot_sq_contains = nullptr;
    getiterfunc slot_tp_iter = nullptr;
    // The direct subscription slot put in place of slot_mp_subscript.
    binaryfunc direct_mp_subscript = nullptr;
    // tp_new of a class whose namespace defines __new__ (the generic
    // dispatcher), for the safety check that type.__new__ makes.
    newfunc slot_tp_new = nullptr;
    // Name indexes of large member tables (name_index.cpp): a dict from a
    // class's address to its entry, and the entry last used (borrowed).
    PyObject *name_indexes = nullptr;
    PyObject *last_index_cls = nullptr;
    PyObject *last_index_entry = nullptr;
    Py_ssize_t last_index_pos = -1;  // where the last name was found in it
    // Whether changes of the module dict are noticed (caches.h).
    bool moddict_watched = false;
    Names names{};
    // The module's own types (heap types made from specs at import).
    PyTypeObject *function_type = nullptr;     // numor.function
    PyTypeObject *ordo_key_type = nullptr;     // the composed ordering key
    PyTypeObject *member_iter_type = nullptr;  // what `iter(E)` returns
};

namespace detail {
extern ModuleState module_state;
}
inline ModuleState &state() { return detail::module_state; }

// The small int 0, made at import and kept for the process.
PyObject *zero();

}  // namespace numor
