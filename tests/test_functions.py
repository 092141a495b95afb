import inspect
import pydoc
import re
import types
import weakref

import pytest

import numor
from numor import NUmor, NUmorMutant, is_numor, mmNumor, mNUmor


class E(NUmor):
    a = 1
    _b = 2


SELF_ONLY = "keys values __len__ __iter__ __dir__ __bool__ __repr__ __str__".split()
SIGNATURES = [(mNUmor, name, "(self)") for name in SELF_ONLY] + [
    (mNUmor, "__new__", "(cls, name, bases, dct, **args)"),
    (mNUmor, "index", "(self, key)"), (mNUmor, "get", "(self, key, pz=None)"),
    (mNUmor, "__contains__", "(self, key)"), (mNUmor, "__getitem__", "(self, key)"),
    (mNUmor, "__add__", "(self, value)"), (mmNumor, "update", "(self, dct)"),
    (mmNumor, "clear", "(self)"), (mmNumor, "__setattr__", "(self, attr, val)"),
    (mmNumor, "__delattr__", "(self, attr)"), (mmNumor, "__delitem__", "(self, item)"),
    (NUmor, "__new__", "(cls, *arg, **args)"), (NUmor, "__setattr__", "(self, attr, val)"),
    (NUmor, "__delattr__", "(self, attr)"), (None, "is_numor", "(obj)"),
]


@pytest.mark.parametrize("owner, name, sig", SIGNATURES, ids=lambda x: getattr(x, "__name__", x))
def test_function_describes_itself_like_a_python_function(owner, name, sig):
    f = vars(numor if owner is None else owner)[name]
    if name == "__new__":
        f = f.__func__
    qualname = name if owner is None else f"{owner.__name__}.{name}"
    assert str(inspect.signature(f)) == sig
    assert (f.__name__, f.__qualname__, f.__module__, f.__doc__) == (name, qualname, "numor", None)
    assert re.fullmatch(rf"<function {qualname} at 0x[0-9a-f]+>", repr(f))


def test_defaults_are_recorded():
    assert mNUmor.get.__defaults__ == (None,)
    assert mNUmor.keys.__defaults__ is None


def test_function_binds_to_an_instance_as_a_real_method_and_to_a_class_as_itself():
    f = mNUmor.__dict__["keys"]
    assert mNUmor.keys is f
    assert f.__get__(None, E) is f
    bound = E.keys
    assert type(bound) is types.MethodType
    assert bound.__self__ is E and bound.__func__ is f
    assert bound() == ["a"]
    instance = object.__new__(E)
    assert type(instance.__setattr__) is types.MethodType
    assert instance.__setattr__.__func__ is NUmor.__dict__["__setattr__"]


def test_bound_method_signature_drops_self_and_help_renders():
    assert str(inspect.signature(E.get)) == "(key, pz=None)"
    assert "E(*arg, **args)" in pydoc.render_doc(E)
    pydoc.render_doc(numor)


def test_every_parameter_can_be_passed_by_keyword():
    assert mNUmor.keys(self=E) == ["a"]
    assert mNUmor.index(self=E, key="a") == 1
    assert mNUmor.get(self=E, key="zz", pz=5) == 5
    assert E.get(**{"".join(("k", "ey")): "a"}) == 1  # a keyword name that is not interned
    assert is_numor(obj=E) is True
    made = mNUmor.__new__(cls=mNUmor, name="K", bases=(NUmor,), dct={"x": 1})
    assert made.__name__ == "K" and made._key == ("x",)
    assert NUmor.__new__(cls=NUmorMutant, name="Q").__name__ == "Q"


@pytest.mark.parametrize("call, message", [
    (lambda: mNUmor.__new__(mNUmor, "X", ()),
     "__new__() takes exactly 4 positional arguments (3 given)"),
    (lambda: mNUmor("X", (), {}, 1), "__new__() takes exactly 4 positional arguments (5 given)"),
    (lambda: mNUmor.get(E), "get() takes at least 2 positional arguments (1 given)"),
    (lambda: mNUmor.get(E, 1, 2, 3), "get() takes at most 3 positional arguments (4 given)"),
    (lambda: mNUmor.get(key="a"), "get() takes at least 2 positional arguments (0 given)"),
    (lambda: mNUmor.get(E, pz=1), "get() takes at least 2 positional arguments (1 given)"),
    (lambda: mNUmor.keys(), "keys() takes exactly 1 positional argument (0 given)"),
    (lambda: E.keys(1), "keys() takes exactly 1 positional argument (2 given)"),
    (lambda: NUmor.__new__(), "__new__() takes at least 1 positional argument (0 given)"),
    (lambda: is_numor(1, 2), "is_numor() takes exactly 1 positional argument (2 given)"),
    (lambda: E.keys(x=1), "keys() got an unexpected keyword argument 'x'"),
    (lambda: is_numor(obj=1, other=2), "is_numor() got an unexpected keyword argument 'other'"),
    (lambda: E.get("a", key="a"), "get() got multiple values for keyword argument 'key'"),
    (lambda: mNUmor.__new__(mNUmor, "X", (), {}, cls=1),
     "__new__() got multiple values for keyword argument 'cls'"),
    (lambda: NUmor.__new__(NUmor, cls=1),
     "__new__() got multiple values for keyword argument 'cls'"),
    (lambda: mNUmor.get.__call__(E, "a", **{1: 2}), "get() keywords must be strings"),
    (lambda: is_numor.__call__(**{"obj": 1, 2: 3}), "is_numor() keywords must be strings"),
    # Keywords are checked first, in turn; then too many positionals; then missing ones.
    (lambda: E.keys(["a"], name="x"), "keys() got an unexpected keyword argument 'name'"),
    (lambda: mNUmor.get(1, 2, 3, 4, self=E), "get() got multiple values for keyword argument 'self'"),
    (lambda: mNUmor.get.__call__(E, 1, 2, 3, **{1: 2}), "get() keywords must be strings"),
    (lambda: mNUmor.get(E, x=1), "get() got an unexpected keyword argument 'x'"),
])
def test_argument_errors_use_the_classic_wording(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


def test_functions_and_their_bound_methods_can_be_weakly_referenced():
    assert weakref.ref(mNUmor.keys)() is mNUmor.keys
    assert weakref.WeakMethod(E.keys)() == E.keys
    it = iter(E)
    assert weakref.ref(it)() is it


def test_cycle_through_a_function_dict_is_collected(run_python):
    proc = run_python("""
        import gc, weakref, numor
        f = numor.is_numor
        del numor.is_numor
        class Holder:
            pass
        h = Holder()
        h.f, f.h = f, h
        probe = weakref.ref(h)
        del f, h
        gc.collect()
        print(probe() is None)
    """)
    assert proc.stdout == "True\n", proc.stderr
