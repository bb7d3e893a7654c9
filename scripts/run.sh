#!/usr/bin/env bash
# Sets up, builds and launches the program.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
exec build/norvanta "$@"
