#!/bin/bash
# The main job: builds SORBEL and downloads the sample program into the simulated target.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
bash scripts/build.sh build/release
exec bash scripts/demo.sh build/release
