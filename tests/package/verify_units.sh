#!/usr/bin/env bash
# systemd-analyze verify on the units; any warning fails. They name the build tree's service and
# the source's scenario, since the installed paths need not exist here.
#   verify_units.sh SOURCE_DIR TVIOCTRLD
set -euo pipefail
SRC="$1" BIN="$2"
command -v systemd-analyze >/dev/null || { echo "SKIP: systemd-analyze is not installed"; exit 77; }

WORK="$(mktemp -d "${TMPDIR:-/tmp}/quorix-units.XXXXXX")"
trap 'rm -rf "$WORK"' EXIT
units=()
for unit in tvioctrld.service tvioctrld-sim.service tarvo-serve.service; do
    sed -e "s#@QX_UNIT_TVIOCTRLD@#$BIN#" -e "s#@QX_UNIT_SCENARIO@#$SRC/examples/plant.scenario.json#" \
        -e "s#@QX_UNIT_TARVO@#$(dirname "$BIN")/tarvo#" \
        -e "s#@QX_UNIT_CONFDIR@#$SRC/packaging/etc#" \
        "$SRC/packaging/$unit.in" >"$WORK/$unit"
    units+=("$WORK/$unit")
done
if ! systemd-analyze verify --man=no "${units[@]}" >"$WORK/out" 2>&1 || [[ -s "$WORK/out" ]]; then
    echo "systemd-analyze verify complains:" >&2
    cat "$WORK/out" >&2
    exit 1
fi
echo "units verified: ${units[*]##*/}"
