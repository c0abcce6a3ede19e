#!/usr/bin/env bash
# Crash consistency of the real server on the fixed ports (see
# crash_trials.cpp).
#   bench/crash.sh [TRIALS] [SEED]      (defaults: 50 trials)
set -euo pipefail
cd "$(dirname "$0")/.."
trials=${1:-50}
seed=${2:-1}
server=$PWD/build/vextora-server
driver=$PWD/build/bench/crash_trials
[ -x "$server" ] && [ -x "$driver" ] || { echo "build first: make build" >&2; exit 2; }
if (exec 3<>/dev/tcp/127.0.0.1/23322) 2>/dev/null; then
    echo "port 23322 is taken by another program; run this when it is free" >&2
    exit 2
fi
data=$(mktemp -d)
trap 'rm -rf "$data"' EXIT
"$driver" "$server" "$data" "$trials" "$seed"
