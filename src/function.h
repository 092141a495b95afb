// Function objects for every method of the enumeration classes.
//
// See function.cpp for why the extension has its own function type.
#pragma once

#include "ref.h"

namespace numor {

// A method body: receives the parsed arguments, one slot per declared
// parameter in declaration order, then the `*arg` tuple and the `**args`
// dict when the signature declares them. The pointers are valid for the
// duration of the call. Returns a new reference, or null with an error set.
using Impl = PyObject *(*)(PyObject *const *argv);

// One row of a namespace table: the function's name, its Python-style
// parameter list (also its `__text_signature__`), and its body.
struct FuncDef {
    const char *name;
    const char *signature;  // e.g. "(self, key, pz=None)"
    Impl impl;
};

// Makes the function type, into the module state.
int function_type_init();

// True when `f` is a function object of this module whose body is `impl`.
bool is_function_with(PyObject *f, Impl impl);

// A new function object for `def`. `owner` is the class whose namespace will
// hold it (for `__qualname__`), or null for a module-level function.
Ref make_function(const FuncDef &def, const char *owner);

}  // namespace numor
