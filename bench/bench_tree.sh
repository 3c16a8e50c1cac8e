#!/usr/bin/env bash
# A whole real tree scanned from the command line, `winorvex --scan --format csv
# FOLDER`, against `rhash -r --md5 --sha1 FOLDER`, the two run in turn so that
# the load of a shared machine falls on both alike. A first run of each warms
# the page cache and is not counted. Prints every run, the medians, their ratio
# and the ratio against rhash plus the designed registry waits (the handler's
# one-second pass before it asks and the two seconds of silence that end an
# answer), and the machine's load before and after.
#
# Usage: bench/bench_tree.sh [FOLDER] [RUNS] [BUILD_DIR]
#   FOLDER     the tree to scan (default /usr/lib)
#   RUNS       counted runs of each tool (default 3)
#   BUILD_DIR  a build with the winorvex and winorvex-server targets (default build)
set -euo pipefail
cd "$(dirname "$0")/.."
folder=${1:-/usr/lib}
runs=${2:-3}
build=${3:-build}
winorvex=$build/app/winorvex
server=$build/server/winorvex-server
for program in "$winorvex" "$server"; do
    [[ -x "$program" ]] || { echo "missing $program; build it first" >&2; exit 2; }
done
command -v rhash >/dev/null || { echo "rhash is not installed" >&2; exit 2; }
[[ -d "$folder" ]] || { echo "$folder is not a folder" >&2; exit 2; }

work=$(mktemp -d)
server_pid=
cleanup() {
    [[ -z "$server_pid" ]] || { kill "$server_pid" 2>/dev/null || true; wait "$server_pid" 2>/dev/null || true; }
    rm -rf "$work"
}
trap cleanup EXIT

# The reference registry with the demo hash list: every file gets an answer.
"$server" --registry-port 0 --hash-list server/demo/hashlist.txt >"$work/server.out" 2>/dev/null &
server_pid=$!
port=
for _ in $(seq 100); do
    port=$(sed -n 's/^registry listening on .*:\([0-9][0-9]*\)$/\1/p' "$work/server.out")
    [[ -z "$port" ]] || break
    sleep 0.1
done
[[ -n "$port" ]] || { echo "winorvex-server did not start" >&2; exit 2; }
export WINORVEX_REGISTRY=127.0.0.1:$port

now_ms() { echo $(( $(date +%s%N) / 1000000 )); }

run_rhash() {
    local start status=0
    start=$(now_ms)
    rhash -r --md5 --sha1 "$folder" >"$work/rhash.out" 2>"$work/rhash.err" || status=$?
    # rhash says 1 when it could not read some file; the time still counts.
    [[ $status -le 1 ]] || { echo "rhash failed (status $status)" >&2; exit 2; }
    echo $(( $(now_ms) - start ))
}

run_winorvex() {
    local start status=0
    start=$(now_ms)
    "$winorvex" --scan --format csv --verbose "$folder" >"$work/scan.csv" 2>"$work/scan.log" || status=$?
    # 1 means malware was found, which is a complete scan too.
    [[ $status -le 1 ]] || { echo "winorvex --scan failed (status $status)" >&2; tail "$work/scan.log" >&2; exit 2; }
    echo $(( $(now_ms) - start ))
}

median() { tr ' ' '\n' | grep . | sort -n | awk '{ a[NR] = $1 } END { if (NR % 2) print a[(NR + 1) / 2]; else print int((a[NR / 2] + a[NR / 2 + 1]) / 2) }'; }

echo "load before: $(uptime)"
echo "warming the page cache: $folder" >&2
run_rhash >/dev/null
run_winorvex >/dev/null

rhash_times= winorvex_times= phases=
for i in $(seq "$runs"); do
    # Which tool goes first alternates too.
    if (( i % 2 )); then
        r=$(run_rhash); w=$(run_winorvex)
    else
        w=$(run_winorvex); r=$(run_rhash)
    fi
    rhash_times+=" $r" winorvex_times+=" $w"
    phase=$(grep -o 'walk [0-9]* ms, digests [0-9]* ms, registry [0-9]* ms' "$work/scan.log" || true)
    printf 'run %d: rhash %6d ms, winorvex %6d ms (%s)\n' "$i" "$r" "$w" "${phase:-no phase times}"
done
echo "load after:  $(uptime)"

rows=$(( $(grep -c . "$work/scan.csv") - 2 ))
listed=$(grep -c . "$work/rhash.out" || true)
rhash_median=$(echo "$rhash_times" | median)
winorvex_median=$(echo "$winorvex_times" | median)
designed=3000
printf '\n%-60s %10s\n' "$folder, median of $runs" "ms"
printf '%-60s %10d\n' "rhash -r --md5 --sha1 ($listed files)" "$rhash_median"
printf '%-60s %10d\n' "winorvex --scan --format csv ($rows rows)" "$winorvex_median"
printf '%-60s %10s\n' "winorvex / rhash" \
    "$(awk -v a="$winorvex_median" -v b="$rhash_median" 'BEGIN { printf "%.2f", a / b }')"
printf '%-60s %10s\n' "winorvex / (rhash + designed waits of 3 s), goal <= 1.00" \
    "$(awk -v a="$winorvex_median" -v b="$((rhash_median + designed))" 'BEGIN { printf "%.2f", a / b }')"
