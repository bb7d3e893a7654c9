#!/usr/bin/env bash
# Sets up, builds and runs every test without a display; then builds the
# whole suite again with AddressSanitizer and UndefinedBehaviorSanitizer and
# runs it there, where any finding fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
(cd build && QT_QPA_PLATFORM=offscreen ctest --output-on-failure)

cmake -S . -B build-sanitize -DCMAKE_BUILD_TYPE=RelWithDebInfo -DNORVANTA_SANITIZE=ON
cmake --build build-sanitize -j"$(nproc)"
cd build-sanitize
ASAN_OPTIONS=detect_leaks=1:halt_on_error=1 \
UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
QT_QPA_PLATFORM=offscreen ctest --output-on-failure
