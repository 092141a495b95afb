#!/usr/bin/env python3
"""Instructions per statement under callgrind: the stable evidence.

Wall-clock ratios move with the machine's load; instruction counts do not.
Each statement runs in a child interpreter under ``valgrind --tool=callgrind``
twice, looped a few and many times, in the namespace ``bench.py`` builds
(20 members by default); the difference, divided by the difference of the
loop counts, is the cost of one pass; the cost of a pass of the same loop
around the statement once is subtracted from one around it twice. Everything
but the loop count is the same in both runs (``PYTHONHASHSEED=0``), so
start-up and set-up cancel out exactly. (Subtracting a loop around ``pass``,
``--no-twice``, agrees within one instruction up to 3.13; on Debian's 3.14
and 3.15 such a loop costs more than one around a cheap statement.)
Mutations are counted inside ``exec`` of the statement alone, less ``exec``
of ``pass``.

    python bench/counts.py                   # the table of bench/README.md
    python bench/counts.py --n 5000 --only 'E[key]'
    PYTHONPATH=build:src python bench/counts.py   # a development build
"""

import argparse
import os
import re
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))

# (numor statement, reference statement): the rows of the README's table.
ROWS = [
    ("E[key]", "Color[key]"),
    ("E[key]", "getattr(P, key)"),
    ("key in E", "key in Color.__members__"),
    ("len(E)", "len(Color)"),
    ("list(E)", "list(Color)"),
    ("dict(E)", "{m.name: m.value for m in Color}"),
    ("dict(E)", "dict(PROXY)"),
    ("CLASS_NUMOR", "CLASS_PLAIN"),
    # Mutations, as bench.py times them: the statement alone, the state put
    # back after it uncounted ("statement | restore").
    ("M.Znew = 1 | del M.Znew", "Q.Znew = 1 | del Q.Znew"),
    ("del M.Znew | M.Znew = 1", "del Q.Znew | Q.Znew = 1"),
    ("M.Znew = 1; del M.Znew", "Q.Znew = 1; del Q.Znew"),
]

CHILD = r"""
import gc, sys
sys.path.insert(0, {here!r})
import bench
names, mid, src, ns = bench.build({n}, peers={{}})
stmt = {stmt!r}
if stmt == "CLASS_NUMOR":
    stmt = "exec(SRC_NUMOR, dict(NS))"
    ns["SRC_NUMOR"] = compile(src["numor"], "<class>", "exec")
    ns["NS"] = {{"NUmor": ns["NUmor"]}}
elif stmt == "CLASS_PLAIN":
    stmt = "exec(SRC_PLAIN, dict(NS))"
    ns["SRC_PLAIN"] = compile(src["plain"], "<class>", "exec")
    ns["NS"] = {{}}
if " | " in stmt:
    # Only the statement is counted (valgrind collects inside `exec` only),
    # then the restore runs.
    stmt, restore = stmt.split(" | ")
    if stmt.startswith("del "):
        exec(stmt[4:] + " = 1", ns)  # what the first pass deletes
    ns["CODE"] = compile(stmt, "<stmt>", "exec")
    stmt = "exec(CODE, NSX); " + restore
    ns["NSX"] = ns
code = "def _run(_n):\n    for _ in range(_n):\n" + ("        " + stmt + "\n") * {reps}
exec(code, ns)
run = ns["_run"]
run(50)  # warm the caches the interpreter fills on first use
gc.collect()
run({loops})
"""


_warm = []


def count(stmt, loops, n, reps=1):
    env = dict(os.environ, PYTHONHASHSEED="0")
    if not _warm:
        # One run first, uncounted, so that every counted run finds the
        # modules' bytecode cached: a module compiled in one run only (after
        # a build) would add its compilation to that run's count.
        subprocess.run([sys.executable, "-c", CHILD.format(here=HERE, n=n, stmt="pass", loops=1, reps=1)],
                       check=True, env=env, stdout=subprocess.DEVNULL)
        _warm.append(True)
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "cg.out")
        script = CHILD.format(here=HERE, n=n, stmt=stmt, loops=loops, reps=reps)
        toggle = ["--collect-atstart=no", "--toggle-collect=builtin_exec*"] if " | " in stmt else []
        r = subprocess.run(
            ["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}", *toggle,
             sys.executable, "-c", script],
            check=False, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        if r.returncode:
            raise RuntimeError(r.stderr.decode()[-3000:])
        with open(out) as f:
            for line in f:
                m = re.match(r"(?:summary|totals): (\d+)", line)
                if m:
                    return int(m.group(1))
    raise RuntimeError("no totals in callgrind output")


def per_pass(stmt, n, lo, hi, reps=1):
    return (count(stmt, hi, n, reps) - count(stmt, lo, n, reps)) / (hi - lo)


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--n", type=int, default=20, help="members (default 20)")
    p.add_argument("--only", nargs="*", help="numor statements to count")
    p.add_argument("--no-reference", action="store_true", help="count numor's statements only")
    p.add_argument("--twice", action=argparse.BooleanOptionalAction, default=True,
                   help="subtract a loop around the statement from a loop around it twice "
                        "(default), or (--no-twice) a loop around `pass` from it")
    args = p.parse_args()
    empty = {}

    def cost(stmt):
        heavy = stmt.startswith("CLASS") or stmt.startswith(("list", "dict", "{"))
        # Cheap statements loop long enough that what differs between two
        # runs of a large table's set-up (addresses) is lost in the count.
        lo, hi = (20, 220) if heavy else (2000, 22000)
        if args.twice and " | " not in stmt:
            return per_pass(stmt, args.n, lo, hi, 2) - per_pass(stmt, args.n, lo, hi)
        # A counted statement is compared with `pass` counted the same way.
        base = "pass | pass" if " | " in stmt else "pass"
        if (base, lo, hi) not in empty:
            empty[base, lo, hi] = per_pass(base, args.n, lo, hi)
        return per_pass(stmt, args.n, lo, hi) - empty[base, lo, hi]

    print(f"Python {sys.version.split()[0]}, {args.n} members")
    print("| statement | numor | reference | ratio |")
    print("|---|---:|---:|---:|")
    done = {}
    for ours, ref in ROWS:
        if args.only and ours not in args.only:
            continue
        if ours in done and args.no_reference:
            continue
        a = done[ours] = done[ours] if ours in done else cost(ours)
        if args.no_reference:
            print(f"| `{ours}` | {a:,.0f} | | |", flush=True)
            continue
        b = cost(ref)
        print(f"| `{ours}` / `{ref}` | {a:,.0f} | {b:,.0f} | {a / b:.2f} |", flush=True)


if __name__ == "__main__":
    main()
