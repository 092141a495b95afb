// The read methods, composition and presentation of mNUmor.
#pragma once

#include "notes.h"
#include "ref.h"

namespace numor {

Ref meta_values(PyObject *self);
Ref meta_index(PyObject *self, PyObject *key);
Ref meta_get(PyObject *self, PyObject *key, PyObject *pz);
Ref meta_len(PyObject *self);
Ref meta_contains(PyObject *self, PyObject *key);
Ref meta_getitem(PyObject *self, PyObject *key);
Ref meta_add(PyObject *self, PyObject *value);
Ref meta_dir(PyObject *self);
Ref meta_bool(PyObject *self);
Ref meta_repr(PyObject *self);
Ref meta_str(PyObject *self);

// `cls[key]` through the subscription protocol of `cls`, calling the body
// of `__getitem__` directly when the protocol would land there. `walked`,
// when given, is an exact tuple of exact str that holds `key` (the member
// iterator's table), which spares the membership scan while `_key` is
// still that tuple. The caller holds `key`. When the body fails with its
// KeyError, `miss` (when given) is told why, for the caller's own note;
// without it the body's note is added.
Ref subscript(PyObject *cls, PyObject *key, PyObject *walked = nullptr, Miss *miss = nullptr);

}  // namespace numor
