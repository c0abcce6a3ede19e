#!/usr/bin/env bash
# Soak: hundreds of clients against the real server on the fixed ports for a
# bounded time, every reply checked (see soak_clients.cpp).
#   bench/soak.sh [SECONDS] [CLIENTS] [SEED]      (defaults: 600 s, 300 clients)
# Exits 1 on a protocol violation, growing memory, a dead server or an
# unclean stop.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-600}
clients=${2:-300}
seed=${3:-1}
server=$PWD/build/vextora-server
driver=$PWD/build/bench/soak_clients
[ -x "$server" ] && [ -x "$driver" ] || { echo "build first: make build" >&2; exit 2; }
if (exec 3<>/dev/tcp/127.0.0.1/23322) 2>/dev/null; then
    echo "port 23322 is taken by another program; run this when it is free" >&2
    exit 2
fi

data=$(mktemp -d)
server_pid=
trap '[ -n "$server_pid" ] && kill -KILL $server_pid 2>/dev/null; rm -rf "$data"' EXIT
: > "$data/users.dat"
for ((i = 0; i < clients; i++)); do
    printf 'SOAK%d\r\npw%d\r\n' "$i" "$i" >> "$data/users.dat"
    mkdir -p "$data/Users/SOAK$i"
done
printf 'boss' > "$data/adminpass.cfg"

(cd "$data" && exec "$server" --headless) &
server_pid=$!
for _ in $(seq 100); do
    (exec 3<>/dev/tcp/127.0.0.1/23322) 2>/dev/null && break
    sleep 0.1
done
status=0
"$driver" "$server_pid" "$seconds" "$clients" "$seed" || status=1
if ! kill -0 "$server_pid" 2>/dev/null; then
    echo "the server is gone"
    exit 1
fi
kill -TERM "$server_pid"
wait "$server_pid" || { echo "the server did not stop cleanly"; status=1; }
server_pid=
exit $status
