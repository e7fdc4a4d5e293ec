#!/usr/bin/env bash
# The device check for a machine with an NVIDIA GPU (no network needed):
# builds the package with the CUDA kernel set, runs the parity battery on
# both backends and compares it, runs the test suite on the GPU, then the
# device benchmark (its table goes to OUTDIR/bench_gpu.txt).
#   bash tools/gpu_check.sh [OUTDIR]
# ZEL_WHEEL=path/to.whl installs that wheel instead of building here;
# ZEL_SUITE_TIMEOUT (seconds, default 400) bounds the suite's run.
set -uo pipefail
cd "$(dirname "$0")/.."
OUT=${1:-${OUT:-/tmp/zel-gpu}}
mkdir -p "$OUT"
PY=${PYTHON:-python3}
export PATH="$PATH:/usr/local/cuda/bin"
nvidia-smi -L > "$OUT/gpu.txt" 2>&1
if [ -n "${ZEL_WHEEL:-}" ]; then
  # A wheel built elsewhere (with its CUDA kernel set) saves the device the build.
  $PY -m pip install -q --no-index --no-deps --target /tmp/zel-site "$ZEL_WHEEL" > "$OUT/build.log" 2>&1 \
    || { tail -30 "$OUT/build.log"; exit 1; }
  export PYTHONPATH=/tmp/zel-site${PYTHONPATH:+:$PYTHONPATH}
else
  $PY -m pip install -q --no-build-isolation -Ccmake.define.ZEL_CUDA=ON . > "$OUT/build.log" 2>&1 \
    || { tail -30 "$OUT/build.log"; exit 1; }
fi
$PY -P -c "import korvid.zel as z; print('module', z.__file__)" || exit 1
ZEL_BACKEND=cpu  $PY -P tests/parity.py > "$OUT/parity_cpu.json" 2> "$OUT/parity_cpu.err"
ZEL_BACKEND=cuda $PY -P tests/parity.py > "$OUT/parity_cuda.json" 2> "$OUT/parity_cuda.err"
if diff <(grep -v '"backend"' "$OUT/parity_cpu.json") <(grep -v '"backend"' "$OUT/parity_cuda.json") > "$OUT/parity.diff"; then
  echo "parity: identical ($(($(grep -c '"' "$OUT/parity_cpu.json") - 1)) cases)"
else
  echo "parity: DIFFERENT"; cat "$OUT/parity.diff"; tail "$OUT/parity_cuda.err"
  # Where the differing cases differ: their first unequal values on each backend.
  names=$($PY -c "import json,sys; a,b=(json.load(open(f)) for f in sys.argv[1:]); \
print(','.join(k for k in a if k!='backend' and a.get(k)!=b.get(k)))" "$OUT/parity_cpu.json" "$OUT/parity_cuda.json")
  for be in cpu cuda; do ZEL_BACKEND=$be $PY -P tests/parity.py --records "$names" > "$OUT/records_$be.json"; done
  $PY - "$OUT/records_cpu.json" "$OUT/records_cuda.json" <<'EOF_PY' | tee "$OUT/records_diff.txt"
import json, sys
a, b = (json.load(open(f)) for f in sys.argv[1:])
for name in a:
    for part, (x, y) in enumerate(zip(a[name], b[name])):
        bad = [i for i in range(min(len(x), len(y))) if x[i] != y[i]]
        print(f"{name} part {part}: {len(bad)} of {len(x)} differ")
        for i in bad[:3]:
            print(f"  [{i}] cpu {x[i]}\n      cuda {y[i]}")
EOF_PY
fi
if $PY -c "import pytest, hypothesis, mpmath" 2>/dev/null; then
  # ZEL_PYTEST_ARGS adds options (for example "-n 4" where pytest-xdist is installed).
  ZEL_BACKEND=cuda timeout ${ZEL_SUITE_TIMEOUT:-400} $PY -P -m pytest -q -rf --maxfail=30 ${ZEL_PYTEST_ARGS:-} tests \
    > "$OUT/pytest_cuda.txt" 2>&1
  tail -40 "$OUT/pytest_cuda.txt"
else
  echo "pytest/hypothesis/mpmath missing: suite not run on the GPU"
fi
if ZEL_BACKEND=cuda timeout ${ZEL_BENCH_TIMEOUT:-300} $PY -P benchmarks/bench_gpu.py > "$OUT/bench_gpu.txt" 2> "$OUT/bench_gpu.err"; then
  cat "$OUT/bench_gpu.txt"
else
  echo "bench_gpu: failed (exit $?)"; tail "$OUT/bench_gpu.err"
fi
