import random
import types

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from numor import NUmor, mNUmor


OPTION = {"ordo": "__ordo_numor__", "key": "__ordo_numor_key__",
          "reverse": "__ordo_numor_reverse__"}


def order(names, **options):
    """Member order of a class whose body defines `names` in this order."""
    ns = {n: i for i, n in enumerate(names)}
    ns.update({OPTION[k]: v for k, v in options.items()})
    return list(mNUmor("E", (NUmor,), ns)._key)


class Positions(list):
    # An ordering list is consulted through its own `in` and `index`.
    def index(self, x, *args):
        return -super().index(x, *args)


CANDIDATES = ["b", "A", "_c", "a"]


def shuffled(count, extra=()):
    """Names that tie in their first eight characters, that differ past
    them, that hold NUL or Latin-1 letters, in a fixed shuffled order."""
    names = [p + s for p in ("member__", "member_", "m", "é", "z\x00", *extra)
             for s in ("", "a", "b\x00", "ab", "10", "9", "xxxxxxxx1", "xxxxxxxx0", "é", "\x00",
                       "~", "A", "M")]
    random.Random(5).shuffle(names)
    return names[:count]


@pytest.mark.parametrize("names, options, expected", [
    (CANDIDATES, {}, ["A", "_c", "a", "b"]),
    (CANDIDATES, {"reverse": True}, ["b", "a", "_c", "A"]),
    (["R", "G", "B"], {"ordo": ["R", "G", "B"], "reverse": True}, ["B", "G", "R"]),
    (["a", "b", "c"], {"ordo": ("x", "c", "c", "a", "b", "c")}, ["c", "a", "b"]),
    (["bravo", "alpha", "beta"], {"ordo": ("zulu",)}, ["alpha", "bravo", "beta"]),
    (["bb", "a", "cc", "d"], {"key": lambda s: len(s), "reverse": True}, ["bb", "cc", "a", "d"]),
    (["x", "aa", "b", "ccc"], {"ordo": ["ccc"], "key": lambda s: len(s)}, ["ccc", "x", "b", "aa"]),
    (["a", "b", "c"], {"ordo": Positions(["a", "b", "c"])}, ["c", "b", "a"]),
    (["a", "b", "c"], {"ordo": type("T", (tuple,), {})(("c", "b", "a"))}, ["c", "b", "a"]),
    # Either side of the length where the sort of plain names changes method.
    *((shuffled(n), {}, sorted(shuffled(n))) for n in (64, 65)),
    (shuffled(78, ["Ā"]), {}, sorted(shuffled(78, ["Ā"]))),
])
def test_member_order(names, options, expected):
    assert order(names, **options) == expected


def test_ordering_list_naming_one_of_two_members_raises_type_error():
    with pytest.raises(TypeError, match="not supported between"):
        order(["a", "b"], ordo=["a"])


def test_key_function_receives_each_name_and_is_not_called_without_candidates():
    seen = []

    def key(s):
        seen.append(s)
        return s

    order(["b", "a"], key=key)
    assert sorted(seen) == ["a", "b"] and all(type(s) is str for s in seen)
    seen.clear()
    assert order(["__x"], key=key, ordo=["y"]) == []
    assert seen == []


def _model(names, options):
    """The ordering rules, written plainly."""
    kw = {}
    key = options.get("__ordo_numor_key__")
    if isinstance(key, types.FunctionType):
        kw["key"] = key
    reverse = options.get("__ordo_numor_reverse__")
    if isinstance(reverse, bool):
        kw["reverse"] = reverse
    ordo = options.get("__ordo_numor__")
    if isinstance(ordo, (list, tuple)):
        inner = kw.get("key")
        kw["key"] = lambda x: ordo.index(x) if x in ordo else (inner(x) if inner else x[0])
    return sorted(names, **kw)


NAME = st.text(alphabet="aAb_z", min_size=1, max_size=3).filter(lambda s: not s.startswith("__"))
# Besides plain functions, values of the wrong kind, which must be ignored.
KEYS = st.sampled_from([None, lambda s: len(s), lambda s: s.lower(), len, str.lower, "a".upper,
                        staticmethod(lambda s: -len(s))])
ABSENT = object()


@settings(max_examples=200, deadline=None)
@given(names=st.lists(NAME, unique=True, max_size=6), data=st.data())
def test_member_order_matches_the_rules(names, data):
    options = {}
    key = data.draw(KEYS)
    if key is not None:
        options["__ordo_numor_key__"] = key
    reverse = data.draw(st.sampled_from([ABSENT, True, False, 1, None]))
    if reverse is not ABSENT:
        options["__ordo_numor_reverse__"] = reverse
    listed = data.draw(st.none() | st.lists(st.sampled_from(names + ["q", "zz"])))
    if listed is not None:
        kind = data.draw(st.sampled_from([list, tuple, "".join, set, dict.fromkeys]))
        options["__ordo_numor__"] = kind(listed)
    ns = {**dict.fromkeys(names, 0), **options}
    try:
        expected = _model(names, options)
    except TypeError:
        with pytest.raises(TypeError):
            mNUmor("E", (NUmor,), ns)
    else:
        assert list(mNUmor("E", (NUmor,), ns)._key) == expected
