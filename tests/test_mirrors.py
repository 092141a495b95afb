"""Each fast path that repeats an interpreter rule gives what the generic call gives.

One test per mirror of src/mirrors.cpp; each row is an input built to tell
the mirror and the interpreter's rule apart.
"""

import ctypes

import pytest

import numor
from conftest import outcome
from numor import NUmor, NUmorMutant


# --- class attribute lookup (type_getattro) -------------------------------


def meta_data_descriptor():
    class M(numor.mNUmor):
        RED = property(lambda cls: "from the metaclass")

    class E(NUmor, metaclass=M):
        RED = 1

    return E


def meta_data_descriptor_added_later():
    class M(numor.mNUmor):
        pass

    class E(NUmor, metaclass=M):
        RED = 1

    assert E["RED"] == 1  # the metaclass's facts are recorded first
    M.RED = property(lambda cls: "from the metaclass")
    return E


def meta_plain_attribute():
    class M(numor.mNUmor):
        RED = "from the metaclass"

    class E(NUmor, metaclass=M):
        RED = 1

    return E


def meta_getattribute():
    class M(numor.mNUmor):
        def __getattribute__(cls, name):
            if name == "RED":
                return "from __getattribute__"
            return super().__getattribute__(name)

    class E(NUmor, metaclass=M):
        RED = 1

    return E


def member_is_descriptor():
    class E(NUmor):
        RED = property(lambda self: 1)

    return E


def member_is_function():
    class E(NUmor):
        def RED(cls):
            return cls

    return E


@pytest.mark.parametrize(
    "make",
    [
        meta_data_descriptor,
        meta_data_descriptor_added_later,
        meta_plain_attribute,
        meta_getattribute,
        member_is_descriptor,
        member_is_function,
    ],
)
def test_member_value_is_what_getattr_finds(make):
    E = make()
    expected = getattr(E, "RED")
    assert E["RED"] == expected
    assert E.get("RED") == expected
    assert E.values()[E._key.index("RED")] == expected


# --- type.__new__'s checks of its first argument (tp_new_wrapper) ----------

CStructMeta = type(ctypes.Structure)


class OwnNew(type):
    def __new__(mcls, *args):
        return type.__new__(mcls, *args)


class OwnNewOverC(CStructMeta):
    def __new__(mcls, *args):
        return super().__new__(mcls, *args)


@pytest.mark.parametrize(
    "cls", [3, int, CStructMeta, OwnNewOverC, OwnNew, type("Plain", (type,), {})]
)
def test_metaclass_new_checks_cls_as_type_new_does(cls):
    def describe(f):
        kind, r = outcome(f, cls, "N", (), {})
        return (kind, type(r) if kind == "ok" else r)

    assert describe(numor.mNUmor.__new__) == describe(type.__new__)


# --- type.__setattr__'s check of its first argument (hackcheck) ------------


class CStruct(ctypes.Structure):
    pass


class PySetattrMeta(type):
    def __setattr__(cls, name, value):
        type.__setattr__(cls, name, value)


@pytest.mark.parametrize(
    "make",
    [
        lambda: CStruct,
        lambda: 3,
        lambda: int,
        lambda: type("Plain", (), {"_key": ()}),
        lambda: PySetattrMeta("WithHook", (), {"_key": ()}),
        lambda: NUmorMutant(["a"], "E"),
    ],
)
def test_mutable_setattr_checks_its_target_as_type_setattr_does(make):
    def describe(f):
        target = make()
        kind, r = outcome(f, target, "x", 1)
        return (kind, r if kind != "ok" else getattr(target, "x"))

    assert describe(numor.mmNumor.__setattr__) == describe(type.__setattr__)


# --- the generic slot dispatchers the direct slots stand in for ------------

OPERATIONS = {
    "getitem": (lambda E: E["b"], lambda E: type(E).__getitem__(E, "b")),
    "len": (len, lambda E: type(E).__len__(E)),
    "contains": (lambda E: "b" in E, lambda E: type(E).__contains__(E, "b")),
    "iter": (list, lambda E: list(type(E).__iter__(E))),
    # Iteration subscribes the class for each public name.
    "items": (list, lambda E: [(n, E[n]) for n in E._key if not n.startswith("_")]),
}
DUNDER = {
    "getitem": "__getitem__",
    "len": "__len__",
    "contains": "__contains__",
    "iter": "__iter__",
    "items": "__getitem__",
}
REPLACEMENT = {
    "getitem": lambda cls, key: "replaced",
    "len": lambda cls: 99,
    "contains": lambda cls, key: False,
    "iter": lambda cls: iter([("replaced", 0)]),
    "items": lambda cls, key: "replaced",
}


def plain(op):
    return NUmor(["a", "b"], "E")


def mutable(op):
    return NUmorMutant(["a", "b"], "E")


def overridden_in_body(op):
    M = type("M", (numor.mNUmor,), {DUNDER[op]: REPLACEMENT[op]})
    return M("E", (NUmor,), {"a": 1, "b": 2})


def overridden_after_creation(op):
    M = type("M", (numor.mNUmor,), {})
    E = M("E", (NUmor,), {"a": 1, "b": 2})
    OPERATIONS[op][0](E)
    setattr(M, DUNDER[op], REPLACEMENT[op])
    return E


def overridden_then_deleted(op):
    M = type("M", (numor.mNUmor,), {DUNDER[op]: REPLACEMENT[op]})
    E = M("E", (NUmor,), {"a": 1, "b": 2})
    OPERATIONS[op][0](E)
    delattr(M, DUNDER[op])
    return E


def super_call_in_derived(op):
    def call_super(cls, *args):
        return getattr(super(M, cls), DUNDER[op])(*args)

    M = type("M", (numor.mmNumor,), {DUNDER[op]: call_super})
    return M("E", (NUmorMutant,), {"a": 1, "b": 2})


@pytest.mark.parametrize("op", sorted(OPERATIONS))
@pytest.mark.parametrize(
    "make",
    [plain, mutable, overridden_in_body, overridden_after_creation, overridden_then_deleted,
     super_call_in_derived],
)
def test_protocol_slot_calls_what_the_metaclass_method_is(make, op):
    E = make(op)
    fast, generic = OPERATIONS[op]
    assert outcome(fast, E) == outcome(generic, E)


@pytest.mark.parametrize("op", sorted(OPERATIONS))
def test_protocol_slot_follows_a_rebound_method_of_the_metaclass_itself(op):
    E = NUmor(["a", "b"], "E")
    fast, generic = OPERATIONS[op]
    original = numor.mNUmor.__dict__[DUNDER[op]]
    setattr(numor.mNUmor, DUNDER[op], REPLACEMENT[op])
    try:
        assert outcome(fast, E) == outcome(generic, E)
    finally:
        setattr(numor.mNUmor, DUNDER[op], original)
    assert outcome(fast, E) == outcome(generic, E)
