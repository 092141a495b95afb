"""Reading an enumeration: lookup, membership and slicing."""
from collections import UserDict, UserList

import pytest
from hypothesis import given, strategies as st

import numor
from numor import NUmor, NUmorMutant, mNUmor


E = NUmor({"a": 1, "_b": 2, "c": 3, "__ordo_numor__": ("a", "_b", "c")}, "E")


K = NUmor(["x"], "c")  # exact mNUmor, named like a member of E
M = NUmorMutant(["x"], "c")  # mutable, same name


class Str(str):
    def __str__(self):
        return "zz"


def raise_(err):
    raise err


class Raising(str):
    """A key whose comparison with member names raises `err`."""

    def __init__(self, err):
        self.err = err

    def __eq__(self, other):
        raise_(self.err)

    __hash__ = str.__hash__


@pytest.mark.parametrize(
    "expr, expected",
    [
        (lambda: (E.keys(), E.values(), len(E), dict(E)), (["a", "c"], (1, 2, 3), 3, {"a": 1, "c": 3})),
        (lambda: (E["_b"], E[Str("c")], E[1], E[-1], E[True], E[K]), (2, 3, "_b", "c", "_b", K)),
        (lambda: (E.index(1), E.index(-3), E.index("_b"), E.index(K)), ("_b", "a", 1, 2)),
        (lambda: (E.get(3), E.get(0), E.get("zz", 0), E.get(key="c", pz=0), E.get(K)), (None, "a", 0, 3, K)),
        (lambda: [k in E for k in ("_b", 2, 3, -1, True, False, 0.0)], [1, 1, 0, 0, 1, 1, 0]),
        (lambda: [k in E for k in (K, M, NUmor, Str("a"), Str("zz"))], [1, 1, 0, 1, 0]),
        (lambda: None in NUmor(["None"]), True),
        (lambda: (len(NUmor), list(NUmor), 0 in NUmor, NUmor.values()), (0, [], False, ())),
        (lambda: (NUmor[:].__name__, NUmor[:]._key, NUmor[:].__bases__), ("NUmor", (), (NUmor,))),
    ],
)
def test_lookup_sees_all_members_and_ints_mean_positions(expr, expected):
    assert expr() == expected


@pytest.mark.parametrize(
    "expr, exc, arg",
    [
        (lambda: E[3], KeyError, 3),
        (lambda: E[-4], KeyError, -4),
        (lambda: E["zz"], KeyError, "zz"),
        (lambda: E[(0, 1)], KeyError, (0, 1)),
        (lambda: E[M], KeyError, M),
        (lambda: E[None], KeyError, None),
        (lambda: NUmor[0], KeyError, 0),
        (lambda: E.get(M), KeyError, M),  # `M in E` is true, `E[M]` is not
        (lambda: mNUmor.__getitem__(int, 0), KeyError, 0),
        (lambda: E.index(3), IndexError, ...),
        (lambda: E.index("zz"), ValueError, ...),
        (lambda: E.index(M), ValueError, ...),
        (lambda: E[1:5], KeyError, slice(1, 5)),
        (lambda: E[-4:], KeyError, slice(-4, None)),
        (lambda: E[::0], ValueError, ...),
        (lambda: E[:"x"], TypeError, ...),  # typOrPz passes the str on to range
        (lambda: mNUmor.__contains__(int, "a"), AttributeError, ...),
    ],
)
def test_failed_lookups_raise_their_own_kind(expr, exc, arg):
    with pytest.raises(exc) as info:
        expr()
    assert type(info.value) is exc and (arg is ... or info.value.args == (arg,))


def test_position_out_of_range_becomes_key_error_with_index_error_context():
    try:
        raise ValueError("outer")
    except ValueError:
        with pytest.raises(KeyError) as info:
            E[3]
    ctx = info.value.__context__
    assert type(ctx) is IndexError and type(ctx.__context__) is ValueError
    with pytest.raises(KeyError) as info:
        E["zz"]
    assert info.value.__context__ is None


@pytest.mark.parametrize("exc, converted", [(AttributeError, True), (IndexError, True), (LookupError, False)])
@pytest.mark.parametrize("where", ["comparison", "typOrPz"])
def test_errors_raised_inside_subscription_are_guarded_by_kind(monkeypatch, where, exc, converted):
    err = exc("inner")
    key = Raising(err) if where == "comparison" else slice(0, 1)
    monkeypatch.setattr(numor, "typOrPz", lambda *a: raise_(err))
    with pytest.raises(KeyError if converted else exc) as info:
        E[key]
    if converted:
        assert info.value.args[0] is key and info.value.__context__ is err
    else:
        assert info.value is err


def test_missing_member_attribute_becomes_key_error_except_in_values():
    X = NUmor(["a", "b"], "X")
    type.__delattr__(X, "b")
    for key in ("b", slice(None)):
        with pytest.raises(KeyError) as info:
            X[key]
        assert info.value.args == (key,) and type(info.value.__context__) is AttributeError
    with pytest.raises(AttributeError):
        X.values()


def test_member_named_like_a_method_shadows_it_but_protocols_still_work():
    X = NUmor({"keys": 1, "get": 2, "b": 3})
    assert (X.keys, X.get, type(X).keys(X), type(X).get(X, "b")) == (1, 2, ["b", "get", "keys"], 3)
    assert (len(X), "get" in X, X["keys"], list(X)) == (3, True, 1, [("b", 3), ("get", 2), ("keys", 1)])


@pytest.mark.parametrize("change", ["gain __set__", "lose __get__", "rebind on the metaclass",
                                    "a member's type gains __get__", "a member is a descriptor",
                                    "a member's type gains __get__, in a large table",
                                    "a member is a descriptor, in a large table"])
def test_metaclass_descriptors_decide_as_they_stand_at_each_read(change):
    # What a descriptor is depends on its type, which can change without the
    # metaclass changing: every read must see the descriptor as it is now.
    class Desc:
        def __get__(self, obj, owner=None):
            return "meta"

    class Meta(mNUmor):
        RED = Desc()

    class E(NUmor, metaclass=Meta):
        RED = 1

    reads = lambda: (E["RED"], E.RED, E.get("RED"), dict(E), E.values(), list(E))
    assert reads() == (1, 1, 1, {"RED": 1}, (1,), [("RED", 1)])
    if change == "gain __set__":
        Desc.__set__ = lambda self, obj, value: None  # a data descriptor: the metaclass wins
        assert reads() == ("meta",) * 3 + ({"RED": "meta"}, ("meta",), [("RED", "meta")])
    elif change == "lose __get__":
        Desc.__set__ = lambda self, obj, value: None
        reads()
        del Desc.__get__  # no descriptor at all now: the class attribute again
        assert reads() == (1, 1, 1, {"RED": 1}, (1,), [("RED", 1)])
    elif change == "rebind on the metaclass":
        Meta.RED = property(lambda cls: "prop")
        assert reads() == ("prop",) * 3 + ({"RED": "prop"}, ("prop",), [("RED", "prop")])
    filler = {f"f{i}": i for i in range(60 if change.endswith("in a large table") else 0)}
    if change.startswith("a member is a descriptor"):
        class Counter:
            def __get__(self, obj, owner=None):
                owners.append(owner)
                return len(owners)

        F = NUmor({"COUNT": Counter(), **filler}, "F")
        owners = []
        assert [F["COUNT"], F["COUNT"], F.COUNT, F["COUNT"]] == [1, 2, 3, 4]
    elif change.startswith("a member's type gains __get__"):
        class Value:
            pass

        value = Value()
        F = NUmor({"BLUE": value, **filler}, "F")

        assert all(F["BLUE"] is value for _ in range(4))  # whatever reads a memo waits for
        Value.__get__ = lambda self, obj, owner=None: "got"  # no dict of F changes
        assert (F["BLUE"], F.BLUE, F.get("BLUE"), F.values()[0], dict(F)["BLUE"]) == ("got",) * 5


log = []


class Derived(mNUmor):
    def __len__(self):
        log.append("len")
        return 1

    def __contains__(self, key):
        log.append(("in", key))
        return True

    def __getitem__(self, key):
        log.append(("[]", key))
        return mNUmor.__getitem__(self, key) if isinstance(key, slice) else ("got", key)

    def __str__(self):
        return "Other"


class D(NUmor, metaclass=Derived):
    a, b = 1, 2


class Odd(int):
    def __ge__(self, other):
        return "" if int(self) < 0 else "ge"

    def __lt__(self, other):
        return "lt"


def test_overridden_protocols_of_a_derived_metaclass_are_honoured():
    log.clear()
    assert D.get("zz", 0) == ("got", "zz")
    assert log == [("in", "zz"), ("[]", "zz")]
    log.clear()
    S = D[:]  # default stop from len(self), name from str(self)
    assert (S._key, S.__name__, type(S)) == (("a",), "Other", mNUmor)
    assert log == [("[]", slice(None)), "len"]
    log.clear()
    # `0 <= key < len(self)`, chained: len only when the first half holds
    assert [mNUmor.__contains__(D, k) for k in (0, 1, -1, Odd(-5), Odd(5))] == [True, False, False, "", "lt"]
    assert log == ["len", "len", "len"]


def test_slice_reads_fields_and_builds_class_through_module_names(monkeypatch):
    seen, original = [], numor.typOrPz
    monkeypatch.setattr(numor, "typOrPz", lambda *a: seen.append(a) or original(*a))
    E[::-1]
    assert seen == [(int, None, 0), (int, None, 3), (int, -1, 1)]
    monkeypatch.setattr(numor, "NUmor", lambda *a, **k: seen.append((a, k)) or "made")
    assert E[-1:] == "made"
    (dat, name), kw = seen[-1]
    assert (name, kw) == ("E", {})
    assert list(dat.items()) == [("c", 3), ("a", 1), ("_b", 2), ("__ordo_numor__", ("c", "a", "_b", "c"))]


positions = st.one_of(st.none(), st.integers(-5, 5))


@pytest.mark.parametrize("src", [E, NUmorMutant({"a": 1, "_b": 2, "c": 3, "__ordo_numor__": E._key}, "E")])
@given(positions, positions, st.one_of(st.none(), st.integers(-3, 3).filter(bool)))
def test_slice_picks_range_positions_unclamped_into_new_immutable_class(src, start, stop, step):
    keys = src._key
    try:  # negative positions index from the end, anything past it fails
        picked = [keys[p] for p in range(start or 0, len(keys) if stop is None else stop, step or 1)]
    except IndexError:
        with pytest.raises(KeyError):
            src[start:stop:step]
        return
    S, names = src[start:stop:step], tuple(dict.fromkeys(picked))
    assert (type(S), S.__name__, S.__bases__, S._key) == (mNUmor, "E", (NUmor,), names)
    assert [getattr(S, n) for n in names] == [getattr(src, n) for n in names]


def posing_as(cls, base=object, **attrs):
    """A class whose instances claim `cls` through `__class__`, as mocks and proxies do."""
    return type(f"Posing{cls.__name__}", (base,), {"__class__": property(lambda self: cls), **attrs})


LikeList = posing_as(list, UserList)
LikeInt = posing_as(int, __init__=lambda self, i: setattr(self, "i", i), __index__=lambda self: self.i)
LikeSlice = posing_as(slice, __init__=lambda self, *a: setattr(self, "start", a[0]) or
                      setattr(self, "stop", a[1]) or setattr(self, "step", a[2]))


@pytest.mark.parametrize("make, check", [
    (lambda: NUmor({"a": 1, "b": 2, "__ordo_numor__": LikeList(["b", "a"])}), lambda C: C._key == ("b", "a")),
    (lambda: NUmor({"m": posing_as(dict, UserDict)({"x": 1})}), lambda C: C.m._key == ("x",)),
    (lambda: NUmor(LikeList(["b", "a"])), lambda C: C._key == ("b", "a") and C.a == "a"),
    (lambda: E, lambda C: C[LikeInt(2)] == "c" and C.index(LikeInt(0)) == "a"),
    (lambda: E, lambda C: C[LikeSlice(None, None, 2)]._key == ("a", "c")),
])
def test_objects_claiming_a_builtin_class_are_taken_for_it(make, check):
    assert check(make())


class CountingEq(str):
    calls = 0

    def __eq__(self, other):
        CountingEq.calls += 1
        return str.__eq__(self, other)

    __hash__ = str.__hash__


class AlsoZz(str):
    def __eq__(self, other):
        return other == "zz" or str.__eq__(self, other)

    __hash__ = str.__hash__


def scan_answers(cls, table, keys):
    """What `in`, `index` and subscription give by scanning `table`."""
    out = []
    for k in keys:
        found = k in table
        try:
            index = table.index(k)
        except ValueError:
            index = ValueError
        value = getattr(cls, k, KeyError) if k in table else KeyError
        out.append((found, index, value))
    return out


def class_answers(cls, keys):
    out = []
    for k in keys:
        try:
            index = cls.index(k)
        except ValueError:
            index = ValueError
        try:
            value = cls[k]
        except KeyError:
            value = KeyError
        out.append((k in cls, index, value))
    return out


@pytest.mark.parametrize("n", [47, 48, 49, 300])
def test_large_tables_answer_exactly_as_a_scan_of_the_current_table(n):
    # Lookups repeated past the point where a large table gets a name index,
    # then on tables that replace it: the answers and the comparisons a str
    # subclass key sees are always those of a scan of the table of the moment.
    names = [f"m{i}" for i in range(n)]
    E = NUmor(names, "E")
    keys = ["".join(["m", str(i)]) for i in range(0, n, 7)] + ["zz", "m" + str(n)]
    tables = [
        tuple(names),
        tuple(reversed(names)) + ("zz",),  # reassigned: a new tuple, a name without attribute
        tuple(names[: n // 2]) + (5,) + tuple(names[n // 2:]),  # an element that is not a str
        tuple(names) + tuple(names),  # repeated names: the first position counts
        (AlsoZz(names[0]),) + tuple(names[1:]),  # an element whose own `__eq__` answers for "zz"
    ]
    for table in tables:
        E._key = table
        # The table's own names in its order, twice, as `dict(E)` asks.
        asked = keys * 6 + names * 2
        for _ in range(3):
            assert class_answers(E, asked) == scan_answers(E, table, asked)
        subclass_keys = [CountingEq(k) for k in keys]
        CountingEq.calls = 0
        got = class_answers(E, subclass_keys)
        through_class = CountingEq.calls
        CountingEq.calls = 0
        assert got == scan_answers(E, table, subclass_keys)
        # Three scans per key either way: `in`, `index`, subscription.
        assert through_class == CountingEq.calls


class ClaimsEqual(str):
    """Equal to the member name it spells only once `armed`; left out of the members."""

    armed = False

    def __eq__(self, other):
        return ClaimsEqual.armed and str.__eq__(self, other)

    __hash__ = str.__hash__

    def strip(self, *a):
        return "__claimed"


@pytest.mark.parametrize("n", [510, 511, 600])
def test_walks_over_a_large_table_read_what_a_lookup_finds(n):
    # dict(E) and list(E) read the members in table order. A key of a str
    # subclass in the class's dict, met first by a lookup of a member's
    # name, answers for that name once it claims equality: every walk
    # reads what a lookup finds. The name is longer than the interpreter's
    # attribute cache takes, so that every lookup is made.
    width = len(str(n))
    names = [f"m{i:0{width}d}" for i in range(n)]
    long = names[n // 2] + "x" * 100
    names = sorted(names + [long])
    plain = NUmor({nm: i for i, nm in enumerate(names)}, "Plain")
    for _ in range(2):  # a clean table walked first: what it told is not carried over
        assert dict(plain)[long] == list(plain)[n // 2 + 1][1] == n // 2 + 1
    ns = {ClaimsEqual(long): "claimed", **{nm: i for i, nm in enumerate(names)}}
    ClaimsEqual.armed = False
    E = mNUmor("E", (NUmor,), ns)
    try:
        for _ in range(3):
            assert dict(E)[long] == dict(list(E))[long] == n // 2 + 1
        ClaimsEqual.armed = True
        for _ in range(2):
            assert dict(E)[long] == dict(list(E))[long] == E[long] == "claimed"
    finally:
        ClaimsEqual.armed = False
