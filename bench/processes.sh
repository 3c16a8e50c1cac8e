#!/usr/bin/env bash
# "winorvex --processes" on this machine against "ps -e" plus
# "rhash --md5 --sha1" over the same distinct files (the executables of the
# running processes and the files they have mapped executable), run in turn:
# medians of the wall time and of the CPU time, and their ratio. The check's
# registry phase holds the designed waits (the handler's one-second pass before
# it asks, and the communicator's wait for more of the answer while the server
# keeps the connection open); its own log line gives the phases apart.
#
# Usage: bench/processes.sh [BUILD_DIR] [RUNS] [SLEEPERS]
#   BUILD_DIR  a build with the winorvex and winorvex-server targets (default build)
#   RUNS       runs of each, in turn (default 5)
#   SLEEPERS   extra sleeping processes of one program started first (default 300)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
runs=${2:-5}
sleepers=${3:-300}
winorvex=$build/app/winorvex
server=$build/server/winorvex-server
for program in "$winorvex" "$server"; do
    [[ -x "$program" ]] || { echo "missing $program; build it first" >&2; exit 2; }
done
for tool in rhash ps; do
    command -v "$tool" >/dev/null || { echo "$tool is not installed" >&2; exit 2; }
done

work=$(mktemp -d)
server_pid=
sleepers_pid=
cleanup() {
    [[ -z "$sleepers_pid" ]] || kill -- "-$sleepers_pid" 2>/dev/null || true
    [[ -z "$server_pid" ]] || { kill "$server_pid" 2>/dev/null || true; wait "$server_pid" 2>/dev/null || true; }
    rm -rf "$work"
}
trap cleanup EXIT

if [[ $sleepers -gt 0 ]]; then
    cp "$(command -v sleep)" "$work/sleeper"
    setsid sh -c 'i=0; while [ $i -lt '"$sleepers"' ]; do "$0" 600 & i=$((i+1)); done; wait' \
        "$work/sleeper" &
    sleepers_pid=$!
    for _ in $(seq 300); do
        [[ $(pgrep -c -P "$sleepers_pid" || true) -ge $sleepers ]] && break
        sleep 0.1
    done
fi

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

# The distinct files: each process's executable and the files it maps with
# execute permission ("(deleted)" ones, memfd, SysV and /dev/zero left out).
files=$work/files
{
    for exe in /proc/[0-9]*/exe; do readlink "$exe" 2>/dev/null || true; done
    { cat /proc/[0-9]*/maps 2>/dev/null || true; } | awk '$2 ~ /x/ && $6 ~ /^\// && $7 == "" { print $6 }'
} | grep -v -e '^/memfd:' -e '^/SYSV' -e '^/dev/zero' -e ' (deleted)$' | sort -u >"$files"
mapfile -t list <"$files"

median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
TIMEFORMAT='%R %U %S'
: >"$work/own.times"
: >"$work/anchor.times"
for _ in $(seq "$runs"); do
    status=0
    { time "$winorvex" --processes --verbose >"$work/check.txt" 2>"$work/check.log" || status=$?; } 2>>"$work/own.times"
    [[ $status -le 1 ]] || { echo "winorvex --processes failed (status $status)" >&2; tail "$work/check.log" >&2; exit 2; }
    { time { ps -e >/dev/null; rhash --md5 --sha1 -- "${list[@]}" >"$work/rhash.out" 2>/dev/null || true; }; } 2>>"$work/anchor.times"
done
phases=$(grep -o '[0-9]* processes, [0-9]* files, [0-9]* digests asked: snapshot [0-9]* ms, digests [0-9]* ms, registry [0-9]* ms' "$work/check.log" || true)

own_wall=$(awk '{ print $1 }' "$work/own.times" | median)
own_cpu=$(awk '{ print $2 + $3 }' "$work/own.times" | median)
anchor_wall=$(awk '{ print $1 }' "$work/anchor.times" | median)
anchor_cpu=$(awk '{ print $2 + $3 }' "$work/anchor.times" | median)
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b <= 0) print "-"; else printf "%.2f", a / b }'; }

printf 'Processes: %s (%d extra sleepers), distinct files: %d (rhash read %d), %d runs in turn, medians\n' \
    "$(ls -d /proc/[0-9]* | wc -l)" "$sleepers" "${#list[@]}" "$(wc -l <"$work/rhash.out")" "$runs"
printf '%-44s %10s %10s\n' "" "wall s" "CPU s"
printf '%-44s %10s %10s\n' "winorvex --processes" "$own_wall" "$own_cpu"
# The registry's designed waits: one 1 s pass and one 2 s tail read per query.
designed=3.0
without=$(awk -v a="$own_wall" -v d="$designed" 'BEGIN { printf "%.3f", a - d }')
printf '%-44s %10s %10s\n' "  without the designed waits (${designed} s)" "$without" "-"
printf '%-44s %10s %10s\n' "ps -e; rhash --md5 --sha1 FILES" "$anchor_wall" "$anchor_cpu"
printf '%-44s %10s %10s\n' "ratio winorvex / (ps + rhash)" "$(ratio "$own_wall" "$anchor_wall")" "$(ratio "$own_cpu" "$anchor_cpu")"
printf '%-44s %10s %10s\n' "  without the designed waits" "$(ratio "$without" "$anchor_wall")" "-"
printf 'Last run'"'"'s phases: %s\n' "${phases:-not logged}"
