"""One mutable enumeration changed and read from many threads at once."""
import pytest

SCRIPT = """
import random, sys, threading, time
from numor import NUmorMutant, mmNumor

class Overriding(mmNumor):
    # Python-level hooks let the interpreter switch threads inside every
    # rewrite of the member table.
    def __setattr__(cls, attr, val):
        super().__setattr__(attr, val)

    def __delattr__(cls, attr):
        super().__delattr__(attr)

sys.setswitchinterval(1e-6)
meta = {meta}
C = meta("C", (NUmorMutant,), {{n: i for i, n in enumerate("abcdef")}})
NAMES = list("abcdefghij") + ["_p"]
stop = time.monotonic() + {duration}
unexpected = []
counts = []

writers = [
    lambda r: setattr(C, r.choice(NAMES), r.random()),
    lambda r: delattr(C, r.choice(NAMES)),
    lambda r: C.__delitem__(r.choice(NAMES)),
    lambda r: C.update({{r.choice(NAMES): 1, " " + r.choice(NAMES): {{"x": 1}}}}),
    lambda r: C.clear() if r.random() < 0.05 else None,
]
readers = [
    lambda r: (list(C), dict(C), len(C), C.keys(), C.values()),
    lambda r: (C[r.choice(NAMES)], r.choice(NAMES) in C, C.get(r.choice(NAMES))),
    lambda r: C[r.randrange(-3, 8)],
    lambda r: C[:],
    lambda r: C[1:4],
]

def worker(ops, seed):
    r = random.Random(seed)
    n = 0
    while time.monotonic() < stop:
        try:
            r.choice(ops)(r)
        except (KeyError, AttributeError):
            pass
        except BaseException as e:
            unexpected.append(repr(e))
            return
        n += 1
    counts.append(n)

threads = [threading.Thread(target=worker, args=(ops, i))
           for i, ops in enumerate([writers] * 3 + [readers] * 4)]
for t in threads:
    t.start()
for t in threads:
    t.join()
assert not unexpected, unexpected
assert len(counts) == len(threads) and sum(counts) > 0, counts
assert type(C._key) is tuple and all(type(n) is str for n in C._key), C._key
print("ok")
"""


@pytest.mark.parametrize("meta", ["mmNumor", "Overriding"])
def test_concurrent_changes_and_reads_only_raise_lookup_errors(run_python, meta):
    proc = run_python(SCRIPT.format(meta=meta, duration=1.0), timeout=60)
    assert proc.returncode == 0, proc.stderr[-3000:]
    assert proc.stdout.strip() == "ok"
