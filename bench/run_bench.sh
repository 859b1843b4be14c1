#!/usr/bin/env bash
# Whole runs of tolvane on generated contour sheets of growing size. For every
# size and smoothing it prints the wall time, the time per pixel, the CPU time
# (which a busy machine inflates less than the wall time), the peak memory and a
# digest of everything the run produced (transcript and the six output
# files), so that two builds can be compared for speed and for identical bytes.
#
# Needs bash, coreutils and awk; GNU time (/usr/bin/time, Debian package "time")
# gives the CPU time and the peak memory, without it those columns read "-".
set -euo pipefail

usage() {
    cat <<'EOF'
usage: run_bench.sh [options]
  --bin PATH         tolvane binary (default: build-bench/tolvane of this checkout)
  --gen PATH         genera_curvas binary (default: beside the tolvane binary)
  --sizes "LxC ..."  sheets to run, lines x columns
                     (default: "500x500 1000x1000 1400x1600 2000x2000 4000x4000")
  --max-pixels N     skip sheets of more than N pixels (default: no limit)
  --smoothing "S ..."  smoothing sizes (default: "1 9")
  --levels N         contour levels of the generated terrain (default: 40)
  --interval N       contour interval (default: 10)
  --seed N           terrain seed (default: 1)
  --repeat N         runs per case, the fastest is reported (default: 1)
  --timeout S        stop a run after S seconds and report it as such (default: none)
  --markdown         print the table as Markdown
  --keep             keep the temporary folder and print its path
EOF
}

here=$(cd "$(dirname "$0")" && pwd)
bin=$here/../build-bench/tolvane
gen=
sizes="500x500 1000x1000 1400x1600 2000x2000 4000x4000"
max_pixels=0
smoothings="1 9"
levels=40
interval=10
seed=1
repeat=1
limit=0
markdown=0
keep=0

while [ $# -gt 0 ]; do
    case $1 in
        --bin) bin=$2; shift 2 ;;
        --gen) gen=$2; shift 2 ;;
        --sizes) sizes=${2//,/ }; shift 2 ;;
        --max-pixels) max_pixels=$2; shift 2 ;;
        --smoothing) smoothings=${2//,/ }; shift 2 ;;
        --levels) levels=$2; shift 2 ;;
        --interval) interval=$2; shift 2 ;;
        --seed) seed=$2; shift 2 ;;
        --repeat) repeat=$2; shift 2 ;;
        --timeout) limit=$2; shift 2 ;;
        --markdown) markdown=1; shift ;;
        --keep) keep=1; shift ;;
        -h | --help) usage; exit 0 ;;
        *) echo "run_bench.sh: unknown option $1" >&2; usage >&2; exit 2 ;;
    esac
done

[ -n "$gen" ] || gen=$(dirname "$bin")/genera_curvas
for b in "$bin" "$gen"; do
    if [ ! -x "$b" ]; then
        echo "run_bench.sh: no executable $b (build it, or use --bin / --gen)" >&2
        exit 2
    fi
done
bin=$(cd "$(dirname "$bin")" && pwd)/$(basename "$bin")
gen=$(cd "$(dirname "$gen")" && pwd)/$(basename "$gen")

gnu_time=
if [ -x /usr/bin/time ] && /usr/bin/time -f %M -o /dev/null true 2>/dev/null; then
    gnu_time=/usr/bin/time
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/tolvane-bench-XXXXXX")
if [ "$keep" = 1 ]; then
    echo "working folder: $work" >&2
else
    trap 'rm -rf "$work"' EXIT
fi
mkdir -p "$work/images/hoja"

model=$(awk -F': ' '/^model name/ { print $2; exit }' /proc/cpuinfo 2>/dev/null || true)
echo "# tolvane whole runs: $bin"
echo "# machine: ${model:-unknown cpu}, $(nproc) cores, $(uname -sr)"
echo "# terrain: $levels levels every $interval, seed $seed; best of $repeat run(s)"
echo "# load average at start: $(cut -d' ' -f1-3 /proc/loadavg 2>/dev/null || echo unknown)"
[ -n "$gnu_time" ] || echo "# no GNU time: CPU time and peak memory not measured"

columns=(sheet pixels smoothing wall_s ns/pixel cpu_s peak_MiB bytes/pixel digest)
if [ "$markdown" = 1 ]; then
    printf '| %s ' "${columns[@]}"; printf '|\n'
    for _ in "${columns[@]}"; do printf '|---'; done; printf '|\n'
else
    printf '%-10s %9s %9s %9s %9s %9s %9s %11s  %s\n' "${columns[@]}"
fi

row() {
    if [ "$markdown" = 1 ]; then
        printf '| %s ' "$@"; printf '|\n'
    else
        printf '%-10s %9s %9s %9s %9s %9s %9s %11s  %s\n' "$@"
    fi
}

# One run in $work: prints "status wall_ns cpu_s peak_kib".
run_once() {
    local answers=$1 start end status cpu=- peak=-
    rm -f "$work/peak"
    start=$(date +%s%N)
    set +e
    if [ "$limit" != 0 ] && [ -n "$gnu_time" ]; then
        (cd "$work" && "$gnu_time" -f '%U %S %M' -o "$work/peak" timeout "$limit" "$bin" <"$answers" >transcript 2>errors)
    elif [ "$limit" != 0 ]; then
        (cd "$work" && timeout "$limit" "$bin" <"$answers" >transcript 2>errors)
    elif [ -n "$gnu_time" ]; then
        (cd "$work" && "$gnu_time" -f '%U %S %M' -o "$work/peak" "$bin" <"$answers" >transcript 2>errors)
    else
        (cd "$work" && "$bin" <"$answers" >transcript 2>errors)
    fi
    status=$?
    set -e
    end=$(date +%s%N)
    # GNU time writes a "Command exited with non-zero status" line before the figure.
    if [ -s "$work/peak" ]; then
        read -r cpu peak < <(tail -n 1 "$work/peak" | awk '{ printf "%.2f %s\n", $1 + $2, $3 }')
    fi
    echo "$status $((end - start)) $cpu $peak"
}

for size in $sizes; do
    lines=${size%x*}
    cols=${size#*x}
    pixels=$((lines * cols))
    if [ "$max_pixels" != 0 ] && [ "$pixels" -gt "$max_pixels" ]; then
        continue
    fi
    read -r low high step < <("$gen" "$work/images/hoja/hoja" "$lines" "$cols" "$levels" "$interval" "$seed")
    for s in $smoothings; do
        printf 'hoja\nhoja\n0\n%s\n%s\n%s\n%s\n' "$low" "$high" "$step" "$s" >"$work/answers"
        best=0 cpu=- peak=- status=0
        for ((n = 0; n < repeat; n++)); do
            read -r status wall secs kib < <(run_once "$work/answers")
            [ "$status" = 0 ] || break
            if [ "$best" = 0 ] || [ "$wall" -lt "$best" ]; then best=$wall cpu=$secs; fi
            if [ "$kib" != - ] && { [ "$peak" = - ] || [ "$kib" -gt "$peak" ]; }; then peak=$kib; fi
        done
        if [ "$status" = 124 ]; then
            row "$size" "$pixels" "$s" ">$limit" - - - - "stopped after $limit s"
            continue
        elif [ "$status" != 0 ]; then
            row "$size" "$pixels" "$s" - - - - - "exit status $status: $(head -c 200 "$work/errors")"
            continue
        fi
        digest=$(cd "$work" && cat transcript images/hoja/hoja_m1.raw images/hoja/hoja_m2.raw \
            images/hoja/hoja_m4.raw images/hoja/hoja_m1.txt images/hoja/hoja_m2.txt \
            images/hoja/hoja_m4.txt | md5sum | cut -c1-12)
        read -r secs per_pixel mib per_byte < <(awk -v ns="$best" -v px="$pixels" -v kib="$peak" 'BEGIN {
            if (kib == "-") { m = "-"; b = "-" } else { m = sprintf("%.1f", kib / 1024); b = sprintf("%.1f", kib * 1024 / px) }
            printf "%.3f %.1f %s %s\n", ns / 1e9, ns / px, m, b }')
        row "$size" "$pixels" "$s" "$secs" "$per_pixel" "$cpu" "$mib" "$per_byte" "$digest"
        rm -f "$work"/images/hoja/hoja_m*
    done
    rm -f "$work"/images/hoja/hoja_c4.*
done
