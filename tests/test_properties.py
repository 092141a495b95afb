"""Random class bodies, factory calls, slices and mutation sequences, checked
against a small pure-Python model of the member table: where the model
raises, the extension raises the same exception type; otherwise the class
looks exactly as the model says through every read operation.
"""
import functools
import operator
import types

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, initialize, invariant, rule

from conftest import outcome
from numor import NUmor, NUmorMutant, mmNumor, mNUmor

FAST = settings(max_examples=60, deadline=None,
                suppress_health_check=[HealthCheck.too_slow, HealthCheck.filter_too_much])


# --- the model ---------------------------------------------------------------

class Unboolable:
    """A value whose truth test fails: only dict values are truth-tested."""

    def __bool__(self):
        raise RuntimeError("no truth value")


class ListSub(list):
    pass


class TupleSub(tuple):
    pass


class StrSub(str):
    pass


def candidate(s, drop_dunder):
    return bool(s) and not s[0].isdigit() and not (drop_dunder and s.startswith("__"))


def order(mapping, candidates):
    kw = {}
    if "__ordo_numor_key__" in mapping and isinstance(mapping["__ordo_numor_key__"], types.FunctionType):
        kw["key"] = mapping["__ordo_numor_key__"]
    if "__ordo_numor_reverse__" in mapping and isinstance(mapping["__ordo_numor_reverse__"], bool):
        kw["reverse"] = mapping["__ordo_numor_reverse__"]
    if "__ordo_numor__" in mapping and isinstance(mapping["__ordo_numor__"], (list, tuple)):
        ordo, fallback = mapping["__ordo_numor__"], kw.get("key")
        kw["key"] = lambda x: ordo.index(x) if x in ordo else fallback(x) if fallback else x[0]
    return sorted(candidates, **kw)


def convert(v):
    """Expected member value, as a tag for `check`."""
    if isinstance(v, dict) and v:
        return ("nested",) + model_factory(dict(v))[:1]
    if isinstance(v, types.FunctionType):
        return ("method", v)
    return ("same", v)


def model_class(ns, bases):
    """(names, {name: tag}) that `mNUmor(name, bases, ns)` must produce."""
    enum_bases = [b for b in bases if isinstance(b, mNUmor)]
    if not enum_bases or not ns:
        return [], {}
    names = order(ns, [k.strip() for k in ns if candidate(k.strip(), True)])
    tags = {}
    for n in names:
        tags[n] = convert(ns[n])
    for b in enum_bases:
        for k in b.keys():
            if k not in names and not k.startswith("_"):
                names.append(k)
                tags[k] = ("same", getattr(b, k))
    if "_key" in tags:
        tags["_key"] = ("table",)  # the table itself replaces a member of that name
    return names, tags


def model_factory(data, name="", base=(), cls=NUmor):
    """((names, tags), class name) that `cls(data, name, base)` must produce."""
    if type(name) is not str or any(type(x) is not str for x in data):
        raise TypeError
    if isinstance(data, (set, frozenset)):
        data = sorted(data)
    if isinstance(data, (list, tuple)):
        ns = {x: x for x in data}
        ns["__ordo_numor__"] = data
    else:
        ns = data
    return model_class(ns, base or (cls,)), name or cls.__name__


def same(actual, expected):
    # Bound methods are made afresh at each attribute read.
    return actual is expected or (isinstance(expected, types.MethodType) and actual == expected)


def check(actual, tag, owner):
    kind = tag[0]
    if kind == "same":
        raw = tag[1]
        get = getattr(type(raw), "__get__", None)
        assert same(actual, get(raw, None, owner) if get else raw)
    elif kind == "method":
        assert isinstance(actual, types.MethodType)
        assert actual.__func__ is tag[1] and actual.__self__ is owner
    elif kind == "table":
        assert actual is owner._key
    else:
        names, tags = tag[1]
        assert type(actual) is mNUmor and actual._key == tuple(names)
        for n in names:
            check(getattr(actual, n), tags[n], actual)


def check_table(cls, names, tags):
    """Every read operation against the expected table."""
    public = [n for n in names if n[0] != "_"]
    assert cls._key == tuple(names)
    assert len(cls) == len(names) and bool(cls) == bool(names)
    assert type(cls).keys(cls) == public
    assert type(cls).__dir__(cls) == list(names) and dir(cls) == sorted(names)
    for n, v in zip(names, type(cls).values(cls)):
        check(v, tags[n], cls)
    pairs = list(cls)
    assert [p[0] for p in pairs] == public
    for n, v in pairs:
        check(v, tags[n], cls)
    for i, n in enumerate(names):
        assert same(cls[n], getattr(cls, n)) and n in cls
        assert cls[i] == n and cls[i - len(names)] == n
        assert type(cls).index(cls, n) == names.index(n) and type(cls).index(cls, i) == n
        assert i in cls and same(type(cls).get(cls, n, None), getattr(cls, n))
    for bad in (len(names), -len(names) - 1):
        with pytest.raises(KeyError):
            cls[bad]
    assert len(names) not in cls and -1 not in cls


# --- strategies ----------------------------------------------------------------

# Letters, underscores, digits (ASCII and not: "²" and "٣" are digits,
# "Ⅻ" is not), white space the strip removes, and other scripts.
ALPHABET = "abAB_z1²٣Ⅻé名Ж \t\u3000"
plain_names = st.text("abcxyzAB_", min_size=1, max_size=4)
raw_names = st.one_of(plain_names, st.text(ALPHABET, max_size=5))


def by_length(s):
    return len(s)


key_options = st.sampled_from([
    by_length, lambda s: -len(s), lambda s: s[::-1], lambda s: s.casefold(),   # accepted
    len, str.lower, staticmethod(by_length), functools.partial(len), "".join,   # refused
])
reverse_options = st.sampled_from([True, False, 0, 1, None, "yes"])


def ordo_options(names):
    listed = st.lists(st.sampled_from(names + ["ghost", "a", "a"]) if names else st.just("ghost"),
                      max_size=20)
    return listed.flatmap(lambda xs: st.sampled_from(
        [xs, tuple(xs), ListSub(xs), TupleSub(xs), "".join(xs), set(xs), dict.fromkeys(xs), range(2)]))


values = st.one_of(
    st.integers(-3, 3), st.text("xy", max_size=2), st.none(),
    st.just({}), st.dictionaries(plain_names, st.integers(0, 3), min_size=1, max_size=3),
    st.builds(lambda: (lambda cls: cls)), st.builds(Unboolable), st.builds(lambda: staticmethod(len)),
)


@st.composite
def bodies(draw, keys=raw_names, values=values):
    ns = draw(st.dictionaries(keys, values, max_size=7))
    stripped = [k.strip() for k in ns]
    if draw(st.booleans()):
        ns["__ordo_numor_key__"] = draw(key_options)
    if draw(st.booleans()):
        ns["__ordo_numor_reverse__"] = draw(reverse_options)
    if draw(st.booleans()):
        ns["__ordo_numor__"] = draw(ordo_options(stripped))
    return ns


class A(NUmor):
    x = 1
    _p = 2
    y = 3


class C(NUmor):
    y = 9
    z = 4


# --- construction and the factory ---------------------------------------------

@FAST
@given(bodies(), st.lists(st.sampled_from([A, C, NUmor, NUmorMutant, object]), max_size=2, unique=True),
       st.sampled_from([None, "Renamed", StrSub("Sub"), 5]))
def test_class_body_members_follow_the_model(ns, bases, nominis):
    if nominis is not None:
        ns["__numoer_nominis__"] = nominis
    before = {k: dict(v) for k, v in ns.items() if isinstance(v, dict)}
    kind, expected = outcome(model_class, ns, bases)
    meta = mmNumor if NUmorMutant in bases else mNUmor
    if kind != "ok":
        with pytest.raises(kind):
            meta("Body", tuple(bases), dict(ns))
        return
    cls = meta("Body", tuple(bases), dict(ns))
    check_table(cls, *expected)
    enum_bases = tuple(b for b in bases if isinstance(b, mNUmor))
    assert cls.__bases__ == ((NUmor,) if len(enum_bases) > 1 else enum_bases or (object,))
    renamed = enum_bases and ns and type(nominis) is str
    assert cls.__name__ == (nominis if renamed else "Body")
    # Nested enumerations are built from copies: the body's dicts stay as they were.
    assert {k: v for k, v in ns.items() if isinstance(v, dict)} == before


@FAST
@given(st.lists(plain_names, min_size=16, max_size=40), st.lists(plain_names, max_size=30),
       st.sampled_from([None, "reverse", "pop", "clear", "insert"]))
def test_long_ordering_lists_are_read_afresh_after_user_code(listed, members, change):
    def body():
        ordo = list(listed)

        def key(name):  # runs between two positions and may change the list
            if change == "insert":
                ordo.insert(0, name)
            elif change and ordo:
                getattr(ordo, change)()
            return len(name)
        ns = dict.fromkeys(members, 1)
        ns.update(__ordo_numor__=ordo, __ordo_numor_key__=key)
        return ns
    kind, expected = outcome(model_class, body(), (NUmor,))
    if kind != "ok":
        with pytest.raises(kind):
            mNUmor("Long", (NUmor,), body())
    else:
        check_table(mNUmor("Long", (NUmor,), body()), *expected)


factory_data = st.one_of(
    st.lists(raw_names, max_size=6), st.lists(raw_names, max_size=6).map(tuple),
    st.sets(raw_names, max_size=6), st.frozensets(raw_names, max_size=6),
    st.dictionaries(raw_names, st.integers(0, 3), max_size=5),
    st.lists(st.one_of(plain_names, st.integers(0, 3), plain_names.map(StrSub)), min_size=1, max_size=4),
)


@FAST
@given(factory_data, st.sampled_from(["", "Named", StrSub("Sub"), None, 5, b"x"]),
       st.sampled_from([None, (), (A,), (A, C)]), st.sampled_from([NUmor, NUmorMutant, A]))
def test_factory_calls_follow_the_model(data, name, base, cls):
    args = (data, name) if base is None else (data, name, base)
    kind, expected = outcome(model_factory, dict(data) if isinstance(data, dict) else data,
                             name, base or (), cls)
    if kind != "ok":
        with pytest.raises(kind):
            cls(*args)
        return
    (names, tags), title = expected
    made = cls(*args)
    check_table(made, names, tags)
    assert made.__name__ == title
    assert type(made) is (mmNumor if isinstance(cls, mmNumor) else mNUmor)


def model_slice(cls, sl):
    start = 0 if sl.start is None else sl.start
    stop = len(cls._key) if sl.stop is None else sl.stop
    picked = range(start, stop, 1 if sl.step is None else sl.step)
    try:
        sk = tuple(cls._key[p] for p in picked)
        dat = {n: getattr(cls, n) for n in sk}
    except (IndexError, AttributeError):
        raise KeyError(sl) from None
    dat["__ordo_numor__"] = sk
    return model_factory(dat, str(cls))


bounds = st.one_of(st.none(), st.integers(-5, 6))


# --- a mutable class under random changes ------------------------------------

# Names that collide after stripping, start with digits or underscores, are
# empty, or name the member table itself.
OP_NAMES = ["a", "b", "c", "é", "_p", "__x", " a", "a ", "b\t", "1x", "", "_key"]
ASSIGN_NAMES = [n for n in OP_NAMES if n != "_key"]
# A dict value with a name that is not a string makes the conversion fail.
update_values = st.one_of(values, st.just({1: "not a name"}))


class MutableMachine(RuleBasedStateMachine):
    @initialize(ns=st.dictionaries(plain_names, values, max_size=5))
    def create(self, ns):
        self.names, self.tags = model_class(ns, (NUmorMutant,))
        self.cls = mmNumor("Live", (NUmorMutant,), dict(ns))
        self.own_key = True

    def expect(self, op, model):
        """Runs `op` on the class and `model` on the model: both raise the same
        exception type or neither does, and a failing model changes nothing."""
        try:
            staged = model()
        except Exception as e:  # noqa: BLE001
            with pytest.raises(type(e)):
                op()
            return
        op()
        if staged is not None:
            staged()

    def tag_of(self, n):
        return ("table",) if n == "_key" else self.tags[n]

    @rule(name=st.sampled_from(ASSIGN_NAMES), value=values)
    def assign(self, name, value):
        if name == "":  # the name test fails, and the assignment is undone
            with pytest.raises(IndexError):
                setattr(self.cls, name, value)
            return
        self.tags[name] = ("same", value)
        setattr(self.cls, name, value)
        if name not in self.names and name[0] != "_":
            self.names.append(name)
            self.own_key = True

    @rule(name=st.sampled_from(OP_NAMES), by_item=st.booleans())
    def delete(self, name, by_item):
        def model():
            if name == "_key":
                if not self.own_key:
                    raise AttributeError(name)
                return lambda: (self.names.clear(), setattr(self, "own_key", False))
            if name not in self.tags:
                raise AttributeError(name)

            def apply():
                del self.tags[name]
                if name in self.names:
                    self.names.remove(name)
                    self.own_key = True
            return apply
        self.expect(lambda: operator.delitem(self.cls, name) if by_item else delattr(self.cls, name),
                    model)

    @rule(mapping=bodies(st.sampled_from(OP_NAMES), update_values))
    def update(self, mapping):
        before = {k: dict(v) for k, v in mapping.items() if isinstance(v, dict)}

        def model():
            sources = {}
            for k in mapping:
                if candidate(k.strip(), False):
                    sources.setdefault(k.strip(), k)
            fresh = []
            for n in order(mapping, [k.strip() for k in mapping if candidate(k.strip(), False)]):
                if n not in self.names and n not in fresh:
                    fresh.append(n)
            assigned = {}
            for x in self.names + fresh:
                src = x if x in mapping else sources.get(x)
                if x != "_key" and x not in assigned and src is not None:
                    assigned[x] = convert(mapping[src])

            def apply():
                self.names += fresh
                self.tags.update(assigned)
                self.own_key = True
            return apply
        self.expect(lambda: self.cls.update(mapping), model)
        assert {k: v for k, v in mapping.items() if isinstance(v, dict)} == before

    @rule()
    def clear(self):
        def apply():
            public = [n for n in self.names if n[0] != "_"]
            self.names.clear()
            self.own_key = True
            for n in public:
                del self.tags[n]
        self.expect(self.cls.clear, lambda: apply)

    @rule(start=bounds, stop=bounds, step=bounds)
    def slice(self, start, stop, step):
        sl = slice(start, stop, step)
        kind, expected = outcome(model_slice, self.cls, sl)
        if kind != "ok":
            with pytest.raises(kind):
                self.cls[sl]
        else:
            check_table(self.cls[sl], *expected[0])

    @invariant()
    def table_agrees(self):
        check_table(self.cls, self.names, {n: self.tag_of(n) for n in self.names})
        for n in set(OP_NAMES) - set(self.names):
            assert n not in self.cls and type(self.cls).get(self.cls, n, "-") == "-"
            with pytest.raises(KeyError):
                self.cls[n]


MutableMachine.TestCase.settings = settings(max_examples=40, stateful_step_count=25, deadline=None,
                                            suppress_health_check=[HealthCheck.too_slow,
                                                                   HealthCheck.filter_too_much])
TestMutableClass = MutableMachine.TestCase
