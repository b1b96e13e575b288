#!/bin/bash
# Runs the benchmarks and prints the five figures, one a line, each with the command that
# reproduces it. Installs what is missing (scripts/setup.sh), builds a Release tree in
# build/bench, then runs sorbel-bench and sorbel-reader-bench from it. The details of every
# run (per pass, per command) go to build/bench/bench.log; --verbose shows them as well.
#
# Usage: scripts/bench.sh [--verbose] [--quick]
#   --quick  one download per wire rate instead of five, one for the overhead instead of
#            three, a 20 MB file for the memory bound and a 16 MB file for the reader: about
#            a minute, for a first look.
# Exit status: 0 when figures 1 to 4 meet their goals, 1 when one does not, 2 when a figure
# could not be taken.
set -euo pipefail
cd "$(dirname "$0")/.."

verbose=0
quick=0
for arg in "$@"; do
    case "$arg" in
    --verbose) verbose=1 ;;
    --quick) quick=1 ;;
    *)
        echo "usage: scripts/bench.sh [--verbose] [--quick]" >&2
        exit 2
        ;;
    esac
done

bash scripts/setup.sh
tree=build/bench
cmake -S . -B "$tree" -G Ninja -DCMAKE_BUILD_TYPE=Release -DSORBEL_BUILD_BENCH=ON \
    -DSORBEL_BUILD_GUI=OFF -DSORBEL_BUILD_TESTS=OFF >/dev/null
cmake --build "$tree" --parallel 2 --target sorbel-bench sorbel-reader-bench sorbel-cli \
    sorbel-target >/dev/null

bin="$tree/bin"
log="$tree/bench.log"
: >"$log"
runs=5
overhead_runs=3
memory_mb=100
reader_mb=64
if ((quick)); then
    runs=1
    overhead_runs=1
    memory_mb=20
    reader_mb=16
fi

worst=0
# figure NUMBER COMMAND...: runs a command, prints its summary line and the command.
figure() {
    local number="$1"
    shift
    local out status=0
    if ((verbose)); then
        out=$("$@" 2> >(tee -a "$log" >&2)) || status=$?
    else
        out=$("$@" 2>>"$log") || status=$?
    fi
    if [ -z "$out" ]; then
        out="not measured (see $log)"
    fi
    echo "$number. $out   [reproduce: $*]"
    if ((status > worst)); then worst=$status; fi
}

echo "SORBEL benchmarks on $(nproc) processor(s), $(uname -r), load average $(cut -d' ' -f1-3 /proc/loadavg)"
figure 1 "$bin/sorbel-bench" wire 115200 "$runs"
figure 1 "$bin/sorbel-bench" wire 230400 "$runs"
figure 2 "$bin/sorbel-bench" overhead "$overhead_runs"
figure 3 "$bin/sorbel-bench" idle 10
figure 4 "$bin/sorbel-bench" memory "$memory_mb"
figure 5 env SORBEL_READER_MB="$reader_mb" "$bin/sorbel-reader-bench" --benchmark_color=false \
    --benchmark_min_time=2
exit "$worst"
