"""Element-wise arithmetic: korvid.zel against the neighbours a user would
otherwise pick, measured in one run.

    python -P benchmarks/bench_arith.py [--n 1000000] [--anchor-n 20000]

zel runs add/sub/mul/div over n elements (one launch each); the anchors
(gmpy2 mpfr at 512 bits, mpmath at 512 bits, fixed point on Python ints)
loop over anchor-n elements from Python and are reported per element.
"""
import argparse
import operator
import os
import random
import sys

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from harness import Table, ns_per, ratio  # noqa: E402

import korvid.zel as zel  # noqa: E402

S = 2**256
TARGETS = {"add": 8, "sub": 8, "mul": 25, "div": 150}


def records_of(ms):
    """Record array of signed scaled ints, built in bulk."""
    n = len(ms)
    limbs = np.frombuffer(b"".join(abs(m).to_bytes(64, "little") for m in ms), dtype="<u8").reshape(n, 8)
    arr = np.zeros(n, dtype=zel.FIXEDPOINT_DTYPE)
    for k in range(8):
        arr[f"limb{k}"] = limbs[:, k]
    arr["sign"] = np.where(np.array([m < 0 for m in ms]), -1, 1)
    return zel.cp.asarray(arr) if zel.BACKEND == "cuda" else arr


def operands(rng, n):
    # Values of magnitude below 1024 with all 256 fraction bits in use.
    return [rng.getrandbits(266) * (1 if rng.random() < 0.5 else -1) for _ in range(n)]


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--n", type=int, default=10**6)
    ap.add_argument("--anchor-n", type=int, default=20000)
    args = ap.parse_args()
    rng = random.Random(1)

    # Build the big operands from a smaller pool to keep set-up short.
    pool_a, pool_b = operands(rng, 50000), operands(rng, 50000)
    reps = -(-args.n // len(pool_a))
    big_a = np.tile(records_of(pool_a), reps)[: args.n]
    big_b = np.tile(records_of(pool_b), reps)[: args.n]
    a = zel.Tensor(_raw=np.ascontiguousarray(big_a))
    b = zel.Tensor(_raw=np.ascontiguousarray(big_b))

    m = args.anchor_n
    xs, ys = pool_a[:m], [y if y else 1 for y in pool_b[:m]]

    import gmpy2
    gmpy2.get_context().precision = 512
    gx = [gmpy2.mpfr(x) / S for x in xs]
    gy = [gmpy2.mpfr(y) / S for y in ys]

    import mpmath
    mpmath.mp.prec = 512
    mx = [mpmath.mpf(x) / S for x in xs]
    my = [mpmath.mpf(y) / S for y in ys]

    def fx_mul(x, y):
        return (x * y + (S >> 1)) >> 256

    def fx_div(x, y):
        return (x << 256) // y

    py_ops = {"add": operator.add, "sub": operator.sub, "mul": fx_mul, "div": fx_div}
    mp_ops = {"add": operator.add, "sub": operator.sub, "mul": operator.mul, "div": operator.truediv}
    zel_ops = {"add": zel.add, "sub": zel.sub, "mul": zel.mul, "div": zel.div}

    kw = dict(repeat=9, min_time=0.05)  # best of many rounds: the machine is shared
    table = Table(f"element-wise arithmetic, zel over {args.n} elements ({zel.BACKEND} backend, "
                  f"{os.cpu_count()} cpus); anchors over {m}")
    for op in ("add", "sub", "mul", "div"):
        f = zel_ops[op]
        t_zel = ns_per(lambda: f(a, b), args.n, **kw)
        g = mp_ops[op]
        t_gmp = ns_per(lambda: [g(x, y) for x, y in zip(gx, gy)], m, repeat=3, min_time=0.02)
        t_mpm = ns_per(lambda: [g(x, y) for x, y in zip(mx, my)], m, repeat=3, min_time=0.02)
        p = py_ops[op]
        t_int = ns_per(lambda: [p(x, y) for x, y in zip(xs, ys)], m, repeat=3, min_time=0.02)
        table.add(f"zel.{op}", t_zel, TARGETS[op],
                  f"gmpy2 {ratio(t_gmp, t_zel)}, mpmath {ratio(t_mpm, t_zel)}, py-int {ratio(t_int, t_zel)} faster")
        table.add(f"  gmpy2 mpfr 512-bit loop {op}", t_gmp)
        table.add(f"  mpmath 512-bit loop {op}", t_mpm)
        table.add(f"  fixed point on Python ints {op}", t_int)
    one = zel.tensor([1.5])
    t_call = ns_per(lambda: zel.add(one, one), 1, repeat=5, min_time=0.1)
    table.add("zel.add of one element (per call)", t_call, 3000)
    table.show()


if __name__ == "__main__":
    main()
