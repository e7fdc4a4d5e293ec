"""Largest error of every unary, composite and statistical function, in units
of 2^-256 (ulp), against MPFR (gmpy2) at 1100 bits or exact integers.

Per function: random points over each range (uniform, log-uniform
magnitudes, the hard points of its argument reduction and branch points),
then a local refinement that walks around the worst points found.  Prints
one row per (function, range) with the points tried and the largest error.

    python -P benchmarks/accuracy.py [--points N] [--jobs J] [--only f,g]

--points: points per function (default 10^6; reductions count one vector,
softmax one output element, as a point).  --jobs: worker processes (default
1; each takes one chunk of one range at a time, so 2 share two cores).
"""
import argparse
import math
import os
import random
import sys
import time
from multiprocessing import Pool

import gmpy2
import mpmath as mp
from gmpy2 import mpfr

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests"))
import korvid.zel as zel  # noqa: E402
from fastrec import result_values, tensor_of  # noqa: E402
from zelmodel import MAXM, S, from_scaled, scaled  # noqa: E402

gmpy2.get_context().precision = 1100
mp.mp.prec = 1024
N = 10000
CHUNK = 20000
rng = random.Random(12345)
PI = gmpy2.const_pi()
LN2 = gmpy2.const_log2()
FMAX = mpfr(MAXM) / mpfr(S)


def sc(v):
    return int(gmpy2.rint(mpfr(v) * S))


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
            m = min(rng.randrange(2**b, 2 ** (b + 1)), MAXM) if b >= 0 else 1
            out.append(-m if signed and rng.random() < 0.5 else m)
        return out
    return gen


def multiples(c, max_bits, spread=3):
    """k c +- a few units for k < 2^max_bits (argument reduction hard points)."""
    def gen(n):
        out = []
        for _ in range(n):
            k = rng.randrange(1, 2 ** rng.randrange(1, max_bits + 1))
            v = min(MAXM, sc(k * c)) + rng.randrange(-spread, spread + 1)
            out.append(v if rng.random() < 0.5 else -v)
        return out
    return gen


def tails(lo, hi):
    g = uni(lo, hi)
    return lambda n: [v if rng.random() < 0.5 else -v for v in g(n)]


def one_minus(sign, bits=256):
    return lambda n: [sign * (S - rng.randrange(1, 2 ** rng.randrange(1, bits + 1))) for _ in range(n)]


def one_plus(bits=256):
    return lambda n: [S + rng.randrange(1, 2 ** rng.randrange(1, bits + 1)) for _ in range(n)]


def mix(*gens):
    return lambda n: [v for g in gens for v in g(n // len(gens) + 1)][:n]


def clamp1(v):
    return max(mpfr(-1), min(mpfr(1), v))


def rne_int(x):
    f = gmpy2.floor(x)
    d = x - f
    if d > 0.5 or (d == 0.5 and int(f) % 2):
        f += 1
    return f


def sigmoid(v):
    return 1 / (1 + gmpy2.exp(-v))


ALL = logspread(-256, 255)
POS = logspread(-256, 255, False)

# name: (oracle, [(range label, generator, share of points)])
FUNCS = {
    "exp": (gmpy2.exp, [("[-180, 178]", uni(-180, 178), 5), ("|x| < 1", uni(-1, 1), 1),
                        ("k ln2 +- 3 units", multiples(LN2, 8), 2),
                        ("overflow edge", near(gmpy2.log(FMAX), 2**-20), 1),
                        ("flush edge", near(-256 * LN2, 2**-20), 1), ("2^-256..2^7", logspread(-256, 7), 1)]),
    "log": (gmpy2.log, [("2^-256..2^256", POS, 5), ("[0.5, 2]", uni(0.5, 2), 2),
                        ("1 +- 2^-k", mix(one_plus(), lambda n: one_minus(1)(n)), 2),
                        ("near 0", lambda n: [rng.randrange(1, 2**20) for _ in range(n)], 1)]),
    "sqrt": (gmpy2.sqrt, [("2^-256..2^256", POS, 8), ("[0, 4]", uni(0, 4), 2)]),
    "sin": (gmpy2.sin, [("[-10, 10]", uni(-10, 10), 4), ("2^-256..2^256", ALL, 3),
                        ("k pi/2, k < 2^254", multiples(PI / 2, 254), 3)]),
    "cos": (gmpy2.cos, [("[-10, 10]", uni(-10, 10), 4), ("2^-256..2^256", ALL, 3),
                        ("k pi/2, k < 2^254", multiples(PI / 2, 254), 3)]),
    "tanh": (gmpy2.tanh, [("[-100, 100]", uni(-100, 100), 5), ("|x| < 1", uni(-1, 1), 2),
                          ("tails 40..130", tails(40, 130), 2), ("2^-256..2^256", ALL, 1)]),
    "sigmoid": (sigmoid, [("[-300, 300]", uni(-300, 300), 5), ("|x| < 2", uni(-2, 2), 2),
                          ("tails 150..260", tails(150, 260), 2), ("2^-256..2^256", ALL, 1)]),
    "silu": (lambda v: v * sigmoid(v), [("[-300, 300]", uni(-300, 300), 5), ("|x| < 2", uni(-2, 2), 3),
                                         ("2^-256..2^256", ALL, 2)]),
    "gelu": (lambda v: v * (1 + gmpy2.erf(v / gmpy2.sqrt(2))) / 2,
             [("[-22, 22]", uni(-22, 22), 6), ("|x| < 1", uni(-1, 1), 2), ("2^-256..2^256", ALL, 2)]),
    "asin": (lambda v: gmpy2.asin(clamp1(v)), [("[-1, 1]", uni(-1, 1), 4), ("+-1/2 (branch)", mix(near(0.5, 2**-30), near(-0.5, 2**-30)), 1),
                                               ("1 - 2^-k", one_minus(1), 2), ("-1 + 2^-k", one_minus(-1), 2),
                                               ("|x| > 1 (clamped)", ALL, 1)]),
    "acos": (lambda v: gmpy2.acos(clamp1(v)), [("[-1, 1]", uni(-1, 1), 4), ("+-1/2 (branch)", mix(near(0.5, 2**-30), near(-0.5, 2**-30)), 1),
                                               ("1 - 2^-k", one_minus(1), 2), ("-1 + 2^-k", one_minus(-1), 2),
                                               ("|x| > 1 (clamped)", ALL, 1)]),
    "_atan_taylor": (gmpy2.atan, [("[-4, 4]", uni(-4, 4), 4), ("2^-256..2^256", ALL, 4),
                                  ("|x| near 1", mix(near(1, 2**-30), near(-1, 2**-30)), 2)]),
    "atan": (gmpy2.atan, [("[-4, 4]", uni(-4, 4), 4), ("2^-256..2^256", ALL, 3),
                          ("branches 1/2, 1", mix(near(0.5, 2**-20), near(1, 2**-20), near(-0.5, 2**-20), near(-1, 2**-20)), 3)]),
    "tan": (gmpy2.tan, [("[-1, 1]", uni(-1, 1), 4), ("[-1.5, 1.5]", uni(-1.5, 1.5), 3), ("[-10, 10]", uni(-10, 10), 3)]),
    "sinh": (gmpy2.sinh, [("[-10, 10]", uni(-10, 10), 3), ("[-177, 177]", uni(-177, 177), 3),
                          ("177..179 (far path)", tails(177, 179), 3), ("|x| < 2^-20", uni(-2**-20, 2**-20), 1)]),
    "cosh": (gmpy2.cosh, [("[-10, 10]", uni(-10, 10), 3), ("[-177, 177]", uni(-177, 177), 3),
                          ("177..179 (far path)", tails(177, 179), 3), ("|x| < 2^-20", uni(-2**-20, 2**-20), 1)]),
    "asinh": (gmpy2.asinh, [("[-100, 100]", uni(-100, 100), 4), ("2^-256..2^128", logspread(-256, 128), 3),
                            ("2^127..2^256 (far path)", logspread(127, 255), 3)]),
    "acosh": (gmpy2.acosh, [("[1.5, 100]", uni(1.5, 100), 3), ("1 + 2^-k", one_plus(), 3),
                            ("2..2^128", logspread(1, 128, False), 2), ("2^127..2^256 (far path)", logspread(127, 255, False), 2)]),
    "atanh": (gmpy2.atanh, [("[-0.9, 0.9]", uni(-0.9, 0.9), 6),
                            ("+-(1 - 2^-k), k <= 248", lambda n: [rng.choice((1, -1)) * (S - rng.randrange(2**8, 2 ** rng.randrange(9, 257))) for _ in range(n)], 4)]),
    "log2": (gmpy2.log2, [("[1/8, 8]", uni(0.125, 8), 5), ("2^-256..2^256", POS, 5)]),
    "log10": (gmpy2.log10, [("[1/8, 8]", uni(0.125, 8), 5), ("2^-256..2^256", POS, 5)]),
    "reciprocal": (lambda v: 1 / v, [("2^-256..2^256", logspread(-255, 255), 10)]),
    "neg": (lambda v: -v, [("full", ALL, 10)]),
    "abs": (abs, [("full", ALL, 10)]),
    "sign": (gmpy2.sign, [("full", ALL, 10)]),
    "relu": (lambda v: max(v, 0), [("full", ALL, 10)]),
    "leaky_relu": (lambda v: v if v >= 0 else v * gmpy2.mul_2exp(mpfr(scaled(zel.tensor(0.01))[0]), -256),
                   [("full", ALL, 10)]),
    "floor": (gmpy2.floor, [("full", ALL, 10)]),
    "ceil": (gmpy2.ceil, [("full", ALL, 10)]),
    "trunc": (gmpy2.trunc, [("full", ALL, 10)]),
    "round": (lambda v: gmpy2.sign(v) * rne_int(abs(v)), [("full", ALL, 10)]),
    "frac": (lambda v: v - gmpy2.trunc(v), [("full", ALL, 10)]),
}

# Outside a function's domain (the local refinement can step there).
SKIP = {"sqrt": lambda m: m < 0, "log": lambda m: m <= 0, "log2": lambda m: m <= 0, "log10": lambda m: m <= 0,
        "reciprocal": lambda m: m == 0, "acosh": lambda m: m < S, "atanh": lambda m: abs(m) >= S}


def err_of(got, ref):
    """|got - ref| in ulps, the reference saturated like the format."""
    ref = max(-FMAX, min(FMAX, ref))
    return float(abs(mpfr(got) - gmpy2.mul_2exp(ref, 256)))


def eval_unary(name, ms):
    oracle = FUNCS[name][0]
    skip = SKIP.get(name)
    got = result_values(getattr(zel, name)(tensor_of(ms)))
    out = []
    for g, m in zip(got, ms):
        if skip and skip(m):
            continue
        out.append((err_of(g, oracle(gmpy2.mul_2exp(mpfr(m), -256))), m))
    return out


# ------------------------------------------------------------- multi-input rows
# A point is one input (a vector, an exponent and base, a softmax element).

def rne_sqrt(num, den):
    s = math.isqrt(num // den)
    c = 4 * num - (2 * s + 1) ** 2 * den
    return s + (c > 0 or (c == 0 and s & 1))


def vec(n_max=64):
    """A vector of log-uniform length with log-uniform magnitudes (some of
    them spread over the whole range, some on a common scale)."""
    n = max(1, int(2 ** rng.uniform(0, math.log2(n_max))))
    lo = rng.randrange(-256, 256)
    hi = rng.randrange(lo, 257)
    gen = logspread(lo, hi) if hi > lo else logspread(lo, lo + 1)
    v = gen(n)
    if rng.random() < 0.2:  # a small spread about a large mean
        c = rng.choice(v)
        v = [max(-MAXM, min(MAXM, c + rng.randrange(-2**20, 2**20))) for _ in v]
    return v


def stat_err(name, v):
    t = tensor_of(v)
    n = len(v)
    s1, s2 = sum(v), sum(m * m for m in v)
    if name == "mean":
        g, = result_values(zel.mean(t))
        return abs(mpfr(g) - mpfr(s1) / n) if abs(s1) < n * MAXM else 0.0
    if name == "norm":
        g, = result_values(zel.norm(t))
        return abs(mpfr(g) - min(gmpy2.sqrt(mpfr(s2)), mpfr(MAXM)))
    d = n - 1 if n > 1 else 1
    num = n * s2 - s1 * s1
    if name == "var":
        g, = result_values(zel.var(t))
        return abs(mpfr(g) - min(mpfr(num) / (n * d) / S, mpfr(MAXM)))
    g, = result_values(zel.std(t))
    return abs(mpfr(g) - min(gmpy2.sqrt(mpfr(num) / (n * d)), mpfr(MAXM)))


def pnorm_err(v, p):
    g, = result_values(zel.norm(tensor_of(v), p))
    ref = gmpy2.root(sum(abs(gmpy2.mul_2exp(mpfr(m), -256)) ** p for m in v), p)
    return err_of(g, ref)


def eval_multi(name, seed, count):
    rng.seed(seed)
    worst = []
    if name in ("mean", "var", "std", "norm"):
        for _ in range(count):
            v = vec(4096 if rng.random() < 0.001 else 64)
            worst.append((float(stat_err(name, v)), v))
    elif name == "norm p>=3":
        for _ in range(count):
            v, p = vec(), rng.choice((3, 3, 4, 5, 7, 8, 16, 100, 1000))
            worst.append((pnorm_err(v, p), (v, p)))
    elif name == "softmax":
        done = 0
        while done < count:
            cols = max(1, int(2 ** rng.uniform(0, 12)))
            rows = max(1, min(2000 // cols, (count - done) // cols))
            width = rng.choice((1, 10, 100, 300))
            ms = [rng.randrange(-width * S, width * S) for _ in range(rows * cols)]
            got = result_values(zel.softmax(tensor_of(ms, shape=(rows, cols))))
            for r in range(rows):
                row = ms[r * cols:(r + 1) * cols]
                es = [gmpy2.exp(gmpy2.mul_2exp(mpfr(m), -256)) for m in row]
                tot = gmpy2.fsum(es)
                e = max(err_of(g, x / tot) for g, x in zip(got[r * cols:(r + 1) * cols], es))
                worst.append((e, row))
            done += rows * cols
    else:  # pow, negative exponents over the whole range; positive on [-1, 1]
        neg = name == "pow e < 0"
        done = 0
        while done < count:
            e = -rng.choice((1, 2, 3, 4, 5, 7, 10, 16, 33, 100, 1000)) if neg else rng.randrange(2, 9)
            k = min(2000, count - done)
            ms = logspread(-256, 255)(k) if neg else uni(-1, 1)(k)
            got = result_values(zel.pow(tensor_of(ms), e))
            for g, m in zip(got, ms):
                if m:
                    worst.append((err_of(g, gmpy2.mul_2exp(mpfr(m), -256) ** e), (m, e)))
            done += k
    worst.sort(key=lambda w: -w[0])
    return name, "", count, worst[:8]


MULTI = {"mean": "vectors, 1..4096 elements, 2^-256..MAX", "var": "as mean (unbiased)",
         "std": "as mean (unbiased)", "norm": "p = 2, as mean",
         "norm p>=3": "p in 3..1000, as mean", "softmax": "rows of 1..4096, |x| < 300",
         "pow e < 0": "e in -1..-1000, 2^-256..2^256", "pow e > 1": "e in 2..8, [-1, 1]"}


# ------------------------------------------------------------- driver

def eval_chunk(task):
    name, ri, seed, count = task
    if name in MULTI:
        return eval_multi(name, seed, count)
    rng.seed(seed)
    label, gen, _ = FUNCS[name][1][ri]
    res = eval_unary(name, gen(count))
    res.sort(key=lambda w: -w[0])
    return name, label, count, res[:8]


def refine_unary(task):
    """Walks around a bad point: offsets of 2^j units for j < 60, keeping the
    worst, for a few rounds."""
    name, label, m0, seed = task
    rng.seed(seed)
    best = eval_unary(name, [m0]) or [(0.0, m0)]
    best = best[0]
    tried = 1
    for _ in range(4):
        cands = [max(-MAXM, min(MAXM, best[1] + rng.choice((-1, 1)) * rng.randrange(1, 2 ** rng.randrange(1, 60))))
                 for _ in range(250)]
        res = eval_unary(name, cands)
        tried += len(cands)
        if res:
            best = max([best] + res, key=lambda w: w[0])
    return name, label, tried, best[0]


def refine_multi(task):
    name, _, point, seed = task
    rng.seed(seed)
    tried, worst = 0, 0.0
    for _ in range(200):
        if name in ("mean", "var", "std", "norm", "softmax"):
            v = list(point)
            i = rng.randrange(len(v))
            v[i] = max(-MAXM, min(MAXM, v[i] + rng.choice((-1, 1)) * rng.randrange(1, 2 ** rng.randrange(1, 40))))
            if name == "softmax":
                got = result_values(zel.softmax(tensor_of(v)))
                es = [gmpy2.exp(gmpy2.mul_2exp(mpfr(m), -256)) for m in v]
                tot = gmpy2.fsum(es)
                e = max(err_of(g, x / tot) for g, x in zip(got, es))
            else:
                e = float(stat_err(name, v))
        elif name == "norm p>=3":
            v, p = list(point[0]), point[1]
            i = rng.randrange(len(v))
            v[i] = max(-MAXM, min(MAXM, v[i] + rng.randrange(-2**30, 2**30)))
            e = pnorm_err(v, p)
        else:
            m, ex = point
            m = max(-MAXM, min(MAXM, m + rng.choice((-1, 1)) * rng.randrange(1, 2 ** rng.randrange(1, 60)))) or 1
            g, = result_values(zel.pow(tensor_of([m]), ex))
            e = err_of(g, gmpy2.mul_2exp(mpfr(m), -256) ** ex)
        tried += 1
        worst = max(worst, e)
    return name, "", tried, worst


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


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--points", type=int, default=10**6)
    ap.add_argument("--jobs", type=int, default=1)
    ap.add_argument("--only", default="")
    args = ap.parse_args()
    names = [n for n in list(FUNCS) + list(MULTI) if not args.only or n in args.only.split(",")]
    tasks = []
    seed = 1
    for name in names:
        if name in MULTI:
            # one call per vector: smaller chunks keep the workers balanced
            step = CHUNK if name in ("softmax", "pow e < 0", "pow e > 1") else 2000
            for left in range(args.points, 0, -step):
                tasks.append((name, 0, seed, min(step, left)))
                seed += 1
            continue
        rows = FUNCS[name][1]
        total = sum(r[2] for r in rows)
        for ri, (_, _, share) in enumerate(rows):
            left = max(1, args.points * share // total)
            while left > 0:
                k = min(CHUNK, left)
                tasks.append((name, ri, seed, k))
                seed += 1
                left -= k
    t0 = time.time()
    stats = {}
    with Pool(args.jobs) as pool:
        for done, (name, label, count, worst) in enumerate(pool.imap_unordered(eval_chunk, tasks), 1):
            st = stats.setdefault((name, label), [0, []])
            st[0] += count
            st[1] = sorted(st[1] + worst, key=lambda w: -w[0])[:8]
            if done % 25 == 0 or done == len(tasks):
                print(f"# {done}/{len(tasks)} chunks, {time.time() - t0:.0f} s; {name} {label}: "
                      f"{st[1][0][0] if st[1] else 0:.6g}", file=sys.stderr, flush=True)
        ref = []
        for (name, label), (_, worst) in stats.items():
            for w in worst[:4]:
                ref.append((name, label, w[1], seed))
                seed += 1
        todo = [(refine_multi if t[0] in MULTI else refine_unary, t) for t in ref]
        results = pool.starmap(_call, todo)
    for name, label, tried, e in results:
        st = stats[(name, label)]
        st[0] += tried
        st.append(e)
    print(f"{'function':14s} {'range':32s} {'points':>8s} {'max ulp':>12s}")
    for name in names:
        for (n2, label), st in stats.items():
            if n2 != name:
                continue
            worst = max([st[1][0][0] if st[1] else 0.0] + st[2:])
            print(f"{name:14s} {label or MULTI[name]:32s} {st[0]:8d} {worst:12.9g}", flush=True)
    if not args.only or "atan2" in args.only:
        for fn, label, n, worst in atan2_rows(min(args.points, 10000)):
            print(f"{fn:14s} {label:32s} {n:8d} {float(worst):12.9g}", flush=True)
    print(f"# {time.time() - t0:.0f} s, MPFR at {gmpy2.get_context().precision} bits, backend {zel.BACKEND}, "
          f"{args.jobs} job(s)")


def _call(fn, task):
    return fn(task)


if __name__ == "__main__":
    main()
