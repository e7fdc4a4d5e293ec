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

.PHONY: demo test install venv check bench accuracy clean stubs sanitize san-install fuzz
.PHONY: test-thorough format format-check

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
	@if [ "$(ZEL_FORMAT_CHECK)" = 1 ]; then $(MAKE) --no-print-directory format-check; fi
	$(RUNPY) -m pytest -q tests
	@if $(RUNPY) -c "import os, korvid.zel.cuda.cubin_loader as l; exit(not os.path.exists(l.KERNEL_SET_PATH))"; then \
	  echo "== cuda code path through the CuPy stand-in"; \
	  ZEL_BACKEND=cuda PYTHONPATH=$(CURDIR)/tests/fake_cupy $(RUNPY) -m pytest -q $(FAKE_CUDA_TESTS); \
	else echo "no CUDA kernel set: cuda code path not exercised"; fi

# The nightly run: the suite with the thorough Hypothesis profile (ten times
# the examples, no deadline; tests/profiles.py) on the cpu backend.
test-thorough: check
	ZEL_HYPOTHESIS=thorough $(RUNPY) -m pytest -q tests

# make format: the C++ tree in the style of .clang-format (the generated
# elementary tables excepted).  make format-check fails on a file it would
# change; make test runs it when ZEL_FORMAT_CHECK=1.
CLANG_FORMAT ?= clang-format
FORMAT_FILES = $(filter-out korvid/zel/cuda/kernels/elementary_tables.hpp, \
  $(sort $(shell find korvid tests/cpp -name '*.cpp' -o -name '*.hpp' -o -name '*.cu')))

format:
	$(CLANG_FORMAT) -i $(FORMAT_FILES)

format-check:
	$(CLANG_FORMAT) --dry-run --Werror $(FORMAT_FILES)

bench: install
	$(RUNPY) benchmarks/run.py

accuracy: install
	$(RUNPY) benchmarks/accuracy.py

# make sanitize: the extension built with AddressSanitizer + UBSan into its own
# virtualenv and build folder, then the suite and a short fuzz pass under it.
# make fuzz: a longer fuzz pass on that build (FUZZ_SECONDS, FUZZ_SEED, FUZZ_JOBS).
# CPython is not instrumented: libasan is preloaded (with libstdc++, so that
# its exception interceptor finds __cxa_throw), leak checks are off (the
# interpreter keeps its objects at exit), PYTHONMALLOC=malloc lets ASan see
# Python objects freed under us; every report aborts.
SAN_VENV := .venv-san
SAN_PY   := $(SAN_VENV)/bin/python
SAN_CXX  ?= g++
SAN_ENV   = LD_PRELOAD="$$($(SAN_CXX) -print-file-name=libasan.so) $$($(SAN_CXX) -print-file-name=libstdc++.so)" PYTHONMALLOC=malloc \
  ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:allocator_may_return_null=1:max_allocation_size_mb=3072:hard_rss_limit_mb=6144 \
  UBSAN_OPTIONS=halt_on_error=1:abort_on_error=1:print_stacktrace=1
FUZZ_SECONDS ?= 90
FUZZ_SEED    ?= 1
FUZZ_JOBS    ?= 2

$(SAN_VENV)/.deps-stamp: pyproject.toml Makefile
	$(PYTHON) -m venv $(SAN_VENV)
	$(SAN_PY) -m pip install -q --upgrade pip
	$(SAN_PY) -m pip install -q $(BUILD_DEPS) $(TEST_DEPS)
	touch $@

san-install: $(SAN_VENV)/.deps-stamp
	CXX=$(SAN_CXX) $(SAN_PY) -m pip install -q --no-build-isolation -Cbuild-dir=build/san \
	  -Ccmake.build-type=RelWithDebInfo -Ccmake.define.ZEL_SANITIZE=ON -Ccmake.define.ZEL_CUDA=OFF .

sanitize: san-install
	$(SAN_ENV) $(SAN_PY) -P -m pytest -q -p no:cacheprovider tests
	$(SAN_ENV) $(SAN_PY) -P tests/fuzz/fuzz.py --seconds $(FUZZ_SECONDS) --seed $(FUZZ_SEED) --jobs $(FUZZ_JOBS)

fuzz: san-install
	$(SAN_ENV) $(SAN_PY) -P tests/fuzz/fuzz.py --seconds $(FUZZ_SECONDS) --seed $(FUZZ_SEED) --jobs $(FUZZ_JOBS)

clean:
	rm -rf build dist $(VENV) $(SAN_VENV)

stubs: install
	$(RUNPY) tools/gen_stubs.py
