#!/bin/sh
# Makes the results of a tolvane run readable by GDAL and QGIS: an ENVI header
# beside each of images/FOLDER/NAME_m1.raw, _m2.raw and _m4.raw, a GeoTIFF of the
# 4-byte altitudes (NAME_m4.tif) and a shaded-relief picture (NAME_relieve.png).
# The georeference comes from the NAME_c4.geo that contours_to_raw.sh wrote; without
# it the grid is placed with its top-left corner at (0, lines x pixel size).
set -eu

prog=result_to_geotiff.sh

usage() {
    printf '%s\n' \
        "Usage: $prog [-C DIR] [-g GEOREF] [-o PNG] [-z FACTOR] FOLDER NAME" \
        "" \
        "Writes ENVI headers for DIR/images/FOLDER/NAME_m{1,2,4}.raw, the GeoTIFF" \
        "NAME_m4.tif and the shaded relief NAME_relieve.png beside them." \
        "" \
        "  -C DIR     folder that holds images/ (default: the current folder)" \
        "  -g GEOREF  georeference written by contours_to_raw.sh" \
        "             (default: images/FOLDER/NAME_c4.geo, when it exists)" \
        "  -o PNG     where to write the shaded relief instead" \
        "  -z FACTOR  vertical exaggeration of the shaded relief (default: 1)" >&2
    exit 2
}

fail() {
    printf '%s: %s\n' "$prog" "$*" >&2
    exit 1
}

for tool in gdal_translate gdaldem; do
    command -v "$tool" >/dev/null 2>&1 ||
        fail "GDAL command-line tools not found ($tool is missing); install them, e.g. apt-get install gdal-bin"
done

root=.
georef=
png=
zfactor=1
while getopts C:g:o:z:h opt; do
    case $opt in
        C) root=$OPTARG ;;
        g) georef=$OPTARG ;;
        o) png=$OPTARG ;;
        z) zfactor=$OPTARG ;;
        *) usage ;;
    esac
done
shift $((OPTIND - 1))
[ $# -eq 2 ] || usage
folder=$1 name=$2
dir=${root%/}/images/$folder
[ "$root" != . ] || dir=images/$folder
base=$dir/$name
[ -n "$png" ] || png=${base}_relieve.png
printf '%s\n' "$zfactor" | awk '$0 !~ /^[0-9]*\.?[0-9]+$/ || $0 + 0 <= 0 { exit 1 }' ||
    fail "vertical exaggeration '$zfactor' must be a positive number"

# Prints the six values of a result descriptor, after checking that the run wrote
# all of them and that its raw image holds every cell.
descriptor() { # bytes per pixel
    txt=${base}_m$1.txt
    [ -r "$txt" ] || fail "cannot read $txt: run tolvane on images/$folder/$name first"
    awk -v txt="$txt" -v bytes="$1" '
        $0 !~ /^-?[0-9]+$/ { print txt ": line " NR " is not an integer" > "/dev/stderr"; bad = 1; exit }
        { v[NR] = $0 }
        END {
            if (bad) exit 1
            if (NR < 6) { print txt ": " NR " of 6 lines; the run of tolvane did not finish" > "/dev/stderr"; exit 1 }
            if (v[1] <= 0 || v[2] <= 0 || v[3] != bytes) {
                print txt ": not the descriptor of a " bytes "-byte result" > "/dev/stderr"; exit 1 }
            print v[1], v[2], v[3], v[4], v[5], v[6]
        }' "$txt" || exit 1
}

values=$(descriptor 4)
# shellcheck disable=SC2086 # six numbers
set -- $values
lines=$1 columns=$2 pixel=$6

if [ -z "$georef" ] && [ -r "${base}_c4.geo" ]; then
    georef=${base}_c4.geo
fi
srs=
if [ -n "$georef" ]; then
    [ -r "$georef" ] || fail "cannot read the georeference $georef"
    key() { sed -n "s/^$1=//p" "$georef" | sed -n 1p; }
    geo_lines=$(key lines) geo_columns=$(key columns)
    origin_x=$(key origin_x) origin_y=$(key origin_y) pixel=$(key pixel_size) srs=$(key srs)
    [ -n "$origin_x" ] && [ -n "$origin_y" ] && [ -n "$pixel" ] ||
        fail "$georef lacks origin_x, origin_y or pixel_size"
    [ "$geo_lines" = "$lines" ] && [ "$geo_columns" = "$columns" ] ||
        fail "$georef describes $geo_lines lines and $geo_columns columns, the result has $lines and $columns: use -g with the georeference of this run's input"
else
    # No georeference: a local grid with the descriptor's pixel size, rows downward.
    [ "$pixel" -gt 0 ] || fail "${base}_m4.txt gives the pixel size $pixel; a georeference needs a positive one"
    origin_x=0
    origin_y=$((lines * pixel))
fi

# One header per result image, named after it: GDAL and QGIS then open the .raw file.
for bytes in 1 2 4; do
    values=$(descriptor $bytes)
    # shellcheck disable=SC2086 # six numbers
    set -- $values
    [ "$1" = "$lines" ] && [ "$2" = "$columns" ] ||
        fail "${base}_m$bytes.txt gives $1 lines and $2 columns, ${base}_m4.txt $lines and $columns"
    expected=$((lines * columns * bytes))
    actual=$(wc -c <"${base}_m$bytes.raw" | tr -d ' ')
    [ "$actual" -eq "$expected" ] ||
        fail "${base}_m$bytes.raw holds $actual bytes, $lines lines of $columns cells of $bytes bytes make $expected"
    case $bytes in
        1) type=1 what='altitude stretched over 0..255' ;;
        2) type=12 what='altitude / 10' ;;
        4) type=3 what='altitude' ;;
    esac
    {
        printf 'ENVI\n'
        printf 'description = {tolvane result %s_m%s: %s}\n' "$name" "$bytes" "$what"
        printf 'samples = %s\nlines = %s\nbands = 1\n' "$columns" "$lines"
        printf 'header offset = 0\nfile type = ENVI Standard\n'
        printf 'data type = %s\ninterleave = bsq\nbyte order = 0\n' "$type"
        # The reference pixel (1, 1) is the top-left corner of the top-left cell.
        printf 'map info = {Arbitrary, 1, 1, %s, %s, %s, %s}\n' "$origin_x" "$origin_y" "$pixel" "$pixel"
        [ -z "$srs" ] || printf 'coordinate system string = {%s}\n' "$srs"
        printf 'band names = {%s_m%s}\n' "$name" "$bytes"
    } >"${base}_m$bytes.hdr"
done

corners=$(awk -v x="$origin_x" -v y="$origin_y" -v p="$pixel" -v l="$lines" -v c="$columns" \
    'BEGIN { printf "%.15g %.15g %.15g %.15g", x, y, x + c * p, y - l * p }')
# shellcheck disable=SC2086 # corners holds four numbers
if [ -n "$srs" ]; then
    gdal_translate -q -of GTiff -co COMPRESS=DEFLATE -a_srs "$srs" -a_ullr $corners \
        "${base}_m4.raw" "${base}_m4.tif"
else
    gdal_translate -q -of GTiff -co COMPRESS=DEFLATE -a_ullr $corners \
        "${base}_m4.raw" "${base}_m4.tif"
fi

# The picture carries no georeference of its own (no .aux.xml beside it): the
# GeoTIFF is the georeferenced product.
gdaldem hillshade -q -compute_edges -z "$zfactor" -of PNG --config GDAL_PAM_ENABLED NO \
    "${base}_m4.tif" "$png"

printf '%s\n' "${base}_m1.hdr" "${base}_m2.hdr" "${base}_m4.hdr" "${base}_m4.tif" "$png"
[ -n "$georef" ] ||
    printf 'note: no georeference found; a local grid of pixel size %s with its bottom-left corner at (0, 0)\n' "$pixel"
