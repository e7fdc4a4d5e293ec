"""Exact read-outs: to_fractions, to_strings, format(), NumPy's asarray and
pickling, in records per second, against the same rule in plain Python.

Run: python -P benchmarks/bench_readout.py
"""
import os
import pickle
import random
import sys
from fractions import Fraction

import numpy as np

sys.path.insert(0, os.path.dirname(__file__))
from harness import Table, ns_per, ratio  # noqa: E402

import korvid.zel as zel  # noqa: E402

S = 2**256
P5 = 5**256


def python_fraction(m):
    return Fraction(m, S)


def python_string(m):
    """The exact expansion on Python integers: |m| 5^256 / 10^256."""
    sign = "-" if m < 0 else ""
    i, f = divmod(abs(m), S)
    frac = str(f * P5).rjust(256, "0").rstrip("0")
    return sign + str(i) + ("." + frac if frac else "")


def main() -> None:
    n = 10**5
    rng = random.Random(7)
    # Full-resolution records: 256 fraction bits and integer parts up to 2^40.
    ms = [rng.choice((-1, 1)) * rng.randrange(1, 2**296) for _ in range(n)]
    t = zel.tensor([Fraction(m, S) for m in ms])
    assert zel.to_fractions(t)[:100] == [python_fraction(m) for m in ms[:100]]
    assert zel.to_strings(t)[:100] == [python_string(m) for m in ms[:100]]

    tab = Table(f"exact read-outs on the {zel.BACKEND} backend, 10^5 records (integer part < 2^40)")
    py_n = n // 10
    frac_ns = ns_per(lambda: zel.to_fractions(t), n, repeat=3)
    py_frac = ns_per(lambda: [python_fraction(m) for m in ms[:py_n]], py_n, repeat=3)
    tab.add("to_fractions", frac_ns, 10000, f"{1e9 / frac_ns:,.0f} records/s; Fraction(m, 2^256): {ratio(py_frac, frac_ns)}")
    str_ns = ns_per(lambda: zel.to_strings(t), n, repeat=3)
    py_str = ns_per(lambda: [python_string(m) for m in ms[:py_n]], py_n, repeat=3)
    tab.add("to_strings (exact, up to 256 places)", str_ns, None,
            f"{1e9 / str_ns:,.0f} records/s; Python ints: {ratio(py_str, str_ns)}")
    r60 = ns_per(lambda: zel.to_strings(t, 60), n, repeat=3)
    tab.add("to_strings(t, 60)", r60, None, f"{1e9 / r60:,.0f} records/s")
    f60 = ns_per(lambda: format(t, ".60f"), n, repeat=3)
    tab.add("format(t, '.60f')", f60, None, f"{1e9 / f60:,.0f} records/s")
    e30 = ns_per(lambda: format(t, ".30e"), n, repeat=3)
    tab.add("format(t, '.30e')", e30, None, f"{1e9 / e30:,.0f} records/s")
    arr_ns = ns_per(lambda: np.asarray(t), n, repeat=3)
    tab.add("np.asarray(t) (float64)", arr_ns)
    pk_ns = ns_per(lambda: pickle.loads(pickle.dumps(t)), n, repeat=3)
    tab.add("pickle.dumps + loads", pk_ns)
    tab.show()


if __name__ == "__main__":
    main()
