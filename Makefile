# The README's commands. Everything runs in a project-local virtualenv.
PYTHON ?= python3
VENV ?= .venv
PY := $(VENV)/bin/python
PIP := $(PY) -m pip

.PHONY: venv test test-zlib demo bench bench-write clean

$(PY):
	$(PYTHON) -m venv $(VENV)
	$(PIP) install -q --upgrade pip

venv: $(PY)

# Install with the test extras and run the suite.
test: $(PY)
	$(PIP) install -q ".[test]"
	$(PY) -m pytest -q

# The same suite on a build that inflates with zlib only (no libdeflate).
test-zlib: $(PY)
	$(PIP) install -q ".[test]" -C cmake.define.KORVEL_USE_LIBDEFLATE=OFF -C build-dir=build/zlib-only
	$(PY) -c "import korvel.korvel as k; assert k.INFLATER == 'zlib', k.INFLATER"
	$(PY) -m pytest -q

# Install and run the quick start on its shipped data.
demo: $(PY)
	$(PIP) install -q ".[examples]"
	$(PY) examples/quickstart.py

bench: $(PY)
	$(PIP) install -q ".[bench]"
	$(PY) benchmarks/bench_read.py

bench-write: $(PY)
	$(PIP) install -q ".[bench]"
	$(PY) benchmarks/bench_write.py

clean:
	rm -rf build $(VENV)
