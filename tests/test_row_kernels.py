"""Row-wise kernels split into chunks: any chunk length and block size gives
the bits of one thread per row; concatenation along inner dimensions."""
import numpy as np
import pytest

import korvid.zel as zel
from zelmodel import MAXM, S, from_raw, from_scaled, hard_scaled, records, sat, scaled

LENGTHS = (1, 2, 31, 32, 33, 1000)


def i32_from(values):
    h = np.array(values, dtype=np.int32)
    return zel.cp.asarray(h) if zel.BACKEND == "cuda" else h


def i32_array(n, fill=0):
    return i32_from([fill] * n)


def host(a):
    return a.get() if hasattr(a, "get") else np.asarray(a)


def launch(name, threads, *args, block=128):
    k = zel._get_kernel(name)
    conv = tuple(np.int32(a) if isinstance(a, int) else a for a in args)
    k(((threads + block - 1) // block,), (block,), conv)


def chunked_cumsum(t, rows, cols, chunk, block):
    nch = -(-cols // chunk)
    part = zel.zeros(2 * rows * nch)._data
    out = zel.zeros(rows * cols)._data
    launch("fp_cumsum_partial_kernel", rows * nch, t._data, part, rows, cols, chunk, block=block)
    launch("fp_cumsum_carry_kernel", rows, part, rows, nch, block=block)
    launch("fp_cumsum_chunk_kernel", rows * nch, t._data, part, out, rows, cols, chunk, block=block)
    return host(out).tobytes()


def chunked_arg(t, rows, cols, chunk, want, block):
    nch = -(-cols // chunk)
    cand = i32_array(rows * nch)
    out = i32_array(rows, -9)
    launch("fp_arg_extreme_partial_kernel", rows * nch, t._data, cand, rows, cols, chunk, want, block=block)
    left = nch
    while left > 1:
        h = (left + 1) // 2
        dst, step = (out, 1) if h == 1 else (cand, nch)
        launch("fp_arg_extreme_combine_kernel", rows * h, t._data, cand, dst, rows, cols, left, nch, step, want,
               block=block)
        left = h
    if nch == 1:
        return host(cand).tolist()
    return host(out).tolist()


def hard_rows(rows, cols, seed):
    """Rows of hard magnitudes, so running sums pass MAX and come back."""
    rng = np.random.default_rng(seed)
    pool = hard_scaled()
    return [pool[i] for i in rng.integers(0, len(pool), rows * cols)]


@pytest.mark.parametrize("cols", LENGTHS)
def test_cumsum_same_bits_for_any_chunk_and_block(cols):
    rows = 3
    ms = hard_rows(rows, cols, cols)
    t = from_scaled(ms, (rows, cols))
    one = zel.zeros(rows * cols)._data
    launch("fp_cumsum_kernel", rows, t._data, one, rows, cols)
    want = host(one).tobytes()
    for chunk in sorted({1, 2, 7, 32, 33, cols}):
        for block in (1, 32, 256):
            assert chunked_cumsum(t, rows, cols, chunk, block) == want, (chunk, block)
    model = []
    for r in range(rows):
        acc = 0
        for m in ms[r * cols:(r + 1) * cols]:
            acc += m
            model.append(sat(acc))
    assert scaled(zel.cumsum(t)) == model


@pytest.mark.parametrize("cols", LENGTHS)
def test_arg_extreme_first_index_for_any_chunk(cols):
    rng = np.random.default_rng(cols)
    rows = 4
    x = rng.integers(-2, 3, size=(rows, cols))  # many ties
    t = from_scaled([int(v) * S for v in x.ravel()], (rows, cols))
    for want, ref in ((1, np.argmax(x, axis=1)), (-1, np.argmin(x, axis=1))):
        for chunk in sorted({1, 2, 3, 32, 33, cols}):
            for block in (1, 64):
                assert chunked_arg(t, rows, cols, chunk, want, block) == ref.tolist(), (want, chunk, block)
    assert list(zel.argmax(t)) == np.argmax(x, axis=1).tolist()
    assert list(zel.argmin(t)) == np.argmin(x, axis=1).tolist()


@pytest.mark.parametrize("cols", LENGTHS)
def test_softmax_same_bits_for_any_chunk(cols):
    rows = 2
    rng = np.random.default_rng(cols + 1)
    t = zel.Tensor(rng.normal(scale=20.0, size=(rows, cols))) / 3
    one = zel.zeros(rows * cols)._data
    launch("fp_softmax_kernel", rows, t._data, one, rows, cols)
    want = host(one).tobytes()
    for chunk in sorted({1, 5, 32, cols}):
        nch = -(-cols // chunk)
        best = i32_from(np.argmax(np.array(t.to_list()), axis=1))
        part = zel.zeros(rows * nch)._data
        out = zel.zeros(rows * cols)._data
        launch("fp_softmax_exp_kernel", rows * nch, t._data, best, out, part, rows, cols, chunk, block=32)
        launch("fp_softmax_sum_kernel", rows, part, rows, nch, block=32)
        launch("fp_softmax_div_kernel", rows * cols, part, out, rows, cols, nch, block=32)
        assert host(out).tobytes() == want, chunk
    assert records(zel.softmax(t)).tobytes() == want


def test_arg_extreme_tie_across_tree_branches():
    # chunks {0,1} {2,3} {4,5}: the first halving pairs chunk 0 with chunk 2,
    # so the tie between indices 1 and 5 is settled by index, not position.
    t = from_scaled([0, 9 * S, 0, 0, 0, 9 * S], (1, 6))
    assert chunked_arg(t, 1, 6, 2, 1, 32) == [1]
    # zeros with every sign field are equal: the first index wins both ways
    z = from_raw([(0, 0), (-1, 0), (1, 0), (-5, 0), (7, 0)] * 7, (1, 35))
    for chunk in (1, 2, 4, 35):
        assert chunked_arg(z, 1, 35, chunk, 1, 32) == [0]
        assert chunked_arg(z, 1, 35, chunk, -1, 32) == [0]


def test_combine_ignores_indices_outside_the_row():
    t = from_scaled([3 * S, 1 * S, 5 * S, 0], (1, 4))
    cand = i32_from([-7, 2, 4, 2**31 - 1])
    out = i32_array(2, -9)
    launch("fp_arg_extreme_combine_kernel", 2, t._data, cand, out, 1, 4, 4, 4, 1, 1)
    assert host(out).tolist() == [-1, 2]  # (-7 | 4): none valid; (2 | 2**31-1): 2


def test_raw_launch_bounds_are_checked():
    t = from_scaled([1, 2, 3, 4, 5, 6], (2, 3))
    small = zel.zeros(3)._data
    with pytest.raises(ValueError):
        launch("fp_cumsum_partial_kernel", 4, t._data, small, 2, 3, 2)  # needs 2 * 2 * 2 records
    with pytest.raises(ValueError):
        launch("fp_cumsum_partial_kernel", 4, t._data, zel.zeros(8)._data, 2, 3, 0)  # chunk 0
    with pytest.raises(ValueError):
        launch("fp_cumsum_carry_kernel", 2, small, 2, 2)
    with pytest.raises(ValueError):
        launch("fp_arg_extreme_partial_kernel", 4, t._data, i32_array(4), 2, 3, 2, 0)  # want 0
    with pytest.raises(ValueError):
        launch("fp_arg_extreme_combine_kernel", 2, t._data, i32_array(3), i32_array(2), 2, 3, 2, 2, 1, 1)
    with pytest.raises(ValueError):
        launch("fp_cat_part_kernel", 6, t._data, zel.zeros(8)._data, 2, 3, 6, 0)  # needs 9
    with pytest.raises(ValueError):
        launch("fp_cat_part_kernel", 6, t._data, zel.zeros(12)._data, 2, 3, 6, 4)  # offset + chunk > row


@pytest.mark.parametrize("shape", [(1, 10**5), (3, 20000)])
def test_long_rows(shape):
    rng = np.random.default_rng(5)
    x = rng.integers(-3, 4, size=shape)
    t = zel.Tensor(x.astype(float))
    assert zel.cumsum(t).to_list() == np.cumsum(x, axis=1).tolist()
    assert list(zel.argmax(t)) == np.argmax(x, axis=1).tolist()
    assert list(zel.argmin(t)) == np.argmin(x, axis=1).tolist()
    # exact running sums of full-fraction values, checked at the row ends
    f = zel.Tensor(rng.normal(scale=1e3, size=shape)) / 3
    ms = scaled(f)
    sums = [sum(ms[i * shape[1]:(i + 1) * shape[1]]) for i in range(shape[0])]
    last = scaled(zel.cumsum(f))[shape[1] - 1::shape[1]]
    assert last == [sat(s) for s in sums]


def test_cat_inner_dims_keeps_records():
    # many groups, operands of different widths, raw (non-canonical) records kept
    a = from_raw([(-3 if i % 5 == 0 else 1, i) for i in range(300 * 2)], (300, 2))
    b = from_scaled(list(range(300 * 5)), (300, 5))
    r = zel.cat([a, b, a], 1)
    ra, rb, rr = records(a).reshape(300, 2), records(b).reshape(300, 5), records(r).reshape(300, 9)
    assert r.shape == (300, 9)
    assert rr.tobytes() == np.concatenate([ra, rb, ra], axis=1).tobytes()
    c = zel.cat([from_scaled(list(range(24)), (2, 3, 4)), from_scaled([MAXM] * 6, (2, 3, 1))], -1)
    want = np.concatenate([np.arange(24).reshape(2, 3, 4), np.full((2, 3, 1), -1)], axis=-1).ravel()
    got = scaled(c)
    assert [g if w >= 0 else -1 for g, w in zip(got, want)] == want.tolist()
    assert all(g == MAXM for g, w in zip(got, want) if w < 0)
