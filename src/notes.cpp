// Adds the English notes of notes.h to a pending exception.
#include "notes.h"

#include "compat.h"
#include "state.h"

#include <algorithm>
#include <cstdarg>

namespace numor {

namespace {

// The pending exception, put aside while its note is made and raised again
// when the scope ends; whatever making the note raised is dropped then.
class PutAside {
  public:
    PutAside() : exc_(Ref::steal(compat::fetch_exception())) {}
    ~PutAside() {
        if (PyErr_Occurred()) PyErr_Clear();
        if (exc_) compat::raise_exception(exc_.release());
    }
    PutAside(const PutAside &) = delete;
    PutAside &operator=(const PutAside &) = delete;

    // An exception is pending (of class `kind`, when given) that can take a
    // note.
    bool wanted(PyObject *kind = nullptr) const {
        return exc_ && (!kind || PyErr_GivenExceptionMatches(exc_.get(), kind)) &&
               !PyErr_GivenExceptionMatches(exc_.get(), PyExc_RecursionError) &&
               !PyErr_GivenExceptionMatches(exc_.get(), PyExc_MemoryError);
    }
    // Adds `note` (null: none could be made).
    void add(Ref note) {
        if (!note) return;
        Ref done =
            Ref::steal(PyObject_CallMethodOneArg(exc_.get(), state().names.add_note, note.get()));
    }

  private:
    Ref exc_;
};

// A class's `__name__`, held (making a note can run code that renames the
// class), read without running Python code.
Ref class_name(PyObject *cls) {
    return Ref::steal(PyType_GetName(reinterpret_cast<PyTypeObject *>(cls)));
}

// `key` as an exact str, copied from a subclass without calling it, so
// that what the note shows cannot run user code. Null for any other key.
Ref exact_text(PyObject *key) {
    if (!PyUnicode_Check(key)) return Ref();
    return Ref::steal(PyUnicode_FromObject(key));
}

// Above this many members the note gives their number only: looking for
// close names is paid by every miss, also by a `try: E[x] except KeyError`
// that expects it.
constexpr Py_ssize_t kMatchedNames = 100;
// Names longer than this are not compared, as in the interpreter's own
// suggestions.
constexpr Py_ssize_t kMatchedLength = 40;
constexpr int kShownNames = 3;

// The edit distance between two exact str as the interpreter's own "Did you
// mean" suggestions count it: inserting or deleting a character costs 2,
// changing one 2, or 1 when only its ASCII case changes. Both are at most
// kMatchedLength long.
Py_ssize_t edit_distance(PyObject *a, PyObject *b) {
    const Py_ssize_t na = PyUnicode_GET_LENGTH(a), nb = PyUnicode_GET_LENGTH(b);
    const int ka = PyUnicode_KIND(a), kb = PyUnicode_KIND(b);
    const void *da = PyUnicode_DATA(a), *db = PyUnicode_DATA(b);
    Py_ssize_t row[kMatchedLength + 1];
    for (Py_ssize_t j = 0; j <= nb; ++j) row[j] = 2 * j;
    for (Py_ssize_t i = 1; i <= na; ++i) {
        const Py_UCS4 ca = PyUnicode_READ(ka, da, i - 1);
        Py_ssize_t diagonal = row[0];
        row[0] = 2 * i;
        for (Py_ssize_t j = 1; j <= nb; ++j) {
            const Py_UCS4 cb = PyUnicode_READ(kb, db, j - 1);
            Py_ssize_t change = 2;
            if (ca == cb)
                change = 0;
            else if (ca < 128 && cb < 128 && (ca | 32) == (cb | 32) && (ca | 32) >= 'a' &&
                     (ca | 32) <= 'z')
                change = 1;
            const Py_ssize_t best = std::min({diagonal + change, row[j] + 2, row[j - 1] + 2});
            diagonal = row[j];
            row[j] = best;
        }
    }
    return row[nb];
}

// "'A', 'B'": the member names of the exact tuple `table` closest to
// `word`, at most kShownNames of them, nearest first and then in table
// order, each within the interpreter's own limit for a suggestion; an
// empty str when none is. Only exact str names are compared, so no user
// object runs or is shown.
Ref close_names(PyObject *table, PyObject *word) {
    struct Near {
        Py_ssize_t distance, pos;
    } near[kShownNames];
    int found = 0;
    const Py_ssize_t nw = PyUnicode_GET_LENGTH(word);
    if (nw <= kMatchedLength) {
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(table); ++i) {
            PyObject *name = PyTuple_GET_ITEM(table, i);
            if (!PyUnicode_CheckExact(name)) continue;
            const Py_ssize_t nn = PyUnicode_GET_LENGTH(name);
            if (nn > kMatchedLength) continue;
            const Py_ssize_t d = edit_distance(word, name);
            if (d == 0 || d > (nw + nn + 3) * 2 / 6) continue;
            // Kept sorted by distance; an equal one goes after those before it.
            int at = found;
            while (at > 0 && near[at - 1].distance > d) --at;
            if (at == kShownNames) continue;
            for (int k = std::min(found, kShownNames - 1); k > at; --k) near[k] = near[k - 1];
            near[at] = {d, i};
            if (found < kShownNames) ++found;
        }
    }
    Ref shown = Ref::steal(PyList_New(0));
    if (!shown) return shown;
    for (int k = 0; k < found; ++k) {
        Ref text = Ref::steal(PyObject_Repr(PyTuple_GET_ITEM(table, near[k].pos)));
        if (!text || PyList_Append(shown.get(), text.get()) < 0) return Ref();
    }
    Ref sep = Ref::steal(PyUnicode_FromString(", "));
    if (!sep) return sep;
    return Ref::steal(PyUnicode_Join(sep.get(), shown.get()));
}

Ref name_note(PyObject *cls, PyObject *key, bool iterating) {
    Ref word = exact_text(key);
    if (!word) return word;
    Ref title = class_name(cls);
    if (!title) return title;
    if (iterating)
        return Ref::steal(PyUnicode_FromFormat(
            "numor: member %R of %U was removed while %U was being iterated; to change an "
            "enumeration in a loop, iterate over list(%U)",
            word.get(), title.get(), title.get(), title.get()));
    Ref table = Ref::steal(PyObject_GetAttr(cls, state().names._key));
    if (!table || !PyTuple_CheckExact(table.get())) return Ref();
    const Py_ssize_t n = PyTuple_GET_SIZE(table.get());
    if (n == 0)
        return Ref::steal(
            PyUnicode_FromFormat("numor: %U has no member %R; it has no members", title.get(),
                                 word.get()));
    if (n > kMatchedNames)
        return Ref::steal(PyUnicode_FromFormat("numor: %U has no member %R among its %zd members",
                                               title.get(), word.get(), n));
    Ref close = close_names(table.get(), word.get());
    if (!close) return close;
    if (PyUnicode_GET_LENGTH(close.get()) > 0)
        return Ref::steal(PyUnicode_FromFormat("numor: %U has no member %R; did you mean %U?",
                                               title.get(), word.get(), close.get()));
    return Ref::steal(PyUnicode_FromFormat(
        "numor: %U has no member %R, and none of its %zd member%s has a name close to it",
        title.get(), word.get(), n, n == 1 ? "" : "s"));
}

Ref attribute_note(PyObject *cls, PyObject *key) {
    Ref word = exact_text(key);
    if (!word) return word;
    Ref title = class_name(cls);
    if (!title) return title;
    return Ref::steal(PyUnicode_FromFormat(
        "numor: %R is in %U._key, but %U has no attribute %R: deleting a member of a fixed "
        "enumeration leaves its name in the member table",
        word.get(), title.get(), title.get(), word.get()));
}

Ref position_note(PyObject *cls) {
    Ref table = Ref::steal(PyObject_GetAttr(cls, state().names._key));
    if (!table || !PyTuple_CheckExact(table.get())) return Ref();
    const Py_ssize_t n = PyTuple_GET_SIZE(table.get());
    Ref title = class_name(cls);
    if (!title) return title;
    if (n == 0)
        return Ref::steal(PyUnicode_FromFormat(
            "numor: an int key is a position, and %U has no members, so no position is valid",
            title.get()));
    return Ref::steal(PyUnicode_FromFormat(
        "numor: an int key is a position (%U[i] is the name of the member at position i), and "
        "with %zd member%s the valid range is %zd to %zd",
        title.get(), n, n == 1 ? "" : "s", -n, n - 1));
}

Ref kind_note(PyObject *cls, PyObject *key) {
    Ref title = class_name(cls);
    if (!title) return title;
    return Ref::steal(PyUnicode_FromFormat(
        "numor: %U[key] takes a member name (str), a position (int), a slice or an enumeration "
        "class whose metaclass is exactly mNUmor, and here got %.200s",
        title.get(), Py_TYPE(key)->tp_name));
}

}  // namespace

void add_note(const char *format, ...) {
    if (!PyErr_Occurred()) return;
    PutAside aside;
    if (!aside.wanted()) return;
    va_list va;
    va_start(va, format);
    Ref note = Ref::steal(PyUnicode_FromFormatV(format, va));
    va_end(va);
    aside.add(std::move(note));
}

void note_lookup_miss(PyObject *cls, PyObject *key, Miss miss, bool iterating) {
    if (miss == Miss::none || !PyErr_Occurred() || !PyType_Check(cls)) return;
    PutAside aside;
    if (!aside.wanted(PyExc_KeyError)) return;
    // The key stays alive: the caller holds it, and so does the KeyError.
    Ref held = Ref::new_ref(key);
    switch (miss) {
        case Miss::name: aside.add(name_note(cls, key, iterating)); break;
        case Miss::attribute: aside.add(attribute_note(cls, key)); break;
        case Miss::position: aside.add(position_note(cls)); break;
        case Miss::kind: aside.add(kind_note(cls, key)); break;
        case Miss::none: break;
    }
}

}  // namespace numor
