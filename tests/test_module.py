import shutil
import subprocess
import sys
import types

import pytest
import utilites

import numor
from numor import NUmor, NUmorMutant, is_numor, mmNumor, mNUmor


class Color(NUmor):
    RED = 1
    GREEN = 2
    BLUE = 3


class Live(NUmorMutant):
    a = 1


def test_module_attributes_are_bound_in_import_order():
    names = [k for k in vars(numor) if not k.startswith("__") or k == "__all__"]
    assert names == ["MethodType", "FunctionType", "pzUnpack", "typOrPz", "concat", "__all__",
                     "mNUmor", "mmNumor", "NUmor", "NUmorMutant", "is_numor"]
    assert numor.MethodType is types.MethodType
    assert numor.FunctionType is types.FunctionType
    for name in ("pzUnpack", "typOrPz", "concat"):
        assert getattr(numor, name) is getattr(utilites, name)


def test_all_is_a_tuple_and_star_import_binds_exactly_the_exported_names():
    assert numor.__all__ == ("NUmor", "NUmorMutant", "is_numor")
    assert type(numor.__all__) is tuple
    ns = {}
    exec("from numor import *", ns)
    del ns["__builtins__"]
    assert ns == {"NUmor": NUmor, "NUmorMutant": NUmorMutant, "is_numor": is_numor}


@pytest.mark.parametrize("cls, bases, meta", [
    (mNUmor, (type,), type),
    (mmNumor, (mNUmor,), type),
    (NUmor, (object,), mNUmor),
    (NUmorMutant, (NUmor,), mmNumor),
])
def test_class_hierarchy(cls, bases, meta):
    assert cls.__bases__ == bases
    assert type(cls) is meta
    assert cls.__module__ == "numor"
    assert cls.__doc__ is None


@pytest.mark.parametrize("cls, entries", [
    (mNUmor, ["__new__", "keys", "values", "index", "get", "__len__", "__iter__", "__contains__",
              "__getitem__", "__add__", "__dir__", "__bool__", "__nonzero__", "__repr__",
              "__str__", "__unicode__"]),
    (mmNumor, ["update", "clear", "__setattr__", "__delattr__", "__delitem__"]),
    (NUmor, ["__new__", "__setattr__", "__delattr__"]),
    (NUmorMutant, []),
])
def test_class_namespaces_hold_their_entries_in_order(cls, entries):
    own = [k for k in cls.__dict__
           if k not in ("__module__", "__doc__", "__dict__", "__weakref__", "_key")]
    assert own == entries
    assert next(iter(cls.__dict__)) == "__module__"
    for name in entries:
        value = cls.__dict__[name]
        if name == "__new__":
            assert type(value) is staticmethod
            assert type(value.__func__) is type(is_numor)
        else:
            assert type(value) is type(is_numor)


def test_aliases_are_the_same_function_objects():
    d = mNUmor.__dict__
    assert d["__nonzero__"] is d["__bool__"]
    assert d["__unicode__"] is d["__str__"]
    assert mNUmor.__nonzero__ is mNUmor.__bool__


def test_module_has_no_docstring_and_the_base_classes_no_members():
    assert numor.__doc__ is None
    assert NUmor._key == () and NUmorMutant._key == () and NUmor.keys() == []


@pytest.mark.parametrize("obj, expected", [
    (NUmor, True), (NUmorMutant, True), (Color, True), (Live, True), (NUmor(["a"]), True),
    (mNUmor, False), (mmNumor, False), (type, False), ("a", False), (None, False),
    (Color.RED, False), (object.__new__(Color), False),
])
def test_is_numor_truth_table(obj, expected):
    assert is_numor(obj) is expected


def test_is_numor_propagates_instance_check_errors():
    odd = type("Odd", (), {"__class__": property(lambda self: 1 / 0)})()
    with pytest.raises(ZeroDivisionError):
        is_numor(odd)


def test_is_numor_uses_the_current_module_attribute(monkeypatch):
    monkeypatch.setattr(numor, "mNUmor", type)
    assert is_numor(int) is True
    monkeypatch.undo()
    assert is_numor(int) is False


def test_import_calls_concat_twice_only_for_the_mutable_base(run_python, tmp_path):
    (tmp_path / "utilites.py").write_text(
        "calls = []\n"
        "def pzUnpack(given, defaults):\n    calls.append('pzUnpack')\n"
        "def typOrPz(typ, value, default):\n    calls.append('typOrPz')\n"
        "def concat(seqs):\n"
        "    calls.append(seqs)\n"
        "    return [x for s in seqs for x in s]\n")
    proc = run_python(f"""
        import sys
        sys.path.insert(0, {str(tmp_path)!r})
        import numor, utilites
        assert [type(c) for c in utilites.calls] == [tuple, tuple], utilites.calls
        assert [list(map(list, c)) for c in utilites.calls] == [[[]], [[]]], utilites.calls
        print("ok")
    """)
    assert proc.stdout == "ok\n", proc.stderr


@pytest.mark.skipif(not sys.platform.startswith("linux") or not shutil.which("nm"), reason="ELF only")
def test_extension_neither_allocates_nor_throws_through_cpp():
    # A C++ allocation failure would throw across the interpreter's frames;
    # cleanup code would run when the interpreter ends a daemon thread.
    undefined = subprocess.run(["nm", "-D", "--undefined-only", numor.__file__],
                               capture_output=True, text=True, check=True).stdout
    symbols = {line.split()[-1].split("@")[0] for line in undefined.splitlines()}
    assert not symbols & {"_Znwm", "_Znam", "__cxa_throw", "__cxa_allocate_exception",
                          "__gxx_personality_v0"}


def test_subscription_reads_the_module_metaclass_at_each_call(monkeypatch):
    # `E[key]` returns a key whose type is the module's `mNUmor`, whatever it is now.
    E = mNUmor("E", (NUmor,), {"a": 1, "b": 2})
    monkeypatch.setattr(numor, "mNUmor", str)
    assert E["a"] == "a" and list(E) == [("a", "a"), ("b", "b")]
    monkeypatch.undo()
    assert E["a"] == 1 and list(E) == [("a", 1), ("b", 2)]
