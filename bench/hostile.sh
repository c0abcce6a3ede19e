#!/usr/bin/env bash
# Hostile clients against the real server on the fixed ports (see
# hostile_clients.cpp for the patterns and the limits).
#   bench/hostile.sh [SECONDS_PER_PATTERN]      (default 10)
# The server runs with a descriptor limit of 4096, so that one of the
# patterns can exhaust it. Exits 1 when a limit was missed or the server
# did not stop cleanly.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-10}
server=$PWD/build/vextora-server
driver=$PWD/build/bench/hostile_clients
[ -x "$server" ] && [ -x "$driver" ] || { echo "build first: make build" >&2; exit 2; }

if (exec 3<>/dev/tcp/127.0.0.1/23322) 2>/dev/null; then
    echo "port 23322 is taken by another program; run this when it is free" >&2
    exit 2
fi
data=$(mktemp -d)
server_pid=
trap '[ -n "$server_pid" ] && kill -KILL $server_pid 2>/dev/null; rm -rf "$data"' EXIT
printf 'WELL\r\npw\r\nHOSTILE\r\npw\r\n' > "$data/users.dat"
printf 'boss' > "$data/adminpass.cfg"
# A catalog of some 50 KB, so a listing is a large reply.
{
    printf 'HOSTILE\\big.bin\r\n'
    for i in $(seq 200); do printf 'HOSTILE\\padding-%03d-%0200d\r\n' "$i" 0; done
} > "$data/shared.dat"
mkdir -p "$data/Users/WELL" "$data/Users/HOSTILE"
head -c 4096 /dev/urandom > "$data/Users/WELL/probe.bin"
head -c $((64 << 20)) /dev/zero > "$data/Users/HOSTILE/big.bin"

(cd "$data" && exec prlimit --nofile=4096:4096 "$server" --headless) &
server_pid=$!
for _ in $(seq 100); do
    (exec 3<>/dev/tcp/127.0.0.1/23322) 2>/dev/null && break
    sleep 0.1
done
status=0
"$driver" "$server_pid" "$seconds" || status=1
if ! kill -0 "$server_pid" 2>/dev/null; then
    echo "the server is gone"
    exit 1
fi
kill -TERM "$server_pid"
wait "$server_pid" || { echo "the server did not stop cleanly"; status=1; }
server_pid=
exit $status
