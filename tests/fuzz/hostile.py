"""Hostile argument builders for the fuzz harness.

Every fuzz case is a few lines of Python source evaluated against this
module's namespace, so a reproducer is that source plus
`from hostile import *` (with tests/fuzz on sys.path).  The builders keep
memory small: huge shapes come from empty tensors, zero strides or lies,
never from real allocations.
"""
import math  # noqa: F401  (used by generated sources)
from decimal import Decimal  # noqa: F401
from fractions import Fraction  # noqa: F401

import numpy as np
import korvid.zel as zel

REC = zel.FIXEDPOINT_DTYPE


# ---- containers that change while they are converted -------------------

def _clearer(target, how, base):
    """An element whose conversion hook empties (or shrinks, or refills) target."""
    def hit(_self=None):
        if how == "clear":
            target.clear()
        elif how == "pop":
            if target:
                target.pop()
        elif how == "grow":
            target.extend([0.5] * 1000)
        elif how == "replace":
            for i in range(len(target)):
                target[i] = "x"
        elif how == "shrink":
            del target[len(target) // 2:]
    if base is float:
        class E:
            def __float__(self):
                hit()
                return 2.0

            def __index__(self):
                hit()
                return 2
        return E()
    if base is int:
        class I(int):
            def __int__(self):
                hit()
                return 2

            def __index__(self):
                hit()
                return 2
        return I(2)
    if base is str:
        class S(str):
            def __str__(self):
                hit()
                return "2.5"
        return S("2.5")
    # "class": the type check itself runs code
    class C:
        @property
        def __class__(self):
            hit()
            return float
    return C()


def mutating_list(n, how="clear", base=float, pos=1, first=1.0):
    """[first, 1.5, 2.5, ...] of length n whose element at pos mutates the list on conversion."""
    L = [first] + [i + 0.5 for i in range(1, n)]
    if L:
        L[min(pos, len(L) - 1)] = _clearer(L, how, base)
    return L


def mutating_nested(rows, cols, how="clear", base="class"):
    """A rows x cols nested list; an element of the second row mutates the outer list."""
    L = [[float(i * cols + j) for j in range(cols)] for i in range(rows)]
    if rows > 1 and cols:
        L[1][0] = _clearer(L, how, base if base != "class" else "class")
    return L


def mutating_shape(shape, how="clear", pos=0):
    """A shape list whose entry at pos (an int subclass) mutates the list when read."""
    S = list(shape)
    if S:
        S[min(pos, len(S) - 1)] = _clearer(S, how, int)
    return S


def deep_list(depth, leaf=1.0, container=list):
    x = leaf
    for _ in range(depth):
        x = container([x])
    return x


class LyingLen(list):
    """A list subclass whose len() is a lie."""
    def __init__(self, items, n):
        super().__init__(items)
        self._n = n

    def __len__(self):
        return self._n


class BadFloat:
    """__float__ returns a non-float, raises, or a float subclass."""
    def __init__(self, v):
        self.v = v

    def given(self):
        """The value it was given, or that exception raised."""
        if isinstance(self.v, BaseException):
            raise self.v
        return self.v

    __float__ = given


class BadIndex(BadFloat):
    """Integer-like: __index__/__int__ return what it is given or raise."""
    __index__ = __int__ = BadFloat.given

    def __float__(self):
        v = self.given()
        return float(v) if isinstance(v, int) else v


class Swapper:
    """Int-, float- and str-like; reading it reassigns the tensor's _data (and
    _shape) under the operation that is holding that tensor."""
    def __init__(self, t, v=1, data=None, shape=None):
        self.t, self.v, self.data, self.shape = t, v, data, shape

    def _hit(self):
        self.t._data = np.zeros(1, REC) if self.data is None else self.data
        if self.shape is not None:
            self.t._shape = self.shape

    def __index__(self):
        self._hit()
        return int(self.v)

    __int__ = __index__

    def __float__(self):
        self._hit()
        return float(self.v)

    def __str__(self):
        self._hit()
        return str(self.v)


def reentering(n=3):
    """A list whose second element runs the module (and the collector) while it is converted."""
    class R:
        def __float__(self):
            import gc
            zel.tensor([1.0, 2.0, 3.0]).to_list()
            gc.collect()
            return 2.0
    L = [1.0] * n
    if n > 1:
        L[1] = R()
    return L


class FloatSub(float):
    pass


class IntSub(int):
    pass


class StrSub(str):
    pass


# ---- NumPy arrays that lie -----------------------------------------------

def lying(arr, **lies):
    """A view of arr as an ndarray subclass whose named attributes/methods lie.

    size=, shape=, ndim=, dtype=, nbytes=, itemsize=: attribute values;
    ravel=, astype=, reshape=, flatten=, copy=, tolist=, __len__=: the method returns that array/value.
    """
    ns = {}
    for k, v in lies.items():
        if k in ("ravel", "astype", "reshape", "flatten", "copy", "tolist", "__len__", "__array__"):
            ns[k] = (lambda v: lambda self, *a, **kw: v)(v)
        else:
            ns[k] = property((lambda v: lambda self: v)(v))
    cls = type("Lying", (np.ndarray,), ns)
    return np.asarray(arr).view(cls)


def odd_records(n, offset=1, fill=0):
    """A record array of n records starting at an address that is not 8-byte aligned."""
    buf = np.full(n * REC.itemsize + 8, fill, np.uint8)
    a = buf[offset:offset + n * REC.itemsize].view(REC)
    return a


def records(n, sign=1, limb=0):
    a = np.zeros(n, REC)
    if n:
        a["sign"] = sign
        a["limb4"] = limb
    return a


def readonly(a):
    a = np.array(a)
    a.flags.writeable = False
    return a


def strided_huge(shape, dtype=np.float64):
    """An array of a huge shape backed by one element (all strides zero)."""
    base = np.zeros(1, dtype)
    return np.lib.stride_tricks.as_strided(base, shape=shape, strides=(0,) * len(shape))


def noncontig(a, step=2):
    a = np.asarray(a)
    return np.repeat(a, step)[::step] if a.ndim == 1 else a.T


# ---- tensors with hand-made faults ---------------------------------------

def corrupt(t, shape=None, data=None):
    """t with _shape and/or _data assigned by hand."""
    if shape is not None:
        t._shape = shape
    if data is not None:
        t._data = data
    return t


def try_(f, *a, **k):
    """f(*a, **k), or None when it raises: builders that may be refused."""
    try:
        return f(*a, **k)
    except Exception:
        return None


__all__ = [n for n in dir() if not n.startswith("__")]
