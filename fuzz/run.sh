#!/usr/bin/env bash
# Runs one fuzzer for a while on its corpus and prints one summary line.
#   fuzz/run.sh SECONDS FUZZER WORK_FOLDER CORPUS_FOLDER
# New inputs go to WORK_FOLDER, never into CORPUS_FOLDER; a failing input is
# left there as crash-*, leak-*, timeout-* or oom-*. The fuzzer runs in an
# empty folder of its own, which must still be empty afterwards. Exits 1 when
# the fuzzer found anything.
set -uo pipefail
seconds=$1 fuzzer=$2 work=$3 corpus=$4
name=$(basename "$fuzzer")
mkdir -p "$work"
work=$(cd "$work" && pwd)
corpus=$(cd "$corpus" && pwd)
fuzzer=$(cd "$(dirname "$fuzzer")" && pwd)/$name
log="$work/last-run.log"
# Scratch folders on a memory file system when there is one: the checks
# flush files to disk, and a disk would set the pace.
if [ -z "${TMPDIR:-}" ] && [ -w /dev/shm ]; then export TMPDIR=/dev/shm; fi
cwd=$(mktemp -d)
trap 'rm -rf "$cwd"' EXIT

# -timeout: an input that takes this long has frozen the server loop.
(cd "$cwd" && exec "$fuzzer" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$work/" "$work" "$corpus") >"$log" 2>&1
status=$?

stat() { awk -v key="stat::$1:" '$1 == key { print $2 }' "$log"; }
runs=$(stat number_of_executed_units)
rate=$(stat average_exec_per_sec)
peak=$(stat peak_rss_mb)
stray=$(ls -A "$cwd")
if [ "$status" -ne 0 ] || [ -n "$stray" ] || [ -z "$runs" ]; then
    tail -n 40 "$log"
    [ -n "$stray" ] && echo "written in the fuzzer's working folder: $stray"
    echo "$name: FAILED after ${runs:-?} runs (exit $status; log $log)"
    exit 1
fi
echo "$name: ${seconds} s, $runs runs, $rate exec/s, peak RSS $peak MB, no failure"
