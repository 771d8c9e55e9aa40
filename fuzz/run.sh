#!/usr/bin/env bash
# Builds the fuzz targets with clang (libFuzzer + ASan + UBSan) and runs each
# for a share of a time budget. Usage: fuzz/run.sh [seconds per target] [targets...]
# With FUZZ_TSAN=1 the targets are built with ThreadSanitizer instead (for the
# reader target's worker threads), in build/fuzz-tsan, and replay the corpus
# earlier runs grew, the seeds and the regressions: libFuzzer's own coverage
# counters are written by every thread and would drown the reports.
# Needs Debian's clang and libclang-rt-14-dev (or newer). Findings are
# written to build/fuzz/findings/<target>; copy each one into
# fuzz/regressions/<target>/ once fixed, so that the tests replay it.
set -euo pipefail
cd "$(dirname "$0")/.."
SECONDS_EACH=${1:-600}
shift || true
TARGETS=${*:-scan stitch inflate prefix signals encode reader j1939 isotp window stats asc candump trc mf4 pcapng}
BUILD=build/fuzz
if [ "${FUZZ_TSAN:-0}" = 1 ]; then
  BUILD=build/fuzz-tsan
  CC=clang CXX=clang++ cmake -S fuzz -B "$BUILD" -DFUZZ_ENGINE=replay -DFUZZ_TSAN=ON \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build "$BUILD" -j"$(nproc)" >/dev/null
  python3 fuzz/make_seeds.py build/fuzz/seeds
  for t in $TARGETS; do
    mkdir -p "build/fuzz/corpus/$t"
    echo "== fuzz_$t under ThreadSanitizer"
    TSAN_OPTIONS=halt_on_error=1 "$BUILD"/fuzz_"$t" "build/fuzz/corpus/$t" \
      "build/fuzz/seeds/$t" "fuzz/regressions/$t" 2>&1 | tail -3
  done
  exit 0
fi
CC=clang CXX=clang++ cmake -S fuzz -B "$BUILD" -DFUZZ_ENGINE=libfuzzer \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$BUILD" -j"$(nproc)" >/dev/null
python3 fuzz/make_seeds.py build/fuzz/seeds
for t in $TARGETS; do
  mkdir -p "build/fuzz/corpus/$t" "build/fuzz/findings/$t"
  echo "== fuzz_$t for ${SECONDS_EACH}s"
  "$BUILD"/fuzz_"$t" "build/fuzz/corpus/$t" "build/fuzz/seeds/$t" "fuzz/regressions/$t" \
    -max_total_time="$SECONDS_EACH" -timeout=10 -rss_limit_mb=2048 -max_len=65536 \
    -artifact_prefix="build/fuzz/findings/$t/" -print_final_stats=1 2>&1 |
    grep -E "^#[0-9]+[[:space:]]+DONE|stat::|ERROR|SUMMARY|Test unit written|fuzz check failed" || true
done
