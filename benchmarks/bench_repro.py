"""Random numbers, checksums and sparse products against their pure-Python
and gmpy2 neighbours, measured in the same run.

Run: python -P benchmarks/bench_repro.py
"""
import hashlib
import os
import sys
from fractions import Fraction

import numpy as np

sys.path.insert(0, os.path.dirname(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests"))
from harness import best_seconds, ratio  # noqa: E402

import korvid.zel as zel  # noqa: E402
from fastrec import checksum_bytes, python_records  # noqa: E402

A, M = 48271, 2**31 - 1
SCALE = 2**256


def py_rand(n, state, normal):
    """The documented generator in plain Python: Fractions, floor rounding, records."""
    vals = []
    for _ in range(n):
        if normal:
            total = Fraction(0)
            for _ in range(12):
                state = (A * state) % M
                total += Fraction(state, M)
            vals.append(total - 6)
        else:
            state = (A * state) % M
            vals.append(Fraction(state, M))
    return python_records(vals), state


def host(t):
    d = t._data
    return np.asarray(d.get() if hasattr(d, "get") else d)


def mem_available():
    try:
        for line in open("/proc/meminfo"):
            if line.startswith("MemAvailable:"):
                return int(line.split()[1]) * 1024
    except OSError:
        pass
    return 0


class Rows:
    """Figures in the unit their label names (ms, MB/s), with targets."""

    def __init__(self, title):
        self.title, self.rows = title, []

    def add(self, name, value, unit, target=None, note="", higher_is_better=False):
        self.rows.append((name, value, unit, target, note, higher_is_better))

    def show(self):
        print(f"\n== {self.title}")
        print(f"{'measurement':40s} {'value':>10s} {'unit':5s} {'target':>8s}  note")
        for name, value, unit, target, note, hib in self.rows:
            flag, tg = "", " " * 8
            if target is not None:
                tg = f"{target:8.0f}"
                flag = "  ok" if (value >= target if hib else value <= target) else "  MISSED"
            print(f"{name:40s} {value:10.1f} {unit:5s} {tg}{flag}  {note}")


def bench_random(t):
    for normal in (False, True):
        name = "randn" if normal else "rand"
        fn = zel.randn if normal else zel.rand
        zel.manual_seed(0)  # state 1
        want, _ = py_rand(1000, 1, normal)
        zel.manual_seed(0)
        assert host(fn(1000)).tobytes() == want  # same records as the reference
        py_s = best_seconds(lambda: py_rand(10**4, 1, normal), repeat=2, min_time=0)
        for n in (10**4, 10**6):
            z_s = best_seconds(lambda: fn(n), repeat=3, min_time=0.05 if n < 10**6 else 0)
            py_n = py_s * n / 10**4
            note = f"pure Python {py_n:.3g} s{' (from 10^4)' if n > 10**4 else ''}: {ratio(py_n, z_s)} faster"
            t.add(f"{name}(10^{len(str(n)) - 1})", z_s * 1e3, "ms", None, note)
    z_s = best_seconds(lambda: zel.randn(1024, 1024), repeat=3, min_time=0)
    py_n = best_seconds(lambda: py_rand(10**4, 1, True), repeat=2, min_time=0) * 1024 * 1024 / 10**4
    t.add("randn(1024, 1024)", z_s * 1e3, "ms", 200,
          f"pure Python {py_n:.3g} s (from 10^4): {ratio(py_n, z_s)} faster (target 300x)")


def bench_checksum(t):
    zel.manual_seed(2)
    x = zel.randn(10**6)
    data = checksum_bytes(host(x))
    assert zel.checksum(x) == hashlib.sha256(data).hexdigest()
    z_s = best_seconds(lambda: zel.checksum(x), repeat=3, min_time=0)
    h_s = best_seconds(lambda: hashlib.sha256(data).hexdigest(), repeat=3, min_time=0)
    mb = len(data) / 1e6
    t.add("checksum(10^6 records)", mb / z_s, "MB/s", 0.5 * mb / h_s,
          f"hashlib.sha256 of the packed bytes {mb / h_s:.0f} MB/s: {h_s / z_s:.2f} of it (target 0.5)",
          higher_is_better=True)


def device_records(h):
    """A host record array on the active backend (raw bytes on a device)."""
    if zel.BACKEND != "cuda":
        return h
    out = zel.cp.empty(h.shape, dtype=h.dtype)
    out.data.copy_from_host(h.ctypes.data, h.nbytes)
    return out


def bench_sparse(t):
    n, nnz = 10**4, 10**5
    rng = np.random.default_rng(3)
    flat = np.sort(rng.choice(n * n, size=nnz, replace=False))
    vals = rng.normal(size=nnz)
    r_of, c_of = flat // n, flat % n
    csr = type("CSR", (), {})()
    csr.shape, csr.data, csr.indices = (n, n), vals, c_of.astype(np.int32)
    csr.indptr = np.searchsorted(r_of, np.arange(n + 1)).astype(np.int32)
    sp = zel.SparseTensor.from_scipy(csr)
    x = zel.Tensor(rng.normal(size=n))
    sp_s = best_seconds(lambda: zel.sparse_mv(sp, x), repeat=3)

    # The dense matrix takes 72 bytes an element (7.2 GB at 10^4 x 10^4): on
    # a shared machine the dense product runs on at most 2 GB of leading rows
    # (less when memory is short) and its time, linear in the rows, is scaled
    # to the whole matrix.
    budget = min(2e9, mem_available() / 4)
    rows = max(1, min(n, int(budget / (72 * n))))
    keep = r_of < rows
    dense = np.zeros(rows * n, dtype=zel.FIXEDPOINT_DTYPE)
    dense[flat[keep]] = host(zel.Tensor(_raw=sp._values))[keep]
    A = zel.Tensor(_raw=device_records(dense), shape=(rows, n))
    y = zel.mv(A, x)
    assert host(y).tobytes() == host(zel.sparse_mv(sp, x))[:rows].tobytes()  # record for record
    mv_s = best_seconds(lambda: zel.mv(A, x), repeat=2, min_time=0) * n / rows
    del A, y, dense

    import gmpy2
    xv = [gmpy2.mpz(int(Fraction(v) * SCALE)) for v in zel.from_gpu(x._data, as_float=False)]
    sv = [gmpy2.mpz(int(Fraction(v) * SCALE)) for v in vals.tolist()]
    cols = c_of.tolist()
    ptr = csr.indptr.tolist()

    def gmp_loop():
        out = []
        for r in range(n):
            acc = gmpy2.mpz(0)
            for k in range(ptr[r], ptr[r + 1]):
                acc += sv[k] * xv[cols[k]]
            out.append(acc >> 256)
        return out

    g_s = best_seconds(gmp_loop, repeat=2, min_time=0)
    scaled = "" if rows == n else f" (timed on {rows} rows, scaled)"
    t.add("sparse_mv 10^4 x 10^4, 10^5 nnz", sp_s * 1e3, "ms", None,
          f"dense mv {mv_s * 1e3:.0f} ms{scaled}: {ratio(mv_s, sp_s)} slower; gmpy2 loop {g_s * 1e3:.0f} ms: "
          f"{ratio(g_s, sp_s)} slower")


def main() -> None:
    t = Rows(f"random numbers, checksums, sparse products on the {zel.BACKEND} backend")
    bench_random(t)
    bench_checksum(t)
    bench_sparse(t)
    t.show()


if __name__ == "__main__":
    main()
