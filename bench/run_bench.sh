#!/usr/bin/env bash
# Whole runs of tolvane on generated contour sheets of growing size. For every
# size and smoothing it prints the wall time with each thread count, the time
# per pixel on one thread, the CPU time (which a busy machine inflates less than
# the wall time), the peak memory and a digest of everything the run produced
# (transcript and the six output files), so that two builds, or two thread
# counts, can be compared for speed and for identical bytes. With --peers, two
# other tools fill the same sheets where installed: GDAL's gdal_fillnodata
# (inverse distance weighting) and GRASS's r.surf.contour (the same job, from a
# contour raster).
#
# Needs bash, coreutils and awk; GNU time (/usr/bin/time, Debian package "time")
# gives the CPU time and the peak memory, without it those columns read "-".
# The peers need gdal-bin and grass-core.
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
  --threads "N ..."  thread counts, one wall-time column each (default: "1 2")
  --repeat N         runs per case, the fastest is reported (default: 1)
  --timeout S        stop a run after S seconds and report it as such (default: none)
  --peers            also time gdal_fillnodata and r.surf.contour where installed
  --peer-timeout S   stop a peer after S seconds; it is not run again on larger
                     sheets (default: 60)
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
threads="1 2"
peers=0
peer_limit=60
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
        --threads) threads=${2//,/ }; shift 2 ;;
        --peers) peers=1; shift ;;
        --peer-timeout) peer_limit=$2; shift 2 ;;
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

have_gdal=0 have_grass=0
if [ "$peers" = 1 ]; then
    command -v gdal_translate >/dev/null && command -v gdal_fillnodata.py >/dev/null && have_gdal=1
    command -v grass >/dev/null && [ "$have_gdal" = 1 ] && have_grass=1
    [ "$have_gdal" = 1 ] || echo "# no gdal-bin: gdal_fillnodata not timed"
    [ "$have_grass" = 1 ] || echo "# no grass-core (or no gdal-bin): r.surf.contour not timed"
fi

columns=(sheet pixels smoothing)
for t in $threads; do columns+=("${t}_thread_s"); done
columns+=(ns/pixel cpu_s peak_MiB bytes/pixel digest)
[ "$peers" = 1 ] && columns+=(fillnodata_s r.surf.contour_s)

row() {
    if [ "$markdown" = 1 ]; then
        printf '| %s ' "$@"; printf '|\n'
    else
        printf '%-10s %9s %9s' "$1" "$2" "$3"; shift 3
        printf ' %12s' "$@"; printf '\n'
    fi
}
row "${columns[@]}"
if [ "$markdown" = 1 ]; then
    for _ in "${columns[@]}"; do printf '|---'; done; printf '|\n'
fi

# One run in $work on $2 threads: prints "status wall_ns cpu_s peak_kib".
run_once() {
    local answers=$1 start end status cpu=- peak=-
    export TOLVANE_THREADS=$2
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

digest_of_run() {
    (cd "$work" && cat transcript images/hoja/hoja_m1.raw images/hoja/hoja_m2.raw \
        images/hoja/hoja_m4.raw images/hoja/hoja_m1.txt images/hoja/hoja_m2.txt \
        images/hoja/hoja_m4.txt | md5sum | cut -c1-12)
}

seconds() { awk -v ns="$1" 'BEGIN { printf "%.3f\n", ns / 1e9 }'; }

# Best wall time of `repeat` runs of "$@" in $work, or ">S" when stopped.
peer_time() {
    local best=0 start end n
    for ((n = 0; n < repeat; n++)); do
        start=$(date +%s%N)
        if ! (cd "$work" && timeout "$peer_limit" "$@" >/dev/null 2>&1); then
            echo ">$peer_limit"
            return
        fi
        end=$(date +%s%N)
        if [ "$best" = 0 ] || [ $((end - start)) -lt "$best" ]; then best=$((end - start)); fi
    done
    seconds "$best"
}

# The sheet as a GeoTIFF whose empty cells are no-data (not timed), then each
# peer on it; prints the two columns.
gdal_stopped=0 grass_stopped=0
peer_columns() {
    local lines=$1 cols=$2 g=- r=- ns
    if [ "$have_gdal" = 1 ]; then
        printf 'ENVI\nsamples = %s\nlines = %s\nbands = 1\nheader offset = 0\nfile type = ENVI Standard\ndata type = 3\ninterleave = bsq\nbyte order = 0\n' \
            "$cols" "$lines" >"$work/images/hoja/hoja_c4.hdr"
        (cd "$work" && gdal_translate -q -of GTiff -a_nodata 10000000 images/hoja/hoja_c4.raw contours.tif)
        g=">$peer_limit"
        if [ "$gdal_stopped" = 0 ]; then
            g=$(peer_time gdal_fillnodata.py -q contours.tif filled.tif)
            [ "${g:0:1}" != ">" ] || gdal_stopped=1
        fi
    fi
    if [ "$have_grass" = 1 ]; then
        r=">$peer_limit"
        if [ "$grass_stopped" = 0 ]; then
            # Only r.surf.contour is timed, inside a throwaway GRASS session.
            cat >"$work/grass_job.sh" <<EOF
r.in.gdal --quiet input="$work/contours.tif" output=contours || exit 1
g.region raster=contours
start=\$(date +%s%N)
timeout $peer_limit r.surf.contour --quiet input=contours output=dem || exit 1
echo "elapsed \$(( \$(date +%s%N) - start ))"
EOF
            ns=$(cd "$work" && grass --tmp-location XY --exec bash "$work/grass_job.sh" 2>/dev/null \
                | awk '$1 == "elapsed" { print $2 }' || true)
            if [ -n "$ns" ]; then r=$(seconds "$ns"); else grass_stopped=1; fi
        fi
    fi
    rm -f "$work"/contours.tif "$work"/filled.tif "$work"/grass_job.sh "$work"/images/hoja/hoja_c4.hdr
    echo "$g $r"
}

for size in $sizes; do
    lines=${size%x*}
    cols=${size#*x}
    pixels=$((lines * cols))
    if [ "$max_pixels" != 0 ] && [ "$pixels" -gt "$max_pixels" ]; then
        continue
    fi
    read -r low high step < <("$gen" "$work/images/hoja/hoja" "$lines" "$cols" "$levels" "$interval" "$seed")
    peer=()
    if [ "$peers" = 1 ]; then
        read -r g r < <(peer_columns "$lines" "$cols")
        peer=("$g" "$r")
    fi
    for s in $smoothings; do
        printf 'hoja\nhoja\n0\n%s\n%s\n%s\n%s\n' "$low" "$high" "$step" "$s" >"$work/answers"
        walls=() first_ns=0 cpu=- peak=- digest= failure=
        for t in $threads; do
            best=0 status=0
            for ((n = 0; n < repeat; n++)); do
                read -r status wall secs kib < <(run_once "$work/answers" "$t")
                [ "$status" = 0 ] || break
                if [ "$best" = 0 ] || [ "$wall" -lt "$best" ]; then best=$wall cpu=$secs; fi
                if [ "$kib" != - ] && { [ "$peak" = - ] || [ "$kib" -gt "$peak" ]; }; then peak=$kib; fi
            done
            if [ "$status" = 124 ]; then
                walls+=(">$limit")
                continue
            elif [ "$status" != 0 ]; then
                failure="exit status $status on $t threads: $(head -c 200 "$work/errors")"
                break
            fi
            [ "$first_ns" != 0 ] || first_ns=$best
            walls+=("$(seconds "$best")")
            # Every thread count must give the same bytes.
            d=$(digest_of_run)
            if [ -z "$digest" ]; then
                digest=$d
            elif [ "$d" != "$digest" ]; then
                digest="DIFFERS:$digest/$d"
            fi
            rm -f "$work"/images/hoja/hoja_m*
        done
        if [ -n "$failure" ]; then
            row "$size" "$pixels" "$s" "$failure"
            continue
        fi
        read -r per_pixel mib per_byte < <(awk -v ns="$first_ns" -v px="$pixels" -v kib="$peak" 'BEGIN {
            if (kib == "-") { m = "-"; b = "-" } else { m = sprintf("%.1f", kib / 1024); b = sprintf("%.1f", kib * 1024 / px) }
            printf "%.1f %s %s\n", ns / px, m, b }')
        [ "$first_ns" != 0 ] || per_pixel=-
        row "$size" "$pixels" "$s" "${walls[@]}" "$per_pixel" "$cpu" "$mib" "$per_byte" "${digest:--}" "${peer[@]}"
        # The peers do not smooth: their figures stand on the sheet's first line.
        [ "$peers" = 0 ] || peer=("″" "″")
    done
    rm -f "$work"/images/hoja/hoja_c4.*
done
