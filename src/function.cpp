// The function-object core.
//
// Every method of the four classes, and `is_numor`, must behave like a
// Python function stored in a class namespace: looked up on an instance it
// becomes the interpreter's own bound method (`types.MethodType`, which the
// factory's delegation test relies on), looked up on a class it is itself,
// every parameter may be passed by position or keyword, and argument errors
// use the classic wording "f() takes exactly 2 positional arguments (1
// given)". The built-in method types of the C API cannot do all of that
// (they bind to their own method-wrapper types and their keyword handling
// and messages differ), so the extension has one small function type of its
// own, and each method is a plain C++ body over already-parsed arguments.
//
// A function object carries its parameter list as data: the names (interned
// strings), how many are required, the defaults, and whether `*arg` and
// `**args` collect extras. The list is parsed once, at creation, from the
// same text that becomes `__text_signature__`, so what `inspect.signature`
// shows and what the parser accepts cannot drift apart.
//
// Speed: the type sets Py_TPFLAGS_METHOD_DESCRIPTOR, so the interpreter's
// slot wrappers (`len(E)`, `E[x]`, `x in E`, iteration) call the function
// with the class as first argument without creating a bound method, and it
// implements vectorcall, so an exact positional call goes straight to the
// body with the caller's argument array.
#include "function.h"

#include "compat.h"

#include <cstring>
#include <string>
#include <vector>

namespace numor {

namespace {

constexpr Py_ssize_t kMaxParams = 6;

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const FuncDef *def;
    PyObject *argnames;  // tuple of interned str
    Py_ssize_t nparams;
    Py_ssize_t nrequired;
    bool varargs;
    bool varkw;
    PyObject *defaults;  // tuple, or null when no parameter has one
    PyObject *name;
    PyObject *qualname;
    PyObject *module;
    PyObject *doc;
    PyObject *signature;  // str
    PyObject *dict;
};

FunctionObject *as_fn(PyObject *o) { return reinterpret_cast<FunctionObject *>(o); }

// --- argument parsing --------------------------------------------------

void raise_count(const FunctionObject *f, Py_ssize_t given) {
    const bool exact = !f->varargs && f->nrequired == f->nparams;
    Py_ssize_t expected;
    const char *more_or_less;
    if (given < f->nrequired) {
        expected = f->nrequired;
        more_or_less = "at least";
    } else {
        expected = f->nparams;
        more_or_less = "at most";
    }
    if (exact) more_or_less = "exactly";
    PyErr_Format(PyExc_TypeError,
                 "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 f->def->name, more_or_less, expected, expected == 1 ? "" : "s",
                 given);
}

// Keyword names compare by pointer first (the interpreter interns them),
// then by value; comparing two str never runs Python code.
bool same_name(PyObject *a, PyObject *b) {
    if (a == b) return true;
    if (!PyUnicode_Check(b)) return false;
    if (PyUnicode_CHECK_INTERNED(a) && PyUnicode_CHECK_INTERNED(b) &&
        PyUnicode_CheckExact(b))
        return false;
    return PyUnicode_Compare(a, b) == 0;
}

// Keyword arguments arrive either as vectorcall names + values or as a
// dict (tp_call); this gives both one indexed view.
struct Keywords {
    Py_ssize_t n = 0;
    std::vector<PyObject *> keys, values;  // borrowed, or held by `owned`
    // A keyword dict can change while the body's arguments are collected:
    // storing an extra keyword hashes its name, which runs a str subclass's
    // __hash__. Its entries are held so that they outlive such a change.
    std::vector<Ref> owned;

    Keywords(PyObject *kwnames, PyObject *const *kwvalues) {
        if (!kwnames) return;
        n = PyTuple_GET_SIZE(kwnames);
        keys.assign(&PyTuple_GET_ITEM(kwnames, 0), &PyTuple_GET_ITEM(kwnames, 0) + n);
        values.assign(kwvalues, kwvalues + n);
    }
    explicit Keywords(PyObject *kwdict) {
        if (!kwdict) return;
        Py_ssize_t pos = 0;
        PyObject *k, *v;
        while (PyDict_Next(kwdict, &pos, &k, &v)) {
            keys.push_back(k);
            values.push_back(v);
            owned.push_back(Ref::borrow(k));
            owned.push_back(Ref::borrow(v));
        }
        n = static_cast<Py_ssize_t>(keys.size());
    }
};

// Parses into `argv` (nparams slots, then `*arg`, then `**args`) and calls
// the body. Mirrors the order in which a compiled Python function reports
// problems: too many positionals, then each missing required parameter,
// then bad keywords in call order.
PyObject *parse_and_call(FunctionObject *f, PyObject *const *args, Py_ssize_t nargs,
                         const Keywords &kw) {
    const Py_ssize_t np = f->nparams;
    if (nargs > np && !f->varargs) {
        raise_count(f, nargs);
        return nullptr;
    }
    PyObject *argv[kMaxParams + 2] = {};
    Ref hold[kMaxParams];  // dict-path values, kept alive for the call
    const Py_ssize_t npos = nargs < np ? nargs : np;
    for (Py_ssize_t i = 0; i < npos; ++i) argv[i] = args[i];

    std::vector<char> used(static_cast<size_t>(kw.n), 0);
    for (Py_ssize_t i = npos; i < np; ++i) {
        PyObject *pname = PyTuple_GET_ITEM(f->argnames, i);
        for (Py_ssize_t j = 0; j < kw.n && !argv[i]; ++j) {
            if (!used[j] && same_name(pname, kw.keys[j])) {
                used[j] = 1;
                argv[i] = kw.values[j];
                hold[i] = Ref::borrow(kw.values[j]);
            }
        }
        if (!argv[i]) {
            if (i < f->nrequired) {
                raise_count(f, i);
                return nullptr;
            }
            argv[i] = PyTuple_GET_ITEM(f->defaults, i - f->nrequired);
        }
    }

    Ref varargs, varkw;
    Py_ssize_t slot = np;
    if (f->varargs) {
        varargs = Ref::steal(nargs > np ? PyTuple_New(nargs - np) : PyTuple_New(0));
        if (!varargs) return nullptr;
        for (Py_ssize_t i = np; i < nargs; ++i) {
            Py_INCREF(args[i]);
            PyTuple_SET_ITEM(varargs.get(), i - np, args[i]);
        }
        argv[slot++] = varargs.get();
    }
    if (f->varkw) {
        varkw = Ref::steal(PyDict_New());
        if (!varkw) return nullptr;
    }
    for (Py_ssize_t j = 0; j < kw.n; ++j) {
        if (used[j]) continue;
        PyObject *key = kw.keys[j];
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", f->def->name);
            return nullptr;
        }
        for (Py_ssize_t i = 0; i < npos; ++i) {
            if (same_name(PyTuple_GET_ITEM(f->argnames, i), key)) {
                PyErr_Format(PyExc_TypeError,
                             "%s() got multiple values for keyword argument '%U'",
                             f->def->name, key);
                return nullptr;
            }
        }
        if (!varkw) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                         f->def->name, key);
            return nullptr;
        }
        if (PyDict_SetItem(varkw.get(), key, kw.values[j]) < 0) return nullptr;
    }
    if (f->varkw) argv[slot++] = varkw.get();
    return f->def->impl(argv);
}

PyObject *fn_vectorcall(PyObject *self, PyObject *const *args, size_t nargsf,
                        PyObject *kwnames) {
    FunctionObject *f = as_fn(self);
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    const bool nokw = !kwnames || PyTuple_GET_SIZE(kwnames) == 0;
    // The common case: every parameter passed by position, nothing to collect.
    if (nokw && nargs == f->nparams && !f->varargs && !f->varkw) return f->def->impl(args);
    // Next: positional arguments only, the rest from the defaults.
    if (nokw && nargs >= f->nrequired && nargs < f->nparams && !f->varargs && !f->varkw) {
        PyObject *argv[kMaxParams];
        for (Py_ssize_t i = 0; i < nargs; ++i) argv[i] = args[i];
        for (Py_ssize_t i = nargs; i < f->nparams; ++i)
            argv[i] = PyTuple_GET_ITEM(f->defaults, i - f->nrequired);
        return f->def->impl(argv);
    }
    if (nokw) return parse_and_call(f, args, nargs, Keywords(nullptr, nullptr));
    return parse_and_call(f, args, nargs, Keywords(kwnames, args + nargs));
}

PyObject *fn_call(PyObject *self, PyObject *args, PyObject *kwargs) {
    // Reached with a dict of keywords (for example through `f.__call__`),
    // whose keys the interpreter has not checked.
    if (kwargs) {
        Py_ssize_t pos = 0;
        PyObject *k, *v;
        while (PyDict_Next(kwargs, &pos, &k, &v)) {
            if (!PyUnicode_Check(k)) {
                PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings",
                             as_fn(self)->def->name);
                return nullptr;
            }
        }
    }
    return parse_and_call(as_fn(self), &PyTuple_GET_ITEM(args, 0), PyTuple_GET_SIZE(args),
                          Keywords(kwargs));
}

PyObject *fn_descr_get(PyObject *self, PyObject *obj, PyObject *) {
    if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

// --- object protocol -----------------------------------------------------

int fn_traverse(PyObject *self, visitproc visit, void *arg) {
    FunctionObject *f = as_fn(self);
    Py_VISIT(f->argnames);
    Py_VISIT(f->defaults);
    Py_VISIT(f->name);
    Py_VISIT(f->qualname);
    Py_VISIT(f->module);
    Py_VISIT(f->doc);
    Py_VISIT(f->signature);
    Py_VISIT(f->dict);
    return 0;
}

int fn_clear(PyObject *self) {
    FunctionObject *f = as_fn(self);
    Py_CLEAR(f->argnames);
    Py_CLEAR(f->defaults);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->module);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->signature);
    Py_CLEAR(f->dict);
    return 0;
}

void fn_dealloc(PyObject *self) {
    PyObject_GC_UnTrack(self);
    fn_clear(self);
    PyObject_GC_Del(self);
}

PyObject *fn_repr(PyObject *self) {
    return PyUnicode_FromFormat("<function %U at %p>", as_fn(self)->qualname, self);
}

PyObject *get_name(PyObject *self, void *) { return Py_NewRef(as_fn(self)->name); }
PyObject *get_qualname(PyObject *self, void *) { return Py_NewRef(as_fn(self)->qualname); }

int set_str(PyObject **slot, PyObject *value, const char *what) {
    if (!value || !PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object", what);
        return -1;
    }
    Py_SETREF(*slot, Py_NewRef(value));
    return 0;
}
int set_name(PyObject *self, PyObject *value, void *) {
    return set_str(&as_fn(self)->name, value, "__name__");
}
int set_qualname(PyObject *self, PyObject *value, void *) {
    return set_str(&as_fn(self)->qualname, value, "__qualname__");
}
PyObject *get_defaults(PyObject *self, void *) {
    PyObject *d = as_fn(self)->defaults;
    return Py_NewRef(d ? d : Py_None);
}
PyObject *get_none(PyObject *, void *) { Py_RETURN_NONE; }
PyObject *get_signature(PyObject *self, void *) { return Py_NewRef(as_fn(self)->signature); }

// Pickle and copy treat a function as a reference by qualified name.
PyObject *fn_reduce(PyObject *self, PyObject *) { return Py_NewRef(as_fn(self)->qualname); }

PyGetSetDef fn_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__defaults__", get_defaults, nullptr, nullptr, nullptr},
    {"__kwdefaults__", get_none, nullptr, nullptr, nullptr},
    {"__text_signature__", get_signature, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef fn_members[] = {
    {"__module__", NUMOR_T_OBJECT, offsetof(FunctionObject, module), 0, nullptr},
    {"__doc__", NUMOR_T_OBJECT, offsetof(FunctionObject, doc), 0, nullptr},
    {"__vectorcalloffset__", NUMOR_T_PYSSIZET, offsetof(FunctionObject, vectorcall), NUMOR_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyMethodDef fn_methods[] = {
    {"__reduce__", fn_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// Splits "(self, key, pz=None)" into its parameters. The tables only use
// None as a default, which keeps this small.
bool parse_signature(FunctionObject *f) {
    std::string text(f->def->signature);
    if (text.size() < 2 || text.front() != '(' || text.back() != ')') {
        PyErr_Format(PyExc_SystemError, "bad signature for %s", f->def->name);
        return false;
    }
    text = text.substr(1, text.size() - 2);
    std::vector<std::string> names;
    Py_ssize_t ndefaults = 0;
    size_t start = 0;
    while (start < text.size()) {
        size_t comma = text.find(',', start);
        if (comma == std::string::npos) comma = text.size();
        std::string item = text.substr(start, comma - start);
        start = comma + 1;
        item.erase(0, item.find_first_not_of(' '));
        item.erase(item.find_last_not_of(' ') + 1);
        if (item.rfind("**", 0) == 0) {
            f->varkw = true;
        } else if (item.rfind("*", 0) == 0) {
            f->varargs = true;
        } else if (item.find('=') != std::string::npos) {
            names.push_back(item.substr(0, item.find('=')));
            ++ndefaults;
        } else {
            names.push_back(item);
        }
    }
    if (static_cast<Py_ssize_t>(names.size()) > kMaxParams) {
        PyErr_Format(PyExc_SystemError, "too many parameters for %s", f->def->name);
        return false;
    }
    f->nparams = static_cast<Py_ssize_t>(names.size());
    f->nrequired = f->nparams - ndefaults;
    f->argnames = PyTuple_New(f->nparams);
    if (!f->argnames) return false;
    for (Py_ssize_t i = 0; i < f->nparams; ++i) {
        PyObject *s = PyUnicode_InternFromString(names[static_cast<size_t>(i)].c_str());
        if (!s) return false;
        PyTuple_SET_ITEM(f->argnames, i, s);
    }
    if (ndefaults) {
        f->defaults = PyTuple_New(ndefaults);
        if (!f->defaults) return false;
        for (Py_ssize_t i = 0; i < ndefaults; ++i)
            PyTuple_SET_ITEM(f->defaults, i, Py_NewRef(Py_None));
    }
    return true;
}

}  // namespace

PyTypeObject FunctionObjectType{};

int function_type_ready() {
    PyTypeObject &t = FunctionObjectType;
    if (t.tp_flags & Py_TPFLAGS_READY) return 0;
    init_static_type(t, "numor.function", sizeof(FunctionObject));
    t.tp_dealloc = fn_dealloc;
    t.tp_vectorcall_offset = offsetof(FunctionObject, vectorcall);
    t.tp_repr = fn_repr;
    t.tp_call = fn_call;
    t.tp_getattro = PyObject_GenericGetAttr;
    t.tp_setattro = PyObject_GenericSetAttr;
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
                 Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_IMMUTABLETYPE |
                 Py_TPFLAGS_DISALLOW_INSTANTIATION;
    t.tp_traverse = fn_traverse;
    t.tp_clear = fn_clear;
    t.tp_methods = fn_methods;
    t.tp_members = fn_members;
    t.tp_getset = fn_getset;
    t.tp_descr_get = fn_descr_get;
    t.tp_dictoffset = offsetof(FunctionObject, dict);
    return PyType_Ready(&t);
}

bool is_function_with(PyObject *f, Impl impl) {
    return Py_IS_TYPE(f, &FunctionObjectType) && as_fn(f)->def->impl == impl;
}

Ref make_function(const FuncDef &def, const char *owner) {
    Ref obj = Ref::steal(reinterpret_cast<PyObject *>(
        PyObject_GC_New(FunctionObject, &FunctionObjectType)));
    if (!obj) return obj;
    FunctionObject *f = as_fn(obj.get());
    f->vectorcall = fn_vectorcall;
    f->def = &def;
    f->argnames = f->defaults = f->name = f->qualname = f->module = f->doc = f->signature =
        f->dict = nullptr;
    f->nparams = f->nrequired = 0;
    f->varargs = f->varkw = false;
    PyObject_GC_Track(obj.get());
    if (!parse_signature(f)) return Ref();
    f->name = PyUnicode_InternFromString(def.name);
    f->qualname = owner ? PyUnicode_FromFormat("%s.%s", owner, def.name)
                        : PyUnicode_FromString(def.name);
    f->module = PyUnicode_InternFromString("numor");
    f->doc = Py_NewRef(Py_None);
    f->signature = PyUnicode_FromString(def.signature);
    if (!f->name || !f->qualname || !f->module || !f->signature) return Ref();
    return obj;
}

}  // namespace numor
