#!/usr/bin/env bash
# systemd-analyze verify on the configured units; any warning fails. The service binary is the
# build tree's, since the packaged path need not exist here.
#   verify_units.sh BUILD_DIR TVIOCTRLD
set -euo pipefail
BUILD="$1" BIN="$2"
command -v systemd-analyze >/dev/null || { echo "SKIP: systemd-analyze is not installed"; exit 77; }

WORK="$(mktemp -d "${TMPDIR:-/tmp}/quorix-units.XXXXXX")"
trap 'rm -rf "$WORK"' EXIT
units=()
for unit in tvioctrld.service tvioctrld-sim.service; do
    sed -E "s#^ExecStart=[^ ]+#ExecStart=$BIN#" "$BUILD/packaging/$unit" >"$WORK/$unit"
    units+=("$WORK/$unit")
done
if ! systemd-analyze verify --man=no "${units[@]}" >"$WORK/out" 2>&1 || [[ -s "$WORK/out" ]]; then
    echo "systemd-analyze verify complains:" >&2
    cat "$WORK/out" >&2
    exit 1
fi
echo "units verified: ${units[*]##*/}"
