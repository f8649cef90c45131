#!/usr/bin/env bash
# A soak run: the real driver module and the real tvioctrld --simulate under a host that writes
# random values of every type every cycle, while stations fall silent and return, one answers
# with errors, one answers slowly, one never answers, and the service is killed and started
# again under the running host. Prints a table of checks; exits 1 if any failed.
#
#   scripts/soak.sh [MINUTES]        (default 60; at least 1)
#
# Environment: QX_BUILD_DIR (default build/default), QX_SOAK_RESTART_EVERY (seconds between
# kills of the service; default a quarter of the run, 30 to 300), QX_SOAK_SCENARIO and
# QX_SOAK_CONFIG (JSON files; default bench/soak/soak.scenario.json and bench/soak/soak.json).
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD="${QX_BUILD_DIR:-$ROOT/build/default}"
MINUTES="${1:-60}"
if ! [[ "$MINUTES" =~ ^[0-9]+([.][0-9]+)?$ ]]; then
    echo "usage: scripts/soak.sh [MINUTES]" >&2
    exit 2
fi

"$ROOT/scripts/build-target.sh" qx_soak

RESTART=()
if [[ -n "${QX_SOAK_RESTART_EVERY:-}" ]]; then
    RESTART=(--restart-every "$QX_SOAK_RESTART_EVERY")
fi

exec "$BUILD/bin/qx_soak" --minutes "$MINUTES" "${RESTART[@]}" \
    --config "${QX_SOAK_CONFIG:-$ROOT/bench/soak/soak.json}" \
    --scenario "${QX_SOAK_SCENARIO:-$ROOT/bench/soak/soak.scenario.json}"
