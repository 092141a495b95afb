// Everything the extension remembers between or within calls, in one place.
//
// A remembered fact saves the interpreter calls that would establish it
// again. Each one below is held by strong references (a remembered object
// cannot die while it is remembered, so a wrong key could at worst give a
// stale answer, never a freed object) and is keyed on everything the fact
// depends on. The keys:
//
//  * A type's version tag, up to 3.12 only (compat.h, NUMOR_TYPE_TAGS):
//    there `type.__setattr__` changes the dict and then clears the tags of
//    the type and its subclasses, so a tag says that nothing along the MRO
//    changed. From 3.13 it clears the tag *before* it changes the dict, and
//    Python code run by the dict's own key comparison (a key of a str
//    subclass) can give the class a new tag that survives the change.
//  * A dict's change stamp (`stamp`). On 3.11 the version tag every dict
//    carries (PEP 509): the interpreter gives a dict a fresh one, larger
//    than any before, in the same step as each modification, after the
//    lookup that may have run Python code. From 3.12 (where reading it is
//    deprecated) a dict watcher of ours counts the modifications of the
//    dicts it watches; the interpreter calls it after that lookup and before
//    the modification, so a fact recorded by code the lookup ran is already
//    out of date when the change is made. One count per kind of dict (the
//    module dict, class namespaces being made, metaclass dicts, class
//    dicts), so that changing a class does not forget its metaclass.
//  * The identity of an object held by the record (a metaclass's MRO
//    tuple), which no other object can take while it is held.
//
// The records:
//
//  1. Module globals (GlobalCache): the value of a module-level name, keyed
//     on the module dict's stamp. Planted in tools/stress.py (globals
//     rebound from inside a call) and tests/test_module.py.
//  2. Metaclass facts (MetaFacts, `last_facts`): what the metaclass's MRO
//     holds under `__getitem__`, `__len__`, `__contains__`, `__iter__`,
//     `__setattr__` and `__delattr__`, and whether any other name could
//     hold a data descriptor. Keyed on the
//     metaclass, its MRO tuple and its tag (to 3.12) or the stamps of the
//     dicts of every type in its MRO that can change (an immutable type's
//     dict cannot). A descriptor
//     counts as harmless only when its type is immutable and no data
//     descriptor, since a mutable type can gain `__set__` without any of
//     these dicts changing. Recorded by walking the dicts, which runs no
//     Python code, and only when every key in them is an exact str.
//     Planted in tests/test_lookup.py (a descriptor whose type gains
//     `__set__`) and tools/stress.py.
//  3. The `_key` memo (KeyMemo): the last `_key` read, when it was an exact
//     tuple found in the class's own dict. Keyed on the class and its tag
//     (to 3.12), or its dict, that dict's stamp and the class first in its
//     own MRO; the metaclass's facts (no data descriptor can shadow it) and
//     type's attribute lookup are checked at every use. Planted in tests/test_mutable.py (the deletion
//     whose key comparison stores a new table) and tools/stress.py.
//  4. Namespaces being made into classes (DictChanges): whether the values
//     read along with the member names are still what the namespace holds.
//     Within one call.
//  5. The name index (name_index.cpp): positions of names in large tables,
//     tied to the very tuple it was built from and held with it.
//  6. The last member table a mutation hook made (`hashed_table`), when
//     every item is an exact str with its hash computed: a lasting property
//     of that tuple, which is held, so its address cannot be taken by
//     another. Lets the next hook's scan compare hashes.
//
// A record keeps what it holds alive until it is replaced: four metaclass
// records (a metaclass's outdated one is replaced first), one `_key` tuple,
// one table made by a hook, the module-level values. `forget_all` empties them, for the leak hunt,
// which must tell that from a leak.
//
// A build with NUMOR_FAST_PATHS off remembers nothing and takes no fast
// path: every operation makes the interpreter calls its Python makes. The
// suite and tools/stress.py compare the two builds.
#pragma once

#include "compat.h"
#include "ref.h"
#include "state.h"

#ifndef NUMOR_FAST_PATHS
#define NUMOR_FAST_PATHS 1
#endif

// For the small helpers on the hot paths, which the compiler's heuristics
// would otherwise sometimes leave out of line (callgrind shows the call).
#if defined(__GNUC__) || defined(__clang__)
#define NUMOR_HOT_INLINE [[gnu::always_inline]] inline
#else
#define NUMOR_HOT_INLINE inline
#endif

namespace numor {

constexpr bool kFastPaths = NUMOR_FAST_PATHS != 0;

// The answer of a scan that may not apply.
enum class Scan { hit, miss, unsupported, error };

// --- change stamps ----------------------------------------------------------

// The kinds of dict the module watches.
enum class Watched { module, space, meta, cls, count };

struct Epochs {
    uint64_t count[static_cast<int>(Watched::count)] = {1, 1, 1, 1};
    int watcher[static_cast<int>(Watched::count)] = {-1, -1, -1, -1};
};
extern Epochs epochs;

// Starts watching `d` (an exact dict) as one of `kind`; false when it
// cannot be watched, and then nothing may be recorded about it. On 3.11
// nothing needs watching.
bool watch(PyObject *d, Watched kind);
void unwatch(PyObject *d, Watched kind);

// The stamp of the watched dict `d` of `kind`: equal stamps, unchanged dict.
// From 3.12 the count of all that kind's changes (one comparison covers
// every dict of the kind).
NUMOR_HOT_INLINE uint64_t stamp(PyObject *d, Watched kind) {
#if NUMOR_DICT_WATCHERS
    (void)d;
    return epochs.count[static_cast<int>(kind)];
#else
    (void)kind;
    return compat::dict_version(d);
#endif
}

// --- 1. module globals --------------------------------------------------------

// The records live in storage that is never destroyed: a destructor run at
// process exit would release references after the interpreter is gone.
struct GlobalCache;
struct KeyMemo;
struct MetaFacts;

struct GlobalCache {
    PyObject *name = nullptr;  // interned, held by the module state
    uint64_t stamp = 0;        // of the module dict; 0 never matches
    Ref value;
};
// Direct-mapped by the name's address: the few names are made together at
// import and land in different entries; a clash only costs a dict read.
constexpr size_t kGlobalCacheSize = 16;
extern GlobalCache *const global_cache_table;
inline GlobalCache &global_cache_entry(PyObject *name) {
    return global_cache_table[(reinterpret_cast<uintptr_t>(name) >> 4) % kGlobalCacheSize];
}

// The module dict's stamp, or 0 when its changes cannot be noticed.
inline uint64_t moddict_stamp() {
    if (!state().moddict_watched) return 0;
    return stamp(state().moddict, Watched::module);
}

Ref global_slow(PyObject *name);

// The module-level `name` when the last read provably still holds
// (borrowed: the cache holds it until its next read), else null.
NUMOR_HOT_INLINE PyObject *global_peek(PyObject *name) {
    if (!kFastPaths) return nullptr;
    const GlobalCache &c = global_cache_entry(name);
    if (c.name == name && state().moddict) {
        const uint64_t now = moddict_stamp();
        if (now && c.stamp == now) return c.value.get();
    }
    return nullptr;
}

// Looks a module-level name up as Python code does: the module dict, then
// the builtins, else NameError.
inline Ref global(PyObject *name) {
    if (PyObject *v = global_peek(name)) return Ref::new_ref(v);
    return global_slow(name);
}

// Starts tracking modifications of `state().moddict`, just set.
void watch_moddict();

// --- 2. metaclass facts -------------------------------------------------------

struct MetaFacts {
    PyTypeObject *meta = nullptr;  // held by `mro` or `meta_ref`
    Ref meta_ref, mro;
    // Up to 3.12 the metaclass's version tag (never 0), from 3.13 the count
    // of changes of the metaclass dicts watched, when recorded.
    uint64_t stamp = 0;
    Ref getitem, len, contains, iter, setattr, delattr;
    bool plain_names = false;  // no data descriptor can sit under a name not starting with "__"

    // Nothing they depend on changed. Up to 3.12 the tag covers the MRO too
    // (assigning `__bases__` clears it); from 3.13 the MRO tuple is compared.
    bool fresh() const {
#if NUMOR_TYPE_TAGS
        return stamp == meta->tp_version_tag;
#else
        return stamp == epochs.count[static_cast<int>(Watched::meta)] && mro.get() == meta->tp_mro;
#endif
    }
};

const MetaFacts *meta_facts_slow(PyTypeObject *meta);
extern const MetaFacts *last_facts;

// The facts of `meta`, or null when none can be had (the lookups must then
// be made).
NUMOR_HOT_INLINE const MetaFacts *meta_facts(PyTypeObject *meta) {
    if (!kFastPaths) return nullptr;
    const MetaFacts *f = last_facts;
    if (f->meta == meta && f->fresh()) return f;
    return meta_facts_slow(meta);
}

// --- 3. the `_key` memo -------------------------------------------------------

struct KeyMemo {
    PyObject *cls = nullptr;   // compared, never read through
    PyObject *dict = nullptr;  // cls's dict when recorded; compared only
    // Up to 3.12 the class's version tag (never 0; it changes with its dict
    // and its MRO), from 3.13 the stamp of its dict.
    uint64_t stamp = 0;
    // Up to 3.12, the metaclass and its tag when its facts allowed the memo;
    // from 3.13 the facts are asked at every use.
    PyTypeObject *meta = nullptr;  // compared only
    uint64_t meta_stamp = 0;
    Ref value;  // an exact tuple
    // Every element of `value` is an exact str whose hash is computed: a
    // lasting property of that tuple, since neither can change. Told for
    // short tables only, so that recording stays cheap.
    bool hashed_strs = false;
};

extern KeyMemo &key_memo;
Ref get_key_slow(PyObject *cls);

// --- 6. the last table made by a hook ------------------------------------------

// Whether every item of the exact tuple `t` is known to be an exact str
// whose hash is computed.
bool known_hashed(PyObject *t);
// Remembers that of `t` (the caller has checked it), replacing the last.
void remember_hashed(PyObject *t);

// Empties every record above and the name index's last entry, releasing
// what they hold.
void forget_all();

// The class `t` comes first in its own MRO, so its own dict answers a
// lookup before any base's.
NUMOR_HOT_INLINE bool first_in_mro(PyTypeObject *t) {
    PyObject *mro = t->tp_mro;
    return mro && PyTuple_GET_SIZE(mro) > 0 &&
           PyTuple_GET_ITEM(mro, 0) == reinterpret_cast<PyObject *>(t);
}

// `obj._key` when the last read provably still holds (borrowed: the memo
// holds it until the next read), else null.
NUMOR_HOT_INLINE PyObject *key_peek(PyObject *obj) {
    if (!kFastPaths) return nullptr;
    const KeyMemo &m = key_memo;
    if (obj != m.cls) return nullptr;
    auto *t = reinterpret_cast<PyTypeObject *>(obj);
#if NUMOR_TYPE_TAGS
    if (t->tp_version_tag != m.stamp) return nullptr;
#else
    if (t->tp_dict != m.dict || stamp(m.dict, Watched::cls) != m.stamp || !first_in_mro(t))
        return nullptr;
#endif
    // The metaclass's facts allowed the memo and still hold (its attribute
    // lookup slot changes only with its dicts).
    PyTypeObject *meta = Py_TYPE(obj);
#if NUMOR_TYPE_TAGS
    if (meta != m.meta || meta->tp_version_tag != m.meta_stamp) return nullptr;
#else
    if (meta->tp_getattro != PyType_Type.tp_getattro) return nullptr;
    const MetaFacts *f = meta_facts(meta);
    if (!f || !f->plain_names) return nullptr;
#endif
    return m.value.get();
}

// Reads `obj._key`.
NUMOR_HOT_INLINE Ref get_key(PyObject *obj) {
    if (PyObject *v = key_peek(obj)) return Ref::new_ref(v);
    return get_key_slow(obj);
}

// --- 4. namespaces being made into classes -----------------------------------

// Tells whether an exact dict was modified between construction and the
// call of `unchanged`. Unknown counts as changed (a dict already watched,
// a watcher that could not be had), and so does anything after `stop`,
// which spares the dict's own writes the watcher's calls.
class DictChanges {
  public:
    explicit DictChanges(PyObject *d);
    ~DictChanges();
    DictChanges(const DictChanges &) = delete;
    DictChanges &operator=(const DictChanges &) = delete;
    bool unchanged() const { return watching_ && stamp(dict_, Watched::space) == start_; }
    void stop();

  private:
    PyObject *dict_;
    uint64_t start_ = 0;
    bool watching_ = false;
};

}  // namespace numor
