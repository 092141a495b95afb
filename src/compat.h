// Every difference between the CPython versions the extension builds for
// (3.11 to 3.15), and every private or deprecated interpreter call it
// still makes, in one place: the other files ask this one (its functions,
// kTypeTags, DictWatch) and test no version themselves, so a port to a new
// version edits this file, and then reads again the interpreter rules that
// mirrors.cpp repeats.
//
//  * Class attribute lookup without the call machinery: `_PyType_Lookup`
//    (private, borrowed result; the interpreter's own getattr uses it).
//    3.13 adds `_PyType_LookupRef` (private too, strong result), still there
//    in 3.15, which has no public lookup either: when free-threaded builds
//    are supported, use it everywhere and release the reference, since a
//    borrowed class attribute can die under another thread.
//  * Sign of an int: `_PyLong_Sign` (private, deprecated from 3.14) up to
//    3.13; from 3.14 the public `PyLong_GetSign`.
//  * Clearing the interpreter's caches between the leak hunt's readings
//    (tools/refleak.py): `sys._clear_type_cache()` up to 3.12; deprecated
//    from 3.13 (with a warning from 3.14) for `sys._clear_internal_caches()`.
//  * Member table constants: 3.11 has them only in the deprecated
//    `structmember.h` (T_OBJECT, T_PYSSIZET, READONLY); 3.12 moves them into
//    Python.h as Py_T_PYSSIZET and Py_READONLY, and keeps the None-on-NULL
//    object member only as `_Py_T_OBJECT`.
//  * The pending exception: 3.11 stores it as a (type, value, traceback)
//    triple (`PyErr_Fetch`/`PyErr_Restore`, deprecated from 3.12); from 3.12
//    it is a single exception object (`PyErr_GetRaisedException`/
//    `PyErr_SetRaisedException`). `PyErr_NormalizeException` has no public
//    successor for turning a (class, argument) pair into an instance with the
//    interpreter's rules; it is deprecated from 3.12 but still exported.
//  * `_PyErr_FormatFromCause` and `_PyType_CalculateMetaclass` are gone from
//    the 3.13 headers; the code uses public calls instead on every version.
//  * Not a CPython difference but a platform one: glibc 2.34 moved the
//    thread functions into libc under new symbol versions, so a build on a
//    newer system would need glibc >= 2.34 at run time and its wheel could
//    not be tagged manylinux_2_24. The stack queries of the recursion guard
//    are bound to their original versions, which every glibc still exports.
//  * Noticing that a dict changed: 3.11 gives every dict a version tag that
//    changes at each modification (PEP 509); 3.12 deprecates reading it and
//    3.14 removes it, and from 3.12 a dict watcher is told of each
//    modification instead.
//  * A type's dict: from 3.12 static builtin types (`type`, `object`) keep
//    theirs outside `tp_dict`; `PyType_GetDict` (3.12+) reaches it.
//  * Subinterpreters: from 3.12 an interpreter with its own GIL refuses a
//    module that does not declare `Py_mod_multiple_interpreters`, with its
//    own message, before the module's code runs. The module declares it and
//    enforces its one-interpreter rule itself.
//  * Rules that mirrors.cpp repeats and that changed between versions:
//    `generator.throw` warns of its three-argument form from 3.12 and
//    refuses a running generator before reading the exception from 3.15;
//    `a, b, c = seq` counts the items of an exact list, tuple or dict that
//    has too many from 3.14.
//  * Free-threaded builds (3.14t, 3.15t) are not supported, and the module
//    is not built for them. Supporting them would need: a `Py_mod_gil`
//    slot (`Py_MOD_GIL_NOT_USED`) once the rest holds; `_PyType_LookupRef`
//    instead of every borrowed `_PyType_Lookup`; atomic reads of the type
//    version tags and dict stamps that key the caches; and every cache of
//    the fast paths (src/caches.h: the remembered facts, the name index
//    tied to a `_key` tuple, the metaclass memo) made safe under another
//    thread's concurrent mutation of the classes and dicts it reads, with a
//    critical section or atomics, or turned off there (NUMOR_FAST_PATHS=OFF).
#pragma once

#include "ref.h"

#if PY_VERSION_HEX < 0x030C0000
#include <structmember.h>
#define NUMOR_T_OBJECT T_OBJECT
#define NUMOR_T_PYSSIZET T_PYSSIZET
#define NUMOR_READONLY READONLY
#else
#define NUMOR_T_OBJECT _Py_T_OBJECT
#define NUMOR_T_PYSSIZET Py_T_PYSSIZET
#define NUMOR_READONLY Py_READONLY
#endif

// A module-definition slot entry (with its comma), empty before 3.12.
#if PY_VERSION_HEX < 0x030C0000
#define NUMOR_SLOT_MULTIPLE_INTERPRETERS
#else
#define NUMOR_SLOT_MULTIPLE_INTERPRETERS \
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
#endif

#if defined(__GLIBC__) && defined(__x86_64__)
#include <pthread.h>
// In every file that calls them; CMakeLists.txt keeps link-time
// optimisation in one partition, or a partition without the directive
// would bind the default (newest) version.
__asm__(".symver pthread_getattr_np,pthread_getattr_np@GLIBC_2.2.5");
__asm__(".symver pthread_attr_getstack,pthread_attr_getstack@GLIBC_2.2.5");
#endif

namespace numor::compat {

// The attribute `name` found along the MRO of `t`, or null (no error set).
// Borrowed: valid until the next call that can run Python code.
inline PyObject *type_lookup(PyTypeObject *t, PyObject *name) { return _PyType_Lookup(t, name); }

// The same, as a strong reference: the lookup may run Python code (a key of
// a str subclass compares), and a borrowed result is only good until more
// runs. Call it with no exception pending: before 3.13 a miss of the
// interpreter's cache clears one.
inline Ref type_lookup_ref(PyTypeObject *t, PyObject *name) {
#if PY_VERSION_HEX >= 0x030D0000
    return Ref::steal(_PyType_LookupRef(t, name));
#else
    return Ref::new_ref(_PyType_Lookup(t, name));
#endif
}

// A new reference to the dict of the type `t`.
inline Ref type_dict(PyTypeObject *t) {
#if PY_VERSION_HEX >= 0x030C0000
    return Ref::steal(PyType_GetDict(t));
#else
    return Ref::new_ref(t->tp_dict);
#endif
}

// Whether a type's version tag can key what its dicts and its MRO hold.
// Up to 3.12 `type.__setattr__` changes the dict first and clears the tags
// of the type and its subclasses afterwards, so a tag read after any code
// the change ran is out of date once the change is made. From 3.13 it
// clears the tags first and then changes the dict, and a key of a str
// subclass compared during that change can run code that gives the type a
// new tag, which then survives the change; there the dict watchers are
// used instead.
#if PY_VERSION_HEX < 0x030D0000
#define NUMOR_TYPE_TAGS 1
#else
#define NUMOR_TYPE_TAGS 0
#endif

constexpr bool kTypeTags = NUMOR_TYPE_TAGS != 0;

// Whether making an object the collector tracks can run Python code: up
// to 3.11 a collection runs inside the allocation that passes its
// threshold (finalisers, weak reference callbacks); from 3.12 it is only
// scheduled, and runs between bytecodes.
constexpr bool kAllocationCollects = PY_VERSION_HEX < 0x030C0000;

// The same change of order: whether `type.__setattr__` clears the version
// tags before it changes the dict (from 3.13) or after (up to 3.12).
constexpr bool kTagsClearedFirst = PY_VERSION_HEX >= 0x030D0000;

// The version tag of the type `t`: 0 while it has none. Read where
// kTypeTags holds.
inline unsigned int type_tag(PyTypeObject *t) { return t->tp_version_tag; }

// Noticing that a dict changed, with one stamp per kind of dict (kinds 0
// to kKinds - 1): equal stamps, unchanged dict. On 3.11 the stamp is the
// dict's own version tag, which changes at each modification (PEP 509) and
// needs no watching. From 3.12, where reading it is deprecated (3.14
// removes it), a dict watcher per kind counts the modifications of the
// dicts it watches, and the stamp is that count: one comparison covers
// every dict of the kind. The interpreter calls a watcher after the lookup
// that may run Python code and before the modification.
class DictWatch {
  public:
    static constexpr int kKinds = 4;
    // Whether a stamp counts the changes of a whole kind (from 3.12).
    static constexpr bool kCounts = PY_VERSION_HEX >= 0x030C0000;

    // Starts watching the exact dict `d` as one of `kind`; false (no error
    // set) when it cannot be watched. On 3.11 nothing needs watching.
    static bool watch(PyObject *d, int kind) {
#if PY_VERSION_HEX >= 0x030C0000
        int &id = ids_[kind];
        if (id < 0 && (id = PyDict_AddWatcher(callback(kind))) < 0) {
            PyErr_Clear();  // all taken: nothing of this kind is watched
            return false;
        }
        if (PyDict_Watch(id, d) < 0) {
            PyErr_Clear();
            return false;
        }
#else
        (void)d, (void)kind;
#endif
        return true;
    }
    static void unwatch([[maybe_unused]] PyObject *d, [[maybe_unused]] int kind) {
#if PY_VERSION_HEX >= 0x030C0000
        if (ids_[kind] >= 0 && PyDict_Unwatch(ids_[kind], d) < 0) PyErr_Clear();
#endif
    }
    // The stamp of `d`, watched as one of `kind`.
    static uint64_t stamp([[maybe_unused]] PyObject *d, [[maybe_unused]] int kind) {
#if PY_VERSION_HEX >= 0x030C0000
        return counts_[kind];
#else
        return reinterpret_cast<PyDictObject *>(d)->ma_version_tag;
#endif
    }
    // The changes of `kind` counted so far (from 3.12; 1 before).
    static uint64_t count(int kind) { return counts_[kind]; }

  private:
    static inline uint64_t counts_[kKinds] = {1, 1, 1, 1};
#if PY_VERSION_HEX >= 0x030C0000
    static inline int ids_[kKinds] = {-1, -1, -1, -1};
    template <int Kind>
    static int count_change(PyDict_WatchEvent, PyObject *, PyObject *, PyObject *) {
        ++counts_[Kind];
        return 0;
    }
    static PyDict_WatchCallback callback(int kind) {
        switch (kind) {
            case 0: return count_change<0>;
            case 1: return count_change<1>;
            case 2: return count_change<2>;
            default: return count_change<3>;
        }
    }
#endif
};

// The hash an exact str carries: -1 until it is computed (never an error).
// 3.15 gives it a public reader; before, the field is read.
inline Py_hash_t str_hash(PyObject *s) {
#if PY_VERSION_HEX >= 0x030F0000
    return PyUnstable_Unicode_GET_CACHED_HASH(s);
#else
    return reinterpret_cast<PyASCIIObject *>(s)->hash;
#endif
}

// Whether every key of the exact dict `d` is an exact str, as the
// interpreter itself knows it: the kind of its keys table (the byte
// `dk_kind` of the private PyDictKeysObject, after its Py_ssize_t count and
// two size bytes on 3.11 to 3.15) stays "unicode" only while every key is
// one, and the first key of any other type turns the table general for
// good. Its string lookups rely on that, comparing by identity and
// characters only. probe_dict_kinds reads the byte of dicts whose kind is
// known, at import; while those reads do not come out as expected, every
// dict is answered false.
inline bool dict_kinds_readable = false;

inline bool dict_str_keys(PyObject *d) {
    if (!dict_kinds_readable) return false;
    const auto *keys = reinterpret_cast<const unsigned char *>(
        reinterpret_cast<PyDictObject *>(d)->ma_keys);
    return keys[sizeof(Py_ssize_t) + 2] == 1;
}

// False, with an error set, when a probe could not be made.
inline bool probe_dict_kinds() {
    dict_kinds_readable = false;
    struct Probe {
        Ref d;
        bool str_keys;
    };
    Probe probes[4] = {{Ref::steal(PyDict_New()), true},
                       {Ref::steal(PyDict_New()), true},
                       {Ref::steal(PyDict_New()), false},
                       {Ref::steal(PyDict_New()), false}};
    Ref s = Ref::steal(PyUnicode_FromString("probe"));
    Ref i = Ref::steal(PyLong_FromLong(1));
    if (!s || !i) return false;
    for (const Probe &p : probes)
        if (!p.d) return false;
    // {}, {"probe": 1}, {1: 1}, {"probe": 1, 1: 1}
    if (PyDict_SetItem(probes[1].d.get(), s.get(), i.get()) < 0 ||
        PyDict_SetItem(probes[2].d.get(), i.get(), i.get()) < 0 ||
        PyDict_SetItem(probes[3].d.get(), s.get(), i.get()) < 0 ||
        PyDict_SetItem(probes[3].d.get(), i.get(), i.get()) < 0)
        return false;
    dict_kinds_readable = true;
    for (const Probe &p : probes)
        if (dict_str_keys(p.d.get()) != p.str_keys) dict_kinds_readable = false;
    return true;
}

// The characters of a compact ASCII str (PyUnicode_IS_COMPACT_ASCII), which
// follow its header: PyUnicode_DATA without the tests of the layout.
inline const char *ascii_chars(PyObject *s) {
    return reinterpret_cast<const char *>(reinterpret_cast<PyASCIIObject *>(s) + 1);
}

// The protocol slots of a metaclass made by a class statement, where the
// interpreter put generic dispatchers for the dunder methods its namespace
// defines. Replacing one after creation is what the interpreter's own
// `update_one_slot` does when such a method is rebound; a port checks that
// a heap type still keeps them here (PyHeapTypeObject's as_mapping and
// as_sequence) and that nothing else holds a copy.
struct ProtocolSlots {
    binaryfunc &mp_subscript;
    lenfunc &mp_length;
    lenfunc &sq_length;
    objobjproc &sq_contains;
    getiterfunc &tp_iter;
};
inline ProtocolSlots protocol_slots(PyTypeObject *t) {
    return {t->tp_as_mapping->mp_subscript, t->tp_as_mapping->mp_length,
            t->tp_as_sequence->sq_length, t->tp_as_sequence->sq_contains, t->tp_iter};
}

// Interpreter rules that changed wording or warnings (mirrors.cpp follows
// them): from 3.12 `generator.throw` warns that its (type, value,
// traceback) form is deprecated, and from 3.15 it refuses a running
// generator before it looks at the exception; from 3.14 `a, b, c = seq`
// says how many items an exact list, tuple or dict had when it has too many.
constexpr bool kThrowTripleDeprecated = PY_VERSION_HEX >= 0x030C0000;
constexpr bool kThrowRefusesRunningFirst = PY_VERSION_HEX >= 0x030F0000;
constexpr bool kUnpackCountsExtra = PY_VERSION_HEX >= 0x030E0000;

// -1, 0 or 1 for an int `v`.
inline int long_sign(PyObject *v) {
#if PY_VERSION_HEX >= 0x030E0000
    int sign = 0;
    (void)PyLong_GetSign(v, &sign);  // fails only for a non-int
    return sign;
#else
    return _PyLong_Sign(v);
#endif
}

// Takes the pending exception as one normalised object with its traceback
// attached, clearing the error indicator; null when none is pending.
inline PyObject *fetch_exception() {
#if PY_VERSION_HEX < 0x030C0000
    PyObject *t, *v, *tb;
    PyErr_Fetch(&t, &v, &tb);
    if (!t) return nullptr;
    PyErr_NormalizeException(&t, &v, &tb);
    if (tb) PyException_SetTraceback(v, tb);
    Py_XDECREF(t);
    Py_XDECREF(tb);
    return v;
#else
    return PyErr_GetRaisedException();
#endif
}

// Makes the exception instance `exc` (stolen) the pending one, keeping its
// context, cause and traceback as they are; null clears the error indicator.
inline void raise_exception(PyObject *exc) {
#if PY_VERSION_HEX < 0x030C0000
    if (!exc) return PyErr_Clear();
    PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject *>(Py_TYPE(exc))), exc,
                  PyException_GetTraceback(exc));
#else
    PyErr_SetRaisedException(exc);
#endif
}

// Turns a (class, value, traceback) triple into the class's instance by the
// interpreter's rules (the value may be missing, None, an argument tuple or
// an instance already), in place, as generator.throw does; no context is
// chained. On failure the triple describes the error raised meanwhile.
inline void normalize_exception(PyObject **typ, PyObject **val, PyObject **tb) {
    PyErr_NormalizeException(typ, val, tb);
}

// Makes a normalised triple (all three stolen) the pending exception.
inline void restore_exception(PyObject *typ, PyObject *val, PyObject *tb) {
#if PY_VERSION_HEX < 0x030C0000
    PyErr_Restore(typ, val, tb);
#else
    if (tb) PyException_SetTraceback(val, tb);
    Py_XDECREF(typ);
    Py_XDECREF(tb);
    PyErr_SetRaisedException(val);
#endif
}

// Replaces the pending exception by `typ(message)`, raised from it: the old
// exception becomes both cause and context of the new one.
inline void raise_from_pending(PyObject *typ, const char *message) {
    PyObject *cause = fetch_exception();
    PyObject *exc = PyObject_CallFunction(typ, "s", message);
    if (!exc) {
        Py_XDECREF(cause);
        return;
    }
    if (cause) {
        PyException_SetCause(exc, Py_NewRef(cause));  // both steal
        PyException_SetContext(exc, cause);
    }
    raise_exception(exc);
}

}  // namespace numor::compat
