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
// own, and each method is a plain C++ function with named parameters over
// already-parsed arguments. A table row names the body through `def<...>`,
// which records how many parameters it takes; making the function object
// checks that count against the parameter list, so an import with a row
// and a body that disagree fails with SystemError (the names cannot be
// checked, see function.h), as does a row whose parameter list this type
// cannot represent.
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
#include "heap_type.h"
#include "state.h"

#include <string_view>

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
    PyObject *weakrefs;  // functions can be weakly referenced (WeakMethod)
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

// Parses into `argv` (nparams slots, then `*arg`, then `**args`) and calls
// the body. Keywords arrive as parallel arrays of names and values that the
// caller keeps alive for the call. Problems are reported in the order a
// compiled Python function reports them: each keyword in turn (not a
// string, unknown, or given twice), then too many positional arguments,
// then the first missing one.
//
// Nothing here allocates through C++: the slots are sized by kMaxParams and
// everything else is an interpreter object, so no C++ exception can start
// on a call path.
Ref parse_and_call(FunctionObject *f, PyObject *const *args, Py_ssize_t nargs,
                   PyObject *const *kwkeys, PyObject *const *kwvalues, Py_ssize_t nkw) {
    const Py_ssize_t np = f->nparams;
    PyObject *argv[kMaxParams + 2] = {};
    const Py_ssize_t npos = nargs < np ? nargs : np;
    for (Py_ssize_t i = 0; i < npos; ++i) argv[i] = args[i];

    Ref varargs, varkw;
    if (f->varkw) {
        varkw = Ref::steal(PyDict_New());
        if (!varkw) return nullptr;
    }
    for (Py_ssize_t j = 0; j < nkw; ++j) {
        PyObject *key = kwkeys[j];
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", f->def->name);
            return nullptr;
        }
        Py_ssize_t i = 0;
        while (i < np && !same_name(PyTuple_GET_ITEM(f->argnames, i), key)) ++i;
        if (i == np) {
            if (!varkw) {
                PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                             f->def->name, key);
                return nullptr;
            }
            // Storing hashes the name, which may run a str subclass's
            // __hash__; the caller's arrays hold everything used here.
            if (PyDict_SetItem(varkw.get(), key, kwvalues[j]) < 0) return nullptr;
            continue;
        }
        if (argv[i]) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                         f->def->name, key);
            return nullptr;
        }
        argv[i] = kwvalues[j];
    }
    if (nargs > np && !f->varargs) {
        raise_count(f, nargs);
        return nullptr;
    }
    for (Py_ssize_t i = npos; i < np; ++i) {
        if (argv[i]) continue;
        if (i < f->nrequired) {
            raise_count(f, i);
            return nullptr;
        }
        argv[i] = PyTuple_GET_ITEM(f->defaults, i - f->nrequired);
    }

    Py_ssize_t slot = np;
    if (f->varargs) {
        varargs = Ref::steal(PyTuple_New(nargs > np ? nargs - np : 0));
        if (!varargs) return nullptr;
        for (Py_ssize_t i = np; i < nargs; ++i) {
            Py_INCREF(args[i]);
            PyTuple_SET_ITEM(varargs.get(), i - np, args[i]);
        }
        argv[slot++] = varargs.get();
    }
    if (f->varkw) argv[slot++] = varkw.get();
    return f->def->impl(argv);
}

// The calling path of a function without `*arg` and `**args`, chosen when
// it is made: an exact positional call hands the caller's array straight to
// the body, and one that leaves trailing parameters to their defaults fills
// a copy; keywords take the general path.
PyObject *fn_vectorcall_simple(PyObject *self, PyObject *const *args, size_t nargsf,
                               PyObject *kwnames) {
    FunctionObject *f = as_fn(self);
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (!kwnames || PyTuple_GET_SIZE(kwnames) == 0) {
        if (nargs == f->nparams) return f->def->impl(args).release();
        if (nargs >= f->nrequired && nargs < f->nparams) {
            PyObject *argv[kMaxParams];
            for (Py_ssize_t i = 0; i < nargs; ++i) argv[i] = args[i];
            for (Py_ssize_t i = nargs; i < f->nparams; ++i)
                argv[i] = PyTuple_GET_ITEM(f->defaults, i - f->nrequired);
            return f->def->impl(argv).release();
        }
    }
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    return parse_and_call(f, args, nargs, nkw ? &PyTuple_GET_ITEM(kwnames, 0) : nullptr,
                          args + nargs, nkw)
        .release();
}

// The calling path of a function that collects extra arguments.
PyObject *fn_vectorcall_general(PyObject *self, PyObject *const *args, size_t nargsf,
                                PyObject *kwnames) {
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    return parse_and_call(as_fn(self), args, nargs,
                          nkw ? &PyTuple_GET_ITEM(kwnames, 0) : nullptr, args + nargs, nkw)
        .release();
}

// Reached with a dict of keywords (for example through `f.__call__`). Its
// entries are copied into two tuples first: storing an extra keyword runs a
// str subclass's __hash__, which could change the dict.
PyObject *fn_call(PyObject *self, PyObject *args, PyObject *kwargs) {
    Ref keys, values;
    Py_ssize_t nkw = kwargs ? PyDict_GET_SIZE(kwargs) : 0;
    if (nkw) {
        keys = Ref::steal(PyTuple_New(nkw));
        values = Ref::steal(PyTuple_New(nkw));
        if (!keys || !values) return nullptr;
        Py_ssize_t pos = 0, j = 0;
        PyObject *k, *v;
        // Nothing in this loop runs Python code: the size stays as read.
        while (j < nkw && PyDict_Next(kwargs, &pos, &k, &v)) {
            PyTuple_SET_ITEM(keys.get(), j, Py_NewRef(k));
            PyTuple_SET_ITEM(values.get(), j, Py_NewRef(v));
            ++j;
        }
        nkw = j;
    }
    return parse_and_call(as_fn(self), &PyTuple_GET_ITEM(args, 0), PyTuple_GET_SIZE(args),
                          nkw ? &PyTuple_GET_ITEM(keys.get(), 0) : nullptr,
                          nkw ? &PyTuple_GET_ITEM(values.get(), 0) : nullptr, nkw)
        .release();
}

PyObject *fn_descr_get(PyObject *self, PyObject *obj, PyObject *) {
    if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

// --- object protocol -----------------------------------------------------

int fn_traverse(PyObject *self, visitproc visit, void *arg) {
    FunctionObject *f = as_fn(self);
    Py_VISIT(Py_TYPE(self));
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
    PyTypeObject *type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (as_fn(self)->weakrefs) PyObject_ClearWeakRefs(self);
    fn_clear(self);
    PyObject_GC_Del(self);
    Py_DECREF(type);  // instances of a heap type own a reference to it
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
    // Where the type's vectorcall, dict and weak references live; a type
    // made from a PyType_Spec learns these offsets only from such rows.
    {"__vectorcalloffset__", NUMOR_T_PYSSIZET, offsetof(FunctionObject, vectorcall),
     NUMOR_READONLY, nullptr},
    {"__dictoffset__", NUMOR_T_PYSSIZET, offsetof(FunctionObject, dict), NUMOR_READONLY,
     nullptr},
    {"__weaklistoffset__", NUMOR_T_PYSSIZET, offsetof(FunctionObject, weakrefs),
     NUMOR_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyMethodDef fn_methods[] = {
    {"__reduce__", fn_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// A name Python would accept as a parameter: ASCII letters, digits and
// underscores, not starting with a digit (the tables need nothing more).
bool is_identifier(std::string_view name) {
    if (name.empty() || (name[0] >= '0' && name[0] <= '9')) return false;
    for (char c : name) {
        const bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
        if (!letter && c != '_' && !(c >= '0' && c <= '9')) return false;
    }
    return true;
}

// Splits "(self, key, pz=None)" into its parameters. What a function object
// can represent is names that may be passed by position or keyword, with
// None as the only default and the defaulted ones last, then `*arg`, then
// `**args`; anything else in a row (another default, a parameter after
// `*arg`, which Python would make keyword-only, `/`, a name given twice)
// fails the import instead of being read as something it does not say.
bool parse_signature(FunctionObject *f) {
    const char *sig = f->def->signature;
    const std::string_view text(sig);
    auto refuse = [f](const char *why) {
        PyErr_Format(PyExc_SystemError, "bad signature for %s%s: %s", f->def->name,
                     f->def->signature, why);
        return false;
    };
    if (text.size() < 2 || text.front() != '(' || text.back() != ')')
        return refuse("not in parentheses");
    auto trim = [](std::string_view v) {
        while (!v.empty() && v.front() == ' ') v.remove_prefix(1);
        while (!v.empty() && v.back() == ' ') v.remove_suffix(1);
        return v;
    };
    std::string_view names[kMaxParams];     // of the positional-or-keyword parameters
    std::string_view seen[kMaxParams + 2];  // and of `*arg` and `**args`
    Py_ssize_t n = 0, nseen = 0, ndefaults = 0;
    std::string_view rest = text.substr(1, text.size() - 2);
    while (!trim(rest).empty()) {
        const size_t comma = rest.find(',');
        std::string_view item = trim(rest.substr(0, comma));
        rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
        if (f->varkw) return refuse("a parameter after **");
        std::string_view name;
        bool positional = false;
        if (item.substr(0, 2) == "**") {
            name = item.substr(2);
            f->varkw = true;
        } else if (item.substr(0, 1) == "*") {
            if (f->varargs) return refuse("two *");
            name = item.substr(1);
            f->varargs = true;
        } else {
            if (f->varargs) return refuse("a parameter after *, which would be keyword-only");
            const size_t eq = item.find('=');
            name = trim(item.substr(0, eq));
            if (eq != std::string_view::npos) {
                if (trim(item.substr(eq + 1)) != "None") return refuse("a default other than None");
                ++ndefaults;
            } else if (ndefaults) {
                return refuse("a parameter without a default after one with a default");
            }
            if (n == kMaxParams) return refuse("too many parameters");
            positional = true;
        }
        if (!is_identifier(name)) return refuse("a parameter that is not a name");
        for (Py_ssize_t i = 0; i < nseen; ++i)
            if (seen[i] == name) return refuse("a name given twice");
        seen[nseen++] = name;
        if (positional) names[n++] = name;
    }
    f->nparams = n;
    f->nrequired = n - ndefaults;
    f->argnames = PyTuple_New(n);
    if (!f->argnames) return false;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject *s = PyUnicode_FromStringAndSize(names[i].data(), names[i].size());
        if (!s) return false;
        PyUnicode_InternInPlace(&s);
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

PyType_Slot fn_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void *>(fn_dealloc)},
    {Py_tp_repr, reinterpret_cast<void *>(fn_repr)},
    {Py_tp_call, reinterpret_cast<void *>(fn_call)},
    {Py_tp_traverse, reinterpret_cast<void *>(fn_traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(fn_clear)},
    {Py_tp_methods, fn_methods},
    {Py_tp_members, fn_members},
    {Py_tp_getset, fn_getset},
    {Py_tp_descr_get, reinterpret_cast<void *>(fn_descr_get)},
    {0, nullptr},
};

PyType_Spec fn_spec = {
    "numor.function",
    sizeof(FunctionObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
        Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_IMMUTABLETYPE |
        Py_TPFLAGS_DISALLOW_INSTANTIATION,
    fn_slots,
};

}  // namespace

int function_type_init() {
    Ref t = make_heap_type(fn_spec);
    if (!t) return -1;
    Py_XSETREF(state().function_type, reinterpret_cast<PyTypeObject *>(t.release()));
    return 0;
}

bool is_function_with(PyObject *f, Impl impl) {
    return Py_IS_TYPE(f, state().function_type) && as_fn(f)->def->impl == impl;
}

Ref make_function(const FuncDef &def, const char *owner) {
    Ref obj = Ref::steal(reinterpret_cast<PyObject *>(
        PyObject_GC_New(FunctionObject, state().function_type)));
    if (!obj) return obj;
    FunctionObject *f = as_fn(obj.get());
    f->def = &def;
    f->vectorcall = fn_vectorcall_general;  // until the parameter list is known
    f->argnames = f->defaults = f->name = f->qualname = f->module = f->doc = f->signature =
        f->dict = f->weakrefs = nullptr;
    f->nparams = f->nrequired = 0;
    f->varargs = f->varkw = false;
    PyObject_GC_Track(obj.get());
    if (!parse_signature(f)) return Ref();
    if (f->nparams + f->varargs + f->varkw != def.arity) {
        PyErr_Format(PyExc_SystemError, "%s%s declares %zd parameters, its body takes %d",
                     def.name, def.signature, f->nparams + f->varargs + f->varkw, def.arity);
        return Ref();
    }
    f->vectorcall = f->varargs || f->varkw ? fn_vectorcall_general : fn_vectorcall_simple;
    f->name = PyUnicode_InternFromString(def.name);
    f->qualname = owner ? PyUnicode_FromFormat("%s.%s", owner, def.name)
                        : PyUnicode_FromString(def.name);
    f->module = Py_NewRef(state().names.numor);
    f->doc = Py_NewRef(Py_None);
    f->signature = PyUnicode_FromString(def.signature);
    if (!f->name || !f->qualname || !f->module || !f->signature) return Ref();
    return obj;
}

}  // namespace numor
