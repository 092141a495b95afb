"""Reference-leak hunt for the test suite (pytest plugin).

Load with ``-p refleak`` (``tools/`` on ``sys.path``) and pass
``--refleak=W:N``. Every
test then runs W times to warm up and N times counted, each time with its own
setup and teardown, like CPython's own ``-R W:N``. After each run the plugin
clears the interpreter's caches, collects garbage and reads the total
reference count and the number of allocated memory blocks. A test whose
every counted run leaves more references, or more blocks, than the run
before is a leak and is reported as a failure with the deltas. A final run
is logged as usual, so the report shows ordinary pass and fail results.

A debug build of CPython has ``sys.gettotalrefcount`` and is the one to
use: a leaked reference to anything shows. Under a release build the hunt
counts only allocated blocks, which finds leaked objects but not a leaked
reference to an object that stays alive anyway (from 3.12, immortal objects
such as None, small ints and interned strings do not even count references).

Tests are run once, without counting, when they:
  * use the ``run_python`` fixture: the code under test runs in a child
    process, whose counts the parent cannot see;
  * match an entry of ``SINGLE_RUN`` below, each with its reason.
"""
import ctypes
import fnmatch
import gc
import linecache
import re
import sys

import pytest
from _pytest.runner import runtestprotocol

_RECORDS = "records every metaclass call in a module-level list"

# Node ids (shell patterns) of tests that cannot be counted, and why.
SINGLE_RUN = {
    "tests/test_singleton.py::*": "re-imports the module; the interpreter keeps a "
                                  "block of module state per import by design",
    "tests/test_factory.py::test_no_arguments_builds_memberless_subclass_named_after_caller*": _RECORDS,
    "tests/test_factory.py::test_sequence_data_gives_new_namespace_with_its_order_last*": _RECORDS,
    "tests/test_factory.py::test_set_data_becomes_sorted_list*": _RECORDS,
    "tests/test_factory.py::test_mapping_and_other_data_are_the_namespace_itself*": _RECORDS,
    "tests/test_factory.py::test_base_and_name_keywords_reach_metaclass_unchanged*": _RECORDS,
    **{f"tests/test_iteration.py::test_throw_raises_the_exception_and_finishes[[]*args{i}*":
       "throws one module-level exception instance, whose traceback grows "
       "with every raise (from 3.12 also when it is given as the value)" for i in (1, 2, 3)},
}

_ONE_RUN_FIXTURES = {"run_python": "runs its code in a child process"}


def pytest_addoption(parser):
    parser.addoption("--refleak", default=None, metavar="WARMUPS:RUNS",
                     help="repeat each test and fail those whose reference "
                          "count or allocated blocks grow on every counted run")


def pytest_configure(config):
    option = config.getoption("refleak")
    if not option:
        return
    try:
        warm, runs = (int(x) for x in option.split(":"))
    except ValueError:
        raise pytest.UsageError("--refleak takes WARMUPS:RUNS, for example 3:3")
    if warm < 1 or runs < 1:
        raise pytest.UsageError("--refleak needs at least one warm-up and one counted run")
    config._refleak = (warm, runs)
    config._refleak_once = []
    try:
        from hypothesis import HealthCheck, settings
    except ImportError:
        pass
    else:
        # Every repetition must generate the same examples, or their objects
        # would differ from run to run; and a slow debug build must not
        # trip the timing health checks.
        settings.register_profile("refleak", database=None, derandomize=True,
                                  deadline=None, suppress_health_check=list(HealthCheck))
        settings.load_profile("refleak")


def _single_run_reason(item):
    for pattern, reason in SINGLE_RUN.items():
        if fnmatch.fnmatchcase(item.nodeid, pattern):
            return reason
    for name, reason in _ONE_RUN_FIXTURES.items():
        if name in getattr(item, "fixturenames", ()):
            return reason
    return None


def _settle():
    # Caches that legitimately fill up on first use; CPython's own -R clears
    # the same ones before each reading.
    # From 3.13 sys._clear_type_cache() is deprecated for this one.
    (getattr(sys, "_clear_internal_caches", None) or sys._clear_type_cache)()
    re.purge()
    linecache.clearcache()
    typing = sys.modules.get("typing")
    if typing is not None:
        for clear in getattr(typing, "_cleanups", ()):
            clear()
    # Hypothesis keeps the strategies that tests build while drawing in a
    # bounded cache, which fills over the first thousand of them.
    utils = sys.modules.get("hypothesis.strategies._internal.utils")
    if utils is not None and hasattr(utils, "clear_strategy_cache"):
        utils.clear_strategy_cache()
    # numor's own records keep what they describe alive until replaced.
    numor = sys.modules.get("numor")
    if numor is not None:
        try:
            ctypes.PyDLL(numor.__file__).numor_forget_caches()
        except (AttributeError, OSError):
            pass
    gc.collect()
    gc.collect()


def _total_refs():
    counter = getattr(sys, "gettotalrefcount", None)  # debug builds only
    return counter() if counter else 0


def _leaks(deltas):
    return all(d >= 1 for d in deltas)


@pytest.hookimpl(tryfirst=True)
def pytest_runtest_protocol(item, nextitem):
    config = item.config
    if not hasattr(config, "_refleak"):
        return None
    warm, runs = config._refleak
    item.ihook.pytest_runtest_logstart(nodeid=item.nodeid, location=item.location)
    reason = _single_run_reason(item)
    if reason is None:
        item._refleak_verdict = _measure(item, warm, runs)
    else:
        config._refleak_once.append((item.nodeid, reason))
    item._report_sections.clear()
    runtestprotocol(item, nextitem=nextitem, log=True)
    item.ihook.pytest_runtest_logfinish(nodeid=item.nodeid, location=item.location)
    return True


_HYPOTHESIS_SETTINGS = "_hypothesis_internal_use_settings"


def _run_silently(item):
    # Hypothesis's pytest plugin wraps a parametrized test's settings in a new
    # settings object at every run; put the old one back so that repetitions
    # do not pile them up.
    fn = getattr(getattr(item, "obj", None), "__func__", getattr(item, "obj", None))
    saved = getattr(fn, "__dict__", {}).get(_HYPOTHESIS_SETTINGS)
    item._report_sections.clear()
    try:
        # Tearing down towards the parent ends the test's own fixtures and
        # keeps the module's, as between two tests of one module.
        return runtestprotocol(item, nextitem=item.parent, log=False)
    finally:
        if saved is not None:
            setattr(fn, _HYPOTHESIS_SETTINGS, saved)


def _measure(item, warm, runs):
    ref_deltas = [0] * runs
    block_deltas = [0] * runs
    refs_before = blocks_before = 0
    for i in range(warm + runs):
        reports = _run_silently(item)
        if not all(r.passed for r in reports):
            # Not repeatable, skipped or failing: the logged run tells.
            return None
        del reports
        _settle()
        refs_after = _total_refs()
        blocks_after = sys.getallocatedblocks()
        if i >= warm:
            # Each delta replaces an int in a list made beforehand: when
            # nothing leaks both are small, cached ints and the store
            # itself changes no count.
            ref_deltas[i - warm] = refs_after - refs_before
            block_deltas[i - warm] = blocks_after - blocks_before
        refs_before = refs_after
        blocks_before = blocks_after
    problems = []
    if _leaks(ref_deltas):
        problems.append(f"references grew by {ref_deltas}")
    if _leaks(block_deltas):
        problems.append(f"memory blocks grew by {block_deltas}")
    return "; ".join(problems) or None


@pytest.hookimpl(wrapper=True)
def pytest_runtest_makereport(item, call):
    report = yield
    verdict = getattr(item, "_refleak_verdict", None)
    if verdict and call.when == "call" and report.passed:
        report.outcome = "failed"
        report.longrepr = f"leak over {item.config._refleak[1]} counted runs: {verdict}"
    return report


def pytest_terminal_summary(terminalreporter, config):
    once = getattr(config, "_refleak_once", None)
    if not once:
        return
    terminalreporter.section("refleak: run once, not counted")
    by_reason = {}
    for nodeid, reason in once:
        by_reason.setdefault(reason, []).append(nodeid)
    for reason, nodeids in by_reason.items():
        terminalreporter.write_line(f"{len(nodeids)} test(s): {reason}")
