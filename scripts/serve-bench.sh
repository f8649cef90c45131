#!/usr/bin/env bash
# tarvo serve at the driver's ceiling, against a real mosquitto: values per second through to a
# subscriber, latency from the PLC's change and the gateway's own share, tarvo serve's CPU and
# memory, for 30 blocks x 60 words and 4,000 word tags outside blocks, all changing.
#
#   scripts/serve-bench.sh [SECONDS]        (per case; default 20)
#
# Environment: QX_BUILD_DIR (default build/default).
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD="${QX_BUILD_DIR:-$ROOT/build/default}"
SECONDS_PER_CASE="${1:-20}"
if ! [[ "$SECONDS_PER_CASE" =~ ^[0-9]+$ ]] || [[ "$SECONDS_PER_CASE" -lt 1 ]]; then
    echo "usage: scripts/serve-bench.sh [SECONDS]" >&2
    exit 2
fi
"$ROOT/scripts/build-target.sh" qx_serve_bench
exec "$BUILD/bin/qx_serve_bench" --seconds "$SECONDS_PER_CASE"
