# Everything runs from a project-local virtual environment that these targets
# create and keep up to date; nothing needs to be installed by hand.
PYTHON ?= python3
VENV ?= .venv
PY := $(VENV)/bin/python
SOURCES := pyproject.toml CMakeLists.txt $(wildcard src/*.h src/*.cpp src/lib/*.h src/lib/*.cpp)
# Installed beside the module: its type stubs and the dask helper.
SOURCES += src/ondulix.pyi python/ondulix_dask.py

.PHONY: demo test install clean matrix sanitize ci

demo: $(VENV)/.installed
	$(PY) examples/demo.py

test: $(VENV)/.installed
	$(PY) -m pytest -q

install: $(VENV)/.installed

$(VENV)/.installed: $(SOURCES)
	test -x $(PY) || $(PYTHON) -m venv $(VENV)
	$(PY) -m pip install -q --upgrade pip
	$(PY) -m pip install -q ".[demo,test]"
	touch $@

# The whole suite on every CPython from 3.9 under pyenv, on the newest NumPy
# and on NumPy 1.26, each from one build against NumPy 2.x headers.
matrix:
	$(PYTHON) .ci/matrix.py

# The whole suite on an AddressSanitizer + UndefinedBehaviorSanitizer build,
# then a leak check of the module's own allocations.
sanitize:
	$(PYTHON) .ci/sanitize.py

# What CI runs: make test, then the matrix and the sanitizer run.
ci:
	bash .ci/run

clean:
	rm -rf $(VENV) build dist

# The benchmark (not part of the tests): ondulix against a bare C loop, the
# NumPy expression, numexpr and a Python loop; writes docs/benchmark.md and
# docs/benchmark.png. BENCH_ARGS=--quick gives a short smoke run.
.PHONY: bench
bench: $(VENV)/.bench-tools
	$(PY) bench/run.py $(BENCH_ARGS)

$(VENV)/.bench-tools: $(VENV)/.installed
	$(PY) -m pip install -q numexpr matplotlib
	touch $@
