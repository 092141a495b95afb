"""Calling an enumeration class builds a new enumeration class from data."""
import sys
import types

import pytest

import numor
from numor import NUmor, NUmorMutant, mNUmor, mmNumor

NAME_MSG = "Наименование перечисления может быть только строкой"
ITEM_MSG = "Атрибуты перечисления могут быть только строками"
SET_MSG = "В перечисление запрещено добавлять новые атрибуты!"
DEL_MSG = "Из перечисления запрещено удалять атрибуты!"

calls = []


class Recording(mNUmor):
    def __new__(mcls, name, bases, dct, **kw):
        calls.append((name, bases, dct, dict(dct) if isinstance(dct, dict) else dct))
        return super().__new__(mcls, name, bases, dct)


class Rec(NUmor, metaclass=Recording):
    pass


class S(str):
    pass


class FS(frozenset):
    pass


def test_no_arguments_builds_memberless_subclass_named_after_caller():
    E = NUmor()
    assert (type(E), E.__name__, E.__bases__, E._key) == (mNUmor, "NUmor", (NUmor,), ())
    Rec()
    assert calls[-1][:2] + calls[-1][3:] == ("Rec", (Rec,), {"__ordo_numor__": ()})


@pytest.mark.parametrize(
    "data, members",
    [(["b", "a", "b"], ["b", "a"]), (("b", "a", "b"), ["b", "a"]), (["x", "__ordo_numor__"], ["x"])],
)
def test_sequence_data_gives_new_namespace_with_its_order_last(data, members):
    E = Rec(data)
    _, _, dct, ns = calls[-1]
    assert dct is not data and ns["__ordo_numor__"] is data
    assert list(ns.items()) == [(x, x) for x in members] + [("__ordo_numor__", data)]
    assert E._key == tuple(members)


@pytest.mark.parametrize("kind", [set, frozenset, FS])
def test_set_data_becomes_sorted_list(kind):
    assert Rec(kind("bca"))._key == ("a", "b", "c")
    assert calls[-1][3]["__ordo_numor__"] == ["a", "b", "c"]
    assert type(calls[-1][3]["__ordo_numor__"]) is list


def test_mapping_and_other_data_are_the_namespace_itself():
    d = {"x": 1}
    assert Rec(d, "Q").x == 1
    assert calls[-1][2] is d and calls[-1][3] == {"x": 1} and d["_key"] == ("x",)
    with pytest.raises(TypeError):  # the metaclass cannot subscribe a str by name
        Rec("ab")
    assert calls[-1][2] == "ab"


A, B = NUmor(["p", "q"], "A"), NUmor(["q", "r"], "B")


@pytest.mark.parametrize(
    "args, kwargs, name, bases",
    [
        ((["a"], "Colour"), {}, "Colour", (NUmor,)),
        ((["a"],), {"name": "Colour"}, "Colour", (NUmor,)),
        ((["a"], "X"), {"name": "Y", "colour": 1, "data": 2}, "Y", (NUmor,)),
        ((["a"], ""), {}, "NUmor", (NUmor,)),
        ((["a"], "X"), {"name": ""}, "NUmor", (NUmor,)),
        ((["a"], "X", (A,)), {}, "X", (A,)),
        ((["a"], "X", (B,)), {"base": (A,)}, "X", (A,)),
        ((["a"], "X"), {"base": 0}, "X", (NUmor,)),
    ],
)
def test_keywords_win_over_positions_and_false_values_mean_caller(args, kwargs, name, bases):
    E = NUmor(*args, **kwargs)
    assert (E.__name__, E.__bases__, E._key[0]) == (name, bases, "a")


def test_base_and_name_keywords_reach_metaclass_unchanged():
    Rec(base=(A, B), name="A_B")
    assert calls[-1][:2] == ("A_B", (A, B)) and calls[-1][3] == {"__ordo_numor__": ()}
    C = NUmor(base=(A, B), name="A_B")
    assert (C.__name__, C.__bases__, C._key) == ("A_B", (NUmor,), ("p", "q", "r"))


@pytest.mark.parametrize("base, meta", [(NUmor, mNUmor), (NUmorMutant, mmNumor)])
def test_calling_an_enumeration_derives_from_it_with_its_metaclass(base, meta):
    E = base(["a"], "E")
    F = E(["c"])
    assert (type(F), F.__name__, F.__bases__, F._key) == (meta, "E", (E,), ("c", "a"))


@pytest.mark.parametrize(
    "args, kwargs, msg",
    [
        ((["a"], 5), {}, NAME_MSG),
        ((["a"], None), {}, NAME_MSG),
        ((["a"], S("x")), {}, NAME_MSG),
        ((["a"], "ok"), {"name": b"x"}, NAME_MSG),
        (([1], 5), {}, NAME_MSG),  # the name is checked first
        (([1],), {}, ITEM_MSG),
        ((["a", S("b")],), {}, ITEM_MSG),
        (({1: "x"},), {}, ITEM_MSG),
        (({"a", 1},), {}, ITEM_MSG),
        ((5,), {}, "'int' object is not iterable"),
    ],
)
def test_names_and_items_must_be_exactly_str(args, kwargs, msg):
    with pytest.raises(TypeError) as info:
        NUmor(*args, **kwargs)
    assert type(info.value) is TypeError and info.value.args == (msg,)


class Delegating(NUmor):
    @classmethod
    def __call__(cls, *arg, **args):
        return ("called", cls, arg, args)


def test_class_bound_call_takes_over_and_method_type_is_read_each_time(monkeypatch):
    assert Delegating([1], 5, name=None, x=1) == ("called", Delegating, ([1], 5), {"name": None, "x": 1})
    monkeypatch.setattr(numor, "MethodType", int)
    assert Delegating(["a"]).__bases__ == (Delegating,)
    monkeypatch.setattr(numor, "MethodType", types.MethodType)
    assert Delegating()[0] == "called"


def test_positional_arguments_are_read_through_module_pz_unpack(monkeypatch):
    seen, original = [], numor.pzUnpack
    monkeypatch.setattr(numor, "pzUnpack", lambda *a: seen.append(a) or original(*a))
    data = ["a"]
    NUmor(data, "N")
    NUmor(name="M")
    assert seen[0][0] == (data, "N") and seen[0][0][0] is data and seen[1][0] == ()
    assert seen[0][1] == seen[1][1] == ((), "", ()) and seen[0][1] is not seen[1][1]


@pytest.mark.parametrize(
    "op, msg",
    [
        (lambda i: setattr(i, "x", 1), SET_MSG),
        (lambda i: setattr(i, "__class__", Rec), SET_MSG),
        (lambda i: delattr(i, "x"), DEL_MSG),
        (lambda i: delattr(i, "__class__"), DEL_MSG),
    ],
)
@pytest.mark.parametrize("cls", [NUmor, Rec, NUmorMutant])
def test_instances_refuse_every_attribute_change(cls, op, msg):
    inst = object.__new__(cls)
    with pytest.raises(AttributeError) as info:
        op(inst)
    assert info.value.args == (msg,) and type(inst) is cls and not hasattr(inst, "x")


class Colour(NUmor):
    RED = 1


class Shades(NUmor):
    Green = 1
    blue = 2
    green = 3
    greenish_blue_tone = 4


class Live(NUmorMutant):
    a = 1


def settings_table():
    class Settings(NUmor):
        db = {"conn": {"opts": {1: "x"}}}


def delete_ahead_while_iterating():
    class Jobs(NUmorMutant):
        a = 1
        b = 2
    for name, _ in Jobs:
        del Jobs.b


def read_deleted_member():
    class Fixed(NUmor):
        x = 1
    del Fixed.x
    return dict(Fixed)


def miss_in_a_table_that_is_a_list():
    # No note can be made: the KeyError stands as it is.
    class Listed(NUmor):
        RED = 1
    Listed._key = ["RED"]
    Listed["REDD"]


@pytest.mark.parametrize("mistake, exc, arg, notes", [
    (lambda: NUmor(["a"], 5), TypeError, NAME_MSG, ["must be exactly a str, not int"]),
    (lambda: NUmor(["a", S("b")]), TypeError, ITEM_MSG, ["item 1 of the data, 'b', is S,"]),
    (settings_table, TypeError, ITEM_MSG, [
        "key 1 of the dict is int", "member 'opts' of NUmor", "member 'conn' of NUmor",
        "member 'db' of Settings"]),
    (lambda: Live.update({"g": {2: 3}}), TypeError, ITEM_MSG, ["key 2 of", "member 'g' of Live"]),
    (lambda: Live.update({1: 2}), AttributeError, "'int' object has no attribute 'strip'",
     ["must be str; key 1 is int"]),
    (lambda: Colour("RED"), TypeError, None, [("subscribe: Colour['RED']", "Colour(['RED'])")]),
    (lambda: NUmor({" a ": 1}), KeyError, "a", ["'a' was stripped from a key with white space"]),
    (lambda: NUmor(404), TypeError, "'int' object is not iterable", [("not int", "NUmor[404]")]),
    (lambda: setattr(object.__new__(Colour), "RED", 5), AttributeError, SET_MSG,
     [("assignment and deletion on an instance of Colour are refused", "the class Colour")]),
    (lambda: delattr(object.__new__(Colour), "RED"), AttributeError, DEL_MSG,
     ["assignment and deletion on an instance of Colour are refused"]),
    (lambda: Colour + 3, TypeError, 3, ["+ takes another enumeration class, and here got int"]),
    (lambda: Colour[99], KeyError, 99, [("an int key is a position", "valid range is -1 to 0")]),
    (lambda: Colour["REDD"], KeyError, "REDD", ["Colour has no member 'REDD'; did you mean 'RED'?"]),
    (lambda: Colour["PINK"], KeyError, "PINK", ["none of its 1 member has a name close to it"]),
    (lambda: Colour[1.5], KeyError, 1.5, [("takes a member name (str), a position (int)", "got float")]),
    (delete_ahead_while_iterating, KeyError, "b",
     [("member 'b' of Jobs was removed while Jobs was being iterated", "list(Jobs)")]),
    (read_deleted_member, KeyError, "x", ["'x' is in Fixed._key, but Fixed has no attribute 'x'"]),
    (lambda: Shades["gren"], KeyError, "gren", ["did you mean 'green', 'Green'?"]),
    (lambda: Shades["lime"], KeyError, "lime", ["none of its 4 members has a name close to it"]),
    (miss_in_a_table_that_is_a_list, KeyError, "REDD", []),
])
def test_mistakes_keep_their_exception_and_gain_a_note_naming_the_culprit(mistake, exc, arg, notes):
    with pytest.raises(exc) as info:
        mistake()
    if arg is not None:
        assert info.value.args == (arg,)
    written = getattr(info.value, "__notes__", [])
    assert len(written) == len(notes), written
    for note, parts in zip(written, notes):
        parts = (parts,) if isinstance(parts, str) else parts
        assert note.startswith("numor: ") and all(part in note for part in parts), note
