"""Reductions and products: cost per element / per multiply-add, against a
Python loop over gmpy2 mpfr numbers at 512 bits measured in the same run.

Operands carry full 256-bit fractions (|x| < 2^44, five significant limbs),
as values do after a few operations; "double" rows use values converted from
doubles (one or two significant limbs), as freshly built tensors have.

    python -P benchmarks/bench_reduce.py
"""
import os
import sys

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import korvid.zel as zel  # noqa: E402
from harness import Table, ns_per, ratio  # noqa: E402

try:
    import gmpy2
except ImportError:  # the anchor is optional
    gmpy2 = None

RNG = np.random.default_rng(12345)


def full_tensor(n, shape=None, int_bits=44):
    """n records with random 256-bit fractions and int_bits integer bits."""
    rec = np.zeros(n, dtype=zel.FIXEDPOINT_DTYPE)
    rec["sign"] = RNG.choice(np.array([-1, 1], dtype=np.int32), n)
    for k in range(4):
        rec[f"limb{k}"] = RNG.integers(0, 2**64, n, dtype=np.uint64, endpoint=False)
    rec["limb4"] = RNG.integers(0, 2**int_bits, n, dtype=np.uint64)
    data = zel.cp.asarray(rec) if zel.BACKEND == "cuda" else rec
    return zel.Tensor(_raw=data, shape=shape)


def double_tensor(n, shape=None):
    return zel.Tensor(RNG.standard_normal(n), shape=shape)


def mpfr_values(n):
    return [gmpy2.mpfr(float(v)) / 3 for v in RNG.standard_normal(n)]


def main():
    quick = "--quick" in sys.argv
    n = 10**5 if quick else 10**6
    tab = Table(f"reductions and products, backend {zel.BACKEND}, OMP_NUM_THREADS="
                f"{os.environ.get('OMP_NUM_THREADS', 'all')}")

    a, b = full_tensor(n), full_tensor(n)
    t_sum = ns_per(lambda: zel.sum(a), n)
    tab.add(f"sum, {n} elements", t_sum, 10)
    t_dot = ns_per(lambda: zel.dot(a, b), n)
    tab.add(f"dot, {n} terms", t_dot, 30, "ns per multiply-add")
    da, db = double_tensor(n), double_tensor(n)
    tab.add(f"dot, {n} terms (double-valued)", ns_per(lambda: zel.dot(da, db), n), 30)
    # The statistics against sum on the same data: exact wide sums of x and
    # of the exact squares, combined once on the host.
    stats = {f: ns_per(lambda f=f: getattr(zel, f)(a), n) for f in ("mean", "var", "std", "norm")}
    for f, t in stats.items():
        tab.add(f"{f}, {n} elements", t, 3 * t_sum, f"{ratio(t, t_sum)} sum")
    t_dsum = ns_per(lambda: zel.sum(da), n)
    for f in ("var", "norm"):
        t = ns_per(lambda f=f: getattr(zel, f)(da), n)
        tab.add(f"{f}, {n} elements (double-valued)", t, 3 * t_dsum, f"{ratio(t, t_dsum)} sum of the same")
    t3 = ns_per(lambda: zel.norm(a, 3), n, repeat=2)
    tab.add(f"norm p=3, {n} elements", t3, None, f"{ratio(t3, t_sum)} sum")

    mm_ns = {}
    for m in (64, 256):
        x, y = full_tensor(m * m, (m, m)), full_tensor(m * m, (m, m))
        mm_ns[m] = ns_per(lambda: zel.mm(x, y), m**3, repeat=3)
        tab.add(f"mm {m}x{m}", mm_ns[m], 30, "ns per multiply-add")
    x, y = double_tensor(256 * 256, (256, 256)), double_tensor(256 * 256, (256, 256))
    tab.add("mm 256x256 (double-valued)", ns_per(lambda: zel.mm(x, y), 256**3, repeat=3), 30)

    inp, w = full_tensor(8 * 64 * 64, (1, 8, 64, 64)), full_tensor(8 * 8 * 9, (8, 8, 3, 3))
    macs = 8 * 62 * 62 * 8 * 9
    t_conv = ns_per(lambda: zel.conv2d(inp, w), macs, repeat=3)
    tab.add("conv2d (1,8,64,64) * (8,8,3,3)", t_conv, 30, "ns per multiply-add")

    if gmpy2 is not None:
        gmpy2.get_context().precision = 512
        k = 20000
        xs, ys = mpfr_values(k), mpfr_values(k)

        def g_dot():
            s = gmpy2.mpfr(0)
            for u, v in zip(xs, ys):
                s += u * v
            return s

        g = 32
        A = [mpfr_values(g) for _ in range(g)]
        B = [mpfr_values(g) for _ in range(g)]

        def g_mm():
            cols = list(zip(*B))
            return [[sum((u * v for u, v in zip(row, col)), gmpy2.mpfr(0)) for col in cols] for row in A]

        t_gdot = ns_per(g_dot, k, repeat=3)
        t_gmm = ns_per(g_mm, g**3, repeat=3)
        tab.add(f"gmpy2 mpfr 512-bit dot loop, {k} terms", t_gdot, None, "anchor")
        tab.add(f"gmpy2 mpfr 512-bit mm {g}x{g} loop", t_gmm, None, "anchor")
        tab.rows.append(("ratios (gmpy2 / zel, per multiply-add)", float("nan"), None,
                         f"dot {ratio(t_gdot, t_dot)}, mm64 {ratio(t_gmm, mm_ns[64])}, "
                         f"mm256 {ratio(t_gmm, mm_ns[256])}, conv2d {ratio(t_gmm, t_conv)}, "
                         f"sum vs dot-loop {ratio(t_gdot, t_sum)}"))
    tab.show()


if __name__ == "__main__":
    main()
