#!/bin/sh
# Accuracy on broken and clipped contour lines: tolvane-geo with no option (its
# defaults), with every default turned off, with -repair_gaps and -mask, GRASS
# r.surf.contour and a linear TIN on the lines' vertices (gdal_grid), on contours
# drawn with gdal_contour from three real DEMs; RMSE against the DEM on its own
# grid. Then the bundled lines at 3 to 15 m against their analytic surface, on the
# default grid tolvane-geo chooses.
#
#   sh bench/compare_gaps.sh [OUTDIR]        (from the source folder, after the build)
#
# Needs: gdal-bin python3-gdal grass-core python-matplotlib-data r-cran-terra.
# Prints three Markdown tables (the second: the same runs over the cells the
# default gives a value); the work files stay in OUTDIR (default gaps-out).
# Each cell is the RMSE, followed by the share of the measured cells the result
# leaves without value when there is one.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
out=${1:-gaps-out}
geo=${TOLVANE_GEO:-$here/../build/geo/tolvane-geo}
colinas=$here/../examples/curvas/colinas.gpkg
py=/usr/bin/python3
data="$py $here/gaps_data.py"
mkdir -p "$out"
out=$(cd "$out" && pwd)
cd "$out"
[ -f jacksboro.tif ] && [ -f luxembourg.tif ] && [ -f coast.tif ] && [ -f topobathy.tif ] && [ -f mountains.tif ] ||
    $py "$here/real_dems.py" .

# r.surf.contour on a contour raster, inside a throw-away GRASS location.
cat > grass_surf.sh <<'END'
#!/bin/sh
set -e
r.in.gdal -o input="$1" output=c --quiet --overwrite
g.region raster=c
r.surf.contour input=c output=s --quiet --overwrite
r.out.gdal -c -f input=s output="$2" format=GTiff type=Float32 nodata=-9999 --quiet --overwrite
END
chmod +x grass_surf.sh

# cell RMSE SHARE: "RMSE m", and the share without value when there is one.
cell() { if [ "$2" = "0.0" ]; then echo "$1 m"; else echo "$1 m ($2 %)"; fi; }
# measure DEM RESULT [FOOTPRINT]
measure() { cell $($data rmse "$@"); }

# grid_of RASTER: "xmin ymin xmax ymax pixel columns rows"
grid_of() {
    $py -c "
from osgeo import gdal
d = gdal.Open('$1'); t = d.GetGeoTransform()
print(t[0], t[3] + d.RasterYSize * t[5], t[0] + d.RasterXSize * t[1], t[3], t[1], d.RasterXSize, d.RasterYSize)"
}

# peers IN PREFIX EPSG XMIN YMIN XMAX YMAX PIXEL COLUMNS ROWS: GRASS and TIN on that grid.
peers() {
    gdal_rasterize -q -a elev -te $4 $5 $6 $7 -tr $8 $8 -ot Int32 -init 0 -a_nodata 0 $1 $2-burned.tif
    grass --tmp-location EPSG:$3 --exec ./grass_surf.sh $2-burned.tif $2-grass.tif > /dev/null 2>&1
    gdal_grid -q -a linear:nodata=-9999 -zfield elev -txe $4 $6 -tye $7 $5 -outsize $9 ${10} -ot Float32 \
        -a_srs EPSG:$3 $1 $2-tin.tif
}

rm -f same_cells.md
echo "| terrain | lines | default (no option) | nodata inside the valid area (default) | -mask none -repair_gaps 0 | -mask FILE | -repair_gaps 4 -mask FILE | -repair_gaps 4 -mask auto | GRASS r.surf.contour | linear TIN |"
echo "|---|---|---|---|---|---|---|---|---|---|"
for case in "jacksboro 50 32617" "luxembourg 25 32632" "coast 100 32610" "topobathy 100 32610" "mountains 100 32610"; do
    set -- $case
    dem=$1 interval=$2 epsg=$3
    set -- $(grid_of $dem.tif)
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
        for options in "" "-mask none -repair_gaps 0" "-mask $area" "-repair_gaps 4 -mask $area" "-repair_gaps 4 -mask auto"; do
            "$geo" -q $grid $options $in $dem-$lines-tolvane.tif 2> /dev/null
            row="$row | $(measure $dem.tif $dem-$lines-tolvane.tif $inside)"
            # The share of the valid area (the footprint for clipped lines) the
            # default leaves nodata.
            [ -z "$options" ] && row="$row | $($data rmse $dem.tif $dem-$lines-tolvane.tif $area | cut -d' ' -f2) %"
            [ -z "$options" ] && cp $dem-$lines-tolvane.tif $dem-$lines-default.tif
            [ "$options" = "-mask $area" ] && cp $dem-$lines-tolvane.tif $dem-$lines-maskfile.tif
        done
        peers $in $dem-$lines $epsg $xmin $ymin $xmax $ymax $pixel $columns $rows
        row="$row | $(measure $dem.tif $dem-$lines-grass.tif $inside) | $(measure $dem.tif $dem-$lines-tin.tif $inside)"
        echo "$row |"
        # The same runs over the cells the default gives a value.
        on() { $data rmse_on $dem.tif $dem-$lines-default.tif "$1" $inside | cut -d' ' -f1; }
        kept=$($data rmse $dem.tif $dem-$lines-default.tif $inside | cut -d' ' -f2)
        echo "| $dem | $lines | $(awk "BEGIN { print 100 - $kept }") % | $(on $dem-$lines-default.tif) | $(on $dem-$lines-maskfile.tif)" \
            "| $(on $dem-$lines-grass.tif) | $(on $dem-$lines-tin.tif) |" >> same_cells.md
    done
done

echo
echo "| terrain | lines | cells kept | default | -mask FILE | GRASS r.surf.contour | linear TIN |"
echo "|---|---|---|---|---|---|---|"
cat same_cells.md

echo
echo "| pixel | default (no option) | -surface plain -drainage none | GRASS r.surf.contour | linear TIN |"
echo "|---|---|---|---|---|"
for pixel in 3 7 10 13 15; do
    row="| $pixel m"
    "$geo" -q -tr $pixel $pixel $colinas colinas-$pixel.tif
    row="$row | $(cell $($data surface colinas-$pixel.tif))"
    "$geo" -q -tr $pixel $pixel -surface plain -drainage none $colinas colinas-$pixel-plain.tif
    row="$row | $(cell $($data surface colinas-$pixel-plain.tif))"
    set -- $(grid_of colinas-$pixel.tif)
    peers $colinas colinas-$pixel 25830 $1 $2 $3 $4 $5 $6 $7
    row="$row | $(cell $($data surface colinas-$pixel-grass.tif)) | $(cell $($data surface colinas-$pixel-tin.tif))"
    echo "$row |"
done
