#!/bin/bash
# Runs every test: installs what is missing, builds with warnings as errors, runs ctest.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

export QT_QPA_PLATFORM=offscreen
bash scripts/build.sh build/test -DSORBEL_WERROR=ON
ctest --test-dir build/test --output-on-failure --parallel 2
