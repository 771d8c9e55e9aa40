# The README's commands. Everything runs in a project-local virtualenv.
PYTHON ?= python3
VENV ?= .venv
PY := $(VENV)/bin/python
PIP := $(PY) -m pip

.PHONY: venv test test-zlib test-asan demo bench bench-write clean

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

# The suite on a build with AddressSanitizer and UndefinedBehaviorSanitizer in
# both extension modules (the interpreter itself is not instrumented, so the
# runtime is preloaded; leaks are left to valgrind, since CPython's interned
# objects would drown them).
SAN_FLAGS := -fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer
test-asan: $(PY)
	$(PIP) install -q ".[test]" -C build-dir=build/asan -C cmake.build-type=RelWithDebInfo \
	  -C "cmake.define.CMAKE_CXX_FLAGS=$(SAN_FLAGS)" \
	  -C "cmake.define.CMAKE_SHARED_LINKER_FLAGS=$(SAN_FLAGS)"
	LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libubsan.so)" \
	  ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
	  KORVEL_SANITIZED=1 $(PY) -m pytest -q -p no:cacheprovider

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
