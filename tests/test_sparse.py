"""CSR sparse tensor: from_dense, from_scipy, sparse_mv, malformed arrays."""
import random
import types

import numpy as np
import pytest

import korvid.zel as zel
from fastrec import hard_operands, structured_list, tensor_of, values, check_canonical
from zelmodel import S, records, device_array, from_raw


def host_i32(a):
    return (a.get() if hasattr(a, "get") else np.asarray(a)).tolist()


def i32(xs):
    return device_array(np.array(xs, dtype=np.int32))


def test_from_dense_example_and_repr():
    sp = zel.SparseTensor.from_dense(zel.tensor([[1, 0, 2], [0, 0, 0], [0, 3, 0]]))
    assert host_i32(sp._row_ptrs) == [0, 2, 2, 3]
    assert host_i32(sp._col_indices) == [0, 2, 1]
    assert zel.from_gpu(sp._values) == [1.0, 2.0, 3.0]
    assert sp.nnz == 3 and sp._nnz == 3 and sp.shape == (3, 3)
    assert repr(sp) == "SparseTensor(shape=(3, 3), nnz=3)"
    assert zel.sparse_mv(sp, zel.tensor([1, 1, 1])).to_list() == [3.0, 0.0, 3.0]
    with pytest.raises(ValueError, match=r"^Dimension mismatch: A is \(3, 3\), x has 4 elements$"):
        zel.sparse_mv(sp, zel.tensor([1, 1, 1, 1]))


def test_empty_and_degenerate():
    sp = zel.SparseTensor.from_dense(zel.zeros(3, 4))
    assert sp.nnz == 0 and len(sp._values) == 0 and len(sp._col_indices) == 0
    assert host_i32(sp._row_ptrs) == [0, 0, 0, 0]
    assert zel.sparse_mv(sp, zel.ones(4)).to_list() == [0.0, 0.0, 0.0]
    sp0 = zel.SparseTensor.from_dense(zel.zeros(0, 5))
    assert sp0.shape == (0, 5) and host_i32(sp0._row_ptrs) == [0]
    assert zel.sparse_mv(sp0, zel.ones(5)).shape == (0,)
    with pytest.raises(ValueError, match="^SparseTensor requires 2D input$"):
        zel.SparseTensor.from_dense(zel.tensor([1, 2]))
    e = zel.SparseTensor()
    assert e.nnz == 0 and e.shape is None and repr(e) == "SparseTensor(shape=None, nnz=0)"
    with pytest.raises(AttributeError):
        e.extra = 1  # exactly the five fields


def test_negative_zero_is_not_stored():
    m = from_raw([(-1, 0), (1, 5), (0, 0), (-1, 7), (3, 0), (-2, 9)], shape=(2, 3))
    sp = zel.SparseTensor.from_dense(m)
    assert host_i32(sp._row_ptrs) == [0, 1, 3] and host_i32(sp._col_indices) == [1, 0, 2]
    arr = records(zel.Tensor(_raw=sp._values))
    check_canonical(arr)
    assert values(arr) == [5, -7, -9]


@pytest.mark.parametrize("seed", [1, 2, 3])
def test_sparse_product_equals_dense_product(seed):
    rng = random.Random(seed)
    rows, cols = rng.randint(1, 40), rng.randint(1, 40)
    ops = hard_operands()[0] + structured_list(seed, 64)
    mags = [rng.choice(ops) if rng.random() < 0.3 else 0 for _ in range(rows * cols)]
    signs = [rng.choice([1, -1, 0]) if m == 0 else (-1 if m < 0 else 1) for m in mags]
    A = tensor_of(mags, shape=(rows, cols), signs=signs)
    x = tensor_of([rng.choice(ops) for _ in range(cols)])
    sp = zel.SparseTensor.from_dense(A)
    assert sp.nnz == sum(1 for m in mags if m != 0)
    got, want = records(zel.sparse_mv(sp, x)), records(zel.mv(A, x))
    assert got.tobytes() == want.tobytes()


def test_large_matrix_parallel_paths():
    rng = np.random.default_rng(5)
    dense = rng.normal(size=(300, 257)) * (rng.random((300, 257)) < 0.05)
    A = zel.Tensor(dense)
    x = zel.Tensor(rng.normal(size=257))
    sp = zel.SparseTensor.from_dense(A)
    assert sp.nnz == int(np.count_nonzero(dense))
    assert records(zel.sparse_mv(sp, x)).tobytes() == records(zel.mv(A, x)).tobytes()


def fake_csr(shape, data, indices, indptr):
    return types.SimpleNamespace(shape=shape, data=np.asarray(data), indices=np.asarray(indices),
                                 indptr=np.asarray(indptr))


def test_from_scipy():
    csr = fake_csr((2, 3), [1.5, -2.0, 0.1], np.array([0, 2, 1], np.int64), np.array([0, 2, 3], np.int64))
    sp = zel.SparseTensor.from_scipy(csr)
    assert sp.shape == (2, 3) and sp.nnz == 3
    assert host_i32(sp._col_indices) == [0, 2, 1] and host_i32(sp._row_ptrs) == [0, 2, 3]
    # Doubles arrive exactly (0.1 as the double it is).
    assert zel.from_gpu(sp._values, as_float=False) == [1.5, -2, __import__("fractions").Fraction(0.1)]
    assert zel.sparse_mv(sp, zel.tensor([1, 1, 1])).to_list() == [-0.5, 0.1]
    empty = zel.SparseTensor.from_scipy(fake_csr((3, 2), np.zeros(0), np.zeros(0, int), [0, 0, 0, 0]))
    assert empty.nnz == 0 and zel.sparse_mv(empty, zel.ones(2)).to_list() == [0.0, 0.0, 0.0]
    with pytest.raises(AttributeError):
        zel.SparseTensor.from_scipy(object())


def test_malformed_csr_arrays_are_refused():
    rec = lambda n: device_array(np.zeros(n, zel.FIXEDPOINT_DTYPE))
    x = zel.ones(3)
    good = dict(values=rec(2), col_indices=i32([0, 2]), row_ptrs=i32([0, 1, 2]), shape=(2, 3))
    assert zel.sparse_mv(zel.SparseTensor(**good), x).to_list() == [0.0, 0.0]
    bad = [
        dict(row_ptrs=i32([0, 1])),                       # too short
        dict(row_ptrs=i32([0, 1, 2, 2])),                 # too long
        dict(row_ptrs=i32([1, 1, 2])),                    # not from 0
        dict(row_ptrs=i32([0, 2, 1])),                    # decreasing
        dict(row_ptrs=i32([0, 1, 1])),                    # not up to nnz
        dict(row_ptrs=i32([0, 1, 200])),                  # past the arrays
        dict(row_ptrs=i32([0, -1, 2])),
        dict(col_indices=i32([0, 3])),                    # column past cols
        dict(col_indices=i32([-1, 0])),
        dict(col_indices=i32([0])),                       # fewer columns than values
        dict(col_indices=i32([0, 1, 2])),
        dict(values=rec(3)),
        dict(values=device_array(np.zeros(2))),           # not records
        dict(values=[1, 2]),
        dict(col_indices=device_array(np.array([0, 2], np.int64))),
        dict(row_ptrs=None),
    ]
    for change in bad:
        with pytest.raises(ValueError):
            zel.sparse_mv(zel.SparseTensor(**{**good, **change}), x)
    for shape in [None, (2,), (2, 3, 1), "ab"]:
        with pytest.raises((TypeError, ValueError)):
            zel.sparse_mv(zel.SparseTensor(**{**good, "shape": shape}), x)
    with pytest.raises(ValueError):
        zel.sparse_mv(zel.SparseTensor(**{**good, "shape": (-2, 3)}), x)
    with pytest.raises((TypeError, ValueError, AttributeError)):
        zel.sparse_mv(zel.SparseTensor(), x)


def test_raw_kernel_launches_check_the_row_pointers():
    rec = lambda n: device_array(np.zeros(n, zel.FIXEDPOINT_DTYPE))
    spmv = zel._get_kernel("fp_spmv_kernel")
    ext = zel._get_kernel("fp_dense_to_csr_extract_kernel")
    cnt = zel._get_kernel("fp_dense_to_csr_count_kernel")
    out = rec(2)
    spmv((1,), (256,), (rec(2), i32([0, 1]), i32([0, 1, 2]), rec(2), out, np.int32(2)))
    for rp, ci in [([0, 1, 5], [0, 1]), ([0, -4, 2], [0, 1]), ([0, 1, 2], [0, 9]), ([0, 1], [0, 1])]:
        with pytest.raises(ValueError):
            spmv((1,), (256,), (rec(2), i32(ci), i32(rp), rec(2), rec(2), np.int32(2)))
    with pytest.raises(ValueError):
        ext((1,), (256,), (rec(4), rec(1), i32([0]), i32([0, 3, 4]), np.int32(2), np.int32(2)))
    with pytest.raises(ValueError):
        cnt((1,), (256,), (rec(3), i32([0, 0]), np.int32(2), np.int32(2)))
    counts = i32([7, 7])
    cnt((1,), (256,), (tensor_of([0, S, 0, -S], (2, 2))._data, counts, np.int32(2), np.int32(2)))
    assert host_i32(counts) == [1, 1]
