#!/usr/bin/env bash
# tolvane-geo against its peers on contour lines that gdal_contour draws from real
# elevation models (bench/real_dems.py, projected): GRASS r.surf.contour and GDAL's
# gdal_fillnodata, all on the model's own grid and on the same burned lines. For
# each surface: the root-mean-square and largest error against the model it was
# drawn from, over the model's valid cells, and the wall time.
#
#   bench/compare_peers.sh [--bin build/geo/tolvane-geo] [--work DIR] [--repeat N] [--markdown]
#
# Times are the best of N runs (default 3). "seconds" is the tool's own step:
# the whole tolvane-geo command (reading, burning, core, writing), gdal_fillnodata
# alone, r.surf.contour alone; "extra_seconds" is what the peer needs besides:
# gdal_rasterize for gdal_fillnodata, the whole GRASS session (start, import,
# export) for r.surf.contour.
#
# Needs: gdal-bin python3-gdal grass-core python-matplotlib-data r-cran-terra.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
bin=$root/build/geo/tolvane-geo
work=
markdown=0
repeat=3
while [ $# -gt 0 ]; do
    case $1 in
        --bin) bin=$(cd "$(dirname "$2")" && pwd)/$(basename "$2"); shift 2 ;;
        --work) work=$2; shift 2 ;;
        --repeat) repeat=$2; shift 2 ;;
        --markdown) markdown=1; shift ;;
        *) echo "usage: $0 [--bin TOLVANE_GEO] [--work DIR] [--repeat N] [--markdown]" >&2; exit 2 ;;
    esac
done
[ -x "$bin" ] || { echo "$bin: not built (cmake --build build --target tolvane-geo)" >&2; exit 1; }
for tool in gdal_contour gdal_rasterize gdal_fillnodata.py grass; do
    command -v $tool >/dev/null || { echo "$tool missing: apt-get install gdal-bin python3-gdal grass-core" >&2; exit 1; }
done
[ -n "$work" ] || work=$(mktemp -d)
mkdir -p "$work"
/usr/bin/python3 "$root/bench/real_dems.py" "$work/dems"

now() { date +%s.%N; }
seconds() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", b - a }'; }
shortest() { awk -v a="$1" -v b="$2" 'BEGIN { print (a == "" || b + 0 < a + 0) ? b : a }'; }
# The best wall time of $repeat runs of a command whose output file goes first.
best() { # output, command...
    local out=$1 b= s e
    shift
    for ((k = 0; k < repeat; k++)); do
        rm -f "$out"
        s=$(now)
        "$@"
        e=$(now)
        b=$(shortest "$b" "$(seconds "$s" "$e")")
    done
    echo "$b"
}

# GRASS runs in a temporary location: import the burned lines (nodata is NULL),
# interpolate on their region, export; only r.surf.contour itself is timed here.
cat >"$work/grass_job.sh" <<'JOB'
set -e
r.in.gdal --quiet input="$1" output=curvas
g.region raster=curvas
start=$(date +%s.%N)
r.surf.contour input=curvas output=superficie
end=$(date +%s.%N)
r.out.gdal --quiet -c input=superficie output="$2" format=GTiff type=Float64
echo "$start $end" >"$3"
JOB

# Errors of a surface against the model: RMSE, largest, cells compared.
errors() { # model surface
    /usr/bin/python3 - "$1" "$2" <<'PY'
import sys
import numpy as np
from osgeo import gdal
m = gdal.Open(sys.argv[1]); s = gdal.Open(sys.argv[2])
assert m.GetGeoTransform() == s.GetGeoTransform(), "grids differ"
a = m.GetRasterBand(1).ReadAsArray().astype(np.float64)
b = s.GetRasterBand(1).ReadAsArray().astype(np.float64)
ok = a != m.GetRasterBand(1).GetNoDataValue()
nd = s.GetRasterBand(1).GetNoDataValue()
if nd is not None:
    ok &= b != nd
ok &= np.isfinite(b)
e = b[ok] - a[ok]
print("%.2f %.2f %d" % (np.sqrt(np.mean(e * e)), np.max(np.abs(e)), ok.sum()))
PY
}

# The models warped from longitude/latitude have nodata wedges along their edges,
# where gdal_contour's lines stop in the open. "valid" takes the largest window
# without nodata (its lines end on the grid's edge), "whole" the model as it is
# (Luxembourg is the country alone: its lines stop at the border),
# "valid30" the valid window resampled to 30 m (cubic) for a larger grid.
valid_window() { # model out [pixel]
    /usr/bin/python3 - "$@" <<'PY'
import sys
import numpy as np
from osgeo import gdal
ds = gdal.Open(sys.argv[1])
bad = ds.GetRasterBand(1).ReadAsArray() == ds.GetRasterBand(1).GetNoDataValue()
top, bottom, left, right = 0, bad.shape[0], 0, bad.shape[1]
while bad[top:bottom, left:right].any():
    w = bad[top:bottom, left:right]
    edges = [w[0].sum(), w[-1].sum(), w[:, 0].sum(), w[:, -1].sum()]
    k = int(np.argmax(edges))
    if k == 0: top += 1
    elif k == 1: bottom -= 1
    elif k == 2: left += 1
    else: right -= 1
options = dict(srcWin=[left, top, right - left, bottom - top])
if len(sys.argv) > 3:
    gdal.Translate("/vsimem/w.tif", ds, **options)
    gdal.Warp(sys.argv[2], "/vsimem/w.tif", xRes=float(sys.argv[3]), yRes=float(sys.argv[3]), resampleAlg="cubic")
else:
    gdal.Translate(sys.argv[2], ds, **options)
PY
}

rows=()
for case_ in jacksboro:20:valid jacksboro:50:valid jacksboro:20:valid30 jacksboro:50:whole luxembourg:20:whole; do
    IFS=: read -r name interval window <<<"$case_"
    d=$work/$name-$interval-$window
    mkdir -p "$d"
    case $window in
        whole) dem=$work/dems/$name.tif ;;
        valid) dem=$d/model.tif; valid_window "$work/dems/$name.tif" "$dem" ;;
        valid30) dem=$d/model.tif; valid_window "$work/dems/$name.tif" "$dem" 30 ;;
    esac
    read -r xmin ymax res columns lines epsg < <(/usr/bin/python3 -c "
from osgeo import gdal, osr
ds = gdal.Open('$dem'); t = ds.GetGeoTransform()
s = osr.SpatialReference(wkt=ds.GetProjection()); s.AutoIdentifyEPSG()
print(repr(t[0]), repr(t[3]), repr(t[1]), ds.RasterXSize, ds.RasterYSize, s.GetAuthorityCode(None))")
    xmax=$(awk -v a="$xmin" -v r="$res" -v n="$columns" 'BEGIN { printf "%.10g", a + r * n }')
    ymin=$(awk -v a="$ymax" -v r="$res" -v n="$lines" 'BEGIN { printf "%.10g", a - r * n }')
    grid=(-te "$xmin" "$ymin" "$xmax" "$ymax" -tr "$res" "$res")

    rm -f "$d"/contours.gpkg "$d"/tolvane.tif "$d"/burned.tif "$d"/fillnodata.tif "$d"/grass.tif
    gdal_contour -q -a elev -i "$interval" "$dem" "$d/contours.gpkg"
    levels=$(ogrinfo -q -sql "SELECT COUNT(DISTINCT elev) FROM contour" "$d/contours.gpkg" | sed -n 's/.*= //p')

    tolvane_s=$(best "$d/tolvane.tif" "$bin" -q "${grid[@]}" "$d/contours.gpkg" "$d/tolvane.tif")
    burn_s=$(best "$d/burned.tif" gdal_rasterize -q -a elev "${grid[@]}" -ot Float32 -init -9999 -a_nodata -9999 \
        "$d/contours.gpkg" "$d/burned.tif")
    fill_s=$(best "$d/fillnodata.tif" gdal_fillnodata.py -q -md $((columns + lines)) "$d/burned.tif" "$d/fillnodata.tif")
    grass_s= session_s=
    for ((k = 0; k < repeat; k++)); do
        rm -f "$d/grass.tif"
        s0=$(now)
        grass --tmp-location "EPSG:$epsg" --exec bash "$work/grass_job.sh" "$d/burned.tif" "$d/grass.tif" \
            "$d/grass.time" >"$d/grass.log" 2>&1
        s1=$(now)
        read -r gs ge <"$d/grass.time"
        grass_s=$(shortest "$grass_s" "$(seconds "$gs" "$ge")")
        session_s=$(shortest "$session_s" "$(awk -v t="$(seconds "$s0" "$s1")" -v g="$(seconds "$gs" "$ge")" \
            'BEGIN { printf "%.2f", t - g }')")
    done

    what="$name $window $res $columns $lines $interval $levels"
    rows+=("$what tolvane-geo $(errors "$dem" "$d/tolvane.tif") $tolvane_s -")
    rows+=("$what gdal_fillnodata $(errors "$dem" "$d/fillnodata.tif") $fill_s $burn_s")
    rows+=("$what r.surf.contour $(errors "$dem" "$d/grass.tif") $grass_s $session_s")
done

header="model window pixel_m columns rows interval_m levels method rmse_m max_error_m cells seconds extra_seconds"
if [ $markdown -eq 1 ]; then
    echo "| ${header// / | } |"
    echo "|$(printf '%s\n' $header | sed 's/.*/---/' | paste -sd'|' -)|"
    for r in "${rows[@]}"; do echo "| ${r// / | } |"; done
else
    { echo "$header"; printf '%s\n' "${rows[@]}"; } | column -t
fi
echo "work folder: $work" >&2
