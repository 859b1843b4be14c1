#!/bin/sh
# Contour lines of a vector file (any format GDAL reads) into the input pair of
# tolvane: images/FOLDER/NAME_c4.raw, 32-bit integers holding the contour altitude
# on every contour pixel and the empty marker 10000000 elsewhere, and its six-line
# descriptor NAME_c4.txt. The georeference of the grid goes into NAME_c4.geo, which
# result_to_geotiff.sh reads to place the results. Prints the lowest and highest
# contour and the interval between levels, ready to type into the dialog.
set -eu

prog=contours_to_raw.sh
EMPTY=10000000

usage() {
    printf '%s\n' \
        "Usage: $prog [-a ATTRIBUTE] [-l LAYER] [-C DIR] VECTOR PIXEL_SIZE FOLDER NAME" \
        "" \
        "Burns the contour lines of VECTOR into DIR/images/FOLDER/NAME_c4.raw, a grid" \
        "of PIXEL_SIZE map units, with its descriptor NAME_c4.txt and its georeference" \
        "NAME_c4.geo, then prints the answers for tolvane's dialog." \
        "" \
        "  -a ATTRIBUTE  field holding the contour altitude (default: elev)" \
        "  -l LAYER      layer of VECTOR to read (default: its first layer)" \
        "  -C DIR        folder that holds images/ (default: the current folder)" >&2
    exit 2
}

fail() {
    printf '%s: %s\n' "$prog" "$*" >&2
    exit 1
}

# Checked before anything else runs a GDAL tool, so a missing one is named.
for tool in ogrinfo gdal_rasterize gdalinfo gdal_translate gdalsrsinfo; do
    command -v "$tool" >/dev/null 2>&1 ||
        fail "GDAL command-line tools not found ($tool is missing); install them, e.g. apt-get install gdal-bin"
done

attribute=elev
layer=
root=.
while getopts a:l:C:h opt; do
    case $opt in
        a) attribute=$OPTARG ;;
        l) layer=$OPTARG ;;
        C) root=$OPTARG ;;
        *) usage ;;
    esac
done
shift $((OPTIND - 1))
[ $# -eq 4 ] || usage
vector=$1 pixel=$2 folder=$3 name=$4

[ -r "$vector" ] || fail "cannot read $vector"
# The dialog reads one word per answer: a folder or name with a blank or a slash
# could not be typed into it.
for word in "$folder" "$name"; do
    case $word in
        '' | *[[:space:]/\\]*) fail "'$word': folder and name must be single words without slashes" ;;
    esac
done
printf '%s\n' "$pixel" | awk '$0 !~ /^[0-9]*\.?[0-9]+$/ || $0 + 0 <= 0 { exit 1 }' ||
    fail "pixel size '$pixel' must be a positive number"

# The layer: the one named, or the first of the file. ogrinfo lists them as
# "1: name (Geometry Type)".
layers=$(ogrinfo -ro -q "$vector" 2>/dev/null | sed -n 's/^[0-9][0-9]*: //p' | sed 's/ ([^()]*)$//')
[ -n "$layers" ] || fail "GDAL reads no vector layer from $vector"
if [ -z "$layer" ]; then
    layer=$(printf '%s\n' "$layers" | sed -n 1p)
else
    printf '%s\n' "$layers" | grep -Fqx -- "$layer" ||
        fail "no layer '$layer' in $vector (its layers: $(printf '%s\n' "$layers" | paste -sd, - | sed 's/,/, /g'))"
fi
summary=$(ogrinfo -ro -so "$vector" "$layer" 2>&1) || fail "cannot read layer '$layer' of $vector"

printf '%s\n' "$summary" | grep -qx 'Feature Count: 0' &&
    fail "no contours found: layer '$layer' of $vector has no feature"
# Field lines of the summary read "name: Type (width.precision)".
fields=$(printf '%s\n' "$summary" | sed -n 's/^\([^ ].*\): [A-Za-z0-9()]* ([0-9]*\.[0-9]*).*$/\1/p')
printf '%s\n' "$fields" | grep -Fqx -- "$attribute" ||
    fail "layer '$layer' of $vector has no attribute '$attribute' (its fields: $(printf '%s\n' "$fields" | paste -sd, - | sed 's/,/, /g')); choose one with -a"

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

# The distinct contour values, ascending. Every one must be a whole number that the
# program can hold in an int and tell from the empty marker.
ogrinfo -ro -q -dialect OGRSQL -sql "SELECT DISTINCT \"$attribute\" FROM \"$layer\"" "$vector" |
    sed -n 's/^  .* ([^()]*) = \(.*\)$/\1/p' | grep -vx '(null)' | sort -n -u >"$tmp/levels" || true
[ -s "$tmp/levels" ] || fail "no contours found: layer '$layer' of $vector has no feature with a value of '$attribute'"
bad=$(awk -v empty=$EMPTY '
    $0 !~ /^[-+]?[0-9]+(\.0*)?$/ || $0 + 0 == empty || $0 + 0 > 2147483647 || $0 + 0 < -2147483648 { print; exit }
' "$tmp/levels")
[ -z "$bad" ] || fail "contour value '$bad' of '$attribute' is not a whole number in the int range other than $EMPTY"

# The grid covers the lines' extent, aligned on the pixel size, with one empty pixel
# around it: labelling never seeds in the first row or column, and a line lying on
# the extent's edge would otherwise fall half outside the grid.
extent=$(printf '%s\n' "$summary" | sed -n 's/^Extent: (\([^,]*\), \([^)]*\)) - (\([^,]*\), \([^)]*\))$/\1 \2 \3 \4/p')
[ -n "$extent" ] || fail "no contours found: layer '$layer' of $vector has no geometry"
te=$(printf '%s\n' "$extent" | awk -v p="$pixel" '
    function fl(v) { return v == int(v) || v > 0 ? int(v) : int(v) - 1 }
    function ce(v) { return -fl(-v) }
    { printf "%.10g %.10g %.10g %.10g", (fl($1 / p) - 1) * p, (fl($2 / p) - 1) * p, (ce($3 / p) + 1) * p, (ce($4 / p) + 1) * p }')

# shellcheck disable=SC2086 # te holds four numbers
gdal_rasterize -q -l "$layer" -a "$attribute" -where "\"$attribute\" IS NOT NULL" \
    -te $te -tr "$pixel" "$pixel" -ot Int32 -init $EMPTY -a_nodata $EMPTY \
    -of GTiff "$vector" "$tmp/c4.tif" ||
    fail "gdal_rasterize could not burn '$attribute' of layer '$layer' of $vector"

info=$(gdalinfo -stats "$tmp/c4.tif" 2>&1) || true
columns=$(printf '%s\n' "$info" | sed -n 's/^Size is \([0-9]*\), \([0-9]*\)$/\1/p')
lines=$(printf '%s\n' "$info" | sed -n 's/^Size is \([0-9]*\), \([0-9]*\)$/\2/p')
origin=$(printf '%s\n' "$info" | sed -n 's/^Origin = (\([^,]*\),\([^)]*\))$/\1 \2/p' |
    awk '{ printf "%.15g %.15g", $1, $2 }')
lowest=$(printf '%s\n' "$info" | sed -n 's/^ *STATISTICS_MINIMUM=//p')
highest=$(printf '%s\n' "$info" | sed -n 's/^ *STATISTICS_MAXIMUM=//p')
[ -n "$lowest" ] && [ -n "$highest" ] ||
    fail "no contours found: no line of layer '$layer' of $vector crossed a pixel of the grid"
srs=$(gdalsrsinfo -o wkt1 --single-line "$tmp/c4.tif" 2>/dev/null | sed -n '/^[A-Z]/p') || srs=

dir=${root%/}/images/$folder
[ "$root" != . ] || dir=images/$folder
mkdir -p "$dir"
# gdal_translate writes the raw cells row after row from the top, in the host's
# byte order, with an ENVI header that says which; only the cells are kept.
gdal_translate -q -of ENVI -co INTERLEAVE=BSQ "$tmp/c4.tif" "$tmp/c4.raw"
grep -q '^byte order = 0' "$tmp/c4.hdr" ||
    fail "GDAL wrote a big-endian grid; the program reads little-endian cells"
mv "$tmp/c4.raw" "$dir/${name}_c4.raw"

# The descriptor holds an int pixel size: a fractional one is rounded, at least 1;
# the exact one stays in the georeference.
pixel_int=$(awk -v p="$pixel" 'BEGIN { v = int(p + 0.5); print v < 1 ? 1 : v }')
printf '%s\n' "$lines" "$columns" 4 "$lowest" "$highest" "$pixel_int" >"$dir/${name}_c4.txt"
{
    printf '# georeference of %s_c4.raw and of the results computed from it\n' "$name"
    printf 'lines=%s\ncolumns=%s\n' "$lines" "$columns"
    printf 'origin_x=%s\norigin_y=%s\n' "${origin% *}" "${origin#* }"
    printf 'pixel_size=%s\n' "$pixel"
    printf 'srs=%s\n' "$srs"
} >"$dir/${name}_c4.geo"

# The interval is the greatest common divisor of the steps between successive
# distinct levels, so that every level present is a level of the dialog's table.
# shellcheck disable=SC2046 # four numbers
set -- $(awk '
    function gcd(a, b) { while (b) { t = a % b; a = b; b = t } return a }
    NR == 1 { low = $0 + 0 }
    NR > 1 { g = gcd($0 - prev, g) }
    { prev = $0 + 0 }
    END { print low, prev, (g ? g : 1), NR }' "$tmp/levels")
low=$1 high=$2 interval=$3 count=$4

printf '%s: %s lines, %s columns, pixel size %s\n' "$dir/${name}_c4.raw" "$lines" "$columns" "$pixel"
printf '%s levels of %s found\n' "$count" "$attribute"
[ "$pixel_int" = "$pixel" ] ||
    printf 'note: the descriptor holds the pixel size %s; the exact %s is kept in %s_c4.geo\n' "$pixel_int" "$pixel" "$name"
[ "$count" -gt 1 ] ||
    printf 'note: a single level (%s): no zone lies between two contours, any interval will do\n' "$low"
[ $(((high - low) / interval)) -le 254 ] ||
    printf 'note: %s zones from %s to %s every %s; the dialog accepts at most 254\n' $(((high - low) / interval)) "$low" "$high" "$interval"
printf 'lowest contour:  %s\n' "$low"
printf 'highest contour: %s\n' "$high"
printf 'interval:        %s\n' "$interval"
printf 'dialog answers:  %s %s 0 %s %s %s, then the smoothing size (1, 3, 5, 7 or 9)\n' \
    "$folder" "$name" "$low" "$high" "$interval"
