"""Attribute assignment and deletion on mutable enumeration classes."""
import pytest

from conftest import make
from numor import NUmor, NUmorMutant, mmNumor, mNUmor


class Recording(mmNumor):
    log = []

    def __setattr__(cls, attr, val):
        Recording.log.append(("set", attr, val))
        super().__setattr__(attr, val)

    def __delattr__(cls, attr):
        Recording.log.append(("del", attr))
        super().__delattr__(attr)


@pytest.fixture
def recorded():
    cls = make(Recording, b=2, a=1, c=3)
    Recording.log.clear()
    return cls, Recording.log


def test_new_public_name_becomes_last_member():
    C = make(b=2, a=1)
    C.extra = 5
    setattr(C, "more", 6)
    assert C._key == ("a", "b", "extra", "more")
    assert C.extra == 5 and C["more"] == 6 and list(C)[-1] == ("more", 6)


def test_reassigning_member_keeps_position_and_leaves_key_alone(recorded):
    C, log = recorded
    table = C._key
    C.b = 20
    assert C._key is table
    assert C.b == 20 and C[1] == "b"
    assert log == [("set", "b", 20)]


@pytest.mark.parametrize("name", ["_hidden", "__doc__", "__custom__"])
def test_underscore_names_are_stored_but_not_members(name):
    C = make(a=1)
    table = C._key
    setattr(C, name, "v")
    assert getattr(C, name) == "v" and C._key is table


def test_assignment_stores_values_unconverted():
    C = make(a=1)
    d, f = {"x": 1}, lambda cls: 0
    C.sub, C.fn = d, f
    assert C.sub is d and vars(C)["fn"] is f
    assert C._key == ("a", "sub", "fn")


def test_empty_name_raises_index_error_and_is_not_stored():
    C = make(a=1)
    table = C._key
    with pytest.raises(IndexError):
        setattr(C, "", 1)
    assert "" not in vars(C)
    assert C._key is table


def del_item(C, name):
    del C[name]


deleters = pytest.mark.parametrize("delete", [delattr, del_item])


@deleters
@pytest.mark.parametrize("name, rest", [("b", ("_p", "a", "c")), ("_p", ("a", "b", "c"))])
def test_deleting_member_drops_it_and_keeps_order_of_others(delete, name, rest):
    C = make(a=1, _p=0, b=2, c=3)
    delete(C, name)
    assert C._key == rest
    assert name not in vars(C) and name not in C


@deleters
def test_deleting_non_member_attribute_leaves_table(delete):
    C = make(a=1)
    C._extra = 1
    table = C._key
    delete(C, "_extra")
    assert not hasattr(C, "_extra")
    assert C._key is table


@deleters
def test_deleting_missing_attribute_changes_nothing(delete):
    C = make(a=1)
    snapshot, table = dict(vars(C)), C._key
    with pytest.raises(AttributeError):
        delete(C, "missing")
    assert dict(vars(C)) == snapshot and C._key is table


@pytest.mark.parametrize("item", [0, slice(0, 1)])
def test_deleting_by_position_is_refused(item):
    C = make(a=1, b=2)
    snapshot = dict(vars(C))
    with pytest.raises(TypeError):
        del C[item]
    assert dict(vars(C)) == snapshot


def test_duplicate_name_loses_first_occurrence_only():
    C = make(a=1, b=2)
    C._key = ("a", "b", "a")
    del C.a
    assert C._key == ("b", "a")
    with pytest.raises(AttributeError):
        del C.a
    assert C._key == ("b", "a")


def test_derived_metaclass_sees_every_key_rewrite(recorded):
    C, log = recorded
    C.d = 4
    del C["a"]
    C._x = 0
    assert log == [
        ("set", "d", 4),
        ("set", "_key", ("a", "b", "c", "d")),
        ("del", "a"),
        ("set", "_key", ("b", "c", "d")),
        ("set", "_x", 0),
    ]


def test_hook_rebound_after_first_change_sees_key_rewrite(monkeypatch):
    C = make(a=1)
    C.b = 2
    seen, hook = [], mmNumor.__setattr__

    def spy(cls, attr, val):
        seen.append(attr)
        hook(cls, attr, val)

    monkeypatch.setattr(mmNumor, "__setattr__", spy)
    C.c = 3
    assert seen == ["c", "_key"] and C._key == ("a", "b", "c")


def test_fixed_enumeration_keeps_plain_class_attributes():
    C = make(mNUmor, NUmor, a=1, b=2)
    table = C._key
    C.extra = 5
    del C.a
    assert C.extra == 5 and "a" not in vars(C)
    assert C._key is table == ("a", "b")


@pytest.mark.parametrize(
    "func, nargs, expected",
    [
        (mmNumor.update, 1, "update() takes exactly 2 positional arguments (1 given)"),
        (mmNumor.clear, 2, "clear() takes exactly 1 positional argument (2 given)"),
        (mmNumor.__setattr__, 2, "__setattr__() takes exactly 3 positional arguments (2 given)"),
        (mmNumor.__delattr__, 3, "__delattr__() takes exactly 2 positional arguments (3 given)"),
        (mmNumor.__delitem__, 1, "__delitem__() takes exactly 2 positional arguments (1 given)"),
    ],
)
def test_direct_calls_check_argument_count(func, nargs, expected):
    C = make(a=1)
    snapshot = dict(vars(C))
    args = (C, "a", 1)[:nargs]
    with pytest.raises(TypeError) as info:
        func(*args)
    assert str(info.value) == expected
    assert dict(vars(C)) == snapshot


@pytest.mark.parametrize("change", [lambda M: setattr(M, "x", 1), lambda M: delattr(M, "a"),
                                    lambda M: M.update({"x": 1})])
def test_a_table_that_cannot_be_read_fails_the_change_and_keeps_the_class(change):
    class Meta(mmNumor):
        @property
        def _key(cls):
            raise AttributeError("no table")

    M = Meta("M", (NUmorMutant,), {"a": 1})
    before = dict(vars(M))
    with pytest.raises(AttributeError) as info:
        change(M)
    assert info.value.args == ("no table",)
    assert dict(vars(M)) == before


def test_interpreter_attribute_errors_pass_through_unchanged(run_python):
    # Each hook call must fail exactly as the type's own machinery does,
    # including for objects that are not classes at all.
    proc = run_python(
        """
        import ctypes
        from numor import NUmorMutant, mmNumor
        C = mmNumor("C", (NUmorMutant,), {"a": 1})
        cases = [
            ("__setattr__", (C, 1, 2)), ("__setattr__", (5, "x", 1)),
            ("__setattr__", (int, "x", 1)), ("__setattr__", (ctypes.Structure, "x", 1)),
            ("__delattr__", (C, 1)), ("__delattr__", (5, "x")),
            ("__delattr__", (int, "real")),
        ]
        for name, args in cases:
            got = want = None
            try:
                getattr(mmNumor, name)(*args)
            except Exception as e:
                got = (type(e), str(e))
            try:
                getattr(type, name)(*args)
            except Exception as e:
                want = (type(e), str(e))
            assert want is not None and got == want, (name, args, got, want)
        assert C._key == ("a",) and C.a == 1
        print("ok")
        """
    )
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == "ok"


def test_no_reference_leaks_across_operations(run_python):
    proc = run_python(
        """
        import gc, sys
        from numor import NUmorMutant, mmNumor

        class Overriding(mmNumor):
            def __setattr__(cls, attr, val):
                super().__setattr__(attr, val)

        class NoBool:
            def __bool__(self):
                raise RuntimeError

        def swallow(fn, *args):
            try:
                fn(*args)
            except Exception:
                pass

        def once():
            for meta in (mmNumor, Overriding):
                C = meta("C", (NUmorMutant,), {"a": 1, "_p": 2, "z": 3})
                C.x = 1; C.x = 2; C._h = 3; C._key += ("a",)
                del C.x; del C["_h"]; del C._p; del C.a; C.a = 5
                for args in [(setattr, C, "", 1), (delattr, C, "no"), (C.__delitem__, 0),
                             (meta.update, C), (meta.__setattr__, 5, "x", 1)]:
                    swallow(*args)
                C.update({"b": 2, " c ": 3, "c": 4, "d": {"x": 1}, "e": {},
                          "f": lambda c: 0, "g": NoBool(), "_key": 1})
                for bad in ({"m": {1: 2}}, {5: 1}, {"p": 1, "q": 2, "__ordo_numor__": ["q"]}):
                    swallow(C.update, bad)
                C.clear()
                C.update({"y": 1}); type.__delattr__(C, "y")
                swallow(C.clear)

        for _ in range(200):
            once()
        gc.collect()
        before = sys.getallocatedblocks()
        for _ in range(2000):
            once()
        gc.collect()
        print(sys.getallocatedblocks() - before)
        """
    )
    assert proc.returncode == 0, proc.stderr
    assert int(proc.stdout) < 200


@pytest.mark.parametrize("change, name, expected", [
    (lambda C: setattr(C, "Znew", 1), "Znew", ("a", "Znew")),
    (lambda C: delattr(C, "b"), "b", ()),
])
def test_a_key_comparison_during_the_change_is_seen_by_the_table_step(change, name, expected):
    # A str-subclass key in the class dict that collides with the changed
    # name runs code while the interpreter stores it: the table step must
    # read the table that code left, not the one read before the change.
    import gc

    armed = []

    class Colliding(str):
        __hash__ = lambda self: hash(name)

        def __eq__(self, other):
            if armed:
                armed.clear()
                type.__setattr__(C, "_key", ("a",) if name == "Znew" else ("b",))
            return False

    C = make(a=1, c=3)
    # Ahead of "b" in the lookups of "b", whose first probe it takes.
    gc.get_referents(C.__dict__)[0][Colliding("_s")] = 0
    type.__setattr__(C, "b", 2)
    type.__setattr__(C, "_key", ("a", "b", "c"))
    armed.append(1)
    change(C)
    assert not armed and C._key == expected
