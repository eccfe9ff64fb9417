# Set-up and everyday commands. `make run` and `make test` work on a fresh machine: they create
# the virtual environment, install the package and what the job needs, and run it.
PYTHON ?= python3.12
# Each interpreter gets its own environment: .venv for the default one, .venv-3.13 and so on for
# the others (make test PYTHON=python3.13).
VENV := $(if $(filter python3.12,$(PYTHON)),.venv,.venv-$(patsubst python%,%,$(notdir $(PYTHON))))
PY := $(VENV)/bin/python
PIP := $(PY) -m pip --disable-pip-version-check -q

.PHONY: run test test-asan replay fuzz fuzz-build install build-deps test-deps format format-check clean \
	dist wheel wheels wheel-check FORCE

$(PY):
	$(PYTHON) -m venv $(VENV)

$(VENV)/.build-deps: requirements-build.txt | $(PY)
	$(PIP) install -r requirements-build.txt
	touch $@

$(VENV)/.wheel-deps: requirements-wheel.txt | $(PY)
	$(PIP) install -r requirements-wheel.txt
	touch $@

$(VENV)/.test-deps: requirements-test.txt | $(PY)
	$(PIP) install -r requirements-test.txt
	touch $@

$(VENV)/.bench-deps: bench/requirements.txt | $(PY)
	$(PIP) install -r bench/requirements.txt
	touch $@

build-deps: $(VENV)/.build-deps
test-deps: $(VENV)/.test-deps
bench-deps: $(VENV)/.bench-deps

# Builds and installs the package into $(VENV). The CMake tree is make's own, one per interpreter
# (build/make-cp312-cp312-linux_x86_64 and so on), apart from the build/{wheel_tag} of a plain
# `pip install .`, whose isolated build environment puts its own cmake and ninja in the cache: the
# two never make each other start over. The package is built and installed again only when a
# file it is built from, or the build's settings, changed since the last install into $(VENV);
# then ninja rebuilds what those changes touch.
MAKE_BUILD_DIR := build/make-{wheel_tag}
SKBUILD_MAKE := --config-settings=build-dir=$(MAKE_BUILD_DIR)
PACKAGE_INPUTS := $(shell find src -name '*.cpp' -o -name '*.h') CMakeLists.txt pyproject.toml \
	vorn.pyi README.md LICENSE
INSTALLED := $(VENV)/.installed
# The environment variables that pyproject.toml hands to CMake: a change rebuilds.
BUILD_SETTINGS := VORN_WERROR=$(VORN_WERROR) VORN_SANITIZE=$(VORN_SANITIZE)

$(VENV)/.build-settings: FORCE | $(PY)
	@echo '$(BUILD_SETTINGS)' | cmp -s - $@ || echo '$(BUILD_SETTINGS)' > $@

# The stamp is dated before the build, so that a file saved while it runs is built next time.
$(INSTALLED): $(PACKAGE_INPUTS) $(VENV)/.build-settings $(VENV)/.build-deps
	@touch $@.new
	$(PIP) install --no-build-isolation $(SKBUILD_MAKE) .
	@mv $@.new $@

install: $(INSTALLED)

# The main job: the vorn command on the bundled example, through all four subcommands.
EXAMPLE := examples/catalog.json
EXAMPLE_OUT := build/example
VORN := $(VENV)/bin/vorn
run: install
	@mkdir -p $(EXAMPLE_OUT)
	$(VORN) encode $(EXAMPLE) -o $(EXAMPLE_OUT)/catalog.vorn
	$(VORN) inspect $(EXAMPLE_OUT)/catalog.vorn
	$(VORN) decode $(EXAMPLE_OUT)/catalog.vorn --indent 2 -o $(EXAMPLE_OUT)/catalog.decoded.json
	@head -n 24 $(EXAMPLE_OUT)/catalog.decoded.json; echo "  ..."
	$(VORN) stats $(EXAMPLE)
	$(PY) -m examples.run $(EXAMPLE)

test: install test-deps replay fixed-key
	VORN_FIXED_KEY_BUILD=$(abspath $(FIXED_KEY_BUILD)) $(PY) -m pytest

# The extension and the command with every hash table keyed by one fixed key, against which
# tests and bench/hash_flooding.py build colliding keys. Never installed.
.PHONY: fixed-key
# One per interpreter, as the environments are: build/fixed-key, build/fixed-key-3.13, ...
FIXED_KEY_BUILD := build/fixed-key$(patsubst .venv%,%,$(VENV))
fixed-key: build-deps
	$(VENV)/bin/cmake -S . -B $(FIXED_KEY_BUILD) -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) \
		-DCMAKE_BUILD_TYPE=Release -DVORN_FIXED_HASH_KEY=ON -DVORN_REPLAY=OFF \
		-DPython_EXECUTABLE=$(abspath $(PY)) >/dev/null
	$(VENV)/bin/cmake --build $(FIXED_KEY_BUILD)

# Every committed fuzz seed through its target, built with a plain main (no libFuzzer, so no
# clang needed) and with AddressSanitizer and UndefinedBehaviorSanitizer.
FUZZ_TARGETS := decode compile decompile emit scan
REPLAY_BUILD := build/replay
# The native tests of the core (tests/native/), built by the replay build.
NATIVE_TESTS := hash_tables_test errors_test key_order_test scan_kernels_test
replay: build-deps
	$(VENV)/bin/cmake -S . -B $(REPLAY_BUILD) -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) \
		-DCMAKE_BUILD_TYPE=RelWithDebInfo -DVORN_PYTHON=OFF -DVORN_CLI=OFF -DVORN_REPLAY=ON \
		-DVORN_SANITIZE=ON -DVORN_WERROR=ON -DVORN_FIXED_HASH_KEY=ON >/dev/null
	$(VENV)/bin/cmake --build $(REPLAY_BUILD)
	for t in $(NATIVE_TESTS); do \
		UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 $(REPLAY_BUILD)/$$t || exit 1; \
	done
	@# A source distribution carries no seeds: then there is nothing to replay.
	for t in $(FUZZ_TARGETS); do \
		if [ -d fuzz/seeds/$$t ]; then \
			UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 $(REPLAY_BUILD)/replay_$$t fuzz/seeds/$$t \
				|| exit 1; \
		fi; \
	done

# The whole suite against an extension built with AddressSanitizer and UndefinedBehaviorSanitizer.
# The interpreter is not instrumented, so the ASan runtime is preloaded and Python's allocator is
# switched to malloc so that ASan sees every block. libstdc++ is preloaded with it, or the first
# C++ exception thrown inside the extension trips the runtime's interception of __cxa_throw.
ASAN_BUILD := build/asan
test-asan: build-deps test-deps
	$(VENV)/bin/cmake -S . -B $(ASAN_BUILD) -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) \
		-DCMAKE_BUILD_TYPE=RelWithDebInfo -DVORN_SANITIZE=ON -DVORN_WERROR=ON \
		-DPython_EXECUTABLE=$(abspath $(PY)) >/dev/null
	$(VENV)/bin/cmake --build $(ASAN_BUILD)
	PYTHONPATH=$(abspath $(ASAN_BUILD)) \
		LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libstdc++.so)" \
		ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
		PYTHONMALLOC=malloc VORN_EXPECT_SANITIZED=1 $(PY) -m pytest -p no:cacheprovider

# libFuzzer targets on the Python-free core, built with clang. FUZZ_TIME is in seconds per target.
FUZZ_TIME ?= 180
FUZZ_BUILD := build/fuzz
fuzz-build: build-deps
	@command -v clang++ >/dev/null && test -n "$$(find /usr/lib/llvm-*/lib/clang -name 'libclang_rt.fuzzer-*.a' 2>/dev/null)" \
		|| (apt-get update -qq && apt-get install -y -qq clang libclang-rt-14-dev >/dev/null)
	$(VENV)/bin/cmake -S . -B $(FUZZ_BUILD) -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) \
		-DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVORN_PYTHON=OFF \
		-DVORN_FUZZ=ON -DVORN_WERROR=ON >/dev/null
	$(VENV)/bin/cmake --build $(FUZZ_BUILD)

fuzz: fuzz-build
	for t in $(FUZZ_TARGETS); do \
		mkdir -p $(FUZZ_BUILD)/corpus-$$t && \
		$(FUZZ_BUILD)/fuzz_$$t -max_total_time=$(FUZZ_TIME) -timeout=10 -rss_limit_mb=2048 \
			-dict=fuzz/vorn.dict -artifact_prefix=$(FUZZ_BUILD)/ -print_final_stats=1 \
			$(FUZZ_BUILD)/corpus-$$t fuzz/seeds/$$t || exit 1; \
	done

# Throughput, size and memory against the peers on the corpus, small documents and sizes from
# 64 KB to 1 GB; the tables, their JSON and the charts go to BENCH_OUT. BENCH_ARGS passes options,
# such as BENCH_ARGS="--quick --files twitter" or BENCH_ARGS="--skip scaling".
.PHONY: bench bench-deps
BENCH_OUT ?= bench/results
bench: install bench-deps
	$(PY) -m bench.bench --json $(BENCH_OUT)/bench.json --charts $(BENCH_OUT) \
		--markdown $(BENCH_OUT)/README.md $(BENCH_ARGS)

format:
	clang-format -i $$(git ls-files 'src/*.cpp' 'src/*.h' 'fuzz/*.cpp' 'fuzz/*.h')

format-check: test-deps
	@command -v clang-format >/dev/null || (apt-get update -qq && apt-get install -y -qq clang-format >/dev/null)
	clang-format --dry-run --Werror $$(git ls-files 'src/*.cpp' 'src/*.h' 'fuzz/*.cpp' 'fuzz/*.h')
	$(VENV)/bin/ruff check $$(git ls-files '*.py')

# A source distribution in dist/, and a wheel built from it alone (so the sdist is known to be
# complete) installed into a scratch environment, where its command and module are tried.
DIST_CHECK := build/dist-check
dist: build-deps
	$(PIP) install build
	rm -rf dist/*.tar.gz $(DIST_CHECK)
	$(PY) -m build --outdir $(DIST_CHECK)/out
	$(PYTHON) -m venv $(DIST_CHECK)
	$(DIST_CHECK)/bin/python -m pip --disable-pip-version-check -q install --no-deps $(DIST_CHECK)/out/*.whl
	$(DIST_CHECK)/bin/vorn --help >/dev/null
	cd $(DIST_CHECK) && bin/python -c "import vorn; assert vorn.loads(vorn.dumps('[1]')) == [1]"
	mkdir -p dist && cp $(DIST_CHECK)/out/*.tar.gz dist/
	@ls -l dist

# A manylinux wheel for $(PYTHON) in dist/: built from make's CMake tree (so after `make test`
# only the packing is left), then repaired by auditwheel, which gives it the oldest manylinux
# tag that the C library functions its binaries call allow, and which would copy in any shared
# library outside that tag's list (none: libstdc++ is linked in). The extension is built against
# one CPython's ABI, so each interpreter has a wheel of its own: `make wheels` makes and checks
# all three.
CPTAG = $(shell $(PY) -c 'import sys; print("cp%d%d" % sys.version_info[:2])')
WHEEL_RAW = build/wheel-raw/$(CPTAG)
wheel: $(VENV)/.build-deps $(VENV)/.wheel-deps $(VENV)/.build-settings
	rm -rf $(WHEEL_RAW) dist/vorn-*-$(CPTAG)-$(CPTAG)-*.whl
	$(PIP) wheel --no-build-isolation --no-deps $(SKBUILD_MAKE) --wheel-dir $(WHEEL_RAW) .
	PATH=$(abspath $(VENV)/bin):$$PATH auditwheel repair --wheel-dir dist $(WHEEL_RAW)/*.whl
	$(VENV)/bin/auditwheel show dist/vorn-*-$(CPTAG)-$(CPTAG)-*.whl

# The wheel of $(PYTHON), made as above, installed into a new environment whose PATH holds no
# compiler, cmake or ninja, timed, then checked there by tests/test_wheel.py: its tags, the
# module, the command and the libraries they need. The suite's conftest imports the package
# installed into $(VENV), hence the install (from the same build, so nothing more is compiled).
WHEEL_CHECK = build/wheel-check/$(CPTAG)
wheel-check: wheel $(INSTALLED) $(VENV)/.test-deps
	rm -rf $(WHEEL_CHECK)
	$(PYTHON) -m venv $(WHEEL_CHECK)
	@start=$$(date +%s%N); \
	env -i PATH=$(abspath $(WHEEL_CHECK))/bin $(WHEEL_CHECK)/bin/python -m pip \
		--disable-pip-version-check --no-cache-dir -q install --no-index --no-deps \
		dist/vorn-*-$(CPTAG)-$(CPTAG)-manylinux*.whl || exit 1; \
	echo "installed the $(CPTAG) wheel in $$(( ($$(date +%s%N) - start) / 1000000 )) ms"
	VORN_WHEEL_ENV=$(abspath $(WHEEL_CHECK)) $(PY) -m pytest -p no:cacheprovider tests/test_wheel.py

WHEEL_PYTHONS := python3.11 python3.12 python3.13
wheels:
	for p in $(WHEEL_PYTHONS); do $(MAKE) wheel-check PYTHON=$$p || exit 1; done

clean:
	rm -rf build dist $(VENV)
