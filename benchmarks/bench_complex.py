"""Complex tensors: cmm of two 64x64 complex matrices against mpmath mpc
matrices and a Python loop over gmpy2 mpc numbers, both at 512 bits, and the
per-call cost of z * w on one-element operands, all in one run.

Matrix entries carry full 256-bit fractions (|x| < 1), as values do after a
few operations; the baselines get exactly the same values.

    python -P benchmarks/bench_complex.py
"""
import os
import random
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import korvid.zel as zel  # noqa: E402
from harness import Table, best_seconds, ns_per, ratio  # noqa: E402

try:
    import gmpy2
except ImportError:  # the baselines are optional
    gmpy2 = None
try:
    import mpmath
except ImportError:
    mpmath = None

S = 2**256
RNG = random.Random(2024)


def cpu_ns_per(fn, count, repeat=3):
    """Best processor time (this process, all threads) of one call, per item."""
    fn()
    best = float("inf")
    for _ in range(repeat):
        t0 = time.process_time()
        fn()
        best = min(best, time.process_time() - t0)
    return best / count * 1e9


def scaled_matrix(n):
    return [[RNG.randrange(-S + 1, S) for _ in range(n)] for _ in range(n)]


def zel_matrix(m):
    rows = len(m)
    flat = [v for row in m for v in row]
    t = zel.tensor([zel.Fraction(v, S) for v in flat])
    return zel.reshape(t, (rows, rows))


def main():
    n = 64
    macs = n**3
    parts = [scaled_matrix(n) for _ in range(4)]  # re A, im A, re B, im B
    A = zel.ComplexTensor(zel_matrix(parts[0]), zel_matrix(parts[1]))
    B = zel.ComplexTensor(zel_matrix(parts[2]), zel_matrix(parts[3]))
    tab = Table(f"complex tensors, backend {zel.BACKEND}, OMP_NUM_THREADS={os.environ.get('OMP_NUM_THREADS', 'all')}")

    t_cmm = ns_per(lambda: zel.cmm(A, B), macs, repeat=3)
    tab.add(f"cmm {n}x{n} complex", t_cmm, None, f"ns per complex multiply-add; {t_cmm * macs / 1e6:.1f} ms per call")
    notes = []

    if gmpy2 is not None:
        gmpy2.get_context().precision = 512
        q = lambda v: gmpy2.mpfr(gmpy2.mpq(v, S))
        GA = [[gmpy2.mpc(q(a), q(b)) for a, b in zip(ra, rb)] for ra, rb in zip(parts[0], parts[1])]
        GB = [[gmpy2.mpc(q(a), q(b)) for a, b in zip(ra, rb)] for ra, rb in zip(parts[2], parts[3])]

        def g_cmm():
            cols = list(zip(*GB))
            zero = gmpy2.mpc(0)
            return [[sum((u * v for u, v in zip(row, col)), zero) for col in cols] for row in GA]

        t_g = ns_per(g_cmm, macs, repeat=3, min_time=0.0)
        tab.add(f"gmpy2 mpc 512-bit {n}x{n} matrix loop", t_g, None, "baseline")
        notes.append(f"gmpy2 / zel {ratio(t_g, t_cmm)}")
        # Processor time of this process (all its threads): what the code
        # costs, apart from the time other jobs take the processors away.
        c_cmm, c_g = cpu_ns_per(lambda: zel.cmm(A, B), macs), cpu_ns_per(g_cmm, macs)
        tab.add(f"cmm {n}x{n} complex, processor time", c_cmm, None, "ns per complex multiply-add")
        tab.add(f"gmpy2 mpc loop, processor time", c_g, None, f"ns per complex multiply-add; gmpy2 / zel {ratio(c_g, c_cmm)}")

    if mpmath is not None:
        mpmath.mp.prec = 512
        m = lambda v: mpmath.mpf(v) / S
        MA = mpmath.matrix([[mpmath.mpc(m(a), m(b)) for a, b in zip(ra, rb)] for ra, rb in zip(parts[0], parts[1])])
        MB = mpmath.matrix([[mpmath.mpc(m(a), m(b)) for a, b in zip(ra, rb)] for ra, rb in zip(parts[2], parts[3])])
        t_m = ns_per(lambda: MA * MB, macs, repeat=1, min_time=0.0)
        tab.add(f"mpmath mpc 512-bit matrix {n}x{n} product", t_m, None, "baseline")
        notes.append(f"mpmath / zel {ratio(t_m, t_cmm)}")
    if notes:
        tab.rows.append(("ratios (per complex multiply-add)", float("nan"), None, ", ".join(notes)))

    z = zel.ComplexTensor([zel.Fraction(3, 7)], [zel.Fraction(-5, 11)])
    w = zel.ComplexTensor([zel.Fraction(2, 9)], [zel.Fraction(1, 13)])
    t_zw = best_seconds(lambda: z * w, repeat=5, min_time=0.1) * 1e9
    tab.add("z * w, one-element operands, per call", t_zw, 10000, "ns per call")
    t_add = best_seconds(lambda: zel.add(z.real, w.real), repeat=5, min_time=0.1) * 1e9
    tab.add("real add, one-element operands, per call", t_add, None, "ns per call, for scale")
    if gmpy2 is not None:
        gz, gw = GA[0][0], GB[0][0]
        t_gzw = best_seconds(lambda: gz * gw, repeat=5, min_time=0.1) * 1e9
        tab.add("gmpy2 mpc 512-bit z * w, per call", t_gzw, None, "ns per call, for scale")
    tab.show()


if __name__ == "__main__":
    main()
