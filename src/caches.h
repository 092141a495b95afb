// Everything the extension remembers between or within calls, in one place.
//
// A remembered fact saves the interpreter calls that would establish it
// again. Each one below is held by strong references (a remembered object
// cannot die while it is remembered, so a wrong key could at worst give a
// stale answer, never a freed object) and is keyed on everything the fact
// depends on. The keys:
//
//  * A type's version tag, up to 3.12 only (compat.h, kTypeTags):
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
//     type's attribute lookup are checked at every use. Planted in
//     tests/test_mutable.py (the deletion whose key comparison stores a new
//     table) and tools/stress.py. With a short table of exact str it also
//     holds where each name sits by hash, and the members' values as the
//     class's own dict held them, under the same key; a value's type is
//     asked at each use whether it has gained `__get__`. Planted in
//     tests/test_lookup.py.
//  4. Namespaces being made into classes (DictChanges): whether the values
//     read along with the member names are still what the namespace holds.
//     Within one call.
//  5. The name index (name_index.cpp): positions of names in large tables,
//     tied to the very tuple it was built from and held with it.
//  6. The last member table a mutation hook made (`hashed_table`), when
//     every item is an exact str with its hash computed: a lasting property
//     of that tuple, which is held, so its address cannot be taken by
//     another. Lets the next hook's scan compare hashes. Planted in
//     tests/test_mutable.py (the hook rebound after a first change, for
//     the facts the hooks ask) and tools/stress.py.
//  7. The shipped `concat` (`concat_fn`): that a function, with the code
//     object it had when checked, is the helper numor ships, which copies
//     the items of a tuple of sequences into a new list and does nothing
//     else. Keyed on the function and that code object, both held; a
//     function's code can be replaced, a code object cannot change. Checked
//     by comparing the code with the code compiled from numor's copy of the
//     helper's text, only when every constant in it is an exact str or None
//     (comparing those runs no Python code). Planted in
//     tests/test_construction.py (the helper's code replaced).
//  8. Reads of a large table in table order (MemberWalk, with two fields
//     of the `_key` memo): where in the table and in the class's own dict
//     the member read last was, as hints that each use confirms by
//     identity; and, under the memo's key, whether every key of that dict
//     is an exact str, told by one pass over it (PyDict_Next, no Python
//     code). With it, the member after the last one read is the value of
//     the next entry of the dict when that entry's key is the very name,
//     since a lookup of the name would find that entry and no other.
//     Planted in tests/test_lookup.py (a key of a str subclass that claims
//     to equal a member name) and tools/stress.py.
//
// A record keeps what it holds alive until it is replaced: four metaclass
// records (a metaclass's outdated one is replaced first), one `_key` tuple,
// one table made by a hook, the module-level values, one `concat`. `forget_all` empties
// them, for the leak hunt, which must tell that from a leak.
//
// A build with NUMOR_FAST_PATHS off remembers nothing and takes no fast
// path: every operation makes the interpreter calls its Python makes. The
// suite and tools/stress.py compare the two builds.
#pragma once

#include "compat.h"
#include "fast_paths.h"
#include "ref.h"
#include "state.h"

namespace numor {

// --- change stamps ----------------------------------------------------------

// The kinds of dict the module watches.
enum class Watched { module, space, meta, cls, count };

static_assert(static_cast<int>(Watched::count) == compat::DictWatch::kKinds);

// Starts watching `d` (an exact dict) as one of `kind`; false when it
// cannot be watched, and then nothing may be recorded about it.
bool watch(PyObject *d, Watched kind);
NUMOR_HOT_INLINE void unwatch(PyObject *d, Watched kind) {
    compat::DictWatch::unwatch(d, static_cast<int>(kind));
}

// The stamp of the watched dict `d` of `kind`: equal stamps, unchanged dict
// (compat.h's DictWatch).
NUMOR_HOT_INLINE uint64_t stamp(PyObject *d, Watched kind) {
    return compat::DictWatch::stamp(d, static_cast<int>(kind));
}

// The changes of the dicts of `kind` counted so far, where they are counted
// (DictWatch::kCounts): the stamp of every one of them.
NUMOR_HOT_INLINE uint64_t changes(Watched kind) {
    return compat::DictWatch::count(static_cast<int>(kind));
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
// Stops it, for a failed import.
void unwatch_moddict();

// --- 2. metaclass facts -------------------------------------------------------

struct MetaFacts {
    PyTypeObject *meta = nullptr;  // held by `mro` or `meta_ref`
    Ref meta_ref, mro;
    // Up to 3.12 the metaclass's version tag (never 0), from 3.13 the count
    // of changes of the metaclass dicts watched, when recorded.
    uint64_t stamp = 0;
    Ref getitem, len, contains, iter, setattr, delattr;
    bool plain_names = false;  // no data descriptor can sit under a name not starting with "__"
    // Every class of its MRO passes sets_attributes_as_type (mirrors.h). A
    // heap type's slot changes only with its dict or its bases' dicts.
    bool setattr_direct = false;

    // Nothing they depend on changed. Up to 3.12 the tag covers the MRO too
    // (assigning `__bases__` clears it); from 3.13 the MRO tuple is compared.
    bool fresh() const {
        if constexpr (compat::kTypeTags) return stamp == compat::type_tag(meta);
        return stamp == changes(Watched::meta) && mro.get() == meta->tp_mro;
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
    // short tables only (fewer than kIndexFrom names), so that recording
    // stays cheap. Then `slots` places the names by hash (position + 1,
    // 0 for an empty slot; linear probing, in the tuple's order, so that
    // the first of equal names is met first), derived from the tuple alone.
    bool hashed_strs = false;
    static constexpr int kSlots = 64;  // more than kIndexFrom, a power of two
    uint8_t slots[kSlots] = {};
    // Members' values as the class's own dict held them when they were
    // read through the memo: for a short table (hashed_strs) a tuple of one
    // value or null per position; for a large one, a tuple of kRecent
    // (name, value) pairs of the names read last, each at the place its hash
    // gives, the names held so that a pair says by itself that its name is
    // in the table. Made at the second such read, so that switching between
    // classes does not pay for it; never shown to Python code. The memo's
    // key (the class's tag, or its dict's stamp with the class first in its
    // MRO) says that the dict still holds each value and that a lookup still
    // finds it first; key_peek confirms the metaclass's part (no data
    // descriptor under a plain name, type's attribute lookup); the value's
    // own type, which can gain `__get__` with no dict of the class
    // changing, is checked at every use. Names starting with "__" are never
    // recorded, since the metaclass facts do not cover them.
    static constexpr int kRecent = 16;  // a power of two
    Ref values;
    // For a large table, the name read last at each place, compared only:
    // a pair is recorded at a name's second read in a row there, so that a
    // walk over every name (`dict(E)`) records nothing.
    PyObject *seen[kRecent] = {};
    unsigned member_reads = 0;  // members read through the memo, up to 2
    // For a large table read in table order (record 8): whether every key
    // of the class's own dict is an exact str (0 not told yet, 1 yes, -1
    // no), told by one pass over that dict once walk_reads reaches a
    // quarter of the table, and where that pass met the entry of the
    // table's first name (a PyDict_Next position, -1 when not met). Under
    // the memo's key the dict has not changed since.
    int str_keys = 0;
    Py_ssize_t walk_reads = 0;
    Py_ssize_t first_entry = -1;
    // Of the table itself, told by one pass over it (tell_names) at the
    // first keys() or walk: when every name is a non-empty ASCII exact str,
    // how many do not start with "_" (else -1), and whether any starts
    // with "__". Lasting properties of the held tuple.
    bool names_told = false;
    Py_ssize_t shown = -1;
    bool dunders = true;
};

extern KeyMemo &key_memo;
Ref get_key_slow(PyObject *cls);
// Tells the memo's names_told, shown and dunders.
void tell_names();

// --- 6. the last table made by a hook ------------------------------------------

// Whether every item of the exact tuple `t` is known to be an exact str
// whose hash is computed.
bool known_hashed(PyObject *t);
// Remembers that of `t` (the caller has checked it), replacing the last.
void remember_hashed(PyObject *t);

// --- 7. the shipped concat ------------------------------------------------------

// 1 when `fn` is the helper `concat` as numor ships it (record 7), 0 when
// not, -1 with an error.
int shipped_concat(PyObject *fn);

// --- 8. reads of a large table in table order ----------------------------------

// Where the last read of a member of the memo's large table was (dict(E)
// asks for the names in table order, the member iterator walks them): its
// position in the table, and the PyDict_Next position just past its entry
// in the class's own dict, -1 when not known. Hints only: each is
// confirmed at use by the identity of the object it points at, so nothing
// is held and nothing can be stale.
struct MemberWalk {
    Py_ssize_t pos = -1;
    Py_ssize_t entry = -1;
};
extern MemberWalk &member_walk;

// Names further on than this from the last one read (underscore names that
// keys() and iteration pass over) still continue a walk.
constexpr Py_ssize_t kWalkSkip = 8;

// `cls.<name>` for the member `name` at position `pos` of the memo's large
// table, which the caller has just confirmed to be `cls._key` (key_peek):
// read from the entry of the class's own dict that follows the last one
// read, when every key of that dict is known to be an exact str. Then a
// lookup of `name` there finds that very entry (no other key can equal
// it, and comparing exact str runs no code), and the memo's key says that
// a lookup on the class finds that dict first and that the metaclass can
// shadow no plain name. Borrowed, to be taken before anything else runs;
// else null, no error set, and the caller reads the member as usual.
PyObject *walk_read(PyObject *cls, Py_ssize_t pos, PyObject *name);

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
    if constexpr (compat::kTypeTags) {
        if (compat::type_tag(t) != m.stamp) return nullptr;
    } else if (t->tp_dict != m.dict || stamp(m.dict, Watched::cls) != m.stamp ||
               !first_in_mro(t)) {
        return nullptr;
    }
    // The metaclass's facts allowed the memo and still hold (its attribute
    // lookup slot changes only with its dicts).
    PyTypeObject *meta = Py_TYPE(obj);
    if constexpr (compat::kTypeTags) {
        if (meta != m.meta || compat::type_tag(meta) != m.meta_stamp) return nullptr;
    } else {
        if (meta->tp_getattro != PyType_Type.tp_getattro) return nullptr;
        const MetaFacts *f = meta_facts(meta);
        if (!f || !f->plain_names) return nullptr;
    }
    return m.value.get();
}

// Records `v`, just read as `cls.<name>` for the member `name` of the
// table `table` (read as `cls._key`), when the memo holds that table and
// the class's own dict holds `v` under `name` (see KeyMemo::values). The
// dict read may run Python code (keys of a str subclass compare); the memo
// is confirmed again afterwards.
void remember_member(PyObject *cls, PyObject *table, PyObject *name, PyObject *v);

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
