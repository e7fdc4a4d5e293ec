"""ComplexTensor: records against a model of the documented compositions of
real operations (values as Fraction pairs, every real operation rounded at
2^-256 to nearest, ties to even, and saturated), Python complex on exactly
representable values, and the shape rules and messages."""
import random
from fractions import Fraction

import pytest
from hypothesis import given, settings, strategies as st

import korvid.zel as zel
from profiles import examples
from zelmodel import MAXM, S, from_raw, from_scaled, hard_scaled, records, scaled_ints

MAXF = Fraction(MAXM, S)


def q(x: Fraction) -> Fraction:
    """x on the record grid: nearest multiple of 2^-256, ties to even, saturated."""
    m = x * S
    f = m.numerator // m.denominator
    r = m - f
    if r > Fraction(1, 2) or (r == Fraction(1, 2) and f % 2):
        f += 1
    return Fraction(max(-MAXM, min(MAXM, f)), S)


def sat(x: Fraction) -> Fraction:
    return max(-MAXF, min(MAXF, x))


def add(x, y):
    return sat(x + y)


def sub(x, y):
    return sat(x - y)


def mul(x, y):
    return q(x * y)


def div(x, y):
    if x == 0:
        return Fraction(0)
    if y == 0:
        return MAXF if x > 0 else -MAXF
    return q(x / y)


def cmul(a, b, c, d):
    return sub(mul(a, c), mul(b, d)), add(mul(a, d), mul(b, c))


def cdiv(a, b, c, d):
    den = add(mul(c, c), mul(d, d))
    return div(add(mul(a, c), mul(b, d)), den), div(sub(mul(b, c), mul(a, d)), den)


def fr(t):
    return zel.from_gpu(t._data, as_float=False)


def parts(z):
    return fr(z.real), fr(z.imag)


def ctensor(vals, shape=None):
    """ComplexTensor holding exactly the Fraction pairs vals."""
    return zel.ComplexTensor(from_scaled([int(v.real * S) for v in vals], shape),
                             from_scaled([int(v.imag * S) for v in vals], shape))


class FC:
    """A complex value as a pair of Fractions."""

    def __init__(self, real, imag):
        self.real, self.imag = Fraction(real), Fraction(imag)


def same_records(t, u):
    return records(t).tobytes() == records(u).tobytes() and t.shape == u.shape


def same_complex(z, w):
    return same_records(z.real, w.real) and same_records(z.imag, w.imag)


def composed_mul(z, w):
    """The documented composition, spelled with the module's real functions."""
    re = zel.sub(zel.mul(z.real, w.real), zel.mul(z.imag, w.imag))
    im = zel.add(zel.mul(z.real, w.imag), zel.mul(z.imag, w.real))
    return zel.ComplexTensor(re, im)


def composed_div(z, w):
    den = zel.add(zel.mul(w.real, w.real), zel.mul(w.imag, w.imag))
    rn = zel.add(zel.mul(z.real, w.real), zel.mul(z.imag, w.imag))
    im = zel.sub(zel.mul(z.imag, w.real), zel.mul(z.real, w.imag))
    return zel.ComplexTensor(zel.div(rn, den), zel.div(im, den))


pairs = st.tuples(scaled_ints, scaled_ints, scaled_ints, scaled_ints)


# ------------------------------------------------------------ arithmetic model

@settings(max_examples=examples(60), deadline=None)
@given(st.lists(pairs, min_size=1, max_size=12))
def test_arithmetic_records_match_the_model(vals):
    a, b, c, d = ([Fraction(v[k], S) for v in vals] for k in range(4))
    z = ctensor([FC(x, y) for x, y in zip(a, b)])
    w = ctensor([FC(x, y) for x, y in zip(c, d)])
    cases = [
        (z + w, [(add(p, r), add(p2, r2)) for p, p2, r, r2 in zip(a, b, c, d)]),
        (z - w, [(sub(p, r), sub(p2, r2)) for p, p2, r, r2 in zip(a, b, c, d)]),
        (z * w, [cmul(*e) for e in zip(a, b, c, d)]),
        (z / w, [cdiv(*e) for e in zip(a, b, c, d)]),
        (-z, [(-p, -p2) for p, p2 in zip(a, b)]),
        (z.conj(), [(p, -p2) for p, p2 in zip(a, b)]),
    ]
    for got, want in cases:
        assert parts(got) == ([e[0] for e in want], [e[1] for e in want])
    assert fr(z.abs2()) == [add(mul(p, p), mul(p2, p2)) for p, p2 in zip(a, b)]


def test_hard_values_match_the_composition_record_for_record():
    # Carries across every limb, saturation, values next to MAX, zero; the
    # same records whichever way the composition is evaluated.
    hard = hard_scaled()
    rng = random.Random(5)
    n = 600
    pick = [[rng.choice(hard) for _ in range(n)] for _ in range(4)]
    z = zel.ComplexTensor(from_scaled(pick[0]), from_scaled(pick[1]))
    w = zel.ComplexTensor(from_scaled(pick[2]), from_scaled(pick[3]))
    assert same_complex(z * w, composed_mul(z, w))
    assert same_complex(z / w, composed_div(z, w))
    assert same_complex(z + w, zel.ComplexTensor(zel.add(z.real, w.real), zel.add(z.imag, w.imag)))
    assert same_complex(z - w, zel.ComplexTensor(zel.sub(z.real, w.real), zel.sub(z.imag, w.imag)))
    assert same_records(z.abs2(), zel.add(zel.mul(z.real, z.real), zel.mul(z.imag, z.imag)))
    assert same_records(abs(z), zel.sqrt(z.abs2()))
    # and the model agrees on a sample of them
    for i in range(0, n, 37):
        a, b, c, d = (Fraction(p[i], S) for p in pick)
        assert (fr((z * w).real)[i], fr((z * w).imag)[i]) == cmul(a, b, c, d)
        assert (fr((z / w).real)[i], fr((z / w).imag)[i]) == cdiv(a, b, c, d)


def test_non_canonical_records_read_as_the_real_operations_read_them():
    # zero with sign -1 or 0, a pad word set: the kernels' reading rules
    mags = [0, 0, 5 * S, 3 * S]
    z = zel.ComplexTensor(from_raw([(-1, 0), (0, 7 * S), (-5, 2 * S), (1, S)]), from_raw([(0, 0), (-1, 0), (1, 0), (-2, 3)]))
    w = zel.ComplexTensor(from_scaled(mags), from_raw([(-1, S), (0, 0), (-1, 0), (1, 2 * S)]))
    for op in (lambda x, y: x * y, lambda x, y: x / y, lambda x, y: x + y, lambda x, y: x - y):
        got = op(z, w)
        assert all(r["sign"] in (1, -1) and r["pad"] == 0 for r in records(got.real))
    assert same_complex(z * w, composed_mul(z, w))
    assert same_complex(z / w, composed_div(z, w))


def test_cmm_cmv_csum_match_the_model():
    rng = random.Random(3)

    def rnd(n, bits):
        return [Fraction(rng.randrange(-(2**bits), 2**bits), S) for _ in range(n)]

    M, K, N = 3, 5, 4
    a, b, c, d = rnd(M * K, 300), rnd(M * K, 280), rnd(K * N, 300), rnd(K * N, 290)
    A = ctensor([FC(x, y) for x, y in zip(a, b)], (M, K))
    B = ctensor([FC(x, y) for x, y in zip(c, d)], (K, N))

    def mm(x, y):
        return [sat(sum(mul(x[i * K + k], y[k * N + j]) for k in range(K))) for i in range(M) for j in range(N)]

    got = zel.cmm(A, B)
    assert got.shape == (M, N)
    want_re = [sub(p, r) for p, r in zip(mm(a, c), mm(b, d))]
    want_im = [add(p, r) for p, r in zip(mm(a, d), mm(b, c))]
    assert parts(got) == (want_re, want_im)

    x, y = c[:K], d[:K]
    v = ctensor([FC(p, r) for p, r in zip(x, y)])
    got = zel.cmv(A, v)

    def mv(m, u):
        return [sat(sum(mul(m[i * K + k], u[k]) for k in range(K))) for i in range(M)]

    assert got.shape == (M,)
    assert parts(got) == ([sub(p, r) for p, r in zip(mv(a, x), mv(b, y))],
                          [add(p, r) for p, r in zip(mv(a, y), mv(b, x))])
    s = zel.csum(A)
    assert s.shape == (1,) and parts(s) == ([sat(sum(a))], [sat(sum(b))])


# ------------------------------------------------------------ against complex

def test_against_python_complex_on_exact_values():
    rng = random.Random(9)
    vals = [complex(rng.randint(-40, 40) / 4, rng.randint(-40, 40) / 8) for _ in range(40)]
    other = [complex(rng.randint(-40, 40) / 2, rng.randint(1, 40) / 4) for _ in range(40)]
    z = zel.complex_tensor([v.real for v in vals], [v.imag for v in vals])
    w = zel.complex_tensor([v.real for v in other], [v.imag for v in other])
    assert (z + w).to_list() == [u + v for u, v in zip(vals, other)]
    assert (z - w).to_list() == [u - v for u, v in zip(vals, other)]
    assert (z * w).to_list() == [u * v for u, v in zip(vals, other)]
    assert (-z).to_list() == [-u for u in vals]
    assert z.conj().to_list() == [u.conjugate() for u in vals]
    # a power-of-two denominator divides exactly in both
    two = zel.complex_tensor([0.0] * 40, [2.0] * 40)
    assert (z / two).to_list() == [u / 2j for u in vals]
    assert abs(zel.ComplexTensor([3], [4])).to_list() == [5.0]
    assert zel.ComplexTensor([3], [4]).abs2().to_list() == [25.0]


# ------------------------------------------------------------ documented cases

def test_documented_examples():
    p = zel.ComplexTensor([1, 2], [3, 4]) * zel.ComplexTensor([5, 6], [7, 8])
    assert p.real.to_list() == [-16.0, -20.0] and p.imag.to_list() == [22.0, 40.0]
    q_ = zel.complex_tensor(1, 2) / zel.complex_tensor(3, 4)
    assert fr(q_.real) == [q(Fraction(11, 25))] and fr(q_.imag) == [q(Fraction(2, 25))]
    z = zel.ComplexTensor([1, 2])
    assert z.imag.to_list() == [0.0, 0.0]
    assert (z + 5).to_list() == [6, 7] and (z + 5).imag is z.imag
    w = zel.ComplexTensor([1, 2], [3, -4])
    assert (5 - w).to_list() == [4 - 3j, 3 + 4j]
    assert (2 * w).to_list() == [2 + 6j, 4 - 8j] and (w * 2).to_list() == [2 + 6j, 4 - 8j]
    assert (w / 2).to_list() == [0.5 + 1.5j, 1 - 2j]
    assert (w - 1).to_list() == [3j, 1 - 4j] and (1 + w).to_list() == [2 + 3j, 3 - 4j]
    assert (w * zel.tensor([2, 3])).to_list() == [2 + 6j, 6 - 12j]
    c = w.conj()
    assert c.real is w.real and c.imag.to_list() == [-3.0, 4.0]
    assert repr(zel.complex_zeros(2, 3)) == "ComplexTensor(shape=(2, 3))"
    assert str(zel.ComplexTensor([1, 2], [3, 4])) == "ComplexTensor([1.0, 2.0] + [3.0, 4.0]j)"
    assert str(zel.ComplexTensor(list(range(11)))) == "ComplexTensor((11,))"
    assert str(zel.complex_tensor(1.5, 2)) == "ComplexTensor(1.5 + 2.0j)"


def test_scalar_parts_and_nested_lists():
    z = zel.ComplexTensor(3)
    assert z.shape == () and z.imag.shape == () and z.to_list() == 3 + 0j
    assert zel.complex_tensor(3, 4).to_list() == 3 + 4j and zel.complex_tensor(3, 4).shape == ()
    m = zel.ComplexTensor([[1, 2], [3, 4]], [[5, 6], [7, 8]])
    assert m.to_list() == [[1 + 5j, 2 + 6j], [3 + 7j, 4 + 8j]]
    assert zel.complex_ones(2, 1, 2).to_list() == [[[1, 1]], [[1, 1]]]
    assert m.T().to_list() == [[1 + 5j, 3 + 7j], [2 + 6j, 4 + 8j]]
    assert m.H().to_list() == [[1 - 5j, 3 - 7j], [2 - 6j, 4 - 8j]]
    assert zel.conj(m).to_list() == m.conj().to_list()
    assert zel.cabs(zel.ComplexTensor([3], [-4])).to_list() == [5.0]
    assert zel.cabs(zel.tensor([-2])).to_list() == [2.0]


def test_creation_functions():
    assert zel.complex_zeros((2, 2)).to_list() == [[0j, 0j], [0j, 0j]]
    assert zel.complex_ones([3]).to_list() == [1, 1, 1]
    e = zel.complex_eye(3)
    assert e.to_list() == [[1, 0, 0], [0, 1, 0], [0, 0, 1]] and e.shape == (3, 3)
    m = zel.ComplexTensor([[1, 2], [3, 4]], [[5, 6], [-7, 8]])
    assert same_complex(zel.cmm(zel.complex_eye(2), m), m)
    # a real operand is promoted
    r = zel.tensor([[1, 0], [0, 2]])
    assert zel.cmm(r, m).to_list() == [[1 + 5j, 2 + 6j], [6 - 14j, 8 + 16j]]
    assert zel.cmv(m, [1, 1]).to_list() == [3 + 11j, 7 + 1j]


def test_failures():
    with pytest.raises(ValueError) as e:
        zel.ComplexTensor([1, 2], [3])
    assert str(e.value) == "Real shape (2,) != imag shape (1,)"
    z = zel.ComplexTensor([1, 2], [3, 4])
    # a real operand whose broadcast changes only the real part's shape
    with pytest.raises(ValueError, match=r"Real shape \(2, 2\) != imag shape \(2,\)"):
        z + zel.tensor([[1], [2]])
    with pytest.raises(ValueError, match="Transpose only for 2D"):
        z.T()
    with pytest.raises(ValueError, match="Transpose only for 2D"):
        z.H()
    with pytest.raises(TypeError):
        2 / z
    with pytest.raises(TypeError, match=r"Argument 'n' has incorrect type \(expected int, got float\)"):
        zel.complex_eye(2.0)
    with pytest.raises(TypeError, match=r"complex_zeros\(\) takes no keyword arguments"):
        zel.complex_zeros(2, shape=3)
    with pytest.raises(TypeError):
        zel.complex_ones(2, dtype=None)
    with pytest.raises(ValueError, match="mm requires 2D tensors"):
        zel.cmm(z, z)
    with pytest.raises(ValueError, match="Shape mismatch"):
        zel.cmm(zel.complex_eye(2), zel.complex_eye(3))


def test_hand_set_shapes_are_refused_not_read_past():
    z = zel.ComplexTensor([1, 2], [3, 4])
    w = zel.ComplexTensor([1, 2, 3], [4, 5, 6])
    for t in (w.real, w.imag):
        t._shape = (2,)  # three records claiming two
    for op in (lambda: z * w, lambda: z / w, lambda: z + w, lambda: z - w, lambda: w * z):
        with pytest.raises(ValueError):
            op()
    big = zel.ComplexTensor([1, 2], [3, 4])
    big.real._shape = (100,)
    big.imag._shape = (100,)
    with pytest.raises(ValueError):
        zel.cmm(big, big)
    with pytest.raises(ValueError):
        big * zel.ComplexTensor(list(range(100)))
    padded = zel.ComplexTensor(big.real)  # default imaginary part: 100 zeros
    assert padded.imag.numel == 100
    with pytest.raises(ValueError):
        big * padded
    # parts that agree with each other (if not with their shape) are read
    # only as far as they hold records
    assert (big * big).real.numel == 2


# ------------------------------------------------------------ cmm in one pass

def _cmm_case(rng, M, K, N, pick):
    """Four scaled-int matrices (ar, ai: M x K; br, bi: K x N) from pick."""
    return [[pick(rng) for _ in range(r * c)] for r, c in ((M, K), (M, K), (K, N), (K, N))]


def _model_cmm(ar, ai, br, bi, M, K, N):
    from zelmodel import model_mul, sat as isat

    def mm(x, y):
        return [isat(sum(model_mul(x[i * K + k], y[k * N + j]) for k in range(K))) for i in range(M) for j in range(N)]

    rr, ii, ri, ir = mm(ar, br), mm(ai, bi), mm(ar, bi), mm(ai, br)
    return [isat(p - q) for p, q in zip(rr, ii)], [isat(p + q) for p, q in zip(ri, ir)]


def test_cmm_one_pass_equals_the_composition_record_for_record():
    from fastrec import ZERO_FORMS, check_canonical, tensor_of, values

    rng = random.Random(7)
    frac = [m for m in hard_scaled() if abs(m) < S] + [2**127, 3 * 2**127, -(2**127), S - 2**128, 2**255 + 1]
    big = [m for m in hard_scaled() if abs(m) >= S]

    def below_one(r):  # entries below 1, with ties and carries of the rounding
        return rng.choice(frac) if rng.random() < 0.4 else rng.randrange(-S + 1, S)

    def mixed(r):  # large and saturating entries among small ones
        k = rng.random()
        return rng.choice(big) if k < 0.2 else below_one(r) if k < 0.8 else rng.randrange(-MAXM, MAXM + 1)

    cases = [(4, 9, 5, below_one), (5, 6, 3, mixed), (1, 1, 1, mixed), (3, 0, 2, below_one), (2, 40, 2, below_one)]
    for M, K, N, pick in cases:
        mats = _cmm_case(rng, M, K, N, pick)
        if pick is mixed and M > 1:
            mats[0][:K] = [MAXM] * K  # a whole row that saturates every sum it enters
            mats[2][:N] = [MAXM] * N
        # zeros in every sign form, and pad fields a kernel never writes
        signs = [[(-1 if m < 0 else 1) for m in x] for x in mats]
        pads = [[0] * len(x) for x in mats]
        for x, s, p in zip(mats, signs, pads):
            for t in range(0, len(x), 3):
                x[t], s[t] = rng.choice(ZERO_FORMS) if t % 2 else (x[t], s[t])
                p[t] = rng.randrange(1, 1000)
            for t in range(1, len(x), 5):  # sign fields other than +-1
                s[t] = -7 if s[t] < 0 else 5
        shapes = [(M, K), (M, K), (K, N), (K, N)]
        ts = [tensor_of(x, sh, s, p) for x, sh, s, p in zip(mats, shapes, signs, pads)]
        A, B = zel.ComplexTensor(ts[0], ts[1]), zel.ComplexTensor(ts[2], ts[3])
        got = zel.cmm(A, B)
        plain_re = zel.sub(zel.mm(ts[0], ts[2]), zel.mm(ts[1], ts[3]))
        plain_im = zel.add(zel.mm(ts[0], ts[3]), zel.mm(ts[1], ts[2]))
        assert got.shape == (M, N)
        assert same_records(got.real, plain_re) and same_records(got.imag, plain_im)
        vals = [values(records(t)) for t in ts]
        want = _model_cmm(*vals, M, K, N)
        for t, w in zip((got.real, got.imag), want):
            check_canonical(records(t))
            assert values(records(t)) == w
    # a real right operand: its imaginary part is zero
    a = zel.ComplexTensor(from_scaled([S // 3, -S // 5, 7, S - 1], (2, 2)), from_scaled([1, 2, 3, -S // 2], (2, 2)))
    b = from_scaled([S // 7, 5, -(S // 9), 2**200], (2, 2))
    r = zel.cmm(a, b)
    assert same_records(r.real, zel.sub(zel.mm(a.real, b), zel.mm(a.imag, zel.zeros(2, 2))))
    assert same_records(r.imag, zel.add(zel.mm(a.real, zel.zeros(2, 2)), zel.mm(a.imag, b)))
