#!/usr/bin/env bash
# Builds the Debian packages quorix and quorix-iosvc from a Release build in build/package and
# prints where they are.
#   scripts/package.sh
# Environment: QX_PACKAGE_BUILD_DIR (default build/package).
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD="${QX_PACKAGE_BUILD_DIR:-$ROOT/build/package}"

"$ROOT/scripts/install-deps.sh"
# Only what the packages hold is built: no tests, no benchmarks.
cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
    -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON >/dev/null
cmake --build "$BUILD" --target tarvo tvioctrld Quorix Project
(cd "$BUILD" && cpack -G DEB -B "$BUILD/deb" >"$BUILD/cpack.log" 2>&1) || {
    cat "$BUILD/cpack.log" >&2
    exit 1
}
rm -rf "$BUILD/deb/_CPack_Packages"
echo "packages:"
ls -1 "$BUILD"/deb/*.deb
