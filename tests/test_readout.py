"""Exact read-outs (to_fractions, to_strings, format), NumPy's protocols,
pickling and copies, against the Python-integer model and Python's own float
formatting (which is exact on the binary value of a double)."""
import copy
import os
import pickle
import subprocess
import sys
from fractions import Fraction

import numpy as np
import pytest
from hypothesis import given, settings

import korvid.zel as zel
import korvid.zel.cuda.cubin_loader as loader
from profiles import examples
from zelmodel import MAXM, S, device_array, from_raw, from_scaled, hard_scaled, raw_array, records, scaled_ints, shares_memory

HERE = os.path.dirname(os.path.abspath(__file__))


def model_exact(m: int) -> str:
    """The exact decimal expansion of m / 2^256 on Python integers."""
    i, f = divmod(abs(m), S)
    frac = str(f * 5**256).rjust(256, "0").rstrip("0")
    return ("-" if m < 0 else "") + str(i) + ("." + frac if frac else "")


def model_fixed(m: int, d: int) -> str:
    """m / 2^256 rounded half to even to d places, as Python formats floats
    ('-' kept on a negative value that rounds to zero)."""
    q, r = divmod(abs(m) * 10**d, S)
    if 2 * r > S or (2 * r == S and q & 1):
        q += 1
    digits = str(q).rjust(d + 1, "0")
    body = digits[: len(digits) - d] + ("." + digits[len(digits) - d:] if d else "")
    return ("-" if m < 0 else "") + body


HARD = hard_scaled() + [S // 2 * 3, -(S // 2 * 5), S // 8, 3 * S // 8, S // 2**60 + S]


class TestExactDigits:
    def test_fractions_and_strings_of_hard_records(self):
        t = from_scaled(HARD)
        assert zel.to_fractions(t) == [Fraction(m, S) for m in HARD]
        assert zel.to_strings(t) == [model_exact(m) for m in HARD]
        fr = zel.to_fractions(t)
        assert all(type(f) is Fraction and f == Fraction(f.numerator, f.denominator) for f in fr)
        assert hash(fr[-1]) == hash(Fraction(HARD[-1], S))
        # the extremes spelled out
        assert zel.to_strings(from_scaled([1]))[0].startswith("0." + "0" * 77 + "8636168555")
        assert len(zel.to_strings(from_scaled([1]))[0]) == 2 + 256
        assert zel.to_strings(from_scaled([MAXM]))[0] == model_exact(MAXM)

    def test_zero_and_sign_fields(self):
        # zero with sign 0 or -1 is plain zero; a sign field of 0 on a magnitude reads as positive
        t = from_raw([(0, 0), (-1, 0), (0, S), (-7, S // 4), (1, 0)])
        assert zel.to_fractions(t) == [0, 0, 1, Fraction(-1, 4), 0]
        assert zel.to_strings(t) == ["0", "0", "1", "-0.25", "0"]
        assert zel.to_strings(t, 2) == ["0.00", "0.00", "1.00", "-0.25", "0.00"]

    @pytest.mark.parametrize("d", [0, 1, 2, 3, 17, 60, 76, 77, 78, 255, 256, 300])
    def test_rounded_strings_match_the_model(self, d):
        ms = HARD + [1, -1, 5 * S // 2, -(S // 2), S // 2, 3 * S // 2, S // 1024 * 5]
        assert zel.to_strings(from_scaled(ms), d) == [model_fixed(m, d) for m in ms]

    def test_rounding_ties_go_to_even(self):
        t = zel.tensor([0.5, 1.5, 2.5, -2.5, 0.125, 0.375, -0.625, 9.5, 99.5])
        assert zel.to_strings(t, 0) == ["0", "2", "2", "-2", "0", "0", "-1", "10", "100"]
        assert zel.to_strings(t, 2) == ["0.50", "1.50", "2.50", "-2.50", "0.12", "0.38", "-0.62", "9.50", "99.50"]
        # 2^-256 ends in ...5 at its 256th place: a tie one place earlier
        one = zel.to_strings(from_scaled([1, 3]), 255)
        assert one == [model_fixed(1, 255), model_fixed(3, 255)]
        assert one[0][-1] in "02468" and one[1][-1] in "02468"
        # a negative value that rounds to zero keeps its sign, as Python's floats do
        assert zel.to_strings(zel.tensor([-0.001]), 2) == ["-0.00"] == [format(-0.001, ".2f")]

    @settings(max_examples=examples(60), deadline=None)
    @given(scaled_ints)
    def test_any_record(self, m):
        t = from_scaled([m])
        assert zel.to_fractions(t) == [Fraction(m, S)]
        assert zel.to_strings(t) == [model_exact(m)]
        assert zel.to_strings(t, 40) == [model_fixed(m, 40)]

    def test_nesting_follows_to_list(self):
        t = zel.tensor([[1, 2, 3], [4, 5, Fraction(-1, 2)]])
        assert zel.to_fractions(t) == [[1, 2, 3], [4, 5, Fraction(-1, 2)]]
        assert zel.to_strings(t) == [["1", "2", "3"], ["4", "5", "-0.5"]]
        z = zel.tensor(Fraction(7, 4))
        assert z.shape == () and zel.to_fractions(z) == Fraction(7, 4) and zel.to_strings(z, 1) == "1.8"
        assert zel.to_fractions(zel.tensor([])) == [] and zel.to_strings(zel.zeros(2, 0)) == [[], []]
        assert zel.to_fractions(zel.zeros(2, 1, 2)) == [[[0, 0]], [[0, 0]]]

    def test_arguments_are_checked(self):
        t = zel.tensor([1])
        with pytest.raises(TypeError, match="Argument 'digits' has incorrect type"):
            zel.to_strings(t, True)
        with pytest.raises(TypeError):
            zel.to_strings(t, 2.0)
        with pytest.raises(ValueError, match="digits"):
            zel.to_strings(t, -1)
        with pytest.raises(ValueError, match="digits"):
            zel.to_strings(t, 10**30)
        with pytest.raises(AttributeError):
            zel.to_fractions([1, 2])
        bad = zel.tensor([1, 2, 3])
        bad._shape = (2, 2)
        with pytest.raises(ValueError, match="holds 4 elements but the data has 3"):
            zel.to_strings(bad)
        assert "to_fractions" not in zel.__all__ and "to_strings" not in zel.__all__


DOUBLES = [0.0, 1.0, -2.5, 0.125, 0.375, -0.625, 1e-5, 5e-5, 1e-4, 123456.789, -9.999, 99.95, 9.5, 1e16,
           1e20, 2.0**-30, 0.1, -1 / 3, 2.0**200 + 2.0**150, 7.0e-60]
SPECS = [".60f", ".0f", ".3f", ".10e", ".0e", ".5g", ".1g", ".0g", ".17g", ".25g", "f", "e", "g", "+.3f", " .2e",
         "-.1f", "z.1f", "12.3f", "<12.3f", "^13.3f", "=+12.3f", "012.3f", "*>14.2e", "x<9.1f", ".3F", ".3E",
         ".4G", ".300f"]


class TestFormat:
    @pytest.mark.parametrize("fmt", SPECS)
    def test_elements_format_as_python_floats(self, fmt):
        t = zel.tensor(DOUBLES)
        assert format(t, fmt) == "[" + ", ".join(format(x, fmt) for x in DOUBLES) + "]"
        for x in DOUBLES[:6]:
            assert format(zel.tensor(x), fmt) == format(x, fmt)

    def test_fstrings_nesting_and_empty_spec(self):
        t = zel.tensor([[1, 2], [3, Fraction(1, 3)]])
        assert f"{t:.2f}" == "[[1.00, 2.00], [3.00, 0.33]]"
        assert f"{t}" == str(t) == format(t, "") == repr(t)
        assert format(zel.tensor([]), ".3e") == "[]" and format(zel.zeros(2, 0), "g") == "[[], []]"
        big = zel.arange(0, 12, 1)
        assert format(big, ".0f") == "[" + ", ".join(str(i) for i in range(12)) + "]"

    def test_format_agrees_with_to_strings(self):
        ms = HARD[:40]
        t = from_scaled(ms)
        for d in (0, 5, 80, 256):
            assert format(t, f".{d}f") == "[" + ", ".join(zel.to_strings(t, d)) + "]"

    def test_exact_values_beyond_doubles(self):
        third = zel.tensor(Fraction(1, 3))
        assert format(third, ".70e") == "3." + "3" * 70 + "e-01"
        assert format(from_scaled([MAXM]), ".5e") == "[1.15792e+77]"
        assert format(from_scaled([1, -1]), ".3e") == "[8.636e-78, -8.636e-78]"
        assert format(from_scaled([-1]), ".3g") == "[-8.64e-78]"
        assert format(from_scaled([S - 1]), ".10f") == "[1.0000000000]"  # carries into the integer part
        assert format(from_scaled([10 * S - 1]), ".2e") == "[1.00e+01]"  # carries into the exponent
        assert format(from_scaled([10 * S - 1]), ".3g") == "[10]"

    @pytest.mark.parametrize("fmt", ["d", ",.2f", "_.2f", "#.2f", ".2", "10", "x", ".f", "%", ".2fx", "s"])
    def test_other_specs_are_refused(self, fmt):
        with pytest.raises(ValueError, match="Invalid format specifier"):
            format(zel.tensor([1.0]), fmt)


class TestNumpy:
    @pytest.mark.parametrize("shape", [(), (5,), (2, 3), (0,)])
    def test_asarray_shapes(self, shape):
        rng = np.random.default_rng(1)
        host = rng.normal(size=shape) * 100
        t = zel.Tensor(host)
        a = np.asarray(t)
        assert a.dtype == np.float64 and a.shape == shape
        assert np.array_equal(a, host)
        o = np.asarray(t, dtype=object)
        assert o.shape == shape and o.dtype == object
        assert o.tolist() == zel.to_fractions(t) if shape else o[()] == zel.to_fractions(t)
        assert np.asarray(t, dtype=np.float32).dtype == np.float32

    def test_doubles_are_correctly_rounded(self):
        ms = [S + (S >> 53), S + (S >> 53) + 1, 3 * S + (S >> 52) * 3, MAXM, -1, 1, S // 3]
        a = np.asarray(from_scaled(ms))
        assert a.tolist() == [float(Fraction(m, S)) for m in ms]
        with pytest.raises(ValueError, match="copy"):
            np.asarray(zel.tensor([1.0]), copy=False)
        assert np.array(zel.tensor([1.0, 2.0]), copy=True).tolist() == [1.0, 2.0]

    def test_numpy_operands_defer_to_tensor(self):
        t = zel.tensor([1, 2])
        for r in (np.array([1.0, 2.0]) + t, t + np.array([1.0, 2.0])):
            assert isinstance(r, zel.Tensor) and r.to_list() == [2.0, 4.0]
        r = np.float64(2) * t
        assert isinstance(r, zel.Tensor) and r.to_list() == [2.0, 4.0]
        r = np.int64(3) - t
        assert isinstance(r, zel.Tensor) and r.to_list() == [2.0, 1.0]
        r = np.array([[1.0], [2.0]]) / t
        assert isinstance(r, zel.Tensor) and r.to_list() == [[1.0, 0.5], [2.0, 1.0]]
        for f in (lambda: np.exp(t), lambda: np.add(np.ones(2), t), lambda: np.sqrt(t)):
            with pytest.raises(TypeError):
                f()
        # comparison and hashing stay those of the root object
        assert (np.array([1.0, 2.0]) == t) is False and hash(t) == object.__hash__(t)


def roundtrip_bits(t, proto=pickle.HIGHEST_PROTOCOL):
    u = pickle.loads(pickle.dumps(t, proto))
    return u, records(u).tobytes() == records(t).tobytes()


class TestPickle:
    @pytest.mark.parametrize("proto", range(pickle.HIGHEST_PROTOCOL + 1))
    def test_round_trip_is_bit_exact(self, proto):
        t = from_scaled(HARD)
        u, same = roundtrip_bits(t, proto)
        assert same and u.shape == t.shape and type(u) is zel.Tensor
        # odd sign and pad fields survive as they are
        odd = raw_array([(0, S), (-5, 2 * S), (0, 0), (-1, 0)])
        odd["pad"] = [3, 0, -1, 7]
        _, same = roundtrip_bits(zel.Tensor(_raw=device_array(odd)), proto)
        assert same

    @pytest.mark.parametrize("shape", [(), (3,), (2, 3), (0,), (2, 0, 1)])
    def test_shapes(self, shape):
        t = zel.Tensor(np.arange(int(np.prod(shape)), dtype=float).reshape(shape) / 3)
        u, same = roundtrip_bits(t)
        assert same and u.shape == shape and zel.to_fractions(u) == zel.to_fractions(t)

    def test_copies_are_independent(self):
        t = zel.tensor([[1, 2], [3, 4]])
        for c in (copy.copy(t), copy.deepcopy(t), copy.deepcopy([t, t])[0]):
            assert type(c) is zel.Tensor and c.shape == (2, 2) and c._data is not t._data
            assert records(c).tobytes() == records(t).tobytes()
            assert not shares_memory(c._data, t._data)
        pair = copy.deepcopy([t, t])
        assert pair[0] is pair[1]  # the memo keeps shared references shared
        z = copy.deepcopy(zel.tensor(5))
        assert z.shape == () and zel.to_fractions(z) == 5

    def test_subclass_and_instance_dict(self):
        t = Tagged([1, 2, 3])
        t.tag = {"unit": "m"}
        for u in (pickle.loads(pickle.dumps(t)), copy.deepcopy(t), copy.copy(t)):
            assert type(u) is Tagged and u.tag == {"unit": "m"} and u.to_list() == [1.0, 2.0, 3.0]
        assert copy.deepcopy(t).tag is not t.tag and copy.copy(t).tag is t.tag

    def test_versioned_state_is_checked(self):
        fn, args, state = zel.tensor([1, 2]).__reduce__()
        assert state[0] == 1 and state[1] == (2,) and isinstance(state[2], bytes) and len(state[2]) == 144
        bad = [((2,) + state[1:], ValueError, "version 2 is not supported"),
               (("1",) + state[1:], TypeError, "version must be an int"),
               ((1, (3,), state[2]), ValueError, "144 bytes of records, expected 3"),
               ((1, (2,), state[2][:-1]), ValueError, "143 bytes"),
               ((1, (2,), "x" * 144), TypeError, "bytes"),
               ((1, (-2,), b""), ValueError, "non-negative"),
               ((1,), ValueError, "holds"),
               ([1, (2,), state[2]], TypeError, "tuple")]
        for st, exc, msg in bad:
            with pytest.raises(exc, match=msg):
                fn(*args).__setstate__(st)  # what unpickling does with the stored state

    def test_loads_on_the_other_backend(self, tmp_path):
        other = "cpu" if zel.BACKEND == "cuda" else "cuda"
        env = dict(os.environ, ZEL_BACKEND=other)
        if other == "cuda":
            if not os.path.exists(loader.KERNEL_SET_PATH):
                pytest.skip("no CUDA kernel set built (no nvcc)")
            if not zel.HAS_CUPY:
                env["PYTHONPATH"] = os.pathsep.join([os.path.join(HERE, "fake_cupy")] +
                                                    [p for p in env.get("PYTHONPATH", "").split(os.pathsep) if p])
        ms = HARD[: len(HARD) // 2 * 2]
        t = from_scaled(ms, shape=(len(ms) // 2, 2))
        src, back = tmp_path / "here.pkl", tmp_path / "there.pkl"
        src.write_bytes(pickle.dumps(t))
        code = (
            "import pickle, sys, korvid.zel as zel\n"
            f"t = pickle.loads(open({str(src)!r}, 'rb').read())\n"
            "assert zel.BACKEND == sys.argv[1], zel.BACKEND\n"
            "u = zel.add(t, zel.zeros(*t.shape))\n"  # computes there: a device array of that backend
            f"open({str(back)!r}, 'wb').write(pickle.dumps(u))\n"
            "print(t.shape)\n")
        r = subprocess.run([sys.executable, "-P", "-c", code, other], capture_output=True, text=True, env=env,
                           timeout=300)
        assert r.returncode == 0, r.stderr
        assert r.stdout.strip() == str(t.shape)
        u = pickle.loads(back.read_bytes())
        assert u.shape == t.shape and zel.to_fractions(u) == zel.to_fractions(t)


class Tagged(zel.Tensor):
    pass
