#!/usr/bin/env python3
"""Timings of numor against the standard library's enum and the interpreter.

For enumerations of several sizes (20, 5,000 and 100,000 members by default)
this measures every read operation, class creation and the mutations of a
mutable enumeration, and prints, side by side for all sizes, the median time
of each operation, its ratio to the matching operation of the standard
library's ``enum`` and its ratio to a floor: the nearest thing the bare
interpreter does (an attribute of a plain class, a dict lookup, a plain class
statement, ...). It prints how each operation's time grows between the two
largest sizes, measures the enum libraries ``aenum``, ``fastenum`` and
``basicenum`` when they are installed, then checks the performance targets and
prints PASS or MISS for each.

Standard library only (the peer libraries are optional and never installed
by the bench). It imports whatever ``numor`` the interpreter finds, so
``PYTHONPATH=build:src python bench/bench.py`` measures a development build
and plain ``python bench/bench.py`` the installed package.

    python bench/bench.py                 # full run, about 5 minutes
    python bench/bench.py --quick         # fewer and shorter repeats
    python bench/bench.py --json out.json # also write the results as JSON
    python bench/bench.py --sizes 20 --only getitem class

Every figure is the median over several repeats; each repeat runs the
statement in a timeit loop long enough to swamp the clock's resolution.
Timings include the timeit loop itself (shown as the "empty statement" row),
for numor and for the references alike, so ratios are of whole statements.
Mutations of a mutable enumeration change its state, so they are timed one
statement at a time between two clock reads, with the cost of the clock
reads themselves subtracted, and the state is restored outside the timing.
A statement whose single execution takes longer than the cap (``--cap``) is
not measured at that size: its cells show "—".
"""

import argparse
import enum
import gc
import importlib
import json
import math
import os
import platform
import signal
import statistics
import sys
import threading
import time
import timeit
import types

import numor
from numor import NUmor, NUmorMutant

DEFAULT_SIZES = (20, 5000, 100000)


# --- measuring ---------------------------------------------------------------


class OverCap(Exception):
    """Raised by the alarm that ends a statement running past the cap."""


def _over_cap(signum, frame):
    raise OverCap


class Clock:
    def __init__(self, repeat, min_time, cap=None, budget=None):
        self.repeat = repeat
        self.min_time = min_time
        self.cap = cap
        self.budget = budget

    def capped(self, fn, interrupt=True):
        """Seconds that `fn()` reports, or None when the run took over the cap.

        Where the platform has interval timers, an alarm interrupts the run
        at the cap (unless `interrupt` is false: a mutation cut short would
        leave its class changed). It can only land between two bytecodes, so
        a long call into C still runs to its end; it is then discarded all
        the same.
        """
        if not self.cap:
            return fn()
        alarm = (interrupt and hasattr(signal, "setitimer")
                 and threading.current_thread() is threading.main_thread())
        old = signal.signal(signal.SIGALRM, _over_cap) if alarm else None
        try:
            try:
                if alarm:
                    signal.setitimer(signal.ITIMER_REAL, self.cap)
                t = fn()
            finally:
                if alarm:
                    signal.setitimer(signal.ITIMER_REAL, 0)
        except OverCap:
            return None
        finally:
            if alarm:
                signal.signal(signal.SIGALRM, old)
        return t if t <= self.cap else None

    def timeit(self, stmts, ns, gc_on=False):
        """Median seconds per execution of each statement of `stmts`.

        The statements (source strings, run in namespace `ns`) are the
        operation and its references. Their repeats are interleaved, one of
        each in turn, so that a change in the machine's load during the
        measurement touches all of them alike and their ratio holds. A
        statement whose first execution runs past the cap gives None.

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
            t = self.capped(lambda: timer.timeit(1))
            if t is None:
                timers.append(None)
                numbers.append(0)
                runs.append(None)
                continue
            # The first run pays for what is made once and kept (caches,
            # indexes, specialised bytecode): it must not set the loop's
            # length, or a statement that is fast from then on would be
            # timed one run at a time. Long ones are kept as they are.
            if t < 0.1:
                t = timer.timeit(1)

            def grow(number, t):
                while t < self.min_time:
                    guess = int(number * self.min_time / max(t, 1e-9) * 1.1) + 1
                    number = min(max(guess, number * 2), number * 100)
                    t = timer.timeit(number)
                return number, t

            number, t = grow(1, t)
            # The loop found may still hold warm-up: a name index is made
            # only at a table's 16th lookup, and at 100,000 members the scans
            # before it and its making fill a loop of 100 runs. Timed again,
            # warm, a loop that became too short grows to length.
            number, t = grow(number, timer.timeit(number))
            timers.append(timer)
            numbers.append(number)
            runs.append([t / number])
        # Statements of a second or more get fewer repeats (three at least),
        # so that a run at 100,000 members stays within minutes.
        repeat = self.repeat
        per_repeat = sum(k * r[0] for k, r in zip(numbers, runs) if r)
        if self.budget and per_repeat * repeat > self.budget:
            repeat = max(3, int(self.budget / per_repeat))
        for _ in range(repeat - 1):
            for timer, number, out in zip(timers, numbers, runs):
                if timer is not None:
                    out.append(timer.timeit(number) / number)
        gc.collect()
        return [statistics.median(r) if r else None for r in runs]

    def single(self, body, restore, ns, samples):
        """Seconds of one statement `body` run between two clock reads.

        `restore` runs after each sample, outside the timing, to put the
        state back. The clock's own cost (two reads with nothing between) is
        measured the same way and subtracted. Each is the mean of its samples
        with the tenth at either end left out: the clock moves in steps
        (10 ns on a KVM guest's TSC) as long as a cheap statement, so a
        median is a whole number of steps, while the mean of many readings
        falls between them. None when one sample, restore included, runs
        past the cap.
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
            def first():
                t0 = time.perf_counter()
                env["_run"](1)
                return time.perf_counter() - t0
            t = self.capped(first, interrupt=False)
            if t is None:
                return None
            if self.budget and t * samples > self.budget:
                samples = max(5, int(self.budget / t))
            env["_run"](min(samples, 5))  # warm up
            times = env["_run"](samples)
            base = empty["_run"](max(samples, 200))
        finally:
            if was:
                gc.enable()
        gc.collect()
        return max(trimmed_mean(times) - trimmed_mean(base), 0) * 1e-9


def trimmed_mean(xs, cut=0.1):
    """The mean of `xs` without its `cut` smallest and largest part."""
    xs = sorted(xs)
    k = int(len(xs) * cut)
    kept = xs[k:len(xs) - k] or xs
    return sum(kept) / len(kept)


def within(limit, make):
    """What `make()` returns, or None when it runs past `limit` seconds."""
    box = []

    def run():
        t0 = time.perf_counter()
        box.append(make())
        return time.perf_counter() - t0

    return box[0] if Clock(1, 0, cap=limit).capped(run) is not None and box else None


# --- the enumerations of one size ----------------------------------------------


def body_of(names, value=lambda i, nm: str(i)):
    return "".join(f"    {nm} = {value(i, nm)}\n" for i, nm in enumerate(names))


def build(n, limit=None, peers=()):
    """Namespace with every object the statements of one size refer to.

    The standard library's enumeration and the peers' are made within
    `limit` seconds each; one that takes longer is None and the statements
    about it are left out.
    """
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

    def make(kind, extra=None, base=None):
        env = dict(ns, Base=base)
        exec(src[kind] if extra is None else extra, env)
        return env["C"]

    ns.update(
        E=make("numor"),
        F=make("numor", f"class C(NUmor):\n{body_of(other)}"),
        M=make("mutable"),
        Color=within(limit, lambda: make("enum")),
        P=make("plain"),
        Q=make("plain"),
        T=tuple(names),
        names=list(names),
        values=list(range(n)),
        tns={nm: nm for nm in names},
        D10={f"U{i}": i for i in range(10)},
        DALL={nm: i for i, nm in enumerate(names)},
        DNEW={nm: i for i, nm in enumerate(other)},
        U10=[f"U{i}" for i in range(10)],
        CAL=[f"c{(i * 37) % 64:02d}" for i in range(64)],
        # The name looked up, made at run time as a name parsed from input
        # would be: equal to the member's name but not the same object, so no
        # lookup finds it by identity.
        key="".join([mid[:1], mid[1:]]),
    )
    assert ns["key"] == mid and ns["key"] is not mid
    # The interpreter's own read-only mapping over a dict: what dict() costs
    # for a mapping that is not a dict, with nothing to do per key but its
    # dict's lookup.
    ns["PROXY"] = types.MappingProxyType(ns["DALL"])
    for name, (base, _) in peers.items():
        ns["X_" + name] = within(limit, lambda: make("enum", f"class C(Base):\n{body}", base))
    return names, mid, src, ns


# --- the operations ----------------------------------------------------------

# Each row: key, label, and a function of (n, mid, src) giving (numor
# statement, enum statement, floor statement, floor label). Statements are
# source text run in the namespace of `build`. `mid` is the name in the middle
# of the table; lookups by name use `key`, a copy of it made at run time.

TYPE_NS = 'type("X", (), tns)'
ZIP_LIST = "list(zip(names, values))"
ZIP_DICT = "dict(zip(names, values))"
UPDATE_N = "class X(NUmorMutant):\n    a = 1\nX.update(DNEW)"
UPDATE_N_FLOOR = f"class X:\n    a = 1\n{TYPE_NS}"


def slice_stmt(n):
    return f"E[2:{min(10, n)}]"


READ_OPS = [
    ("empty", "empty statement (timeit loop)", lambda n, m, s: ("pass", None, None, None)),
    ("getitem", "E[name]", lambda n, m, s: (
        "E[key]", "Color[key]", "getattr(P, key)", "getattr(P, name), plain class")),
    ("getattr", "E.NAME", lambda n, m, s: (
        f"E.{m}", f"Color.{m}", f"P.{m}", "P.NAME, plain class")),
    ("getpos", "E[i] (i = n // 2)", lambda n, m, s: (
        f"E[{n // 2}]", None, f"T[{n // 2}]", "tuple[i]")),
    ("contains", "name in E", lambda n, m, s: (
        "key in E", "key in Color.__members__", "key in DALL", "name in dict")),
    ("len", "len(E)", lambda n, m, s: ("len(E)", "len(Color)", "len(T)", "len(tuple)")),
    ("list", "list(E)", lambda n, m, s: ("list(E)", "list(Color)", ZIP_LIST, ZIP_LIST)),
    ("dict", "dict(E)", lambda n, m, s: (
        "dict(E)", "{m.name: m.value for m in Color}", ZIP_DICT, ZIP_DICT)),
    ("merge", "dict(E) (floor: merge of a mappingproxy)", lambda n, m, s: (
        "dict(E)", None, "dict(PROXY)", "dict(mappingproxy(d))")),
    ("keys", "E.keys()", lambda n, m, s: ("E.keys()", None, "list(T)", "list(tuple)")),
    ("values", "E.values()", lambda n, m, s: (
        "E.values()", "[m.value for m in Color]", ZIP_LIST, ZIP_LIST)),
    ("get", "E.get(name)", lambda n, m, s: (
        "E.get(key)", None, "DALL.get(key)", "dict.get(name)")),
    ("index", "E.index(name)", lambda n, m, s: (
        "E.index(key)", None, "DALL[key]", "dict[name] (name -> position)")),
    ("slice", "E[2:10] (fixed size)", lambda n, m, s: (slice_stmt(n), None, None, None)),
    ("slice_n", "E[1:n-1]", lambda n, m, s: (
        f"E[1:{n - 1}]", None, TYPE_NS, "type(name, (), ns), n names")),
    ("add", "E + F (disjoint, n each)", lambda n, m, s: (
        "E + F", None, TYPE_NS, "type(name, (), ns), n names")),
    ("class", "class statement, n members", lambda n, m, s: (
        s["numor"], s["enum"], s["plain"], "plain class statement")),
    ("factory", "NUmor(names)", lambda n, m, s: (
        "NUmor(names)", 'Enum("X", names)', TYPE_NS, "type(name, (), ns), n names")),
    ("nested", "class with dict members (every 4th)", lambda n, m, s: (
        s["numor_nested"], None, s["plain_nested"], "plain class statement")),
    ("update_n", "mutable: fresh class, update adding n names", lambda n, m, s: (
        UPDATE_N, None, UPDATE_N_FLOOR, "plain class statement + type(name, (), ns), n names")),
]

# The same work at every size, timed along with every operation: the growth
# exponents divide by it, so that a change of the machine's speed between the
# sizes does not count as growth.
CALIBRATION = "sorted(CAL)"

# Operations that create a class each time; timed with the collector on.
MAKES_CLASSES = {"slice", "slice_n", "add", "class", "factory", "nested", "update_n"}

# The interpreter's own work that an operation's growth with n is held to:
# its growth exponent may exceed that of this statement, measured in the same
# run, by at most GROWTH_SLACK.
GROWTH_FLOOR = {
    "list": ZIP_LIST,
    "values": ZIP_LIST,
    "dict": ZIP_DICT,
    "slice_n": TYPE_NS,
    "add": TYPE_NS,
    "factory": TYPE_NS,
    "update_n": TYPE_NS,
    "class": TYPE_NS,
}
GROWTH_SLACK = 0.1

# Mutations: key, label, numor (body, restore), floor (body, restore, label).
# Run one statement at a time (Clock.single).
MUT_OPS = [
    ("set_new", "mutable: M.NEW = v (new member)",
     ("M.Znew = 1", "del M.Znew"), ("Q.Znew = 1", "del Q.Znew", "plain class")),
    ("set_old", "mutable: M.NAME = v (replace)",
     ("M.{mid} = 1", None), ("Q.{mid} = 1", None, "plain class")),
    ("delete", "mutable: del M.NAME",
     ("del M.Znew", "M.Znew = 1"), ("del Q.Znew", "Q.Znew = 1", "plain class")),
    ("update", "mutable: M.update(10 new names)",
     ("M.update(D10)", "[delattr(M, _u) for _u in U10]"), None),
    ("clear", "mutable: M.clear()",
     ("M.clear()", "M.update(DALL)"), None),
]

# Enumeration libraries from PyPI measured when installed: name, module, class,
# and the mapping from member names to members (for `in` and, where the class
# has no length, `len`).
PEERS = [
    ("aenum", "aenum", "Enum", "__members__"),
    ("fastenum", "fastenum", "Enum", "_member_map_"),
    ("basicenum", "basicenum.compat", "Enum", "__members__"),
]

# key, label, numor statement, peer statement (X is the peer's class).
PEER_OPS = [
    ("getitem", "E[name]", "E[key]", "X[key]"),
    ("contains", "name in E", "key in E", "key in X.{members}"),
    ("len", "len(E)", "len(E)", "len(X)"),
    ("list", "list(E)", "list(E)", "list(X)"),
    ("dict", "dict(E)", "dict(E)", "{{m.name: m.value for m in X}}"),
]


def load_peers():
    """The installed peers, {name: (base class, members attribute)}, and notes."""
    found, notes = {}, []
    for name, module, cls, members in PEERS:
        try:
            found[name] = (getattr(importlib.import_module(module), cls), members)
        except ImportError:
            notes.append(f"peer {name} not installed")
    return found, notes


def run_size(n, clock, samples, only=None, limit=None, peers=None):
    peers = peers or {}
    names, mid, src, ns = build(n, limit, peers)
    rows, skipped = {}, []
    if ns["Color"] is None:
        skipped.append(("enum class", "enum", f"not made within {limit:g} s"))
    for key, label, fn in READ_OPS:
        if only and key not in only:
            continue
        ours, theirs, floor, _ = fn(n, mid, src)
        if ns["Color"] is None:
            theirs = None
        gfloor = GROWTH_FLOOR.get(key)
        stmts = {"numor": ours, "enum": theirs, "floor": floor,
                 "gfloor": gfloor if gfloor != floor else None, "calibration": CALIBRATION}
        present = [k for k, v in stmts.items() if v]
        times = clock.timeit([stmts[k] for k in present], ns, key in MAKES_CLASSES)
        row = dict.fromkeys(stmts)
        for k, t in zip(present, times):
            row[k] = t
            if t is None:
                skipped.append((label, k, "over cap"))
        if gfloor and gfloor == floor:
            row["gfloor"] = row["floor"]
        rows[key] = row
    for key, label, ours, floor in MUT_OPS:
        if only and key not in only:
            continue
        if key == "delete":  # it needs the member it deletes, first sample included
            ns["M"].Znew = 1
            ns["Q"].Znew = 1
        k = samples if n <= 200 else max(15, samples // 10)
        body, restore = (x.format(mid=mid) if x else x for x in ours)
        row = {"numor": clock.single(body, restore, ns, k), "enum": None, "floor": None,
               "gfloor": None}
        if row["numor"] is None:
            skipped.append((label, "numor", "over cap"))
        if floor:
            fbody, frestore, _ = floor
            row["floor"] = clock.single(fbody.format(mid=mid), frestore, ns, k)
        row["calibration"] = clock.timeit([CALIBRATION], ns)[0]
        rows[key] = row
    peer_rows = {}
    built = [p for p in peers if ns["X_" + p] is not None]
    for p in peers:
        if p not in built:
            skipped.append((f"{p} class", p, f"not made within {limit:g} s"))
    for key, label, ours, theirs in PEER_OPS:
        if not built or (only and key not in only):
            continue
        which, stmts = ["numor"], [ours]
        for p in built:
            stmt = theirs.format(members=peers[p][1]).replace("X", "X_" + p)
            if key == "len" and not hasattr(type(ns["X_" + p]), "__len__"):
                stmt = f"len(X_{p}.{peers[p][1]})"
            try:
                eval(stmt, dict(ns))
            except Exception as e:  # a peer without the operation
                skipped.append((label, p, f"{type(e).__name__}: {e}"))
                continue
            which.append(p)
            stmts.append(stmt)
        times = clock.timeit(stmts, ns)
        peer_rows[key] = dict(zip(which, times))
        for p, t in zip(which[1:], times[1:]):
            if t is None:
                skipped.append((label, p, "over cap"))
    return mid, rows, peer_rows, skipped


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


def fmt_exp(e):
    return "—" if e is None else f"{e:.2f}"


def labels():
    out = [(k, lab) for k, lab, _ in READ_OPS]
    out += [(k, lab) for k, lab, _, _ in MUT_OPS]
    return out


ENUM_LABELS = {
    "getitem": "Color[name]",
    "getattr": "Color.NAME",
    "contains": "name in Color.__members__",
    "len": "len(Color)",
    "list": "list(Color)",
    "dict": "{m.name: m.value for m in Color}",
    "values": "[m.value for m in Color]",
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
    for k, _, fn in READ_OPS:
        if k == key:
            return fn(20, "NAME", {x: "" for x in ("numor", "enum", "plain", "numor_nested",
                                                  "plain_nested")})[3]
    for k, _, _, floor in MUT_OPS:
        if k == key and floor:
            return (floor[0].replace("Q", "P").replace("Znew", "NEW").replace("{mid}", "NAME")
                    + ", plain class")
    return None


def exponent(results, lo, hi, key, which):
    """How the time grows from n=lo to n=hi: t proportional to n ** exponent.

    Each time is divided by the calibration statement measured along with
    it, so that a change of the machine's speed does not count as growth.
    """
    a, b = results[lo]["rows"].get(key), results[hi]["rows"].get(key)
    if not a or not b or not a[which] or not b[which]:
        return None
    ta, tb = a[which] / a["calibration"], b[which] / b["calibration"]
    return math.log(tb / ta) / math.log(hi / lo)


def growth_sizes(sizes):
    return (sizes[-2], sizes[-1]) if len(sizes) >= 2 else None


def growth_table(results, sizes):
    lo, hi = growth_sizes(sizes)
    lines = ["| operation | numor | enum | floor | growth floor | growth floor statement |",
             "|---|---:|---:|---:|---:|---|"]
    for key, label in labels():
        if key == "empty" or key not in results[lo]["rows"]:
            continue
        cells = [fmt_exp(exponent(results, lo, hi, key, w))
                 for w in ("numor", "enum", "floor", "gfloor")]
        cells.append(GROWTH_FLOOR.get(key, "").replace("\n", " "))
        lines.append(f"| {label} | " + " | ".join(cells) + " |")
    return "\n".join(lines)


def peer_table(peer_results, sizes, names):
    head = "| operation | n | numor | " + " | ".join(
        f"{p} | numor vs {p}" for p in names) + " |"
    lines = [head, "|---|---:|---:|" + "---:|---:|" * len(names)]
    for key, label, _, _ in PEER_OPS:
        for n in sizes:
            r = peer_results[n].get(key)
            if not r:
                continue
            cells = [fmt_time(r["numor"])]
            for p in names:
                cells += [fmt_time(r.get(p)), fmt_ratio(r["numor"], r.get(p))]
            lines.append(f"| {label} | {n} | " + " | ".join(cells) + " |")
    return "\n".join(lines)


def ratio_targets(n, r):
    """The ratio targets that apply at size n on this interpreter."""
    checks = []
    if n >= 1000:
        checks += [
            ("getitem", "enum", "E[name] / Color[name]", 0.5 if sys.version_info < (3, 12) else 0.8),
            ("contains", "enum", "name in E / name in Color.__members__", 0.5),
            ("list", "enum", "list(E) / list(Color)", 0.5),
            ("dict", "enum", "dict(E) / {m.name: m.value for m in Color}", 0.5),
        ]
    elif n == 20 and sys.version_info < (3, 12):
        checks += [
            ("getitem", "enum", "E[name] / Color[name]", 0.45),
            ("contains", "enum", "name in E / name in Color.__members__", 0.5),
            ("len", "enum", "len(E) / len(Color)", 0.4),
            ("list", "enum", "list(E) / list(Color)", 0.4),
            ("dict", "enum", "dict(E) / {m.name: m.value for m in Color}", 0.5),
            ("class", "floor", "class statement / plain class statement", 1.3),
            ("set_new", "floor", "mutable M.NEW = v / P.NEW = 1 on a plain class", 4.0),
            ("class", "enum", "class statement / Enum class statement", 0.12),
            ("factory", "enum", 'NUmor(names) / Enum("X", names)', 0.08),
        ]
    elif n == 20:
        checks += [
            ("getitem", "enum", "E[name] / Color[name]", 0.8),
            ("contains", "enum", "name in E / name in Color.__members__", 0.8),
            ("len", "enum", "len(E) / len(Color)", 0.8),
            ("list", "enum", "list(E) / list(Color)", 0.8),
            ("class", "floor", "class statement / plain class statement", 1.3),
            ("set_new", "floor", "mutable M.NEW = v / P.NEW = 1 on a plain class", 4.0),
        ]
    # Against the interpreter's own floor, at every size.
    checks += [
        ("getitem", "floor", "E[name] / getattr(P, name) (plain class attribute)", 1.4),
        ("dict", "floor", "dict(E) / dict(zip(names, values))", 1.25),
    ]
    if n >= 1000:
        checks.append(("list", "floor", "list(E) / list(zip(names, values))", 1.3))
    out = []
    for key, which, desc, limit in checks:
        row = r.get(key)
        if row and row["numor"] and row[which]:
            m = row["numor"] / row[which]
            out.append((f"n={n}: {desc}", m, limit, m <= limit))
    return out


def targets(results, sizes):
    """(description, measured, limit, ok) for every target that can be checked."""
    out = []
    for n in sizes:
        out += ratio_targets(n, results[n]["rows"])
    if growth_sizes(sizes):
        lo, hi = growth_sizes(sizes)
        for key, label in labels():
            if key not in GROWTH_FLOOR:
                continue
            e = exponent(results, lo, hi, key, "numor")
            f = exponent(results, lo, hi, key, "gfloor")
            if e is None or f is None:
                continue
            floor = GROWTH_FLOOR[key]
            out.append((f"growth exponent n={lo} -> n={hi}: {label} vs {floor} ({f:.2f}) "
                        f"+ {GROWTH_SLACK}", e, f + GROWTH_SLACK, e <= f + GROWTH_SLACK))
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
    ap.add_argument("--cap", type=float, metavar="SECONDS",
                    help="skip a statement whose single run takes longer (default 2, "
                         "1 with --quick; 0: no cap)")
    ap.add_argument("--budget", type=float, metavar="SECONDS",
                    help="fewer repeats (3 at least) for an operation whose repeats would "
                         "take longer together (default 3, 1 with --quick)")
    ap.add_argument("--quick", action="store_true", help="fewer and shorter repeats")
    ap.add_argument("--pin", action="store_true", help="pin the process to one CPU")
    ap.add_argument("--json", metavar="FILE", help="also write the results as JSON")
    ap.add_argument("--only", nargs="+", metavar="OP",
                    help="measure only these operations (keys: "
                         + ", ".join(k for k, *_ in READ_OPS + MUT_OPS) + ")")
    args = ap.parse_args(argv)
    if args.quick:
        args.repeat, args.min_time, args.samples = 3, 0.005, 100
    if args.cap is None:
        args.cap = 1.0 if args.quick else 2.0
    if args.budget is None:
        args.budget = 1.0 if args.quick else 3.0
    # Making the enumerations themselves is not timed, but the standard
    # library's and the peers' take seconds at 100,000 members.
    limit = 15 * args.cap if args.cap else None

    if args.pin and hasattr(os, "sched_setaffinity"):
        # Stay on one CPU: a machine's CPUs need not run at the same speed,
        # and a move between them in mid-run shows in the ratios. Not the
        # default: on a machine where other work keeps that CPU busy, the
        # scheduler's choice is the better one.
        cpus = sorted(os.sched_getaffinity(0))
        os.sched_setaffinity(0, {cpus[-1]})
    clock = Clock(args.repeat, args.min_time, args.cap or None, args.budget or None)
    sizes = sorted(set(args.sizes))
    peers, peer_notes = load_peers()
    started = time.perf_counter()
    results, peer_results, skipped = {}, {}, []
    for n in sizes:
        t0 = time.perf_counter()
        mid, rows, prows, skip = run_size(n, clock, args.samples, args.only, limit, peers)
        results[n] = {"lookup_name": mid, "rows": rows}
        peer_results[n] = prows
        skipped += [(n, *s) for s in skip]
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
    print("Lookups by name use a copy, made at run time (not interned), of the name in the "
          "middle of the table: "
          + ", ".join(f"{results[n]['lookup_name']} at n={n}" for n in sizes) + ".")
    if args.cap:
        print(f"Statements whose single run takes over {args.cap:g} s are not measured "
              "at that size (—).")
    print()
    print(table(results, sizes))
    print()
    print("References (the denominators):")
    print()
    print(reference_table(results, sizes))
    print()
    if skipped:
        for n, label, which, why in skipped:
            print(f"skipped: {why}: n={n}: {label} ({which})")
        print()
    if growth_sizes(sizes):
        lo, hi = growth_sizes(sizes)
        print(f"Growth exponents from n={lo} to n={hi}: log(t{hi} / t{lo}) / log({hi} / {lo}), "
              f"each time divided by that of `{CALIBRATION}` measured along with it "
              "(1: linear, 0: constant):")
        print()
        print(growth_table(results, sizes))
        print()
    for note in peer_notes:
        print(note)
    if peers and any(peer_results.values()):
        print("Enumeration libraries from PyPI ('numor vs X' divides numor's time by X's):")
        print()
        print(peer_table(peer_results, sizes, list(peers)))
    print()
    checks = targets(results, sizes)
    print("Targets:")
    print()
    for desc, measured, limit_, ok in checks:
        print(f"  {'PASS' if ok else 'MISS'}  {desc}: {measured:.3g} (limit {limit_:.3g})")
    print()
    print(f"total {time.perf_counter() - started:.0f} s")

    if args.json:
        payload = {
            "machine": info,
            "sizes": sizes,
            "cap": args.cap,
            "results": {
                str(n): {
                    "lookup_name": results[n]["lookup_name"],
                    "rows": {k: v for k, v in results[n]["rows"].items()},
                    "peers": peer_results[n],
                }
                for n in sizes
            },
            "labels": dict(labels()),
            "skipped": [{"n": n, "operation": lab, "statement": w, "why": why}
                        for n, lab, w, why in skipped],
            "growth": {
                key: {w: exponent(results, *growth_sizes(sizes), key, w)
                      for w in ("numor", "enum", "floor", "gfloor")}
                for key, _ in labels()
                if growth_sizes(sizes) and key in results[sizes[-1]]["rows"]
            },
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
