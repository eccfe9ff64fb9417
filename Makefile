# Set-up and everyday commands. `make run` and `make test` work on a fresh machine: they create
# the virtual environment, install the package and what the job needs, and run it.
PYTHON ?= python3.12
VENV := .venv
PY := $(VENV)/bin/python
PIP := $(PY) -m pip --disable-pip-version-check -q

.PHONY: run test install build-deps test-deps format format-check clean

$(PY):
	$(PYTHON) -m venv $(VENV)

$(VENV)/.build-deps: requirements-build.txt | $(PY)
	$(PIP) install -r requirements-build.txt
	touch $@

$(VENV)/.test-deps: requirements-test.txt | $(PY)
	$(PIP) install -r requirements-test.txt
	touch $@

build-deps: $(VENV)/.build-deps
test-deps: $(VENV)/.test-deps

# Rebuilds incrementally: the CMake build tree is kept under build/.
install: build-deps
	$(PIP) install --no-build-isolation .

run: install
	$(PY) examples/run.py examples/catalog.json

test: install test-deps
	$(PY) -m pytest

format:
	clang-format -i $$(git ls-files 'src/*.cpp' 'src/*.h')

format-check:
	clang-format --dry-run --Werror $$(git ls-files 'src/*.cpp' 'src/*.h')

clean:
	rm -rf build dist $(VENV)
