"""Build checks run by `make test` after the package is installed.

1. The kernel set must exist whenever nvcc is on this machine (CI has nvcc and
   no GPU, so this is where a kernel that does not compile for the GPU fails).
2. The arithmetic the GPU runs (portable carries, division, products) gives
   the same bits as the CPU's: tests/cpp/device_paths.cpp is built both ways
   and run; the outputs must be identical.
3. The host algorithm variants against each other: the narrow products
   (tests/cpp/narrow_products.cpp) and the division paths
   (tests/cpp/division_paths.cpp, both ways).
"""
import os
import shutil
import subprocess
import sys
import tempfile

import korvid.zel as zel
import korvid.zel.cuda.cubin_loader as loader


def main() -> int:
    nvcc = shutil.which("nvcc") or (os.path.exists("/usr/local/cuda/bin/nvcc") and "/usr/local/cuda/bin/nvcc")
    path = loader.KERNEL_SET_PATH
    names = loader.get_module().kernel_names if zel.BACKEND == "cpu" else []
    print(f"backend {zel.BACKEND}; {len(names)} host kernels; kernel set {path}")
    if nvcc and os.environ.get("ZEL_CUDA", "ON") != "OFF":
        if not os.path.exists(path):
            print(f"nvcc found at {nvcc} but the CUDA kernel set was not built", file=sys.stderr)
            return 1
        data = open(path, "rb").read()
        missing = [n for n in names if n.encode() not in data]
        if missing:
            print(f"kernels missing from the CUDA kernel set: {missing}", file=sys.stderr)
            return 1
        print(f"CUDA kernel set: {os.path.getsize(path)} bytes, all {len(names)} kernels present")
    else:
        print("nvcc not found: CPU-only build")
    return check_device_paths() or check_narrow_products() or check_division_paths()


ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")


def build_check(name: str, exe: str, flags=(), opt: str = "-O1") -> bool:
    """Compiles the check program tests/cpp/<name>.cpp against the package's
    headers; prints the compiler's complaint and returns False on failure."""
    cxx = os.environ.get("CXX", "g++")
    src = os.path.join(ROOT, "tests", "cpp", name + ".cpp")
    cmd = [cxx, "-std=c++17", opt, "-Wall", "-Werror", *flags, "-I", os.path.join(ROOT, "korvid", "zel"), src,
           "-o", exe]
    r = subprocess.run(cmd, capture_output=True, text=True)
    if r.returncode:
        print(r.stderr, file=sys.stderr)
    return r.returncode == 0


def run_check(exe: str) -> int:
    """Runs a self-checking program: its report, its exit status."""
    try:
        r = subprocess.run([exe], capture_output=True, text=True, timeout=300)
    except subprocess.TimeoutExpired:
        print(f"{os.path.basename(exe)}: no answer in 300 s", file=sys.stderr)
        return 1
    print(r.stdout.strip() or r.stderr.strip(), file=sys.stdout if r.returncode == 0 else sys.stderr)
    return r.returncode


def check_device_paths() -> int:
    outs = []
    with tempfile.TemporaryDirectory() as tmp:
        for flags in ([], ["-DZEL_EMULATE_DEVICE_PATHS"]):
            exe = os.path.join(tmp, "dp" + str(len(outs)))
            if not build_check("device_paths", exe, flags):
                return 1
            outs.append(subprocess.run([exe], capture_output=True, text=True, check=True).stdout.splitlines())
    bad = [a.split()[0] for a, b in zip(*outs) if a != b]
    if bad or len(outs[0]) != len(outs[1]):
        print(f"GPU code paths differ from the CPU's in: {sorted(set(bad))}", file=sys.stderr)
        return 1
    print(f"GPU code paths give the CPU's bits: {len(outs[0])} kernel batteries compared")
    return 0


def check_narrow_products() -> int:
    """Both forms of the host matrix products' narrow product against the
    general rounded product (tests/cpp/narrow_products.cpp)."""
    with tempfile.TemporaryDirectory() as tmp:
        exe = os.path.join(tmp, "np")
        return run_check(exe) if build_check("narrow_products", exe, opt="-O2") else 1


def check_division_paths() -> int:
    """The division paths against each other and against exact identities
    (tests/cpp/division_paths.cpp), as the CPU builds them and as the GPU
    runs them."""
    with tempfile.TemporaryDirectory() as tmp:
        for flags in ([], ["-DZEL_EMULATE_DEVICE_PATHS"]):
            exe = os.path.join(tmp, "div" + str(len(flags)))
            if not build_check("division_paths", exe, flags):
                return 1
            rc = run_check(exe)
            if rc:
                return rc
    return 0


if __name__ == "__main__":
    sys.exit(main())
