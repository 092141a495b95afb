"""Random programs of re-entrant hostile operations (tools/stress.py).

Each program runs in a child interpreter on this build and, when
NUMOR_GENERIC_BUILD names a directory holding the extension built with
NUMOR_FAST_PATHS=OFF, on that build too, step by step compared. NUMOR_STRESS
sets how many programs (CI runs several hundred under the sanitizers).
"""
import os
import sys

import pytest

import numor

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "tools"))
import stress  # noqa: E402

PROGRAMS = int(os.environ.get("NUMOR_STRESS", "24"))
BUILDS = [os.path.dirname(os.path.abspath(numor.__file__))]
if os.environ.get("NUMOR_GENERIC_BUILD"):
    BUILDS.append(os.path.abspath(os.environ["NUMOR_GENERIC_BUILD"]))


@pytest.mark.parametrize("chunk", range(4))
def test_hostile_programs_kill_no_interpreter_and_builds_agree(chunk):
    seeds = range(chunk, PROGRAMS, 4)
    reports = [r for r in (stress.check(seed, BUILDS) for seed in seeds) if r]
    assert not reports, "\n\n".join(reports)
