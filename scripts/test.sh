#!/usr/bin/env bash
# Sets up, builds and runs every test without a display.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cd build
QT_QPA_PLATFORM=offscreen ctest --output-on-failure
