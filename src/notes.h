// English notes on the exceptions that users' mistakes raise. The messages
// and arguments of the exceptions stay as they are; a note (PEP 678) says
// what was wrong and where.
#pragma once

#include "ref.h"

namespace numor {

// Adds a note, formatted as by PyUnicode_FromFormat, to the exception being
// raised. Nothing happens when no exception is set, when it is a
// RecursionError or MemoryError (whose notes would pile up or cannot be
// made), or when the note cannot be made: the exception itself is never
// replaced.
void add_note(const char *format, ...);

}  // namespace numor
