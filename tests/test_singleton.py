import pytest


def _ok(proc, expected="ok\n"):
    assert proc.stdout == expected, proc.stderr


def test_a_second_import_and_reload_return_the_same_module(run_python):
    _ok(run_python("""
        import importlib, importlib.util, sys
        import numor
        first, root = numor, numor.NUmor
        del sys.modules["numor"]
        import numor
        assert numor is first and numor.NUmor is root
        assert importlib.reload(numor) is first and numor.NUmor is root
        found = importlib.util.find_spec("numor")
        again = importlib.util.module_from_spec(found)
        found.loader.exec_module(again)
        assert again is first and numor.NUmor is root
        print("ok")
    """))


def test_initialising_a_different_module_object_raises_runtime_error(run_python):
    # The import system always hands back the existing module, so the module
    # definition is executed on a fresh module object through the C API.
    _ok(run_python("""
        import ctypes, types
        import numor
        api = ctypes.pythonapi
        api.PyModule_GetDef.restype = ctypes.c_void_p
        api.PyModule_GetDef.argtypes = [ctypes.py_object]
        api.PyModule_ExecDef.argtypes = [ctypes.py_object, ctypes.c_void_p]
        other = types.ModuleType("numor")
        try:
            api.PyModule_ExecDef(other, api.PyModule_GetDef(numor))
        except RuntimeError as e:
            assert str(e) == ("Module 'numor' has already been imported. "
                              "Re-initialisation is not supported."), e
            assert "NUmor" not in vars(other)
            print("ok")
    """))


@pytest.mark.parametrize("kind", ["isolated", "legacy"])  # own GIL from 3.12, or shared
@pytest.mark.parametrize("first", ["main", "sub"])
def test_only_the_first_interpreter_to_import_the_module_gets_it(run_python, kind, first):
    proc = run_python(f"""
        try:
            import _interpreters as subs  # 3.13
            interp = subs.create(subs.new_config({kind!r}))
        except ImportError:
            import _xxsubinterpreters as subs
            interp = subs.create(isolated={kind == "isolated"})

        def in_sub():
            try:
                failure = subs.run_string(interp, "import numor")  # 3.13 returns it
            except subs.RunFailedError as e:  # earlier versions raise it
                failure = e
            return str(getattr(failure, "formatted", failure))

        def in_main():
            try:
                import numor
            except ImportError as e:
                return f"ImportError: {{e}}"
            return "None"

        order = (in_main, in_sub) if {first!r} == "main" else (in_sub, in_main)
        print(*[step() for step in order], sep="\\n")
    """)
    owner, other = proc.stdout.splitlines()
    assert owner == "None", proc.stderr
    message = ("Interpreter change detected - this module can only be loaded into one "
               "interpreter per process.")
    assert "ImportError" in other and other.endswith(message), other


STUBS = "def pzUnpack(g, d): pass\ndef typOrPz(t, v, d): pass\n"


@pytest.mark.parametrize("fake, expected", [
    (STUBS, "ImportError"),  # concat missing: fails before any class exists
    (STUBS + "def concat(seqs): raise ZeroDivisionError\n", "ZeroDivisionError"),  # fails late
    (None, "ModuleNotFoundError"),
])
def test_a_failed_import_leaves_nothing_behind(run_python, tmp_path, fake, expected):
    if fake is None:
        breakage = "sys.modules['utilites'] = None"
    else:
        (tmp_path / "utilites.py").write_text(fake)
        breakage = f"sys.path.insert(0, {str(tmp_path)!r})"
    _ok(run_python(f"""
        import sys
        {breakage}
        try:
            import numor
        except Exception as e:
            assert type(e).__name__ == {expected!r}, repr(e)
        else:
            raise SystemExit("import succeeded")
        assert "numor" not in sys.modules
        if sys.path[0] == {str(tmp_path)!r}:
            sys.path.pop(0)
        del sys.modules["utilites"]
        import numor, utilites
        assert numor.concat is utilites.concat
        class E(numor.NUmorMutant):
            a = 1
        assert E._key == ("a",)
        print("ok")
    """))
