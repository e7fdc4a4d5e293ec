"""Reductions, scans and row-wise operations against Python-integer models."""
import random
from fractions import Fraction

import mpmath
import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

import korvid.zel as zel
from profiles import examples
from zelmodel import (MAXM, S, device_array, from_raw, from_scaled, model_div, model_mul, raw_array, records, sat,
                      scaled, scaled_ints)

needs = lambda *names: pytest.mark.skipif(  # noqa: E731
    not all(hasattr(zel, n) for n in names), reason="needs " + ", ".join(names))

small_lists = st.lists(scaled_ints, min_size=0, max_size=40)


def rnd_scaled(rng, n, bits=300):
    return [rng.randrange(-(2**bits), 2**bits) for _ in range(n)]


def model_halving(ms, combine):
    """The documented pairing: element i combines i and i + n//2; an odd
    leftover is folded into element 0 after the pass."""
    data = list(ms)
    n = len(data)
    while n > 1:
        half = n // 2
        for i in range(half):
            data[i] = combine(data[i], data[i + half])
        if n % 2:
            data[0] = combine(data[0], data[n - 1])
        n = half
    return data[0]


# ---------------------------------------------------------------- sum

@settings(max_examples=examples(60), deadline=None)
@given(small_lists)
def test_sum_is_exact_sum_saturated_once(ms):
    t = from_scaled(ms)
    r = zel.sum(t)
    if not ms:
        assert r.shape == () and scaled(r) == [0]
    else:
        assert r.shape == (1,)
        assert scaled(r) == [sat(sum(ms))]


def test_sum_order_free_beyond_range():
    # The running sum leaves the format and comes back: no saturation midway.
    ms = [MAXM, MAXM, MAXM, -MAXM, -MAXM, 5]
    for perm in (ms, ms[::-1], sorted(ms)):
        assert scaled(zel.sum(from_scaled(perm))) == [sat(sum(ms))]
    assert scaled(zel.sum(from_scaled([MAXM, MAXM]))) == [MAXM]
    assert scaled(zel.sum(from_scaled([-MAXM, -MAXM, 1]))) == [-MAXM]


def test_sum_large_and_concatenation():
    rng = random.Random(5)
    a = rnd_scaled(rng, 20000, 400)
    b = rnd_scaled(rng, 777, 500)
    ta, tb, tab = from_scaled(a), from_scaled(b), from_scaled(a + b)
    assert scaled(zel.sum(tab)) == [sat(sum(a) + sum(b))]
    assert records(zel.sum(tab)).tobytes() == records(zel.add(zel.sum(ta), zel.sum(tb))).tobytes()


def test_sum_small_cases():
    assert zel.sum(zel.tensor([1, 2, 3, 4, 5])).to_list() == [15.0]
    one = zel.sum(zel.tensor([7]))
    assert one.shape == (1,) and one.to_list() == [7.0]
    assert zel.sum(zel.tensor([])).shape == ()
    # negative zero and a non-canonical sign field sum to a canonical zero
    z = zel.sum(from_raw([(-1, 0), (0, 0), (-1, S), (1, S)]))
    rec = records(z)[0]
    assert rec["sign"] == 1 and rec["pad"] == 0 and scaled(z) == [0]
    # one element is summed too, not copied: its record comes out canonical
    for pair in ((-1, 0), (7, 3 * S), (1, 5)):
        host = raw_array([pair])
        host["pad"] = 9
        raw = zel.Tensor(_raw=device_array(host), shape=(1,))
        assert records(zel.sum(raw)).tobytes() == records(zel.sum(from_raw([pair, (0, 0)]))).tobytes()


def test_norm1_and_mean():
    rng = random.Random(2)
    ms = rnd_scaled(rng, 301)
    t = from_scaled(ms)
    assert scaled(zel.norm(t, 1)) == [sat(sum(abs(m) for m in ms))]
    assert scaled(zel.mean(t)) == [model_div(sat(sum(ms)), 301 * S)]
    assert zel.mean(zel.tensor([1, 2, 3, 4])).to_list() == [2.5]
    assert zel.norm(zel.tensor([3, -4]), 1).to_list() == [7.0]


# ---------------------------------------------------------------- prod, max, min

@pytest.mark.parametrize("n", [1, 2, 3, 5, 7, 13, 64, 100])
def test_prod_follows_the_halving_pairing(n):
    rng = random.Random(n)
    # values near 1 with full fractions, so every product rounds
    ms = [S + rng.randrange(-(2**250), 2**250) for _ in range(n)]
    ms[rng.randrange(n)] *= -1
    assert scaled(zel.prod(from_scaled(ms))) == [model_halving(ms, model_mul)]


def test_prod_small_cases():
    assert zel.prod(zel.tensor([1, 2, 3, 4, 5])).to_list() == [120.0]
    e = zel.prod(zel.tensor([]))
    assert e.shape == () and e.to_list() == 1.0
    big = from_scaled([MAXM, MAXM, -MAXM])
    assert scaled(zel.prod(big)) == [-MAXM]


@settings(max_examples=examples(40), deadline=None)
@given(st.lists(scaled_ints, min_size=1, max_size=40))
def test_max_min(ms):
    t = from_scaled(ms)
    assert scaled(zel.max(t)) == [max(ms)]
    assert scaled(zel.min(t)) == [min(ms)]


def test_max_min_cases():
    t = zel.tensor([3, 9, 1, 7, 5])
    assert zel.max(t).to_list() == [9.0] and zel.min(t).to_list() == [1.0]
    for f in (zel.max, zel.min):
        e = f(zel.tensor([]))
        assert e.shape == (0,) and e.numel == 0
    r = records(zel.max(from_raw([(-1, 0), (-1, 5), (-1, 0)])))[0]
    assert r["sign"] == 1 and r["limb0"] == 0


# ---------------------------------------------------------------- var, std, norm

def model_var(ms, unbiased=True):
    n = len(ms)
    mean = model_div(sat(sum(ms)), n * S)
    sq = sat(sum(model_mul(sat(m - mean), sat(m - mean)) for m in ms))
    return model_div(sq, (n - 1 if unbiased and n > 1 else n) * S)


def test_var_model():
    rng = random.Random(9)
    for n in (1, 2, 3, 10, 257):
        ms = rnd_scaled(rng, n, 280)
        t = from_scaled(ms)
        assert scaled(zel.var(t)) == [model_var(ms)]
        assert scaled(zel.var(t, unbiased=False)) == [model_var(ms, False)]
    v = zel.var(zel.tensor([1, 2, 3, 4]))
    assert scaled(v) == [model_div(5 * S, 3 * S)] and v.shape == (1,)
    assert zel.var(zel.tensor([1, 2, 3, 4]), unbiased=False).to_list() == [1.25]
    assert zel.var(zel.tensor([[1, 2], [3, 4]]), dim=0).to_list() == pytest.approx([5 / 3])


def test_argument_types():
    t = zel.tensor([1, 2, 3])
    for bad in (2.0, True, None):
        with pytest.raises(TypeError, match="Argument 'p' has incorrect type"):
            zel.norm(t, bad)
    for p in (0, -1):
        with pytest.raises(ValueError):
            zel.norm(t, p)
    with pytest.raises(TypeError, match="Argument 'dim'"):
        zel.var(t, dim=1.5)
    for f in (zel.cumsum, zel.cumprod, zel.argmax, zel.argmin, zel.softmax):
        with pytest.raises(TypeError, match="Argument 'dim'"):
            f(t, dim=None)
        with pytest.raises(TypeError):
            f(t, dim=False)
    with pytest.raises(ValueError, match="Only n=1 supported"):
        zel.diff(t, 2)
    with pytest.raises(TypeError, match="Argument 'n'"):
        zel.diff(t, True)


@needs("sqrt")
def test_norm2_and_std():
    assert zel.norm(zel.tensor([3, 4])).to_list() == [5.0]
    rng = random.Random(4)
    ms = rnd_scaled(rng, 50)
    t = from_scaled(ms)
    ss = sat(sum(model_mul(m, m) for m in ms))
    assert records(zel.norm(t)).tobytes() == records(zel.sqrt(from_scaled([ss]))).tobytes()
    assert records(zel.std(t)).tobytes() == records(zel.sqrt(zel.var(t))).tobytes()


@needs("pow", "exp", "log", "abs")
@pytest.mark.parametrize("p", [3, 4, 7])
def test_pnorm(p):
    mpmath.mp.prec = 1024
    rng = random.Random(p)
    ms = [rng.randrange(-(2**300), 2**300) for _ in range(20)] + [2**400]
    got = Fraction(scaled(zel.norm(from_scaled(ms), p))[0], S)
    want = mpmath.root(mpmath.fsum(abs(mpmath.mpf(m) / S) ** p for m in ms), p)
    assert abs(mpmath.mpf(got.numerator) / got.denominator - want) <= want * mpmath.mpf(2) ** -248


# ---------------------------------------------------------------- row-wise

def rows_of(ms, cols):
    return [ms[i:i + cols] for i in range(0, len(ms), cols)]


def test_cumsum_cumprod_rows():
    rng = random.Random(3)
    ms = rnd_scaled(rng, 21, 270) + [MAXM, MAXM, -MAXM]
    shape = (2, 3, 4)
    t = from_scaled(ms, shape)
    cs = zel.cumsum(t)
    assert cs.shape == shape
    want = []
    for row in rows_of(ms, 4):
        acc = 0
        for m in row:
            acc += m
            want.append(sat(acc))
    assert scaled(cs) == want
    cp_ = zel.cumprod(t)
    want = []
    for row in rows_of(ms, 4):
        p = row[0]
        want.append(p)
        for m in row[1:]:
            p = model_mul(p, m)
            want.append(p)
    assert scaled(cp_) == want
    assert zel.cumsum(zel.tensor([[1, 2, 3], [4, 5, 6]])).to_list() == [[1, 3, 6], [4, 9, 15]]
    assert zel.cumprod(zel.tensor([1, 2, 3, 4])).to_list() == [1, 2, 6, 24]
    # running sum past MAX and back is exact
    assert scaled(zel.cumsum(from_scaled([MAXM, MAXM, -MAXM]))) == [MAXM, MAXM, MAXM]


def test_argmax_argmin():
    t = zel.tensor([[1, 5, 5], [7, 0, 7], [-1, -1, -2]])
    am, an = zel.argmax(t), zel.argmin(t)
    assert am.dtype == np.int32 and list(am) == [1, 0, 0]
    assert list(an) == [0, 1, 2]
    one = zel.argmax(zel.tensor([3, 1, 4]))
    assert one.shape == (1,) and list(one) == [2]
    t3 = from_scaled([5, 1, 2, 9, 9, 3, 0, 0], (2, 2, 2))
    assert list(zel.argmax(t3)) == [0, 1, 0, 0] and list(zel.argmin(t3)) == [1, 0, 1, 0]
    # -0 and +0 tie: the first index wins
    assert list(zel.argmax(from_raw([(-1, 0), (1, 0)]))) == [0]
    with pytest.raises(ValueError):
        zel.argmax(from_scaled([], (2, 0)))
    assert zel.argmin(from_scaled([], (0, 3))).shape == (0,)


def test_softmax():
    s = zel.softmax(zel.tensor([0, 0]))
    assert scaled(s) == [S // 2, S // 2]
    t = zel.tensor([[1.0, 2.0, 3.0], [-50.0, 0.0, 50.0]])
    out = zel.softmax(t)
    assert out.shape == (2, 3)
    for row in rows_of(scaled(out), 3):
        assert abs(sum(row) - S) <= 3
    assert out.to_list()[0] == pytest.approx(list(np.exp([1, 2, 3]) / np.exp([1, 2, 3]).sum()), rel=1e-14)
    # shape () and 3-D inputs: the last axis is the row
    assert scaled(zel.softmax(zel.tensor(5))) == [S]
    t3 = zel.softmax(from_scaled([0] * 12, (2, 3, 2)))
    assert scaled(t3) == [S // 2] * 12


@needs("exp")
def test_softmax_faithful():
    mpmath.mp.prec = 1024
    rng = random.Random(1)
    ms = [rng.randrange(-(2**262), 2**262) for _ in range(6)]
    got = scaled(zel.softmax(from_scaled(ms)))
    top = max(ms)
    es = [mpmath.exp(mpmath.mpf(m - top) / S) for m in ms]
    tot = mpmath.fsum(es)
    for g, e in zip(got, es):
        assert abs(g - e / tot * S) < 4


def test_diff_exact():
    rng = random.Random(8)
    ms = rnd_scaled(rng, 12, 300) + [MAXM, -MAXM]
    d = zel.diff(from_scaled(ms, (2, 7)))
    assert d.shape == (13,)
    assert scaled(d) == [sat(b - a) for a, b in zip(ms, ms[1:])]
    assert zel.diff(zel.tensor([1, 4, 9, 16])).to_list() == [3, 5, 7]
    third = zel.diff(zel.tensor([Fraction(1, 3), Fraction(2, 3)]))
    assert zel.from_gpu(third._data, as_float=False) == [Fraction(2 * S // 3 - S // 3, S)]
    for short in ([], [5]):
        e = zel.diff(zel.tensor(short))
        assert e.shape == (0,) and e.numel == 0


def test_rowwise_shapes_must_match_data():
    t = zel.tensor([1, 2, 3, 4])
    t._shape = (3, 2)
    for f in (zel.cumsum, zel.cumprod, zel.softmax, zel.argmax, zel.argmin):
        with pytest.raises(ValueError):
            f(t)
    e = zel.cumsum(from_scaled([], (0, 4)))
    assert e.shape == (0, 4) and e.numel == 0
