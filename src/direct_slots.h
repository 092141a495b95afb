// Direct slots for the metaclasses' protocol methods (see direct_slots.cpp).
#pragma once

#include "ref.h"

namespace numor {

// Gives the metaclass `meta` (mNUmor, then mmNumor, right after each is
// made) subscription, length, membership and iteration slots that call this
// module's method bodies without the interpreter's generic dispatch, as long
// as the metaclass's namespace holds those methods.
void install_direct_slots(PyObject *meta);

}  // namespace numor
