// Small helpers shared by the method bodies: interpreter operations with
// exact-type fast paths that give the same result as the generic operation
// (they only skip work that cannot run Python code). With the fast paths
// compiled out (caches.h) each is the generic operation.
#pragma once

#include "compat.h"
#include "caches.h"
#include "name_index.h"
#include "state.h"

namespace numor {

// Whether `type(key) == mNUmor` can be told without running Python code
// (the answer then in `is`): while the module's `mNUmor` provably is the
// class it was, and both it and key's type have plain `type` as their
// metaclass, equality is identity.
NUMOR_HOT_INLINE bool meta_instance_known(PyObject *key, bool &is) {
    is = false;
    if (!kFastPaths) return false;
    PyObject *meta = global_peek(state().names.mNUmor);
    const bool known =
        meta && Py_IS_TYPE(meta, &PyType_Type) && Py_IS_TYPE(Py_TYPE(key), &PyType_Type);
    is = known && reinterpret_cast<PyObject *>(Py_TYPE(key)) == meta;
    return known;
}

// `name` starts with "__" (an exact str).
inline bool starts_with_dunder(PyObject *name);

// Character `i` of the exact str `s` (which has more than `i`).
inline Py_UCS4 char_at(PyObject *s, Py_ssize_t i) {
    if (PyUnicode_IS_COMPACT_ASCII(s))
        return reinterpret_cast<const unsigned char *>(reinterpret_cast<PyASCIIObject *>(s) + 1)[i];
    return PyUnicode_READ_CHAR(s, i);
}

inline bool starts_with_dunder(PyObject *name) {
    return PyUnicode_GET_LENGTH(name) >= 2 && char_at(name, 0) == '_' && char_at(name, 1) == '_';
}

// `type(obj) == target`, as Python evaluates it (a metaclass may define ==).
// 1 true, 0 false, -1 error.
int type_equals_slow(PyObject *t, PyObject *target);
inline int type_equals(PyObject *obj, PyObject *target) {
    PyObject *t = reinterpret_cast<PyObject *>(Py_TYPE(obj));
    if (!kFastPaths) return type_equals_slow(t, target);
    if (t == target) return 1;
    // Two classes whose metaclass is plain `type` compare by identity.
    if (Py_IS_TYPE(t, &PyType_Type) && Py_IS_TYPE(target, &PyType_Type)) return 0;
    return type_equals_slow(t, target);
}

// `key.strip()`; an exact str with nothing to strip is returned as is, which
// is what str.strip does.
Ref strip(PyObject *key);

// `x[0] == "_"` (op Py_EQ) or `x[0] != "_"` (op Py_NE). 1, 0, or -1 on error.
int first_char_is_underscore_slow(PyObject *x, int op);
inline int first_char_is_underscore(PyObject *x, int op) {
    if (kFastPaths && PyUnicode_CheckExact(x) && PyUnicode_GET_LENGTH(x) > 0) {
        const bool under = char_at(x, 0) == '_';
        return op == Py_EQ ? under : !under;
    }
    return first_char_is_underscore_slow(x, op);
}

// `x.find(prefix) == 0` where prefix is "_" or "__". 1, 0, or -1.
int starts_with(PyObject *x, PyObject *prefix);

// Where a name is among the items `items[0..n)`, while they are exact str
// and `key` is one too: comparing two of them runs no Python code, so the
// array cannot change under the scan and needs no references. Member names
// are nearly always interned (class-body identifiers are), so identity
// decides most items: two distinct interned strings are never equal. `hit`
// sets `pos` to the first equal item; `unsupported` when an item that is not
// an exact str is met (the caller then compares generically from the start:
// the skipped comparisons had no side effects). Never `error`.
Scan str_scan(PyObject *const *items, Py_ssize_t n, PyObject *key, Py_ssize_t &pos);

// str_scan of items known to be exact str with their hashes computed: a
// hash tells most of them apart. `hit` or `miss`.
Scan hashed_scan(PyObject *const *items, Py_ssize_t n, PyObject *key, Py_ssize_t &pos);

// The result of a membership test that can fail.
enum class Found { error = -1, no, yes };

inline Found found_from(int r) { return r < 0 ? Found::error : r ? Found::yes : Found::no; }

// The answer of a str_scan of `n` items for `key`, when the scan could give
// one (`pos`, when given, receives the position of a hit).
inline bool scan_answers(PyObject *const *items, Py_ssize_t n, PyObject *key, Py_ssize_t *pos,
                         Found &out) {
    Py_ssize_t i = -1;
    switch (str_scan(items, n, key, i)) {
        case Scan::hit:
            if (pos) *pos = i;
            out = Found::yes;
            return true;
        case Scan::miss:
            out = Found::no;
            return true;
        case Scan::unsupported:
        case Scan::error: break;
    }
    return false;
}

Found find_name_slow(PyObject *seq, PyObject *key, Py_ssize_t *pos);

// `key in seq` for whatever object `seq` is. For an exact tuple or list,
// `pos` (when given) receives the position of the first item equal to
// `key` (compared `item == key`, as membership and `index` do); for other
// sequences the position is not known and is set to -1. The scan of an
// exact tuple for an exact str, the member table's usual case, is inline.
inline Found find_name(PyObject *seq, PyObject *key, Py_ssize_t *pos = nullptr) {
    Found out;
    if (!kFastPaths) {
        if (pos) *pos = -1;
        return found_from(PySequence_Contains(seq, key));
    }
    if (PyTuple_CheckExact(seq) && PyUnicode_CheckExact(key)) {
        if (key_memo.hashed_strs && seq == key_memo.value.get()) {
            // The memo holds `seq`, so the pointers' equality is identity.
            Py_ssize_t i = -1;
            if (hashed_scan(&PyTuple_GET_ITEM(seq, 0), PyTuple_GET_SIZE(seq), key, i) ==
                Scan::miss)
                return Found::no;
            if (pos) *pos = i;
            return Found::yes;
        }
        if (scan_answers(&PyTuple_GET_ITEM(seq, 0), PyTuple_GET_SIZE(seq), key, pos, out))
            return out;
    }
    return find_name_slow(seq, key, pos);
}

// `key in table`, where `table` was just read as `cls._key`: through the
// class's name index when the table is large. `pos` as for find_name.
inline Found member_find(PyObject *cls, PyObject *table, PyObject *key,
                         Py_ssize_t *pos = nullptr) {
    if (use_index(table, key)) {
        Py_ssize_t i = -1;
        switch (indexed_find(cls, table, key, &i)) {
            case Scan::hit:
                if (pos) *pos = i;
                return Found::yes;
            case Scan::miss: return Found::no;
            case Scan::error: return Found::error;
            case Scan::unsupported: break;
        }
    }
    return find_name(table, key, pos);
}

// The length of a member table: `len(table)`.
inline Py_ssize_t table_length(PyObject *table) {
    if (kFastPaths && PyTuple_CheckExact(table)) return PyTuple_GET_SIZE(table);
    return PyObject_Length(table);
}

// `key in table`, where `table` was just read as `cls._key`, giving in
// `name` what to read the member's value by: for an exact str key, the
// exact str element equal to it, which is usually interned and so hits the
// interpreter's attribute cache where a key built at run time would miss;
// the two name the same attribute. Otherwise the key itself. Borrowed:
// the caller holds both the table and the key.
Found find_member(PyObject *cls, PyObject *table, PyObject *key, PyObject *&name);

// `table.index(key)` for `table` just read as `cls._key`: the method is
// looked up by name unless `table` is an exact tuple, whose index cannot
// be overridden and is the position member_find gives.
Ref member_index_of(PyObject *cls, PyObject *table, PyObject *key);

// Raises `exc(arg)` with `arg` as the single argument, whatever it is (a
// tuple argument is not spread into several).
void raise_with_arg(PyObject *exc, PyObject *arg);

// `isinstance(obj, type)` and `isinstance(obj, (a, b))` for builtin types.
// The C subtype test answers unless `obj` may claim another class through
// `__class__` (mocks, lazy proxies); then the interpreter's isinstance
// decides. 1, 0, or -1 on error.
int is_instance_slow(PyObject *obj, PyTypeObject *type);

// Instances of these builtin types (most keys and member values) cannot
// claim another class through `__class__`, and every one of these types
// but bool derives from object alone, so their subtype test is one
// comparison.
inline bool class_is_builtin_type(PyObject *obj) {
    PyTypeObject *t = Py_TYPE(obj);
    return t == &PyUnicode_Type || t == &PyLong_Type || t == &PyFloat_Type ||
           t == &PyTuple_Type || t == &PyList_Type || t == &PyDict_Type || t == &PyBytes_Type ||
           t == &PyBool_Type || obj == Py_None;
}

NUMOR_HOT_INLINE int is_instance(PyObject *obj, PyTypeObject *type) {
    if (!kFastPaths) return PyObject_IsInstance(obj, reinterpret_cast<PyObject *>(type));
    PyTypeObject *t = Py_TYPE(obj);
    if (t == type) return 1;
    if (t == &PyUnicode_Type) return type == &PyBaseObject_Type;  // keys: tested first
    if (class_is_builtin_type(obj))
        return type == &PyBaseObject_Type || (t == &PyBool_Type && type == &PyLong_Type);
    return is_instance_slow(obj, type);
}
int is_instance(PyObject *obj, PyTypeObject *a, PyTypeObject *b);

// `next(it)` for loops over user-supplied iterables: null when finished (no
// error set) or failed. Every so many items it first lets other threads
// run and runs pending signal handlers, so that endless input
// (`itertools.cycle`) blocks no thread and ends with the KeyboardInterrupt
// or the alarm handler's exception.
Ref next_item(PyObject *it);

// Walks the items of a sequence as a `for` loop would. An exact tuple or
// list is walked by index, as its iterator would walk it: a tuple is held
// and cannot change; a list's length is read afresh at each step (the loop
// body may change it) and once past the end the walk is finished for good.
// Anything else goes through its iterator and next_item.
class Walk {
  public:
    // False, with an error set, when `seq` is not iterable.
    bool start(PyObject *seq) {
        if (!kFastPaths) {
            it_ = Ref::steal(PyObject_GetIter(seq));
            return static_cast<bool>(it_);
        }
        if (PyTuple_CheckExact(seq)) {
            seq_ = Ref::new_ref(seq);
            tuple_ = seq;
            size_ = PyTuple_GET_SIZE(seq);
            return true;
        }
        if (PyList_CheckExact(seq)) {
            seq_ = Ref::new_ref(seq);
            return true;
        }
        it_ = Ref::steal(PyObject_GetIter(seq));
        return static_cast<bool>(it_);
    }
    // The next item, or null: finished (no error set) or failed. Borrowed,
    // and valid until the following call: the walk holds it (an item of a
    // held tuple needs no reference of its own).
    PyObject *next() {
        if (tuple_) return pos_ < size_ ? PyTuple_GET_ITEM(tuple_, pos_++) : nullptr;
        return next_other();
    }

    // The exact tuple being walked, or null.
    PyObject *tuple() const { return tuple_; }

    // For an owner that the garbage collector sees.
    int traverse(visitproc visit, void *arg) {
        Py_VISIT(seq_.get());
        Py_VISIT(it_.get());
        Py_VISIT(item_.get());
        return 0;
    }
    // Ends the walk.
    void clear() {
        tuple_ = nullptr;
        seq_.reset();
        it_.reset();
        item_.reset();
    }

  private:
    PyObject *next_other() {
        if (it_) {
            item_ = next_item(it_.get());
            return item_.get();
        }
        if (seq_ && pos_ < PyList_GET_SIZE(seq_.get())) {
            item_ = Ref::new_ref(PyList_GET_ITEM(seq_.get(), pos_++));
            return item_.get();
        }
        seq_.reset();
        return nullptr;
    }

    Ref seq_, it_, item_;
    PyObject *tuple_ = nullptr;  // seq_ when it is an exact tuple
    Py_ssize_t size_ = 0, pos_ = 0;
};

// A buffer of `n` bytes for the length of a call, on the stack when small.
// False (with MemoryError set) when it could not be had.
class Bytes {
  public:
    explicit Bytes(Py_ssize_t n)
        : data_(n <= kInline ? inline_ : static_cast<unsigned char *>(PyMem_Malloc(n))) {
        if (!data_) PyErr_NoMemory();
    }
    ~Bytes() {
        if (data_ != inline_) PyMem_Free(data_);
    }
    Bytes(const Bytes &) = delete;
    Bytes &operator=(const Bytes &) = delete;
    explicit operator bool() const { return data_ != nullptr; }
    unsigned char *data() { return data_; }

  private:
    static constexpr Py_ssize_t kInline = 64;
    alignas(std::max_align_t) unsigned char inline_[kInline];
    unsigned char *data_;
};

// Calls a module-level name with positional arguments.
Ref call_global(PyObject *name, PyObject *const *args, Py_ssize_t nargs);

// A type made from the PyType_Spec `shape`, for the module state. The rows
// of its member table that tell the interpreter where an instance keeps its
// vectorcall pointer, dict and weak references are the only way a
// PyType_Spec can say so, but
// they also become attributes; these are removed, since reading one would
// return a code address or an internal offset.
Ref make_heap_type(PyType_Spec &shape);

// The small int 0, shared.
PyObject *zero();

}  // namespace numor
