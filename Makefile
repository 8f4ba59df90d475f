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
