# Entry points: `make demo` and `make test` work on a fresh machine.
PYTHON ?= python3
PIP := PIP_ROOT_USER_ACTION=ignore PIP_DISABLE_PIP_VERSION_CHECK=1 $(PYTHON) -m pip
SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)
# Debian packages: compiler, C++ test framework, FFT libraries, compiler cache.
APT_PACKAGES := g++ make libgtest-dev libfftw3-dev gemmi-dev ccache
BUILD_TOOLS := "scikit-build-core>=0.10" "numpy>=2.0" cmake ninja
CPP_BUILD := build/cpp
ASAN_BUILD := build/asan

.PHONY: setup install test cpp-build cpp-test py-test demo bench bench-peers bench-corpus sanitize clean

setup:
	@echo "== setup: Debian packages, Python build tools, then the package"
	@missing=$$(for p in $(APT_PACKAGES); do dpkg -s $$p >/dev/null 2>&1 || echo $$p; done); \
	if [ -n "$$missing" ]; then \
	  echo "installing Debian packages:" $$missing; \
	  $(SUDO) apt-get update -qq && $(SUDO) DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $$missing; \
	fi
	@$(PIP) install -q $(BUILD_TOOLS)
	@$(MAKE) --no-print-directory install

# Builds into a persistent directory (build/<wheel tag>), so re-installs are incremental.
install:
	@echo "== building and installing tamberl (incremental, in build/)"
	@bash -o pipefail -c '$(PIP) install -v --no-build-isolation ".[test]" 2>&1 | \
	  grep --line-buffered -E "^ *\[[0-9]+/[0-9]+\]|[Ee]rror|Successfully installed" | sed -u "s/^ */   /"' \
	  || { echo "install failed: run '$(PIP) install -v --no-build-isolation .[test]' to see why"; exit 1; }

test: setup cpp-test py-test

cpp-build:
	@echo "== building the C++ tests (build/cpp)"
	@cmake -S . -B $(CPP_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DTAMBERL_BUILD_TESTS=ON -DTAMBERL_BUILD_PYTHON=OFF >/dev/null
	@cmake --build $(CPP_BUILD)

cpp-test: cpp-build
	@echo "== C++ tests"
	ctest --test-dir $(CPP_BUILD) --output-on-failure

py-test:
	@echo "== Python tests"
	$(PYTHON) -m pytest tests/python

demo: setup
	@$(PIP) install -q "matplotlib>=3.5" || echo "matplotlib could not be installed: the demo prints without figures"
	@echo "== python -m tamberl.demo"
	$(PYTHON) -m tamberl.demo

bench: setup cpp-build
	@$(CPP_BUILD)/tamberl_bench_lo
	@$(CPP_BUILD)/tamberl_bench_costas
	$(PYTHON) bench/run.py

# The same jobs beside GNU Radio, liquid-dsp and libfec (Debian packages,
# installed here only), written to bench/RESULTS.md.
bench-peers: setup
	@missing=$$(for p in gnuradio libliquid-dev libfec-dev; do dpkg -s $$p >/dev/null 2>&1 || echo $$p; done); \
	if [ -n "$$missing" ]; then $(SUDO) apt-get update -qq && $(SUDO) DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $$missing; fi
	$(PYTHON) bench/peers.py

# The recordings in tests/data, clean and with noise, beside the reference
# decoder (installed from Debian by the shared peer-setup script), written to
# bench/CORPUS.md.
bench-corpus: setup
	$(SUDO) bash ../shared/tools/peer-setup.sh
	$(PYTHON) bench/bench_corpus.py --out bench/CORPUS.md

# The C++ tests, then the Python suite against sanitizer-built extension
# modules, under AddressSanitizer and UndefinedBehaviorSanitizer.
ASAN_PKG := build/asan-pkg
sanitize:
	@cmake -S . -B $(ASAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DPython_EXECUTABLE=$$(command -v $(PYTHON)) \
	  -DTAMBERL_BUILD_TESTS=ON -DTAMBERL_BUILD_PYTHON=ON -DTAMBERL_SANITIZE=ON >/dev/null
	@cmake --build $(ASAN_BUILD)
	ctest --test-dir $(ASAN_BUILD) --output-on-failure
	@rm -rf $(ASAN_PKG) && mkdir -p $(ASAN_PKG)/tamberl
	@cp -r python/tamberl/. $(ASAN_PKG)/tamberl/ && cp $(ASAN_BUILD)/*.so $(ASAN_PKG)/tamberl/
	PYTHONPATH=$(ASAN_PKG) ASAN_OPTIONS=detect_leaks=0 \
	  LD_PRELOAD="$$(gcc -print-file-name=libasan.so) $$(gcc -print-file-name=libubsan.so)" \
	  $(PYTHON) -m pytest tests/python -p no:cacheprovider

clean:
	rm -rf build
