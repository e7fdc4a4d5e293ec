"""Largest error of every unary and composite function, in units of 2^-256
(ulp), against mpmath at 1024 bits: random points over each domain plus the
hard points of each function.  Prints one row per (function, range).

    python -P benchmarks/accuracy.py [points_per_function]
"""
import os
import random
import sys
import time

import mpmath as mp

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests"))
import korvid.zel as zel  # noqa: E402
from zelmodel import MAXM, S, from_scaled, scaled  # noqa: E402

mp.mp.prec = 1024
N = int(sys.argv[1]) if len(sys.argv) > 1 else 10000
rng = random.Random(12345)
LN2 = mp.log(2)
LN_MAX = mp.log(mp.mpf(MAXM) / S)


def sc(v):
    return int(mp.nint(mp.mpf(v) * S))


def uni(lo, hi):
    return lambda n: [rng.randrange(sc(lo), sc(hi)) for _ in range(n)]


def near(c, width):
    """Uniform in [c - width, c + width] at full resolution."""
    return lambda n: [sc(c) + rng.randrange(-sc(width), sc(width) + 1) for _ in range(n)]


def logspread(lo_bit, hi_bit, signed=True):
    """Magnitudes 2^(lo_bit..hi_bit) (value scale), uniform in the exponent."""
    def gen(n):
        out = []
        for _ in range(n):
            b = rng.randrange(lo_bit + 256, hi_bit + 256)
            m = rng.randrange(2**b, 2 ** (b + 1)) if b >= 0 else 1
            m = min(m, MAXM)
            out.append(-m if signed and rng.random() < 0.5 else m)
        return out
    return gen


def pio2_multiples(max_bits):
    def gen(n):
        out = []
        for _ in range(n):
            k = rng.randrange(1, 2 ** rng.randrange(1, max_bits))
            out.append(min(MAXM, sc(k * mp.pi / 2)) + rng.randrange(-3, 4))
        return out
    return gen


def one_minus(sign):
    return lambda n: [sign * (S - rng.randrange(1, 2 ** rng.randrange(1, 257))) for _ in range(n)]


def clamp1(v):
    return max(mp.mpf(-1), min(mp.mpf(1), v))


def exact(fn):
    return lambda x: fn(x)


def rne_int(x):
    f = mp.floor(x)
    d = x - f
    if d > 0.5 or (d == 0.5 and int(f) % 2):
        f += 1
    return f


ALL = uni(-1000, 1000)
FULL = logspread(-256, 255)

# name: (oracle, [(range label, generator, share of points)])
FUNCS = {
    "exp": (mp.exp, [("[-180, 178]", uni(-180, 178), 6), ("|x| < 1", uni(-1, 1), 1),
                     ("overflow edge", near(LN_MAX, 2**-20), 1), ("flush edge", near(-256 * LN2, 2**-20), 1),
                     ("2^-256..2^7", logspread(-256, 7), 1)]),
    "log": (mp.log, [("2^-256..2^256", logspread(-256, 255, False), 6), ("[0.5, 2]", uni(0.5, 2), 2),
                     ("1 +- 2^-100", near(1, mp.mpf(2) ** -100), 1), ("near 0", lambda n: [rng.randrange(1, 2**20) for _ in range(n)], 1)]),
    "sqrt": (mp.sqrt, [("2^-256..2^256", logspread(-256, 255, False), 8), ("[0, 4]", uni(0, 4), 2)]),
    "sin": (mp.sin, [("[-10, 10]", uni(-10, 10), 4), ("2^-256..2^256", FULL, 3),
                     ("k pi/2, k < 2^200", pio2_multiples(200), 2), ("k pi/2, k < 2^254", pio2_multiples(254), 1)]),
    "cos": (mp.cos, [("[-10, 10]", uni(-10, 10), 4), ("2^-256..2^256", FULL, 3),
                     ("k pi/2, k < 2^200", pio2_multiples(200), 2), ("k pi/2, k < 2^254", pio2_multiples(254), 1)]),
    "tanh": (mp.tanh, [("[-100, 100]", uni(-100, 100), 5), ("|x| < 1", uni(-1, 1), 2),
                       ("tails 40..130", lambda n: [s * v for s, v in zip([rng.choice((-1, 1)) for _ in range(n)], uni(40, 130)(n))], 2),
                       ("2^-256..2^256", FULL, 1)]),
    "sigmoid": (lambda v: 1 / (1 + mp.exp(-v)), [("[-300, 300]", uni(-300, 300), 5), ("|x| < 2", uni(-2, 2), 2),
                                                   ("tails 150..260", lambda n: [s * v for s, v in zip([rng.choice((-1, 1)) for _ in range(n)], uni(150, 260)(n))], 2),
                                                   ("2^-256..2^256", FULL, 1)]),
    "silu": (lambda v: v / (1 + mp.exp(-v)), [("[-300, 300]", uni(-300, 300), 5), ("|x| < 2", uni(-2, 2), 3),
                                               ("2^-256..2^256", FULL, 2)]),
    "gelu": (lambda v: v * (1 + mp.erf(v / mp.sqrt(2))) / 2, [("[-22, 22]", uni(-22, 22), 6), ("|x| < 1", uni(-1, 1), 2),
                                                               ("2^-256..2^256", FULL, 2)]),
    "asin": (lambda v: mp.asin(clamp1(v)), [("[-1, 1]", uni(-1, 1), 5), ("1 - 2^-k", one_minus(1), 2),
                                            ("-1 + 2^-k", one_minus(-1), 2), ("|x| > 1 (clamped)", FULL, 1)]),
    "acos": (lambda v: mp.acos(clamp1(v)), [("[-1, 1]", uni(-1, 1), 5), ("1 - 2^-k", one_minus(1), 2),
                                            ("-1 + 2^-k", one_minus(-1), 2), ("|x| > 1 (clamped)", FULL, 1)]),
    "_atan_taylor": (mp.atan, [("[-4, 4]", uni(-4, 4), 4), ("2^-256..2^256", FULL, 4), ("|x| near 1", near(1, 2**-30), 2)]),
    "atan": (mp.atan, [("[-4, 4]", uni(-4, 4), 4), ("2^-256..2^256", FULL, 4), ("|x| near 1", near(1, 2**-30), 2)]),
    "tan": (mp.tan, [("[-1, 1]", uni(-1, 1), 4), ("[-1.5, 1.5]", uni(-1.5, 1.5), 2), ("[-10, 10]", uni(-10, 10), 4)]),
    "sinh": (mp.sinh, [("[-10, 10]", uni(-10, 10), 4), ("[-177, 177]", uni(-177, 177), 4), ("|x| < 2^-20", uni(-2**-20, 2**-20), 2)]),
    "cosh": (mp.cosh, [("[-10, 10]", uni(-10, 10), 4), ("[-177, 177]", uni(-177, 177), 4), ("|x| < 2^-20", uni(-2**-20, 2**-20), 2)]),
    "asinh": (mp.asinh, [("[0, 100]", uni(0, 100), 4), ("[-100, 0]", uni(-100, 0), 3), ("2^-256..2^127", logspread(-256, 127, False), 3)]),
    "acosh": (mp.acosh, [("[1.5, 100]", uni(1.5, 100), 4), ("1 + 2^-k", lambda n: [S + rng.randrange(1, 2 ** rng.randrange(1, 256)) for _ in range(n)], 3),
                         ("2..2^127", logspread(1, 127, False), 3)]),
    "atanh": (mp.atanh, [("[-0.9, 0.9]", uni(-0.9, 0.9), 6), ("1 - 2^-k", lambda n: [S - rng.randrange(1, 2 ** rng.randrange(1, 200)) for _ in range(n)], 4)]),
    "log2": (lambda v: mp.log(v, 2), [("[1/8, 8]", uni(0.125, 8), 5), ("2^-256..2^256", logspread(-256, 255, False), 5)]),
    "log10": (mp.log10, [("[1/8, 8]", uni(0.125, 8), 5), ("2^-256..2^256", logspread(-256, 255, False), 5)]),
    "reciprocal": (lambda v: 1 / v, [("2^-256..2^256", logspread(-255, 255), 10)]),
    "neg": (lambda v: -v, [("full", FULL, 10)]),
    "abs": (abs, [("full", FULL, 10)]),
    "sign": (mp.sign, [("full", FULL, 10)]),
    "relu": (lambda v: max(v, 0), [("full", FULL, 10)]),
    "leaky_relu": (lambda v: v if v >= 0 else v * mp.mpf(scaled(zel.tensor(0.01))[0]) / S, [("full", FULL, 10)]),
    "floor": (mp.floor, [("full", FULL, 10)]),
    "ceil": (mp.ceil, [("full", FULL, 10)]),
    "trunc": (lambda v: mp.floor(v) if v >= 0 else mp.ceil(v), [("full", FULL, 10)]),
    "round": (lambda v: mp.sign(v) * rne_int(abs(v)), [("full", FULL, 10)]),
    "frac": (lambda v: v - (mp.floor(v) if v >= 0 else mp.ceil(v)), [("full", FULL, 10)]),
}


def atan2_rows(n):
    """atan2(y, x) against the true two-argument arctangent, quadrant by
    quadrant, on the axes and with operands far apart."""
    def signed(gen, sy, sx):
        return lambda k: ([sy * abs(v) for v in gen(k)], [sx * abs(v) for v in gen(k)])

    def far(k):
        ys, xs = logspread(-256, 255)(k), logspread(-256, 255)(k)
        return ys, xs

    def axes(k):
        vs = logspread(-256, 255)(k)
        zs = [0] * k
        half = k // 2
        return vs[:half] + zs[half:], zs[:half] + vs[half:]

    rows = [(f"quadrant {q}, [-10, 10]", signed(uni(0, 10), sy, sx), 2)
            for q, (sy, sx) in enumerate(((1, 1), (1, -1), (-1, -1), (-1, 1)), 1)]
    rows += [("2^-256..2^256 both", far, 2), ("axes and origin", axes, 1)]
    total = sum(r[2] for r in rows)
    out = []
    for label, gen, share in rows:
        k = max(1, n * share // total)
        ys, xs = gen(k)
        got = scaled(zel.atan2(from_scaled(ys), from_scaled(xs)))
        worst = max(abs(mp.mpf(o) - (mp.atan2(y, x) * S if (y, x) != (0, 0) else 0)) for o, y, x in zip(got, ys, xs))
        out.append(("atan2", label, k, worst))
    return out


def measure(name, oracle, rows):
    total = sum(r[2] for r in rows)
    out = []
    for label, gen, share in rows:
        n = max(1, N * share // total)
        ms = gen(n)
        got = scaled(getattr(zel, name)(from_scaled(ms)))
        worst = mp.mpf(0)
        for o, m in zip(got, ms):
            if name in ("log", "log2", "log10") and m <= 0:
                continue
            if name == "reciprocal" and m == 0:
                continue
            ref = oracle(mp.mpf(m) / S) * S
            if abs(ref) > MAXM:
                ref = mp.mpf(MAXM) * mp.sign(ref)
            worst = max(worst, abs(mp.mpf(o) - ref))
        out.append((name, label, n, worst))
    return out


def main():
    t0 = time.time()
    print(f"{'function':14s} {'range':22s} {'points':>7s} {'max ulp':>10s}")
    for name, (oracle, rows) in FUNCS.items():
        res = measure(name, oracle, rows)
        if name == "atan":
            res += atan2_rows(N)
        for fn, label, n, worst in res:
            print(f"{fn:14s} {label:22s} {n:7d} {float(worst):10.6g}", flush=True)
    print(f"# {time.time() - t0:.0f} s, mpmath at {mp.mp.prec} bits, backend {zel.BACKEND}")


if __name__ == "__main__":
    main()
