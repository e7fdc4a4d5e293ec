"""Elementary functions at 10^5 elements, ns per element, against gmpy2 mpfr
at 512-bit precision and mpmath (512 bits) called element by element, all
measured in the same run.

    python -P benchmarks/bench_elementary.py [elements]
"""
import os
import random
import sys
from fractions import Fraction

import gmpy2
import mpmath as mp

sys.path.insert(0, os.path.dirname(__file__))
import korvid.zel as zel  # noqa: E402
from harness import Table, best_seconds, ratio  # noqa: E402

N = int(sys.argv[1]) if len(sys.argv) > 1 else 100_000
REF_N = 2000  # the per-element loops are timed on a slice
rng = random.Random(1)
S = 2**256

# Arguments: typical ranges, with full 256-bit fractions.
RANGES = {
    "exp": (-20, 20),
    "log": (2**-20, 2**20),
    "sin": (-20, 20),
    "cos": (-20, 20),
    "sqrt": (0, 1000),
    "atan": (-20, 20),
}
TARGET = {"exp": 2000, "log": 2000, "sin": 2000, "cos": 2000, "atan": 3000}


def main():
    ctx = gmpy2.get_context()
    ctx.precision = 512
    mp.mp.prec = 512
    table = Table(f"elementary functions, {N} elements, backend {zel.BACKEND}")
    for name, (lo, hi) in RANGES.items():
        ms = [rng.randrange(int(lo * S), int(hi * S)) for _ in range(N)]
        t = zel.tensor([Fraction(m, S) for m in ms])
        fn = zel.atan if name == "atan" else getattr(zel, name)
        ns_zel = best_seconds(lambda: fn(t), repeat=3, min_time=0.2) / N * 1e9
        if name == "atan":
            ns_k = best_seconds(lambda: zel._atan_taylor(t), repeat=3, min_time=0.2) / N * 1e9
        xs = [gmpy2.mpfr(m) / S for m in ms[:REF_N]]
        g = getattr(gmpy2, name)
        ns_g = best_seconds(lambda: [g(x) for x in xs], repeat=3) / REF_N * 1e9
        ys = [mp.mpf(m) / S for m in ms[:REF_N]]
        f = getattr(mp, name)
        ns_m = best_seconds(lambda: [f(y) for y in ys], repeat=3) / REF_N * 1e9
        label = "atan (composite)" if name == "atan" else name
        table.add(f"zel.{label}", ns_zel, TARGET.get(name),
                  f"{ratio(ns_g, ns_zel)} vs gmpy2, {ratio(ns_m, ns_zel)} vs mpmath")
        if name == "atan":
            table.add("zel._atan_taylor (full-range kernel)", ns_k, TARGET["atan"],
                      f"{ratio(ns_g, ns_k)} vs gmpy2")
        table.add(f"  gmpy2.{name} mpfr 512-bit loop", ns_g)
        table.add(f"  mpmath.{name} 512-bit loop", ns_m)
    table.show()


if __name__ == "__main__":
    main()
