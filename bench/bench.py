#!/usr/bin/env python3
"""Timings of numor against the standard library's enum and the interpreter.

For enumerations of several sizes (5, 20, 200 and 5,000 members by default)
this measures every read operation, class creation and the mutations of a
mutable enumeration, and prints, side by side for all sizes, the median time
of each operation, its ratio to the matching operation of the standard
library's ``enum`` and its ratio to a floor: the nearest thing the bare
interpreter does (an attribute of a plain class, membership in a tuple, a
plain class statement, ...). It then checks the performance targets and
prints PASS or MISS for each.

Standard library only. It imports whatever ``numor`` the interpreter finds,
so ``PYTHONPATH=build:src python bench/bench.py`` measures a development
build and plain ``python bench/bench.py`` the installed package.

    python bench/bench.py                 # full run, well under 3 minutes
    python bench/bench.py --json out.json # also write the results as JSON
    python bench/bench.py --sizes 20 --quick

Every figure is the median over several repeats; each repeat runs the
statement in a timeit loop long enough to swamp the clock's resolution.
Timings include the timeit loop itself (shown as the "empty statement" row),
for numor and for the references alike, so ratios are of whole statements.
Mutations of a mutable enumeration change its state, so they are timed one
statement at a time between two clock reads, with the cost of the clock
reads themselves subtracted, and the state is restored outside the timing.
"""

import argparse
import enum
import gc
import json
import math
import os
import platform
import statistics
import sys
import time
import timeit

import numor
from numor import NUmor, NUmorMutant

DEFAULT_SIZES = (5, 20, 200, 5000)


# --- measuring ---------------------------------------------------------------


class Clock:
    def __init__(self, repeat, min_time):
        self.repeat = repeat
        self.min_time = min_time

    def timeit(self, stmts, ns, gc_on=False):
        """Median seconds per execution of each statement of `stmts`.

        The statements (source strings, run in namespace `ns`) are the
        operation and its references. Their repeats are interleaved, one of
        each in turn, so that a change in the machine's load during the
        measurement touches all of them alike and their ratio holds.

        timeit turns the garbage collector off while it times. Statements
        that create classes run with it on (`gc_on`): a class is a cycle, so
        with the collector off every class made stays in memory, and the
        timing would measure the growth of the process instead. The objects
        that exist before the timing (the enumerations of all sizes) are
        frozen out of the collector's view, so that its passes cost what
        the statements themselves leave behind, at every size alike.
        """
        env = dict(ns, gc=gc)
        if gc_on:
            gc.collect()
            gc.freeze()
        try:
            return self._timeit(stmts, env, gc_on)
        finally:
            if gc_on:
                gc.unfreeze()

    def _timeit(self, stmts, env, gc_on):
        timers, numbers, runs = [], [], []
        for stmt in stmts:
            timer = timeit.Timer(stmt, setup="gc.enable()" if gc_on else "pass", globals=env)
            number = 1
            while True:
                t = timer.timeit(number)
                if t >= self.min_time:
                    break
                guess = int(number * self.min_time / max(t, 1e-9) * 1.1) + 1
                number = min(max(guess, number * 2), number * 100)
            timers.append(timer)
            numbers.append(number)
            runs.append([t / number])
        for _ in range(self.repeat - 1):
            for timer, number, out in zip(timers, numbers, runs):
                out.append(timer.timeit(number) / number)
        gc.collect()
        return [statistics.median(r) for r in runs]

    def single(self, body, restore, ns, samples):
        """Median seconds of one statement `body` run between two clock reads.

        `restore` runs after each sample, outside the timing, to put the
        state back. The clock's own cost (two reads with nothing between) is
        measured the same way and subtracted.
        """
        src = (
            "def _run(_n, _pc=_pc):\n"
            "    _out = []\n"
            "    for _ in range(_n):\n"
            "        _t0 = _pc(); {body}; _t1 = _pc()\n"
            "        {restore}\n"
            "        _out.append(_t1 - _t0)\n"
            "    return _out\n"
        )
        env = dict(ns)
        env["_pc"] = time.perf_counter_ns
        exec(src.format(body=body, restore=restore or "pass"), env)
        exec(src.format(body="pass", restore="pass"), env, empty := {})
        was = gc.isenabled()
        gc.disable()
        try:
            env["_run"](min(samples, 5))  # warm up
            times = env["_run"](samples)
            base = empty["_run"](max(samples, 200))
        finally:
            if was:
                gc.enable()
        gc.collect()
        return max(statistics.median(times) - statistics.median(base), 0) * 1e-9


# --- the enumerations of one size ----------------------------------------------


def body_of(names, value=lambda i, nm: str(i)):
    return "".join(f"    {nm} = {value(i, nm)}\n" for i, nm in enumerate(names))


def build(n):
    """Namespace with every object the statements of one size refer to."""
    width = len(str(n - 1))
    names = [f"M{i:0{width}d}" for i in range(n)]
    other = [f"N{i:0{width}d}" for i in range(n)]
    mid = names[n // 2]
    body = body_of(names)
    nested = body_of(names, lambda i, nm: '{"a": 1, "b": 2, "c": 3}' if i % 4 == 0 else str(i))
    src = {
        "numor": f"class C(NUmor):\n{body}",
        "mutable": f"class C(NUmorMutant):\n{body}",
        "enum": f"class C(Enum):\n{body}",
        "plain": f"class C:\n{body}",
        "numor_nested": f"class C(NUmor):\n{nested}",
        "plain_nested": f"class C:\n{nested}",
    }
    ns = {"NUmor": NUmor, "NUmorMutant": NUmorMutant, "Enum": enum.Enum}

    def make(kind, extra=None):
        env = dict(ns)
        exec(src[kind] if extra is None else extra, env)
        return env["C"]

    E = make("numor")
    F = make("numor", f"class C(NUmor):\n{body_of(other)}")
    ns.update(
        E=E,
        F=F,
        M=make("mutable"),
        Color=make("enum"),
        P=make("plain"),
        Q=make("plain"),
        T=tuple(names),
        names=list(names),
        tns={nm: nm for nm in names},
        D10={f"U{i}": i for i in range(10)},
        DALL={nm: i for i, nm in enumerate(names)},
        U10=[f"U{i}" for i in range(10)],
        CAL=[f"c{(i * 37) % 64:02d}" for i in range(64)],
    )
    return names, mid, src, ns


# --- the operations ----------------------------------------------------------

# Each row: key, label, complexity in n (for the growth check), and a function
# of (n, mid, src) giving (numor statement, enum statement, floor statement,
# floor label). Statements are source text run in the namespace of `build`.
# `mid` is the name in the middle of the table, used by every lookup by name.


def slice_stmt(n):
    return f"E[2:{min(10, n)}]"


READ_OPS = [
    ("empty", "empty statement (timeit loop)", "1", lambda n, m, s: ("pass", None, None, None)),
    ("getitem", 'E["NAME"]', "pos",
     lambda n, m, s: (f'E["{m}"]', f'Color["{m}"]', f"P.{m}", "P.NAME, plain class")),
    ("getattr", "E.NAME", "1",
     lambda n, m, s: (f"E.{m}", f"Color.{m}", f"P.{m}", "P.NAME, plain class")),
    ("getpos", "E[i] (i = n // 2)", "1",
     lambda n, m, s: (f"E[{n // 2}]", None, f"T[{n // 2}]", "tuple[i]")),
    ("contains", '"NAME" in E', "pos",
     lambda n, m, s: (f'"{m}" in E', f'"{m}" in Color.__members__', f'"{m}" in T',
                      "NAME in tuple")),
    ("len", "len(E)", "1", lambda n, m, s: ("len(E)", "len(Color)", "len(T)", "len(tuple)")),
    ("list", "list(E)", "n2", lambda n, m, s: ("list(E)", "list(Color)", None, None)),
    ("dict", "dict(E)", "n2", lambda n, m, s: ("dict(E)", None, None, None)),
    ("keys", "E.keys()", "n", lambda n, m, s: ("E.keys()", None, "list(T)", "list(tuple)")),
    ("values", "E.values()", "n", lambda n, m, s: ("E.values()", None, None, None)),
    ("get", 'E.get("NAME")', "pos",
     lambda n, m, s: (f'E.get("{m}")', None, f'getattr(P, "{m}", None)',
                      "getattr(P, NAME, None)")),
    ("index", 'E.index("NAME")', "pos",
     lambda n, m, s: (f'E.index("{m}")', None, f'T.index("{m}")', "tuple.index(NAME)")),
    ("slice", "E[2:10] (E[2:5] at 5)", "1", lambda n, m, s: (slice_stmt(n), None, None, None)),
    ("add", "E + F (disjoint, n each)", "n2", lambda n, m, s: ("E + F", None, None, None)),
    ("class", "class statement, n members", "nlogn",
     lambda n, m, s: (s["numor"], s["enum"], s["plain"], "plain class statement")),
    ("factory", "NUmor(names)", "ordo",
     lambda n, m, s: ("NUmor(names)", 'Enum("X", names)', 'type("X", (object,), tns)',
                      "type(name, (object,), ns)")),
    ("nested", "class with dict members (every 4th)", "nlogn",
     lambda n, m, s: (s["numor_nested"], None, s["plain_nested"], "plain class statement")),
]

# The same work at every size, timed along with every operation: the growth
# checks divide by it, so that a change of the machine's speed between the
# sizes does not count as growth.
CALIBRATION = "sorted(CAL)"

# Operations that create a class each time; timed with the collector on.
MAKES_CLASSES = {"slice", "add", "class", "factory", "nested"}

# Mutations: key, label, complexity, numor (body, restore), floor (body,
# restore, label). Run one statement at a time (Clock.single).
MUT_OPS = [
    ("set_new", "mutable: M.NEW = v (new member)", "n",
     ("M.Znew = 1", "del M.Znew"), ("Q.Znew = 1", "del Q.Znew", "plain class")),
    ("set_old", "mutable: M.NAME = v (replace)", "pos",
     ("M.{mid} = 1", None), ("Q.{mid} = 1", None, "plain class")),
    ("delete", "mutable: del M.NAME", "n",
     ("del M.Znew", "M.Znew = 1"), ("del Q.Znew", "Q.Znew = 1", "plain class")),
    ("update", "mutable: M.update(10 new names)", "n",
     ("M.update(D10)", "[delattr(M, _u) for _u in U10]"), None),
    ("clear", "mutable: M.clear()", "n",
     ("M.clear()", "M.update(DALL)"), None),
]


def run_size(n, clock, samples, only=None):
    names, mid, src, ns = build(n)
    rows = {}
    for key, label, _, fn in READ_OPS:
        if only and key not in only:
            continue
        ours, theirs, floor, _ = fn(n, mid, src)
        stmts = [x for x in (ours, theirs, floor, CALIBRATION) if x]
        times = iter(clock.timeit(stmts, ns, key in MAKES_CLASSES))
        rows[key] = {
            "numor": next(times),
            "enum": next(times) if theirs else None,
            "floor": next(times) if floor else None,
            "calibration": next(times),
        }
    for key, label, _, ours, floor in MUT_OPS:
        if only and key not in only:
            continue
        if key == "delete":  # it needs the member it deletes, first sample included
            ns["M"].Znew = 1
            ns["Q"].Znew = 1
        k = samples if n <= 200 else max(15, samples // 10)
        body, restore = (x.format(mid=mid) if x else x for x in ours)
        row = {"numor": clock.single(body, restore, ns, k), "enum": None, "floor": None}
        if floor:
            fbody, frestore, _ = floor
            row["floor"] = clock.single(fbody.format(mid=mid), frestore, ns, k)
        row["calibration"] = clock.timeit([CALIBRATION], ns)[0]
        rows[key] = row
    return mid, rows


# --- reporting ---------------------------------------------------------------


def fmt_time(s):
    if s is None:
        return "—"
    for unit, scale in (("ns", 1e-9), ("µs", 1e-6), ("ms", 1e-3)):
        if s < scale * 1000:
            return f"{s / scale:.3g} {unit}"
    return f"{s:.3g} s"


def fmt_ratio(a, b):
    if a is None or b is None or b == 0:
        return "—"
    return f"{a / b:.2f}x"


def labels():
    out = [(k, lab) for k, lab, _, _ in READ_OPS]
    out += [(k, lab) for k, lab, _, _, _ in MUT_OPS]
    return out


ENUM_LABELS = {
    "getitem": 'Color["NAME"]',
    "getattr": "Color.NAME",
    "contains": '"NAME" in Color.__members__',
    "len": "len(Color)",
    "list": "list(Color)",
    "class": "class C(Enum) statement",
    "factory": 'Enum("X", names)',
}


def table(results, sizes):
    head = "| operation | " + " | ".join(
        f"n={n}: time | vs enum | vs floor" for n in sizes) + " |"
    sep = "|---|" + "---:|---:|---:|" * len(sizes)
    lines = [head, sep]
    for key, label in labels():
        if key not in results[sizes[0]]["rows"]:
            continue
        cells = []
        for n in sizes:
            r = results[n]["rows"][key]
            cells += [fmt_time(r["numor"]), fmt_ratio(r["numor"], r["enum"]),
                      fmt_ratio(r["numor"], r["floor"])]
        lines.append(f"| {label} | " + " | ".join(cells) + " |")
    return "\n".join(lines)


def reference_table(results, sizes):
    """The absolute times of the references the ratios divide by."""
    head = "| reference | " + " | ".join(f"n={n}" for n in sizes) + " |"
    lines = [head, "|---|" + "---:|" * len(sizes)]
    for key, label in labels():
        if key not in results[sizes[0]]["rows"]:
            continue
        for which, name in (("enum", ENUM_LABELS.get(key)), ("floor", floor_label(key))):
            if not name or all(results[n]["rows"][key][which] is None for n in sizes):
                continue
            cells = [fmt_time(results[n]["rows"][key][which]) for n in sizes]
            lines.append(f"| {label}: {name} | " + " | ".join(cells) + " |")
    return "\n".join(lines)


def floor_label(key):
    for k, _, _, fn in READ_OPS:
        if k == key:
            return fn(20, "NAME", {x: "" for x in ("numor", "enum", "plain", "numor_nested",
                                                  "plain_nested")})[3]
    for k, _, _, _, floor in MUT_OPS:
        if k == key and floor:
            return (floor[0].replace("Q", "P").replace("Znew", "NEW").replace("{mid}", "NAME")
                    + ", plain class")
    return None


GROWTH = {
    "1": lambda n: 1.0,
    "pos": lambda n: n / 2,
    "n": lambda n: n,
    "nlogn": lambda n: n * math.log2(n),
    "n2": lambda n: n * n,
    "ordo": lambda n: n * n,
}

COMPLEXITY_TEXT = {
    "1": "constant",
    "pos": "linear in the name's position",
    "n": "linear",
    "nlogn": "n log n",
    "n2": "quadratic (one linear search per member)",
    "ordo": "quadratic (each member's position is searched in the order list)",
}


def targets(results, sizes):
    """(description, measured, limit, ok) for every target that can be checked."""
    out = []
    if 20 in results:
        r = results[20]["rows"]

        def ratio(key, which):
            return r[key]["numor"] / r[key][which] if key in r else None

        checks = [
            ('n=20: E["NAME"] / Color["NAME"]', ratio("getitem", "enum"), 0.5),
            ('n=20: E["NAME"] / P.NAME (plain class attribute)', ratio("getitem", "floor"), 2.5),
            ('n=20: "NAME" in E / "NAME" in Color.__members__', ratio("contains", "enum"), 0.4),
            ("n=20: len(E) / len(Color)", ratio("len", "enum"), 0.4),
            ("n=20: list(E) / list(Color)", ratio("list", "enum"), 0.25),
            ("n=20: class statement / plain class statement", ratio("class", "floor"), 1.5),
            ("n=20: class statement / Enum class statement", ratio("class", "enum"), 0.12),
            ('n=20: NUmor(names) / Enum("X", names)', ratio("factory", "enum"), 0.08),
        ]
        out += [(d, m, lim, m <= lim) for d, m, lim in checks if m is not None]
    big = [n for n in sizes if n >= 1000]
    mids = [n for n in sizes if 100 <= n < 1000]
    if big and mids:
        lo, hi = mids[-1], big[-1]
        slack = 1.5
        for key, label, cx in [(k, lab, c) for k, lab, c, *_ in READ_OPS + MUT_OPS]:
            if key == "empty" or key not in results[lo]["rows"]:
                continue
            r_lo, r_hi = results[lo]["rows"][key], results[hi]["rows"][key]
            if not r_lo["numor"] or not r_hi["numor"]:
                continue
            a = r_lo["numor"] / r_lo["calibration"]
            b = r_hi["numor"] / r_hi["calibration"]
            allowed = GROWTH[cx](hi) / GROWTH[cx](lo) * slack
            out.append((f"growth n={lo} -> n={hi}: {label} ({COMPLEXITY_TEXT[cx]})",
                        b / a, allowed, b / a <= allowed))
    return out


def machine():
    info = {
        "python": sys.version.split()[0],
        "implementation": platform.python_implementation(),
        "platform": platform.platform(),
        "processor": platform.processor() or platform.machine(),
        "cpus": os.cpu_count(),
        "numor": getattr(numor, "__file__", "?"),
    }
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    info["processor"] = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    return info


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--sizes", type=int, nargs="+", default=list(DEFAULT_SIZES))
    ap.add_argument("--repeat", type=int, default=15, help="repeats per figure (median)")
    ap.add_argument("--min-time", type=float, default=0.01,
                    help="seconds each repeat runs at least")
    ap.add_argument("--samples", type=int, default=400,
                    help="single-statement samples per mutation (fewer at n > 200)")
    ap.add_argument("--quick", action="store_true", help="fewer and shorter repeats")
    ap.add_argument("--pin", action="store_true", help="pin the process to one CPU")
    ap.add_argument("--json", metavar="FILE", help="also write the results as JSON")
    ap.add_argument("--only", nargs="+", metavar="OP",
                    help="measure only these operations (keys: "
                         + ", ".join(k for k, *_ in READ_OPS + MUT_OPS) + ")")
    args = ap.parse_args(argv)
    if args.quick:
        args.repeat, args.min_time, args.samples = 3, 0.005, 100

    if args.pin and hasattr(os, "sched_setaffinity"):
        # Stay on one CPU: a machine's CPUs need not run at the same speed,
        # and a move between them in mid-run shows in the ratios. Not the
        # default: on a machine where other work keeps that CPU busy, the
        # scheduler's choice is the better one.
        cpus = sorted(os.sched_getaffinity(0))
        os.sched_setaffinity(0, {cpus[-1]})
    clock = Clock(args.repeat, args.min_time)
    sizes = sorted(set(args.sizes))
    started = time.perf_counter()
    results = {}
    for n in sizes:
        t0 = time.perf_counter()
        mid, rows = run_size(n, clock, args.samples, args.only)
        results[n] = {"lookup_name": mid, "rows": rows}
        print(f"# n={n}: done in {time.perf_counter() - t0:.1f} s", file=sys.stderr)

    info = machine()
    print(f"numor from {info['numor']}")
    print(f"Python {info['python']} on {info['processor']} ({info['cpus']} CPUs), "
          f"{info['platform']}")
    print("Median time per statement; 'vs enum' divides by the standard library's "
          "matching operation, 'vs floor' by the bare interpreter's.")
    print("Times are whole statements, timeit loop included (the 'empty statement' row); "
          "statements that create classes run with the garbage collector on; mutations are "
          "timed one statement at a time.")
    print("Lookups by name use the member in the middle of the table: "
          + ", ".join(f"{results[n]['lookup_name']} at n={n}" for n in sizes) + ".")
    print()
    print(table(results, sizes))
    print()
    print("References (the denominators):")
    print()
    print(reference_table(results, sizes))
    print()
    checks = targets(results, sizes)
    print("Targets (growth: the ratio of the times at the two sizes, each divided by the "
          f"time of `{CALIBRATION}` measured along with it):")
    print()
    for desc, measured, limit, ok in checks:
        print(f"  {'PASS' if ok else 'MISS'}  {desc}: {measured:.3g} (limit {limit:.3g})")
    print()
    print(f"total {time.perf_counter() - started:.0f} s")

    if args.json:
        payload = {
            "machine": info,
            "sizes": sizes,
            "results": {
                str(n): {
                    "lookup_name": results[n]["lookup_name"],
                    "rows": {k: v for k, v in results[n]["rows"].items()},
                }
                for n in sizes
            },
            "labels": dict(labels()),
            "targets": [
                {"target": d, "measured": m, "limit": lim, "pass": ok}
                for d, m, lim, ok in checks
            ],
        }
        with open(args.json, "w", encoding="utf-8") as f:
            json.dump(payload, f, indent=2, ensure_ascii=False)
    return 0


if __name__ == "__main__":
    sys.exit(main())
