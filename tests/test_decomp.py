"""qr, eig/eigh, svd and expm: the records equal those of the step-by-step
models in decomp_model.py on random small matrices, the documented edge
cases, the identities that hold to double precision, and the host float
semantics they rest on."""
import math
import os
import random
import signal
import struct
import subprocess
import sys
import textwrap
import time
from fractions import Fraction as F

import pytest

import korvid.zel as zel

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import decomp_model as model  # noqa: E402


def exact(t):
    return tuple(t._shape), zel.from_gpu(t._data, as_float=False)


def same(a, b):
    if isinstance(a, tuple):
        assert len(a) == len(b)
        for x, y in zip(a, b):
            same(x, y)
        return
    assert exact(a) == exact(b)


def vals(t):
    return zel.from_gpu(t._data)


def entry(rng, kind):
    if kind == "int":
        return rng.randint(-4, 4)
    if kind == "frac":
        return rng.choice([0.5, -0.25, 0.1, 1 / 3, 2.0, -3.0, 0.0])
    return rng.uniform(-3, 3)


def random_matrix(rng, m, n, style=None):
    """Rectangular, singular, diagonal, symmetric or zero, by style."""
    style = style or rng.choice(["dense", "dense", "singular", "diagonal", "symmetric", "zero", "int"])
    kind = rng.choice(["int", "frac", "float"])
    if style == "zero":
        rows = [[0.0] * n for _ in range(m)]
    elif style == "diagonal":
        rows = [[entry(rng, kind) if i == j else 0.0 for j in range(n)] for i in range(m)]
    elif style == "symmetric" and m == n:
        rows = [[0.0] * n for _ in range(m)]
        for i in range(n):
            for j in range(i, n):
                rows[i][j] = rows[j][i] = entry(rng, kind)
    elif style == "singular" and m > 1:
        rows = [[entry(rng, kind) for _ in range(n)] for _ in range(m - 1)]
        rows.insert(rng.randrange(m), [2 * x for x in rows[0]])
    else:
        rows = [[entry(rng, "int" if style == "int" else kind) for _ in range(n)] for _ in range(m)]
    return zel.tensor(rows) if m and n else zel.Tensor(_raw=zel.tensor([])._data, shape=(m, n))


# ---------------------------------------------------------------- records equal the models

def test_qr_matches_model():
    rng = random.Random(15)
    for _ in range(60):
        m, n = rng.randint(1, 6), rng.randint(1, 6)
        A = random_matrix(rng, m, n)
        same(zel.qr(A), model.qr(A))


def test_eig_matches_model():
    rng = random.Random(16)
    for t in range(54):
        n = rng.randint(1, 4) if t % 3 else rng.randint(1, 6)
        A = random_matrix(rng, n, n)
        it = rng.choice([0, 1, 2, -3]) if n > 3 else rng.choice([0, 1, 2, 5])
        same(zel.eig(A, it), model.eig(A, it))
        same(zel.eigh(A, max_iter=it), zel.eig(A, it))
    # The default run on matrices that settle early.
    for A in (zel.tensor([[2.0, 0.0], [0.0, -1.0]]), zel.tensor([[4, 1], [1, 3]]), zel.tensor([[0.5]])):
        same(zel.eig(A), model.eig(A))


def test_svd_matches_model():
    rng = random.Random(17)
    for t in range(52):
        m, n = rng.randint(1, 5), rng.randint(1, 4)
        A = random_matrix(rng, m, n)
        it = rng.choice([0, 1, 2])
        same(zel.svd(A, it), model.svd(A, it))
    for A in (zel.tensor([[3.0, 0.0], [0.0, 4.0], [0.0, 0.0]]), zel.tensor([[1.0, 2.0]])):
        same(zel.svd(A), model.svd(A))


def test_expm_matches_model():
    rng = random.Random(18)
    for t in range(56):
        n = rng.randint(1, 6)
        A = random_matrix(rng, n, n)
        order = rng.choice([0, 1, 2, 3, 6, 9])
        same(zel.expm(A, order), model.expm(A, order))
        if t % 4 == 0:
            same(zel.expm(A), model.expm(A))


def test_expm_scaling_and_large_entries():
    # Norms that need several squarings, and entries far from 1.
    for rows in ([[30.0, -2.0], [5.0, 1.0]], [[1e-9, 1.0], [0.0, -1e-9]], [[-50.0]], [[0.1, 0.2, 0.3]] * 3):
        A = zel.tensor(rows)
        same(zel.expm(A), model.expm(A))


# ---------------------------------------------------------------- documented cases

def test_qr_edge_cases():
    Q, R = zel.qr(zel.tensor([[1, 2], [3, 4], [5, 6]]))
    assert Q._shape == (3, 3) and R._shape == (3, 2)
    Q, R = zel.qr(zel.zeros((3, 2)))
    assert vals(Q) == [1.0 if i % 4 == 0 else 0.0 for i in range(9)] and vals(R) == [0.0] * 6
    Q, R = zel.qr(zel.tensor([[1.5, -2.0, 3.0]]))  # one row: no reflection
    assert vals(Q) == [1.0] and vals(R) == [1.5, -2.0, 3.0]
    Q, R = zel.qr(zel.tensor([[0, 1], [0, 1]]))  # zero first column: step skipped
    assert vals(Q) == [1.0, 0.0, 0.0, 1.0] and vals(R) == [0.0, 1.0, 0.0, 1.0]
    with pytest.raises(ValueError, match="^qr requires 2D matrix$"):
        zel.qr(zel.tensor([1.0, 2.0]))


def test_qr_of_rank_deficient_matrices_completes():
    # A column whose remaining length rationalises to 0 is left alone rather
    # than divided by zero.
    for rows in ([[1, 2], [2, 4], [3, 6]], [[1.0, 1.0, 1.0, -0.1]], [[1, 1, 1], [1, 1, 1], [1, 1, 1]]):
        A = zel.tensor(rows)
        same(zel.qr(A), model.qr(A))
    A = zel.tensor([[1.0, 1.0, 1.0, -0.1040287974464853]])
    same(zel.svd(A, 2), model.svd(A, 2))


def test_eig_edge_cases():
    vals_, vecs = zel.eig(zel.tensor([[3.0, 0.0, 0.0], [0.0, -1.0, 0.0], [0.0, 0.0, 2.0]]))
    assert vals(vals_) == [3.0, -1.0, 2.0]  # input order, no sorting
    ev, _ = zel.eig(zel.tensor([[4, 1], [1, 3]]))
    lam = vals(ev)
    assert abs(lam[0] - (7 + math.sqrt(5)) / 2) < 1e-9 and abs(lam[1] - (7 - math.sqrt(5)) / 2) < 1e-9
    with pytest.raises(ValueError, match="^eig requires square matrix$"):
        zel.eig(zel.zeros((2, 3)))
    with pytest.raises(ValueError, match="^eig requires square matrix$"):
        zel.eigh(zel.tensor([1.0]))
    A = zel.tensor([[1.0, 2.0], [3.0, 4.0]])
    for bad in (2.0, True, None, "3"):
        with pytest.raises(TypeError, match="Argument 'max_iter' has incorrect type"):
            zel.eig(A, max_iter=bad)
        with pytest.raises(TypeError, match="Argument 'max_iter' has incorrect type"):
            zel.svd(A, bad)
    ev, vecs = zel.eig(A, 0)  # no iteration: the diagonal and the identity
    assert vals(ev) == [1.0, 4.0] and vals(vecs) == [1.0, 0.0, 0.0, 1.0]
    same(zel.eig(A, -(2**70)), zel.eig(A, 0))
    same(zel.eigh(A, 3), zel.eig(A, 3))


def test_svd_edge_cases():
    U, S, Vt = zel.svd(zel.tensor([[1, 2], [3, 4], [5, 6]]))
    assert (U._shape, S._shape, Vt._shape) == ((3, 2), (2,), (2, 2))
    s = vals(S)
    assert s[0] >= s[1] > 0
    # 2 x 3: A^T A is singular; a zero singular value has a zero U column.
    U, S, Vt = zel.svd(zel.tensor([[1.0, 0.0, 0.0], [0.0, 2.0, 0.0]]))
    assert vals(S) == [2.0, 1.0, 0.0]
    assert [vals(U)[i * 3 + 2] for i in range(2)] == [0.0, 0.0]
    # Repeated singular values keep the lower eigenvalue index first.
    A = zel.tensor([[0.0, 2.0], [2.0, 0.0]])
    U, S, Vt = zel.svd(A)
    assert vals(S) == [2.0, 2.0]
    same((U, S, Vt), model.svd(A))
    with pytest.raises(ValueError, match="^svd requires 2D matrix$"):
        zel.svd(zel.tensor([1.0, 2.0]))


def test_expm_edge_cases():
    assert vals(zel.expm(zel.zeros((3, 3)))) == [1.0 if i % 4 == 0 else 0.0 for i in range(9)]
    r = vals(zel.expm(zel.tensor([[0, 1], [-1, 0]])))
    c, s = math.cos(1), math.sin(1)
    assert max(abs(x - y) for x, y in zip(r, [c, s, -s, c])) < 1e-6
    assert abs(vals(zel.expm(zel.tensor([[1]])))[0] - math.e) < 1e-6
    # order 1: (1 + x/2) / (1 - x/2) at x = 1/2 (s = 1), squared once.
    x = 0.5
    assert vals(zel.expm(zel.tensor([[1.0]]), order=1)) == [pytest.approx(((1 + x / 2) / (1 - x / 2)) ** 2, rel=1e-15)]
    assert vals(zel.expm(zel.tensor([[5.0, 1.0], [2.0, 3.0]]), order=0)) == [1.0, 0.0, 0.0, 1.0]
    with pytest.raises(ValueError, match="^expm requires square matrix$"):
        zel.expm(zel.zeros((2, 3)))
    for bad in (6.0, False, None):
        with pytest.raises(TypeError, match="Argument 'order' has incorrect type"):
            zel.expm(zel.eye(2), order=bad)
    # Past ~200 terms the coefficients underflow to 0.0: huge orders end.
    A = zel.tensor([[0.3, -1.0], [2.0, 0.5]])
    same(zel.expm(A, 2000), model.expm(A, 2000))
    big, ref = vals(zel.expm(A, 2**62)), vals(zel.expm(A, 20))
    assert max(abs(x - y) for x, y in zip(big, ref)) < 1e-12
    # A negative order leaves N = D = 0: the solve reports it.
    with pytest.raises(ValueError, match="^Matrix is singular$"):
        zel.expm(zel.eye(2), order=-1)


def test_malformed_arguments_raise():
    for fn in (zel.qr, zel.eig, zel.eigh, zel.svd, zel.expm):
        with pytest.raises(AttributeError):
            fn([[1.0]])
        with pytest.raises(AttributeError):
            fn(None)


def test_empty_matrices():
    empty = zel.Tensor(_raw=zel.tensor([])._data, shape=(0, 0))
    Q, R = zel.qr(empty)
    assert Q._shape == (0, 0) and R._shape == (0, 0)
    ev, V = zel.eig(empty)
    assert ev._shape == (0,) and V._shape == (0, 0)
    assert zel.expm(empty)._shape == (0, 0)
    U, S, Vt = zel.svd(zel.Tensor(_raw=zel.tensor([])._data, shape=(3, 0)))
    assert (U._shape, S._shape, Vt._shape) == ((3, 0), (0,), (0, 0))
    # An empty input whose square result cannot exist is refused, not wrapped.
    for m, says in ((2**47 + 1, "address space"), (10**18, "address space"), (2**20, "allocate")):
        with pytest.raises(MemoryError, match=says):
            zel.qr(zel.zeros(m, 0))
        with pytest.raises(MemoryError, match=says):
            zel.svd(zel.zeros(0, m))


def test_qr_refuses_sizes_beyond_its_budget():
    rng = random.Random(3)
    A = zel.tensor([[rng.uniform(-1, 1) for _ in range(40)] for _ in range(40)])
    with pytest.raises(MemoryError, match="working budget"):
        zel.qr(A)
    with pytest.raises(MemoryError, match="working budget"):
        zel.eig(A, 1)
    # Structured matrices keep short numbers and pass.
    D = zel.tensor([[float(i + 1) if i == j else 0.0 for j in range(40)] for i in range(40)])
    Q, R = zel.qr(D)
    assert vals(R)[::41] == [-float(i + 1) for i in range(39)] + [40.0]


# ---------------------------------------------------------------- identities to double precision

def matmul(a, b, m, k, n):
    return [sum(a[i * k + l] * b[l * n + j] for l in range(k)) for i in range(m) for j in range(n)]


def test_identities():
    rng = random.Random(19)
    for _ in range(8):
        m, n = rng.randint(2, 5), rng.randint(2, 5)
        A = zel.tensor([[rng.uniform(-2, 2) for _ in range(n)] for _ in range(m)])
        a = vals(A)
        Q, R = map(vals, zel.qr(A))
        Qt = [Q[j * m + i] for i in range(m) for j in range(m)]
        eye = [1.0 if i == j else 0.0 for i in range(m) for j in range(m)]
        assert max(abs(x - y) for x, y in zip(matmul(Qt, Q, m, m, m), eye)) < 1e-13
        assert max(abs(x - y) for x, y in zip(matmul(Q, R, m, m, n), a)) < 1e-12
    for n in (2, 3, 4):
        B = [[rng.uniform(-1, 1) for _ in range(n)] for _ in range(n)]
        # Well separated eigenvalues: symmetric with a dominant diagonal.
        S = [[(B[i][j] + B[j][i]) / 4 + (3 * i if i == j else 0) for j in range(n)] for i in range(n)]
        ev, V = zel.eigh(zel.tensor(S), 200)
        lam, v, s = vals(ev), vals(V), sum(S, [])
        AV = matmul(s, v, n, n, n)
        assert max(abs(AV[i * n + j] - v[i * n + j] * lam[j]) for i in range(n) for j in range(n)) < 1e-9
        A = zel.tensor([[rng.uniform(-1, 1) for _ in range(n)] for _ in range(n + 1)])
        U, Sg, Vt = map(vals, zel.svd(A, 300))
        US = [U[i * n + j] * Sg[j] for i in range(n + 1) for j in range(n)]
        assert max(abs(x - y) for x, y in zip(matmul(US, Vt, n + 1, n, n), vals(A))) < 1e-6
    d = [0.5, -1.25, 2.0]
    E = vals(zel.expm(zel.tensor([[d[i] if i == j else 0.0 for j in range(3)] for i in range(3)])))
    for i in range(3):
        assert E[i * 4] == pytest.approx(math.exp(d[i]), rel=1e-12)


# ---------------------------------------------------------------- host float semantics

def test_pow_half_is_the_hosts_float_power():
    rng = random.Random(20)
    xs = [struct.unpack("<d", struct.pack("<Q", rng.getrandbits(63)))[0] for _ in range(1_000_000)]
    xs = [x for x in xs if math.isfinite(x)]
    xs += [rng.uniform(0, 4) for _ in range(1_000_000)]
    xs += [0.0, -0.0, 5e-324, 2.0**-1022, 1.7976931348623157e308, math.inf, float(2**256)]
    got = zel._pow_half(xs)
    assert all(g == x**0.5 or (g != g and x**0.5 != x**0.5) for g, x in zip(got, xs))
    assert math.copysign(1.0, zel._pow_half([-0.0])[0]) == 1.0  # pow, not sqrt


def test_fraction_to_double_is_correctly_rounded():
    # qr's results are float(Fraction) of its exact values: a one-row matrix
    # returns its cleaned entries; ties and subnormal neighbours included.
    cases = [F(1, 3), F(2, 3), F(-7, 10), F(999999999999, 1000000000000), F(1, 10**12), F(-1, 10**12)]
    A = zel.tensor([[float(q) for q in cases]])
    _, R = zel.qr(A)
    assert vals(R) == [float(F(float(q)).limit_denominator(10**12)) for q in cases]
    # Two rows: the reflection's exact values rounded through the same rule
    # as the model, on entries that need every bit.
    A = zel.tensor([[1 / 3, 2 / 7, 1e-12], [5 / 11, -1 / 13, 7e11]])
    same(zel.qr(A), model.qr(A))


def test_products_are_not_contracted():
    # a*b + c with an inexact a*b: a fused multiply-add would round once and
    # give other bits; expm's host products must match the model's.
    a = 1 + 2.0**-30
    A = zel.tensor([[a, 1 - 2.0**-29, 0.0], [a * 3, 0.1, 1 / 3], [1e-3, -a, 0.7]])
    same(zel.expm(A), model.expm(A))
    same(zel.expm(A, 13), model.expm(A, 13))


def test_a_long_iteration_ends_on_ctrl_c():
    # A rotation never converges: max_iter = 10**12 runs until interrupted.
    code = textwrap.dedent("""
        import korvid.zel as zel
        try:
            print("start", flush=True)
            zel.eig(zel.tensor([[0.0, 1.0], [-1.0, 0.0]]), 10**12)
        except KeyboardInterrupt:
            print("interrupted", flush=True)
    """)
    p = subprocess.Popen([sys.executable, "-P", "-c", code], stdout=subprocess.PIPE, text=True)
    try:
        assert p.stdout.readline().strip() == "start"
        time.sleep(0.5)
        p.send_signal(signal.SIGINT)
        out, _ = p.communicate(timeout=60)
    finally:
        p.kill()
    assert out.strip() == "interrupted" and p.returncode == 0
