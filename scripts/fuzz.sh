#!/bin/bash
# Builds the libFuzzer targets with clang and runs each for a bounded time; any finding
# (crash, sanitizer report, time-out, memory blow-up) fails the run.
# Usage: scripts/fuzz.sh [seconds per fuzzer, default 30] [fuzzer names...]
# Every fuzzer with a seed folder tests/fuzz/corpus/<name> is run, unless names are given.
# New inputs go to build/fuzz/corpus/<name>, findings to build/fuzz/findings/<name>/.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds="${1:-30}"
shift || true
build=build/fuzz

CC="${CC:-clang}" CXX="${CXX:-clang++}" cmake -S . -B "$build" -G Ninja \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSORBEL_BUILD_FUZZ=ON -DSORBEL_BUILD_GUI=OFF \
    -DSORBEL_BUILD_TESTS=OFF -DSORBEL_WERROR=ON >/dev/null
cmake --build "$build" --target fuzzers --parallel 2

names=("$@")
if ((${#names[@]} == 0)); then
    for seeds in tests/fuzz/corpus/*/; do
        names+=("$(basename "$seeds")")
    done
fi

export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1}:abort_on_error=0"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1}:halt_on_error=1"
failed=()
for name in "${names[@]}"; do
    fuzzer="$build/fuzzers/$name"
    if [ ! -x "$fuzzer" ]; then
        echo "fuzz: no fuzzer $name for tests/fuzz/corpus/$name" >&2
        failed+=("$name")
        continue
    fi
    work="$build/corpus/$name"
    findings="$build/findings/$name"
    mkdir -p "$work" "$findings"
    options=(-max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1
        -artifact_prefix="$findings/")
    if [ -f "tests/fuzz/$name.dict" ]; then
        options+=(-dict="tests/fuzz/$name.dict")
    fi
    echo "== fuzz $name for ${seconds}s"
    log="$build/$name.log"
    if "$fuzzer" "${options[@]}" "$work" "tests/fuzz/corpus/$name" >"$log" 2>&1; then
        grep -E '^stat::(number_of_executed_units|peak_rss_mb)' "$log" || true
    else
        tail -n 60 "$log" >&2
        echo "fuzz: $name found a fault; the input is in $findings/" >&2
        failed+=("$name")
    fi
done

if ((${#failed[@]})); then
    echo "fuzz: failed: ${failed[*]}" >&2
    exit 1
fi
echo "fuzz: no findings"
