import types

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from numor import NUmor, mNUmor


def order(names, **options):
    """Member order of a class whose body defines `names` in this order."""
    ns = {n: i for i, n in enumerate(names)}
    ns.update({f"__ordo_numor{k}__": v for k, v in options.items()})
    return list(mNUmor("E", (NUmor,), ns)._key)


class Positions(list):
    # An ordering list is consulted through its own `in` and `index`.
    def index(self, x, *args):
        return -super().index(x, *args)


CANDIDATES = ["b", "A", "_c", "a"]


@pytest.mark.parametrize("names, options, expected", [
    (CANDIDATES, {}, ["A", "_c", "a", "b"]),
    (CANDIDATES, {"_reverse": True}, ["b", "a", "_c", "A"]),
    (["R", "G", "B"], {"": ["R", "G", "B"], "_reverse": True}, ["B", "G", "R"]),
    (["a", "b", "c"], {"": ("x", "c", "c", "a", "b", "c")}, ["c", "a", "b"]),
    (["bravo", "alpha", "beta"], {"": ("zulu",)}, ["alpha", "bravo", "beta"]),
    (["bb", "a", "cc", "d"], {"_key": lambda s: len(s), "_reverse": True}, ["bb", "cc", "a", "d"]),
    (["x", "aa", "b", "ccc"], {"": ["ccc"], "_key": lambda s: len(s)}, ["ccc", "x", "b", "aa"]),
    (["a", "b", "c"], {"": Positions(["a", "b", "c"])}, ["c", "b", "a"]),
    (["a", "b", "c"], {"": type("T", (tuple,), {})(("c", "b", "a"))}, ["c", "b", "a"]),
])
def test_member_order(names, options, expected):
    assert order(names, **options) == expected


@pytest.mark.parametrize("option, value", [
    ("_key", len), ("_key", str.lower), ("_key", staticmethod(lambda s: -ord(s))),
    ("_key", "a".upper), ("_reverse", 1), ("_reverse", None), ("", "cba"), ("", {"c", "b"}),
    ("", {"c": 0}),
])
def test_options_of_the_wrong_type_are_ignored(option, value):
    names = ["b", "C", "a", "c"]
    assert order(names, **{option: value}) == sorted(names)


def test_ordering_list_naming_one_of_two_members_raises_type_error():
    with pytest.raises(TypeError, match="not supported between"):
        order(["a", "b"], **{"": ["a"]})


def test_key_function_receives_each_name_and_is_not_called_without_candidates():
    seen = []

    def key(s):
        seen.append(s)
        return s

    order(["b", "a"], _key=key)
    assert sorted(seen) == ["a", "b"] and all(type(s) is str for s in seen)
    seen.clear()
    assert order(["__x"], _key=key, **{"": ["y"]}) == []
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
KEYS = st.sampled_from([None, lambda s: len(s), lambda s: s.lower(), len, str.lower])


@settings(max_examples=300, deadline=None)
@given(names=st.lists(NAME, unique=True, max_size=6), data=st.data())
def test_member_order_matches_the_rules(names, data):
    options = {}
    key = data.draw(KEYS)
    if key is not None:
        options["__ordo_numor_key__"] = key
    reverse = data.draw(st.sampled_from([None, True, False, 1]))
    if reverse is not None:
        options["__ordo_numor_reverse__"] = reverse
    listed = data.draw(st.none() | st.lists(st.sampled_from(names + ["q", "zz"])))
    if listed is not None:
        options["__ordo_numor__"] = data.draw(st.sampled_from([list, tuple, "".join]))(listed)
    try:
        expected = _model(names, options)
    except TypeError:
        with pytest.raises(TypeError):
            mNUmor("E", (NUmor,), {**dict.fromkeys(names, 0), **options})
        return
    assert list(mNUmor("E", (NUmor,), {**dict.fromkeys(names, 0), **options})._key) == expected
