#!/usr/bin/env bash
# CPU of an idle server with idle clients connected, measured from the
# kernel's accounting of the server process.
#   bench/idle_cpu.sh [CLIENTS] [SECONDS]       (defaults: 100 clients, 10 s)
# Prints the share of one core used; exits 1 when it reaches 1%.
set -euo pipefail
cd "$(dirname "$0")/.."
clients=${1:-100}
seconds=${2:-10}
server=build/vextora-server
driver=build/bench/idle_clients
[ -x "$server" ] && [ -x "$driver" ] || { echo "build first: make build" >&2; exit 2; }

data=$(mktemp -d)
trap 'kill $server_pid $driver_pid 2>/dev/null; wait 2>/dev/null; rm -rf "$data"' EXIT
(cd "$data" && exec "$OLDPWD/$server" --headless) &
server_pid=$!
for _ in $(seq 50); do
    (exec 3<>/dev/tcp/127.0.0.1/23322) 2>/dev/null && break
    sleep 0.1
done
fifo="$data/.driver"
mkfifo "$fifo"
"$driver" "$clients" $((seconds + 5)) > "$fifo" &
driver_pid=$!
read -r _ _ < "$fifo"
sleep 1  # let the accepts settle

ticks() { awk '{print $14 + $15}' "/proc/$server_pid/stat"; }
hz=$(getconf CLK_TCK)
before=$(ticks)
start=$(date +%s.%N)
sleep "$seconds"
after=$(ticks)
end=$(date +%s.%N)
percent=$(awk -v t="$((after - before))" -v hz="$hz" -v a="$start" -v b="$end" \
    'BEGIN { printf "%.3f", t * 100 / hz / (b - a) }')
printf 'idle server, %d idle clients, %d s: %.3f%% of one core\n' "$clients" "$seconds" "$percent"
awk -v p="$percent" 'BEGIN { exit (p < 1.0) ? 0 : 1 }'
