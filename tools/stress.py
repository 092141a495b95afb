#!/usr/bin/env python3
"""Differential stress test: random programs of re-entrant hostile operations.

Each program builds a few enumerations whose names, keys, namespaces,
metaclasses and module globals are booby-trapped: a str subclass whose
``__eq__``, ``__hash__`` or ``strip`` runs the next queued action, mappings
whose ``__getitem__`` does the same, descriptors whose types later gain
``__set__`` or lose ``__get__``, metaclass dunders rebound, module globals
rebound mid-call, member iterators thrown into and closed. The queued actions
change the classes in the middle of whatever operation runs the trap.

Every program runs in a child interpreter once per build given, and prints
one line per step: the value, or the exception's type and arguments. A child
that dies, or builds whose lines differ, is a failure; the program's source
is kept for the report.

    python tools/stress.py --builds build/fast build/generic --programs 500
    python tools/stress.py --builds build/fast --seed 7 --programs 1 --show

A build is a directory holding the numor extension; ``utilites`` is found in
``src/`` beside this script's parent. Seeds are numbered from ``--seed``, so a
failure is replayed by its seed.
"""

import argparse
import os
import random
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

PRELUDE = r'''
import gc, re, sys
gc.disable()   # collections only where a step asks, at the same point in every build
sys.setrecursionlimit(400)
import numor
from numor import NUmor, NUmorMutant, mNUmor, mmNumor
orig = dict(numor.__dict__)
queue = []
depth = [0]

def fire():
    """Runs the next queued action, once, not nested too deep."""
    if queue and depth[0] < 3:
        act = queue.pop(0)
        depth[0] += 1
        try:
            act()
        except BaseException:
            pass
        finally:
            depth[0] -= 1

class S(str):
    def __eq__(self, other):
        fire()
        return str.__eq__(self, other)
    def __ne__(self, other):
        fire()
        return str.__ne__(self, other)
    def __hash__(self):
        fire()
        return str.__hash__(self)
    def strip(self, *a):
        fire()
        return S(str.strip(self, *a))

class Trap(dict):
    def __getitem__(self, k):
        fire()
        return dict.__getitem__(self, k)
    def __contains__(self, k):
        fire()
        return dict.__contains__(self, k)

class Seq:
    def __init__(self, items): self.items = list(items)
    def __iter__(self):
        for x in self.items:
            fire()
            yield x
    def __len__(self):
        fire()
        return len(self.items)
    def __contains__(self, x):
        fire()
        return x in self.items
    def __getitem__(self, i):
        fire()
        return self.items[i]
    def index(self, x):
        fire()
        return self.items.index(x)

class D:
    def __get__(self, obj, owner=None):
        fire()
        return "meta"

class Meta(mmNumor):
    RED = D()

class FMeta(mNUmor):
    pass

def make():
    global E, F, M, N, G, H
    E = mmNumor("E", (NUmorMutant,), {K("_key"): 0, "a": 1, "b": 2, K("c"): 3, "RED": 4})
    F = NUmor(["b", "a", "x"], "F")
    M = Meta("M", (NUmorMutant,), {"a": 1, "RED": 2, K("z"): 5})
    N = FMeta("N", (NUmor,), {"a": 1, "_u": 2, "RED": 3, "k": {"p": 1}})
    G = mmNumor("G", (NUmorMutant,), {("n%d" % i): i for i in range(60)})
    # Large enough for the walks of dict(H) and list(H) in table order.
    H = mmNumor("H", (NUmorMutant,), {K("h5"): -1, **{("h%03d" % i): i for i in range(520)}})

def show(x, d=0):
    if d > 3:
        return "..."
    if isinstance(x, (bool, int, float)) or x is None:
        return repr(x)
    if type(x) is str or isinstance(x, str):
        return type(x).__name__ + ":" + str.__repr__(x)
    if type(x) in (tuple, list):
        return type(x).__name__ + "(" + ",".join(show(v, d + 1) for v in x) + ")"
    if type(x) is dict:
        return "{" + ",".join(show(k, d + 1) + ":" + show(v, d + 1) for k, v in x.items()) + "}"
    if isinstance(x, type):
        return "class:" + type.__getattribute__(x, "__name__")
    return "obj:" + type(x).__name__

def scrub(s):
    return re.sub(r"0x[0-9a-f]+", "0x", s)

def step(i, f):
    try:
        r = f()
        if type(r) not in (tuple, list, dict, bool, int, str) and hasattr(r, "__next__"):
            r = list(r)
        out = "ok " + show(r)
    except RecursionError:
        out = "err RecursionError"
    except Exception as e:
        out = "err " + type(e).__name__ + " " + scrub(show(e.args))
    print(i, out, flush=True)

K = S if TRAPPED_CLASS_DICTS else str
make()
'''

CLASSES = ["E", "F", "M", "N", "G", "H"]
MUTABLE = ["E", "M", "G", "H"]
KEYS = ["'a'", "S('a')", "''.join(['a'])", "'x'", "'RED'", "S('RED')", "0", "1", "-1", "99",
        "'_key'", "S('_key')", "'n30'", "''.join(['n', '30'])", "S('n31')", "slice(1, 3)",
        "slice(None, None, -1)", "'_u'", "'k'", "N", "3.5"]
VALUES = ["7", "'v'", "{'q': 1}", "{}", "(lambda c: 1)", "D()", "Seq([1])", "()", "None"]
NAMES = ["'a'", "'x'", "'y'", "S('y')", "'_key'", "S('_key')", "'RED'", "'n5'", "'_p'", "'zz'"]
TABLES = ["()", "('a',)", "('a', 'a', 'b')", "(S('a'), 'b')", "Seq(['a', 'b'])", "['a', 'x']",
          "'ab'", "None", "(1, 2)", "tuple('n%d' % i for i in range(60))"]


def read_op(r):
    c, k = r.choice(CLASSES), r.choice(KEYS)
    return r.choice([
        f"{c}[{k}]", f"{c}.get({k}, 'dflt')", f"{k} in {c}", f"len({c})", f"list({c})",
        f"dict({c})", f"{c}.keys()", f"{c}.values()", f"{c}.index({k})", f"bool({c})",
        f"dir({c})", f"{c} + {r.choice(CLASSES)}", f"str({c})", f"{c}[1:3]",
        f"[{c}[n] for n in {c}.keys()]", f"{c}.{r.choice(['a', 'RED', '_key', 'b'])}",
    ])


def write_op(r):
    c, n, v = r.choice(MUTABLE), r.choice(NAMES), r.choice(VALUES)
    return r.choice([
        f"setattr({c}, {n}, {v})", f"delattr({c}, {n})", f"type.__delattr__({c}, '_key')",
        f"type.__setattr__({c}, '_key', {r.choice(TABLES)})", f"{c}.update({{{n}: {v}}})",
        f"{c}.update(Trap({{{n}: {v}, 'q': 2}}))", f"{c}.clear()", f"{c}.__delitem__({n})",
        f"setattr({c}, '_key', {r.choice(TABLES)})",
        f"type.__setattr__({r.choice(['E', 'F', 'N'])}, '_key', {r.choice(TABLES)})",
        f"type.__setattr__({r.choice(['E', 'F', 'N'])}, {n}, {v})",
    ])


def meta_op(r):
    return r.choice([
        "setattr(D, '__set__', lambda self, obj, value: None)",
        "delattr(D, '__set__') if '__set__' in D.__dict__ else None",
        "delattr(D, '__get__') if '__get__' in D.__dict__ else None",
        "setattr(D, '__get__', lambda self, obj, owner=None: 'again')",
        "setattr(Meta, 'RED', D())", "setattr(Meta, '_key', property(lambda c: ('a',)))",
        "delattr(Meta, '_key') if '_key' in Meta.__dict__ else None",
        "setattr(FMeta, 'a', D())", "setattr(FMeta, '__getitem__', lambda c, k: 'over')",
        "delattr(FMeta, '__getitem__') if '__getitem__' in FMeta.__dict__ else None",
        "setattr(FMeta, '__len__', lambda c: 3)",
        "setattr(Meta, '__iter__', lambda c: iter([('i', 1)]))",
        "setattr(mmNumor, 'RED', D())",
        "delattr(mmNumor, 'RED') if 'RED' in mmNumor.__dict__ else None",
        "setattr(FMeta, S('a'), 5)",
    ])


def global_op(r):
    return r.choice([
        "setattr(numor, 'mNUmor', Meta)", "setattr(numor, 'mNUmor', orig['mNUmor'])",
        "setattr(numor, 'FunctionType', type(len))",
        "setattr(numor, 'FunctionType', orig['FunctionType'])",
        "setattr(numor, 'NUmor', orig['NUmor'])", "setattr(numor, 'NUmor', NUmorMutant)",
        "setattr(numor, 'concat', lambda seqs: (fire(), orig['concat'](seqs))[1])",
        "setattr(numor, 'concat', orig['concat'])",
        "setattr(numor, 'typOrPz', lambda t, v, d: (fire(), orig['typOrPz'](t, v, d))[1])",
        "numor.__dict__.pop('mNUmor', None)",
        "setattr(numor, 'mNUmor', orig['mNUmor'])",
    ])


def iter_op(r):
    c = r.choice(CLASSES)
    return r.choice([
        f"globals().__setitem__('it', iter({c}))", "next(it)", "it.send(None)",
        "it.throw(ValueError('t'))", "it.close()", "list(it)",
        f"[(queue.append(lambda: {write_op(r)}), x)[1] for x in {c}]",
    ])


def arm(r):
    """Queues an action for the next trap to run."""
    kind = r.choice([write_op, write_op, meta_op, global_op, read_op])
    return f"queue.append(lambda: {kind(r)})"


def compared(seed):
    """Whether the builds' steps are compared for this program.

    One program in three keeps keys of the trap str subclass in its class
    dicts. Their comparisons then run whenever the interpreter's own
    attribute cache misses, and how often it does depends on how many
    lookups were made before: the fast build, which makes fewer, runs the
    traps at other moments. Those programs are run for crashes only.
    """
    return seed % 3 != 0


def program(seed, steps=40):
    r = random.Random(seed)
    lines = [f"TRAPPED_CLASS_DICTS = {not compared(seed)}", PRELUDE]
    for i in range(steps):
        kind = r.choice([read_op] * 4 + [write_op] * 3 + [arm] * 4 + [meta_op, global_op, iter_op])
        stmt = kind(r)
        if r.random() < 0.05:
            stmt = "(gc.collect(), make())[1]"
        lines.append(f"step({i}, lambda: {stmt})")
    return "\n".join(lines) + "\n"


def run(src, build, timeout=60):
    env = dict(os.environ, PYTHONHASHSEED="0",
               PYTHONPATH=os.pathsep.join([build, os.path.join(ROOT, "src")]))
    try:
        p = subprocess.run([sys.executable, "-c", src], capture_output=True, text=True,
                           env=env, timeout=timeout)
    except subprocess.TimeoutExpired:
        return None, "timeout"
    return p.returncode, p.stdout + ("\n--- stderr\n" + p.stderr[-2000:] if p.returncode else "")


def check(seed, builds):
    """None when every build ran the program to its end alike; else a report."""
    src = program(seed)
    outs = []
    for b in builds:
        rc, out = run(src, b)
        if rc != 0:
            return f"seed {seed}: build {b} ended with {rc}\n{out[-3000:]}"
        outs.append(out)
    if not compared(seed):
        return None
    for b, out in zip(builds[1:], outs[1:]):
        if out != outs[0]:
            a, z = outs[0].splitlines(), out.splitlines()
            i = next((i for i, (x, y) in enumerate(zip(a, z)) if x != y), min(len(a), len(z)))
            return (f"seed {seed}: {builds[0]} and {b} differ at step line {i}:\n"
                    f"  {a[i] if i < len(a) else '<end>'}\n  {z[i] if i < len(z) else '<end>'}")
    return None


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--builds", nargs="+", required=True)
    p.add_argument("--programs", type=int, default=100)
    p.add_argument("--seed", type=int, default=0)
    p.add_argument("--show", action="store_true", help="print the program of --seed and stop")
    args = p.parse_args()
    if args.show:
        print(program(args.seed))
        return 0
    failed = 0
    for seed in range(args.seed, args.seed + args.programs):
        report = check(seed, [os.path.abspath(b) for b in args.builds])
        if report:
            failed += 1
            print(report, flush=True)
    print(f"{args.programs} programs, {failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
