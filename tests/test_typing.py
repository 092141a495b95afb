"""The type stubs and the mypy plugin: they agree with the running module and guide a checker.

The stubs of this source tree are laid out as `numor.pyi` and `utilites.pyi`
in a temporary directory on MYPYPATH, which mypy searches before
site-packages, so these tests check the working copy even where an older
wheel is installed. (That an installed wheel's stubs are found is checked in
test_packaging.py.)
"""

import ast
import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

pytest.importorskip("mypy")

ROOT = Path(__file__).resolve().parent.parent
STUBS = {"numor": ROOT / "numor-stubs" / "__init__.pyi", "utilites": ROOT / "utilites-stubs" / "__init__.pyi"}


@pytest.fixture(scope="module")
def stub_path(tmp_path_factory):
    path = tmp_path_factory.mktemp("stubs")
    for module, stub in STUBS.items():
        shutil.copy(stub, path / f"{module}.pyi")
    return path


def run_mypy(args, stub_path, cwd):
    # The plugin is named by its path, so the working copy's is the one used.
    config = cwd / "mypy.ini"
    config.write_text(f"[mypy]\nplugins = {ROOT / 'src' / 'numor_mypy.py'}\n")
    env = dict(os.environ, MYPYPATH=str(stub_path))
    cmd = [sys.executable, "-m", "mypy", "--config-file", str(config), "--cache-dir", str(cwd / ".mypy_cache")]
    cmd += args
    return subprocess.run(cmd, capture_output=True, text=True, env=env, cwd=cwd, timeout=300)


def runtime_env():
    # The tests import numor from wherever the session does (an install, or
    # PYTHONPATH pointing at a build directory).
    import numor

    paths = [str(Path(numor.__file__).parent), str(ROOT / "src"), os.environ.get("PYTHONPATH", "")]
    return dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in paths if p))


def test_examples_and_typed_usage_pass_mypy_strict(stub_path, tmp_path):
    files = [str(ROOT / p) for p in ("examples", "tests/typed_usage.py", "src/numor_mypy.py")]
    proc = run_mypy(["--strict", *files], stub_path, tmp_path)
    assert proc.returncode == 0, proc.stdout + proc.stderr


def test_typed_usage_runs_so_its_claims_hold_at_run_time():
    proc = subprocess.run(
        [sys.executable, str(ROOT / "tests" / "typed_usage.py")],
        capture_output=True, text=True, env=runtime_env(), timeout=120,
    )
    assert proc.returncode == 0, proc.stdout + proc.stderr
    assert proc.stdout.strip() == "typed usage ok"


def test_stubtest_finds_no_difference_from_the_extension(stub_path, tmp_path):
    env = runtime_env()
    env["MYPYPATH"] = str(stub_path)
    allowlist = ROOT / "tests" / "stubtest-allowlist.txt"
    proc = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "--allowlist", str(allowlist), "numor", "utilites"],
        capture_output=True, text=True, env=env, cwd=tmp_path, timeout=300,
    )
    assert proc.returncode == 0, proc.stdout + proc.stderr


# Each line marked `# E: code` must be rejected by mypy with that error code,
# and no other line may be: the stubs must not be so loose that mistakes pass.
MISUSE = """\
from numor import NUmor, NUmorMutant, is_numor

class Colour(NUmor):
    RED = 1
    _p = 0

class Shade(Colour):
    DARK = 2

class Live(NUmorMutant):
    a = 1

NUmor(["a"], 5)  # E: call-overload
NUmor([1])  # E: list-item
NUmor("ab")  # E: call-overload
NUmor(["a"], base=(int,))  # E: arg-type
Colour + 1  # E: operator
Colour[1.5]  # E: call-overload
Colour.keys(1)  # E: call-arg
Live.update(1)  # E: arg-type
Colour.update({})  # E: attr-defined
Colour.clear()  # E: attr-defined
del Live[0]  # E: arg-type
name: int = Colour[0]  # E: assignment
label: str = Colour.index("RED")  # E: assignment
red: str = Colour["RED"]  # E: assignment
pairs: list[tuple[int, int]] = list(Colour)  # E: arg-type
is_numor(3).keys()  # E: attr-defined
Colour["MISSING"]  # E: attr-defined
Shade["RED"] + Shade["DARK"] + Colour["_p"]
Shade["_p"]  # E: attr-defined
Live["added_at_run_time"]
Colour.get("MISSING")
Colour.get("RED") + ""  # E: operator
"""


def test_mypy_rejects_misuse(stub_path, tmp_path):
    (tmp_path / "misuse.py").write_text(MISUSE)
    proc = run_mypy(["--strict", "--show-error-codes", "misuse.py"], stub_path, tmp_path)
    found = {}
    for line in proc.stdout.splitlines():
        match = re.match(r"misuse\.py:(\d+): error: .*\[([\w-]+)\]$", line)
        if match:
            found.setdefault(int(match.group(1)), set()).add(match.group(2))
    expected = {
        number: {code}
        for number, text in enumerate(MISUSE.splitlines(), 1)
        for code in re.findall(r"# E: ([\w-]+)", text)
    }
    assert sorted(found) == sorted(expected), proc.stdout
    assert all(expected[n] <= found[n] for n in expected), proc.stdout


def definitions_without_docstring(stub):
    """Names defined in a stub none of whose definitions has a docstring."""
    tree = ast.parse(stub.read_text())
    documented, seen = set(), set()
    for node in ast.walk(tree):
        if isinstance(node, (ast.ClassDef, ast.FunctionDef)):
            seen.add(node.name)
            if ast.get_docstring(node):
                documented.add(node.name)
    return seen - documented


@pytest.mark.parametrize("module", sorted(STUBS))
def test_every_stubbed_name_has_help_for_editors(module):
    assert definitions_without_docstring(STUBS[module]) == set()
