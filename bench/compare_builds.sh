#!/usr/bin/env bash
# Two builds of tolvane on the same generated sheet, run in turns, so that a
# machine whose load changes from minute to minute treats both alike. For each
# build and thread count it prints the best wall time of the repeats, with the
# user and system CPU time and the peak memory of that run, and checks that
# both builds and every thread count write the same transcript and files.
#
#   bench/compare_builds.sh BEFORE AFTER [LINES COLUMNS [LEVELS [REPEAT]]]
#
# BEFORE and AFTER are tolvane binaries; genera_curvas is taken from beside
# AFTER. Defaults: a 4000 x 4000 sheet of 40 levels every 10 (seed 1), best of 5.
# Needs GNU time (/usr/bin/time).
set -euo pipefail
[ $# -ge 2 ] || { sed -n '2,12p' "$0" >&2; exit 2; }
before=$(realpath "$1")
after=$(realpath "$2")
lines=${3:-4000}
columns=${4:-4000}
levels=${5:-40}
repeat=${6:-5}
gen=$(dirname "$after")/genera_curvas
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/images/s"
cd "$work"
read -r low high step < <("$gen" images/s/hoja "$lines" "$columns" "$levels" 10 1 | tail -1)
printf 's\nhoja\n0\n%s\n%s\n%s\n1\n' "$low" "$high" "$step" >answers

echo "# ${lines} x ${columns}, levels $low to $high every $step; best of $repeat; load average at start: $(cut -d' ' -f1-3 /proc/loadavg)"
printf '| build | threads | wall_s | user_s | sys_s | peak_MiB | bytes/pixel |\n|---|---|---|---|---|---|---|\n'
reference=
for threads in 1 2; do
    declare -A best=()
    for ((r = 0; r < repeat; r++)); do
        for bin in "$before" "$after"; do
            TOLVANE_THREADS=$threads /usr/bin/time -f '%e %U %S %M' -o t "$bin" <answers >transcript
            digest=$(cat transcript images/s/hoja_m* | md5sum | cut -c1-12)
            [ -n "$reference" ] || reference=$digest
            [ "$digest" = "$reference" ] || { echo "compare_builds.sh: $bin on $threads thread(s) wrote other bytes" >&2; exit 1; }
            read -r wall user sys kib <t
            key=$bin
            if [ -z "${best[$key]:-}" ] || awk -v a="$wall" -v b="${best[$key]%% *}" 'BEGIN { exit !(a < b) }'; then
                best[$key]="$wall $user $sys $kib"
            fi
        done
    done
    for bin in "$before" "$after"; do
        read -r wall user sys kib <<<"${best[$bin]}"
        name=$([ "$bin" = "$before" ] && echo before || echo after)
        awk -v n="$name" -v t="$threads" -v w="$wall" -v u="$user" -v s="$sys" -v k="$kib" -v p=$((lines * columns)) 'BEGIN {
            printf "| %s | %d | %.2f | %.2f | %.2f | %.1f | %.1f |\n", n, t, w, u, s, k / 1024, k * 1024 / p }'
    done
    unset best
done
echo "# same bytes everywhere: digest $reference"
