#!/usr/bin/env bash
# Builds the Debian packages quorix, quorix-iosvc and quorix-dev with dpkg-buildpackage from a
# copy of this tree in build/package/src, checks them with lintian and prints where they are.
#   scripts/package.sh
# Environment: QX_PACKAGE_BUILD_DIR (default build/package). The copy keeps its build folder,
# so a second run builds only what changed.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD="${QX_PACKAGE_BUILD_DIR:-$ROOT/build/package}"
SRC="$BUILD/src"

"$ROOT/scripts/install-deps.sh" >&2
mkdir -p "$SRC" "$BUILD/deb"
# The sources as they are, without this tree's builds; what the last package build left in the
# copy's debian/ goes, its build folder stays.
rsync -a --delete --exclude=/build/ --exclude=/.git/ --exclude='/obj-*/' "$ROOT/" "$SRC/"
rm -f "$BUILD"/*.deb "$BUILD"/*.ddeb "$BUILD"/*.changes "$BUILD"/*.buildinfo "$BUILD"/deb/*
echo "package: dpkg-buildpackage in $SRC (log: $BUILD/build.log)" >&2
(cd "$SRC" && dpkg-buildpackage -b -nc -us -uc -j"$(nproc)") >"$BUILD/build.log" 2>&1 || {
    tail -n 40 "$BUILD/build.log" >&2
    echo "package: dpkg-buildpackage failed; the whole log is $BUILD/build.log" >&2
    exit 1
}
mv "$BUILD"/*.deb "$BUILD"/*.ddeb "$BUILD"/*.changes "$BUILD"/*.buildinfo "$BUILD/deb/" 2>/dev/null || true

# Errors and warnings fail; information is shown (what stays is overridden in debian/ with
# its reason).
echo "package: lintian" >&2
changes=("$BUILD"/deb/*.changes)
if ! lintian --fail-on error,warning -EvIL +pedantic --tag-display-limit 0 "${changes[0]}" >"$BUILD/lintian.log" 2>&1; then
    cat "$BUILD/lintian.log" >&2
    echo "package: lintian found errors or warnings" >&2
    exit 1
fi
grep -E '^[EWIPX]: ' "$BUILD/lintian.log" >&2 || true
echo "packages:"
ls -1 "$BUILD"/deb/*.deb
