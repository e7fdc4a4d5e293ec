# make demo: set up .venv, build, run the demo.  make test: set up, build, run
# the C++ build checks and the whole test suite.
PYTHON ?= python3
VENV   := .venv
PY     := $(VENV)/bin/python
PIP    := $(PY) -m pip
# -P keeps the source tree (which has no built extension) off sys.path.
RUNPY  := $(PY) -P

BUILD_DEPS := scikit-build-core nanobind ninja numpy
TEST_DEPS  := pytest hypothesis mpmath gmpy2

.PHONY: demo test install venv check bench accuracy clean stubs

$(VENV)/.deps-stamp: pyproject.toml Makefile
	$(PYTHON) -m venv $(VENV)
	$(PIP) install -q --upgrade pip
	$(PIP) install -q $(BUILD_DEPS) $(TEST_DEPS)
	touch $@

venv: $(VENV)/.deps-stamp

install: venv
	$(PIP) install -q --no-build-isolation -Ccmake.define.ZEL_WERROR=ON -Ccmake.define.ZEL_CUDA=ON .

demo: install
	$(RUNPY) -m korvid.zel

# C++ build checks: the extension builds warning-free (install) and, where
# nvcc exists, every kernel compiles for sm_80 and sm_90.
check: install
	$(RUNPY) tools/check_build.py

# The cuda code path (device arrays, transfers, RawModule launches) also runs
# here, without a GPU, through the CuPy stand-in in tests/fake_cupy.
FAKE_CUDA_TESTS := tests

test: check
	$(RUNPY) -m pytest -q tests
	@if $(RUNPY) -c "import os, korvid.zel.cuda.cubin_loader as l; exit(not os.path.exists(l.KERNEL_SET_PATH))"; then \
	  echo "== cuda code path through the CuPy stand-in"; \
	  ZEL_BACKEND=cuda PYTHONPATH=$(CURDIR)/tests/fake_cupy $(RUNPY) -m pytest -q $(FAKE_CUDA_TESTS); \
	else echo "no CUDA kernel set: cuda code path not exercised"; fi

bench: install
	$(RUNPY) benchmarks/run.py

accuracy: install
	$(RUNPY) benchmarks/accuracy.py

clean:
	rm -rf build dist $(VENV)

stubs: install
	$(RUNPY) tools/gen_stubs.py
