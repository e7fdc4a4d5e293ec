"""The device benchmark keeps working on every backend (small sizes)."""
import os
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def test_bench_gpu_small_runs():
    r = subprocess.run([sys.executable, "-P", os.path.join(ROOT, "benchmarks", "bench_gpu.py"), "--small"],
                       capture_output=True, text=True, timeout=600)
    assert r.returncode == 0, r.stderr
    lines = r.stdout.splitlines()
    for name in ("copy (device to device)", "add", "mul", "div", "exp", "sin", "sum", "mm 32x32",
                 "softmax (4, 2000)", "cumsum (4, 2000)"):
        row = [ln for ln in lines if ln[:28].rstrip() == name]
        assert len(row) == 1, (name, r.stdout)
        rate = float(row[0][28:].split()[1])
        assert rate > 0
    assert any(ln.startswith("add bandwidth / copy bandwidth: ") for ln in lines)
