import subprocess
import sys
import textwrap

import pytest

import numor
from numor import NUmorMutant, mmNumor


def _fast_paths():
    with open(numor.__file__, "rb") as f:
        return b"numor build: generic" not in f.read()


# The build with its fast paths compiled out (NUMOR_FAST_PATHS=OFF) makes
# the interpreter calls a Python implementation would, quadratic ones
# included: the tests of speed at scale do not apply to it.
FAST_PATHS = _fast_paths()
needs_fast_paths = pytest.mark.skipif(not FAST_PATHS, reason="a test of the fast paths' scaling")


def make(meta=mmNumor, base=NUmorMutant, **members):
    """An enumeration class `C` of `meta` over `base` with the given members."""
    return meta("C", (base,), dict(members))


def model_iter(cls):
    """What `iter(E)` is, as the Python generator it stands for."""
    for name in cls._key:
        if name[0] != "_":
            yield (name, cls[name])


def outcome(f, *args):
    """("ok", what `f(*args)` returns), or the exception's type and message."""
    try:
        return ("ok", f(*args))
    except (Exception, GeneratorExit) as e:  # noqa: BLE001 - the error is the outcome
        return (type(e), str(e))


@pytest.fixture
def run_python():
    """Runs a snippet in a fresh interpreter; a crash shows as a failure."""

    def run(code, timeout=120):
        proc = subprocess.run(
            [sys.executable, "-c", textwrap.dedent(code)],
            capture_output=True,
            text=True,
            timeout=timeout,
        )
        return proc

    return run
