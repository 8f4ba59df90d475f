# The README's two commands, `make demo` and `make test`, each set up a bare
# machine first (scripts/bootstrap is idempotent and quick once done).
VENV   := .venv
PY     := $(VENV)/bin/python
PIP_INSTALL := $(PY) -m pip install -q --no-build-isolation --no-deps \
               -Cbuild-dir=build/ext
# The bootstrap links the .pc files, reference tools and test data of the
# libjxl in use into the venv (a private prefix on Debian 12).
export PKG_CONFIG_PATH := $(CURDIR)/$(VENV)/lib/pkgconfig$(if $(PKG_CONFIG_PATH),:$(PKG_CONFIG_PATH))
export PATH := $(CURDIR)/$(VENV)/bin:$(PATH)

.PHONY: bootstrap build test demo bench clean clean-deps

bootstrap:
	@bash scripts/bootstrap

# Serialised, so that several shells building at once do not trip over each other.
build: bootstrap
	@mkdir -p build && flock build/.lock $(PIP_INSTALL) .

test: build
	$(PY) -m pytest -q

demo: build
	$(PY) scripts/demo.py

# The raw-libjxl baseline the benchmarks compare against, then the run:
# `make bench ARGS=--quick` for the short version.
BASELINE := build/bench/baseline

$(BASELINE): bench/baseline.cc bench/baseline_stream.cc
	@mkdir -p $(@D)
	g++ -O2 -std=c++20 -Wall -Wextra -o $@ $^ $$(pkg-config --cflags --libs libjxl libjxl_threads) \
	    -Wl,-rpath,$$(pkg-config --variable=libdir libjxl)

bench: build $(BASELINE)
	$(PY) bench/run.py $(ARGS)

clean:
	rm -rf build

# Removes the private libjxl prefix that the bootstrap built on Debian 12
# (shared by every clone on the machine); the next bootstrap builds it again.
clean-deps:
	/usr/bin/python3 scripts/deps.py --clean
	rm -f $(VENV)/.kestrelpix-prefix

# Distribution (see the README's "Install"): the sdist and self-contained
# binary wheels into dist/ (the Debian 13 wheel is built in a debootstrap root,
# as root); the test suite against an installed wheel; and, not part of
# `make test` (it takes a while, as root), the wheels in bare Debian 12 and 13
# roots that have nothing but Python.
.PHONY: sdist wheel test-wheel check-wheel
sdist:
	bash scripts/wheel --sdist

wheel:
	bash scripts/wheel

test-wheel:
	bash scripts/test-wheel

check-wheel:
	bash scripts/check-wheel

# Reliability: the test suite under AddressSanitizer and UBSan, and
# coverage-guided fuzzing (FUZZ_SECONDS, default 300).
.PHONY: test-asan fuzz
test-asan: build
	bash scripts/test-asan

fuzz: build
	bash scripts/fuzz

# Not part of `make test` (about 30 minutes, as root): the README's set-up in
# a fresh Debian 12 root, then checks that it is still plain Debian 12.
.PHONY: check-clean-setup
check-clean-setup:
	bash scripts/check-clean-setup
