"""Unary kernels: exact ones against Python-integer models, elementary
functions against mpmath at 1100 bits (error in units of 2^-256)."""
import math
import random
from fractions import Fraction

import mpmath as mp
import numpy as np
import pytest

import korvid.zel as zel
from zelmodel import device_array, MAXM, S, from_raw, from_scaled, hard_scaled, records, rne_div, scaled

mp.mp.prec = 1100
HALF = S // 2
rng = random.Random(20240611)


def sc(v) -> int:
    """A value (mpf, Fraction, int, float) as the nearest scaled integer."""
    return int(mp.nint(mp.mpf(v) * S)) if not isinstance(v, Fraction) else round(v * S)


def rand_scaled(lo, hi, n):
    return [rng.randrange(int(lo * S), int(hi * S)) for _ in range(n)]


def rand_magnitudes(n, signed=True):
    """Magnitudes spread over every size from 2^-256 to 2^256."""
    out = []
    for _ in range(n):
        m = rng.randrange(1, MAXM) >> rng.randrange(512)
        out.append(-m if signed and rng.random() < 0.5 else max(m, 1))
    return out


def clamp1(v):
    return max(mp.mpf(-1), min(mp.mpf(1), v))


ORACLE = {
    "exp": mp.exp,
    "log": mp.log,
    "sin": mp.sin,
    "cos": mp.cos,
    "_atan_taylor": mp.atan,
    "asin": lambda v: mp.asin(clamp1(v)),
    "acos": lambda v: mp.acos(clamp1(v)),
    "tanh": mp.tanh,
    "sigmoid": lambda v: 1 / (1 + mp.exp(-v)),
    "silu": lambda v: v / (1 + mp.exp(-v)),
    "gelu": lambda v: v * (1 + mp.erf(v / mp.sqrt(2))) / 2,
}

LN_MAX = mp.log(mp.mpf(MAXM) / S)
PIO2 = mp.pi / 2

# Points random values rarely hit, per function (scaled integers).
HARD = {
    "exp": [0, 1, -1, S, -S, sc(LN_MAX) - 1, sc(LN_MAX), sc(LN_MAX) + 1, sc(LN_MAX) - 2**200,
            sc(-256 * mp.log(2)), sc(-256 * mp.log(2)) + 1, sc(-256 * mp.log(2)) + 2**250,
            sc(-177), sc(177), sc(mp.log(2) / 2), -sc(mp.log(2) / 2), sc(mp.log(2) * 40 + mp.mpf(0.3)),
            sc(mp.log(2) * 41), MAXM, -MAXM, 2**300],
    "log": [1, 2, 3, S - 1, S, S + 1, 2 * S, 2**255, 2**257, MAXM, MAXM - 1, sc(mp.e), 2**511, 7],
    "sin": [sc(k * PIO2) + d for k in (1, 2, 3, 4, 5, 100, 10**6, 2**60, 2**127, 2**200) for d in (-1, 0, 1)]
           + [MAXM, -MAXM, 2**255, 2**400 + 12345, 1, -1, 0],
    "asin": [S, -S, S - 1, -S + 1, S - 2**100, HALF, HALF + 1, HALF - 1, -HALF, 2 * S, -3 * S, 1, 0, MAXM],
    "_atan_taylor": [S, -S, S + 1, S - 1, HALF, HALF - 1, 2 * S, MAXM, -MAXM, 2**400, 2**256 + 1, 1, 0,
                     2**64 * S + 1, -(2**70) * S],
    "tanh": [sc(v) for v in (20, 50, 88, 127.9, 128, 300, -20, -127.9, 1e-30)] + [1, -1, MAXM, -MAXM],
    "sigmoid": [sc(v) for v in (30, 100, 177, 178, 255.9, 256, -30, -100, -177.5, -255.9, -256)] + [1, MAXM, -MAXM],
    "silu": [sc(v) for v in (30, 100, 255.9, 256, -30, -100, -177, -255.9, -256)] + [1, -1, MAXM, -MAXM],
    "gelu": [sc(v) for v in (1e-40, 5, 10, 14, 19.99, 20, -5, -10, -14, -19.99, -20)] + [1, -1, MAXM, -MAXM],
}
HARD["cos"] = HARD["sin"]
HARD["acos"] = HARD["asin"]

RANDOM = {
    "exp": lambda: rand_scaled(-180, 178, 120) + rand_scaled(-1, 1, 30),
    "log": lambda: [abs(m) for m in rand_magnitudes(120)] + rand_scaled(0.5, 2, 30),
    "sin": lambda: rand_scaled(-10, 10, 60) + rand_magnitudes(90),
    "asin": lambda: rand_scaled(-1, 1, 120) + [S - rng.randrange(1, 2 ** rng.randrange(1, 256)) for _ in range(30)],
    "_atan_taylor": lambda: rand_scaled(-3, 3, 60) + rand_magnitudes(90),
    "tanh": lambda: rand_scaled(-100, 100, 80) + rand_scaled(-1, 1, 40) + rand_magnitudes(30),
    "sigmoid": lambda: rand_scaled(-300, 300, 80) + rand_scaled(-2, 2, 40) + rand_magnitudes(30),
    "silu": lambda: rand_scaled(-300, 300, 80) + rand_scaled(-2, 2, 40) + rand_magnitudes(30),
    "gelu": lambda: rand_scaled(-22, 22, 100) + rand_scaled(-1, 1, 30) + rand_magnitudes(20),
}
RANDOM["cos"] = RANDOM["sin"]
RANDOM["acos"] = RANDOM["asin"]


def ulp_errors(name, ms):
    out = scaled(getattr(zel, name)(from_scaled(ms)))
    errs = []
    for m, o in zip(ms, out):
        x = mp.mpf(m) / S
        if name == "log" and m <= 0:
            continue
        ref = ORACLE[name](x) * S
        if abs(ref) > MAXM:
            ref = mp.mpf(MAXM if ref > 0 else -MAXM)
        errs.append((abs(mp.mpf(o) - ref), m))
    return errs


@pytest.mark.parametrize("name", sorted(ORACLE))
def test_faithful_on_hard_and_random_points(name):
    ms = HARD[name] + RANDOM[name]()
    errs = ulp_errors(name, ms)
    worst, at = max(errs)
    assert worst < 1, f"{name}: {mp.nstr(worst, 5)} ulp at {at}"


def test_exp_domain_edges():
    ln2 = mp.log(2)
    flush = int(mp.floor(256 * ln2 * S))
    got = scaled(zel.exp(from_scaled([-(flush + 1), -flush, 178 * S, MAXM, -MAXM, 0])))
    assert got[0] == 0 and got[1] == 1  # below 2^-256 flushes; just above rounds to one unit
    assert got[2:5] == [MAXM, MAXM, 0]
    assert got[5] == S


def test_log_domain_and_exact_points():
    got = scaled(zel.log(from_scaled([0, -S, -1, S, 2 * S])))
    assert got[:3] == [-MAXM] * 3
    assert got[3] == 0
    assert got[4] == int(mp.nint(mp.log(2) * S))


def test_asin_acos_clamp_beyond_one():
    pio2 = int(mp.nint(mp.pi / 2 * S))
    assert scaled(zel.asin(from_scaled([3 * S, -MAXM]))) == [pio2, -pio2]
    assert scaled(zel.acos(from_scaled([3 * S, -MAXM]))) == [0, int(mp.nint(mp.pi * S))]


def model_sqrt(m):
    if m <= 0:
        return 0
    n = m * S
    s = math.isqrt(n)
    return s + 1 if n - s * s > s else s


def test_sqrt_correctly_rounded():
    ms = hard_scaled() + rand_magnitudes(300) + [k * k * S for k in range(1, 20)] + [2 * S, 3 * S]
    ms += [(s * s + s) // S for s in (2**200 + 7, 3 * 2**250 + 1, 2**300 - 1)]  # next to ties
    assert scaled(zel.sqrt(from_scaled(ms))) == [model_sqrt(m) for m in ms]


def floor_model(m):
    return (m // S) * S


def trunc_model(m):
    return (abs(m) // S) * S * (1 if m >= 0 else -1)


def round_model(m):
    q, r = divmod(abs(m), S)
    if 2 * r > S or (2 * r == S and q & 1):
        q += 1
    return min(q * S, MAXM) * (1 if m >= 0 else -1)


ROUNDING_CASES = hard_scaled() + [sc(v) for v in (2.5, -2.5, 3.5, -3.5, 0.5, -0.5, 1.5, -0.49, 7)] + \
    rand_magnitudes(100) + [(2**256 - 1) * S + 1, -((2**256 - 1) * S + 1), (2**256 - 1) * S + HALF]


@pytest.mark.parametrize("name,model", [
    ("floor", lambda m: max(-MAXM, floor_model(m))),
    ("ceil", lambda m: min(MAXM, -floor_model(-m))),
    ("trunc", trunc_model),
    ("round", round_model),
    ("frac", lambda m: m - trunc_model(m)),
    ("sign", lambda m: ((m > 0) - (m < 0)) * S),
    ("relu", lambda m: max(m, 0)),
    ("neg", lambda m: -m),
    ("abs", abs),
])
def test_exact_kernels_match_integer_model(name, model):
    got = scaled(getattr(zel, name)(from_scaled(ROUNDING_CASES)))
    assert got == [model(m) for m in ROUNDING_CASES]


def test_documented_rounding_examples():
    t = zel.tensor([-2.5, 2.5, 3.5, -7.0, 3.0])
    assert zel.floor(t).to_list() == [-3.0, 2.0, 3.0, -7.0, 3.0]
    assert zel.ceil(t).to_list() == [-2.0, 3.0, 4.0, -7.0, 3.0]
    assert zel.trunc(t).to_list() == [-2.0, 2.0, 3.0, -7.0, 3.0]
    assert zel.round(t).to_list() == [-2.0, 2.0, 4.0, -7.0, 3.0]
    assert zel.frac(t).to_list() == [-0.5, 0.5, 0.5, 0.0, 0.0]
    assert zel.sign(t).to_list() == [-1.0, 1.0, 1.0, -1.0, 1.0]


def test_leaky_relu_uses_the_double_slope():
    ms = [-3 * S, -1, 0, 5 * S, -(2**300)]
    slope = scaled(zel.tensor(0.01))[0]
    got = scaled(zel.leaky_relu(from_scaled(ms)))
    assert got == [rne_div(m * slope, S) if m < 0 else m for m in ms]
    assert scaled(zel.leaky_relu(from_scaled(ms), 0)) == scaled(zel.relu(from_scaled(ms)))
    assert scaled(zel.leaky_relu(from_scaled(ms), negative_slope=2)) == [2 * m if m < 0 else m for m in ms]
    with pytest.raises(TypeError):
        zel.leaky_relu(from_scaled(ms), "x")
    with pytest.raises(AttributeError):
        zel.leaky_relu([1.0])


UNARY = ["neg", "abs", "sign", "relu", "leaky_relu", "sigmoid", "tanh", "gelu", "silu", "exp", "log", "sin",
         "cos", "sqrt", "asin", "acos", "_atan_taylor", "ceil", "floor", "round", "trunc", "frac"]


@pytest.mark.parametrize("name", UNARY)
def test_records_written_are_canonical(name):
    # Zeros with sign 0 and -1, odd sign fields and a garbage pad field.
    pairs = [(0, 0), (-1, 0), (1, 0), (1, S), (-1, S), (-1, 1), (1, MAXM), (-1, MAXM), (-1, HALF), (1, 3 * HALF)]
    t = from_raw(pairs)
    host = records(t)
    host["pad"] = 7
    t = zel.Tensor(_raw=device_array(host))
    out = records(getattr(zel, name)(t))
    for r in out:
        mag = sum(int(r[f"limb{k}"]) << (64 * k) for k in range(8))
        assert r["pad"] == 0 and r["sign"] in (1, -1)
        assert mag != 0 or r["sign"] == 1
    # Zeros of any sign field give the value of +0.
    expect = scaled(getattr(zel, name)(from_scaled([0])))[0]
    assert scaled(getattr(zel, name)(from_raw(pairs[:2]))) == [expect, expect]


@pytest.mark.parametrize("name", UNARY)
def test_shapes_and_inputs_kept(name):
    fn = getattr(zel, name)
    t = zel.tensor([[0.5, -0.25, 2.0], [1.5, -3.0, 0.75]])
    before = records(t).tobytes()
    r = fn(t)
    assert r.shape == (2, 3) and r.numel == 6
    assert records(t).tobytes() == before
    assert fn(zel.tensor(0.5)).shape == (1,)
    e = fn(zel.tensor([]))
    assert e.shape == (0,) and e.numel == 0
    with pytest.raises(AttributeError):
        fn(1.5)


def test_involutions():
    t = from_scaled(hard_scaled())
    assert scaled(zel.neg(zel.neg(t))) == scaled(t)
    assert scaled(zel.abs(zel.neg(t))) == scaled(zel.abs(t))


def test_atan_kernel_small_argument():
    x = Fraction(1, 4)
    got = scaled(zel._atan_taylor(zel.tensor([x])))[0]
    assert abs(mp.mpf(got) - mp.atan(mp.mpf(1) / 4) * S) < 1


def test_fp_exp_values_used_by_other_kernels():
    # exp of many points in one launch equals the per-point results.
    ms = rand_scaled(-50, 50, 64)
    one = [scaled(zel.exp(from_scaled([m])))[0] for m in ms[:8]]
    assert scaled(zel.exp(from_scaled(ms)))[:8] == one
