"""Exact rational algebra: det, inv, rref and solve of random n x n matrices
with entries p/q (|p| <= 99, 1 <= q <= 9), and Bernoulli numbers, against the
documented algorithms in pure-Python Fractions and against python-flint's
fmpq_mat / fmpq.bernoulli, all measured in the same run.  Times are seconds
per call (best of a few); ratios are baseline / zel.

Where a Fraction baseline would run for minutes, it is extrapolated by n^3
from the measured n = 50 figure (marked "~"); the growth of the numbers makes
the true time larger, so the quoted ratio is a lower bound.

Run: python -P benchmarks/bench_exact.py   (--quick: n = 20 and 50 only)
"""
import os
import random
import sys
from fractions import Fraction

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))
import korvid.zel as zel  # noqa: E402
from fraction_model import model_bernoulli, model_det, model_inv, model_rref, rand_matrix  # noqa: E402
from harness import timed  # noqa: E402

try:
    import flint
except ImportError:  # the FLINT baseline is optional (pip install python-flint)
    flint = None


# ---------------------------------------------------------------- the documented algorithms, in Fractions

def frac_solve(M, b):
    inv = model_inv(M)
    return [sum((a * x for a, x in zip(row, b)), Fraction(0)) for row in inv]


# ---------------------------------------------------------------- run

def fmt(t, approx=False):
    s = f"{t * 1e3:.3g} ms" if t < 1 else f"{t:.3g} s"
    return ("~" if approx else "") + s


def main():
    quick = "--quick" in sys.argv
    rng = random.Random(2024)
    print(f"\n== exact rational algebra, backend {zel.BACKEND}, OMP_NUM_THREADS="
          f"{os.environ.get('OMP_NUM_THREADS', 'all')}; python-flint {'present' if flint else 'absent'}")
    print(f"{'operation':22s} {'zel':>11s} {'Fraction':>12s} {'flint':>11s} {'Fraction/zel':>13s} {'flint/zel':>10s}")
    frac50 = {}
    for n in (20, 50) if quick else (20, 50, 100):
        rows = rand_matrix(rng, n, n)
        b = rand_matrix(rng, 1, n)[0]
        A, bt = zel.tensor(rows), zel.tensor(b)
        ops = {
            "det": (lambda: zel.det(A), lambda: model_det(rows)),
            "inv": (lambda: zel.inv(A), lambda: model_inv(rows)),
            "rref": (lambda: zel.rref(A), lambda: model_rref(rows)),
            "solve": (lambda: zel.solve(A, bt), lambda: frac_solve(rows, b)),
        }
        if flint:
            F = flint.fmpq_mat([[flint.fmpq(x.numerator, x.denominator) for x in r] for r in rows])
            Fb = flint.fmpq_mat([[flint.fmpq(x.numerator, x.denominator)] for x in b])
            fl = {"det": F.det, "inv": F.inv, "rref": F.rref, "solve": lambda: F.solve(Fb)}
        for name, (ours, frac) in ops.items():
            t_z = timed(ours, repeat=5)
            approx = n == 100 and name != "det"
            if approx:
                t_f = frac50[name] * 8
            else:
                t_f = timed(frac, repeat=2 if n < 100 else 1, budget=1.0)
                if n == 50:
                    frac50[name] = t_f
            t_l = timed(fl[name], repeat=5) if flint else float("nan")
            print(f"{name + f' n={n}':22s} {fmt(t_z):>11s} {fmt(t_f, approx):>12s} {fmt(t_l):>11s} "
                  f"{t_f / t_z:12.0f}x {t_l / t_z:9.2f}x")
    for n in (500,) if quick else (500, 2000):
        t_z = timed(lambda: zel.bernoulli(n), repeat=3)
        t_f = timed(lambda: model_bernoulli(n), repeat=1)
        t_l = timed(lambda: flint.fmpq.bernoulli(n), repeat=3) if flint else float("nan")
        print(f"{f'bernoulli({n})':22s} {fmt(t_z):>11s} {fmt(t_f):>12s} {fmt(t_l):>11s} "
              f"{t_f / t_z:12.0f}x {t_l / t_z:9.2f}x")


if __name__ == "__main__":
    main()
