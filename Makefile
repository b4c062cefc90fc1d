# People's entry points; CMake does the work. Every target first installs
# the Debian packages it needs when they are missing.

BUILD      ?= build
SAN_BUILD  ?= build-sanitize
FUZZ_BUILD ?= build-fuzz
PORT_BUILD ?= build-portable
TSAN_BUILD ?= build-tsan
# Rounds of every family per worker thread under ThreadSanitizer.
TSAN_ROUNDS ?= 20
# Seconds per test under the emulator, where code runs several times slower.
PORT_TIMEOUT ?= 300
JOBS       ?= 2
FUZZ_SECONDS ?= 60
GENERATOR  := $(shell command -v ninja >/dev/null 2>&1 && echo "-G Ninja")
# Warnings are errors in CI.
WERROR     := $(if $(CI),-DVARDA_WERROR=ON,)

BASE_PKGS  := cmake ninja-build g++ pkg-config binutils libzstd-dev libxxhash-dev
# The GDAL plugin is built when GDAL's development files are there.
GDAL_PKGS  := libgdal-dev gdal-bin
TEST_PKGS  := $(BASE_PKGS) $(GDAL_PKGS) googletest libgtest-dev libgmock-dev locales
BENCH_PKGS := $(BASE_PKGS) libbenchmark-dev python3 libblosc-dev libcharls-dev libjxl-dev python3-matplotlib python3-skimage
# The clang runtime of the clang installed (or to be installed), looked up
# only by the targets that need it.
CLANG_RT    = $(shell bash scripts/clang_runtime.sh)
FUZZ_PKGS   = $(BASE_PKGS) clang $(CLANG_RT)
TSAN_PKGS   = $(TEST_PKGS) clang $(CLANG_RT)
LINT_PKGS  := $(BASE_PKGS) clang-tidy clang-format googletest libgtest-dev libbenchmark-dev
# GoogleTest is built for the target from the googletest source package;
# the codec's zstd and xxhash, and the runtime the tests run on, come from
# Debian's arm64 multiarch packages.
PORT_PKGS  := $(BASE_PKGS) g++-aarch64-linux-gnu qemu-user googletest \
              libzstd-dev:arm64 libxxhash-dev:arm64 libc6:arm64 libstdc++6:arm64
# The Python package: Debian's interpreter and libraries only, no other
# package index.
PY_PKGS    := python3 python3-venv python3-pip python3-setuptools \
              python3-wheel python3-numpy python3-numcodecs python3-zarr python3-dask \
              python3-distributed python3-rasterio python3-rich python3-matplotlib python3-pytest \
              python3-scipy python3-pytest-timeout python3-gdal python3-xarray python3-rioxarray \
              python3-fsspec python3-aiohttp python3-requests
PYTHON     := /usr/bin/python3
VENV       ?= .venv

SETUP := bash scripts/setup.sh
SHELL := /bin/bash

.PHONY: all build python demo venv test sanitize tsan portable bench fuzz lint format clean

all: build

build:
	@$(SETUP) $(BASE_PKGS) $(GDAL_PKGS)
	cmake -S . -B $(BUILD) $(GENERATOR) -DCMAKE_BUILD_TYPE=Release -DVARDA_ENABLE_TESTS=OFF $(WERROR)
	cmake --build $(BUILD) -j $(JOBS)

# The virtual environment sees Debian's packages and holds the varda package,
# installed without network in editable mode, with the `varda` command and
# the numcodecs entry point.
venv:
	@[ -x $(VENV)/bin/python ] || $(PYTHON) -m venv --system-site-packages $(VENV)
	@$(VENV)/bin/python -c 'import varda' 2>/dev/null || \
	  $(VENV)/bin/pip install -q --no-index --no-build-isolation --no-deps -e python/
	@# pyproj looks for PROJ's data under the environment's prefix first:
	@# there it finds Debian's.
	@[ -e $(VENV)/share/proj ] || { mkdir -p $(VENV)/share && ln -s /usr/share/proj $(VENV)/share/proj; }

# The package finds the libraries (and the GDAL plugin, which it loads into
# the process's GDAL) in its _libs folder, refreshed here.
python:
	@$(SETUP) $(BASE_PKGS) $(GDAL_PKGS) $(PY_PKGS)
	cmake -S . -B $(BUILD) $(GENERATOR) -DCMAKE_BUILD_TYPE=Release -DVARDA_ENABLE_TESTS=OFF $(WERROR)
	cmake --build $(BUILD) -j $(JOBS) --target varda_kernels varda_codec
	cmake --build $(BUILD) -j $(JOBS) --target gdal_varda
	@$(MAKE) --no-print-directory venv
	@cmake --build $(BUILD) --target python_libs

demo: python
	$(VENV)/bin/varda demo

test:
	@$(SETUP) $(TEST_PKGS) $(PY_PKGS)
	@$(MAKE) --no-print-directory venv
	cmake -S . -B $(BUILD) $(GENERATOR) -DCMAKE_BUILD_TYPE=Release -DVARDA_ENABLE_TESTS=ON $(WERROR) \
	  -DVARDA_PYTHON=$(abspath $(VENV))/bin/python
	cmake --build $(BUILD) -j $(JOBS)
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

sanitize:
	@$(SETUP) $(TEST_PKGS)
	cmake -S . -B $(SAN_BUILD) $(GENERATOR) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVARDA_SANITIZE=ON \
	  -DVARDA_ENABLE_TESTS=ON $(WERROR)
	cmake --build $(SAN_BUILD) -j $(JOBS)
	cd $(SAN_BUILD) && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 ctest --output-on-failure -j $(JOBS)

# Worker threads through every kernel family and the codec while others
# re-resolve the SIMD path and store into it, under clang's ThreadSanitizer.
tsan:
	@$(SETUP) $(TSAN_PKGS)
	CC=clang CXX=clang++ cmake -S . -B $(TSAN_BUILD) $(GENERATOR) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DVARDA_TSAN=ON -DVARDA_ENABLE_TESTS=ON -DVARDA_INSTALL=OFF $(WERROR)
	cmake --build $(TSAN_BUILD) -j $(JOBS) --target varda_thread_stress
	TSAN_OPTIONS=halt_on_error=1 $(TSAN_BUILD)/tests/varda_thread_stress $(TSAN_ROUNDS)

# The library, the tile codec and their tests cross-built for 64-bit Arm
# (portable loops only) and run under qemu's user-mode emulator. The
# golden streams and tile blobs must come out byte for byte as on x86.
portable:
	@$(SETUP) $(PORT_PKGS)
	cmake -S . -B $(PORT_BUILD) $(GENERATOR) -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/aarch64-linux-gnu.cmake \
	  -DCMAKE_BUILD_TYPE=Release -DCMAKE_C_FLAGS_RELEASE="-O2 -DNDEBUG" \
	  -DCMAKE_CXX_FLAGS_RELEASE="-O2 -DNDEBUG" -DVARDA_ENABLE_TESTS=ON $(WERROR)
	cmake --build $(PORT_BUILD) -j $(JOBS)
	cd $(PORT_BUILD) && ctest --output-on-failure -j $(JOBS) --timeout $(PORT_TIMEOUT)

bench:
	@$(SETUP) $(BENCH_PKGS)
	cmake -S . -B $(BUILD) $(GENERATOR) -DCMAKE_BUILD_TYPE=Release -DVARDA_ENABLE_BENCH=ON $(WERROR)
	cmake --build $(BUILD) -j $(JOBS)
	@rm -rf $(BUILD)/bench-results && mkdir -p $(BUILD)/bench-results
	@# Real rasters from Debian's data packages join the made ones.
	@$(PYTHON) bench/real_rasters.py $(BUILD)/real-rasters >/dev/null
	@for b in $(BUILD)/bench/bench_*; do \
	  [ -f "$$b" ] && [ -x "$$b" ] || continue; echo; \
	  VARDA_BENCH_RASTERS=$${VARDA_BENCH_RASTERS:-$(BUILD)/real-rasters} $$b --benchmark_out=$(BUILD)/bench-results/$$(basename $$b).json \
	    --benchmark_out_format=json $(BENCH_ARGS) || exit 1; \
	done
	@python3 bench/summary.py $(BUILD)/bench-results/*.json

# Runs every fuzz target for FUZZ_SECONDS, starting from its corpus, JOBS
# at a time, and prints each target's executions and coverage.
fuzz:
	@$(SETUP) $(FUZZ_PKGS)
	CC=clang CXX=clang++ cmake -S . -B $(FUZZ_BUILD) $(GENERATOR) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DVARDA_ENABLE_TESTS=OFF -DVARDA_ENABLE_FUZZ=ON -DVARDA_INSTALL=OFF
	cmake --build $(FUZZ_BUILD) -j $(JOBS)
	bash scripts/fuzz.sh $(FUZZ_BUILD) $(FUZZ_SECONDS) $(JOBS)

lint:
	@$(SETUP) $(LINT_PKGS)
	cmake -S . -B $(BUILD) $(GENERATOR) -DCMAKE_BUILD_TYPE=Release -DVARDA_ENABLE_TESTS=ON
	clang-format --dry-run --Werror $$(git ls-files '*.cpp' '*.h')
	set -o pipefail; clang-tidy -p $(BUILD) --quiet $$(git ls-files 'src/*.cpp' 'codec/src/*.cpp') 2>&1 | \
	  { grep -v -E '^[0-9]+ warnings? generated' || true; }

format:
	clang-format -i $$(git ls-files '*.cpp' '*.h')

clean:
	rm -rf $(BUILD) $(SAN_BUILD) $(FUZZ_BUILD) $(PORT_BUILD) $(TSAN_BUILD) $(VENV) python/varda/_libs
