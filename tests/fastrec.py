"""Bulk conversions between scaled Python integers and record arrays, and a
seeded generator of structured operands, so that whole batches of operands
go through one kernel launch and one host pass.
"""
import random
import struct

import numpy as np

import korvid.zel as zel
from zelmodel import MAXM, S, device_array, hard_scaled, records

LIMB = 2**64 - 1


def host_records(ms, signs=None, pads=None):
    """Record array of the scaled ints ms; signs/pads override the fields
    (to build non-canonical records such as a zero with sign -1 or 0)."""
    n = len(ms)
    arr = np.zeros(n, dtype=zel.FIXEDPOINT_DTYPE)
    if n == 0:
        return arr
    buf = b"".join(abs(m).to_bytes(64, "little") for m in ms)
    limbs = np.frombuffer(buf, dtype="<u8").reshape(n, 8)
    for k in range(8):
        arr[f"limb{k}"] = limbs[:, k]
    arr["sign"] = signs if signs is not None else [-1 if m < 0 else 1 for m in ms]
    if pads is not None:
        arr["pad"] = pads
    return arr


def tensor_of(ms, shape=None, signs=None, pads=None):
    return zel.Tensor(_raw=device_array(host_records(ms, signs, pads)), shape=shape)


def values(arr):
    """Signed scaled ints of a host record array (sign < 0 means negative)."""
    n = len(arr)
    if n == 0:
        return []
    limbs = np.stack([arr[f"limb{k}"] for k in range(8)], axis=1).astype("<u8")
    b = limbs.tobytes()
    signs = arr["sign"].tolist()
    out = []
    for i in range(n):
        m = int.from_bytes(b[64 * i:64 * i + 64], "little")
        out.append(-m if signs[i] < 0 else m)
    return out


def check_canonical(arr):
    """Every record a kernel writes: sign +1/-1, zero with +1, pad 0."""
    zero = np.ones(len(arr), dtype=bool)
    for k in range(8):
        zero &= arr[f"limb{k}"] == 0
    assert np.all((arr["sign"] == 1) | (arr["sign"] == -1))
    assert np.all(arr["sign"][zero] == 1)
    assert np.all(arr["pad"] == 0)


RECORD = struct.Struct("<ii8Q")


def python_records(fracs):
    """The host rule for exact values in plain Python, one record at a time:
    floor(q * 2^256) packed as record bytes (the benchmarks' baseline)."""
    out = []
    for q in fracs:
        scaled = q.numerator * S // q.denominator
        mag = abs(scaled)
        out.append(RECORD.pack(-1 if scaled < 0 else 1, 0, *[(mag >> (64 * i)) & LIMB for i in range(8)]))
    return b"".join(out)


def checksum_bytes(arr):
    """The bytes a checksum hashes: each record's sign and limbs, no pad."""
    out = np.zeros(len(arr), dtype=[("sign", "<i4")] + [(f"limb{k}", "<u8") for k in range(8)])
    for name in out.dtype.names:
        out[name] = arr[name]
    return out.tobytes()


def result_values(t):
    arr = records(t)
    check_canonical(arr)
    return values(arr)


def host_mask(m):
    return m.get() if hasattr(m, "get") else np.asarray(m)


# Operands: a zero record with every sign field a record can carry, the hard
# magnitudes of the model with both signs, and their one-ulp neighbours.
ZERO_FORMS = [(0, -1), (0, 0), (0, 1)]  # (magnitude, sign field)


def hard_operands():
    """(scaled ints, sign fields) of the hard operands, zeros in all forms."""
    ms = list(hard_scaled())
    signs = [-1 if m < 0 else 1 for m in ms]
    for m, s in ZERO_FORMS:
        ms.append(m)
        signs.append(s)
    return ms, signs


def structured(rng: random.Random) -> int:
    """One scaled int from a mix of shapes random values rarely take."""
    k = rng.randrange(6)
    if k == 0:
        m = rng.getrandbits(512)
    elif k == 1:
        m = rng.getrandbits(rng.randrange(1, 513))
    elif k == 2:  # limb patterns: carries and borrows across limbs
        m = 0
        for i in range(8):
            m |= rng.choice((0, 0, LIMB, 1, 2**63, rng.getrandbits(64))) << (64 * i)
    elif k == 3:
        m = abs(rng.choice(hard_scaled())) + rng.randrange(-3, 4)
    elif k == 4:  # near one and small integers
        m = rng.randrange(1, 2**20) * S + rng.randrange(-2**40, 2**40)
    else:
        m = rng.getrandbits(rng.randrange(200, 300))
    m = max(0, min(MAXM, m))
    return -m if rng.random() < 0.5 else m


def structured_list(seed, n):
    rng = random.Random(seed)
    return [structured(rng) for _ in range(n)]
