#!/bin/bash
# Renders the desktop program's windows to PNG files with Qt's offscreen platform: the main
# window after start-up and after a download into the simulated target, the configuration
# dialog and the About box. The main window after the download is copied to docs/ for the
# README. Usage: scripts/screenshots.sh [BUILD_DIR] [OUTPUT_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
build="${1:-build/screenshots}"
out="${2:-$build/pictures}"

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSORBEL_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" --target sorbel-screenshots
export XDG_RUNTIME_DIR="${XDG_RUNTIME_DIR:-$(mktemp -d)}"
QT_QPA_PLATFORM=offscreen "$build/bin/sorbel-screenshots" "$out"
mkdir -p docs
cp "$out/main-window-download.png" docs/main-window.png
echo "docs/main-window.png"
