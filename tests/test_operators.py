"""Tensor operators and reduction members delegate to the module functions."""
import pytest

import korvid.zel as zel
from zelmodel import records

needs = lambda *names: pytest.mark.skipif(  # noqa: E731
    not all(hasattr(zel, n) for n in names), reason="needs " + ", ".join(names))


def same(t, u):
    return t.shape == u.shape and records(t).tobytes() == records(u).tobytes()


class Sub(zel.Tensor):
    pass


def test_arithmetic_operators():
    t, u = zel.tensor([1, 2, 4]), zel.tensor([3, 5, 7])
    assert same(t + u, zel.add(t, u)) and same(t - u, zel.sub(t, u))
    assert same(t * u, zel.mul(t, u)) and same(t / u, zel.div(t, u))
    assert same(t + 1, zel.add(t, zel.tensor(1)))
    assert same(1 + t, zel.add(zel.tensor(1), t))
    assert same(2 - t, zel.sub(zel.tensor(2), t)) and (2 - t).to_list() == [1, 0, -2]
    assert same(3 * t, zel.mul(zel.tensor(3), t))
    assert same(1 / t, zel.div(zel.tensor(1), t)) and (1 / t).to_list() == [1, 0.5, 0.25]
    assert same(t / 2, zel.div(t, zel.tensor(2)))
    assert (t + [1, 2, 3]).to_list() == [2, 4, 7]
    s = Sub([1, 1, 1])
    assert (t + s).to_list() == [2, 3, 5]
    with pytest.raises(ValueError, match="Cannot broadcast shapes"):
        t + zel.tensor([1, 2])


def test_matmul_and_reduction_members():
    a, v = zel.tensor([[1, 2], [3, 4]]), zel.tensor([5, 6])
    assert same(a @ v, zel.mv(a, v)) and (a @ a).to_list() == [[7, 10], [15, 22]]
    assert (v @ v).to_list() == [61.0]
    with pytest.raises(ValueError, match=r"matmul: unsupported shapes \(2,\) @ \(2, 2\)"):
        v @ a
    for name in ("sum", "mean", "max", "min"):
        r = getattr(a, name)()
        assert r.shape == (1,) and same(r, getattr(zel, name)(a))
    assert a.sum().to_list() == [10.0] and a.mean().to_list() == [2.5]


def test_transpose_property():
    t = zel.tensor([1, 2, 3])
    assert t.T is t and zel.tensor(5).T.shape == ()
    if hasattr(zel, "transpose"):
        assert zel.tensor([[1, 2, 3], [4, 5, 6]]).T.shape == (3, 2)
        with pytest.raises(ValueError, match="transpose requires 2D tensor"):
            zel.ones(2, 2, 2).T


@needs("neg", "pow")
def test_neg_and_pow():
    t = zel.tensor([1, -2, 3])
    assert same(-t, zel.neg(t))
    assert same(t ** 2, zel.pow(t, 2)) and (t ** 2).to_list() == [1, 4, 9]
    with pytest.raises(TypeError):
        t ** 2.0


def test_identity_semantics_remain():
    t = zel.tensor([1])
    assert (t == t) is True and (t == zel.tensor([1])) is False
