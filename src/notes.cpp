// Adds the English notes of notes.h to a pending exception.
#include "notes.h"

#include <cstdarg>

namespace numor {

void add_note(const char *format, ...) {
    if (!PyErr_Occurred()) return;
    // The note is formatted with the exception put aside: %R runs Python code.
#if PY_VERSION_HEX >= 0x030C0000
    Ref exc = Ref::steal(PyErr_GetRaisedException());
#else
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb && value) PyException_SetTraceback(value, tb);
    Ref hold_type = Ref::steal(type), exc = Ref::steal(value), hold_tb = Ref::steal(tb);
#endif
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
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exc.release());
#else
    PyErr_Restore(hold_type.release(), exc.release(), hold_tb.release());
#endif
}

}  // namespace numor
