#!/bin/bash
# Runs every test: installs what is missing, then
#  1. the full build with warnings as errors, and every test (GUI tests on the offscreen platform);
#     then the Debian package built, installed, used and removed;
#  2. the engine's and the CLI's tests under AddressSanitizer and UndefinedBehaviorSanitizer;
#  3. the engine's and the CLI's tests, threaded all of them, under ThreadSanitizer;
#  4. every fuzzer for a bounded time (scripts/fuzz.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

export QT_QPA_PLATFORM=offscreen
jobs=2

echo "== build and tests"
bash scripts/build.sh build/test -DSORBEL_WERROR=ON
ctest --test-dir build/test --output-on-failure --parallel "$jobs"

echo "== the Debian package, installed and removed again"
bash scripts/package-test.sh build/test

echo "== address and undefined-behaviour sanitizers"
# Warnings stay warnings here: GCC 12 reports false ones (maybe-uninitialized inside
# std::regex and std::function) once the sanitizers' instrumentation is inlined.
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
bash scripts/build.sh build/asan -DSORBEL_WERROR=OFF -DSORBEL_BUILD_GUI=OFF \
    -DSORBEL_SANITIZE=address,undefined
ctest --test-dir build/asan --output-on-failure --parallel "$jobs"

echo "== thread sanitizer"
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
bash scripts/build.sh build/tsan -DSORBEL_WERROR=OFF -DSORBEL_BUILD_GUI=OFF \
    -DSORBEL_SANITIZE=thread
ctest --test-dir build/tsan --output-on-failure --parallel "$jobs"

if [ -f scripts/fuzz.sh ]; then
    echo "== fuzzing"
    bash scripts/fuzz.sh "${SORBEL_FUZZ_SECONDS:-30}"
fi
