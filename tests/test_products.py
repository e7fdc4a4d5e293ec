"""Matrix and tensor products against a model of per-product rounding and
exact sums; thread-count independence of every exact reduction."""
import os
import random
import subprocess
import sys

import pytest
from hypothesis import given, settings, strategies as st

import korvid.zel as zel
from profiles import examples
from zelmodel import MAXM, S, from_scaled, model_mul, records, sat, scaled, scaled_ints


def rnd(rng, n, bits=300):
    return [rng.randrange(-(2**bits), 2**bits) for _ in range(n)]


def model_dot(xs, ys):
    return sat(sum(model_mul(x, y) for x, y in zip(xs, ys)))


def model_mm(a, b, M, K, N):
    return [model_dot(a[i * K:(i + 1) * K], b[j::N]) for i in range(M) for j in range(N)]


def same_records(t, u):
    return records(t).tobytes() == records(u).tobytes()


# ---------------------------------------------------------------- dot, mm, mv

@settings(max_examples=examples(50), deadline=None)
@given(st.lists(st.tuples(scaled_ints, scaled_ints), min_size=1, max_size=30))
def test_dot_model(pairs):
    xs, ys = [p[0] for p in pairs], [p[1] for p in pairs]
    r = zel.dot(from_scaled(xs), from_scaled(ys))
    assert r.shape == (1,) and scaled(r) == [model_dot(xs, ys)]


def test_dot_cases():
    assert zel.dot(zel.tensor([1, 2, 3]), zel.tensor([4, 5, 6])).to_list() == [32.0]
    # products that saturate, and a running sum that leaves the range and returns
    big = [MAXM, MAXM, MAXM]
    assert scaled(zel.dot(from_scaled(big), from_scaled([2 * S, 2 * S, -3 * S]))) == [model_dot(big, [2 * S, 2 * S, -3 * S])]
    assert scaled(zel.dot(from_scaled([MAXM, MAXM, MAXM]), from_scaled([S, S, -S]))) == [MAXM]
    # each product rounds before the sum, ties to even: half an ulp goes to 0,
    # one and a half ulp to 2 ulp (the exact sum would round to 2 as well, but
    # 3 * half an ulp summed first would give 2 only by luck: use 4 halves)
    xs = [2**128, 2**128, 2**128, 3 * 2**128]
    ys = [2**127] * 4
    assert scaled(zel.dot(from_scaled(xs), from_scaled(ys))) == [2]
    with pytest.raises(ValueError, match=r"\(3,\).*\(4,\)"):
        zel.dot(zel.tensor([1, 2, 3]), zel.tensor([1, 2, 3, 4]))


def test_large_dot():
    rng = random.Random(11)
    xs, ys = rnd(rng, 5000, 320), rnd(rng, 5000, 260)
    assert scaled(zel.dot(from_scaled(xs), from_scaled(ys))) == [model_dot(xs, ys)]


@pytest.mark.parametrize("M,K,N", [(1, 1, 1), (2, 3, 2), (5, 7, 3), (17, 9, 20), (3, 0, 4)])
def test_mm_model(M, K, N):
    rng = random.Random(M * 100 + K * 10 + N)
    a, b = rnd(rng, M * K, 290), rnd(rng, K * N, 280)
    r = zel.mm(from_scaled(a, (M, K)), from_scaled(b, (K, N)))
    assert r.shape == (M, N) and scaled(r) == model_mm(a, b, M, K, N)


def test_mm_identity_and_errors():
    rng = random.Random(1)
    a = from_scaled(rnd(rng, 12 * 12, 500), (12, 12))
    eye = from_scaled([S if i == j else 0 for i in range(12) for j in range(12)], (12, 12))
    assert same_records(zel.mm(a, eye), a) and same_records(zel.mm(eye, a), a)
    with pytest.raises(ValueError, match=r"^Shape mismatch: \(2, 3\) @ \(2, 3\)$"):
        zel.mm(zel.ones(2, 3), zel.ones(2, 3))
    with pytest.raises(ValueError, match="mm requires 2D tensors"):
        zel.mm(zel.ones(3), zel.ones(3, 1))
    e = zel.mm(zel.ones(0, 3), zel.ones(3, 4))
    assert e.shape == (0, 4) and e.numel == 0


def test_mv_and_matmul():
    rng = random.Random(2)
    a, x = rnd(rng, 6 * 4), rnd(rng, 4)
    A, X = from_scaled(a, (6, 4)), from_scaled(x)
    want = [model_dot(a[i * 4:(i + 1) * 4], x) for i in range(6)]
    assert scaled(zel.mv(A, X)) == want and zel.mv(A, X).shape == (6,)
    assert same_records(zel.matmul(A, X), zel.mv(A, X))
    assert same_records(zel.matmul(X, X), zel.dot(X, X))
    B = from_scaled(rnd(rng, 4 * 3), (4, 3))
    assert same_records(zel.matmul(A, B), zel.mm(A, B))
    with pytest.raises(ValueError, match=r"\(6, 4\).*\(5,\)"):
        zel.mv(A, zel.ones(5))
    with pytest.raises(ValueError, match=r"^matmul: unsupported shapes \(3,\) @ \(3, 2\)$"):
        zel.matmul(zel.ones(3), zel.ones(3, 2))
    with pytest.raises(ValueError, match="matmul: unsupported shapes"):
        zel.matmul(zel.ones(2, 2, 2), zel.ones(2, 2, 2))


def test_bmm():
    rng = random.Random(3)
    a, b = rnd(rng, 2 * 2 * 3), rnd(rng, 2 * 3 * 4)
    r = zel.bmm(from_scaled(a, (2, 2, 3)), from_scaled(b, (2, 3, 4)))
    assert r.shape == (2, 2, 4)
    assert scaled(r) == model_mm(a[:6], b[:12], 2, 3, 4) + model_mm(a[6:], b[12:], 2, 3, 4)
    with pytest.raises(ValueError, match="bmm requires 3D tensors"):
        zel.bmm(zel.ones(2, 2), zel.ones(2, 2, 2))
    for bad in ((3, 3, 4), (2, 2, 4)):  # batch, then inner size
        with pytest.raises(ValueError, match=r"\(2, 2, 3\)"):
            zel.bmm(zel.ones(2, 2, 3), zel.ones(*bad))


# ---------------------------------------------------------------- outer, kron, trace, diag

def test_outer_kron():
    rng = random.Random(4)
    a, b = rnd(rng, 3), rnd(rng, 4)
    o = zel.outer(from_scaled(a), from_scaled(b))
    assert o.shape == (3, 4) and scaled(o) == [model_mul(x, y) for x in a for y in b]
    assert zel.outer(zel.tensor([1, 2]), zel.tensor([3, 4, 5])).to_list() == [[3, 4, 5], [6, 8, 10]]
    k = zel.kron(zel.tensor([[1, 0], [0, 1]]), zel.tensor([[1, 2], [3, 4]]))
    assert k.to_list() == [[1, 2, 0, 0], [3, 4, 0, 0], [0, 0, 1, 2], [0, 0, 3, 4]]
    A, B = rnd(rng, 2 * 3), rnd(rng, 3 * 2)
    k = zel.kron(from_scaled(A, (2, 3)), from_scaled(B, (3, 2)))
    assert k.shape == (6, 6)
    want = [model_mul(A[i * 3 + j], B[p * 2 + q]) for i in range(2) for p in range(3) for j in range(3) for q in range(2)]
    assert scaled(k) == want
    with pytest.raises(ValueError, match="kron requires 2D tensors"):
        zel.kron(zel.ones(2), zel.ones(2, 2))


def test_trace_diag():
    assert zel.trace(zel.tensor([[1, 2], [3, 4]])).to_list() == [5.0]
    d = from_scaled([MAXM, 7, 8, MAXM], (2, 2))
    assert scaled(zel.trace(d)) == [MAXM]
    d = from_scaled([MAXM, 7, 8, -MAXM], (2, 2))
    assert scaled(zel.trace(d)) == [0]
    with pytest.raises(ValueError, match="trace requires square matrix"):
        zel.trace(zel.ones(2, 3))
    with pytest.raises(ValueError, match="trace requires square matrix"):
        zel.trace(zel.ones(4))
    assert zel.diag(zel.tensor([[1, 2], [3, 4]])).to_list() == [1, 4]
    assert zel.diag(zel.tensor([[1, 2, 3], [4, 5, 6]])).to_list() == [1, 5]
    assert zel.diag(zel.tensor([[1, 2], [3, 4], [5, 6]])).to_list() == [1, 4]
    with pytest.raises(ValueError, match="diag requires 2D tensor"):
        zel.diag(zel.ones(3))


# ---------------------------------------------------------------- conv2d

def model_conv(x, w, N, C, H, W, CO, kH, kW, stride, pad):
    Ho, Wo = (H + 2 * pad - kH) // stride + 1, (W + 2 * pad - kW) // stride + 1
    out = []
    for n in range(N):
        for co in range(CO):
            for oh in range(Ho):
                for ow in range(Wo):
                    acc = 0
                    for ci in range(C):
                        for kh in range(kH):
                            for kw in range(kW):
                                r, c = oh * stride - pad + kh, ow * stride - pad + kw
                                if 0 <= r < H and 0 <= c < W:
                                    acc += model_mul(x[((n * C + ci) * H + r) * W + c],
                                                     w[((co * C + ci) * kH + kh) * kW + kw])
                    out.append(sat(acc))
    return (N, CO, Ho, Wo), out


@pytest.mark.parametrize("stride,pad", [(1, 0), (1, 1), (2, 1), (3, 2)])
def test_conv2d_model(stride, pad):
    rng = random.Random(stride * 10 + pad)
    N, C, H, W, CO, kH, kW = 2, 2, 5, 6, 3, 3, 2
    x, w = rnd(rng, N * C * H * W, 280), rnd(rng, CO * C * kH * kW, 270)
    shape, want = model_conv(x, w, N, C, H, W, CO, kH, kW, stride, pad)
    r = zel.conv2d(from_scaled(x, (N, C, H, W)), from_scaled(w, (CO, C, kH, kW)), stride=stride, padding=pad)
    assert r.shape == shape and scaled(r) == want


def test_conv2d_shapes_and_errors():
    x, w = zel.ones(1, 1, 4, 4), zel.ones(1, 1, 3, 3)
    assert zel.conv2d(x, w).shape == (1, 1, 2, 2)
    assert zel.conv2d(x, w, padding=1).shape == (1, 1, 4, 4)
    assert zel.conv2d(x, w, stride=2, padding=1).shape == (1, 1, 2, 2)
    with pytest.raises(ValueError, match="Channel mismatch"):
        zel.conv2d(zel.ones(1, 2, 4, 4), w)
    for kw in ({"stride": 0}, {"padding": -1}):
        with pytest.raises(ValueError):
            zel.conv2d(x, w, **kw)
    with pytest.raises(ValueError, match="not positive"):
        zel.conv2d(zel.ones(1, 1, 2, 2), w)
    for kw in ({"stride": True}, {"padding": 1.0}, {"stride": None}):
        with pytest.raises(TypeError):
            zel.conv2d(x, w, **kw)
    with pytest.raises(ValueError):
        zel.conv2d(zel.ones(1, 4, 4), w)
    e = zel.conv2d(zel.ones(0, 1, 4, 4), w)
    assert e.shape == (0, 1, 2, 2) and e.numel == 0


def test_shapes_must_match_data():
    """A hand-assigned _shape never lets a kernel read past the data."""
    def liar(shape, n=4):
        t = zel.ones(n)
        t._shape = shape
        return t
    cases = [
        (zel.mm, (liar((3, 3)), zel.ones(3, 3))),
        (zel.mv, (liar((3, 3)), zel.ones(3))),
        (zel.kron, (liar((3, 3)), zel.ones(2, 2))),
        (zel.trace, (liar((3, 3)),)),
        (zel.diag, (liar((3, 3)),)),
        (zel.outer, (liar((9,)), zel.ones(2))),
        (zel.bmm, (liar((2, 2, 2)), zel.ones(2, 2, 2))),
        (zel.conv2d, (liar((1, 1, 3, 3)), zel.ones(1, 1, 2, 2))),
        (zel.dot, (liar((9,)), zel.ones(9))),
    ]
    for f, args in cases:
        with pytest.raises(ValueError):
            f(*args)


# ---------------------------------------------------------------- thread counts

SCRIPT = r"""
import hashlib, random, sys
sys.path.insert(0, %(tests)r)
import korvid.zel as zel
from zelmodel import from_scaled, records
rng = random.Random(7)
r = lambda n, b=300: [rng.randrange(-2**b, 2**b) for _ in range(n)]
a = from_scaled(r(40000))
b = from_scaled(r(40000, 280))
m1 = from_scaled(r(40 * 30), (40, 30))
m2 = from_scaled(r(30 * 50), (30, 50))
x = from_scaled(r(2 * 3 * 12 * 12), (2, 3, 12, 12))
w = from_scaled(r(4 * 3 * 3 * 3), (4, 3, 3, 3))
rows = from_scaled(r(600 * 20), (600, 20))
outs = [zel.sum(a), zel.dot(a, b), zel.prod(from_scaled(r(3000, 257))), zel.max(a), zel.min(a),
        zel.mm(m1, m2), zel.mv(m1, from_scaled(r(30))), zel.conv2d(x, w, stride=2, padding=1),
        zel.cumsum(rows), zel.cumprod(rows), zel.var(a), zel.norm(a, 1),
        zel.bmm(from_scaled(r(3 * 40 * 30), (3, 40, 30)), from_scaled(r(3 * 30 * 50), (3, 30, 50))),
        zel.outer(a, from_scaled(r(3))), zel.diff(a)]
h = hashlib.sha256()
for o in outs:
    h.update(records(o).tobytes())
h.update(zel.argmax(rows).tobytes())
print(h.hexdigest())
"""


def test_bit_identical_for_any_thread_count():
    here = os.path.dirname(os.path.abspath(__file__))
    code = SCRIPT % {"tests": here}
    digests = []
    for threads in ("1", "2", "3"):
        env = dict(os.environ, OMP_NUM_THREADS=threads)
        out = subprocess.run([sys.executable, "-P", "-c", code], env=env, capture_output=True, text=True, timeout=300)
        assert out.returncode == 0, out.stderr
        digests.append(out.stdout.strip())
    assert len(set(digests)) == 1


def test_mm_entries_below_one_and_mixed_rows():
    # Rows and columns of entries below 1 take a narrower exact sum than rows
    # with large entries; both must give the model's records, side by side.
    rng = random.Random(5)
    ties = [2**127, 3 * 2**127, 2**128, S - 1, S // 2, 1, 0]
    M, K, N = 6, 11, 7
    a = [rng.choice(ties) * rng.choice((1, -1)) if rng.random() < 0.3 else rng.randrange(-S + 1, S) for _ in range(M * K)]
    b = [rng.choice(ties) * rng.choice((1, -1)) if rng.random() < 0.3 else rng.randrange(-S + 1, S) for _ in range(K * N)]
    r = zel.mm(from_scaled(a, (M, K)), from_scaled(b, (K, N)))
    assert scaled(r) == model_mm(a, b, M, K, N)
    a[2 * K + 3] = MAXM  # row 2 saturates, column 4 is large
    for k in range(K):
        b[k * N + 4] = rng.randrange(-MAXM, MAXM + 1)
    r = zel.mm(from_scaled(a, (M, K)), from_scaled(b, (K, N)))
    assert scaled(r) == model_mm(a, b, M, K, N)
