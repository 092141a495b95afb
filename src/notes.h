// English notes on the exceptions that users' mistakes raise. The messages
// and arguments of the exceptions stay as they are; a note (PEP 678) says
// what was wrong and where.
//
// Every note is made on an error path only, with the exception put aside
// (making it may run Python code), and a note that cannot be made is left
// out: the exception itself is never replaced.
#pragma once

#include "ref.h"

namespace numor {

// Adds a note, formatted as by PyUnicode_FromFormat, to the exception being
// raised. Nothing happens when no exception is set, when it is a
// RecursionError or MemoryError (whose notes would pile up or cannot be
// made), or when the note cannot be made.
void add_note(const char *format, ...);

// Why a subscription of an enumeration class failed with its KeyError, as
// the note on it tells the user.
enum class Miss {
    none,       // another failure: no note
    name,       // a str naming no member
    attribute,  // a name of `_key` whose class attribute is gone
    position,   // an int out of range
    kind,       // a key of no kind that names a member
};

// The note on `cls[key]`'s KeyError. `iterating`: the key is a name that
// the class's iterator had read from `_key`.
void note_lookup_miss(PyObject *cls, PyObject *key, Miss miss, bool iterating = false);

}  // namespace numor
