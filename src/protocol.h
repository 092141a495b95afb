// The read methods, composition and presentation of mNUmor.
#pragma once

#include "ref.h"

namespace numor {

PyObject *meta_values(PyObject *const *a);    // (self)
PyObject *meta_index(PyObject *const *a);     // (self, key)
PyObject *meta_get(PyObject *const *a);       // (self, key, pz=None)
PyObject *meta_len(PyObject *const *a);       // (self)
PyObject *meta_contains(PyObject *const *a);  // (self, key)
PyObject *meta_getitem(PyObject *const *a);   // (self, key)
PyObject *meta_add(PyObject *const *a);       // (self, value)
PyObject *meta_dir(PyObject *const *a);       // (self)
PyObject *meta_bool(PyObject *const *a);      // (self)
PyObject *meta_repr(PyObject *const *a);      // (self)
PyObject *meta_str(PyObject *const *a);       // (self)

// `cls[key]` through the subscription protocol of `cls`, calling the body
// of `__getitem__` directly when the protocol would land there. `walked`,
// when given, is an exact tuple of exact str that holds `key` (the member
// iterator's table), which spares the membership scan while `_key` is
// still that tuple.
Ref subscript(PyObject *cls, PyObject *key, PyObject *walked = nullptr);

}  // namespace numor
