#!/usr/bin/env bash
# Installs what the build needs, configures the build folder if it is new, and builds one target.
#   scripts/build-target.sh TARGET
# Environment: QX_BUILD_DIR (default build/default, the default preset's folder).
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD="${QX_BUILD_DIR:-$ROOT/build/default}"
"$ROOT/scripts/install-deps.sh"
if [[ ! -f "$BUILD/CMakeCache.txt" ]]; then
    if [[ -z "${QX_BUILD_DIR:-}" ]]; then
        (cd "$ROOT" && cmake --preset default >/dev/null)
    else
        cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
    fi
fi
cmake --build "$BUILD" --target "$1"
