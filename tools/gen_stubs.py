"""Regenerates korvid/zel/zel.pyi from the built extension (make stubs).

    python -P tools/gen_stubs.py [OUT]    writes OUT (default: korvid/zel/zel.pyi)

nanobind's stub generator writes the typed signatures the bindings give with
nb::sig, and their docstrings.  It runs on the cpu backend, and the values
that depend on the machine (backend, CuPy) are written as types, so that the
file is the same wherever it is generated.
"""
import os
import re
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
OUT = os.path.join(HERE, "..", "korvid", "zel", "zel.pyi")


def main(argv) -> int:
    out = os.path.abspath(argv[0]) if argv else OUT
    env = dict(os.environ, ZEL_BACKEND="cpu")
    r = subprocess.run([sys.executable, "-P", "-m", "nanobind.stubgen", "-q", "-m", "korvid.zel.zel", "-o", out],
                       cwd="/", env=env, capture_output=True, text=True)
    if r.returncode:
        print(r.stderr, file=sys.stderr)
        return r.returncode
    text = open(out).read()
    fixes = {
        r"^cp: .*$": "cp: Any",
        r"^RawModule: .*$": "RawModule: Any",
        r"^HAS_CUPY: .*$": "HAS_CUPY: bool",
        r"^BACKEND: .*$": "BACKEND: str",
    }
    for pat, rep in fixes.items():
        text = re.sub(pat, rep, text, flags=re.M)
    if not re.search(r"^from typing import (.*, )?Any\b", text, flags=re.M):
        text = re.sub(r"^(import .*|from .*)$", r"from typing import Any\n\1", text, count=1, flags=re.M)
    open(out, "w").write(text)
    print(f"wrote {os.path.normpath(out)}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
