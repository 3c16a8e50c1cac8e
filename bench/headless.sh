#!/usr/bin/env bash
# Files per second of "winorvex --scan" on a tree of small files, against
# "rhash -r --md5 --sha1" on the same tree. The scan's registry phase holds the
# designed waits (the handler's one-second pass before it asks, and the
# communicator's two-second wait for more of the answer while the server keeps
# the connection open); they are shown apart. Then the peak resident memory of
# one scan per output format (with /usr/bin/time, when it is installed).
#
# Usage: bench/headless.sh [BUILD_DIR] [FILES] [RUNS]
#   BUILD_DIR  a build with the winorvex and winorvex-server targets (default build)
#   FILES      files in the tree (default 20000), RUNS best of (default 3)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
files=${2:-20000}
runs=${3:-3}
winorvex=$build/app/winorvex
server=$build/server/winorvex-server
for program in "$winorvex" "$server"; do
    [[ -x "$program" ]] || { echo "missing $program; build it first" >&2; exit 2; }
done
command -v rhash >/dev/null || { echo "rhash is not installed" >&2; exit 2; }

work=$(mktemp -d)
server_pid=
cleanup() {
    [[ -z "$server_pid" ]] || { kill "$server_pid" 2>/dev/null || true; wait "$server_pid" 2>/dev/null || true; }
    rm -rf "$work"
}
trap cleanup EXIT

# 100 files per folder, each a few dozen bytes and all different.
tree=$work/tree
python3 - "$tree" "$files" <<'EOF'
import os, sys
root, count = sys.argv[1], int(sys.argv[2])
for i in range(count):
    folder = os.path.join(root, "d%03d" % (i // 100))
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, "f%05d.txt" % i), "w") as f:
        f.write("small file number %d\n" % i * (1 + i % 4))
EOF

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

best_scan=0 best_walk=0 best_digest=0 best_registry=0
for _ in $(seq "$runs"); do
    sync
    start=$(now_ms)
    "$winorvex" --scan --format csv --verbose "$tree" >"$work/scan.csv" 2>"$work/scan.log" || status=$?
    total=$(( $(now_ms) - start ))
    [[ "${status:-0}" -eq 0 ]] || { echo "winorvex --scan failed (status $status)" >&2; tail "$work/scan.log" >&2; exit 2; }
    rows=$(( $(grep -c . "$work/scan.csv") - 2 ))
    [[ $rows -eq $files ]] || { echo "winorvex reported $rows files, not $files" >&2; exit 2; }
    timing=$(grep -o 'walk [0-9]* ms, digests [0-9]* ms, registry [0-9]* ms' "$work/scan.log")
    read -r walk digest registry < <(echo "$timing" | sed 's/[^0-9 ]//g' | awk '{print $1, $2, $3}')
    if [[ $best_scan -eq 0 || $total -lt $best_scan ]]; then
        best_scan=$total best_walk=$walk best_digest=$digest best_registry=$registry
    fi
done

best_rhash=0
for _ in $(seq "$runs"); do
    start=$(now_ms)
    rhash -r --md5 --sha1 "$tree" >"$work/rhash.out"
    total=$(( $(now_ms) - start ))
    [[ $best_rhash -ne 0 && $total -ge $best_rhash ]] || best_rhash=$total
done
[[ $(wc -l <"$work/rhash.out") -eq $files ]] || { echo "rhash listed a different number of files" >&2; exit 2; }

# The registry's designed waits: one 1 s pass and one 2 s tail read per query.
designed=3000
rate() { awk -v n="$files" -v ms="$1" 'BEGIN { if (ms <= 0) print "-"; else printf "%.0f", n * 1000 / ms }'; }
without=$(( best_scan - designed ))
printf '%-48s %10s %12s\n' "Tree: $files small files, best of $runs" "ms" "files/s"
printf '%-48s %10d %12s\n' "winorvex --scan --format csv (whole run)" "$best_scan" "$(rate "$best_scan")"
printf '%-48s %10d %12s\n' "  walk and table inserts" "$best_walk" "$(rate "$best_walk")"
printf '%-48s %10d %12s\n' "  digests (MD5 + SHA-1) and table updates" "$best_digest" "$(rate "$best_digest")"
printf '%-48s %10d %12s\n' "  registry query and answers" "$best_registry" "$(rate "$best_registry")"
printf '%-48s %10d %12s\n' "    of which designed waits (1 s pass, 2 s tail)" "$designed" "-"
printf '%-48s %10d %12s\n' "winorvex without the designed waits" "$without" "$(rate "$without")"
printf '%-48s %10d %12s\n' "rhash -r --md5 --sha1" "$best_rhash" "$(rate "$best_rhash")"
printf '%-48s %10s\n' "winorvex / (rhash + designed waits)" \
    "$(awk -v a="$best_scan" -v b="$((best_rhash + designed))" 'BEGIN { printf "%.2f", a / b }')"

if [[ -x /usr/bin/time ]]; then
    printf '\n%-48s %10s %12s\n' "Peak resident memory, one scan" "MiB" "output MiB"
    for format in text csv json; do
        /usr/bin/time -f %M -o "$work/rss" "$winorvex" --scan --format "$format" "$tree" >"$work/scan.$format" 2>/dev/null || true
        printf '%-48s %10s %12s\n' "winorvex --scan --format $format" \
            "$(awk '{ printf "%.0f", $1 / 1024 }' "$work/rss")" \
            "$(du -m "$work/scan.$format" | cut -f1)"
    done
fi
