// Function objects for every method of the enumeration classes.
//
// See function.cpp for why the extension has its own function type.
#pragma once

#include "ref.h"

#include <cstddef>
#include <type_traits>
#include <utility>

namespace numor {

// A method body as a function object calls it: the parsed arguments, one
// slot per declared parameter in declaration order, then the `*arg` tuple
// and the `**args` dict when the signature declares them. The pointers are
// valid for the duration of the call. Returns a null owner with an error
// set on failure.
using Impl = Ref (*)(PyObject *const *argv);

// The bodies themselves are plain functions with named parameters,
// `Ref meta_get(PyObject *self, PyObject *key, PyObject *pz)`; this adapts
// one to Impl and records how many parameters it takes.
template <auto Body>
struct Adapt;
template <typename... P, Ref (*Body)(P...)>
struct Adapt<Body> {
    static_assert((std::is_same_v<P, PyObject *> && ...), "a body takes PyObject * parameters");
    static constexpr int arity = sizeof...(P);
    static Ref call(PyObject *const *argv) { return spread(argv, std::index_sequence_for<P...>{}); }

  private:
    template <std::size_t... I>
    static Ref spread([[maybe_unused]] PyObject *const *argv, std::index_sequence<I...>) {
        return Body(argv[I]...);
    }
};

// The Impl of the body `Body`, as is_function_with compares it.
template <auto Body>
constexpr Impl entry_of = &Adapt<Body>::call;

// What a namespace row makes.
enum class Kind {
    function,       // a function object
    static_method,  // a function object wrapped in staticmethod (`__new__`)
    alias,          // the object of another row, read back from the namespace
};

// One row of a namespace table: the function's name, its Python-style
// parameter list (also its `__text_signature__`), and its body with the
// number of parameters the body takes, which must be what the list
// declares (checked when the function object is made). For an alias, the
// name of the row it repeats takes the place of the parameter list.
struct FuncDef {
    Kind kind;
    const char *name;
    const char *signature;  // e.g. "(self, key, pz=None)"; for an alias, the row's name
    Impl impl;
    int arity;
};

// Only the count can be checked, not the names: a C++17 function type
// keeps its parameters' types but not their names, and no standard means
// before C++26's reflection reads them, so that a row's names are the
// body's is kept by writing them alike (the body's names say what the row
// says, `meta_get(self, key, pz)` for "(self, key, pz=None)").
template <auto Body>
constexpr FuncDef def(const char *name, const char *signature, Kind kind = Kind::function) {
    return {kind, name, signature, entry_of<Body>, Adapt<Body>::arity};
}

constexpr FuncDef alias(const char *name, const char *of) {
    return {Kind::alias, name, of, nullptr, 0};
}

// Makes the function type, into the module state.
int function_type_init();

// True when `f` is a function object of this module whose body is `impl`.
bool is_function_with(PyObject *f, Impl impl);

// A new function object for `def`. `owner` is the class whose namespace will
// hold it (for `__qualname__`), or null for a module-level function. Fails
// with SystemError when the parameter list and the body disagree.
Ref make_function(const FuncDef &def, const char *owner);

}  // namespace numor
