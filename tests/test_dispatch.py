"""Protocol dispatch: `E[x]`, `len(E)`, `x in E` and `iter(E)` always call
whatever the metaclass's namespace currently holds under the method's name,
also after that name is rebound or deleted on `mNUmor` or `mmNumor`.

Each test restores the metaclass namespace it changes, keeping its order
(other tests check it): names of mNUmor are only rebound here, and deleting
one is tested in a child interpreter.
"""
import pytest

from numor import NUmor, NUmorMutant, mNUmor, mmNumor


class Fixed(NUmor):
    a = 1
    b = 2
    _c = 3


class Live(NUmorMutant):
    a = 1
    b = 2


@pytest.fixture
def rebind():
    """rebind(meta, name, value) sets a metaclass attribute until the test ends."""
    saved = []

    def set_(meta, name, value):
        saved.append((meta, name, meta.__dict__.get(name, KeyError)))
        if value is KeyError:
            delattr(meta, name)
        else:
            setattr(meta, name, value)

    yield set_
    for meta, name, old in reversed(saved):
        if old is KeyError:
            if name in meta.__dict__:
                delattr(meta, name)
        else:
            setattr(meta, name, old)


def protocols(cls):
    return cls["a"], len(cls), "a" in cls, list(cls)


def test_protocols_reach_the_metaclass_methods():
    assert protocols(Fixed) == (1, 3, True, [("a", 1), ("b", 2)])
    assert protocols(Live) == (1, 2, True, [("a", 1), ("b", 2)])


@pytest.mark.parametrize("meta", [mNUmor, mmNumor])
def test_rebinding_a_method_on_a_metaclass_changes_the_protocol_at_once(rebind, meta):
    rebind(meta, "__getitem__", lambda self, key: ("got", key))
    rebind(meta, "__len__", lambda self: 7)
    rebind(meta, "__contains__", lambda self, key: key == "zz")
    rebind(meta, "__iter__", lambda self: iter(["it"]))
    targets = [Live] if meta is mmNumor else [Fixed, Live]
    for cls in targets:
        assert protocols(cls) == (("got", "a"), 7, False, ["it"])
        assert "zz" in cls
    if meta is mmNumor:
        assert protocols(Fixed) == (1, 3, True, [("a", 1), ("b", 2)])


def test_iteration_subscribes_through_the_current_getitem(rebind):
    rebind(mNUmor, "__getitem__", lambda self, key: key.upper())
    assert list(Fixed) == [("a", "A"), ("b", "B")]
    assert Fixed.get("a") == "A" and dict(Fixed) == {"a": "A", "b": "B"}


def test_restoring_the_original_methods_restores_the_behaviour(rebind):
    original = mNUmor.__dict__["__getitem__"]
    rebind(mNUmor, "__getitem__", lambda self, key: None)
    assert Fixed["a"] is None
    rebind(mNUmor, "__getitem__", original)
    assert protocols(Fixed) == (1, 3, True, [("a", 1), ("b", 2)])


def test_deleting_a_method_from_the_metaclass_removes_the_protocol(run_python):
    # In a child: deleting from mNUmor would reorder its namespace here.
    proc = run_python("""
        from numor import NUmor, mNUmor
        E = NUmor(["a"])
        del mNUmor.__len__, mNUmor.__getitem__
        for op in (len, lambda e: e["a"]):
            try:
                op(E)
            except TypeError:
                pass
            else:
                raise SystemExit("protocol still there")
        assert "a" in E and E.index("a") == 0
    """)
    assert proc.returncode == 0, proc.stderr


def test_an_override_deleted_again_falls_back_to_the_inherited_method(rebind):
    rebind(mmNumor, "__len__", lambda self: 99)
    assert len(Live) == 99
    rebind(mmNumor, "__len__", KeyError)
    assert len(Live) == 2


def test_a_derived_metaclass_overrides_only_what_it_defines():
    class Meta(mNUmor):
        def __getitem__(self, key):
            return ("meta", key)

    class Sub(NUmor, metaclass=Meta):
        q = 1

    assert Sub["q"] == ("meta", "q")
    assert len(Sub) == 1 and "q" in Sub
    assert list(Sub) == [("q", ("meta", "q"))]


def test_a_mutable_metaclass_override_leaves_fixed_enumerations_alone(rebind):
    rebind(mmNumor, "__len__", lambda self: 99)
    assert len(Live) == 99 and len(Fixed) == 3
