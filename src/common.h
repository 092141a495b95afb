// Small helpers shared by the method bodies: interpreter operations with
// exact-type fast paths that give the same result as the generic operation
// (they only skip work that cannot run Python code), plus the lookup of
// module-level names.
#pragma once

#include "state.h"

namespace numor {

// `type(obj) == target`, as Python evaluates it (a metaclass may define ==).
// 1 true, 0 false, -1 error.
int type_equals(PyObject *obj, PyObject *target);

// `key.strip()`; an exact str with nothing to strip is returned as is, which
// is what str.strip does.
Ref strip(PyObject *key);

// `x[0] == "_"` (op Py_EQ) or `x[0] != "_"` (op Py_NE). 1, 0, or -1 on error.
int first_char_is_underscore(PyObject *x, int op);

// `x.find(prefix) == 0` where prefix is "_" or "__". 1, 0, or -1.
int starts_with(PyObject *x, PyObject *prefix);

// Position of the first item of the tuple `tup` equal to `key` (compared
// `item == key`, as tuple membership and tuple.index do), -1 when there is
// none, -2 on error.
Py_ssize_t tuple_find(PyObject *tup, PyObject *key);

// `key in seq` for whatever object `seq` is, with fast paths for an exact
// tuple and (for an exact str key) an exact list.
int contains_any(PyObject *seq, PyObject *key);

// The first position among `items[0..n)` of an item equal to the exact str
// `key`, while the items are exact str too: comparing two of them runs no
// Python code, so the array cannot change under the scan and needs no
// references. Member names are nearly always interned (class-body
// identifiers are), so identity decides most items: two distinct interned
// strings are never equal. -1 when there is none; -3 when an item that is
// not an exact str is met (the caller then compares generically from the
// start: the skipped comparisons had no side effects).
Py_ssize_t str_scan(PyObject *const *items, Py_ssize_t n, PyObject *key);

// contains_any, with the scan of a member table for a name inline.
inline int contains(PyObject *seq, PyObject *key) {
    if (PyTuple_CheckExact(seq) && PyUnicode_CheckExact(key)) {
        const Py_ssize_t i = str_scan(&PyTuple_GET_ITEM(seq, 0), PyTuple_GET_SIZE(seq), key);
        if (i != -3) return i >= 0;
    }
    return contains_any(seq, key);
}

// `getattr(cls, name)`. When `cls` is a class whose metaclass keeps the
// interpreter's class attribute lookup, and `name` is a plain attribute (no
// descriptor) not shadowed by a data descriptor of the metaclass, this makes
// the two lookups that lookup would make, without the call around them;
// everything else goes through PyObject_GetAttr.
Ref class_getattr(PyObject *cls, PyObject *name);

// `seq.index(key)`: the method is looked up by name unless `seq` is an
// exact tuple, whose index cannot be overridden.
Ref index_of(PyObject *seq, PyObject *key);

// Raises `exc(arg)` with `arg` as the single argument, whatever it is (a
// tuple argument is not spread into several).
void raise_with_arg(PyObject *exc, PyObject *arg);

// `isinstance(obj, type)` and `isinstance(obj, (a, b))` for builtin types.
// The C subtype test answers unless `obj` may claim another class through
// `__class__` (mocks, lazy proxies); then the interpreter's isinstance
// decides. 1, 0, or -1 on error.
int is_instance(PyObject *obj, PyTypeObject *type);
int is_instance(PyObject *obj, PyTypeObject *a, PyTypeObject *b);

// `next(it)` for loops over user-supplied iterables: null when finished (no
// error set) or failed. Every so many items it first lets other threads
// run and runs pending signal handlers, so that endless input
// (`itertools.cycle`) blocks no thread and ends with the KeyboardInterrupt
// or the alarm handler's exception.
Ref next_item(PyObject *it);

// Reads `obj._key`.
inline Ref get_key(PyObject *obj) { return class_getattr(obj, g.n._key); }

// Calls a module-level name with positional arguments.
Ref call_global(PyObject *name, PyObject *const *args, Py_ssize_t nargs);

// The small int 0, shared.
PyObject *zero();

}  // namespace numor
