// The read side, composition and presentation methods of mNUmor.
#pragma once

#include "ref.h"

namespace numor {

PyObject *meta_values(PyObject *const *a);    // (self)
PyObject *meta_index(PyObject *const *a);     // (self, key)
PyObject *meta_get(PyObject *const *a);       // (self, key, pz=None)
PyObject *meta_len(PyObject *const *a);       // (self)
PyObject *meta_iter(PyObject *const *a);      // (self)
PyObject *meta_contains(PyObject *const *a);  // (self, key)
PyObject *meta_getitem(PyObject *const *a);   // (self, key)
PyObject *meta_add(PyObject *const *a);       // (self, value)
PyObject *meta_dir(PyObject *const *a);       // (self)
PyObject *meta_bool(PyObject *const *a);      // (self)
PyObject *meta_repr(PyObject *const *a);      // (self)
PyObject *meta_str(PyObject *const *a);       // (self)

extern PyTypeObject MemberIterType;
// Readies the iterator type and registers it as a collections.abc.Generator.
int protocol_ready();

// Gives the metaclass `meta` (mNUmor, then mmNumor, right after each is
// made) subscription, length, membership and iteration slots that call this
// module's method bodies without the interpreter's generic dispatch, as long
// as the metaclass's namespace holds those methods (see protocol.cpp).
void install_direct_slots(PyObject *meta);

}  // namespace numor
