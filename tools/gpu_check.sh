#!/usr/bin/env bash
# The device check for a machine with an NVIDIA GPU (no network needed):
# builds the package with the CUDA kernel set, runs the parity battery on
# both backends and compares it, runs the test suite on the GPU, then the
# device benchmark (its table goes to OUTDIR/bench_gpu.txt).
#   bash tools/gpu_check.sh [OUTDIR]
set -uo pipefail
cd "$(dirname "$0")/.."
OUT=${1:-${OUT:-/tmp/zel-gpu}}
mkdir -p "$OUT"
PY=${PYTHON:-python3}
export PATH="$PATH:/usr/local/cuda/bin"
nvidia-smi -L > "$OUT/gpu.txt" 2>&1
$PY -m pip install -q --no-build-isolation -Ccmake.define.ZEL_CUDA=ON . > "$OUT/build.log" 2>&1 || { tail -30 "$OUT/build.log"; exit 1; }
ZEL_BACKEND=cpu  $PY -P tests/parity.py > "$OUT/parity_cpu.json" 2> "$OUT/parity_cpu.err"
ZEL_BACKEND=cuda $PY -P tests/parity.py > "$OUT/parity_cuda.json" 2> "$OUT/parity_cuda.err"
if diff <(grep -v '"backend"' "$OUT/parity_cpu.json") <(grep -v '"backend"' "$OUT/parity_cuda.json") > "$OUT/parity.diff"; then
  echo "parity: identical ($(grep -c '"' "$OUT/parity_cpu.json") entries)"
else
  echo "parity: DIFFERENT"; cat "$OUT/parity.diff"; tail "$OUT/parity_cuda.err"
fi
if $PY -c "import pytest, hypothesis, mpmath" 2>/dev/null; then
  ZEL_BACKEND=cuda timeout 400 $PY -P -m pytest -q -x tests 2>&1 | tail -20 | tee "$OUT/pytest_cuda.txt"
else
  echo "pytest/hypothesis/mpmath missing: suite not run on the GPU"
fi
if ZEL_BACKEND=cuda timeout 300 $PY -P benchmarks/bench_gpu.py > "$OUT/bench_gpu.txt" 2> "$OUT/bench_gpu.err"; then
  cat "$OUT/bench_gpu.txt"
else
  echo "bench_gpu: failed (exit $?)"; tail "$OUT/bench_gpu.err"
fi
