"""Device throughput on the active backend: elements per second of the main
kernels, with a device-to-device copy of the same bytes as the bandwidth
reference, all measured in one run.

    ZEL_BACKEND=cuda python -P benchmarks/bench_gpu.py      # 10^7 elements, (16, 10^6) rows
    python -P benchmarks/bench_gpu.py --small                # small sizes (CI, cpu backend)

Bandwidth counts the bytes a call reads and writes: 2 records per element for
the copy, 3 for add.  Each figure is the best of a few calls, each call
followed by a device synchronisation.  Targets are those for one H100; they
are checked only on the cuda backend.
"""
import os
import sys

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import korvid.zel as zel  # noqa: E402
from harness import best_seconds  # noqa: E402

REC = np.dtype(zel.FIXEDPOINT_DTYPE).itemsize
CUDA = zel.BACKEND == "cuda"


def sync():
    if CUDA:
        zel.cp.cuda.Device().synchronize()


def seconds(fn, heavy=False, small=False):
    def call():
        fn()
        sync()
    if small:
        return best_seconds(call, repeat=2, min_time=0.01)
    return best_seconds(call, repeat=1 if heavy else 5, min_time=0.0 if heavy else 0.05)


def copier(t):
    """A device-to-device copy of t's records into a second array."""
    src = t._data
    if CUDA:
        nbytes = src.size * REC
        dst = zel.cp.empty(nbytes, dtype=np.uint8)
        return lambda: dst.data.copy_from_device(src.data, nbytes)
    s8 = src.view(np.uint8)
    d8 = np.empty_like(s8)
    return lambda: np.copyto(d8, s8)


def device_name():
    if not CUDA:
        return f"cpu, OMP_NUM_THREADS={os.environ.get('OMP_NUM_THREADS', 'all')}"
    try:
        name = zel.cp.cuda.runtime.getDeviceProperties(zel.cp.cuda.Device().id)["name"]
        return name.decode() if isinstance(name, bytes) else str(name)
    except Exception:  # the CuPy stand-in has no device properties
        return "cuda"


def main():
    small = "--small" in sys.argv or (not CUDA and os.path.basename(sys.argv[0]) != "bench_gpu.py")
    n = 20000 if small else 10**7
    rows, cols = (4, 2000) if small else (16, 10**6)
    side = 32 if small else 512
    rng = np.random.default_rng(2024)
    a = zel.Tensor(rng.normal(size=n))
    b = zel.Tensor(rng.uniform(0.5, 2.0, size=n))
    u = zel.Tensor(rng.uniform(-3.0, 3.0, size=n))
    x = zel.Tensor(rng.normal(size=(side, side)))
    y = zel.Tensor(rng.normal(size=(side, side)))
    r = zel.Tensor(rng.normal(size=(rows, cols)))

    # name, call, work units, unit, bytes moved per unit (bandwidth rows), H100 target per second
    plan = [
        ("copy (device to device)", copier(a), n, "elem", 2 * REC, None),
        ("add", lambda: zel.add(a, b), n, "elem", 3 * REC, None),
        ("mul", lambda: zel.mul(a, b), n, "elem", 3 * REC, 1.5e9),
        ("div", lambda: zel.div(a, b), n, "elem", 3 * REC, None),
        ("exp", lambda: zel.exp(u), n, "elem", 2 * REC, 5e7),
        ("sin", lambda: zel.sin(u), n, "elem", 2 * REC, 5e7),
        ("sum", lambda: zel.sum(a), n, "elem", REC, None),
        (f"mm {side}x{side}", lambda: zel.mm(x, y), side**3, "mul-add", None, None),
        (f"softmax ({rows}, {cols})", lambda: zel.softmax(r), rows * cols, "elem", 2 * REC, 1e9),
        (f"cumsum ({rows}, {cols})", lambda: zel.cumsum(r), rows * cols, "elem", 2 * REC, 1e9),
    ]
    heavy = {"exp", "sin", "div"}
    results = {}
    print(f"== device throughput, backend {zel.BACKEND} ({device_name()}), "
          f"{n} elements, records of {REC} bytes{' [--small]' if small else ''}")
    print(f"{'measurement':28s} {'ms/call':>10s} {'per second':>12s} {'unit':>8s} {'GB/s':>8s} {'target':>9s}")
    for name, fn, units, unit, per_unit, target in plan:
        t = seconds(fn, heavy=name in heavy or name.startswith("softmax"), small=small)
        rate = units / t
        results[name] = (t, rate)
        gbs = f"{per_unit * rate / 1e9:8.1f}" if per_unit else " " * 8
        tgt = f"{target:9.1e}" if target else " " * 9
        flag = ("  ok" if rate >= target else "  BELOW") if (target and CUDA) else ""
        print(f"{name:28s} {t * 1e3:10.3f} {rate:12.3e} {unit:>8s} {gbs} {tgt}{flag}")
    copy_bw = 2 * REC * n / results["copy (device to device)"][0]
    add_bw = 3 * REC * n / results["add"][0]
    share = add_bw / copy_bw
    flag = ("  ok" if share >= 0.7 else "  BELOW") if CUDA else ""
    print(f"add bandwidth / copy bandwidth: {share:.2f} (target 0.70){flag}")


if __name__ == "__main__":
    main()
