"""A printed tour of numor. Run it after `pip install .`: python examples/tour.py

Each line shows an expression on the left and what it gives on the right.
The tour passes `mypy --strict`; where it does something on purpose that a
type checker cannot follow (a wrong argument, a member made at run time), it
says so.
"""

import copy
import json
import pickle
from collections.abc import Callable
from typing import Any

import numor
from numor import NUmor, NUmorMutant, is_numor


def show(label: str, value: object) -> None:
    print(f"  {label:<44} {value!r}")


def show_error(label: str, call: Callable[[], object]) -> None:
    try:
        call()
    except Exception as exc:  # the tour prints whatever the call raises
        show(label, exc)
        for note in getattr(exc, "__notes__", ()):  # numor's English notes
            print(f"    {note}")
    else:
        raise AssertionError(f"{label} did not raise")


def section(title: str) -> None:
    print()
    print(f"== {title} ==")


section("Defining an enumeration")
print("  A class derived from NUmor; the class itself is the enumeration.")


class Colour(NUmor):
    RED = 1
    GREEN = 2
    BLUE = 3


show("Colour._key (members, in string order)", Colour._key)
show("Colour.keys()", Colour.keys())
show("Colour.RED, Colour['RED']", (Colour.RED, Colour["RED"]))
show("is_numor(Colour), is_numor(3)", (is_numor(Colour), is_numor(3)))


class Flags(NUmor):
    on = 1
    _off = 0  # an underscore member: counted, but not listed or inherited


show("Flags._key, Flags.keys(), len(Flags)", (Flags._key, Flags.keys(), len(Flags)))

section("Ordering options")


class Mixed(NUmor):
    b = 1
    A = 2
    _c = 3
    a = 4


show("no options: capitals, '_', small letters", Mixed._key)


class Listed(NUmor):
    RED = 1
    GREEN = 2
    BLUE = 3
    __ordo_numor__ = ("RED", "GREEN", "BLUE")


show("__ordo_numor__ = ('RED', 'GREEN', 'BLUE')", Listed._key)


class ByLength(NUmor):
    ccc = 3
    a = 1
    bb = 2
    __ordo_numor_key__ = lambda name: len(name)  # noqa: E731


show("__ordo_numor_key__ = lambda name: len(name)", ByLength._key)


class Backwards(NUmor):
    ccc = 3
    a = 1
    bb = 2
    __ordo_numor_key__ = lambda name: len(name)  # noqa: E731
    __ordo_numor_reverse__ = True


show("... with __ordo_numor_reverse__ = True", Backwards._key)


class Completed(NUmor):
    b = 1
    a = 2
    zz = 3
    __ordo_numor__ = ["zz"]
    __ordo_numor_key__ = lambda name: len(name)  # noqa: E731


show("list ['zz'] plus a key for the rest", Completed._key)


def partial_list() -> object:
    class Partial(NUmor):
        b = 1
        a = 2
        __ordo_numor__ = ["b"]

    return Partial


show_error("list ['b'] alone, 'a' unlisted: TypeError", partial_list)

section("Naming, methods, nested enumerations")


class Shapes(NUmor):
    __numoer_nominis__ = "Figures"  # note the spelling: numoer
    square = 4
    sizes = {"small": 1, "large": 9}  # becomes a nested enumeration
    empty: dict[str, int] = {}  # an empty dict stays a dict

    def describe(cls: Any) -> str:  # a plain function becomes a class method
        return f"{cls.__name__} with {len(cls)} members"


show("Shapes.__name__ (from __numoer_nominis__)", Shapes.__name__)
show("Shapes._key (the method is a member)", Shapes._key)
show("Shapes['describe']()", Shapes["describe"]())
show("Shapes['sizes']._key", Shapes["sizes"]._key)
show("Shapes['sizes']['large']", Shapes["sizes"]["large"])
show("Shapes.empty", Shapes.empty)

section("Inheritance and merging")


class Base(NUmor):
    x = 1
    _p = 2
    y = 3


class Derived(Base):
    y = 20
    z = 30


show("Derived._key (own members, then inherited)", Derived._key)
show("Derived.x, Derived.y", (Derived.x, Derived.y))
show("'_p' in Derived (not inherited)", "_p" in Derived)


class Left(NUmor):
    p = 1
    q = 2


class Right(NUmor):
    q = 20
    r = 30


class Both(Left, Right):
    pass


show("Both(Left, Right)._key", Both._key)
show("Both.q (the first base wins)", Both.q)
show("Both.__bases__ == (NUmor,)", Both.__bases__ == (NUmor,))

section("Building enumerations from data (the factory)")
Names = NUmor(["beta", "alpha"], "Names")
show("NUmor(['beta', 'alpha'], 'Names')._key", Names._key)
show("Names['beta'] (a value is its own name)", Names["beta"])
show("NUmor({'y', 'x'})._key (a set is sorted)", NUmor({"y", "x"})._key)
show("NUmor({'x': 1, 'y': 2})['y'] (a body)", NUmor({"x": 1, "y": 2})["y"])
show("NUmor(['a'], name='K').__name__", NUmor(["a"], name="K").__name__)
show("NUmor().__name__, NUmor()._key", (NUmor().__name__, NUmor()._key))
Pinks = Colour(["PINK"])
show("Colour(['PINK'])._key (derives from Colour)", Pinks._key)
show("type(NUmorMutant(['a'])).__name__", type(NUmorMutant(["a"])).__name__)
show("NUmor(base=(Left, Right))._key", NUmor(base=(Left, Right), name="LR")._key)

section("Reading an enumeration")


class E(NUmor):
    a = 1
    _b = 2
    c = 3
    __ordo_numor__ = ("a", "_b", "c")


show("E._key", E._key)
show("len(E) (underscore members count)", len(E))
show("list(E) (public members only)", list(E))
show("dict(E)", dict(E))
show("E.values() (all members)", E.values())
show("E['a'], E['_b'] (by name: the value)", (E["a"], E["_b"]))
show("E[0], E[1], E[-1] (by position: the name)", (E[0], E[1], E[-1]))
show("E.index('c'), E.index(1)", (E.index("c"), E.index(1)))
show("'a' in E, 2 in E, 3 in E, -1 in E", ("a" in E, 2 in E, 3 in E, -1 in E))
show("E.get('c'), E.get(0), E.get('zz', 0)", (E.get("c"), E.get(0), E.get("zz", 0)))
show("E[0:2]._key", E[0:2]._key)
show("E[::2]._key", E[::2]._key)
show("E[-1:]._key (positions -1, 0, 1, 2)", E[-1:]._key)
show("E[::-1]._key (range(0, 3, -1) is empty)", E[::-1]._key)
show("E[0:2].__name__ (named like E)", E[0:2].__name__)
show_error("E['zz']", lambda: E["zz"])  # type: ignore[attr-defined]  # on purpose
show_error("E[3]", lambda: E[3])
show_error("E[1:5] (no clipping)", lambda: E[1:5])
show_error("E.index('zz')", lambda: E.index("zz"))

section("Combining and showing")


class Sizes(NUmor):
    small = 1
    RED = 99  # Colour's RED wins in the sum


Sum = Colour + Sizes
show("(Colour + Sizes).__name__", Sum.__name__)
show("(Colour + Sizes)._key", Sum._key)
show("Sum['RED'] (Colour's value)", Sum["RED"])
show_error("Colour + 1", lambda: Colour + 1)  # type: ignore[operator]  # on purpose
show("str(Colour), f'{Colour}'", (str(Colour), f"{Colour}"))
show("repr(Colour) is '<NUmor(name): id>'", repr(Colour) == f"<NUmor(Colour): {id(Colour)}>")
show("dir(E) (members only, sorted)", dir(E))
show("type(E).__dir__(E) (member order)", type(E).__dir__(E))
show("bool(NUmor), bool(Colour)", (bool(NUmor), bool(Colour)))

section("Mutable enumerations")


class Live(NUmorMutant):
    z = 0


Live.extra = 5
show("Live.extra = 5", Live._key)
Live.z = 10
show("Live.z = 10 (keeps its place)", (Live._key, Live.z))
Live._hidden = 1
show("Live._hidden = 1 (not a member)", Live._key)
Live.table = {"a": 1}
show("Live.table = {...} (stored as a dict)", type(Live["table"]).__name__)
del Live.extra  # type: ignore[attr-defined]  # a member made at run time
del Live["table"]
show("del Live.extra; del Live['table']", Live._key)
Live.update({"b": 2, "a": 1, "z": 9})
show("update({'b': 2, 'a': 1, 'z': 9})", (Live._key, Live.z))
Live.update({" c ": 3, "d": {"x": 1}, "1x": 0})
show("update({' c ': 3, 'd': {...}, '1x': 0})", Live._key)
show("Live['c'], Live['d']['x']", (Live["c"], Live["d"]["x"]))
show_error("update with a nested {1: ...}", lambda: Live.update({"f": 1, "g": {1: 2}}))
show("... changes nothing", Live._key)
Live.clear()
show("Live.clear()", (Live._key, len(Live)))
Colour.PINK = 4  # type: ignore[attr-defined]  # a fixed enumeration: just an attribute
show("Colour.PINK = 4 on a fixed enumeration", Colour._key)
del Colour.PINK  # type: ignore[attr-defined]

section("Errors (numor's messages are in Russian)")
# The calls below are wrong on purpose, so the type checker is told to look away.
show_error("NUmor(['a'], 5)", lambda: NUmor(["a"], 5))  # type: ignore[call-overload]
print("    (the message in English: the enumeration's name can only be a string)")
show_error("NUmor([1])", lambda: NUmor([1]))  # type: ignore[list-item]
print("    (the message in English: the enumeration's attributes can only be strings)")
instance = object.__new__(Colour)  # nothing in numor makes instances


def set_on_instance() -> None:
    instance.x = 1


def delete_on_instance() -> None:
    del instance.RED


show_error("instance.x = 1", set_on_instance)
print("    (the message in English: adding new attributes to an enumeration is forbidden!)")
show_error("del instance.RED", delete_on_instance)
print("    (the message in English: deleting attributes from an enumeration is forbidden!)")

section("With the standard library")
show("pickle round trip of Colour is Colour", pickle.loads(pickle.dumps(Colour)) is Colour)
show("copy.deepcopy(Colour) is Colour", copy.deepcopy(Colour) is Colour)
show("json.dumps(dict(Colour))", json.dumps(dict(Colour)))
show("numor.__all__", numor.__all__)
