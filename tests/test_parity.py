"""Same bits on every backend and thread count.

The cuda code path is driven here through a stand-in CuPy (tests/fake_cupy)
whose kernels are the CPU builds of the same bodies; on a GPU machine the
same battery runs with the real CuPy (see tests/parity.py).
"""
import json
import os
import subprocess
import sys

import pytest

import korvid.zel as zel
import korvid.zel.cuda.cubin_loader as loader

HERE = os.path.dirname(os.path.abspath(__file__))


def battery(**env):
    e = dict(os.environ)
    e.update(env)
    r = subprocess.run([sys.executable, "-P", os.path.join(HERE, "parity.py")], capture_output=True, text=True,
                       env=e, timeout=600)
    assert r.returncode == 0, r.stderr
    return json.loads(r.stdout)


@pytest.fixture(scope="module")
def cpu_two_threads():
    return battery(ZEL_BACKEND="cpu", OMP_NUM_THREADS="2")


def without_backend(d):
    return {k: v for k, v in d.items() if k != "backend"}


def test_thread_count_does_not_change_bits(cpu_two_threads):
    one = battery(ZEL_BACKEND="cpu", OMP_NUM_THREADS="1")
    assert without_backend(one) == without_backend(cpu_two_threads)
    assert not [k for k, v in cpu_two_threads.items() if v.startswith("error")]


@pytest.mark.skipif(not os.path.exists(loader.KERNEL_SET_PATH), reason="no CUDA kernel set built (no nvcc)")
def test_cuda_code_path_matches_cpu(cpu_two_threads):
    path = [os.path.join(HERE, "fake_cupy")] + [p for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p]
    fake = battery(ZEL_BACKEND="cuda", OMP_NUM_THREADS="2", PYTHONPATH=os.pathsep.join(path))
    assert fake["backend"] == "cuda"
    assert without_backend(fake) == without_backend(cpu_two_threads)


@pytest.mark.skipif(zel.BACKEND != "cuda", reason="needs a GPU")
def test_real_gpu_matches_cpu(cpu_two_threads):
    gpu = battery(ZEL_BACKEND="cuda")
    assert without_backend(gpu) == without_backend(cpu_two_threads)
