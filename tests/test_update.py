"""Bulk update and clear of mutable enumeration classes."""
from types import MappingProxyType

import pytest

from conftest import make
from numor import mmNumor, mNUmor


def snapshot(C):
    return C._key, dict(vars(C))


def assert_unchanged(C, before):
    table, attrs = before
    assert C._key is table
    assert dict(vars(C)) == attrs


class Recording(mmNumor):
    log = []

    def __setattr__(cls, attr, val):
        Recording.log.append((attr, val))
        super().__setattr__(attr, val)


def test_new_names_are_sorted_and_follow_existing_members():
    C = make(z=0, m=1)
    C.update(MappingProxyType({"b": 2, "m": 10, "a": 1, "_p": 3}))
    assert C._key == ("m", "z", "_p", "a", "b")
    assert (C.a, C.b, C.m, C.z, C._p) == (1, 2, 10, 0, 3)
    assert len(C) == 5 and C.keys() == ["m", "z", "a", "b"]


def test_keys_that_are_not_names_add_nothing():
    C = make(z=0)
    before = snapshot(C)
    C.update({"1x": 1, "": 2, "  ": 3})
    assert snapshot(C) == before


@pytest.mark.parametrize(
    "extra, added",
    [
        ({"__ordo_numor_reverse__": True}, ("b", "a", "__ordo_numor_reverse__")),
        ({"__ordo_numor__": ["b", "a", "__ordo_numor__"]}, ("b", "a", "__ordo_numor__")),
        ({"__ordo_numor_key__": lambda s: -len(s)}, ("__ordo_numor_key__", "a", "b")),
        # Options of the wrong type do not order anything.
        ({"__ordo_numor_reverse__": 1}, ("__ordo_numor_reverse__", "a", "b")),
    ],
)
def test_options_in_mapping_order_new_names_and_become_members(extra, added):
    C = make(z=0)
    C.update({"a": 1, "b": 2, **extra})
    assert C._key == ("z",) + added
    (option,) = extra
    assert option in vars(C)


def test_partial_ordering_list_fails_without_changing_class():
    C = make(z=0)
    before = snapshot(C)
    with pytest.raises(TypeError, match="not supported"):
        C.update({"a": 1, "b": 2, "__ordo_numor__": ["b", "a"]})
    assert_unchanged(C, before)


def test_options_stored_on_class_are_ignored():
    C = make(z=0, __ordo_numor_reverse__=True)
    C.update({"a": 1, "b": 2})
    assert C._key == ("z", "a", "b")


class NoBool:
    def __bool__(self):
        raise RuntimeError


def test_values_are_converted_as_in_class_bodies():
    C = make(z=0)
    nested, empty, odd = {"x": 1}, {}, NoBool()
    C.update({"d": nested, "e": empty, "f": lambda cls: cls, "g": odd})
    assert type(C.d) is mNUmor and C.d._key == ("x",) and C.d.x == 1
    assert nested == {"x": 1}
    assert C.e is empty and C.g is odd
    assert C.f() is C


def test_every_change_goes_through_class_assignment():
    C = make(Recording, z=0)
    Recording.log.clear()
    C.update({"b": 2, "z": 9})
    assert Recording.log == [("_key", ("z", "b")), ("z", 9), ("b", 2), ("_key", ("z", "b"))]
    Recording.log.clear()
    C.update({})
    assert Recording.log == [("_key", ("z", "b"))] * 2


@pytest.mark.parametrize(
    "data, table, values",
    [
        ({" a ": 1}, ("z", "a"), {"a": 1}),
        ({"a": 1, " a": 2}, ("z", "a"), {"a": 1}),
        ({" a": 2, "a": 1}, ("z", "a"), {"a": 1}),
        ({" a": 1, "a ": 2}, ("z", "a"), {"a": 1}),
        ({" z ": 9}, ("z",), {"z": 9}),
        ({"a": 1}, ("z", "a"), {"z": 0}),
        ({"_key": 5, "a": 1}, ("z", "_key", "a"), {"a": 1}),
    ],
)
def test_each_name_is_added_once_and_takes_best_matching_key(data, table, values):
    C = make(z=0)
    C.update(data)
    assert C._key == table
    for name, value in values.items():
        assert getattr(C, name) == value


class Faulty(dict):
    def __getitem__(self, key):
        if key == "b":
            raise LookupError(key)
        return super().__getitem__(key)


@pytest.mark.parametrize(
    "data, error",
    [
        ({"a": 1, "m": {1: 2}, "b": 2, "z": 5}, TypeError),
        (Faulty(a=1, b=2, z=3), LookupError),
        ({"a": 1, 5: 2}, AttributeError),
    ],
)
def test_failed_read_or_conversion_leaves_class_as_it_was(data, error):
    C = make(z=0, y=1)
    before = snapshot(C)
    with pytest.raises(error) as info:
        C.update(data)
    if error is TypeError:
        assert info.value.args == ("Атрибуты перечисления могут быть только строками",)
    assert_unchanged(C, before)


class Refusing(mmNumor):
    """Raises for the names in `refused` after the change has been made."""

    refused = ()

    def __setattr__(cls, attr, val):
        super().__setattr__(attr, val)
        if attr in cls.refused:
            raise LookupError(attr)

    def __delattr__(cls, attr):
        super().__delattr__(attr)
        if attr in cls.refused:
            raise LookupError(attr)


@pytest.mark.parametrize(
    "refused, op, error",
    [
        ((), lambda C: C.update({"y": 5, "__name__": 5, "b": 1}), TypeError),
        (("r",), lambda C: C.update({"q": 1, "r": 2, "y": 3}), LookupError),
        (("_key",), lambda C: C.update({"q": 1}), LookupError),
        (("r",), lambda C: C.clear(), LookupError),
        (("_key",), lambda C: setattr(C, "q", 1), LookupError),
        (("_key",), lambda C: delattr(C, "y"), LookupError),
    ],
)
def test_failed_change_is_rolled_back(refused, op, error):
    C = make(Refusing, z=0, y=1, r=3)
    type.__setattr__(C, "refused", refused)
    before = snapshot(C)
    with pytest.raises(error):
        op(C)
    assert_unchanged(C, before)


def test_clear_drops_public_members_only():
    C = make(a=1, _p=2, b=3)
    C._other = 4
    C.clear()
    assert C._key == () and len(C) == 0
    assert not hasattr(C, "a") and not hasattr(C, "b")
    assert C._p == 2 and C._other == 4
    C.update({"x": 1})
    C.y = 2
    assert list(C) == [("x", 1), ("y", 2)]


def test_clear_uses_member_named_keys():
    C = make(a=1, b=2, keys=lambda cls: ["a"])
    C.clear()
    assert C._key == ()
    assert not hasattr(C, "a") and C.b == 2


def test_failing_clear_leaves_class_as_it_was():
    C = make(a=1, b=2, c=3)
    type.__delattr__(C, "b")
    with pytest.raises(AttributeError):
        C.clear()
    assert C._key == ("a", "b", "c")
    assert C.a == 1 and C.c == 3
