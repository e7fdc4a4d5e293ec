"""Deterministic random numbers and checksums.

The oracle is a plain Python model of the generator: Lehmer steps on Python
ints, draws as Fractions, each rounded toward -inf at 2^-256 with exact
integer floor division, compared record for record.
"""
import hashlib
import math
import struct
from fractions import Fraction

import numpy as np
import pytest

import korvid.zel as zel
from fastrec import checksum_bytes, tensor_of, values, check_canonical
from zelmodel import S, records, raw_array, device_array

A, M = 48271, 2**31 - 1


class RefLCG:
    def __init__(self, state):
        self.state = state

    def next(self):
        self.state = (A * self.state) % M
        return self.state

    def uniform(self):
        return Fraction(self.next(), M)

    def normal(self):
        total = Fraction(0)
        for _ in range(12):
            total += self.uniform()
        return total - 6


def ref_seed(seed):
    return seed % (M - 1) + 1


def floor_scaled(q: Fraction) -> int:
    return (q.numerator * S) // q.denominator


def ref_draws(seed, n, normal):
    g = RefLCG(ref_seed(seed))
    draw = g.normal if normal else g.uniform
    return [floor_scaled(draw()) for _ in range(n)], g.state


def got(t):
    arr = records(t)
    check_canonical(arr)
    return values(arr)


@pytest.mark.parametrize("seed", [0, 1, 42, -1, 2**31 - 2, 2**31 - 1, 2**31, 123456789, -2**70, 10**30])
def test_draws_match_the_fraction_model(seed):
    for normal, shape in [(False, (7,)), (True, (3, 5)), (False, (2, 2, 3)), (True, (1,)), (False, ())]:
        zel.manual_seed(seed)
        t = (zel.randn if normal else zel.rand)(*shape)
        n = math.prod(shape)
        want, state = ref_draws(seed, n, normal)
        assert got(t) == want, (seed, normal, shape)
        assert zel._lcg_state == state


def test_large_batches_match_the_sequential_generator():
    # Big enough to be drawn in parallel chunks that jump ahead.
    for normal, n in [(False, 70001), (True, 40000)]:
        zel.manual_seed(7)
        t = (zel.randn if normal else zel.rand)(n)
        want, state = ref_draws(7, n, normal)
        assert got(t) == want
        assert zel._lcg_state == state


def test_normal_draws_from_assigned_states():
    # A twelve-step sum is a multiple of M only from state 0 (M is prime), so
    # the exact -6 and the zero uniform need an assigned state.
    for state in [0, M, 1, 2, M - 1, M - 2, 2**30, 777]:
        zel._lcg_state = state
        g = RefLCG(state)
        want = [floor_scaled(g.normal()) for _ in range(50)]
        assert got(zel.randn(50)) == want
        assert zel._lcg_state == g.state
    zel._lcg_state = 0
    assert got(zel.randn(2)) == [-6 * S, -6 * S]
    assert got(zel.rand(2)) == [0, 0]


def test_seed_edge_cases_and_state_attribute():
    zel.manual_seed(0)
    assert zel._lcg_state == 1 and zel.zel._lcg_state == 1
    zel.manual_seed(2147483646)
    assert zel._lcg_state == 1
    zel.manual_seed(-1)
    assert zel._lcg_state == 2147483646
    zel.manual_seed(0)
    assert zel._lcg_next() == 48271
    assert zel._lcg_next() == 182605794
    assert zel.zel._lcg_state == 182605794
    # Assigning the attribute (through the package or the extension) sets the next draw.
    zel._lcg_state = 5
    assert zel.zel._lcg_state == 5
    assert zel._lcg_next() == 5 * A % M
    zel.zel._lcg_state = 9
    assert zel._lcg_state == 9
    u = zel._lcg_uniform()
    assert u == Fraction(9 * A % M, M) and isinstance(u, Fraction)
    zel._lcg_state = 3
    g = RefLCG(3)
    n = zel._lcg_normal()
    assert isinstance(n, Fraction) and n == g.normal() and M % n.denominator == 0 and -6 < n < 6
    assert zel._lcg_state == g.state
    # A state that is not in 1 .. M-1 steps as Python's % would step it.
    for odd in [0, M, -5, 2**100 + 3]:
        zel._lcg_state = odd
        assert zel._lcg_next() == (A * odd) % M
    zel._lcg_state = 1.5
    with pytest.raises(TypeError):
        zel.rand(2)
    zel.manual_seed(1)


def test_uniform_never_zero_and_bounds():
    zel.manual_seed(11)
    vals = values(records(zel.rand(5000)))
    assert min(vals) > 0 and max(vals) < S
    zel.manual_seed(11)
    assert all(0 < zel._lcg_uniform() < 1 for _ in range(200))


def test_argument_checks():
    with pytest.raises(TypeError, match=r"Argument 'seed' has incorrect type \(expected int, got bool\)"):
        zel.manual_seed(True)
    with pytest.raises(TypeError, match="expected int, got float"):
        zel.manual_seed(1.0)
    before = zel._lcg_state
    with pytest.raises(TypeError):
        zel.rand(2, dtype="x")
    with pytest.raises(TypeError):
        zel.randn(shape=(2,))
    with pytest.raises(ValueError):
        zel.rand(-1)
    with pytest.raises(ValueError):
        zel.randn(2, -3)
    with pytest.raises(TypeError):
        zel.rand(2.0)
    assert zel._lcg_state == before  # a refused call draws nothing
    t = zel.rand(2)
    with pytest.raises(TypeError, match=r"Argument 'expected' has incorrect type \(expected str, got bytes\)"):
        zel.verify(t, b"00")


def test_shapes():
    assert zel.rand(3).shape == (3,) and zel.rand([3]).shape == (3,)
    assert zel.rand(2, 3).shape == (2, 3) and zel.rand((2, 3)).shape == (2, 3)
    assert zel.rand().shape == (1,) and zel.randn([]).shape == (1,)
    assert zel.rand(0).shape == (0,) and zel.randn(2, 0).shape == (2, 0)
    assert zel.rand(np.int64(4)).shape == (4,)


def packed(arr):
    return b"".join(struct.pack("i", int(r["sign"])) + b"".join(struct.pack("Q", int(r[f"limb{j}"]))
                                                                  for j in range(8)) for r in arr)


def test_checksum_is_sha256_of_the_documented_bytes():
    mags = [0, 0, 0, 1, S, 2**512 - 1, 3 * S // 7, 2**255 + 12345]
    signs = [1, 0, -1, -1, 1, -1, 5, -7]
    pads = [0, 9, -3, 0, 2**31 - 1, 0, 1, -2**31]
    t = tensor_of(mags, signs=signs, pads=pads)
    want = hashlib.sha256(packed(records(t))).hexdigest()
    assert zel.checksum(t) == want
    # pad is not hashed; sign is; the shape is not.
    assert zel.checksum(tensor_of(mags, signs=signs)) == want
    assert zel.checksum(tensor_of(mags, shape=(2, 4), signs=signs, pads=pads)) == want
    assert zel.checksum(tensor_of(mags, signs=[0] + signs[1:])) != want
    # Zeros from to_gpu (sign +1) and the sign-0 zero of Tensor() differ.
    assert zel.checksum(zel.tensor([0])) != zel.checksum(zel.Tensor())
    assert zel.checksum(zel.Tensor()) == hashlib.sha256(bytes(68)).hexdigest()
    assert zel.checksum(zel.tensor([])) == hashlib.sha256(b"").hexdigest()
    zel.manual_seed(3)
    big = zel.randn(300, 300)
    assert zel.checksum(big) == hashlib.sha256(checksum_bytes(records(big))).hexdigest()


def test_verify_and_match():
    zel.manual_seed(42)
    x = zel.randn(4, 4)
    zel.manual_seed(42)
    y = zel.randn(4, 4)
    c = zel.checksum(x)
    assert c == zel.checksum(y) and len(c) == 64 and c == c.lower()
    assert zel.checksums_match(x, y) is True
    assert zel.checksums_match(x, zel.randn(4, 4)) is False
    assert zel.verify(x, c) is True and zel.verify(x, c[:16]) is True
    assert zel.verify(x, c[:15]) is False and zel.verify(x, c[:17]) is False
    assert zel.verify(x, c.upper()) is False and zel.verify(x, "\udc80" * 16) is False
    # Same records, different shapes: same checksum.
    assert zel.checksum(zel.reshape(x, (16,))) == c
