"""Each fast path that repeats an interpreter rule gives what the generic call gives.

One test per mirror of src/mirrors.cpp; each row is an input built to tell
the mirror and the interpreter's rule apart.
"""

import ctypes
import sys
import warnings
from collections import UserList

import pytest

import numor
from conftest import model_iter, outcome
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


# --- generator.send and generator.throw (Objects/genobject.c) -------------

PAIRS = NUmor({"a": 1, "_b": 2, "c": 3, "__ordo_numor__": ("a", "_b", "c")}, "PAIRS")


class Unraisable(Exception):
    def __init__(self, *args):
        raise KeyError("from __init__")


# What tests/test_iteration.py checks of both already (a thrown exception
# ends the generator, with its traceback) is not repeated here.
GENERATOR_CALLS = [
    ("send", (1,)), ("throw", ()), ("throw", (ValueError, 1, 2, 3)), ("throw", (ValueError, 1)),
    ("throw", (ValueError("v"), 1)), ("throw", (ValueError, None, 2)), ("throw", (3,)),
    ("throw", (Unraisable,)), ("throw", (StopIteration,)), ("throw", (GeneratorExit,)),
]


def reentrant(make, call):
    """A generator whose step makes the call `call` on the generator itself."""
    seen = []

    class M(numor.mNUmor):
        def __getitem__(cls, key):
            method, args = GENERATOR_CALLS[call]
            seen.append(outcome(getattr(it, method), *args))
            return super().__getitem__(key)

    it = make(M("E", (NUmor,), {"a": 1}))
    return it, seen


@pytest.mark.parametrize("state", ["fresh", "started", "finished", "running"])
@pytest.mark.parametrize("call", range(len(GENERATOR_CALLS)))
def test_member_iterator_takes_send_and_throw_as_a_generator_does(state, call):
    thrown = GENERATOR_CALLS[call][1]
    if state == "fresh" and thrown == (StopIteration,) and sys.version_info >= (3, 12):
        pytest.skip("from 3.12 an unstarted generator lets a thrown StopIteration out unconverted "
                    "(an interpreter bug; the member iterator keeps the 3.11 behaviour)")

    throws = GENERATOR_CALLS[call][0] == "throw"
    if state == "running" and throws and sys.version_info[:2] == (3, 12):
        pytest.skip("3.12's throw() into a running Python generator first reads the frame's stale "
                    "next instruction for a `yield from` and can crash (an interpreter bug)")

    def describe(make):
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            if state == "running":
                it, inner = reentrant(make, call)
                seen = [outcome(next, it), inner, outcome(list, it)]
            else:
                it = make(PAIRS)
                for _ in range({"fresh": 0, "started": 1, "finished": 3}[state]):
                    next(it, None)
                method, args = GENERATOR_CALLS[call]
                seen = [outcome(getattr(it, method), *args), outcome(list, it)]
        return seen, [(w.category, str(w.message)) for w in caught]

    assert describe(iter) == describe(model_iter)


# --- `a, b, c = seq` (unpack_iterable), as the factory reads pzUnpack ------


class ItemsOnly:
    """Iterable through __getitem__ alone."""

    def __getitem__(self, i):
        return [["a"], "N", ()][i]


class IterRefuses:
    def __iter__(self):
        raise TypeError("not today")


def three_then_fails():
    yield from (["a"], "N", ())
    raise ZeroDivisionError


@pytest.mark.parametrize("make", [
    lambda: (["a"], "N", ()),
    lambda: iter([["a"], "N", ()]),
    lambda: (["a"], "N", (), 4),
    lambda: [["a"], "N"],
    lambda: dict.fromkeys("abcd"),
    lambda: 5,
    ItemsOnly,
    IterRefuses,
    three_then_fails,
])
def test_factory_unpacks_what_pz_unpack_gives_as_assignment_does(make, monkeypatch):
    def unpack(seq):
        a, b, c = seq
        return a, b, c

    def factory(result):
        monkeypatch.setattr(numor, "pzUnpack", lambda given, defaults: result)
        kind, made = outcome(NUmor)
        return kind, (made._key, made.__name__) if kind == "ok" else made

    kind, items = outcome(unpack, make())
    assert factory(make()) == (factory(items) if kind == "ok" else (kind, items))


# --- the metaclass a class statement picks (_PyType_CalculateMetaclass) ----

OuterMeta = type("OuterMeta", (type,), {})
InnerMeta = type("InnerMeta", (OuterMeta,), {})
OtherMeta = type("OtherMeta", (type,), {})
Outer = OuterMeta("Outer", (), {})
Inner = InnerMeta("Inner", (), {})
Other = OtherMeta("Other", (), {})
Liar = OuterMeta("Liar", (), {"__class__": property(lambda self: OtherMeta)})


@pytest.mark.parametrize("meta, bases", [
    (type, ()), (type, (NUmor,)), (OuterMeta, (Inner,)), (InnerMeta, (Outer,)),
    (OuterMeta, (Other,)), (type, (Outer, Other)), (type, (Inner, Outer, Liar)), (OuterMeta, (3,)),
])
def test_import_picks_the_metaclass_a_class_statement_picks(meta, bases):
    def statement(meta, bases):
        class X(*bases, metaclass=meta):
            pass
        return type(X)

    chosen = ctypes.PyDLL(numor.__file__).numor_winning_metaclass
    chosen.restype = ctypes.py_object
    chosen.argtypes = [ctypes.py_object, ctypes.py_object]
    assert outcome(chosen, meta, bases) == outcome(statement, meta, bases)


# --- `from utilites import ...` at import (import_from of Python/ceval.c) -----

COMPARE = '''
import sys

def describe(read):
    try:
        value = read()
    except Exception as e:
        return (type(e), str(e), getattr(e, "name", None), getattr(e, "path", None),
                getattr(e, "name_from", None))
    return ("ok", value is sys.modules.get("utilites.concat", value))

def statement():
    from utilites import pzUnpack, typOrPz, concat
    return concat

def extension():
    import numor
    return numor.concat

def compare():
    print(describe(statement) == describe(extension) or (describe(statement), describe(extension)))
'''
STUBS = "def pzUnpack(g, d): pass\ndef typOrPz(t, v, d): pass\n"


@pytest.mark.parametrize("source", [
    pytest.param(STUBS, id="missing"),
    pytest.param(STUBS + "del __file__\n", id="no-file"),
    pytest.param(STUBS + "__name__ = 5\n", id="name-not-str"),
    pytest.param(STUBS + "def __getattr__(name):\n    raise KeyError(name)\n", id="getattr-raises"),
    pytest.param(STUBS + "import sys\nsys.modules['utilites.concat'] = lambda seqs: []\n",
                 id="submodule"),
    pytest.param("import compare\ncompare.compare()\n" + STUBS + "def concat(seqs): return []\n",
                 id="being-initialised"),
])
def test_import_binds_the_helpers_as_a_from_import_does(source, tmp_path, run_python):
    (tmp_path / "compare.py").write_text(COMPARE)
    (tmp_path / "utilites.py").write_text(source)
    proc = run_python(f"""
        import sys
        sys.path.insert(0, {str(tmp_path)!r})
        import compare
        if "compare.compare()" in {source!r}:
            import utilites
        else:
            compare.compare()
    """)
    assert proc.stdout == "True\n", proc.stdout + proc.stderr


# --- whether `__class__` is the type (object_get_class) ---------------------


class TwoNames(UserList):
    """The names "b" and "a", in a list-like object that is not a list."""

    def __init__(self):
        super().__init__(["b", "a"])


def claiming(**attrs):
    return type("Claiming", (TwoNames,), attrs)()


def with_own_class_entry():
    obj = TwoNames()
    obj.__dict__["__class__"] = set  # the descriptor of `object` wins over it
    return obj


@pytest.mark.parametrize("make", [
    lambda: claiming(__class__=property(lambda self: set)),
    lambda: claiming(__class__=property(lambda self: list)),
    lambda: claiming(__class__=tuple),
    lambda: claiming(__class__=object.__dict__["__class__"]),
    lambda: claiming(__getattribute__=lambda self, name: list if name == "__class__"
                     else object.__getattribute__(self, name)),
    lambda: claiming(__getattr__=lambda self, name: set),
    with_own_class_entry,
])
def test_factory_takes_data_for_what_isinstance_says_it_is(make):
    obj = make()
    kind, table = outcome(lambda: NUmor(obj)._key)
    if isinstance(obj, (set, frozenset)):
        assert (kind, table) == ("ok", ("a", "b"))  # sorted
    elif isinstance(obj, (list, tuple)):
        assert (kind, table) == ("ok", ("b", "a"))  # in the given order
    else:
        assert kind != "ok"  # taken as a class namespace, which it cannot be
