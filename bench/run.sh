#!/usr/bin/env bash
# Measures our server side by side with vsftpd, nginx and the loopback
# ceiling (iperf3), in one run, and writes docs/performance.md with its
# plots. Run by `make bench`, which installs the peers and builds first.
#   bench/run.sh [--quick]     --quick: fewer runs and clients, for a try-out
#
# Everything listens on 127.0.0.1 only, from a temporary folder on tmpfs
# (/dev/shm) that holds every server's files and configuration, so disks stay
# out of the figures and no system service is touched. Every server started
# here is stopped on exit, however the script ends.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

quick=0
[ "${1:-}" = "--quick" ] && quick=1
RUNS=11                # single-stream transfers per server
CONCURRENT_RUNS=3      # rounds of the 8-client download
CONCURRENT_SECONDS=5
LATENCY_COUNT=20000    # timed small requests per server and kind in a round
LATENCY_RUNS=11
LATENCY_BLOCK=500      # timed requests in one turn of a server and kind,
LATENCY_LEAD=8         # after this many untimed ones
BIG_IDLE=10000
if [ "$quick" = 1 ]; then
    RUNS=2 CONCURRENT_RUNS=1 CONCURRENT_SECONDS=2 LATENCY_COUNT=3000 LATENCY_RUNS=1 BIG_IDLE=2000
fi
FTP_IDLE_MAX=1000      # vsftpd runs two processes per client; see the report

OUR_PORT=23322         # and 23323 for transfers: fixed
HTTP_PORT=18080
FTP_PORT=12121
IPERF_PORT=15201

server_bin=$root/build/vextora-server
client=$root/build/bench/bench_client
for f in "$server_bin" "$client"; do
    [ -x "$f" ] || { echo "missing $f: build first (make build)" >&2; exit 2; }
done
for tool in vsftpd nginx iperf3 gnuplot ss; do
    command -v "$tool" >/dev/null || [ -x "/usr/sbin/$tool" ] ||
        { echo "missing $tool: scripts/install-deps.sh bench" >&2; exit 2; }
done
export PATH=$PATH:/usr/sbin
ulimit -n "$(ulimit -Hn)"

work=$(mktemp -d /dev/shm/vextora-bench.XXXXXX)
chmod 755 "$work"
results=$work/results
pids=()

cleanup() {
    local pid
    for pid in "${pids[@]}"; do
        kill -TERM -- "-$pid" 2>/dev/null || kill -TERM "$pid" 2>/dev/null || true
    done
    for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

log() { printf '[%s] %s\n' "$(date +%H:%M:%S)" "$*" >&2; }

# Starts a command in its own process group (so a stop reaches its children)
# and remembers it for the clean-up. Sets $last_pid.
start_group() {
    setsid "$@" </dev/null >>"$work/servers.log" 2>&1 &
    last_pid=$!
    pids+=("$last_pid")
}

stop_group() {
    kill -TERM -- "-$1" 2>/dev/null || true
    wait "$1" 2>/dev/null || true
}

port_open() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }

wait_port() {
    for _ in $(seq 100); do
        port_open "$1" && return 0
        sleep 0.1
    done
    echo "nothing listens on port $1; see $work/servers.log:" >&2
    cat "$work/servers.log" >&2
    exit 1
}

# ---- Files: one copy on tmpfs, hard-linked into every server's folder ----

log "preparing files in $work"
mkdir -p "$work/files"
head -c $((1024 * 1024 * 1024)) /dev/urandom >"$work/files/big.bin"
head -c $((10 * 1024 * 1024)) /dev/urandom >"$work/files/mid.bin"
printf 'hello\n' >"$work/files/tiny.txt"
BIG_SIZE=$((1024 * 1024 * 1024))

ours=$work/ours
mkdir -p "$ours/Users/SERVERSHARE" "$ours/Users/BENCH"
ln "$work/files/big.bin" "$work/files/mid.bin" "$ours/Users/SERVERSHARE/"
ln "$work/files/tiny.txt" "$ours/Users/BENCH/"
printf 'SERVERSHARE\\big.bin\r\nSERVERSHARE\\mid.bin\r\n' >"$ours/shared.dat"
printf 'BENCH\r\npw\r\n' >"$ours/users.dat"
# Tests of other checkouts on this machine may reach our fixed ports: give
# the administrator a password nobody knows, so nothing can stop this server.
head -c 16 /dev/urandom | od -An -tx1 | tr -d ' \n' >"$ours/adminpass.cfg"

www=$work/www
mkdir -p "$www/html/up" "$www/tmp" "$www/logs"
ln "$work/files/big.bin" "$work/files/mid.bin" "$work/files/tiny.txt" "$www/html/"
cat >"$www/nginx.conf" <<EOF
# One worker: our server is one thread, and the load generator needs the
# other core.
user root;
worker_processes 1;
worker_rlimit_nofile 20000;
pid $www/nginx.pid;
error_log $www/logs/error.log warn;
events { worker_connections 20000; }
http {
    access_log off;
    sendfile on;
    tcp_nopush on;
    tcp_nodelay on;
    keepalive_requests 100000000;
    keepalive_timeout 600s;
    client_header_timeout 600s;
    client_body_timeout 600s;
    send_timeout 600s;
    client_max_body_size 0;
    client_body_temp_path $www/tmp;
    server {
        listen 127.0.0.1:$HTTP_PORT;
        root $www/html;
        location = /ping { return 204; }
        location /up/ {
            dav_methods PUT;
            dav_access user:rw group:r all:r;
        }
    }
}
EOF

ftp=$work/ftp
mkdir -p "$ftp/root/up" "$ftp/empty"
ln "$work/files/big.bin" "$work/files/mid.bin" "$work/files/tiny.txt" "$ftp/root/"
chown ftp "$ftp/root/up"
cat >"$ftp/vsftpd.conf" <<EOF
listen=YES
listen_ipv6=NO
listen_address=127.0.0.1
listen_port=$FTP_PORT
background=NO
anonymous_enable=YES
no_anon_password=YES
local_enable=NO
anon_root=$ftp/root
write_enable=YES
anon_upload_enable=YES
anon_other_write_enable=YES
anon_umask=022
connect_from_port_20=NO
pasv_enable=YES
pasv_min_port=12200
pasv_max_port=12999
secure_chroot_dir=$ftp/empty
seccomp_sandbox=NO
isolate=NO
isolate_network=NO
max_clients=0
max_per_ip=0
xferlog_enable=NO
dirmessage_enable=NO
use_sendfile=YES
idle_session_timeout=600
data_connection_timeout=600
EOF

# ---- Servers ----

log "starting the servers"
# Other checkouts on this machine run tests of the real program on our fixed
# ports: wait for them to let go, and try again if one takes the port first.
our_pid=
for attempt in $(seq 20); do
    for _ in $(seq 300); do
        port_open $OUR_PORT || port_open $((OUR_PORT + 1)) || break
        log "port $OUR_PORT is busy (another server); waiting"
        sleep 2
    done
    start_group env -C "$ours" "$server_bin" --headless
    for _ in $(seq 50); do
        ss -Hltnp "( sport = :$OUR_PORT )" | grep -q "pid=$last_pid," && break
        kill -0 "$last_pid" 2>/dev/null || break
        sleep 0.1
    done
    if ss -Hltnp "( sport = :$OUR_PORT )" | grep -q "pid=$last_pid,"; then
        our_pid=$last_pid
        break
    fi
    log "our server could not take its ports (attempt $attempt)"
done
[ -n "$our_pid" ] || { echo "port $OUR_PORT stayed busy" >&2; exit 1; }
start_group nginx -c "$www/nginx.conf" -p "$www" -g 'daemon off;'
nginx_pid=$last_pid
start_group vsftpd "$ftp/vsftpd.conf"
ftp_pid=$last_pid
start_group iperf3 -s -B 127.0.0.1 -p $IPERF_PORT
wait_port $HTTP_PORT
wait_port $FTP_PORT
wait_port $IPERF_PORT

# The protocol, port and file names each server is driven with.
proto_ours=vextora port_ours=$OUR_PORT big_ours='SERVERSHARE\big.bin'
mid_ours='SERVERSHARE\mid.bin' up_ours=big.up tiny_ours=tiny.txt
proto_nginx=http port_nginx=$HTTP_PORT big_nginx=big.bin mid_nginx=mid.bin
up_nginx=big.up tiny_nginx=tiny.txt
proto_vsftpd=ftp port_vsftpd=$FTP_PORT big_vsftpd=big.bin mid_vsftpd=mid.bin
up_vsftpd=up/big.up tiny_vsftpd=tiny.txt
upfile_ours=$ours/Users/BENCH/big.up upfile_nginx=$www/html/up/big.up
upfile_vsftpd=$ftp/root/up/big.up
servers=(ours nginx vsftpd)

drive() {  # SERVER COMMAND ARGS...: the client against that server
    local s=$1
    shift
    local proto=proto_$s port=port_$s
    "$client" "${!proto}" "${!port}" "$@"
}
record() {  # SERVER: "key value" lines on stdin go to the results
    sed "s/^/$1 /" | tee -a "$results" >&2
}

# A process and all its descendants (vsftpd's sessions leave its group).
tree_pids() {
    ps -e -o pid=,ppid= | awk -v root="$1" '{ parent[$1] = $2 } END {
        for (p in parent) {
            q = p
            while (q != root && (q in parent) && q > 1) q = parent[q]
            if (q == root) print p
        } }'
}
# The processes of a server, for CPU and memory.
server_pids() {
    case $1 in
        ours) echo "$our_pid" ;;
        nginx) tree_pids "$nginx_pid" ;;
        vsftpd) tree_pids "$ftp_pid" ;;
    esac
}
# Proportional set size in KiB, summed over the server's processes, so pages
# that forked processes share are counted once.
server_pss_kib() {
    local total=0 pid kib
    for pid in $(server_pids "$1"); do
        kib=$(awk '/^Pss:/ {print $2}' "/proc/$pid/smaps_rollup" 2>/dev/null || echo 0)
        total=$((total + ${kib:-0}))
    done
    echo "$total"
}
server_cpu_ticks() {
    local total=0 pid t
    for pid in $(server_pids "$1"); do
        t=$(awk '{print $14 + $15}' "/proc/$pid/stat" 2>/dev/null || echo 0)
        total=$((total + ${t:-0}))
    done
    echo "$total"
}
# Connections the server has taken from its listen queue: those established
# to its port less those still waiting in the queue.
accepted_count() {
    local port=port_$1 established queued
    established=$(ss -Htn state established "( sport = :${!port} )" | wc -l)
    queued=$(ss -Hltn "( sport = :${!port} )" | awk '{ n += $2 } END { print n + 0 }')
    echo $((established - queued))
}

iperf_stream() {  # extra iperf3 options: one 1 GiB stream, in MiB/s
    iperf3 -c 127.0.0.1 -p $IPERF_PORT -n 1G -J "$@" | awk '/"sum_received"/ { f = 1 }
        f && /"bits_per_second"/ {
            gsub(/[^0-9.e+]/, "", $2); printf "download_mibps %.1f\n", $2 / 8 / 1048576; exit }'
}

log "load before measuring: $(cut -d' ' -f1-3 /proc/loadavg)"
load_start=$(cut -d' ' -f1-3 /proc/loadavg)
: >"$results"

# ---- Single streams, runs interleaved across the servers ----

log "single-stream download and upload of 1 GiB, $RUNS runs each"
for _ in $(seq "$RUNS"); do
    # The ceiling: one stream from memory. Then the same stream sending the
    # 1 GiB file with sendfile, as the servers do.
    iperf_stream | record iperf3
    iperf_stream -Z -F "$work/files/big.bin" | record iperf3-sendfile
    for s in "${servers[@]}"; do
        big=big_$s up=up_$s
        drive "$s" download "${!big}" 1 | record "$s"
        # Every upload writes a new file: see the report on freed memory.
        upfile=upfile_$s
        rm -f "${!upfile}"
        drive "$s" upload "${!up}" $BIG_SIZE 1 | record "$s"
    done
done

log "aggregate of 8 concurrent clients downloading 10 MiB, ${CONCURRENT_SECONDS} s x $CONCURRENT_RUNS"
for _ in $(seq "$CONCURRENT_RUNS"); do
    for s in "${servers[@]}"; do
        mid=mid_$s
        drive "$s" concurrent "${!mid}" 8 "$CONCURRENT_SECONDS" | record "$s"
    done
done

log "one download alone, then beside 4 stuck downloads"
for s in "${servers[@]}"; do
    big=big_$s
    drive "$s" stuck "${!big}" 4 "$RUNS" | record "$s"
done

# ---- Small requests with idle clients connected ----

# LATENCY_RUNS rounds, each one run of the client against every given server
# at once: it measures both kinds of request on each, in short blocks taken in
# turn, so that a change in the machine's load falls on all of them alike.
# Each round lists the servers starting with the next one. IDLE labels the
# figures.
latency_rounds() {  # IDLE SERVER...
    local idle=$1 round turn s targets proto port tiny
    shift
    local list=("$@")
    for round in $(seq 0 $((LATENCY_RUNS - 1))); do
        targets=()
        for turn in $(seq 0 $((${#list[@]} - 1))); do
            s=${list[$(((round + turn) % ${#list[@]}))]}
            proto=proto_$s port=port_$s tiny=tiny_$s
            targets+=("$s=${!proto}:${!port}:${!tiny}")
        done
        "$client" latency "$LATENCY_COUNT" "$LATENCY_BLOCK" "$LATENCY_LEAD" "${targets[@]}" |
            sed "s/^\([^ ]*\) /\1 idle${idle}_/" | tee -a "$results" >&2
    done
}

# Opens COUNT idle clients to SERVER and waits until the server has taken
# them all. Sets $idle_pid.
open_idle() {
    local s=$1 count=$2 base
    base=$(accepted_count "$s")
    local proto=proto_$s port=port_$s
    start_group "$client" "${!proto}" "${!port}" idle "$count" 600
    idle_pid=$last_pid
    for _ in $(seq 1200); do
        [ "$(accepted_count "$s")" -ge $((base + count)) ] && break
        sleep 0.1
    done
    [ "$(accepted_count "$s")" -ge $((base + count)) ] ||
        { echo "$s took only $(accepted_count "$s") of $count idle clients" >&2; exit 1; }
    settle
}

# Waits, up to 30 s, for a second in which the processors are at least 95%
# idle: opening a thousand clients leaves work behind (vsftpd forks two
# processes for each), and a round measured during it would measure that.
settle() {
    local before after busy total i
    for _ in $(seq 30); do
        read -ra before < <(head -1 /proc/stat)
        sleep 1
        read -ra after < <(head -1 /proc/stat)
        total=0
        for i in 1 2 3 4 5 6 7 8; do total=$((total + after[i] - before[i])); done
        busy=$((total - (after[4] - before[4]) - (after[5] - before[5])))
        [ $((busy * 100)) -le $((total * 5)) ] && return 0
    done
    log "the machine stayed busy; measuring anyway"
}

hz=$(getconf CLK_TCK)
log "small requests with 0 and 1000 idle clients, runs interleaved across the servers"
settle
latency_rounds 0 "${servers[@]}"
idle_pids=()
for s in "${servers[@]}"; do
    open_idle "$s" 1000
    idle_pids+=("$idle_pid")
done
latency_rounds 1000 "${servers[@]}"
for pid in "${idle_pids[@]}"; do stop_group "$pid"; done
sleep 1

# Each server in turn takes its idle clients for the CPU and memory figures
# and keeps them; then the round trips of those holding all of them.
idle_pids=() crowded=()
for s in "${servers[@]}"; do
    log "$s: $BIG_IDLE idle clients (vsftpd at most $FTP_IDLE_MAX)"
    count=$BIG_IDLE
    [ "$s" = vsftpd ] && [ "$count" -gt $FTP_IDLE_MAX ] && count=$FTP_IDLE_MAX
    before=$(server_pss_kib "$s")
    open_idle "$s" "$count"
    idle_pids+=("$idle_pid")
    after=$(server_pss_kib "$s")
    t0=$(server_cpu_ticks "$s")
    s0=$(date +%s.%N)
    sleep 10
    t1=$(server_cpu_ticks "$s")
    s1=$(date +%s.%N)
    {
        echo "idle_clients $count"
        awk -v b="$before" -v a="$after" -v n="$count" \
            'BEGIN { printf "idle_bytes_per_client %.0f\n", (a - b) * 1024 / n }'
        awk -v t=$((t1 - t0)) -v hz="$hz" -v a="$s0" -v b="$s1" \
            'BEGIN { printf "idle_cpu_percent %.3f\n", t * 100 / hz / (b - a) }'
    } | record "$s"
    [ "$count" = "$BIG_IDLE" ] && crowded+=("$s")
done
log "small requests with $BIG_IDLE idle clients: ${crowded[*]}"
latency_rounds "$BIG_IDLE" "${crowded[@]}"
for pid in "${idle_pids[@]}"; do stop_group "$pid"; done
sleep 1
load_end=$(cut -d' ' -f1-3 /proc/loadavg)
log "load after measuring: $load_end"

# ---- Report ----

cp "$results" "$work/results.txt"
export RESULTS="$work/results.txt" LOAD_START="$load_start" LOAD_END="$load_end"
export BIG_IDLE FTP_IDLE_MAX RUNS CONCURRENT_RUNS CONCURRENT_SECONDS LATENCY_COUNT LATENCY_RUNS
export LATENCY_BLOCK LATENCY_LEAD
bash "$root/bench/report.sh" "$root/docs"
log "wrote docs/performance.md and its plots"
