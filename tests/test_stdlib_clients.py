"""The standard library's own tools used on enumerations, as a user would.

The enumerations live at module level so that pickle can find them by name.
"""

import collections
import collections.abc as abc
import copy
import functools
import inspect
import json
import operator
import pickle
import pydoc
import rlcompleter

import pytest

import numor
from numor import NUmor, NUmorMutant, is_numor


class Colour(NUmor):
    RED = 1
    GREEN = 2
    _secret = 0
    __ordo_numor__ = ("RED", "GREEN", "_secret", "describe", "shades")

    def describe(cls):
        return f"{cls.__name__}: {len(cls)}"

    class shades(NUmor):  # a nested enumeration written as a class statement
        dark = 1


class Live(NUmorMutant):
    a = 1


class Renamed(NUmor):
    __numoer_nominis__ = "Other"
    x = 1


class WithDict(NUmor):
    sizes = {"small": 1}


class Derived(numor.mmNumor):
    """A metaclass of the user's own, which copyreg is not told of at import."""


Names = NUmor(["b", "a"], "Names")
MutableNames = NUmorMutant(["x"], "MutableNames")
PROTOCOLS = range(pickle.HIGHEST_PROTOCOL + 1)


class TestIntrospection:
    def test_signatures_of_methods_reached_from_a_class_drop_the_class(self):
        assert str(inspect.signature(Colour.get)) == "(key, pz=None)"
        assert str(inspect.signature(Live.update)) == "(dct)"
        assert str(inspect.signature(type(Colour).get)) == "(self, key, pz=None)"
        assert str(inspect.signature(Colour)) == "(*arg, **args)"
        bound = inspect.signature(Colour.get).bind("zz", pz=7)
        assert Colour.get(*bound.args, **bound.kwargs) == 7
        with pytest.raises(TypeError):
            inspect.signature(Colour.get).bind("a", "b", "c")

    def test_methods_look_like_methods_to_inspect(self):
        assert inspect.ismethod(Colour.get) and Colour.get.__self__ is Colour
        assert inspect.ismethod(Colour.describe) and Colour.describe.__self__ is Colour
        assert Colour.get.__func__ is numor.mNUmor.__dict__["get"]

    def test_pydoc_and_help_show_members_methods_and_signatures(self, capsys):
        text = pydoc.render_doc(Colour, renderer=pydoc.plaintext)
        assert "class Colour(numor.NUmor)" in text and "RED = 1" in text and "describe()" in text
        assert "is_numor(obj)" in pydoc.render_doc(numor, renderer=pydoc.plaintext)
        help(Colour.get)
        help(Live.update)
        out = capsys.readouterr().out
        assert "get(key, pz=None)" in out and "update(dct)" in out


class TestPickleAndCopy:
    @pytest.mark.parametrize("protocol", PROTOCOLS)
    @pytest.mark.parametrize("cls", [Colour, Live, Renamed, Names, MutableNames, Colour.shades])
    def test_module_level_enumerations_pickle_by_reference(self, cls, protocol):
        assert pickle.loads(pickle.dumps(cls, protocol)) is cls

    def test_a_changed_mutable_enumeration_pickles_as_the_same_object(self):
        Live.extra = 5
        try:
            assert pickle.loads(pickle.dumps(Live)) is Live and Live._key == ("a", "extra")
        finally:
            del Live.extra
        assert pickle.loads(pickle.dumps(dict(Names))) == {"b": "b", "a": "a"}

    @pytest.mark.parametrize("protocol", PROTOCOLS)
    def test_enumerations_without_a_module_level_name_pickle_by_value(self, protocol):
        def table(cls):
            # Type, names and members as stored, nested enumerations compared the same way.
            def value(v):
                return "itself" if v is cls else table(v) if is_numor(v) else v

            own = [(n, value(cls.__dict__[n])) for n in cls._key]
            return type(cls), cls.__name__, cls.__qualname__, cls.__bases__, cls._key, own

        changed = NUmorMutant(["x"], "Elsewhere")
        changed.update({"deep": {"a": {"b": 1}}, "_hidden": 2})
        changed.plain = {"stays": "a dict"}
        changed.itself = changed
        unnamed = [WithDict.sizes, Colour[0:2], Colour + Live, NUmor(["b", "a"], "Names"),
                   Derived("Made", (NUmorMutant,), {"a": 1}), changed]
        for cls in unnamed:
            back = pickle.loads(pickle.dumps(cls, protocol))
            assert back is not cls and table(back) == table(cls)
        assert back.itself is back and back.plain == {"stays": "a dict"} and back.deep.a.b == 1

    def test_values_that_cannot_pickle_fail_as_pickle_fails(self):
        lam = NUmorMutant(["x"], "Lambdas")
        lam.f = lambda: 0
        with pytest.raises(Exception) as alone:
            pickle.dumps(lam.f)
        with pytest.raises(type(alone.value), match="lambda"):
            pickle.dumps(lam)

    def test_copies_of_classes_are_the_classes(self):
        for cls in (Colour, Live, WithDict.sizes):
            assert copy.copy(cls) is cls and copy.deepcopy(cls) is cls
        table = copy.deepcopy(dict(Colour))
        assert table["RED"] == 1 and table["shades"] is Colour.shades


class TestDataTools:
    def test_json_and_mapping_consumers_see_the_public_members(self):
        assert json.dumps(dict(Names)) == '{"b": "b", "a": "a"}'
        assert "_secret" not in json.dumps(dict(Colour), default=str)
        assert json.dumps(list(Names)) == '[["b", "b"], ["a", "a"]]'
        assert collections.OrderedDict(Names) == {"b": "b", "a": "a"}
        assert "{RED}-{GREEN}".format_map(Colour) == "1-2"
        assert operator.itemgetter("RED", 0)(Colour) == (1, "RED")

    def test_collections_abc_sees_a_collection_not_a_mapping(self):
        for kind in (abc.Sized, abc.Iterable, abc.Container, abc.Collection, abc.Hashable):
            assert isinstance(Colour, kind), kind
        for kind in (abc.Mapping, abc.Sequence, abc.Reversible):
            assert not isinstance(Colour, kind), kind

    def test_reduce_with_add_merges_many_enumerations(self):
        merged = functools.reduce(operator.add, [Names, Colour, Live])
        assert merged.__name__ == "Names_Colour_Live" and is_numor(merged)
        assert merged.keys() == ["b", "a", "RED", "GREEN", "describe", "shades"]


class TestFunctools:
    def test_partial_and_wraps_of_get(self):
        lookup = functools.partial(Colour.get, pz="none")
        assert lookup("RED") == 1 and lookup("nope") == "none" and lookup(0) == "RED"

        @functools.wraps(Colour.get)
        def logged(*args, **kwargs):
            return Colour.get(*args, **kwargs)

        assert logged.__name__ == "get" and logged.__qualname__ == "mNUmor.get"
        assert str(inspect.signature(logged)) == "(key, pz=None)" and logged("GREEN") == 2

    def test_lru_cache_keys_on_enumerations_and_wraps_bound_methods(self):
        calls = []

        @functools.lru_cache(maxsize=None)
        def value_of(enum, name):
            calls.append(name)
            return enum[name]

        assert value_of(Colour, "RED") == value_of(Colour, "RED") == 1
        assert value_of(Names, "a") == "a" and calls == ["RED", "a"]
        cached = functools.lru_cache()(Live.get)
        assert cached("a") == cached("a") == 1 and cached.cache_info().hits == 1


def complete(namespace, text):
    completer = rlcompleter.Completer(namespace)
    found, state = [], 0
    while (match := completer.complete(text, state)) is not None:
        found.append(match)
        state += 1
    return found


def test_completion_offers_members_and_methods_and_follows_mutation():
    found = complete({"Colour": Colour}, "Colour.")
    for expected in ("Colour.RED", "Colour.describe()", "Colour.keys()", "Colour.get("):
        assert expected in found
    assert "Colour._secret" not in found
    assert "Colour._secret" in complete({"Colour": Colour}, "Colour._")
    Live.late = 1
    try:
        assert "Live.late" in complete({"Live": Live}, "Live.l")
    finally:
        del Live.late
    assert dir(Live) == ["a"]
