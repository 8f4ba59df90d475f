# The README's two commands, `make demo` and `make test`, each set up a bare
# machine first (scripts/bootstrap is idempotent and quick once done).
VENV   := .venv
PY     := $(VENV)/bin/python
PIP_INSTALL := $(PY) -m pip install -q --no-build-isolation --no-deps \
               -Cbuild-dir=build/cp313

.PHONY: bootstrap build test demo bench clean

bootstrap:
	@bash scripts/bootstrap

build: bootstrap
	@$(PIP_INSTALL) .

test: build
	$(PY) -m pytest -q

demo: build
	$(PY) scripts/demo.py

clean:
	rm -rf build

# Reliability: the test suite under AddressSanitizer and UBSan, and
# coverage-guided fuzzing (FUZZ_SECONDS, default 300).
.PHONY: test-asan fuzz
test-asan: build
	bash scripts/test-asan

fuzz: build
	bash scripts/fuzz
