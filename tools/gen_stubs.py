"""Regenerates korvid/zel/zel.pyi from the built extension (make stubs).

The values that depend on the machine (backend, CuPy) are written as types.
"""
import os
import re
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
OUT = os.path.join(HERE, "..", "korvid", "zel", "zel.pyi")


def main() -> int:
    r = subprocess.run([sys.executable, "-P", "-m", "nanobind.stubgen", "-q", "-m", "korvid.zel.zel", "-o", OUT],
                       cwd="/", capture_output=True, text=True)
    if r.returncode:
        print(r.stderr, file=sys.stderr)
        return r.returncode
    text = open(OUT).read()
    fixes = {
        r"^cp: .*$": "cp: Any",
        r"^RawModule: .*$": "RawModule: Any",
        r"^HAS_CUPY: .*$": "HAS_CUPY: bool",
        r"^BACKEND: .*$": "BACKEND: str",
    }
    for pat, rep in fixes.items():
        text = re.sub(pat, rep, text, flags=re.M)
    if "from typing import Any" not in text:
        text = re.sub(r"^(import .*)$", r"from typing import Any\n\1", text, count=1, flags=re.M)
    open(OUT, "w").write(text)
    print(f"wrote {os.path.normpath(OUT)}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
