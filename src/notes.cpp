// Adds the English notes of notes.h to a pending exception.
#include "notes.h"

#include "compat.h"

#include <cstdarg>

namespace numor {

void add_note(const char *format, ...) {
    if (!PyErr_Occurred()) return;
    // The note is formatted with the exception put aside: %R runs Python code.
    Ref exc = Ref::steal(compat::fetch_exception());
    if (exc && !PyErr_GivenExceptionMatches(exc.get(), PyExc_RecursionError) &&
        !PyErr_GivenExceptionMatches(exc.get(), PyExc_MemoryError)) {
        va_list va;
        va_start(va, format);
        Ref note = Ref::steal(PyUnicode_FromFormatV(format, va));
        va_end(va);
        Ref done = note ? Ref::steal(PyObject_CallMethod(exc.get(), "add_note", "O", note.get()))
                        : Ref();
        if (!done) PyErr_Clear();
    }
    if (exc) compat::raise_exception(exc.release());
}

}  // namespace numor
