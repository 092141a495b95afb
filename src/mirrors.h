// Code that repeats a rule of the interpreter, to get its result without
// the call around it or because no call gives it (see mirrors.cpp for the
// CPython functions each one follows).
#pragma once

#include "caches.h"
#include "compat.h"
#include "function.h"
#include "state.h"

namespace numor {

// True when `obj.__class__` is certainly `type(obj)`: the type keeps the
// generic attribute lookup (or type's own, for a class) and inherits
// object's `__class__` descriptor, a data descriptor that nothing can
// shadow. Most member values, keys and options are such objects.
bool class_is_type(PyObject *obj);

// `getattr(cls, name)`. When `cls` is a class whose metaclass keeps the
// interpreter's class attribute lookup, and `name` is a plain attribute (no
// descriptor) not shadowed by a data descriptor of the metaclass, this makes
// the two lookups that lookup would make, without the call around them;
// everything else goes through PyObject_GetAttr.
Ref class_getattr(PyObject *cls, PyObject *name, bool many = false);

// The value `class_getattr(cls, name)` returns when the interpreter's
// lookup finds a plain class attribute, else null, no error set.
// `many` says that `name` is one of very many member names, more than the
// interpreter's attribute cache holds: the class's own dict is read first.
Ref class_attr_fast(PyObject *cls, PyObject *name, bool many = false);

// Tables of at least this many names count as `many`.
constexpr Py_ssize_t kManyMembers = 512;

// `type.__new__(cls, name, bases, dct)`: the checks the interpreter's
// `type.__new__` makes of `cls`, with its messages, then the class creation
// it performs, called with one argument tuple instead of the two that the
// call through the attribute would pack.
Ref call_type_new(PyObject *cls, PyObject *name, PyObject *bases, PyObject *dct);

// Calling type's attribute slot directly is what `type.__setattr__(self, ...)`
// does once its checks pass: `self` is a class and no C-level metaclass in
// its metaclass's MRO overrides attribute assignment. Otherwise the caller
// calls the interpreter's own descriptor so that it reports the misuse.
bool direct_setattr_ok(PyObject *self);

// One class of that MRO passes: it has type's own `tp_setattro` or the
// dispatcher to a `__setattr__` hook, or it is `object`.
bool sets_attributes_as_type(PyTypeObject *t);

// `type.__setattr__(cls, name, value)` (`type.__delattr__` for a null
// value) by type's own steps, where the caller has shown what they take:
// `cls` is a class that may change, its dict an exact dict, `name` an
// interned exact str not starting with "__" under which the metaclass has
// no data descriptor, and for a deletion the dict holds `name`. -1 with
// the dict's error when the dict could not be changed (a MemoryError), for
// the caller to make the real call, whose error is the interpreter's.
int type_store(PyObject *cls, PyObject *name, PyObject *value);

// What the interpreter's generic dispatcher for the dunder `name`
// (`__getitem__`, `__len__`, `__contains__` or `__iter__`) would call on
// `self` is this module's function with the body `impl`.
// Inline: the direct slots ask this at every call.
inline bool dispatch_finds(PyObject *self, PyObject *name, Impl impl) {
    if (const MetaFacts *facts = meta_facts(Py_TYPE(self))) {
        const Names &n = state().names;
        const Ref &f = name == n.__getitem__    ? facts->getitem
                       : name == n.__len__      ? facts->len
                       : name == n.__contains__ ? facts->contains
                                                : facts->iter;
        return f && is_function_with(f.get(), impl);
    }
    Ref f = compat::type_lookup_ref(Py_TYPE(self), name);
    return f && is_function_with(f.get(), impl);
}

// `cls[key]` would call the `__getitem__` body `impl`: the subscription slot
// of cls's metaclass is the generic dispatcher or our direct slot, and
// either would find that body.
bool subscript_reaches(PyObject *cls, Impl impl);

// --- class statements, assignments, generators -----------------------------

// The most derived of `meta` and the metaclasses of `bases`, as a class
// statement picks it; null with TypeError when neither of two is a subclass
// of the other.
PyTypeObject *winning_metaclass(PyTypeObject *meta, PyObject *bases);

// `a, b, c = seq`, with the interpreter's messages. False with the error set.
bool unpack3(PyObject *seq, Ref out[3]);

// `generator.send(value)`'s refusal of a value for a generator that has not
// started: false, with TypeError set, unless `value` is None or the
// generator is not `just_started`.
bool send_accepted(bool just_started, PyObject *value);

// The exception `generator.throw(*args)` raises into the generator, as a
// normalised (class, instance, traceback) triple. False with the error set
// when the arguments are refused or the generator is `running`; the
// generator is then left as it was.
struct Thrown {
    Ref typ, val, tb;
};
bool thrown_exception(PyObject *args, bool running, Thrown &out);

// Raises `exc` from the generator's body (`escapes`, where an escaping
// StopIteration becomes RuntimeError), or re-raises it as given into a
// generator that has finished.
void raise_thrown(Thrown &exc, bool escapes);

// The generator's body raised (the error is pending): a StopIteration that
// escapes it would look like a normal end and becomes RuntimeError.
void stop_iteration_escapes();

}  // namespace numor
