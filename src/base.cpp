// Calling an enumeration class builds a new enumeration class from data:
// `NUmor(["a", "b"], "Name")` never makes an instance. The positional
// arguments are read through the helper `pzUnpack`, checked, and turned
// into a class namespace for the metaclass of the class that was called.
#include "base.h"

#include "caches.h"
#include "depth.h"
#include "exact_types.h"
#include "globals.h"
#include "mirrors.h"
#include "notes.h"
#include "state.h"
#include "walk.h"

namespace numor {

namespace {

const char kNameMsg[] = "Наименование перечисления может быть только строкой";
const char kItemMsg[] = "Атрибуты перечисления могут быть только строками";
const char kSetMsg[] = "В перечисление запрещено добавлять новые атрибуты!";
const char kDelMsg[] = "Из перечисления запрещено удалять атрибуты!";

PyObject *str_type() { return reinterpret_cast<PyObject *>(&PyUnicode_Type); }

}  // namespace

Ref base_new(PyObject *cls, PyObject *arg, PyObject *args) {
    // An enumeration with its own class-bound __call__ takes the call over.
    Ref call = Ref::steal(PyObject_GetAttr(cls, state().names.__call__));
    if (!call) return nullptr;
    Ref mt = global(state().names.MethodType);
    if (!mt) return nullptr;
    int r = PyObject_IsInstance(call.get(), mt.get());
    if (r < 0) return nullptr;
    if (r) {
        // The call may come back here (a `__call__` that builds the class
        // again): from 3.12 the interpreter's C recursion budget would let
        // that run off the stack, so each level is charged like a nested one.
        NestingGuard level;
        if (!level.enter()) return nullptr;
        call = Ref::steal(PyObject_GetAttr(cls, state().names.__call__));
        if (!call) return nullptr;
        return Ref::steal(PyObject_Call(call.get(), arg, args));
    }
    call.reset();
    mt.reset();

    Ref empty = Ref::steal(PyTuple_New(0));
    Ref blank = Ref::steal(PyUnicode_FromStringAndSize(nullptr, 0));
    if (!empty || !blank) return nullptr;
    Ref defaults = Ref::steal(PyTuple_Pack(3, empty.get(), blank.get(), empty.get()));
    if (!defaults) return nullptr;
    PyObject *uargs[2] = {arg, defaults.get()};
    Ref unpacked = call_global(state().names.pzUnpack, uargs, 2);
    if (!unpacked) return nullptr;
    Ref parts[3];
    if (!unpack3(unpacked.get(), parts)) return nullptr;
    Ref data = std::move(parts[0]), name = std::move(parts[1]), base = std::move(parts[2]);

    // Keywords win over positions; any other keyword is ignored.
    if (PyObject *v = PyDict_GetItemWithError(args, state().names.name)) name = Ref::new_ref(v);
    else if (PyErr_Occurred()) return nullptr;
    if (PyObject *v = PyDict_GetItemWithError(args, state().names.base)) base = Ref::new_ref(v);
    else if (PyErr_Occurred()) return nullptr;

    r = type_equals(name.get(), str_type());
    if (r < 0) return nullptr;
    if (!r) {
        PyErr_SetString(PyExc_TypeError, kNameMsg);
        add_note("numor: the name of the new enumeration must be exactly a str, not %.200s",
                 Py_TYPE(name.get())->tp_name);
        return nullptr;
    }
    {
        Ref it = Ref::steal(PyObject_GetIter(data.get()));
        if (!it) {
            if (PyErr_ExceptionMatches(PyExc_TypeError))
                add_note("numor: calling %S builds a new enumeration from data, a list, tuple, set "
                         "or mapping of names, not %.200s; to read a member, subscribe: %S[%.80R]",
                         cls, Py_TYPE(data.get())->tp_name, cls, data.get());
            return nullptr;
        }
        for (Py_ssize_t i = 0;; ++i) {
            Ref x = next_item(it.get());
            if (!x) break;
            r = type_equals(x.get(), str_type());
            if (r < 0) return nullptr;
            if (!r) {
                PyErr_SetString(PyExc_TypeError, kItemMsg);
                if (PyDict_Check(data.get()))
                    add_note("numor: key %.80R of the dict is %.200s, not exactly a str", x.get(),
                             Py_TYPE(x.get())->tp_name);
                else
                    add_note("numor: item %zd of the data, %.80R, is %.200s, not exactly a str", i,
                             x.get(), Py_TYPE(x.get())->tp_name);
                return nullptr;
            }
        }
        if (PyErr_Occurred()) return nullptr;
    }
    r = is_instance(data.get(), &PySet_Type, &PyFrozenSet_Type);
    if (r < 0) return nullptr;
    if (r) {
        data = Ref::steal(PySequence_List(data.get()));
        if (!data || PyList_Sort(data.get()) < 0) return nullptr;
    }

    Ref ns;
    r = is_instance(data.get(), &PyList_Type, &PyTuple_Type);
    if (r < 0) return nullptr;
    if (r) {
        // Each name is its own value; `__ordo_numor__` keeps the given order
        // and is written last so that it replaces a member of that name.
        ns = Ref::steal(PyDict_New());
        Ref it = Ref::steal(PyObject_GetIter(data.get()));
        if (!ns || !it) return nullptr;
        while (Ref x = next_item(it.get())) {
            if (PyDict_SetItem(ns.get(), x.get(), x.get()) < 0) return nullptr;
        }
        if (PyErr_Occurred() || PyDict_SetItem(ns.get(), state().names.ordo, data.get()) < 0)
            return nullptr;
    } else {
        ns = std::move(data);  // the mapping itself is the namespace, uncopied
    }

    Ref meta = Ref::new_ref(reinterpret_cast<PyObject *>(Py_TYPE(cls)));
    r = PyObject_IsTrue(name.get());
    if (r < 0) return nullptr;
    if (!r && !(name = Ref::steal(PyObject_GetAttr(cls, state().names.__name__)))) return nullptr;
    r = PyObject_IsTrue(base.get());
    if (r < 0) return nullptr;
    if (!r && !(base = Ref::steal(PyTuple_Pack(1, cls)))) return nullptr;
    PyObject *margs[3] = {name.get(), base.get(), ns.get()};
    Ref made = Ref::steal(PyObject_Vectorcall(meta.get(), margs, 3, nullptr));
    if (!made && PyUnicode_Check(ns.get()))
        add_note("numor: calling %S builds a new enumeration, and a str given as its data is "
                 "taken as a class body, not as a name; to read a member, subscribe: %S[%.80R]; "
                 "to build from names, pass a list: %S([%.80R])",
                 cls, cls, ns.get(), cls, ns.get());
    return made;
}

namespace {

// The hooks refuse every name, an existing member's too: what a user who
// meets them has usually missed is that no instance is needed at all.
void note_instance_change(PyObject *self) {
    add_note("numor: assignment and deletion on an instance of %.200s are refused; the "
             "enumeration is the class %.200s itself, and nothing in numor needs its instances",
             Py_TYPE(self)->tp_name, Py_TYPE(self)->tp_name);
}

}  // namespace

Ref base_setattr(PyObject *self, [[maybe_unused]] PyObject *attr, [[maybe_unused]] PyObject *val) {
    PyErr_SetString(PyExc_AttributeError, kSetMsg);
    note_instance_change(self);
    return nullptr;
}

Ref base_delattr(PyObject *self, [[maybe_unused]] PyObject *attr) {
    PyErr_SetString(PyExc_AttributeError, kDelMsg);
    note_instance_change(self);
    return nullptr;
}

}  // namespace numor
