"""Build checks run by `make test` after the package is installed.

The kernel set must exist whenever nvcc is on this machine (CI has nvcc and
no GPU, so this is where a kernel that does not compile for the GPU fails).
"""
import os
import shutil
import sys

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
    return 0


if __name__ == "__main__":
    sys.exit(main())
