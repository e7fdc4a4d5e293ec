"""A stand-in for CuPy that keeps device arrays in host memory.

It lets the test suite drive the module's cuda code path (device arrays,
transfers, RawModule/RawKernel launches) on a machine without a GPU: kernels
are the CPU builds of the same kernel bodies.  Only what the module uses is
provided.
"""
import ctypes
import os
import types

import numpy as _np

__version__ = "0.0-fake"


class _Flags:
    def __init__(self, a):
        self.c_contiguous = a.flags.c_contiguous


class MemoryPointer:
    def __init__(self, arr, offset=0):
        self._arr = arr  # keeps the buffer alive
        self.ptr = arr.ctypes.data + offset if arr.size else 0

    def __add__(self, off):
        mp = MemoryPointer(self._arr)
        mp.ptr = self.ptr + int(off)
        return mp

    def copy_to_host(self, dst, nbytes):
        ctypes.memmove(int(dst), self.ptr, int(nbytes))

    def copy_from_host(self, src, nbytes):
        ctypes.memmove(self.ptr, int(src), int(nbytes))

    def copy_from_device(self, src, nbytes):
        ctypes.memmove(self.ptr, src.ptr, int(nbytes))


class ndarray:
    def __init__(self, host):
        self._a = host

    dtype = property(lambda self: self._a.dtype)
    ndim = property(lambda self: self._a.ndim)
    size = property(lambda self: self._a.size)
    shape = property(lambda self: self._a.shape)
    nbytes = property(lambda self: self._a.nbytes)
    flags = property(lambda self: _Flags(self._a))
    data = property(lambda self: MemoryPointer(self._a))

    def __len__(self):
        if self._a.ndim == 0:
            raise TypeError("len() of unsized object")
        return len(self._a)

    def __getitem__(self, k):
        r = self._a[k]
        return ndarray(r if isinstance(r, _np.ndarray) else _np.array(r))

    def __setitem__(self, k, v):
        self._a[k] = v._a if isinstance(v, ndarray) else v

    def get(self):
        return self._a.copy()

    def tobytes(self):
        return self._a.tobytes()

    def __iter__(self):
        return (self[i] for i in range(len(self)))

    def __bool__(self):
        return bool(self._a)

    def __int__(self):
        return int(self._a)

    __index__ = __int__

    def __float__(self):
        return float(self._a)

    def astype(self, dt):
        return ndarray(self._a.astype(dt))

    def ravel(self):
        return ndarray(self._a.ravel())

    def reshape(self, *s):
        return ndarray(self._a.reshape(*s))

    def tolist(self):
        return self._a.tolist()

    def __repr__(self):
        return f"fakecupy.ndarray({self._a!r})"

    def _op(name):
        def f(self, other):
            return ndarray(getattr(self._a, name)(_host(other)))
        return f

    for _n in ("__eq__", "__ne__", "__lt__", "__le__", "__gt__", "__ge__", "__add__", "__sub__", "__mul__",
               "__and__", "__or__", "__xor__"):
        locals()[_n] = _op(_n)
    del _n, _op
    __hash__ = None


def _host(x):
    return x._a if isinstance(x, ndarray) else x


def empty(n, dtype=float):
    return ndarray(_np.empty(n, dtype=dtype))


def zeros(n, dtype=float):
    return ndarray(_np.zeros(n, dtype=dtype))


def asarray(x, dtype=None):
    return ndarray(_np.ascontiguousarray(_host(x), dtype=dtype))


array = asarray


def ascontiguousarray(x, dtype=None):
    return ndarray(_np.ascontiguousarray(_host(x), dtype=dtype))


def asnumpy(x):
    return _host(x).copy()


def concatenate(parts):
    return ndarray(_np.concatenate([_host(p) for p in parts]))


def cumsum(x):
    return ndarray(_np.cumsum(_host(x)))


for _name in ("logical_and", "logical_or", "logical_xor"):
    globals()[_name] = (lambda f: lambda a, b: ndarray(f(_host(a), _host(b))))(getattr(_np, _name))


def logical_not(a):
    return ndarray(_np.logical_not(_host(a)))


class _Device:
    def __init__(self, i=0):
        self.id = i

    def synchronize(self):
        pass


class RawKernel:
    def __init__(self, name):
        import korvid.zel.cuda.cubin_loader as loader
        self._k = loader._host_kernel(name)

    def __call__(self, grid, block, args):
        for a in args:
            if not isinstance(a, (ndarray, _np.integer, _np.floating, int, float)):
                raise TypeError(f"Unsupported type {type(a)}")
        self._k(grid, block, args)


class RawModule:
    def __init__(self, path=None, **kw):
        if not os.path.exists(path):
            raise FileNotFoundError(path)
        self.path = path

    def get_function(self, name):
        return RawKernel(name)


cuda = types.SimpleNamespace(
    Device=_Device,
    runtime=types.SimpleNamespace(getDeviceCount=lambda: 1),
)
