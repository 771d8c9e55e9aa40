# The README's commands. Everything runs in a project-local virtualenv.
PYTHON ?= python3
VENV ?= .venv
PY := $(VENV)/bin/python
PIP := $(PY) -m pip

.PHONY: venv test demo bench clean

$(PY):
	$(PYTHON) -m venv $(VENV)
	$(PIP) install -q --upgrade pip

venv: $(PY)

# Install with the test extras and run the suite.
test: $(PY)
	$(PIP) install -q ".[test]"
	$(PY) -m pytest -q

# Install and run the quick start on its shipped data.
demo: $(PY)
	$(PIP) install -q ".[examples]"
	$(PY) examples/quickstart.py

bench: $(PY)
	$(PIP) install -q ".[bench]"
	$(PY) benchmarks/bench_read.py

clean:
	rm -rf build $(VENV)
