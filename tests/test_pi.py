"""pi, pi_over, pi_half, pi_quarter: correctly rounded at 2^-256, with the
decimal-context side effects."""
import decimal

import mpmath as mp
import pytest

import korvid.zel as zel
from zelmodel import S, scaled

mp.mp.prec = 3000


def pi_over_model(n):
    return int(mp.nint(mp.pi * S / n))


def test_pi_value_and_float():
    t = zel.pi()
    assert zel.PI_STR == "3.14159265358979323846264338327950288419716939937510"
    assert t.shape == () and t.numel == 1
    assert scaled(t) == [pi_over_model(1)]
    assert t.item() == 3.141592653589793
    assert zel.pi_over(1).item() == 3.141592653589793
    assert zel.pi_half().item() == 1.5707963267948966


@pytest.mark.parametrize("n", [1, 2, 3, 4, 6, 7, 8, 180, -1, -3, 10**30, -(2**300), 2**1000])
def test_pi_over_correctly_rounded(n):
    t = zel.pi_over(n)
    assert t.shape == ()
    assert scaled(t) == [pi_over_model(n)]


def test_half_and_quarter():
    assert scaled(zel.pi_half()) == [pi_over_model(2)]
    assert scaled(zel.pi_quarter()) == [pi_over_model(4)]


@pytest.mark.parametrize("call", [zel.pi, zel.pi_half, zel.pi_quarter, lambda: zel.pi_over(3)])
def test_decimal_precision_left_at_60(call):
    decimal.getcontext().prec = 28
    call()
    assert decimal.getcontext().prec == 60


def test_pi_over_argument_errors():
    with pytest.raises(ZeroDivisionError):
        zel.pi_over(0)
    for bad, tname in ((2.0, "float"), (True, "bool"), ("2", "str"), (None, "NoneType")):
        with pytest.raises(TypeError) as e:
            zel.pi_over(bad)
        assert str(e.value) == f"Argument 'n' has incorrect type (expected int, got {tname})"
