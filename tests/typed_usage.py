"""Typed use of numor: checked with `mypy --strict` (with the numor_mypy plugin) and also executed.

Each `assert_type` states what a type checker must infer from the stubs;
the plain `assert`s next to them check that the running module agrees.
"""

from collections.abc import Generator
from typing import Any, assert_type

import utilites
from numor import NUmor, NUmorMutant, is_numor, mNUmor


class Colour(NUmor):
    RED = 1
    GREEN = 2
    BLUE = 3
    __ordo_numor__ = ("RED", "GREEN", "BLUE")


class Tally(NUmor):
    a = 1
    b = 2

    @classmethod  # optional at run time; it tells a type checker what happens
    def total(cls) -> int:
        return sum(cls[name] for name in ("a", "b"))


class Shape(NUmor):
    class sizes(NUmor):  # a nested enumeration written as a class statement
        small = 1
        large = 9

    square = 4


class Live(NUmorMutant):
    a = 1


# Plain assignments of a subscription, which mypy alone takes for type
# aliases; the plugin (numor_mypy) makes them variables of the right type.
red = Colour["RED"]
first = Colour[0]
tail = Colour[1:]
key = "GREEN"
green = Colour[key]


class Palette:
    red = Colour["RED"]
    chosen = Colour[key]
    last = Colour[-1]


def subscription(name: str, n: int) -> None:
    value = Colour[name]
    assert_type(value, Any)
    blue = Colour["BLUE"]
    assert_type(blue, int)
    position = Colour[n - 1]
    assert_type(position, str)
    every_other = Colour[::2]
    assert_type(every_other, type[NUmor])
    assert_type(red, int)
    assert_type(Palette.red, int)
    assert_type(first, str)
    assert_type(tail, type[NUmor])
    assert_type(Palette.last, str)
    assert (red, first, tail._key, green, Palette.last) == (1, "RED", ("GREEN", "BLUE"), 2, "BLUE")
    assert (value, blue, position, every_other._key) == (1, 3, "BLUE", ("RED", "BLUE"))
    assert Palette.chosen == 2


def lookups() -> None:
    assert_type(Colour["RED"], int)
    assert_type(Colour.get("PINK"), Any)
    assert_type(Colour.get("RED"), int)
    assert_type(Colour.get("RED", ""), int | str)
    assert (Colour.get("RED"), Colour.get("PINK", "")) == (1, "")
    assert_type(Colour[0], str)
    assert_type(Colour[1:], type[NUmor])
    same: type[Shape] = Colour[Shape]
    assert_type(Colour.index("GREEN"), int)
    assert_type(Colour.index(2), str)
    assert_type(Colour.get(5), str | None)
    assert_type(Colour.get(5, ""), str)
    assert_type(Colour.get(0, 1), str | int)
    assert_type(iter(Colour), Generator[tuple[str, Any], None, None])
    assert_type(Colour.keys(), list[str])
    assert_type(Colour.values(), tuple[Any, ...])
    assert_type(Colour._key, tuple[str, ...])
    assert_type(len(Colour), int)
    assert_type("RED" in Colour, bool)
    assert_type(Tally.total(), int)
    assert (Colour[0], Colour.index(2), Colour.get(5, "")) == ("RED", "BLUE", "")
    assert Tally.total() == 3 and same is Shape
    names: list[str] = []
    for name, value in Colour:
        assert_type(name, str)
        names.append(name)
    assert names == Colour.keys() == ["RED", "GREEN", "BLUE"]
    as_dict: dict[str, Any] = dict(Colour)
    assert as_dict == {"RED": 1, "GREEN": 2, "BLUE": 3}
    assert Shape.sizes.small == 1 and Shape.keys() == ["sizes", "square"]


def building() -> None:
    names = NUmor(["b", "a"], "Names")
    assert_type(names, type[NUmor])
    assert_type(Colour(["x"]), type[Colour])
    assert_type(Live(["x"]), type[Live])
    assert_type(NUmor({"x": 1}, name="X"), type[NUmor])
    assert_type(NUmor(base=(Colour, Shape), name="Both"), type[NUmor])
    assert_type(NUmor(["x"], "X", (Colour,)), type[NUmor])
    assert_type(Colour + Shape, type[NUmor])
    assert names._key == ("b", "a") and names.__name__ == "Names"
    assert issubclass(Live(["x"]), Live)
    assert (Colour + Shape).__name__ == "Colour_Shape"


def mutating() -> None:
    Live.extra = 5  # mutable enumerations accept new attributes
    Live.update({"b": 2})
    assert Live._key == ("a", "extra", "b")
    assert Live["extra"] == 5
    del Live["extra"]
    Live.clear()
    assert len(Live) == 0


def checking(obj: object) -> list[str]:
    if is_numor(obj):
        assert_type(obj, mNUmor)
        return obj.keys()
    return []


def helpers() -> None:
    assert_type(utilites.concat([[1], [2]]), list[int])
    assert_type(utilites.typOrPz(int, None, 0), int)
    assert utilites.concat([[1], [2]]) == [1, 2]


if __name__ == "__main__":
    lookups()
    subscription("RED", 0)
    building()
    mutating()
    assert checking(Colour) == ["RED", "GREEN", "BLUE"] and checking(3) == []
    helpers()
    print("typed usage ok")
