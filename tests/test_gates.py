"""Quantum gates: exact records of their entries, the gate identities on
those records, and the Bell-state example."""
from fractions import Fraction

import mpmath as mp

import pytest

import korvid.zel as zel
from zelmodel import S, records

ULP = Fraction(1, S)


def fr(t):
    return zel.from_gpu(t._data, as_float=False)


def rec(t):
    return records(t).tobytes()


def within(z, want_re, want_im, units):
    """Every entry of z within `units` of 2^-256 of the wanted values."""
    re, im = fr(z.real), fr(z.imag)
    flat = lambda m: [Fraction(x) for row in m for x in (row if isinstance(row, list) else [row])]
    wr, wi = flat(want_re), flat(want_im)
    assert len(re) == len(wr) and len(im) == len(wi)
    return max(abs(a - b) for a, b in zip(re + im, wr + wi)) <= units * ULP


def same(z, w):
    return z.shape == w.shape and rec(z.real) == rec(w.real) and rec(z.imag) == rec(w.imag)


I2 = [[1, 0], [0, 1]]
Z2 = [[0, 0], [0, 0]]


def mm(a, b):
    return zel.cmm(a, b)


def test_integer_gates_are_exact_tables():
    cases = {
        zel.pauli_x: ([[0, 1], [1, 0]], Z2),
        zel.pauli_y: (Z2, [[0, -1], [1, 0]]),
        zel.pauli_z: ([[1, 0], [0, -1]], Z2),
        zel.s_gate: ([[1, 0], [0, 0]], [[0, 0], [0, 1]]),
        zel.cnot: ([[1, 0, 0, 0], [0, 1, 0, 0], [0, 0, 0, 1], [0, 0, 1, 0]], [[0] * 4 for _ in range(4)]),
    }
    for gate, (re, im) in cases.items():
        g = gate()
        assert isinstance(g, zel.ComplexTensor)
        # the records tensor() makes of the same integer tables
        assert same(g, zel.ComplexTensor(zel.tensor(re), zel.tensor(im)))


def test_angle_gates_carry_the_exact_records_of_cos_and_sin():
    for theta in (zel.pi_over(3), zel.tensor([0.7]), 1.25, -2, zel.tensor([[0.5, 9.0]])):
        t = theta if isinstance(theta, zel.Tensor) else zel.tensor(theta)
        half = zel.mul(t, zel.tensor(0.5))
        c, s = zel.cos(half), zel.sin(half)
        cr, sr, nsr = (rec(x)[:72] for x in (c, s, zel.neg(s)))
        z = rec(zel.tensor([0]))
        rx, ry, rz = zel.rotation_x(theta), zel.rotation_y(theta), zel.rotation_z(theta)
        assert rec(rx.real) == cr + z + z + cr and rec(rx.imag) == z + nsr + nsr + z
        assert rec(ry.real) == cr + nsr + sr + cr and rec(ry.imag) == z * 4
        assert rec(rz.real) == cr + z + z + cr and rec(rz.imag) == nsr + z + z + sr
        p = zel.phase_gate(theta)
        one = rec(zel.tensor([1]))
        assert rec(p.real) == one + z + z + rec(zel.cos(t))[:72]
        assert rec(p.imag) == z + z + z + rec(zel.sin(t))[:72]
        for g in (rx, ry, rz, p):
            assert g.shape == (2, 2)
    # the full 256 bits, not a double's 53
    c = fr(zel.rotation_x(zel.pi_over(3)).real)[0]
    with mp.workprec(600):
        root3_half = Fraction(int(mp.floor(mp.sqrt(3) * 2**599)), 2**600)
    assert abs(c - root3_half) < 2 * ULP
    h = fr(zel.hadamard_gate().real)
    assert h[0] == h[1] == h[2] == -h[3]
    assert rec(zel.hadamard_gate().real)[:72] == rec(zel.div(zel.tensor(1.0), zel.sqrt(zel.tensor(2.0))))
    assert abs(h[0] ** 2 - Fraction(1, 2)) < 2 * ULP


def test_documented_gate_cases():
    for g in (zel.rotation_x(0.0), zel.rotation_y(0.0), zel.rotation_z(0.0), zel.phase_gate(0.0)):
        assert g.to_list() == [[1, 0], [0, 1]] and same(g, zel.complex_eye(2))
    rx = zel.rotation_x(zel.tensor([zel.pi().item()]))
    assert all(abs(v) < 1e-15 for v in rx.real.to_list()[0] + rx.real.to_list()[1])
    assert abs(rx.to_list()[0][1] + 1j) < 1e-15 and abs(rx.to_list()[1][0] + 1j) < 1e-15
    assert zel.rotation_z(1.0).imag.to_list()[0][0] < 0 < zel.rotation_z(1.0).imag.to_list()[1][1]
    t = zel.t_gate().to_list()
    assert abs(t[1][1] - (0.7071067811865476 + 0.7071067811865476j)) < 1e-15
    assert same(zel.t_gate(), zel.phase_gate(zel.pi_over(4)))
    assert zel.pauli_y().real.to_list() == Z2
    import decimal
    decimal.getcontext().prec = 28
    zel.t_gate()
    assert decimal.getcontext().prec == 60


def test_gate_identities():
    X, Y, Z, H, S_, T = zel.pauli_x(), zel.pauli_y(), zel.pauli_z(), zel.hadamard_gate(), zel.s_gate(), zel.t_gate()
    eye = zel.complex_eye(2)
    for g in (X, Y, Z):
        assert same(mm(g, g), eye)
    assert within(mm(H, H), I2, Z2, 2)
    assert fr(mm(H, H).real)[1:3] == [0, 0]
    assert same(mm(S_, S_), Z)
    assert within(mm(T, T), fr(S_.real), fr(S_.imag), 4)
    assert same(mm(zel.cnot(), zel.cnot()), zel.complex_eye(4))
    iZ = zel.ComplexTensor(zel.zeros(2, 2), Z.real)
    assert same(mm(X, Y), iZ)


@pytest.mark.parametrize("theta", [0.3, -1.0, 2.5, 3.0, zel.pi_over(7), zel.pi_over(-5)])
def test_rotations_are_unitary(theta):
    for gate in (zel.rotation_x, zel.rotation_y, zel.rotation_z, zel.phase_gate):
        g = gate(theta)
        assert within(mm(g, g.H()), I2, Z2, 4)
        assert within(mm(g.H(), g), I2, Z2, 4)


def test_rotation_angles_add():
    for a, b in ((zel.pi_over(3), zel.pi_over(6)), (zel.tensor(0.25), zel.tensor(-1.5)), (zel.tensor(2), zel.tensor(3))):
        lhs = mm(zel.rotation_z(a), zel.rotation_z(b))
        rhs = zel.rotation_z(zel.add(a, b))
        assert within(lhs, fr(rhs.real), fr(rhs.imag), 4)


def test_bell_state():
    H = zel.hadamard_gate()
    HI = zel.ComplexTensor(zel.kron(H.real, zel.eye(2)), zel.kron(H.imag, zel.eye(2)))
    psi = zel.cmv(zel.cnot(), zel.cmv(HI, zel.complex_tensor([1, 0, 0, 0])))
    p = fr(psi.abs2())
    half = Fraction(1, 2)
    assert p[1] == p[2] == 0
    assert abs(p[0] - half) <= 2 * ULP and abs(p[3] - half) <= 2 * ULP
    assert fr(psi.imag) == [0, 0, 0, 0]


def test_angle_errors():
    with pytest.raises(IndexError):
        zel.rotation_x(zel.tensor([]))
    with pytest.raises(Exception):
        zel.phase_gate("not a number")
