#!/bin/sh
# Accuracy on broken and clipped contour lines: tolvane-geo with and without
# -repair_gaps and -mask, GRASS r.surf.contour and a linear TIN (gdal_grid), on
# contours drawn with gdal_contour from two real DEMs; RMSE against the DEM on
# its own grid.
#
#   sh bench/compare_gaps.sh [OUTDIR]        (from the source folder, after the build)
#
# Needs: gdal-bin python3-gdal grass-core python-matplotlib-data r-cran-terra.
# Prints one Markdown table; the work files stay in OUTDIR (default gaps-out).
set -eu
here=$(cd "$(dirname "$0")" && pwd)
out=${1:-gaps-out}
geo=${TOLVANE_GEO:-$here/../build/geo/tolvane-geo}
py=/usr/bin/python3
data="$py $here/gaps_data.py"
mkdir -p "$out"
out=$(cd "$out" && pwd)
cd "$out"
[ -f jacksboro.tif ] && [ -f luxembourg.tif ] || $py "$here/real_dems.py" .

# r.surf.contour on a contour raster, inside a throw-away GRASS location.
cat > grass_surf.sh <<'EOF'
#!/bin/sh
set -e
r.in.gdal -o input="$1" output=c --quiet --overwrite
g.region raster=c
r.surf.contour input=c output=s --quiet --overwrite
r.out.gdal -c -f input=s output="$2" format=GTiff type=Float32 nodata=-9999 --quiet --overwrite
EOF
chmod +x grass_surf.sh

# rmse DEM RESULT [FOOTPRINT]: "RMSE share-without-value"
rmse() { $data rmse "$@"; }

echo "| terrain | lines | tolvane-geo | -mask FILE | -repair_gaps 4 -mask FILE | -repair_gaps 4 -mask auto | GRASS r.surf.contour | linear TIN |"
echo "|---|---|---|---|---|---|---|---|"
for case in "jacksboro 50 32617" "luxembourg 25 32632"; do
    set -- $case
    dem=$1 interval=$2 epsg=$3
    # The DEM's grid, and its pixel size.
    set -- $($py -c "
from osgeo import gdal
d = gdal.Open('$dem.tif'); t = d.GetGeoTransform()
print(t[0], t[3] + d.RasterYSize * t[5], t[0] + d.RasterXSize * t[1], t[3], t[1], d.RasterXSize, d.RasterYSize)")
    xmin=$1 ymin=$2 xmax=$3 ymax=$4 pixel=$5 columns=$6 rows=$7
    grid="-te $xmin $ymin $xmax $ymax -tr $pixel $pixel"

    rm -f $dem-*.gpkg
    gdal_contour -q -a elev -i "$interval" $dem.tif $dem-clean.gpkg
    $data cut $dem-clean.gpkg $dem-gapped.gpkg "$pixel" > /dev/null
    $data valid $dem.tif $dem-valid.gpkg
    $data footprint $dem.tif $dem-footprint.gpkg
    ogr2ogr -q -nlt MULTILINESTRING -clipsrc $dem-footprint.gpkg $dem-clipped.gpkg $dem-clean.gpkg

    for lines in clean gapped clipped; do
        in=$dem-$lines.gpkg
        if [ $lines = clipped ]; then area=$dem-footprint.gpkg; else area=$dem-valid.gpkg; fi
        # The footprint is where the RMSE is measured on the clipped lines.
        inside=""
        [ $lines = clipped ] && inside=$area
        row="| $dem | $lines"
        for options in "" "-mask $area" "-repair_gaps 4 -mask $area" "-repair_gaps 4 -mask auto"; do
            "$geo" -q $grid $options $in $dem-$lines-tolvane.tif 2> /dev/null
            row="$row | $(rmse $dem.tif $dem-$lines-tolvane.tif $inside | cut -d' ' -f1) m"
        done
        gdal_rasterize -q -a elev $grid -ot Int32 -init 0 -a_nodata 0 $in $dem-$lines-burned.tif
        grass --tmp-location EPSG:$epsg --exec ./grass_surf.sh $dem-$lines-burned.tif $dem-$lines-grass.tif \
            > /dev/null 2>&1
        row="$row | $(rmse $dem.tif $dem-$lines-grass.tif $inside | cut -d' ' -f1) m"
        gdal_grid -q -a linear:nodata=-9999 -zfield elev -txe $xmin $xmax -tye $ymax $ymin \
            -outsize $columns $rows -ot Float32 -a_srs EPSG:$epsg $in $dem-$lines-tin.tif
        set -- $(rmse $dem.tif $dem-$lines-tin.tif $inside)
        row="$row | $1 m"
        echo "$row |"
    done
done
