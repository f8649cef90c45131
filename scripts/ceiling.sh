#!/usr/bin/env bash
# The figures at the protocol's ceiling: requests per second against 300/s, the host process's
# CPU (poll thread and the rest), the service's and the two together, and the latency from a
# PLC change to SetTagValue, for 30 full
# blocks, 4,000 word tags outside blocks on one station, and the same over 32 stations.
#
#   scripts/ceiling.sh [SECONDS]        (per case; default 20)
#
# Environment: QX_BUILD_DIR (default build/default).
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD="${QX_BUILD_DIR:-$ROOT/build/default}"
SECONDS_PER_CASE="${1:-20}"
if ! [[ "$SECONDS_PER_CASE" =~ ^[0-9]+$ ]] || [[ "$SECONDS_PER_CASE" -lt 1 ]]; then
    echo "usage: scripts/ceiling.sh [SECONDS]" >&2
    exit 2
fi

"$ROOT/scripts/build-target.sh" qx_ceiling

exec "$BUILD/bin/qx_ceiling" --seconds "$SECONDS_PER_CASE"
