#!/bin/bash
# The demo: downloads the bundled sample program into a simulated target, then, where a
# display is present, opens the desktop program on another simulated target.
# Usage: scripts/demo.sh BUILD_DIR   (a build tree made by scripts/build.sh)
set -euo pipefail
cd "$(dirname "$0")/.."

if [ $# -ne 1 ]; then
    echo "usage: $0 BUILD_DIR" >&2
    exit 2
fi
bin="$1/bin"
target_program="$bin/sorbel-target"
cli_program="$bin/sorbel-cli"
gui_program="$bin/sorbel"
sample="$bin/sample.hex"
[ -f "$sample" ] || sample="resources/sample.hex"
baud=19200

for program in "$target_program" "$cli_program"; do
    if [ ! -x "$program" ]; then
        echo "demo: $program is missing; build first: bash scripts/build.sh $1" >&2
        exit 1
    fi
done

work="$(mktemp -d "${TMPDIR:-/tmp}/sorbel-demo.XXXXXX")"
target_pid=""

# SIGINT makes the target print its report; after 5 s it is ended without one.
stop_target() {
    if [ -n "$target_pid" ]; then
        kill -INT "$target_pid" 2>/dev/null || true
        for _ in $(seq 50); do
            kill -0 "$target_pid" 2>/dev/null || break
            sleep 0.1
        done
        kill -KILL "$target_pid" 2>/dev/null || true
        wait "$target_pid" 2>/dev/null || true
        target_pid=""
    fi
}
cleanup() {
    stop_target
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM HUP

# Starts a simulated target paced at the demo's baud rate; sets target_pid and target_port.
start_target() {
    local out="$1"
    "$target_program" --baud "$baud" --page-erase-us 20000 --mass-erase-us 200000 \
        --write-byte-us 20 >"$out" 2>&1 &
    target_pid=$!
    target_port=""
    for _ in $(seq 100); do
        if [ "$(wc -l <"$out")" -ge 1 ]; then
            target_port="$(head -n 1 "$out")"
            return 0
        fi
        if ! kill -0 "$target_pid" 2>/dev/null; then
            break
        fi
        sleep 0.1
    done
    echo "demo: sorbel-target did not start:" >&2
    cat "$out" >&2
    return 1
}

echo "== SORBEL demo: the sample program into a simulated target"
start_target "$work/target.out"
echo "sorbel-target serves the loader on $target_port at $baud baud"
echo "\$ sorbel-cli -p $target_port -b $baud --verify --run $sample"
if [ ! -t 2 ]; then
    echo "(standard error is not a terminal, so sorbel-cli draws no progress bar)"
fi
status=0
"$cli_program" --port "$target_port" --baud "$baud" --no-mass-erase --program --verify \
    --run --timeout 30 "$sample" || status=$?
echo "sorbel-cli exited with status $status"

stop_target
echo "== the target's report"
tail -n +2 "$work/target.out"

if [ "$status" -ne 0 ]; then
    exit "$status"
fi

if [ -z "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
    echo "== no display (neither DISPLAY nor WAYLAND_DISPLAY is set): the desktop step was skipped"
    exit 0
fi
if [ ! -x "$gui_program" ]; then
    echo "== $gui_program was not built: the desktop step was skipped"
    exit 0
fi

echo "== the desktop program on a fresh simulated target"
start_target "$work/gui-target.out"
settings="$work/demo"
sample_path="$(cd "$(dirname "$sample")" && pwd)/$(basename "$sample")"
printf '[Sorbel]\r\nFile=%s\r\nPort=%s\r\nBaud=%s\r\nMassErase=No\r\nProgram=Yes\r\nVerify=Yes\r\nAutorun=No\r\n' \
    "$sample_path" "$target_port" "$baud" >"$settings.ini"
echo "Settings: $settings.ini (port $target_port). Press Start, then Run; close the window to end."
"$gui_program" "$settings" || true
stop_target
echo "== the target's report"
tail -n +2 "$work/gui-target.out"
