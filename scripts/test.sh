#!/usr/bin/env bash
# Builds and runs every test: a warning-free build, then AddressSanitizer +
# UndefinedBehaviorSanitizer, then the threaded tests under ThreadSanitizer, then each
# fuzz target for a few seconds over its seed corpus.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

jobs=$(nproc)
FUZZ_SECONDS=${FUZZ_SECONDS:-5}

build() {  # build DIR [cmake options...]
    local dir=$1
    shift
    cmake -S . -B "$dir" -G Ninja -DBRINDLEAF_WERROR=ON "$@" >/dev/null
    cmake --build "$dir" -j "$jobs"
}

echo "== build and test (warnings are errors)"
build build/release -DCMAKE_BUILD_TYPE=RelWithDebInfo
ctest --test-dir build/release --output-on-failure -j "$jobs"

echo "== AddressSanitizer + UndefinedBehaviorSanitizer"
build build/asan -DCMAKE_BUILD_TYPE=Debug -DBRINDLEAF_SANITIZE=address,undefined -DBRINDLEAF_BENCH=OFF
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
    ctest --test-dir build/asan --output-on-failure -j "$jobs"

echo "== ThreadSanitizer (threaded tests)"
build build/tsan -DCMAKE_BUILD_TYPE=Debug -DBRINDLEAF_SANITIZE=thread -DBRINDLEAF_BENCH=OFF
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
    ctest --test-dir build/tsan --output-on-failure -j "$jobs" -L threaded

if [ -f fuzz/fuzz.cmake ]; then
    echo "== fuzz targets, ${FUZZ_SECONDS}s each"
    CC=clang CXX=clang++ cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=Debug \
        -DBRINDLEAF_FUZZ=ON -DBRINDLEAF_TESTS=OFF -DBRINDLEAF_BENCH=OFF >/dev/null
    cmake --build build/fuzz -j "$jobs"
    bash fuzz/run.sh build/fuzz "$FUZZ_SECONDS"
fi
echo "== all tests passed"
