#!/usr/bin/env bash
# Speed of every way into tolvane beside its peers, on the same grids: wall time,
# time per output pixel and peak memory (GNU time's maximum resident set) of
#   - the dialog program on the contour grid as a raw image;
#   - the library (tolvane.elevation from Python on the same cells; "call" is the
#     call alone, the rest of the row the whole process);
#   - tolvane-geo with no option (its defaults) and plain
#     (-oversample 1 -mask none -repair_gaps 0);
#   - gdal_rasterize + gdal_fillnodata.py, GRASS r.surf.contour (the module alone,
#     inside a throw-away location) and a linear TIN on the lines' vertices
#     (gdal_grid -a linear).
# Two sheets: a generated one (genera_curvas, 3440 x 4030, 42 levels every 10),
# given to tolvane-geo and the peers as a GeoTIFF of the same cells (no lines, so
# no TIN), and contours drawn every 20 m with gdal_contour from the Jacksboro DEM
# (bench/real_dems.py) at a 10 m pixel.
#
#   bench/compare_speed.sh [--build DIR] [--repeat N] [--peer-timeout S] [--work DIR]
#
# DIR is a Release build with tolvane, genera_curvas, tolvane-geo and the Python
# module (default: build). Times are the best of N runs (default 3); a peer
# stopped by the timeout (default 300 s) shows ">S". Run on a quiet machine.
# Needs: gdal-bin python3-gdal grass-core python-matplotlib-data r-cran-terra,
# and GNU time (package time).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build
repeat=3
peer_timeout=300
work=
while [ $# -gt 0 ]; do
    case $1 in
        --build) build=$(cd "$2" && pwd); shift 2 ;;
        --repeat) repeat=$2; shift 2 ;;
        --peer-timeout) peer_timeout=$2; shift 2 ;;
        --work) work=$2; shift 2 ;;
        *) echo "usage: $0 [--build DIR] [--repeat N] [--peer-timeout S] [--work DIR]" >&2; exit 2 ;;
    esac
done
py=/usr/bin/python3
geo=$build/geo/tolvane-geo
for f in "$build/tolvane" "$build/genera_curvas" "$geo"; do
    [ -x "$f" ] || { echo "$f: not built" >&2; exit 1; }
done
for tool in /usr/bin/time gdal_contour gdal_rasterize gdal_fillnodata.py gdal_grid grass; do
    command -v $tool >/dev/null || { echo "$tool missing" >&2; exit 1; }
done
if [ -z "$work" ]; then
    work=$(mktemp -d)
    trap 'rm -rf "$work"' EXIT
fi
mkdir -p "$work"
work=$(cd "$work" && pwd)
cd "$work"
export PYTHONPATH=$build/python${PYTHONPATH:+:$PYTHONPATH}

# best COMMAND...: runs it $repeat times; sets wall (best) and peak_kib (largest).
best() {
    wall= peak_kib=0
    for _ in $(seq "$repeat"); do
        /usr/bin/time -f '%e %M' -o time.txt "$@" >/dev/null 2>run.err || { cat run.err >&2; return 1; }
        read -r w k <time.txt
        if [ -z "$wall" ] || awk -v a="$w" -v b="$wall" 'BEGIN { exit !(a < b) }'; then wall=$w; fi
        if [ "$k" -gt "$peak_kib" ]; then peak_kib=$k; fi
    done
}
# row NAME WHAT PIXELS: one line of the table from $wall and $peak_kib.
row() {
    awk -v s="$1" -v w="$2" -v p="$3" -v t="$wall" -v k="$peak_kib" 'BEGIN {
        if (t ~ /^>/) { printf "| %s | %s | %s | - | - | - |\n", s, w, t; exit }
        printf "| %s | %s | %.2f | %.0f | %.0f | %.1f |\n", s, w, t, t * 1e9 / p, k / 1024, k * 1024 / p }'
}
# peer TIMEOUT COMMAND...: like best, but once, and ">TIMEOUT" when stopped.
peer() {
    if timeout "$peer_timeout" /usr/bin/time -f '%e %M' -o time.txt "$@" >/dev/null 2>run.err; then
        read -r wall peak_kib <time.txt
    else
        wall=">$peer_timeout" peak_kib=0
    fi
}

cat >surf.sh <<'END'
#!/bin/sh
# In a GRASS session: import, r.surf.contour timed alone, export.
set -e
r.in.gdal -o input="$1" output=c --quiet --overwrite
g.region raster=c
/usr/bin/time -f '%e %M' -o "$3" r.surf.contour input=c output=s --quiet --overwrite
r.out.gdal -c -f input=s output="$2" format=GTiff type=Float32 nodata=-9999 --quiet --overwrite
END
chmod +x surf.sh
grass_surf() { # CONTOURS.tif EPSG
    rm -f grass.txt
    timeout "$peer_timeout" grass --tmp-location "EPSG:$2" --exec ./surf.sh "$1" grass.tif "$work/grass.txt" \
        >/dev/null 2>&1 || true
    if [ -s grass.txt ]; then read -r wall peak_kib <grass.txt; else wall=">$peer_timeout" peak_kib=0; fi
}

cat >library.py <<'END'
import sys, time
import numpy as np
import tolvane
raw, rows, columns, low, high, step = sys.argv[1], *map(int, sys.argv[2:])
cells = np.fromfile(raw, np.int32).reshape(rows, columns)
start = time.perf_counter()
tolvane.elevation(cells, low, high, step)
print(time.perf_counter() - start, file=sys.stderr)
END

# to_raw TIF RAW: the cells of a contour GeoTIFF (Int32, empty 10000000) as a raw image.
to_raw() { $py -c "
import sys
from osgeo import gdal
gdal.Open(sys.argv[1]).ReadAsArray().astype('<i4').tofile(sys.argv[2])" "$1" "$2"; }
# levels_of TIF: "lowest highest" of its contour cells.
levels_of() { $py -c "
import sys
import numpy as np
from osgeo import gdal
a = gdal.Open(sys.argv[1]).ReadAsArray(); a = a[a != 10000000]
print(int(a.min()), int(a.max()))" "$1"; }

# dialog_and_library RAW_FOLDER NAME ROWS COLUMNS LOW HIGH STEP SHEET
dialog_and_library() {
    local folder=$1 name=$2 rows=$3 columns=$4 low=$5 high=$6 step=$7 sheet=$8 pixels=$(( $3 * $4 ))
    echo "$rows $columns 4 0 0 1" >"images/$folder/${name}_c4.txt"
    echo "$folder $name 0 $low $high $step 1" >answers.txt
    best sh -c '"$0" <answers.txt' "$build/tolvane"
    row "$sheet" "dialog" $pixels
    best $py library.py "images/$folder/${name}_c4.raw" "$rows" "$columns" "$low" "$high" "$step"
    call=$(cat run.err)
    row "$sheet" "library (call $(printf %.2f "$call") s)" $pixels
}

echo "| sheet | run | wall_s | ns/pixel | peak_MiB | bytes/pixel |"
echo "|---|---|---|---|---|---|"

# The generated sheet.
mkdir -p images/big
read -r low high step < <("$build/genera_curvas" images/big/big 3440 4030 42 10 1 | tail -1)
dialog_and_library big big 3440 4030 "$low" "$high" "$step" "generated 3440 x 4030"
$py -c "
import sys
import numpy as np
from osgeo import gdal, osr
a = np.fromfile('images/big/big_c4.raw', np.int32).reshape(3440, 4030)
d = gdal.GetDriverByName('GTiff').Create('big.tif', 4030, 3440, 1, gdal.GDT_Int32, ['TILED=YES', 'COMPRESS=DEFLATE'])
d.SetGeoTransform((500000, 1, 0, 4000000, 0, -1))
s = osr.SpatialReference(); s.ImportFromEPSG(32617); d.SetProjection(s.ExportToWkt())
b = d.GetRasterBand(1); b.SetNoDataValue(10000000); b.WriteArray(a)"
sheet="generated 3440 x 4030"
pixels=$(( 3440 * 4030 ))
best "$geo" -q big.tif out.tif; row "$sheet" "tolvane-geo, defaults" $pixels
best "$geo" -q -oversample 1 -mask none -repair_gaps 0 -drainage none big.tif out.tif; row "$sheet" "tolvane-geo, plain" $pixels
best gdal_fillnodata.py -q big.tif fill.tif; row "$sheet" "gdal_fillnodata (no rasterize needed)" $pixels
grass_surf big.tif 32617; row "$sheet" "GRASS r.surf.contour" $pixels

# Real lines: Jacksboro every 20 m, at 10 m.
[ -f dems/jacksboro.tif ] || $py "$root/bench/real_dems.py" dems >/dev/null
rm -f j20.gpkg
gdal_contour -q -a elev -i 20 dems/jacksboro.tif j20.gpkg
sheet="Jacksboro 20 m lines at 10 m"
"$geo" -q -tr 10 10 -oversample 1 -mask none -repair_gaps 0 j20.gpkg plain.tif 2>/dev/null
read -r xmin ymin xmax ymax columns rows < <($py -c "
from osgeo import gdal
d = gdal.Open('plain.tif'); t = d.GetGeoTransform()
print(t[0], t[3] + d.RasterYSize * t[5], t[0] + d.RasterXSize * t[1], t[3], d.RasterXSize, d.RasterYSize)")
pixels=$(( rows * columns ))
grid="-te $xmin $ymin $xmax $ymax -tr 10 10"
gdal_rasterize -q -a elev $grid -ot Int32 -init 10000000 -a_nodata 10000000 j20.gpkg j20.tif
mkdir -p images/j20
to_raw j20.tif images/j20/j20_c4.raw
read -r low high < <(levels_of j20.tif)
dialog_and_library j20 j20 "$rows" "$columns" "$low" "$high" 20 "$sheet"
best "$geo" -q -tr 10 10 j20.gpkg out.tif; row "$sheet" "tolvane-geo, defaults" $pixels
best "$geo" -q -tr 10 10 -oversample 1 -mask none -repair_gaps 0 j20.gpkg out.tif
row "$sheet" "tolvane-geo, plain" $pixels
best gdal_rasterize -q -a elev $grid -ot Int32 -init 10000000 -a_nodata 10000000 j20.gpkg burned.tif
raster_wall=$wall raster_kib=$peak_kib
best gdal_fillnodata.py -q burned.tif fill.tif
wall=$(awk -v a="$raster_wall" -v b="$wall" 'BEGIN { printf "%.2f", a + b }')
if [ "$raster_kib" -gt "$peak_kib" ]; then peak_kib=$raster_kib; fi
row "$sheet" "gdal_rasterize ($raster_wall s) + gdal_fillnodata" $pixels
grass_surf j20.tif 32617; row "$sheet" "GRASS r.surf.contour" $pixels
peer gdal_grid -q -a linear:nodata=-9999 -zfield elev -txe "$xmin" "$xmax" -tye "$ymax" "$ymin" \
    -outsize "$columns" "$rows" -ot Float32 j20.gpkg tin.tif
row "$sheet" "gdal_grid -a linear" $pixels
