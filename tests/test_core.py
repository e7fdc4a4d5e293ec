"""Start-up, number format, host conversions, device layer and Tensor."""
import decimal
import math
import os
import re
import struct
import subprocess
import sys
from decimal import Decimal
from fractions import Fraction

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

import korvid.zel as zel
from profiles import examples
from zelmodel import MAXM, S, device_array, from_raw, records, scaled, sat, shares_memory


def run_py(code, **env):
    """Runs code in a fresh interpreter (start-up behaviour)."""
    e = dict(os.environ)
    e.update(env)
    return subprocess.run([sys.executable, "-P", "-c", code], capture_output=True, text=True, env=e)


def fp_scaled(rec):
    """Signed scaled integer of one host record."""
    mag = sum(int(rec[f"limb{i}"]) << (64 * i) for i in range(8))
    return -mag if rec["sign"] < 0 else mag


def floor_scaled(q: Fraction) -> int:
    return sat(q.numerator * S // q.denominator)


# ---------------------------------------------------------------- start-up

PUBLIC_ORDER = """Tensor tensor zeros ones eye arange linspace rand randn add sub mul div neg abs sign pow mod
reciprocal eq lt gt le ge ne sum prod max min mean std var norm dot mm mv bmm matmul outer trace diag det inv lu
solve rref rank null_space kron cross hilbert_matrix relu leaky_relu sigmoid tanh gelu silu softmax exp log log2
log10 sqrt sin cos tan sinh cosh asin acos atan atan2 asinh acosh atanh ceil floor round trunc frac conv2d cumsum
cumprod diff argmax argmin reshape squeeze unsqueeze transpose cat stack clamp where lerp logical_and logical_or
logical_not logical_xor checksum checksums_match verify ComplexTensor complex_tensor cmm cmv csum cabs conj
complex_eye complex_zeros complex_ones pi pi_over pi_half pi_quarter rotation_x rotation_y rotation_z phase_gate
pauli_x pauli_y pauli_z hadamard_gate t_gate s_gate cnot SCALE_BITS NUM_LIMBS SCALE patch_numpy
unpatch_numpy""".split()
assert len(PUBLIC_ORDER) == 132

class TestStartup:
    def test_constants_and_record_type(self):
        assert zel.SCALE_BITS == 256 and zel.NUM_LIMBS == 8 and zel.SCALE == 2**256
        assert zel.BLOCK_SIZE == 256
        dt = zel.FIXEDPOINT_DTYPE
        assert dt.itemsize == 72
        assert dt.names == ("sign", "pad") + tuple(f"limb{i}" for i in range(8))
        assert [dt.fields[n][1] for n in dt.names] == [0, 4] + [8 + 8 * i for i in range(8)]
        assert dt["sign"] == np.int32 and dt["limb7"] == np.uint64

    def test_namespace(self):
        assert zel.zel.__doc__.splitlines()[1:5] == [
            "Korvid ZEL - GPU Fixed-Point Operations", "=" * 40, "",
            "GPU-accelerated exact arithmetic. All operations on CUDA."]
        assert zel.zel.__doc__.startswith("\n")
        assert isinstance(zel.__all__, tuple)
        assert len(set(zel.__all__)) == len(zel.__all__)
        assert all(hasattr(zel, n) for n in zel.__all__)
        order = {n: i for i, n in enumerate(PUBLIC_ORDER)}
        assert all(n in order for n in zel.__all__)
        assert [order[n] for n in zel.__all__] == sorted(order[n] for n in zel.__all__)
        assert [n for n in PUBLIC_ORDER if hasattr(zel.zel, n)] == list(zel.__all__)
        assert zel._abs(-3) == 3 and zel._max(1, 2) == 2 and zel._round(2.5) == 2
        assert zel.Fraction is Fraction and zel.Decimal is Decimal
        assert zel.BACKEND in ("cpu", "cuda")
        assert zel.HAS_CUPY == (zel.cp is not None)

    def test_star_import_and_decimal_precision(self):
        r = run_py(
            "import decimal\n"
            "decimal.getcontext().prec = 7\n"
            "ns = {}\n"
            "exec('from korvid.zel.zel import *', ns)\n"
            "print(decimal.getcontext().prec, 'Tensor' in ns, 'SparseTensor' in ns, 'manual_seed' in ns,"
            " 'BLOCK_SIZE' in ns)\n")
        assert r.returncode == 0, r.stderr
        assert r.stdout.split() == ["100", "True", "False", "False", "False"]

    def test_backend_selection(self):
        r = run_py("import korvid.zel as z; print(z.BACKEND)", ZEL_BACKEND="cpu")
        assert r.stdout.strip() == "cpu"
        r = run_py("import korvid.zel", ZEL_BACKEND="tpu")
        assert r.returncode != 0 and "ZEL_BACKEND" in r.stderr

    @pytest.mark.skipif(zel.HAS_CUPY, reason="CuPy is installed")
    def test_cuda_without_cupy(self):
        r = run_py("import korvid.zel", ZEL_BACKEND="cuda")
        assert r.returncode != 0
        assert "RuntimeError: CuPy required. Install: pip install cupy-cuda12x" in r.stderr

    def test_reinitialisation_refused(self):
        r = run_py(
            "import sys, importlib, korvid.zel\n"
            "del sys.modules['korvid.zel.zel']\n"
            "try:\n"
            "    importlib.import_module('korvid.zel.zel')\n"
            "except ImportError as e:\n"
            "    print(type(e.__cause__).__name__, e.__cause__)\n")
        assert "RuntimeError Module 'zel' has already been imported. Re-initialisation is not supported." in r.stdout


# ------------------------------------------------------ host conversions

class TestHostConversions:
    @pytest.mark.parametrize("val, limbs, sign", [
        (0, {}, 1), (1, {4: 1}, 1), (-1, {4: 1}, -1), (0.5, {3: 1 << 63}, 1), (True, {4: 1}, 1),
        (1e-20, {}, 1),
    ])
    def test_documented_records(self, val, limbs, sign):
        r = zel._value_to_fp(val)
        assert r["sign"] == sign and r["pad"] == 0
        assert [int(r[f"limb{i}"]) for i in range(8)] == [limbs.get(i, 0) for i in range(8)]

    def test_one_tenth_and_rounding_direction(self):
        recs = [zel._value_to_fp(v) for v in (0.1, "0.1", Decimal("0.1"), Fraction(1, 10))]
        assert len({r.tobytes() for r in recs}) == 1
        assert zel._fp_to_value(zel._value_to_fp(6e-16)) == Fraction(S // 10**15, S)
        pos, neg = zel._value_to_fp(0.1), zel._value_to_fp(-0.1)
        assert fp_scaled(neg) == -(fp_scaled(pos) + 1)
        assert int(zel._value_to_fp(Fraction(-1, 3))["limb0"]) == int(zel._value_to_fp(Fraction(1, 3))["limb0"]) + 1
        assert zel._fp_to_value(zel._value_to_fp(Fraction(1, 3))) == Fraction(S // 3, S)
        assert zel._fp_to_value(zel._value_to_fp("-2.5e-3")) == Fraction(floor_scaled(Fraction(-1, 400)), S)

    @given(st.fractions())
    def test_fractions_floor(self, q):
        assert fp_scaled(zel._value_to_fp(q)) == floor_scaled(q)

    @given(st.integers(min_value=-(2**600), max_value=2**600))
    def test_ints_exact_or_saturated(self, n):
        assert fp_scaled(zel._value_to_fp(n)) == sat(n * S)

    @given(st.floats(allow_nan=False, allow_infinity=False))
    def test_floats_limit_denominator(self, x):
        q = Fraction(x).limit_denominator(10**15)
        assert fp_scaled(zel._value_to_fp(x)) == floor_scaled(q)

    @given(st.decimals(allow_nan=False, allow_infinity=False))
    def test_decimals_and_strings(self, d):
        want = floor_scaled(Fraction(d))
        assert fp_scaled(zel._value_to_fp(d)) == want
        assert fp_scaled(zel._value_to_fp(str(d))) == want

    def test_saturation(self):
        assert fp_scaled(zel._value_to_fp(-1e300)) == -MAXM
        assert fp_scaled(zel._value_to_fp(2**256)) == MAXM
        assert fp_scaled(zel._value_to_fp(Fraction(-(2**300), 3))) == -MAXM

    @pytest.mark.parametrize("val, exc", [
        (float("inf"), OverflowError), (float("nan"), ValueError), ("1/3", decimal.InvalidOperation),
        (Decimal("NaN"), ValueError), (Decimal("Infinity"), TypeError), (object(), TypeError),
        ("inf", OverflowError), ("nan", ValueError),
    ])
    def test_conversion_errors(self, val, exc):
        with pytest.raises(exc):
            zel._value_to_fp(val)

    @given(st.integers(min_value=-(2**520), max_value=2**520))
    def test_limbs_roundtrip(self, n):
        limbs = zel._int_to_limbs(n)
        assert limbs.dtype == np.uint64 and limbs.shape == (8,)
        assert zel._limbs_to_int(limbs) == abs(n) % 2**512
        assert zel._limbs_to_int([int(v) for v in limbs]) == abs(n) % 2**512

    @pytest.mark.parametrize("bad", [True, 1.0, None, "1"])
    def test_int_to_limbs_type(self, bad):
        with pytest.raises(TypeError, match=r"Argument 'val' has incorrect type \(expected int, got "):
            zel._int_to_limbs(bad)

    def test_fp_to_value_forms(self):
        zero_neg = np.zeros(1, dtype=zel.FIXEDPOINT_DTYPE)[0]
        zero_neg["sign"] = -1
        assert zel._fp_to_value(zero_neg) == 0
        as_dict = {"sign": -1, **{f"limb{i}": (1 if i == 4 else 0) for i in range(8)}}
        assert zel._fp_to_value(as_dict) == -1
        q = zel._fp_to_value(zel._value_to_fp(Fraction(3, 4)))
        assert q == Fraction(3, 4) and q.denominator == 4


# ------------------------------------------------------ conversion kernels

def double_model(x: float) -> int:
    """Scaled integer the double -> record kernel must produce."""
    if math.isnan(x):
        return 0
    if math.isinf(x):
        return MAXM if x > 0 else -MAXM
    return sat(math.floor(Fraction(x) * S))


HARD_DOUBLES = [0.0, -0.0, 5e-324, -5e-324, 2.0**-256, -(2.0**-256), 2.0**-257, -(2.0**-257), 2.0**-300,
                -(2.0**-300), 1.5 * 2.0**-256, -1.5 * 2.0**-256, 2.0**255, -(2.0**255), 2.0**256, -(2.0**256),
                1.7976931348623157e308, -1.7976931348623157e308, math.inf, -math.inf, math.nan,
                (2 - 2**-52) * 2.0**255, 1 / 3, -1 / 3, 0.1, 2.0**60 + 4096]


class TestConversionKernels:
    def test_hard_doubles(self):
        t = zel.Tensor(np.array(HARD_DOUBLES))
        assert scaled(t) == [double_model(x) for x in HARD_DOUBLES]
        rec = records(t)
        assert set(rec["sign"].tolist()) <= {1, -1} and not rec["pad"].any()
        assert rec["sign"][1] == 1  # -0.0 is written as +0

    @settings(max_examples=examples(60))
    @given(st.lists(st.floats(width=64), min_size=1, max_size=300))
    def test_from_double_model(self, xs):
        assert scaled(zel.Tensor(np.array(xs, dtype=np.float64))) == [double_model(x) for x in xs]

    @settings(max_examples=examples(60))
    @given(st.lists(st.integers(min_value=-MAXM, max_value=MAXM), min_size=1, max_size=300))
    def test_to_double_correctly_rounded(self, ms):
        pairs = [(-1 if m < 0 else 1, abs(m)) for m in ms]
        got = zel.from_gpu(from_raw(pairs)._data)
        assert got == [float(Fraction(m, S)) for m in ms]

    def test_to_double_ties_to_even(self):
        # 2^53 + 1 and 2^53 + 3 units of 2^-200: exactly halfway cases
        ms = [(2**53 + 1) << 56, (2**53 + 3) << 56, -((2**53 + 1) << 56)]
        got = zel.from_gpu(from_raw([(-1 if m < 0 else 1, abs(m)) for m in ms])._data)
        assert got == [float(Fraction(m, S)) for m in ms]

    def test_raw_launch_form(self):
        n = 300
        d_in = np.linspace(-2, 2, n)
        if zel.BACKEND == "cuda":
            d_in = zel.cp.asarray(d_in)
        out = zel.cp.empty(n, dtype=zel.FIXEDPOINT_DTYPE) if zel.BACKEND == "cuda" else np.empty(n, zel.FIXEDPOINT_DTYPE)
        k = zel._get_kernel("fp_from_double_kernel")
        k((zel._grid(n),), (zel.BLOCK_SIZE,), (d_in, out, np.int32(n)))
        assert zel.from_gpu(out) == list(np.linspace(-2, 2, n))

    def test_raw_kernel_rejects_bad_arguments(self):
        k = zel._get_kernel("fp_to_double_kernel")
        recs = zel.to_gpu([1.0, 2.0])
        with pytest.raises(TypeError):
            k((1,), (256,), (recs, device_array(np.empty(2, np.float32)), np.int32(2)))
        with pytest.raises(TypeError):
            k((1,), (256,), (recs, device_array(np.empty(2))))
        with pytest.raises(ValueError):
            k((1, 1, 2), (256,), (recs, device_array(np.empty(2)), np.int32(2)))

        # A probe of a foreign object that fails means "not an array", but
        # Ctrl-C (or SystemExit) raised inside it reaches the caller as it is.
        def sneaky(exc):
            return type("Sneaky", (), {"__class__": property(lambda self: (_ for _ in ()).throw(exc))})()

        with pytest.raises(TypeError, match="kernel argument 0 must be"):
            k((1,), (256,), (sneaky(ValueError("no")), device_array(np.empty(2)), np.int32(2)))
        for exc in (KeyboardInterrupt, SystemExit):
            with pytest.raises(exc):
                k((1,), (256,), (sneaky(exc()), device_array(np.empty(2)), np.int32(2)))
        with pytest.raises(ValueError):
            zel._get_kernel("fp_no_such_kernel")


# ------------------------------------------------------------ device layer

class TestDeviceLayer:
    @pytest.mark.parametrize("n, g", [(1, 1), (256, 1), (257, 2), (0, 0), (1000, 4)])
    def test_grid(self, n, g):
        assert zel._grid(n) == g

    def test_to_gpu_paths(self):
        assert len(zel.to_gpu([])) == 0
        assert zel.from_gpu(zel.to_gpu([])) == [] and zel.from_gpu(zel.to_gpu([]), as_float=False) == []
        a = zel.from_gpu(zel.to_gpu([0.1]), as_float=False)[0]
        b = zel.from_gpu(zel.to_gpu([Fraction(1, 10)]), as_float=False)[0]
        assert a == Fraction(math.floor(Fraction(0.1) * S), S) and b == Fraction(S // 10, S) and a != b
        assert zel.from_gpu(zel.to_gpu(["0.1"]), as_float=False)[0] == b
        # the first element picks the path: a float after an int goes through a double
        assert zel.from_gpu(zel.to_gpu([1, Fraction(1, 3)]), as_float=False)[1] == Fraction(S // 3, S)
        assert zel.from_gpu(zel.to_gpu([1, 1 / 3]), as_float=False)[1] == Fraction(math.floor(Fraction(1 / 3) * S), S)
        assert zel.from_gpu(zel.to_gpu([Fraction(1, 3), 0.1]), as_float=False)[1] == b

    def test_integers_exact_on_every_path(self):
        big = [2**60 + 1, -(2**200) - 7, True, np.int64(-(2**62) - 1), np.uint64(2**64 - 1)]
        want = [Fraction(int(v)) for v in big]
        assert zel.from_gpu(zel.to_gpu(big), as_float=False) == want
        assert zel.from_gpu(zel.tensor([[2**60 + 1, 3]])._data, as_float=False)[0] == 2**60 + 1
        arr = np.array([2**62 + 1, -(2**63)], dtype=np.int64)
        assert zel.from_gpu(zel.Tensor(arr)._data, as_float=False) == [2**62 + 1, -(2**63)]
        assert zel.from_gpu(zel.Tensor(np.array([2**64 - 1], np.uint64))._data, as_float=False) == [2**64 - 1]
        assert zel.Tensor(np.array([[True, False]])).to_list() == [[1.0, 0.0]]
        assert zel.from_gpu(zel.to_gpu([2**300]), as_float=False)[0] == Fraction(MAXM, S)

    def test_from_gpu_values(self):
        arr = zel.to_gpu([Fraction(1, 2), Fraction(-3, 4)])
        assert zel.from_gpu(arr, as_float=False) == [Fraction(1, 2), Fraction(-3, 4)]
        assert zel.from_gpu(arr) == [0.5, -0.75]

    @pytest.mark.parametrize("bad", [(1, 2), None, type("L", (list,), {})([1])])
    def test_to_gpu_needs_exact_list(self, bad):
        with pytest.raises(TypeError, match="Argument 'values' has incorrect type"):
            zel.to_gpu(bad)

    def test_bad_elements(self):
        with pytest.raises(TypeError):
            zel.to_gpu([1, None])
        with pytest.raises(TypeError):
            zel.to_gpu([1, [2]])
        with pytest.raises(TypeError):
            zel.from_gpu(np.zeros(3))

    def test_copy_arr(self):
        arr = zel.to_gpu([1.5, -2.0, 3.25])
        c = zel._copy_arr(arr)
        assert zel.from_gpu(c) == [1.5, -2.0, 3.25] and not shares_memory(c, arr)
        one = zel._copy_arr(arr[1])
        assert one.shape == (1,) and zel.from_gpu(one) == [-2.0]
        with pytest.raises(ValueError):
            zel._copy_arr(device_array(np.zeros((2, 2), dtype=zel.FIXEDPOINT_DTYPE)))


# ------------------------------------------------------------------ Tensor

class TestTensor:
    def test_default_and_scalars(self):
        t = zel.Tensor()
        assert t.shape == () and t.numel == 1 and t.item() == 0.0
        assert zel.Tensor(5).shape == () and zel.Tensor(5).numel == 1 and zel.Tensor(5).item() == 5.0
        assert repr(zel.Tensor(5)) == "Tensor(5.0)"
        assert zel.Tensor([]).shape == (0,) and zel.Tensor([]).numel == 0

    def test_nested_and_repr(self):
        t = zel.Tensor([[1, 2, 3], [4, 5, 6]])
        assert t.shape == (2, 3) and t.to_list() == [[1.0, 2.0, 3.0], [4.0, 5.0, 6.0]]
        assert repr(t) == "Tensor([[1.0, 2.0, 3.0], [4.0, 5.0, 6.0]])"
        assert repr(zel.Tensor(list(range(11)))) == "Tensor(shape=(11,))"
        assert repr(zel.Tensor(list(range(10)))) == "Tensor([0.0, 1.0, 2.0, 3.0, 4.0, 5.0, 6.0, 7.0, 8.0, 9.0])"
        assert zel.Tensor([1, 2, 3, 4], shape=(2, 2)).to_list() == [[1.0, 2.0], [3.0, 4.0]]
        assert zel.Tensor([[[]]]).shape == (1, 1, 0)

    def test_numpy_inputs(self):
        assert zel.Tensor(np.zeros((2, 3))).shape == (2, 3)
        assert zel.Tensor(np.array(7.0)).shape == () and zel.Tensor(np.array(7.0)).item() == 7.0
        e = zel.Tensor(np.zeros((0, 4)))
        assert e.shape == (0, 4) and e.numel == 0
        assert zel.Tensor(np.arange(6, dtype=np.float32).reshape(2, 3)[:, ::2]).to_list() == [[0.0, 2.0], [3.0, 5.0]]

    def test_raw(self):
        arr = zel.to_gpu([1.0, 2.0, 3.0])
        t = zel.Tensor(_raw=arr)
        assert t.shape == (3,) and t._data is arr
        assert zel.Tensor(_raw=arr, shape=()).shape == (3,)
        assert zel.Tensor(_raw=arr, shape=(3, 1)).shape == (3, 1)
        for bad in ([1, 2], np.zeros(3), np.zeros((1, 3), dtype=zel.FIXEDPOINT_DTYPE)):
            with pytest.raises(TypeError):
                zel.Tensor(_raw=bad)

    def test_clone(self):
        c = zel.Tensor(5).clone()
        assert c.shape == (1,) and c.item() == 5.0
        t = zel.Tensor([[1, 2], [3, 4]])
        u = t.clone()
        assert u.shape == (2, 2) and u.to_list() == t.to_list() and not shares_memory(u._data, t._data)

    def test_item_requires_one_element(self):
        for t in (zel.Tensor([1, 2]), zel.Tensor([])):
            with pytest.raises(ValueError, match=r"^item\(\) requires single element$"):
                t.item()

    def test_exact_leaves(self):
        assert zel.Tensor([Fraction(1, 3), 1]).to_list() == [1 / 3, 1.0]
        third = zel.from_gpu(zel.Tensor([1, Fraction(1, 3)])._data, as_float=False)[1]
        assert third == Fraction(S // 3, S)

    def test_corrupt_shapes_refused(self):
        with pytest.raises(ValueError, match="ragged"):
            zel.Tensor([[1, 2], [3]])
        with pytest.raises(ValueError, match="ragged"):
            zel.Tensor([1, [2, 3]])
        with pytest.raises(ValueError, match="ragged"):
            zel.Tensor([[1, 2], 3])
        with pytest.raises(ValueError):
            zel.Tensor([1, 2, 3], shape=(2, 2))
        with pytest.raises(ValueError):
            zel.Tensor(np.zeros(4), shape=(3,))
        with pytest.raises(ValueError):
            zel.Tensor([1], shape=(-1,))

    def test_flatten_unflatten(self):
        assert zel.Tensor._flatten(5) == ([5], ())
        assert zel.Tensor._flatten([]) == ([], (0,))
        assert zel.Tensor._flatten(((1, 2), (3, 4))) == ([1, 2, 3, 4], (2, 2))
        assert zel.Tensor._unflatten([1.0, 2.0, 3.0], ()) == 1.0
        assert zel.Tensor._unflatten([], ()) == 0.0
        assert zel.Tensor._unflatten([1, 2, 3], (2,)) == [1, 2]
        assert zel.Tensor._unflatten(list(range(6)), (3, 2)) == [[0, 1], [2, 3], [4, 5]]

    def test_slots(self):
        t = zel.Tensor([1])
        assert set(zel.Tensor.__slots__) == {"_data", "_shape"}
        with pytest.raises(AttributeError):
            t.extra = 1

    def test_device_array_as_data_is_a_scalar(self):
        arr = zel.to_gpu([1.0])
        with pytest.raises(TypeError):
            zel.Tensor(arr if zel.BACKEND == "cuda" else object())


def test_type_stub_names_every_public_name():
    stub = os.path.join(os.path.dirname(zel.__file__), "zel.pyi")
    text = open(stub).read()
    missing = [n for n in zel.__all__ if not re.search(rf"^(def|class) {n}\b|^{n}:", text, re.M)]
    assert not missing, f"regenerate the stub (make stubs): {missing}"
    assert os.path.exists(os.path.join(os.path.dirname(zel.__file__), "py.typed"))


@pytest.mark.parametrize("name, sizes, ints", [
    ("fp_add_kernel", (3, 2, 3), (3,)),
    ("fp_neg_kernel", (3, 2), (3,)),
    ("fp_add_bcast_kernel", (1, 3, 3), (3, 1, 1)),
    ("fp_add_bcast_kernel", (3, 3, 3), (3, 2, 1)),
    ("fp_mm_kernel", (4, 4, 3), (2, 2, 2)),
    ("fp_mv_kernel", (6, 2, 2), (2, 3)),
    ("fp_diff_kernel", (3, 3), (3,)),
    ("fp_eye_kernel", (8,), (3,)),
    ("fp_cumsum_kernel", (5, 6), (2, 3)),
    ("fp_diag_kernel", (4, 2), (2, 1)),
    ("fp_sum_partial_kernel", (4, 4, 3), (4, 2, 0)),
    ("fp_clamp_kernel", (3, 3, 0, 1), (3,)),
    ("fp_add_kernel", (3, 3, 3), (-1,)),
])
def test_raw_launch_never_leaves_its_arrays(name, sizes, ints):
    args = tuple(device_array(np.zeros(s, zel.FIXEDPOINT_DTYPE)) for s in sizes) + tuple(np.int32(i) for i in ints)
    with pytest.raises(ValueError):
        zel._get_kernel(name)((1, 1), (256, 1), args)


def test_package_shares_the_extensions_mutable_state():
    # State the extension keeps (random generator, NumPy patches) must read and
    # write through the package, not a stale copy.
    before = getattr(zel.zel, "_lcg_state", None)
    zel.zel._lcg_state = 12345
    try:
        assert zel._lcg_state == 12345
        zel._lcg_state = 7
        assert zel.zel._lcg_state == 7
    finally:
        if before is None:
            del zel.zel._lcg_state
        else:
            zel.zel._lcg_state = before
    with pytest.raises(AttributeError):
        zel._no_such_name


@settings(max_examples=examples(300))
@given(st.integers(min_value=-(2**600), max_value=2**600), st.integers(min_value=1, max_value=2**130),
       st.integers(min_value=0, max_value=130))
def test_ratios_with_one_and_two_limb_denominators(n, d, shift):
    # the division engine's short, 3-by-2 and general paths meet here
    q = Fraction(n, d << shift)
    assert fp_scaled(zel._value_to_fp(q)) == floor_scaled(q)


def test_division_by_one_and_two_limb_magnitudes():
    import random
    from zelmodel import from_scaled, model_div, scaled as sc
    rng = random.Random(5)
    a = [rng.getrandbits(rng.choice([64, 200, 400, 511])) * rng.choice([-1, 1]) for _ in range(3000)]
    b = [(rng.getrandbits(rng.choice([1, 63, 64, 65, 100, 127, 128])) | 1) * rng.choice([-1, 1]) for _ in range(3000)]
    assert sc(zel.div(from_scaled(a), from_scaled(b))) == [model_div(x, y) for x, y in zip(a, b)]
