// The records of caches.h: how each is made, and the watchers behind the
// change stamps.
#include "caches.h"

#include "compat.h"
#include "exact_types.h"
#include "fast_paths.h"
#include "member_search.h"
#include "mirrors.h"
#include "name_index.h"
#include "state.h"

#include <cstring>
#include <new>
#include <utility>

namespace numor {

// Which build this is, for the tests that read the extension's file: the
// module itself shows nothing of it.
#if NUMOR_FAST_PATHS
[[gnu::used]] extern const char kBuildMark[] = "numor build: fast paths";
#else
[[gnu::used]] extern const char kBuildMark[] = "numor build: generic";
#endif

namespace {

struct Records {
    GlobalCache globals[kGlobalCacheSize];
    KeyMemo key;
    MemberWalk walk;
    MetaFacts facts[4];
    Ref hashed_table;
    Ref concat_fn, concat_code;  // record 7, and its verdict
    bool concat_shipped = false;
};
alignas(Records) unsigned char records_storage[sizeof(Records)];
Records &records = *new (records_storage) Records();  // never destroyed

MetaFacts *const facts_cache = records.facts;
unsigned int facts_next = 0;  // the entry to replace next

}  // namespace

GlobalCache *const global_cache_table = records.globals;
KeyMemo &key_memo = records.key;
MemberWalk &member_walk = records.walk;
const MetaFacts *last_facts = &records.facts[0];

// --- change stamps ----------------------------------------------------------

bool watch(PyObject *d, Watched kind) {
    if (!kFastPaths || !PyDict_CheckExact(d)) return false;
    return compat::DictWatch::watch(d, static_cast<int>(kind));
}

// --- 1. module globals --------------------------------------------------------

void watch_moddict() {
    for (size_t i = 0; i < kGlobalCacheSize; ++i) {
        Ref old = std::move(global_cache_table[i].value);
        global_cache_table[i] = GlobalCache{};
    }
    state().moddict_watched = watch(state().moddict, Watched::module);
}

void unwatch_moddict() {
    if (state().moddict_watched) unwatch(state().moddict, Watched::module);
    state().moddict_watched = false;
}

Ref global_slow(PyObject *name) {
    PyObject *v = nullptr;
    if (state().moddict) {
        v = PyDict_GetItemWithError(state().moddict, name);
        // Read right after the lookup: whatever code the lookup ran, the
        // stamp describes the dict that gave `v`.
        const uint64_t now = moddict_stamp();
        if (v && now && kFastPaths) {
            Ref result = Ref::new_ref(v);
            GlobalCache &c = global_cache_entry(name);
            Ref old = std::move(c.value);
            c.name = name;
            c.stamp = now;
            c.value = Ref::new_ref(v);
            // Releasing the old value may run a finaliser that changes the
            // dict; `result` is held, and the new stamp tells the rest.
            old.reset();
            return result;
        }
    }
    if (!v && !PyErr_Occurred() && state().builtins)
        v = PyDict_GetItemWithError(state().builtins, name);
    if (v) return Ref::new_ref(v);
    if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return Ref();
}

// --- 2. metaclass facts -------------------------------------------------------

namespace {

// An object that no later change can turn into a data descriptor: its type
// is immutable and is not one.
bool stays_plain(PyObject *v) {
    PyTypeObject *t = Py_TYPE(v);
    return PyType_HasFeature(t, Py_TPFLAGS_IMMUTABLETYPE) && !t->tp_descr_set;
}

// Fills `f` for `meta` by walking the dicts along its MRO. Runs no Python
// code: PyDict_Next and comparisons of exact str only. False when the facts
// cannot be told that way.
bool record_facts(PyTypeObject *meta, MetaFacts &f) {
    PyObject *mro = meta->tp_mro;
    if (!mro || !PyTuple_CheckExact(mro)) return false;
    const Names &n = state().names;
    constexpr int kWanted = 6;
    PyObject *const wanted[kWanted] = {n.__getitem__, n.__len__,     n.__contains__,
                                       n.__iter__,    n.__setattr__, n.__delattr__};
    Ref *found[kWanted] = {&f.getitem, &f.len, &f.contains, &f.iter, &f.setattr, &f.delattr};
    f.plain_names = true;
    f.setattr_direct = true;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); ++i) {
        PyObject *base = PyTuple_GET_ITEM(mro, i);
        if (!PyType_Check(base)) return false;
        auto *bt = reinterpret_cast<PyTypeObject *>(base);
        if (!sets_attributes_as_type(bt)) f.setattr_direct = false;
        Ref dict = compat::type_dict(bt);
        if (!dict || !PyDict_CheckExact(dict.get())) return false;
        // An immutable type's dict cannot change; the others must be
        // watched, where the stamps are the watchers' counts.
        if (!compat::kTypeTags && !PyType_HasFeature(bt, Py_TPFLAGS_IMMUTABLETYPE) &&
            !watch(dict.get(), Watched::meta))
            return false;
        Py_ssize_t pos = 0;
        PyObject *k, *v;
        while (PyDict_Next(dict.get(), &pos, &k, &v)) {
            if (!PyUnicode_CheckExact(k)) return false;
            if (!starts_with_dunder(k)) {
                if (!stays_plain(v)) f.plain_names = false;
                continue;
            }
            for (int w = 0; w < kWanted; ++w)
                if (!*found[w] && (k == wanted[w] || PyUnicode_Compare(k, wanted[w]) == 0))
                    *found[w] = Ref::new_ref(v);
        }
    }
    return true;
}

}  // namespace

const MetaFacts *meta_facts_slow(PyTypeObject *meta) {
    for (int i = 0; i < 4; ++i) {
        MetaFacts &f = facts_cache[i];
        if (f.meta == meta && f.fresh()) return last_facts = &f;
    }
    MetaFacts fresh;
    fresh.meta = meta;
    fresh.meta_ref = Ref::new_ref(reinterpret_cast<PyObject *>(meta));
    fresh.mro = Ref::new_ref(meta->tp_mro);
    unsigned int tag = 0;
    if constexpr (compat::kTypeTags) {
        // A lookup gives the metaclass a tag when it has none. It may compare
        // keys of a str subclass and so run code; then the walk below refuses
        // the dict anyway.
        if (!compat::type_tag(meta)) compat::type_lookup_ref(meta, state().names.__getitem__);
        if (!(tag = compat::type_tag(meta))) return nullptr;
    }
    // The walk runs no Python code and changes no dict, so the stamp read
    // with it describes the dicts it read.
    if (!record_facts(meta, fresh)) return nullptr;
    if constexpr (compat::kTypeTags) {
        if (compat::type_tag(meta) != tag) return nullptr;
        fresh.stamp = tag;
    } else {
        fresh.stamp = changes(Watched::meta);
    }
    // The metaclass's own outdated record is the one to replace, so that a
    // metaclass holds one record at most and nothing it no longer has
    // stays alive for long.
    MetaFacts *chosen = nullptr;
    for (int i = 0; i < 4 && !chosen; ++i)
        if (facts_cache[i].meta == meta) chosen = &facts_cache[i];
    MetaFacts &slot = chosen ? *chosen : facts_cache[facts_next++ % 4];
    MetaFacts old = std::move(slot);
    slot = std::move(fresh);
    last_facts = &slot;
    // Releasing the replaced record may free a metaclass and run finalisers
    // that record facts again, into this very slot: look again afterwards.
    old = MetaFacts{};
    if (slot.meta == meta && slot.fresh()) return &slot;
    return nullptr;
}

// --- 3. the `_key` memo -------------------------------------------------------

namespace {

static_assert(kIndexFrom < KeyMemo::kSlots && kIndexFrom <= 255,
              "a short table leaves a slot empty and its positions fit a byte");

// Whether every element of the exact tuple `t` is an exact str, computing
// their hashes (which for an exact str runs no code and cannot fail) and
// placing them into `slots` (zeroed) by hash; told for short tables only.
bool place_names(PyObject *t, uint8_t *slots) {
    const Py_ssize_t n = PyTuple_GET_SIZE(t);
    if (n >= kIndexFrom) return false;
    constexpr size_t mask = KeyMemo::kSlots - 1;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject *item = PyTuple_GET_ITEM(t, i);
        if (!PyUnicode_CheckExact(item)) return false;
        Py_hash_t h = compat::str_hash(item);
        if (h == -1) h = PyObject_Hash(item);
        size_t s = static_cast<size_t>(h) & mask;
        while (slots[s]) s = (s + 1) & mask;
        slots[s] = static_cast<uint8_t>(i + 1);
    }
    return true;
}

}  // namespace

Ref get_key_slow(PyObject *cls) {
    PyObject *const name = state().names._key;
    Ref attr = class_attr_fast(cls, name);
    if (!attr) return Ref::steal(PyObject_GetAttr(cls, name));
    auto *t = reinterpret_cast<PyTypeObject *>(cls);
    // Recorded only when it is an exact tuple (no `__get__`, ever) that the
    // class's own dict holds, which a lookup answers first while nothing
    // on the metaclass can shadow it.
    PyObject *dict = t->tp_dict;
    if (!kFastPaths || !PyTuple_CheckExact(attr.get()) || !dict || !first_in_mro(t) ||
        (!compat::kTypeTags && !watch(dict, Watched::cls)))
        return attr;
    const MetaFacts *f = meta_facts(Py_TYPE(cls));
    if (!f || !f->plain_names || Py_TYPE(cls)->tp_getattro != PyType_Type.tp_getattro) return attr;
    PyTypeObject *const meta = Py_TYPE(cls);
    const uint64_t meta_stamp = f->stamp;
    // Up to 3.12 the lookup just made gave the class a tag; it changes with
    // the dict.
    const uint64_t before = compat::kTypeTags ? compat::type_tag(t) : stamp(dict, Watched::cls);
    if (!before) return attr;
    PyObject *own = PyDict_GetItemWithError(dict, name);  // may compare with keys of str subclasses
    if (!own) {
        PyErr_Clear();  // not recorded; the value read stays the answer
        return attr;
    }
    if (own != attr.get() ||
        (compat::kTypeTags ? compat::type_tag(t) : stamp(dict, Watched::cls)) != before)
        return attr;
    // Moved out and released last: releasing may run finalisers, which
    // then find the new memo complete.
    KeyMemo &m = key_memo;
    Ref old_value = std::move(m.value), old_values = std::move(m.values);
    m.cls = cls;
    m.dict = dict;
    m.stamp = before;
    m.meta = meta;
    m.meta_stamp = meta_stamp;
    m.value = Ref::new_ref(attr.get());
    m.member_reads = 0;
    m.str_keys = 0;
    m.walk_reads = 0;
    m.first_entry = -1;
    m.names_told = false;
    m.shown = -1;
    m.dunders = true;
    std::memset(m.slots, 0, sizeof m.slots);
    std::memset(m.seen, 0, sizeof m.seen);
    m.hashed_strs = place_names(attr.get(), m.slots);
    old_values.reset();
    old_value.reset();  // `attr` is held
    return attr;
}

void remember_member(PyObject *cls, PyObject *table, PyObject *name, PyObject *v) {
    if (!kFastPaths || key_peek(cls) != table || !PyUnicode_CheckExact(name) ||
        starts_with_dunder(name))
        return;
    // Where the value goes: its position in a short table; in a large one
    // the place of its pair, after the name.
    const bool short_table = key_memo.hashed_strs;
    Py_ssize_t at;
    if (short_table) {
        if ((at = memo_position(name)) < 0) return;
    } else {
        const Py_hash_t h = compat::str_hash(name);
        if (h == -1) return;
        const size_t s = static_cast<size_t>(h) & (KeyMemo::kRecent - 1);
        if (key_memo.seen[s] != name) {
            key_memo.seen[s] = name;
            return;
        }
        at = 2 * static_cast<Py_ssize_t>(s) + 1;
    }
    if (PyObject *values = key_memo.values.get()) {
        if (short_table ? PyTuple_GET_ITEM(values, at) != nullptr
                        : PyTuple_GET_ITEM(values, at - 1) == name)
            return;
    } else if (++key_memo.member_reads < 2) {
        return;
    }
    // Both may run code (keys of str subclasses compare; a collection runs
    // finalisers): the memo is confirmed again below.
    PyObject *own = PyDict_GetItemWithError(reinterpret_cast<PyTypeObject *>(cls)->tp_dict, name);
    if (!own) {
        PyErr_Clear();  // not recorded; the value read stays the answer
        return;
    }
    if (own != v) return;
    Ref made;
    if (!key_memo.values) {
        made = Ref::steal(PyTuple_New(short_table ? PyTuple_GET_SIZE(table) : 2 * KeyMemo::kRecent));
        if (!made) {
            PyErr_Clear();
            return;
        }
    }
    // The same table, so the same kind of record and the same place.
    if (key_peek(cls) != table) return;
    if (made) {
        if (key_memo.values) return;
        key_memo.values = std::move(made);
    }
    PyObject *values = key_memo.values.get();
    if (short_table) {
        if (!PyTuple_GET_ITEM(values, at)) PyTuple_SET_ITEM(values, at, Py_NewRef(v));
        return;
    }
    // The pair replaced is released once the new one is complete: releasing
    // may run finalisers.
    Ref old_name = Ref::steal(PyTuple_GET_ITEM(values, at - 1));
    Ref old_value = Ref::steal(PyTuple_GET_ITEM(values, at));
    PyTuple_SET_ITEM(values, at - 1, Py_NewRef(name));
    PyTuple_SET_ITEM(values, at, Py_NewRef(v));
}

void tell_names() {
    KeyMemo &m = key_memo;
    m.names_told = true;
    m.shown = -1;
    m.dunders = true;
    if (PyObject *t = m.value.get()) m.shown = public_ascii_names(t, m.dunders);
}

// --- 8. reads of a large table in table order ----------------------------------

namespace {

// The value of the entry of `dict` that holds the key `name` itself, among
// the `steps` entries from the PyDict_Next position `at`; the walk's entry
// hint then points past it. Null when not there. PyDict_Next runs no code.
PyObject *entry_of_name(PyObject *dict, Py_ssize_t at, Py_ssize_t steps, PyObject *name) {
    PyObject *k, *v;
    for (Py_ssize_t i = 0; i < steps && PyDict_Next(dict, &at, &k, &v); ++i) {
        if (k == name) {
            member_walk.entry = at;
            return v;
        }
    }
    return nullptr;
}

// Tells the memo whether every key of the class's own dict is an exact
// str, with one pass over it that also finds the entries of the table's
// first name and of `name`; the value of the latter, or null.
PyObject *tell_str_keys(PyObject *dict, PyObject *table, PyObject *name) {
    KeyMemo &m = key_memo;
    PyObject *const first = PyTuple_GET_ITEM(table, 0);
    PyObject *k, *v, *found = nullptr;
    Py_ssize_t at = 0, before = 0, past = -1;
    m.str_keys = 1;
    while (PyDict_Next(dict, &at, &k, &v)) {
        if (!PyUnicode_CheckExact(k)) {
            m.str_keys = -1;
            return nullptr;
        }
        if (k == first && m.first_entry < 0) m.first_entry = before;
        if (k == name) {
            found = v;
            past = at;
        }
        before = at;
    }
    member_walk.entry = past;
    return found;
}

}  // namespace

PyObject *walk_read(PyObject *cls, Py_ssize_t pos, PyObject *name) {
    KeyMemo &m = key_memo;
    MemberWalk &w = member_walk;
    const Py_ssize_t last = w.pos;
    w.pos = pos;
    if (!kFastPaths || m.str_keys < 0 || starts_with_dunder(name)) return nullptr;
    PyObject *dict = reinterpret_cast<PyTypeObject *>(cls)->tp_dict;
    PyObject *v = nullptr;
    if (m.str_keys == 0) {
        // Told once a quarter of the table has been read in order, so that
        // the pass costs a few instructions per read at most, whatever
        // changes the class between walks.
        w.entry = -1;
        if (++m.walk_reads < PyTuple_GET_SIZE(m.value.get()) / 4) return nullptr;
        if (!m.names_told) tell_names();
        v = tell_str_keys(dict, m.value.get(), name);
    } else {
        // The entry after the last one read, or a few further on; at the
        // table's start, from the first name's entry.
        if (w.entry >= 0 && pos > last && pos - last <= kWalkSkip)
            v = entry_of_name(dict, w.entry, pos - last, name);
        if (!v && pos < kWalkSkip && m.first_entry >= 0)
            v = entry_of_name(dict, m.first_entry, pos + 1, name);
        if (!v) w.entry = -1;
    }
    // A value's type can gain `__get__` without the class's dict changing.
    if (!v || Py_TYPE(v)->tp_descr_get) return nullptr;
    return v;
}

// --- 6. the last table made by a hook ------------------------------------------

bool known_hashed(PyObject *t) {
    return kFastPaths && (t == records.hashed_table.get() ||
                          (key_memo.hashed_strs && t == key_memo.value.get()));
}

void remember_hashed(PyObject *t) {
    if (!kFastPaths) return;
    Ref old = std::move(records.hashed_table);
    records.hashed_table = Ref::new_ref(t);
    old.reset();  // may run finalisers; the new record is in place
}

// --- 7. the shipped concat ------------------------------------------------------

namespace {

// utilites.concat as src/utilites.py has it, to the character: a code object
// equal to one compiled from this text (the same names, constants,
// instructions, and lines and columns relative to its first line) runs the
// same instructions over the same names, none of them global.
constexpr char kConcatText[] =
    "def concat(seqs):\n"
    "    \"\"\"All items of ``seqs[0]``, then of ``seqs[1]``, and so on, as a list.\"\"\"\n"
    "    out = []\n"
    "    for seq in seqs:\n"
    "        out.extend(seq)\n"
    "    return out\n";

// Comparing these with the reference's constants runs no Python code.
bool plain_constants(PyObject *code) {
    Ref consts = Ref::steal(PyObject_GetAttrString(code, "co_consts"));
    if (!consts || !PyTuple_CheckExact(consts.get())) {
        PyErr_Clear();
        return false;
    }
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(consts.get()); ++i) {
        PyObject *c = PyTuple_GET_ITEM(consts.get(), i);
        if (c != Py_None && !PyUnicode_CheckExact(c)) return false;
    }
    return true;
}

// 1 when `code` equals the code of kConcatText compiled to start at the
// same line, 0 when not, -1 with an error.
int is_concat_code(PyObject *code) {
    if (!plain_constants(code)) return 0;
    Ref first = Ref::steal(PyObject_GetAttrString(code, "co_firstlineno"));
    if (!first) return -1;
    const long line = PyLong_AsLong(first.get());
    if (line == -1 && PyErr_Occurred()) return -1;
    if (line < 1 || line > 100000) return 0;
    // Blank lines first, so that the function starts at the same line.
    const size_t pad = static_cast<size_t>(line - 1), len = sizeof kConcatText - 1;
    Ref text = Ref::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(pad + len)));
    if (!text) return -1;
    std::memset(PyBytes_AS_STRING(text.get()), '\n', pad);
    std::memcpy(PyBytes_AS_STRING(text.get()) + pad, kConcatText, len);
    Ref module = Ref::steal(Py_CompileString(PyBytes_AS_STRING(text.get()), "<numor>", Py_file_input));
    if (!module) return -1;
    Ref consts = Ref::steal(PyObject_GetAttrString(module.get(), "co_consts"));
    if (!consts) return -1;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(consts.get()); ++i) {
        PyObject *c = PyTuple_GET_ITEM(consts.get(), i);
        if (PyCode_Check(c)) return PyObject_RichCompareBool(code, c, Py_EQ);
    }
    return 0;
}

}  // namespace

int shipped_concat(PyObject *fn) {
    if (!kFastPaths || !PyFunction_Check(fn)) return 0;
    PyObject *code = PyFunction_GET_CODE(fn);
    if (fn == records.concat_fn.get() && code == records.concat_code.get())
        return records.concat_shipped;
    Ref f = Ref::new_ref(fn), c = Ref::new_ref(code);
    const int r = is_concat_code(c.get());
    if (r < 0) return r;
    Ref old_fn = std::move(records.concat_fn), old_code = std::move(records.concat_code);
    records.concat_fn = std::move(f);
    records.concat_code = std::move(c);
    records.concat_shipped = r;
    return r;  // the old pair is released after the new one is in place
}

// --- forgetting ---------------------------------------------------------------

void forget_all() {
    // Moved out first: releasing may run finalisers that read or refill the
    // records, which then find them empty.
    Records dropped;
    for (size_t i = 0; i < kGlobalCacheSize; ++i) {
        dropped.globals[i] = std::move(records.globals[i]);
        records.globals[i] = GlobalCache{};
    }
    dropped.key = std::move(records.key);
    records.key = KeyMemo{};
    for (int i = 0; i < 4; ++i) {
        dropped.facts[i] = std::move(records.facts[i]);
        records.facts[i] = MetaFacts{};
    }
    last_facts = &records.facts[0];
    dropped.hashed_table = std::move(records.hashed_table);
    dropped.concat_fn = std::move(records.concat_fn);
    dropped.concat_code = std::move(records.concat_code);
    records.concat_shipped = false;
    Ref index = forget_last_index();
}

}  // namespace numor

// For the leak hunt (tools/refleak.py, through ctypes.PyDLL, holding the
// interpreter lock): a record keeps what it describes alive until it is
// replaced, and the hunt must tell that from a leak. Not part of the
// module's Python surface.
extern "C" [[gnu::visibility("default")]] void numor_forget_caches() { numor::forget_all(); }

namespace numor {

// --- 4. namespaces being made into classes -----------------------------------

namespace {
// The namespaces watched now, innermost last, where watching is needed
// (DictWatch::kCounts): a class made while another is being made may be
// given the same namespace, which must stay watched until the outer one is
// done.
constexpr int kWatchedMax = 8;
PyObject *watched[kWatchedMax];
int nwatched = 0;
}  // namespace

DictChanges::DictChanges(PyObject *d) : dict_(d) {
    if (!kFastPaths || !PyDict_CheckExact(d)) return;
    if constexpr (compat::DictWatch::kCounts) {
        if (d == state().moddict || nwatched == kWatchedMax) return;
        for (int i = 0; i < nwatched; ++i)
            if (watched[i] == d) return;
        if (!watch(d, Watched::space)) return;
        watched[nwatched++] = d;
    }
    start_ = stamp(d, Watched::space);
    watching_ = true;
}

DictChanges::~DictChanges() { stop(); }

void DictChanges::stop() {
    if (!watching_) return;
    watching_ = false;
    if constexpr (compat::DictWatch::kCounts) {
        // Constructions nest, so the innermost watch ends first.
        --nwatched;
        unwatch(dict_, Watched::space);
    }
}

}  // namespace numor
