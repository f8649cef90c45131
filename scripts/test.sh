#!/usr/bin/env bash
# Builds everything and runs every test (unit, integration and ui), from a fresh machine on.
#   scripts/test.sh            default build
#   scripts/test.sh asan       AddressSanitizer + UndefinedBehaviorSanitizer build
#   scripts/test.sh tsan       ThreadSanitizer build
set -euo pipefail
cd "$(dirname "$0")/.."
preset="${1:-default}"

scripts/install-deps.sh
cmake --preset "$preset"
cmake --build --preset "$preset" -j "$(nproc)"
# UI tests run without a display.
export QT_QPA_PLATFORM=offscreen
ctest --preset "$preset" -j 2 --output-on-failure
