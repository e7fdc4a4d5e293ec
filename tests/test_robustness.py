"""No input, however malformed, crashes the interpreter.

Every module function, Tensor member, operator and raw kernel is called with
malformed arguments (wrong types, None, corrupt tensors whose _shape or _data
were assigned by hand, empty and zero-dimensional tensors) in a child
process; exceptions are expected, a crash fails the test.
"""
import os
import subprocess
import sys

SCRIPT = r'''
import itertools
import numpy as np
import korvid.zel as zel
import korvid.zel.cuda.cubin_loader as loader

def corrupt(shape, n=4):
    t = zel.tensor(list(range(n)))
    t._shape = shape
    return t

def bad_data():
    t = zel.tensor([1, 2])
    t._data = np.zeros(2)
    return t

samples = [None, 0, -1, 2**40, 1.5, float("nan"), "x", [], [1, 2], (1, 2), np.zeros(3),
           zel.tensor([]), zel.tensor(5), zel.tensor([1.5, -2]), zel.tensor([[1, 2], [3, 4]]), zel.zeros(1, 2, 3, 4),
           corrupt((100,)), corrupt((2, 50)), corrupt(()), corrupt((3, 3, 3)), corrupt((-1, 4)), corrupt("ab"),
           bad_data(), zel.eq(zel.tensor([1, 2]), zel.tensor([1, 3])), zel.zeros(0, 3)]
skip = {"Tensor", "np", "Fraction", "Decimal", "getcontext", "Union", "List", "Tuple", "Optional", "RawModule",
        "_abs", "_min", "_max", "_sum", "_pow", "_round", "_builtins", "hashlib", "struct", "cp"}
names = [n for n in dir(zel.zel) if not n.startswith("__") and n not in skip and callable(getattr(zel.zel, n))]

def attempt(f, *args):
    try:
        f(*args)
    except Exception:
        pass

for name in names:
    f = getattr(zel.zel, name)
    attempt(f)
    for a in samples:
        attempt(f, a)
    for a, b in itertools.product(samples, repeat=2):
        attempt(f, a, b)
    for a, b, c in itertools.product(samples[10:], samples[:6], samples[10:16]):
        attempt(f, a, b, c)
for a, b in itertools.product(samples, repeat=2):
    attempt(zel.Tensor, a, b)
    attempt(lambda: zel.Tensor(_raw=a, shape=b))
    attempt(zel.Tensor._unflatten, a, b)
for t in [s for s in samples if isinstance(s, zel.Tensor)]:
    for m in ("to_list", "item", "clone", "__repr__", "sum", "mean", "max", "min", "__neg__"):
        attempt(getattr(t, m))
    attempt(lambda: t.T)
    for m in ("__reduce__", "__copy__", "__array__"):
        attempt(getattr(t, m))
    attempt(t.__deepcopy__, {})
    for fmt in ("", ".3f", ".300e", "g", "x", "%", "\xff<9.2f", "99999999999.1f"):
        attempt(format, t, fmt)
    for o in samples:
        attempt(t.__array__, o)
        attempt(t.__setstate__, o)
        attempt(lambda: zel.Tensor.__new__(zel.Tensor).__setstate__(o))
        attempt(lambda: zel.Tensor.__new__(zel.Tensor).__setstate__((1, o, b"")))
    for o in samples:
        for op in ("__add__", "__radd__", "__sub__", "__rsub__", "__mul__", "__rtruediv__", "__matmul__", "__pow__"):
            attempt(getattr(t, op), o)
# Complex tensors whose parts were corrupted or replaced by hand.
def ccorrupt(shape):
    z = zel.ComplexTensor([1, 2, 3, 4], [5, 6, 7, 8])
    z.real._shape = shape
    return z

def creplaced(part):
    z = zel.ComplexTensor([1, 2])
    z._imag = part
    return z

csamples = [zel.ComplexTensor(1), zel.complex_zeros(0), zel.complex_eye(2), zel.ComplexTensor([1.5, 2], [3, -4]),
            ccorrupt((100,)), ccorrupt((2, 50)), ccorrupt(()), creplaced(5), creplaced(bad_data()),
            creplaced(corrupt((7,)))]
for z in csamples:
    for m in ("to_list", "__repr__", "__str__", "__neg__", "__abs__", "abs2", "conj", "T", "H"):
        attempt(getattr(z, m))
    for o in samples + csamples:
        for op in ("__add__", "__radd__", "__sub__", "__rsub__", "__mul__", "__rmul__", "__truediv__"):
            attempt(getattr(z, op), o)
        for f in (zel.cmm, zel.cmv):
            attempt(f, z, o)
            attempt(f, o, z)
    for f in (zel.csum, zel.cabs, zel.conj, zel.rotation_x, zel.phase_gate):
        attempt(f, z)
on_device = (lambda a: zel.cp.asarray(a)) if zel.BACKEND == "cuda" else (lambda a: a)
rec = lambda n: zel.to_gpu([0] * n)
# Raw launches: the kernels check their arguments on both backends.
for name in loader.get_module().kernel_names:
    k = zel._get_kernel(name)
    for args in [(), (rec(3),) * 3 + (np.int32(2),), (rec(4),) * 3 + (np.int32(2),) * 11,
                 (rec(3), rec(3), np.int32(3)), (on_device(np.zeros(3)), rec(3), np.int32(3)), (rec(9), np.int32(3)),
                 (rec(9), rec(9), np.int32(3), np.int32(3)),
                 (rec(9), on_device(np.zeros(9, np.int32)), np.int32(3), np.int32(3)),
                 (rec(2), rec(2), rec(2), np.int32(2**31 - 1)), (rec(1),) * 4 + (np.int32(-5),) * 3]:
        for grid in [(1,), (2, 2), (0,), (1, 1, 1), (-1,)]:
            attempt(k, grid, (256,), args)
print("survived", len(names))
'''


def test_malformed_inputs_never_crash():
    r = subprocess.run([sys.executable, "-P", "-c", SCRIPT], capture_output=True, text=True, timeout=900,
                       env=dict(os.environ, OMP_NUM_THREADS="2"))
    assert r.returncode == 0, f"interpreter died (rc {r.returncode}):\n{r.stderr[-3000:]}"
    assert "survived" in r.stdout
