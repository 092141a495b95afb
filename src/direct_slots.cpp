// Direct slots for the metaclasses' protocol methods.
//
// `E[x]`, `len(E)`, `x in E` and `iter(E)` reach the methods of
// protocol.cpp through the type slots of E's metaclass. For a metaclass that defines these
// methods in its namespace, the interpreter fills the slots with generic
// dispatchers: each call looks the method up along the metaclass's MRO and
// calls what it finds. The slots below make the same lookup; when it finds
// this module's function with the body that belongs there, they call the
// body directly, and anything else they hand to the generic dispatcher,
// which calls it as usual. They are put on mNUmor and mmNumor only. A
// metaclass derived from them gets the generic dispatchers from the
// interpreter, and so does either of the two when one of these names is
// rebound on it: the interpreter re-derives the slot then.
#include "direct_slots.h"

#include "caches.h"
#include "compat.h"
#include "fast_paths.h"
#include "member_iter.h"
#include "member_search.h"
#include "mirrors.h"
#include "protocol.h"
#include "state.h"
#include "table_walk.h"

namespace numor {

namespace {

Names &names() { return state().names; }

PyObject *direct_subscript(PyObject *self, PyObject *key) {
    if (!dispatch_finds(self, names().__getitem__, entry_of<meta_getitem>))
        return state().slot_mp_subscript(self, key);
    // dict(E) subscribes the names of E.keys() in turn: the body's steps
    // for the next one, when they are known to run no Python code.
    if (PyObject *v = walk_peek(self, key)) return Py_NewRef(v);
    return meta_getitem(self, key).release();
}

// The body of `__len__` as the length slot returns it: `len(self._key)`.
Py_ssize_t len_body(PyObject *self) {
    Ref table = get_key(self);
    if (!table) return -1;
    return table_length(table.get());
}

Py_ssize_t direct_sq_length(PyObject *self) {
    if (!dispatch_finds(self, names().__len__, entry_of<meta_len>))
        return state().slot_sq_length(self);
    return len_body(self);
}

Py_ssize_t direct_mp_length(PyObject *self) {
    if (!dispatch_finds(self, names().__len__, entry_of<meta_len>))
        return state().slot_mp_length(self);
    return len_body(self);
}

int direct_contains(PyObject *self, PyObject *key) {
    if (!dispatch_finds(self, names().__contains__, entry_of<meta_contains>))
        return state().slot_sq_contains(self, key);
    Ref r = meta_contains(self, key);
    if (!r) return -1;
    return PyObject_IsTrue(r.get());
}

PyObject *direct_iter(PyObject *self) {
    if (!dispatch_finds(self, names().__iter__, entry_of<meta_iter>))
        return state().slot_tp_iter(self);
    return meta_iter(self).release();
}

}  // namespace

void install_direct_slots(PyObject *meta) {
    if (!kFastPaths) return;
    ModuleState &st = state();
    auto *t = reinterpret_cast<PyTypeObject *>(meta);
    compat::ProtocolSlots slots = compat::protocol_slots(t);
    if (!st.slot_mp_subscript) {
        // The first metaclass made (mNUmor) shows what the interpreter puts
        // into these slots for methods defined in a class namespace.
        st.slot_mp_subscript = slots.mp_subscript;
        st.slot_mp_length = slots.mp_length;
        st.slot_sq_length = slots.sq_length;
        st.slot_sq_contains = slots.sq_contains;
        st.slot_tp_iter = slots.tp_iter;
        st.direct_mp_subscript = direct_subscript;
    }
    // Only a slot that holds the generic dispatcher is replaced.
    auto replace = [](auto &slot, auto generic, auto direct) {
        if (slot && slot == generic) slot = direct;
    };
    replace(slots.mp_subscript, st.slot_mp_subscript, direct_subscript);
    replace(slots.mp_length, st.slot_mp_length, direct_mp_length);
    replace(slots.sq_length, st.slot_sq_length, direct_sq_length);
    replace(slots.sq_contains, st.slot_sq_contains, direct_contains);
    replace(slots.tp_iter, st.slot_tp_iter, direct_iter);
}

}  // namespace numor
