"""Composite functions: compositions of module operations, checked against
the element-by-element composition and against mpmath at 1100 bits."""
import random
from fractions import Fraction

import mpmath as mp
import pytest

import korvid.zel as zel
from zelmodel import MAXM, S, from_raw, from_scaled, records, scaled

mp.mp.prec = 1100
rng = random.Random(7)


def max_ulp(got, ms, f):
    worst = 0
    for o, m in zip(got, ms):
        ref = f(mp.mpf(m) / S) * S
        worst = max(worst, abs(mp.mpf(o) - ref))
    return worst


def atan_per_element(a):
    """The documented element-by-element atan, classified by the exact value."""
    v = zel.from_gpu(a._data, as_float=False)[0]
    if abs(v) < Fraction(1, 2):
        return zel._atan_taylor(a)
    x_abs = zel.neg(a) if v < 0 else a
    if abs(v) <= 1:
        one = zel.tensor(1.0)
        ratio = zel.div(zel.sub(x_abs, one), zel.add(x_abs, one))
        r = zel.add(zel.pi_quarter(), zel._atan_taylor(ratio))
    else:
        inv = zel.div(zel.tensor(1.0), x_abs)
        r = zel.sub(zel.pi_half(), atan_per_element(inv))
    return zel.neg(r) if v < 0 else r


ATAN_POINTS = [0, 1, -1, S // 2, -(S // 2), S // 2 - 1, S // 2 + 1, S, -S, S - 1, S + 1, 2 * S, -2 * S, 3 * S,
               2 * S - 1, 2 * S + 1, MAXM, -MAXM, 2**64 * S, -(2**64) * S + 5, 2**70 * S + 2**255, 2**300,
               2**256 + 2**191]


def test_atan_matches_element_by_element_composition():
    ms = ATAN_POINTS + [rng.randrange(-3 * S, 3 * S) for _ in range(40)] + \
        [rng.randrange(-MAXM, MAXM) >> rng.randrange(512) for _ in range(40)]
    t = from_scaled(ms, shape=(len(ms),))
    got = records(zel.atan(t))
    want = [records(atan_per_element(from_scaled([m])))[0] for m in ms]
    assert [g.tobytes() for g in got] == [w.tobytes() for w in want]


def test_atan_classifies_by_the_whole_value():
    # Values whose low integer limb alone looks small: 2^64 + 0.25, -2^128.
    ms = [2**64 * S + S // 4, -(2**128) * S]
    got = scaled(zel.atan(from_scaled(ms)))
    pio2 = mp.pi / 2 * S
    assert abs(got[0] - (pio2 - mp.atan(mp.mpf(1) / (2**64 + mp.mpf(1) / 4)) * S)) < 4
    assert abs(got[1] + (pio2 - mp.mpf(2) ** -128 * S)) < 4


def test_atan_accuracy_and_special_values():
    ms = ATAN_POINTS + [rng.randrange(-5 * S, 5 * S) for _ in range(100)]
    assert max_ulp(scaled(zel.atan(from_scaled(ms))), ms, mp.atan) < 4
    q = scaled(zel.pi_quarter())[0]
    assert scaled(zel.atan(from_scaled([S, -S]))) == [q, -q]
    assert scaled(zel.atan(from_raw([(-1, 0), (0, 0)]))) == [0, 0]


def test_atan_shapes():
    assert zel.atan(zel.tensor([])).shape == (0,)
    assert zel.atan(zel.tensor(0.5)).shape == (1,)
    r = zel.atan(zel.tensor([[-2.0, 0.5], [0.25, 3.0]]))
    assert r.shape == (2, 2)
    want = [[-mp.atan(2), mp.atan(0.5)], [mp.atan(0.25), mp.atan(3)]]
    assert r.to_list() == [[float(v) for v in row] for row in want]


def atan2_ulp(ys, xs):
    got = scaled(zel.atan2(from_scaled(ys), from_scaled(xs)))
    return max(abs(mp.mpf(o) - mp.atan2(y, x) * S) if (y, x) != (0, 0) else abs(o) for o, y, x in zip(got, ys, xs))


def test_atan2_quadrants_axes_and_origin():
    pi = scaled(zel.pi())[0]
    half, quarter = scaled(zel.pi_half())[0], scaled(zel.pi_quarter())[0]
    ys = [1, 1, -1, -1, 0, 0, 0, 2, -2, 0, 5]
    xs = [1, -1, -1, 1, 1, -1, 0, 0, 0, 3, 5]
    got = scaled(zel.atan2(zel.tensor(ys), zel.tensor(xs)))
    # exact multiples of pi/4 come out as the correctly rounded constants (3pi/4 within one unit)
    assert got[0] == quarter and got[3] == -quarter and got[10] == quarter
    assert abs(got[1] - 3 * quarter) <= 1 and got[2] == -got[1]
    assert got[4:7] == [0, pi, 0]            # +-0 on the negative axis gives +pi, the origin 0
    assert got[7:10] == [half, -half, 0]
    # a zero with sign field -1 or 0 is zero
    negzero = from_raw([(-1, 0), (0, 0), (-1, 0)])
    assert scaled(zel.atan2(negzero, zel.tensor([-1, -1, 1]))) == [pi, pi, 0]
    assert scaled(zel.atan2(zel.tensor([1, -1]), from_raw([(-1, 0), (0, 0)]))) == [half, -half]


def test_atan2_is_faithful_in_every_quadrant():
    ms = [rng.randrange(-10 * S, 10 * S) for _ in range(160)]
    ys, xs = ms[:80], ms[80:]
    assert atan2_ulp(ys, xs) < 1
    # operands far apart (quotients that would saturate or vanish), hard records
    hard = [m for m in (1, 3, S - 1, S, S + 1, 2**300, MAXM - 1, MAXM) for m in (m, -m)]
    ys = [a for a in hard for _ in hard]
    xs = [b for _ in hard for b in hard]
    assert atan2_ulp(ys, xs) < 1
    # next to the negative axis, where atan(y/x) alone lands in the wrong half-plane
    ys = [rng.choice((-1, 1)) * rng.randrange(1, 2**200) for _ in range(40)]
    xs = [-rng.randrange(S, 100 * S) for _ in range(40)]
    assert atan2_ulp(ys, xs) < 1


def test_atan2_broadcasts_and_matches_c():
    import math
    y = zel.tensor([[1.0], [-2.0]])
    x = zel.tensor([-3.0, 0.5, 0.0])
    r = zel.atan2(y, x)
    assert r.shape == (2, 3)
    assert r.to_list() == [[math.atan2(a, b) for b in (-3.0, 0.5, 0.0)] for a in (1.0, -2.0)]
    assert zel.atan2(zel.tensor(1.0), x).shape == (3,)
    assert zel.atan2(zel.tensor([]), zel.tensor([])).shape == (0,)
    with pytest.raises(ValueError, match="Cannot broadcast"):
        zel.atan2(zel.tensor([1, 2]), zel.tensor([1, 2, 3]))
    with pytest.raises(AttributeError):
        zel.atan2(1.0, x)


def test_tan_is_sin_over_cos():
    t = from_scaled([rng.randrange(-4 * S, 4 * S) for _ in range(20)])
    assert scaled(zel.tan(t)) == scaled(zel.div(zel.sin(t), zel.cos(t)))


def test_log2_log10_use_correctly_rounded_constants():
    assert abs(scaled(zel.log2(zel.tensor([8.0])))[0] - 3 * S) <= 4
    assert abs(scaled(zel.log10(zel.tensor([1000.0])))[0] - 3 * S) <= 4
    # The rounded constant adds |result| * 0.72 ulp (log2) or * 0.22 (log10).
    ms = [rng.randrange(S // 8, 8 * S) for _ in range(40)]
    t = from_scaled(ms)
    assert max_ulp(scaled(zel.log2(t)), ms, lambda v: mp.log(v, 2)) < 4
    assert max_ulp(scaled(zel.log10(t)), ms, mp.log10) < 4
    ms = [rng.randrange(1, 2**511) >> rng.randrange(510) for _ in range(40)] + [1, MAXM]
    assert max_ulp(scaled(zel.log10(from_scaled(ms))), ms, mp.log10) < 40


@pytest.mark.parametrize("name,f,lo,hi", [
    ("sinh", mp.sinh, -100, 100),
    ("cosh", mp.cosh, -100, 100),
    ("asinh", mp.asinh, -1000, 1000),
    ("acosh", mp.acosh, 1.5, 1000),
    ("atanh", mp.atanh, -0.99, 0.99),
])
def test_hyperbolic_accuracy_in_range(name, f, lo, hi):
    ms = [rng.randrange(int(lo * S), int(hi * S)) for _ in range(60)]
    assert max_ulp(scaled(getattr(zel, name)(from_scaled(ms))), ms, f) < 4


def test_reciprocal_and_shapes():
    t = zel.tensor([[4.0, -2.0], [0.5, 8.0]])
    r = zel.reciprocal(t)
    assert r.shape == (2, 2) and r.to_list() == [[0.25, -0.5], [2.0, 0.125]]
    assert scaled(zel.reciprocal(from_scaled([3 * S])))[0] == (S + 1) // 3
    for name in ("sinh", "cosh", "asinh", "acosh", "atanh", "log2", "log10", "tan"):
        assert getattr(zel, name)(zel.tensor([[1.5, 2.0, 3.0]])).shape == (1, 3)
        with pytest.raises(AttributeError):
            getattr(zel, name)(2.0)
