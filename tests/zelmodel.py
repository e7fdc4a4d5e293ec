"""Python-integer model of the record format, shared by the test suites.

A value is carried as its signed scaled integer m = value * 2**256; a record
holds |m| < 2**512.  Everything here is exact integer arithmetic.
"""
from fractions import Fraction

import numpy as np

try:  # the parity battery also runs where hypothesis is not installed
    from hypothesis import strategies as st
except ImportError:
    st = None

import korvid.zel as zel

S = 2**256
MAXM = 2**512 - 1
ULP = Fraction(1, S)


def sat(m: int) -> int:
    """Saturate a scaled integer to the format's range."""
    return max(-MAXM, min(MAXM, m))


def rne_div(n: int, d: int) -> int:
    """n / d rounded to nearest, ties to even (d != 0), sign-aware."""
    neg = (n < 0) != (d < 0)
    q, r = divmod(abs(n), abs(d))
    if 2 * r > abs(d) or (2 * r == abs(d) and q & 1):
        q += 1
    return -q if neg else q


def model_mul(a: int, b: int) -> int:
    return sat(rne_div(a * b, S))


def model_div(a: int, b: int) -> int:
    if a == 0:
        return 0
    if b == 0:
        return MAXM if a > 0 else -MAXM
    return sat(rne_div(a * S, b))


def scaled(t) -> list:
    """Signed scaled integers of every record of a tensor (exact)."""
    return [int(f * S) for f in zel.from_gpu(t._data, as_float=False)]


def records(t):
    """Host copy of a tensor's raw records (numpy structured array)."""
    d = t._data
    return d.get() if hasattr(d, "get") else np.array(d, copy=True)


def raw_array(pairs):
    """Host record array from (sign, magnitude) pairs, any sign field value."""
    arr = np.zeros(len(pairs), dtype=zel.FIXEDPOINT_DTYPE)
    for i, (sign, mag) in enumerate(pairs):
        arr[i]["sign"] = sign
        for k in range(8):
            arr[i][f"limb{k}"] = (mag >> (64 * k)) & (2**64 - 1)
    return arr


def shares_memory(a, b):
    """Whether two arrays of the active backend overlap (device arrays by address range)."""
    if zel.BACKEND != "cuda":
        return np.shares_memory(a, b)
    pa, pb = a.data.ptr, b.data.ptr
    return a.nbytes > 0 and b.nbytes > 0 and pa < pb + b.nbytes and pb < pa + a.nbytes


def device_array(host):
    """The host array on the active backend.  Record arrays are copied as raw
    bytes: array libraries need not support structured types on the device."""
    if zel.BACKEND != "cuda":
        return host
    host = np.ascontiguousarray(host)
    if host.dtype.fields is None:
        return zel.cp.asarray(host)
    out = zel.cp.empty(host.shape, dtype=host.dtype)
    if host.nbytes:
        out.data.copy_from_host(host.ctypes.data, host.nbytes)
    return out


def from_scaled(ms, shape=None):
    """Tensor holding exactly the scaled integers ms (|m| <= MAXM)."""
    pairs = [(-1 if m < 0 else 1, abs(m)) for m in ms]
    return zel.Tensor(_raw=device_array(raw_array(pairs)), shape=shape)


def from_raw(pairs, shape=None):
    return zel.Tensor(_raw=device_array(raw_array(pairs)), shape=shape)


def hard_mags():
    """Magnitudes random values rarely hit: carries across every limb,
    single bits, one unit, values next to MAX, zero."""
    out = {0, 1, 2, MAXM, MAXM - 1, S, S - 1, S + 1, S // 2}
    for k in range(1, 9):
        out.add(2 ** (64 * k) - 1)          # runs of all-one limbs
        out.add(2 ** (64 * k))
        out.add(2 ** (64 * k) + 1)
    for b in (0, 1, 63, 64, 127, 128, 191, 192, 255, 256, 257, 319, 320, 383, 384, 447, 448, 510, 511):
        out.add(2**b)
    out.add(MAXM // 2)
    out.add(MAXM // 2 + 1)
    return sorted(m for m in out if m <= MAXM)


def hard_scaled():
    ms = hard_mags()
    return ms + [-m for m in ms if m]


# Scaled integers with structure: uniform over sizes, plus limb patterns.
scaled_ints = None if st is None else st.one_of(
    st.integers(min_value=-MAXM, max_value=MAXM),
    st.integers(min_value=0, max_value=512).flatmap(
        lambda b: st.integers(min_value=-(2**b), max_value=2**b)),
    st.sampled_from(hard_scaled()),
).map(sat)
