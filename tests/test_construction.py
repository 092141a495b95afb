import collections
import sys
import types

import pytest

import numor
from numor import NUmor, NUmorMutant, is_numor, mNUmor

from conftest import FAST_PATHS


class A(NUmor):
    p = 1
    q = 2


class C(NUmor):
    q = 3
    r = 4


class Recording(dict):
    """A namespace that logs how construction reads and writes it."""

    def __init__(self, *args, **kw):
        super().__init__(*args, **kw)
        self.log = []


for _op in ("__contains__", "__getitem__", "__iter__", "__setitem__", "update"):
    def _logged(self, *args, _op=_op):
        self.log.append((_op, *[a for a in args[:1] if isinstance(a, str)]))
        return getattr(dict, _op)(self, *args)
    setattr(Recording, _op, _logged)


def test_only_enumeration_bases_are_kept():
    class X(NUmor, int):
        a = 1

    assert X.__bases__ == (NUmor,) and X._key == ("a",)
    assert mNUmor("L", [A], {"b": 1})._key == ("b", "p", "q")
    assert mNUmor("G", (b for b in (int, A)), {"b": 1}).__bases__ == (A,)
    meta = type("Meta", (mNUmor,), {})
    assert type(meta("M", (A,), {"b": 1})) is meta


def test_several_enumeration_bases_merge_into_a_class_of_the_root_alone():
    class D(A, C):
        pass

    assert D._key == ("p", "q", "r") and (D.p, D.q, D.r) == (1, 2, 4)
    assert D.__bases__ == (NUmor,) and not issubclass(D, A)
    empty = mNUmor("E", (A, C), {})
    assert empty._key == () and empty.__bases__ == (NUmor,)


def test_without_an_enumeration_base_there_are_no_members_and_options_are_not_read():
    ns = Recording(a=1, __ordo_numor_key__=lambda s: 1 / 0, __numoer_nominis__="Other")
    cls = mNUmor("Plain", (int,), ns)
    assert cls.__bases__ == (object,) and cls.__name__ == "Plain" and cls._key == ()
    assert ns.log[0] == ("__setitem__", "_key")
    assert not [e for e in ns.log if e[0] in ("__contains__", "__iter__")]


def test_candidate_names_skip_dunders_and_keep_underscore_and_mangled_names():
    class S(NUmor):
        """doc"""
        __ordo_numor_reverse__ = False
        _x = 1
        __y = 2
        __z__ = 3
        _ = 4
        _key = 5
        a = 5
        B = 6

    assert S._key == ("B", "_", "_S__y", "_key", "_x", "a")
    assert S.keys() == ["B", "a"]


def test_candidate_names_are_stripped_and_tested_with_unicode_digits():
    # Superscript two is a digit to str.isdigit; the Roman numeral and the fraction are not.
    ns = {"\u2003": 0, "\u3000__x": 1, " \u0661a": 2, "\u00b2b": 3,
          "\u2160c": 4, "\u00bdd": 5, "e": 6}
    assert mNUmor("U", (NUmor,), ns)._key == ("e", "\u00bdd", "\u2160c")


@pytest.mark.parametrize("option, outer, nested", [
    ("Colours", "Colours", "Colours"), (5, "Color", "NUmor"),
    (type("S", (str,), {})("Colours"), "Color", "NUmor"),
])
def test_naming_option_accepts_only_an_exact_str(option, outer, nested):
    class Color(NUmor):
        __numoer_nominis__ = option
        a = 1
        sub = {"__numoer_nominis__": option, "a": 1}

    assert Color.__name__ == outer and Color.__qualname__.endswith(".Color")
    assert Color.sub.__name__ == nested and Color.sub._key == ("a",)


def test_values_are_converted_by_kind():
    class Explodes:
        def __bool__(self):
            raise ZeroDivisionError

    odd, empty, st, cm = Explodes(), {}, staticmethod(len), classmethod(len)

    class V(NUmor):
        d = {"b": 2, "a": 1}
        e = empty
        def f(cls):
            return cls
        lam = lambda cls: cls  # noqa: E731
        s, c, b, k, x = st, cm, len, int, odd

    d = V.__dict__
    assert is_numor(V.d) and V.d._key == ("a", "b") and V.d.__bases__ == (NUmor,)
    assert type(d["f"]) is classmethod and type(d["lam"]) is classmethod
    assert V.f() is V and V.lam() is V
    assert (d["e"], d["s"], d["c"], d["b"], d["k"], d["x"]) == (empty, st, cm, len, int, odd)


def test_dict_member_is_copied_but_a_namespace_given_directly_is_changed_in_place():
    inner = {"z": 1}
    member = {"y": inner, "x": 2}

    class H(NUmor):
        m = member

    assert member == {"y": {"z": 1}, "x": 2} and member["y"] is inner
    assert H.m._key == ("x", "y") and H.m.y._key == ("z",)
    given = {"a": 1}
    NUmor(given)
    assert given == {"a": 1, "_key": ("a",)}
    ns = {"a": 1, "f": lambda cls: 1, "g": {"z": 1}}
    mNUmor("N", (NUmor,), ns)
    assert ns["_key"] == ("a", "f", "g")
    assert type(ns["f"]) is classmethod and is_numor(ns["g"])


def test_public_members_of_bases_are_inherited_as_the_base_reports_them():
    class Base(NUmor):
        x = 1
        _p = 2
        y = 3
        n = {"k": 1}
        def f(cls):
            return cls

    class Derived(Base):
        y = 9

    assert Derived._key == ("y", "f", "n", "x")
    assert (Derived.y, Derived.x, Derived.n) == (9, 1, Base.n)
    bound = Derived.__dict__["f"]
    assert type(bound) is types.MethodType and bound.__self__ is Base

    class Picky(NUmor):  # a member named `keys` hides the metaclass method
        x = 1
        y = 2
        def keys(cls):
            return ["y"]

    assert mNUmor("P", (Picky,), {"a": 1})._key == ("a", "y")


def test_concat_joins_names_and_values_of_the_bases(monkeypatch):
    calls = []
    real = numor.concat
    monkeypatch.setattr(numor, "concat", lambda seqs: calls.append(seqs) or real(seqs))

    class D(A, C):
        z = 0

    assert len(calls) == 2 and all(type(c) is tuple for c in calls)
    assert [list(s) for s in calls[0]] == [["p", "q"], ["q", "r"]]
    assert calls[1] == ((1, 2), (3, 4))
    monkeypatch.setattr(numor, "concat", lambda seqs: seqs[0])
    assert mNUmor("F", (A, C), {"z": 0})._key == ("z", "p", "q")


def _joins_nothing(seqs):
    return []


def _refuses(seqs):
    raise ZeroDivisionError


@pytest.mark.parametrize("code, base, key", [
    (_joins_nothing.__code__, A, ("z",)),
    (_refuses.__code__, A, ZeroDivisionError),
    (_refuses.__code__, NUmor, ZeroDivisionError),  # nothing to inherit, still called
])
def test_the_helper_given_other_code_is_called(monkeypatch, code, base, key):
    monkeypatch.setattr(numor.concat, "__code__", code)
    if isinstance(key, tuple):
        assert mNUmor("D", (base,), {"z": 0})._key == key
    else:
        with pytest.raises(key):
            mNUmor("D", (base,), {"z": 0})


@pytest.mark.skipif(not FAST_PATHS, reason="the generic build calls the helper")
def test_the_shipped_helper_is_not_called():
    # Its result is made without it: a class statement runs no Python code.
    calls = []
    sys.setprofile(lambda frame, event, arg: event == "call" and calls.append(frame.f_code))
    try:
        mNUmor("D", (A, C), {"z": 0})
        mNUmor("D", (NUmor,), {"z": 0})
    finally:
        sys.setprofile(None)
    assert calls == []


def test_a_namespace_changed_during_construction_is_read_and_written_afresh(monkeypatch):
    # Each value is read when its turn comes (here `b`, after `a`'s value
    # changed it) and all are written back after the bases are joined (here
    # over a replaced concat's changes), unchanged or not.
    real, stash = numor.concat, []
    monkeypatch.setattr(numor, "concat", lambda seqs: stash[0].update(a=9, c=9) or real(seqs))

    class Sneaky:
        @property
        def __class__(self):
            stash[0]["b"] = 5
            return Sneaky

    class D(NUmor):
        a = Sneaky()
        b = 1
        c = lambda cls: 2  # noqa: E731
        stash.append(locals())

    assert type(D.a) is Sneaky and D.b == 5 and D.c() == 2


def test_options_are_read_before_the_namespace_is_iterated():
    ns = Recording(b=1, a=2, __ordo_numor_reverse__=True, __numoer_nominis__="Q")
    cls = mNUmor("E", (NUmor,), ns)
    assert cls.__name__ == "Q" and cls._key == ("b", "a")
    before = ns.log[:ns.log.index(("__iter__",))]
    for option in ("__numoer_nominis__", "__ordo_numor_key__", "__ordo_numor_reverse__",
                   "__ordo_numor__"):
        assert ("__contains__", option) in before
    assert ns.log.index(("update",)) < ns.log.index(("__setitem__", "_key"))


def test_a_non_dict_namespace_is_written_through_its_own_methods():
    ns = collections.UserDict(a=1, f=lambda cls: 1)
    with pytest.raises(TypeError, match="must be dict"):
        mNUmor("P", (NUmor,), ns)
    assert ns.data["_key"] == ("a", "f") and type(ns.data["f"]) is classmethod


def test_class_statement_keywords_are_accepted_and_not_passed_on():
    seen = []

    class Root(NUmorMutant):
        def __init_subclass__(cls, **kw):
            seen.append(kw)

    class K(Root, flag=1):
        a = 1

    assert seen == [{}] and K._key == ("a",)


FALSY = type("Falsy", (dict,), {"__bool__": lambda self: 1 / 0})
KEYS_IS_ONE = mNUmor("K", (NUmor,), {"keys": 1})
KEYS_NAME_MISSING = mNUmor("K", (NUmor,), {"keys": lambda cls: ["no"]})


@pytest.mark.parametrize("name, bases, ns, exc, message", [
    ("Z", (NUmor,), {1: 2, "a": 1}, AttributeError, "'int' object has no attribute 'strip'"),
    ("Z", (NUmor,), {" c": 1}, KeyError, "'c'"),
    ("Z", (NUmor,), {"a": {1: 2}}, TypeError, "Атрибуты перечисления могут быть только строками"),
    ("Z", (NUmor,), {"a": FALSY(x=1)}, ZeroDivisionError, ""),
    ("Z", (NUmor,), {"a": 1, "b": 2, "__ordo_numor__": ["a"]}, TypeError, "'<' not supported"),
    ("Z", (KEYS_IS_ONE,), {"a": 1}, TypeError, "'int' object is not callable"),
    ("Z", (KEYS_NAME_MISSING,), {"a": 1}, AttributeError, "'no'"),
    (5, (NUmor,), {"a": 1}, TypeError, ""),
])
def test_errors_of_the_steps_propagate_unchanged(name, bases, ns, exc, message):
    with pytest.raises(exc) as info:
        mNUmor(name, bases, ns)
    assert type(info.value) is exc and message in str(info.value)


def test_module_attributes_are_looked_up_at_each_class_creation(monkeypatch):
    monkeypatch.setattr(numor, "FunctionType", type(len))
    made = mNUmor("G", (NUmor,), {"b": len, "f": lambda cls: 0})
    assert type(made.__dict__["b"]) is classmethod
    assert type(made.__dict__["f"]) is types.FunctionType
    monkeypatch.setattr(numor, "FunctionType", int)
    assert type(mNUmor("G", (NUmor,), {"n": 3}).__dict__["n"]) is classmethod
    monkeypatch.undo()
    seen = []
    monkeypatch.setattr(numor, "NUmor", lambda d: seen.append(d) or "nested")
    assert mNUmor("H", (A,), {"d": {"a": 1}}).d == "nested" and seen == [{"a": 1}]
    monkeypatch.setattr(numor, "NUmor", A)
    assert mNUmor("M", (C, NUmorMutant), {}).__bases__ == (A,)
