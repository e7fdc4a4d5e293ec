"""Statistics, norms, softmax, negative powers and the far ranges of the
hyperbolic functions against exact integer arithmetic and mpmath at 1200 bits.

mean, var, std and norm (p = 2) must be correctly rounded from the exact data
(bit-exact against the integer oracles below); norm p >= 3, softmax, negative
powers and the far hyperbolic paths must be faithful (< 1 ulp).
"""
import math
import random

import mpmath as mp
import pytest

import korvid.zel as zel
from fastrec import result_values, tensor_of
from zelmodel import MAXM, S, rne_div, sat

mp.mp.prec = 1200


def rne_sqrt(num: int, den: int) -> int:
    """sqrt(num / den) rounded to nearest, ties to even."""
    s = math.isqrt(num // den)
    c = 4 * num - (2 * s + 1) ** 2 * den
    return s + (c > 0 or (c == 0 and s & 1))


def oracle(ms, what, unbiased=True):
    n = len(ms)
    s1, s2 = sum(ms), sum(m * m for m in ms)
    d = n - 1 if unbiased and n > 1 else n
    num = n * s2 - s1 * s1
    if what == "mean":
        return sat(rne_div(s1, n))
    if what == "var":
        return min(rne_div(num, n * d * S), MAXM)
    if what == "std":
        return min(rne_sqrt(num, n * d), MAXM)
    return min(rne_sqrt(s2, 1), MAXM)  # norm


def wide(rng, n, lo=-256, hi=256):
    """n scaled ints with magnitudes log-uniform in 2^lo .. 2^hi (value)."""
    out = []
    for _ in range(n):
        b = rng.randrange(lo + 256, hi + 256)
        m = min(rng.randrange(1 << b, 2 << b), MAXM) if b else 1
        out.append(-m if rng.random() < 0.5 else m)
    return out


def one(t):
    (v,) = result_values(t)
    return v


def ulps(got, ref):
    return abs(mp.mpf(got) - ref * S)


# ------------------------------------------------------------ the reported calls

def test_reported_calls():
    big = 2**255 * S
    assert one(zel.var(tensor_of([big, big + S, big + 2 * S]))) == S
    assert one(zel.mean(tensor_of([MAXM, MAXM]))) == MAXM
    assert one(zel.mean(tensor_of([-MAXM, -MAXM, -MAXM]))) == -MAXM
    assert one(zel.norm(tensor_of([S >> 200]))) == S >> 200
    assert one(zel.std(tensor_of([0, S >> 196]))) == rne_sqrt((S >> 196) ** 2, 2)
    assert one(zel.norm(tensor_of([S << 200]))) == S << 200
    assert one(zel.std(tensor_of([0, S << 200]))) == rne_sqrt((S << 200) ** 2, 2)
    assert ulps(one(zel.norm(tensor_of([S << 200, S << 200]), 3)), mp.mpf(2) ** 200 * mp.cbrt(2)) < 1
    x = (S >> 100) + (S >> 150)
    assert ulps(one(zel.pow(tensor_of([x]), -2)), (mp.mpf(x) / S) ** -2) < 1
    e = -100 * S + 1
    got = result_values(zel.softmax(tensor_of([0] + [e] * 3999)))
    den = 1 + 3999 * mp.exp(mp.mpf(e) / S)
    assert ulps(got[0], 1 / den) < 1 and ulps(got[1], mp.exp(mp.mpf(e) / S) / den) < 1
    for f in ("sinh", "cosh"):
        assert ulps(one(getattr(zel, f)(tensor_of([178 * S]))), getattr(mp, f)(178)) < 1
    for f in ("asinh", "acosh"):
        assert ulps(one(getattr(zel, f)(tensor_of([S << 200]))), getattr(mp, f)(mp.mpf(2) ** 200)) < 1


# ------------------------------------------------------------ correctly rounded

@pytest.mark.parametrize("n", [1, 2, 3, 17, 1000, 10000])
def test_moments_correctly_rounded(n):
    rng = random.Random(n)
    cases = [wide(rng, n), wide(rng, n, 100, 256), wide(rng, n, -256, -150),
             [rng.choice((1, -1)) * MAXM for _ in range(n)],  # sums far beyond MAX
             [7 * S + rng.randrange(-3, 4) for _ in range(n)]]  # tiny spread on a big mean
    for ms in cases:
        t = tensor_of(ms)
        assert one(zel.mean(t)) == oracle(ms, "mean")
        assert one(zel.norm(t)) == oracle(ms, "norm")
        for unbiased in (True, False):
            assert one(zel.var(t, unbiased=unbiased)) == oracle(ms, "var", unbiased), unbiased
            assert one(zel.std(t, unbiased=unbiased)) == oracle(ms, "std", unbiased), unbiased


def test_moments_ties_and_edges():
    # mean ties go to even; a single element has variance 0.
    assert result_values(zel.mean(tensor_of([1, 2]))) == [2]
    assert result_values(zel.mean(tensor_of([1, 4]))) == [2]
    assert result_values(zel.mean(tensor_of([-1, -2]))) == [-2]
    assert result_values(zel.var(tensor_of([5 * S]))) == [0]
    assert zel.var(zel.tensor([1, 2, 3, 4]), unbiased=False).to_list() == [1.25]
    assert zel.norm(zel.tensor([3, 4])).to_list() == [5.0]
    assert zel.mean(zel.tensor([1, 2, 3, 4])).to_list() == [2.5]
    # var beyond MAX saturates; std of the same fits.
    ms = [MAXM, 0]
    assert one(zel.var(tensor_of(ms))) == MAXM
    assert one(zel.std(tensor_of(ms))) == oracle(ms, "std")
    for f in (zel.mean, zel.var, zel.std, zel.norm):
        assert result_values(f(zel.tensor([]))) == [0]


# ------------------------------------------------------------ faithful

@pytest.mark.parametrize("p", [3, 4, 7, 50])
def test_pnorm_faithful(p):
    rng = random.Random(p)
    for n, lo, hi in [(1, -256, 256), (2, -256, 256), (40, -256, 256), (300, 150, 256), (300, -256, -200),
                      (5, 255, 256)]:
        ms = wide(rng, n, lo, hi)
        ref = mp.fsum(abs(mp.mpf(m) / S) ** p for m in ms) ** (mp.mpf(1) / p)
        got = one(zel.norm(tensor_of(ms), p))
        assert ulps(got, min(ref, mp.mpf(MAXM) / S)) < 1, (n, lo, hi)
    assert one(zel.norm(tensor_of([MAXM] * 1000), p)) == MAXM  # beyond MAX saturates
    assert one(zel.norm(tensor_of([0, 0]), p)) == 0


def test_pnorm_arguments():
    assert zel.norm(zel.tensor([3, -4]), 1).to_list() == [7.0]
    with pytest.raises(TypeError):
        zel.norm(zel.tensor([1]), 3.0)
    with pytest.raises(ValueError, match="p >= 1"):
        zel.norm(zel.tensor([1]), 0)
    with pytest.raises(ValueError, match="p < 2"):
        zel.norm(zel.tensor([1]), 2**31)
    # a huge p tends to the largest magnitude (times count^(1/p))
    got = one(zel.norm(tensor_of([3 * S, -3 * S]), 2**31 - 1))
    assert ulps(got, 3 * mp.mpf(2) ** (mp.mpf(1) / (2**31 - 1))) < 1


def test_softmax_faithful_long_rows():
    rng = random.Random(3)
    for cols in (1, 2, 50, 4000):
        ms = [rng.randrange(-300 * S, 5 * S) for _ in range(cols)]
        got = result_values(zel.softmax(tensor_of(ms)))
        es = [mp.exp(mp.mpf(m) / S) for m in ms]
        tot = mp.fsum(es)
        assert max(ulps(g, e / tot) for g, e in zip(got, es)) < 1, cols
    assert zel.softmax(zel.tensor([0, 0])).to_list() == [0.5, 0.5]


def test_negative_pow_whole_range():
    rng = random.Random(11)
    ms = wide(rng, 300)
    for e in (-1, -2, -3, -7, -40):
        got = result_values(zel.pow(tensor_of(ms), e))
        for g, m in zip(got, ms):
            ref = (mp.mpf(m) / S) ** e
            ref = max(-mp.mpf(MAXM) / S, min(mp.mpf(MAXM) / S, ref))
            assert ulps(g, ref) < 1, (hex(m), e)


# ------------------------------------------------------------ hyperbolic far ranges

def test_sinh_cosh_far_range():
    rng = random.Random(5)
    xs = [rng.randrange(177 * S, 179 * S) for _ in range(300)] + [177 * S + S // 2, 178 * S, 179 * S, MAXM]
    xs += [-x for x in xs[:50]]
    for f in ("sinh", "cosh"):
        got = result_values(getattr(zel, f)(tensor_of(xs)))
        for g, x in zip(got, xs):
            ref = getattr(mp, f)(mp.mpf(x) / S)
            ref = max(-mp.mpf(MAXM) / S, min(mp.mpf(MAXM) / S, ref))
            assert ulps(g, ref) < 1, (f, x / S)


def test_asinh_acosh_far_range():
    rng = random.Random(6)
    xs = wide(rng, 300, 64, 256) + [S << 128, (S << 128) - 1, MAXM]
    xs = [abs(x) for x in xs]
    for f in ("asinh", "acosh"):
        got = result_values(getattr(zel, f)(tensor_of(xs)))
        for g, x in zip(got, xs):
            assert ulps(g, getattr(mp, f)(mp.mpf(x) / S)) < 1, (f, hex(x))
    got = result_values(zel.asinh(tensor_of([-x for x in xs])))
    assert got == [-g for g in result_values(zel.asinh(tensor_of(xs)))]


def test_hyperbolic_keep_composition_bits():
    """Inside the ranges where the compositions are right, the kernels give
    the records of the compositions themselves."""
    rng = random.Random(8)
    a = tensor_of([rng.randrange(-177 * S, 177 * S) for _ in range(500)] + [0, S, -S])
    half = zel.tensor(0.5)
    ea, eb = zel.exp(a), zel.exp(zel.neg(a))
    assert result_values(zel.sinh(a)) == result_values(zel.mul(zel.sub(ea, eb), half))
    assert result_values(zel.cosh(a)) == result_values(zel.mul(zel.add(ea, eb), half))
    b = tensor_of([abs(x) for x in wide(rng, 400, -256, 127)] + [S])
    one_b = zel.ones(401)
    sq = zel.mul(b, b)
    assert result_values(zel.acosh(b)) == result_values(zel.log(zel.add(b, zel.sqrt(zel.sub(sq, one_b)))))
    c = tensor_of(wide(rng, 400, -256, 127))
    want = zel.mul(zel.sign(c), zel.log(zel.add(zel.abs(c), zel.sqrt(zel.add(zel.mul(c, c), zel.ones(400))))))
    assert result_values(zel.asinh(c)) == result_values(want)
