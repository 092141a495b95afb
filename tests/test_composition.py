"""Adding enumerations together, and how an enumeration presents itself."""
import pytest

import numor
from numor import NUmor, NUmorMutant, mNUmor

Colors = NUmor({"red": "R", "green": "G", "_x": "X", "__ordo_numor__": ("red", "green", "_x")}, "Colors")
Sizes = NUmorMutant({"small": 1, "red": 2, "__ordo_numor__": ("small", "red")}, "Sizes")


def members(cls):
    return [(n, getattr(cls, n)) for n in cls._key]


@pytest.mark.parametrize(
    "left, right, name, expected",
    [
        (Colors, Sizes, "Colors_Sizes", [("red", "R"), ("green", "G"), ("small", 1)]),
        (Sizes, Colors, "Sizes_Colors", [("small", 1), ("red", 2), ("green", "G")]),
        (Colors, Colors, "Colors_Colors", [("red", "R"), ("green", "G")]),
        (Colors, NUmor, "Colors_NUmor", [("red", "R"), ("green", "G")]),
        (NUmor, NUmor, "NUmor_NUmor", []),
    ],
)
def test_sum_has_public_members_of_left_then_new_ones_of_right(left, right, name, expected):
    total = left + right
    assert (type(total), total.__name__, total.__bases__) == (mNUmor, name, (NUmor,))
    assert members(total) == expected


def test_sum_does_not_follow_later_changes_of_a_mutable_operand():
    M = NUmorMutant(["p"], "M")
    total = Colors + M
    M.q = 1
    del M.p
    assert total._key == ("red", "green", "p")


def test_sum_calls_module_numor_with_base_and_name_keywords_only(monkeypatch):
    seen = []
    monkeypatch.setattr(numor, "NUmor", lambda *a, **k: seen.append((a, list(k.items()))) or "made")
    assert Colors + Sizes == "made"
    assert seen == [((), [("base", (Colors, Sizes)), ("name", "Colors_Sizes")])]


@pytest.mark.parametrize("value", [1, "Colors", (1, 2), None, mNUmor])
def test_adding_a_non_enumeration_raises_type_error_of_that_value(value):
    with pytest.raises(TypeError) as info:
        Colors + value
    assert type(info.value) is TypeError and info.value.args == (value,)


def test_reflected_addition_is_not_supported():
    with pytest.raises(TypeError, match=r"unsupported operand type\(s\) for \+: 'int' and 'mNUmor'"):
        1 + Colors


class Named(NUmor):
    b, a, _c = 1, 2, 3
    __ordo_numor__ = ("b", "a", "_c")
    __numoer_nominis__ = "Shown"


def test_dir_lists_members_only_and_builtin_dir_sorts_them():
    assert (type(Named).__dir__(Named), dir(Named), dir(NUmor)) == (["b", "a", "_c"], ["_c", "a", "b"], [])


@pytest.mark.parametrize(
    "cls, expected",
    [(NUmor, False), (NUmorMutant, False), (NUmor(["_x"]), True), (Named, True), (Named[:0], False)],
)
def test_truth_counts_underscore_members(cls, expected):
    assert bool(cls) is expected and cls.__nonzero__() is expected


@pytest.mark.parametrize("cls", [Named, NUmor, Sizes, Colors + Sizes])
def test_str_is_name_and_repr_shows_name_and_identity(cls):
    assert str(cls) == cls.__name__ == cls.__unicode__() == type(cls).__str__(cls)
    assert repr(cls) == "<NUmor(%s): %i>" % (cls.__name__, id(cls))
    assert f"{cls}" == cls.__name__


def test_presentation_uses_class_option_name_and_needs_the_protocol_form():
    assert (str(Named), Named.__qualname__, repr(Named)[:15]) == ("Shown", "Named", "<NUmor(Shown): ")
    assert Named.__str__ is object.__str__ and Named.__dir__ is object.__dir__


def test_operations_do_not_leak(run_python):
    proc = run_python(
        """
        import gc, sys
        from numor import NUmor, NUmorMutant
        class E(NUmor):
            a = 1; _b = 2; c = 3
            __ordo_numor__ = ("a", "_b", "c")
        class C(NUmor):
            @classmethod
            def __call__(cls, *a, **k): return a, k
        F, K = NUmorMutant(["c", "d"], "F"), NUmor(["x"], "c")
        try: raise ValueError
        except ValueError as e: tb = e.__traceback__
        def fails(*calls):
            for call in calls:
                try: call()
                except (KeyError, IndexError, ValueError, TypeError, RuntimeError): pass
        def once():
            E.keys(); E.values(); len(E); dict(E); list(E); E[1]; E["_b"]; E[K]; E.index("c")
            E.index(K); E.get("zz"); E.get(0); 2 in E; "a" in E; K in E; E[0:2]; E[-1:]
            E + F; F + E; dir(E); bool(E); repr(E); str(E); C(1, x=2); F(["z"])
            NUmor(["a", "b"], "N"); NUmor({"x": 1}); NUmor({"b", "a"})
            g = iter(E); next(g); g.send(None); g.close()
            fails(lambda: E[3], lambda: E[1:5], lambda: E[:"x"], lambda: E["zz"],
                  lambda: E.index(9), lambda: E + 1, lambda: NUmor([1]), lambda: NUmor(["a"], 5),
                  lambda: iter(E).throw(ValueError), lambda: iter(E).throw(ValueError("v")),
                  lambda: iter(E).throw(ValueError, ValueError(1), tb),
                  lambda: iter(E).throw(StopIteration), lambda: iter(E).send(1))
        for _ in range(300): once()
        gc.collect(); before = sys.getallocatedblocks()
        for _ in range(3000): once()
        gc.collect(); print(sys.getallocatedblocks() - before)
        """
    )
    assert proc.returncode == 0, proc.stderr
    assert int(proc.stdout) < 300  # a leak of one block per iteration would show 3000
