#!/usr/bin/env bash
# The example plant, end to end: the simulated K-Link board behind tvioctrld, the driver module
# loaded by the tarvo host, live values for 20 seconds, a write that comes back as a changed
# value, and the station statistics at the end.
#
#   scripts/demo.sh [extra tarvo run options, e.g. --for 60 --stats 2]
#
# Environment: QX_BUILD_DIR (default build/default), QX_DEMO_TRACE=1 to log the board's
# decoded exchanges in the service log.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD="${QX_BUILD_DIR:-$ROOT/build/default}"
BIN="$BUILD/bin"
JSON="$ROOT/examples/plant.json"
CFG="$ROOT/examples/plant.cfg"
TAGS="$ROOT/examples/plant.tags"
SCENARIO="$ROOT/examples/plant.scenario.json"

say() { printf '\033[1m== %s\033[0m\n' "$*"; }

# A fresh machine first gets the packages it lacks (quick when all are there).
"$ROOT/scripts/install-deps.sh"

# Configure once; the build itself is a quick no-op when everything is up to date.
if [[ ! -f "$BUILD/CMakeCache.txt" ]]; then
    say "configuring $BUILD"
    if [[ -z "${QX_BUILD_DIR:-}" ]]; then
        (cd "$ROOT" && cmake --preset default >/dev/null)
    else
        cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
    fi
fi
say "building the driver, the host and the I/O service"
cmake --build "$BUILD" --target tarvo tvioctrld Quorix

DEVDIR="$(mktemp -d "${TMPDIR:-/tmp}/quorix-demo.XXXXXX")"
export QX_DEVICE_DIR="$DEVDIR"
SVC_PID=""
cleanup() {
    local rc=$?
    if [[ -n "$SVC_PID" ]] && kill -0 "$SVC_PID" 2>/dev/null; then
        kill -TERM "$SVC_PID" 2>/dev/null || true
        wait "$SVC_PID" 2>/dev/null || true
    fi
    rm -rf "$DEVDIR"
    exit "$rc"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

if [[ ! -f "$CFG" || "$JSON" -nt "$CFG" ]]; then
    say "writing $(basename "$CFG") from $(basename "$JSON")"
    "$BIN/tarvo" cfg import "$JSON" "$CFG"
fi

say "starting tvioctrld --simulate $(basename "$SCENARIO") (device folder $DEVDIR)"
TRACE=()
[[ "${QX_DEMO_TRACE:-0}" == 1 ]] && TRACE=(--trace)
"$BIN/tvioctrld" --simulate "$SCENARIO" --ready-file "$DEVDIR/ready" "${TRACE[@]}" \
    >"$DEVDIR/tvioctrld.out" 2>"$DEVDIR/tvioctrld.log" &
SVC_PID=$!
for _ in $(seq 100); do
    [[ -f "$DEVDIR/ready" ]] && break
    if ! kill -0 "$SVC_PID" 2>/dev/null; then
        echo "tvioctrld did not start:" >&2
        cat "$DEVDIR/tvioctrld.log" >&2
        exit 1
    fi
    sleep 0.1
done
if [[ ! -f "$DEVDIR/ready" ]]; then
    echo "tvioctrld is not ready after 10 s:" >&2
    cat "$DEVDIR/tvioctrld.log" >&2
    exit 1
fi

# Press.Setpoint (PLC1 D0110) holds still in the simulated PLC: the write comes back as a
# changed value on the next poll of its block.
say "tarvo run: live values (20 s unless --for says otherwise); Press.Setpoint 500 -> 1234 after 3 s; PACK is switched off"
"$BIN/tarvo" run "$CFG" "$TAGS" --for 20 --stats 5 --write Press.Setpoint=1234 \
    --write Press.Recipe=DEMO-01 "$@" </dev/null

say "service log"
tail -n 20 "$DEVDIR/tvioctrld.log"
