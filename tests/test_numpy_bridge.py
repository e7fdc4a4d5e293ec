"""NumPy patching: the wrappers, the printed lines, restoration, and the
module working while the patch is in force."""
import json
import os
import subprocess
import sys

import numpy as np
import pytest

import korvid.zel as zel
from zelmodel import records

HERE = os.path.dirname(os.path.abspath(__file__))
NAMES = ["add", "subtract", "multiply", "divide", "negative", "absolute", "sign", "power", "mod", "sum", "prod",
         "max", "min", "mean", "std", "var", "dot", "matmul", "exp", "log", "sqrt", "sin", "cos", "tan"]
ORIGINALS = {n: getattr(np, n) for n in NAMES}


@pytest.fixture
def patched(capsys):
    zel.patch_numpy()
    capsys.readouterr()
    try:
        yield
    finally:
        zel.unpatch_numpy()
        capsys.readouterr()
        assert all(getattr(np, n) is f for n, f in ORIGINALS.items())


def test_table():
    table = zel._NUMPY_TO_ZEL
    assert list(table) == NAMES
    zel_names = ["add", "sub", "mul", "div", "neg", "abs", "sign", "pow", "mod", "sum", "prod", "max", "min", "mean",
                 "std", "var", "dot", "matmul", "exp", "log", "sqrt", "sin", "cos", "tan"]
    assert [table[n] for n in NAMES] == [getattr(zel.zel, n) for n in zel_names]
    assert zel._numpy_patched is False and zel._numpy_originals == {}


def test_printed_lines_state_and_restoration(capsys):
    zel.unpatch_numpy()  # not patched: nothing happens
    assert capsys.readouterr().out == ""
    try:
        zel.patch_numpy()
        zel.patch_numpy()
        assert capsys.readouterr().out == "ZEL: Patched 24 numpy functions with exact arithmetic\n"
        assert zel._numpy_patched is True and zel.zel._numpy_patched is True
        assert set(zel._numpy_originals) == set(NAMES)
        assert all(zel._numpy_originals[n] is ORIGINALS[n] for n in NAMES)
        assert all(getattr(np, n) is not ORIGINALS[n] for n in NAMES)
    finally:
        zel.unpatch_numpy()
        zel.unpatch_numpy()
    assert capsys.readouterr().out == "ZEL: Restored original numpy functions\n"
    assert all(getattr(np, n) is ORIGINALS[n] for n in NAMES)
    assert zel._numpy_patched is False and zel._numpy_originals == {}


def test_patched_calls(patched):
    r = np.sum([1e-16, 1, -1])
    assert type(r) is float and r == 1e-16
    a = np.add(np.array([1.0, 2.0]), np.array([3.0, 4.0]))
    assert isinstance(a, np.ndarray) and a.tolist() == [4.0, 6.0]
    assert np.sum(np.ones((2, 2)), axis=0) == 4.0  # the keyword is ignored
    s = np.sqrt([4.0])
    assert type(s) is float and s == 2.0
    m = np.matmul(np.array([[1, 2], [3, 4]]), np.array([[5, 6], [7, 8]]))
    assert m.tolist() == [[19.0, 22.0], [43.0, 50.0]]
    assert type(np.max((3, 9, -2))) is float and np.max((3, 9, -2)) == 9.0
    with pytest.raises(AttributeError):
        np.add([1, 2], 3)  # 3 reaches add unchanged, and add takes tensors
    t = zel.tensor([1, 2, 3])
    assert np.negative(t).tolist() == [-1.0, -2.0, -3.0]


def test_make_numpy_wrapper():
    w = zel._make_numpy_wrapper(zel.neg)
    out = w(np.array([1.5, -2.0]), ignored=1)
    assert isinstance(out, np.ndarray) and out.tolist() == [-1.5, 2.0]
    assert zel._make_numpy_wrapper(zel.sum, True)([[1, 2], [3, 4]]) == 10.0
    assert zel._make_numpy_wrapper(zel.mean, 1)(np.array([2.0, 4.0])) == 3.0
    # A result that is not a tensor comes back unchanged (comparison masks).
    mask = zel._make_numpy_wrapper(zel.lt)([1, 5], [2, 2])
    assert not isinstance(mask, (float, zel.Tensor))
    assert zel._make_numpy_wrapper(lambda *a: a)(1, None, "x") == (1, None, "x")


def test_module_works_while_patched(patched):
    # Draws, checksums and sparse products give the same records patched.
    assert np.sum is not ORIGINALS["sum"]
    zel.manual_seed(9)
    a = zel.randn(20, 20)
    c = zel.checksum(a)
    sp = zel.SparseTensor.from_dense(zel.relu(a))
    y = zel.sparse_mv(sp, zel.rand(20))
    zel.unpatch_numpy()
    try:
        zel.manual_seed(9)
        a2 = zel.randn(20, 20)
        assert zel.checksum(a2) == c
        sp2 = zel.SparseTensor.from_dense(zel.relu(a2))
        assert records(zel.sparse_mv(sp2, zel.rand(20))).tobytes() == records(y).tobytes()
    finally:
        zel.patch_numpy()


def _battery(patch):
    # numpy.random is imported first: its own initialisation calls numpy
    # functions that the patch replaces for every caller in the process.
    code = ("import numpy.random, korvid.zel as z, runpy, sys; " + ("z.patch_numpy(); " if patch else "") +
            f"sys.argv = ['parity.py']; runpy.run_path({os.path.join(HERE, 'parity.py')!r}, run_name='__main__')")
    r = subprocess.run([sys.executable, "-P", "-c", code], capture_output=True, text=True, timeout=600,
                       env=dict(os.environ, OMP_NUM_THREADS="2"))
    assert r.returncode == 0, r.stderr[-3000:]
    out = r.stdout
    if patch:
        first, out = out.split("\n", 1)
        assert first == "ZEL: Patched 24 numpy functions with exact arithmetic"
    return json.loads(out)


def test_every_subsystem_gives_the_same_bits_while_patched():
    plain, patched_run = _battery(False), _battery(True)
    assert patched_run == plain
    assert not [k for k, v in plain.items() if str(v).startswith("error")]
