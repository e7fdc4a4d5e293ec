"""Broadcasting: shape rules against NumPy's, data expansion, and the
arithmetic family on broadcast operands."""
import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import korvid.zel as zel
from fastrec import host_records, result_values, structured_list, tensor_of, values
from profiles import examples
from zelmodel import model_mul, sat

shapes = st.lists(st.sampled_from([0, 1, 1, 2, 3]), max_size=4).map(tuple)


def index_tensor(shape):
    n = int(np.prod(shape, dtype=np.int64))
    if shape == ():
        return zel.tensor(0)
    return zel.Tensor(list(range(n)), shape=shape) if n else zel.Tensor(_raw=zel.to_gpu([]), shape=shape)


def indices(t):
    return [int(v) for v in zel.from_gpu(t._data)]


def numpy_shape(s1, s2):
    """NumPy's broadcast shape, or None where NumPy refuses the pair."""
    try:
        return np.broadcast_shapes(s1, s2)
    except ValueError:
        return None


@settings(max_examples=examples(200), deadline=None)
@given(s1=shapes, s2=shapes)
def test_shapes_follow_numpy(s1, s2):
    want = numpy_shape(s1, s2)
    if want is None:
        with pytest.raises(ValueError, match="^Cannot broadcast shapes "):
            zel._broadcast_shapes(s1, s2)
        return
    got = zel._broadcast_shapes(s1, s2)
    assert type(got) is tuple and got == want


@settings(max_examples=examples(60), deadline=None)
@given(s1=shapes, s2=shapes)
def test_broadcast_tensors_data_follows_numpy(s1, s2):
    target = numpy_shape(s1, s2)
    if target is None:
        return
    a, b = index_tensor(s1), index_tensor(s2)
    ra, rb = zel.broadcast_tensors(a, b)
    for src, shape, r in ((a, s1, ra), (b, s2, rb)):
        assert r.shape == target
        if shape == target:
            assert r is src
        else:
            n = int(np.prod(shape, dtype=np.int64))
            want = np.broadcast_to(np.arange(n).reshape(shape), target).ravel().tolist()
            assert indices(r) == want


def test_message_and_documented_cases():
    with pytest.raises(ValueError, match=r"^Cannot broadcast shapes \(2, 3\) and \(3, 2\)$"):
        zel._broadcast_shapes((2, 3), (3, 2))
    assert zel._broadcast_shapes((3, 1), (1, 4)) == (3, 4)
    assert zel._broadcast_shapes((2, 3), (3,)) == (2, 3)
    assert zel._broadcast_shapes((1,), ()) == (1,)
    s = zel.tensor(5)
    r, z = zel.broadcast_tensors(s, zel.zeros(3))
    assert r.shape == (3,) and r.to_list() == [5.0, 5.0, 5.0] and z.shape == (3,)
    one = zel.tensor([7])
    r1, r2 = zel.broadcast_tensors(one, s)
    assert r1 is one and r2 is not s and r2.shape == (1,) and r2.to_list() == [5.0]


class TupleSub(tuple):
    pass


@pytest.mark.parametrize("bad", [[2], None, TupleSub((2,)), 2])
def test_shape_arguments_must_be_tuples(bad):
    name = type(bad).__name__
    msg = rf"^Argument '{{}}' has incorrect type \(expected tuple, got {name}\)$"
    with pytest.raises(TypeError, match=msg.format("shape1")):
        zel._broadcast_shapes(bad, (2,))
    with pytest.raises(TypeError, match=msg.format("shape2")):
        zel._broadcast_shapes((2,), bad)
    with pytest.raises(TypeError, match=msg.format("target_shape")):
        zel._broadcast_to(zel.tensor([1]), bad)


def test_broadcast_to():
    t = zel.tensor([[1], [2]])
    assert zel._broadcast_to(t, (2, 1)) is t
    assert zel._broadcast_to(t, (2, 3)).to_list() == [[1, 1, 1], [2, 2, 2]]
    assert zel._broadcast_to(t, (2, 2, 0)).shape == (2, 2, 0)
    with pytest.raises(ValueError, match="Cannot broadcast"):
        zel._broadcast_to(t, (3, 3))
    with pytest.raises(ValueError):
        zel._broadcast_to(zel.Tensor([1, 2, 3], shape=(3,)), (-1, 3))


def test_zero_length_axes():
    assert zel._broadcast_shapes((0,), (1,)) == (0,)
    assert zel._broadcast_shapes((2, 0), (2, 1)) == (2, 0)
    with pytest.raises(ValueError):
        zel._broadcast_shapes((0,), (3,))
    out = zel.add(zel.zeros(2, 0), zel.tensor([[1], [2]]))
    assert out.shape == (2, 0) and out.numel == 0
    assert zel.mul(zel.zeros(0), zel.tensor(3)).shape == (0,)


def test_inconsistent_operand_refused():
    """A tensor whose shape disagrees with its data must not be expanded."""
    bad = zel.Tensor(_raw=zel.zeros(2)._data)
    bad._shape = (3,)
    with pytest.raises(ValueError):
        zel.add(bad, zel.zeros(2, 3))
    with pytest.raises(ValueError):
        zel.add(bad, zel.zeros(3))


@pytest.mark.parametrize("sa, sb", [((3, 1), (1, 4)), ((2, 3), (3,)), ((4,), (2, 1)), ((2, 1, 3), (5, 1))])
def test_arithmetic_on_broadcast_operands(sa, sb):
    na, nb = int(np.prod(sa)), int(np.prod(sb))
    xs, ys = structured_list(31, na), structured_list(32, nb)
    xs, ys = [x >> 2 for x in xs], [y >> 2 for y in ys]
    a, b = tensor_of(xs, shape=sa), tensor_of(ys, shape=sb)
    target = np.broadcast_shapes(sa, sb)
    ea = np.broadcast_to(np.array(values(host_records(xs)), dtype=object).reshape(sa), target).ravel()
    eb = np.broadcast_to(np.array(values(host_records(ys)), dtype=object).reshape(sb), target).ravel()
    for fn, model in ((zel.add, lambda x, y: sat(x + y)), (zel.mul, model_mul)):
        out = fn(a, b)
        assert out.shape == target
        assert result_values(out) == [model(x, y) for x, y in zip(ea, eb)]
