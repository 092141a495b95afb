"""A short, printed tour of numor. Run it after `pip install .`."""

import numor
from numor import NUmor, NUmorMutant, is_numor


def show(label, value):
    print(f"{label:<34} {value!r}")


print("== Defining an enumeration ==")


class Colour(NUmor):
    RED = 1
    GREEN = 2
    BLUE = 3


show("Colour._key (string order)", Colour._key)
show("Colour.keys()", Colour.keys())
show("Colour.RED", Colour.RED)
show("is_numor(Colour)", is_numor(Colour))


class Ordered(NUmor):
    RED = 1
    GREEN = 2
    BLUE = 3
    __ordo_numor__ = ("RED", "GREEN", "BLUE")  # explicit order


show("Ordered._key", Ordered._key)


class ByLength(NUmor):
    ccc = 3
    a = 1
    bb = 2
    __ordo_numor_key__ = lambda name: len(name)  # noqa: E731
    __ordo_numor_reverse__ = True


show("ByLength._key (key, reversed)", ByLength._key)


class Shapes(NUmor):
    __numoer_nominis__ = "Figures"  # the class name to use
    square = 4
    _hidden = 0  # an underscore member: counted, not listed by keys()
    sizes = {"small": 1, "large": 9}  # a nested enumeration

    def describe(cls):  # plain functions become class methods
        return f"{cls.__name__} with {len(cls)} members"


show("Shapes.__name__", Shapes.__name__)
show("Shapes._key", Shapes._key)
show("Shapes.keys()", Shapes.keys())
show("Shapes.sizes._key", Shapes.sizes._key)
show("Shapes.describe()", Shapes.describe())


class Base(NUmor):
    x = 1
    y = 2


class Derived(Base):
    y = 20
    z = 30


show("Derived._key (own, then inherited)", Derived._key)
show("Derived.x, Derived.y", (Derived.x, Derived.y))

print()
print("== Building enumerations from data ==")
Names = NUmor(["beta", "alpha"], "Names")
show("NUmor(['beta', 'alpha'], 'Names')", Names._key)
show("NUmor({'y', 'x'})._key (sorted)", NUmor({"y", "x"})._key)
show("NUmor({'x': 1}).x", NUmor({"x": 1}).x)

print()
print("== Reading an enumeration ==")


class E(NUmor):
    a = 1
    _b = 2
    c = 3
    __ordo_numor__ = ("a", "_b", "c")


show("len(E)", len(E))
show("list(E)", list(E))
show("dict(E)", dict(E))
show("E['a'], E[0], E[-1]", (E["a"], E[0], E[-1]))
show("'a' in E, 2 in E, 'zz' in E", ("a" in E, 2 in E, "zz" in E))
show("E.values()", E.values())
show("E.get('zz', 0), E.index('c')", (E.get("zz", 0), E.index("c")))
show("E[0:2]._key", E[0:2]._key)
show("E[-1:]._key (negative start)", E[-1:]._key)
try:
    E["zz"]
except KeyError as exc:
    show("E['zz'] raises", exc)

print()
print("== Combining and showing ==")


class Sizes(NUmor):
    small = 1
    RED = 99  # hidden by Colour's RED in the sum


Sum = Colour + Sizes
show("(Colour + Sizes).__name__", Sum.__name__)
show("(Colour + Sizes)._key", Sum._key)
show("Sum.RED (Colour's value)", Sum.RED)
show("str(Colour)", str(Colour))
show("repr(Colour) starts with", repr(Colour).split(":")[0])
show("bool(NUmor), bool(Colour)", (bool(NUmor), bool(Colour)))
show("type(E).__dir__(E)", type(E).__dir__(E))

print()
print("== Mutable enumerations ==")


class Live(NUmorMutant):
    z = 0


Live.extra = 5
show("after Live.extra = 5", Live._key)
Live.update({"b": 2, "a": 1})
show("after update({'b': 2, 'a': 1})", Live._key)
del Live.extra
show("after del Live.extra", Live._key)
del Live["a"]
show("after del Live['a']", Live._key)
Live.clear()
show("after clear()", Live._key)

print()
print("== Errors (messages are in Russian) ==")
for call in (lambda: NUmor(["a"], 5), lambda: NUmor([1])):
    try:
        call()
    except TypeError as exc:
        show("TypeError", str(exc))
instance = object.__new__(Colour)
try:
    instance.x = 1
except AttributeError as exc:
    show("AttributeError", str(exc))
show("numor.__all__", numor.__all__)
