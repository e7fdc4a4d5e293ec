"""The host's own algorithms against the kernels they stand in for, launched
raw through _get_kernel on the same backend: the CPU sum (contiguous chunks
per core) against fp_sum_partial/fp_sum_finish split into any number of
parts, and the host matrix product (packed operands; a narrow exact sum for
rows and columns below 1, the general one otherwise) against fp_mm_kernel.
Every case is also held against the integer model, on operands at the edges
of each path: the 1 boundary between the narrow and general products,
rounding ties, accumulators that pass MAX and come back, zeros in every sign
form, sign and pad fields a kernel never writes."""
import random

import numpy as np
import pytest

import korvid.zel as zel
from fastrec import ZERO_FORMS, check_canonical, tensor_of, values
from zelmodel import MAXM, S, hard_scaled, model_mul, records, sat

SUM_PLAIN, SUM_ABS, SUM_DOT, SUM_SQDEV = range(4)

# Magnitudes at the narrow/general boundary (1 - ulp, 1, 1 + ulp) and those
# whose products round on a tie (2^255 = 1/2 times an odd unit count).
BOUNDARY = [S - 1, S, S + 1, 2**255, 2**255 + 1, 3, 2**64 + 1, 2**127, 3 * 2**127]


def launch(name, threads, *args, block=(128,)):
    grid = tuple(-(-t // b) for t, b in zip(threads, block))
    zel._get_kernel(name)(grid, block, tuple(np.int32(a) if isinstance(a, int) else a for a in args))


def raw_bytes(t):
    return records(t).tobytes()


def odd_fields(rng, ms):
    """Sign fields (zeros as -1/0/+1, other signs as -7/5) and pads a kernel
    never writes, over the scaled ints ms (changed in place for the zeros)."""
    signs, pads = [], []
    for i, m in enumerate(ms):
        if i % 7 == 3:
            ms[i], s = rng.choice(ZERO_FORMS)
        elif i % 5 == 1:
            s = -7 if m < 0 else 5
        else:
            s = -1 if m < 0 else 1
        signs.append(s)
        pads.append(rng.randrange(1, 1000) if i % 3 == 0 else 0)
    return signs, pads


# ------------------------------------------------------------ exact sums

def kernel_sum(a, b, n, mode, nparts, block=128):
    part = zel.zeros(2 * nparts)._data
    out = zel.zeros(1)
    launch("fp_sum_partial_kernel", (nparts,), a._data, b._data, part, n, nparts, mode, block=(block,))
    launch("fp_sum_finish_kernel", (1,), part, out._data, nparts, block=(1,))
    return out


def model_sum(va, vb, mode):
    if mode == SUM_PLAIN:
        terms = va
    elif mode == SUM_ABS:
        terms = [abs(x) for x in va]
    elif mode == SUM_DOT:
        terms = [model_mul(x, y) for x, y in zip(va, vb)]
    else:
        terms = [model_mul(sat(x - vb[0]), sat(x - vb[0])) for x in va]
    return sat(sum(terms))


def hostile_terms(rng, n):
    """Terms whose running sums pass MAX both ways, limbs that carry into
    the next, products that round on ties or saturate, and plain randoms."""
    pool = [m for m in hard_scaled()] + [x * sg for x in BOUNDARY for sg in (1, -1)]
    out = []
    for i in range(n):
        k = rng.random()
        if k < 0.45:
            out.append(rng.choice(pool))
        elif k < 0.55:
            out.append(MAXM if i % 2 else -MAXM)
        else:
            out.append(rng.randrange(-MAXM, MAXM + 1) >> rng.randrange(0, 512))
    return out


# CPU chunk boundaries (8192 terms for plain and |x| sums, 1024 for products)
@pytest.mark.parametrize("n", [1, 2, 1023, 1025, 8193])
def test_host_sums_equal_the_kernels_for_any_split(n):
    rng = random.Random(n)
    xs, ys = hostile_terms(rng, n), hostile_terms(rng, n)
    if n > 2:  # one side far beyond MAX, then back in range at the end
        xs[: n // 2] = [MAXM] * (n // 2)
        xs[n // 2: 2 * (n // 2)] = [-MAXM] * (n // 2)
    xsig, xpad = odd_fields(rng, xs)
    a, b = tensor_of(xs, signs=xsig, pads=xpad), tensor_of(ys)
    va, vb = values(records(a)), values(records(b))
    host = {SUM_PLAIN: zel.sum(a), SUM_ABS: zel.norm(a, 1), SUM_DOT: zel.dot(a, b)}
    for mode in (SUM_PLAIN, SUM_ABS, SUM_DOT, SUM_SQDEV):
        want = model_sum(va, vb, mode)
        splits = {1, 7, n + 5} if n < 8000 else {1, 3, 1024}
        got = {raw_bytes(kernel_sum(a, b, n, mode, p)) for p in splits}
        assert len(got) == 1, (mode, "the split shows in the kernel's sum")
        out = kernel_sum(a, b, n, mode, 7)
        check_canonical(records(out))
        assert values(records(out)) == [want], mode
        if mode in host and not (n == 1 and mode == SUM_PLAIN):  # sum of one record: that record, copied
            assert raw_bytes(host[mode]) == got.pop(), mode


# ------------------------------------------------------------ matrix products

def kernel_mm(a, b, M, N, K):
    out = zel.zeros(M * N)
    if M and N:
        launch("fp_mm_kernel", (N, M), a._data, b._data, out._data, M, N, K, block=(16, 16))
    return out


def model_mm(va, vb, M, K, N):
    return [sat(sum(model_mul(va[i * K + k], vb[k * N + j]) for k in range(K))) for i in range(M) for j in range(N)]


def below_one_entry(rng):
    k = rng.random()
    if k < 0.4:
        return rng.choice([S - 1, 2**255, 2**255 + 1, 3 * 2**127, 2**127, 1, 0]) * rng.choice((1, -1))
    return rng.randrange(-S + 1, S)


def matrix(rng, rows, cols, big_rows=(), big_cols=(), big=(S, -S, S + 1, MAXM, -MAXM, 2**300)):
    """Entries below 1 except in big_rows / big_cols, where one entry is at
    or above 1 (exactly 1 among them)."""
    ms = [below_one_entry(rng) for _ in range(rows * cols)]
    for r in big_rows:
        ms[r * cols + rng.randrange(cols)] = rng.choice(big)
    for c in big_cols:
        ms[rng.randrange(rows) * cols + c] = rng.choice(big)
    return ms


MM_CASES = [
    # M, K, N, rows of A at or above 1, columns of B at or above 1
    (1, 1, 1, (), ()),
    (5, 9, 13, (), ()),          # tiles of 4 x 8 with edges, all narrow
    (5, 9, 13, (0, 4), (3,)),    # the four combinations of narrow and general lines
    (6, 300, 3, (), ()),         # long narrow sums: the accumulator's top limb
    (3, 40, 9, (1,), (0, 8)),
    (4, 0, 3, (), ()),           # empty sums
]


@pytest.mark.parametrize("M,K,N,big_rows,big_cols", MM_CASES)
def test_host_mm_equals_the_kernel(M, K, N, big_rows, big_cols):
    rng = random.Random(M * 1000 + K * 10 + N)
    xa = matrix(rng, M, K, big_rows=big_rows) if K else []
    xb = matrix(rng, K, N, big_cols=big_cols) if K else []
    sa, pa = odd_fields(rng, xa)
    sb, pb = odd_fields(rng, xb)
    a = tensor_of(xa, (M, K), sa, pa) if K else zel.zeros(M, K)
    b = tensor_of(xb, (K, N), sb, pb) if K else zel.zeros(K, N)
    got = zel.mm(a, b)
    assert got.shape == (M, N)
    check_canonical(records(got))
    assert raw_bytes(got) == raw_bytes(kernel_mm(a, b, M, N, K))
    if M * N * K <= 5000:
        assert values(records(got)) == model_mm(values(records(a)), values(records(b)), M, K, N)


def test_narrow_products_all_at_the_largest_fraction():
    # (1 - ulp)^2 rounds below 1 - ulp; K of them sum to about K: the narrow
    # accumulator's integer limb carries, with both signs.
    K = 257
    for sg in (1, -1):
        a = tensor_of([S - 1] * K, (1, K))
        b = tensor_of([sg * (S - 1)] * (K * 2), (K, 2))
        term = model_mul(S - 1, S - 1)
        want = [sg * K * term] * 2
        got = zel.mm(a, b)
        assert values(records(got)) == want
        assert raw_bytes(got) == raw_bytes(kernel_mm(a, b, 1, 2, K))
    # one entry of exactly 1 moves the row to the general path: same sums
    a = tensor_of([S - 1] * (K - 1) + [S], (1, K))
    b = tensor_of([S - 1] * K, (K, 1))
    assert values(records(zel.mm(a, b))) == [(K - 1) * term + (S - 1)]


def test_bmm_takes_the_host_product_per_matrix():
    rng = random.Random(3)
    B, M, K, N = 3, 4, 7, 5
    xa = sum((matrix(rng, M, K, big_rows=(i,)) for i in range(B)), [])
    xb = sum((matrix(rng, K, N) for _ in range(B)), [])
    a, b = tensor_of(xa, (B, M, K)), tensor_of(xb, (B, K, N))
    got = records(zel.bmm(a, b))
    for i in range(B):
        ai = tensor_of(xa[i * M * K:(i + 1) * M * K])
        bi = tensor_of(xb[i * K * N:(i + 1) * K * N])
        assert got[i * M * N:(i + 1) * M * N].tobytes() == raw_bytes(kernel_mm(ai, bi, M, N, K))
