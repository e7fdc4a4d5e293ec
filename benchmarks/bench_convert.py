"""Bulk and exact conversions: records per second against pure Python.

Run: python -P benchmarks/bench_convert.py
"""
import os
import random
import sys
from fractions import Fraction

import numpy as np

sys.path.insert(0, os.path.dirname(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests"))
from harness import Table, ns_per, ratio  # noqa: E402

import korvid.zel as zel  # noqa: E402
from fastrec import python_records  # noqa: E402


def main() -> None:
    n = 10**6
    rng = random.Random(1)
    floats = [rng.uniform(-1e6, 1e6) for _ in range(n)]
    arr = np.array(floats)
    t = Table(f"conversions on the {zel.BACKEND} backend")
    t.add("Tensor(numpy float64 array), 10^6", ns_per(lambda: zel.Tensor(arr), n), 10)
    t.add("tensor(list of floats), 10^6", ns_per(lambda: zel.tensor(floats), n), 40)
    x = zel.Tensor(arr)
    t.add("to_list() back to floats, 10^6", ns_per(lambda: x.to_list(), n), 40)

    m = 10**5
    for label, top, den in (("100-bit / 67-bit", 10**30, 10**20), ("20-bit / 20-bit", 10**6, 10**6)):
        fracs = [Fraction(rng.randint(-top, top), rng.randint(1, den)) for _ in range(m)]
        zel_ns = ns_per(lambda: zel.to_gpu(fracs), m, repeat=3)
        py_n = m // 20
        host = zel.to_gpu(fracs[:100])
        host = host.get() if hasattr(host, "get") else host
        assert python_records(fracs[:100]) == np.asarray(host).tobytes()
        py_ns = ns_per(lambda: python_records(fracs[:py_n]), py_n, repeat=3)
        t.add(f"to_gpu(10^5 Fractions, {label})", zel_ns, None,
              f"pure Python rule {py_ns:.0f} ns: {ratio(py_ns, zel_ns)} faster")
    back_ns = ns_per(lambda: zel.from_gpu(zel.to_gpu(fracs[:10**4]), as_float=False), 10**4, repeat=3)
    t.add("to_gpu + from_gpu(as_float=False), 10^4", back_ns)
    t.show()


if __name__ == "__main__":
    main()
