"""Decompositions: qr, eig, svd and expm against their step-by-step Python
models (tests/decomp_model.py: Fractions and floats on the host, element
reads through from_gpu), both measured in the same run; ratio = model / zel.

qr's exact values roughly triple in length at every reflection, in the model
as in the module, so dense sizes are small: a 10 x 10 qr takes about a minute
here and 11 x 11 is refused, and eig at n = 10 / 30 or svd at 30 x 20 (which
run qr many times) are out of reach for any exact implementation.  The sizes
below are the largest whose model finishes in seconds.

Run: python -P benchmarks/bench_decomp.py
"""
import os
import random
import sys

here = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(here, "..", "tests"))
sys.path.insert(0, here)
import korvid.zel as zel  # noqa: E402
import decomp_model as model  # noqa: E402
from harness import timed  # noqa: E402




def dense(rng, m, n, sym=False):
    rows = [[rng.uniform(-1, 1) for _ in range(n)] for _ in range(m)]
    if sym:
        rows = [[rows[i][j] + rows[j][i] + (2 * i if i == j else 0) for j in range(n)] for i in range(m)]
    return zel.tensor(rows)


def main():
    rng = random.Random(2024)
    cases = []
    for n in (4, 6, 7):
        A = dense(rng, n, n)
        cases.append((f"qr {n}x{n}", lambda A=A: zel.qr(A), lambda A=A: model.qr(A)))
    for n, it in ((3, 100), (4, 100), (6, 5)):
        A = dense(rng, n, n, sym=True)
        cases.append((f"eig n={n} max_iter={it}", lambda A=A, it=it: zel.eig(A, it), lambda A=A, it=it: model.eig(A, it)))
    for m, n in ((6, 3), (8, 4)):
        A = dense(rng, m, n)
        cases.append((f"svd {m}x{n}", lambda A=A: zel.svd(A), lambda A=A: model.svd(A)))
    for n in (10, 20):
        A = dense(rng, n, n)
        cases.append((f"expm n={n}", lambda A=A: zel.expm(A), lambda A=A: model.expm(A)))
    print("\n== decompositions vs their Python models (seconds per call, best of up to 3)")
    print(f"{'case':26s} {'zel':>11s} {'model':>11s} {'ratio':>9s}")
    for name, ours, ref in cases:
        t_z = timed(ours, repeat=5)
        t_m = timed(ref, repeat=2, budget=5.0)
        print(f"{name:26s} {t_z:11.6f} {t_m:11.6f} {t_m / t_z:8.0f}x", flush=True)


if __name__ == "__main__":
    main()
