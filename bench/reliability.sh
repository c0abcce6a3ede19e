#!/usr/bin/env bash
# Every robustness proof in one run, with its figures written into
# docs/reliability.md (between the "figures" markers).
#   bench/reliability.sh           full: 10 min per fuzzer (one per core), 10 s per hostile
#                                  pattern, 10 min soak of 300 clients,
#                                  50 crash trials (about 40 minutes on 2 cores)
#   bench/reliability.sh --quick   the same, briefly (about five minutes)
# The drivers use the fixed ports: nothing else may listen on them. Exits 1
# when any proof fails; the figures are written either way.
set -uo pipefail
cd "$(dirname "$0")/.."
fuzz_seconds=${FUZZ_SECONDS:-600} pattern_seconds=10 soak_seconds=600 soak_clients=300 trials=50
pairing_rounds=200
if [ "${1:-}" = "--quick" ]; then
    fuzz_seconds=30 pattern_seconds=3 soak_seconds=60 soak_clients=100 trials=10 pairing_rounds=10
fi

make --no-print-directory build fuzz >/dev/null || { echo "build failed" >&2; exit 2; }
figures=$(mktemp)
trap 'rm -f "$figures"' EXIT
status=0

# record TITLE CODE OUTPUT COMMAND...: keeps a proof's summary lines for the
# document.
record() {
    local title=$1 code=$2 output=$3
    shift 3
    echo "$output"
    {
        echo
        echo "### $title"
        echo
        echo '```'
        echo "\$ $*"
        echo "$output" | grep -Ev '^(  [0-9]+ s:|INFO|#)' | tail -n 25
        echo '```'
        [ "$code" -eq 0 ] || echo "**Failed (exit $code).**"
    } >> "$figures"
    [ "$code" -eq 0 ] || status=1
}
# run TITLE COMMAND...: runs it and records it.
run() {
    local title=$1
    shift
    echo "== $title: $*"
    local output code
    output=$("$@" 2>&1)
    code=$?
    record "$title" "$code" "$output" "$@"
}
# The fixed ports may be busy for a while (another program's run): wait.
wait_for_ports() {
    for _ in $(seq 240); do
        (exec 3<>/dev/tcp/127.0.0.1/23322) 2>/dev/null || return 0
        sleep 5
    done
    echo "port 23322 stayed taken for 20 minutes" >&2
}

# The fuzzers run side by side, one per core; each is a single process.
fuzz_out=$(mktemp -d)
trap 'rm -f "$figures"; rm -rf "$fuzz_out"' EXIT
targets=(request account_files catalog_file line_reader)
cores=$(nproc)
for ((first = 0; first < ${#targets[@]}; first += cores)); do
    for target in "${targets[@]:first:cores}"; do
        echo "== Fuzzing: ${target}_fuzzer for $fuzz_seconds s"
        (fuzz/run.sh "$fuzz_seconds" "build-fuzz/${target}_fuzzer" "build-fuzz/fuzz/work/$target" \
            "fuzz/corpus/$target" >"$fuzz_out/$target" 2>&1
         echo $? >"$fuzz_out/$target.code") &
    done
    wait
done
for target in "${targets[@]}"; do
    record "Fuzzing: ${target}_fuzzer" "$(cat "$fuzz_out/$target.code")" "$(cat "$fuzz_out/$target")" \
        fuzz/run.sh "$fuzz_seconds" "build-fuzz/${target}_fuzzer" "build-fuzz/fuzz/work/$target" \
        "fuzz/corpus/$target"
done
wait_for_ports
run "Hostile clients" bench/hostile.sh "$pattern_seconds"
wait_for_ports
run "Transfer pairing" python3 bench/pairing_trials.py --rounds "$pairing_rounds"
wait_for_ports
run "Soak" bench/soak.sh "$soak_seconds" "$soak_clients"
wait_for_ports
run "Crash consistency" bench/crash.sh "$trials"

doc=docs/reliability.md
{
    sed '/<!-- figures:begin -->/q' "$doc"
    echo
    echo "Measured $(date -u '+%Y-%m-%d %H:%M UTC') at commit $(git rev-parse --short HEAD)" \
        "on $(nproc) cores, $(uname -sr)$( [ "${1:-}" = "--quick" ] && echo ', quick run')."
    cat "$figures"
    echo
    sed -n '/<!-- figures:end -->/,$p' "$doc"
} > "$doc.new" && mv "$doc.new" "$doc"
echo "figures written to $doc"
exit $status
