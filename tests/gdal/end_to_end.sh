#!/bin/sh
# Contours of a known tilted plane go through contours_to_raw.sh, tolvane and
# result_to_geotiff.sh; the GeoTIFF must have the grid's size and georeference and,
# away from the border, the plane's altitudes within one contour interval. Then the
# scripts' refusals. Usage: end_to_end.sh TOLVANE. Exit status 77 (skipped) without GDAL.
set -eu

tolvane=${1:?usage: end_to_end.sh TOLVANE}
case $tolvane in /*) ;; *) tolvane=$(pwd)/$tolvane ;; esac
tools=$(cd "$(dirname "$0")/../../tools" && pwd)
command -v gdalinfo >/dev/null 2>&1 || { echo "GDAL command-line tools not installed: skipped"; exit 77; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
failed() { echo "FAIL: $*"; failures=$((failures + 1)); }
check() { what=$1; shift; "$@" || failed "$what"; }
contains() { printf '%s\n' "$1" | grep -Fq -- "$2"; }
contains_all() { # text, then one expected fragment per line on stdin
    while IFS= read -r s; do contains "$1" "$s" || failed "$2 lacks '$s'"; done
}

# z = 100 + 0.3 (x - 500000) + 0.2 (y - 4400000) over the 1000 m x 800 m rectangle
# whose bottom-left corner is (500000, 4400000), UTM zone 30N; a contour every 50
# from 150 to 550, clipped to the rectangle. The contours 150..250 reach the left
# edge and 400..550 the right one, so the lines span the whole rectangle.
awk 'BEGIN {
    W = 1000; H = 800; a = 0.3; b = 0.2
    printf "{\"type\":\"FeatureCollection\",\"crs\":{\"type\":\"name\",\"properties\":{\"name\":\"urn:ogc:def:crs:EPSG::32630\"}},\"features\":["
    for (L = 150; L <= 550; L += 50) {
        d = L - 100; n = 0
        v = d / b;           if (v >= 0 && v <= H) { u1[++n] = 0; v1[n] = v }
        v = (d - a * W) / b; if (v >= 0 && v <= H) { u1[++n] = W; v1[n] = v }
        u = d / a;           if (u > 0 && u < W)   { u1[++n] = u; v1[n] = 0 }
        u = (d - b * H) / a; if (u > 0 && u < W)   { u1[++n] = u; v1[n] = H }
        printf "%s{\"type\":\"Feature\",\"properties\":{\"elev\":%d},\"geometry\":{\"type\":\"LineString\",\"coordinates\":[[%.3f,%.3f],[%.3f,%.3f]]}}",
            (L > 150 ? "," : ""), L, 500000 + u1[1], 4400000 + v1[1], 500000 + u1[2], 4400000 + v1[2]
    }
    print "]}"
}' >"$work/plane.geojson"

printed=$(sh "$tools/contours_to_raw.sh" -C "$work" "$work/plane.geojson" 10 plano ladera)
answers=$(printf '%s\n' "$printed" | sed -n 's/^dialog answers: *\([^,]*\),.*/\1/p')
check "dialog answers '$answers'" [ "$answers" = "plano ladera 0 150 550 50" ]
# 100 x 80 cells of the rectangle and one empty cell around them.
dir=$work/images/plano
check "input descriptor" [ "$(tr '\n' ' ' <"$dir/ladera_c4.txt")" = "82 102 4 150 550 10 " ]
check "input image size" [ "$(wc -c <"$dir/ladera_c4.raw" | tr -d ' ')" -eq $((82 * 102 * 4)) ]

(cd "$work" && printf '%s 1\n' "$answers" | "$tolvane" >tolvane.log)
sh "$tools/result_to_geotiff.sh" -C "$work" plano ladera >/dev/null

info=$(gdalinfo -stats "$dir/ladera_m4.tif")
contains_all "$info" "ladera_m4.tif" <<'EOF'
Size is 102, 82
Origin = (499990.000000000000000,4400810.000000000000000)
Pixel Size = (10.000000000000000,-10.000000000000000)
ID["EPSG",32630]
Type=Int32
EOF
minimum=$(printf '%s\n' "$info" | sed -n 's/^ *STATISTICS_MINIMUM=//p')
maximum=$(printf '%s\n' "$info" | sed -n 's/^ *STATISTICS_MAXIMUM=//p')
check "altitudes $minimum..$maximum beyond one interval from the contours 150..550" \
    awk -v lo="$minimum" -v hi="$maximum" 'BEGIN { exit !(lo != "" && lo >= 100 && hi <= 600) }'

# Each cell centre two cells or more inside the grid, at its map coordinates: a
# flipped, shifted or transposed grid misses the plane by far more than 50.
gdal_translate -q -of XYZ "$dir/ladera_m4.tif" "$work/cells.xyz"
worst=$(awk '
    $1 < 500010 || $1 > 500990 || $2 < 4400010 || $2 > 4400790 { next }
    {
        n++; z = 100 + 0.3 * ($1 - 500000) + 0.2 * ($2 - 4400000)
        if ($3 - z > 50 || z - $3 > 50) { print "(" $1 ", " $2 ") holds " $3 ", the plane " z; exit }
    }
    END { if (n != 98 * 78) print n " cells inside, not " 98 * 78 }' "$work/cells.xyz")
check "altitudes within one interval of the plane: $worst" [ -z "$worst" ]

# The ENVI headers open the raw results themselves, placed like the GeoTIFF.
for pair in m1:Byte m2:UInt16 m4:Int32; do
    contains_all "$(gdalinfo "$dir/ladera_${pair%:*}.raw")" "ladera_${pair%:*}.raw" <<EOF
Driver: ENVI
Size is 102, 82
Type=${pair#*:}
Origin = (499990.000000000000000,4400810.000000000000000)
UTM zone 30N
EOF
done
check "shaded relief" contains "$(gdalinfo "$dir/ladera_relieve.png")" "Size is 102, 82"
check "no .aux.xml beside the picture" [ ! -e "$dir/ladera_relieve.png.aux.xml" ]

# The interval divides every step between distinct levels: 120, 200, 340 step by 80
# and 140, so by 20. Repeated, real-typed and missing values change nothing.
features() { # attribute, then one value per horizontal line, 20 apart from y = 0
    printf '{"type":"FeatureCollection","features":['
    a=$1 y=0 sep=
    shift
    for v in "$@"; do
        printf '%s{"type":"Feature","properties":{"%s":%s},"geometry":{"type":"LineString","coordinates":[[0,%d],[100,%d]]}}' \
            "$sep" "$a" "$v" $y $y
        y=$((y + 20)) sep=,
    done
    printf ']}\n'
}
features hoehe 200 120 340.0 200 null >"$work/steps.geojson"
printed=$(sh "$tools/contours_to_raw.sh" -a hoehe -C "$work" "$work/steps.geojson" 5 pasos escalones)
check "levels of 120, 200, 340" contains "$printed" "dialog answers:  pasos escalones 0 120 340 20,"
# x 0..100 and y 0..80 on 5-unit cells, one around; the null is not burnt as 0.
check "steps descriptor" [ "$(tr '\n' ' ' <"$work/images/pasos/escalones_c4.txt")" = "18 22 4 120 340 5 " ]

features elev 100 150.5 >"$work/fraction.geojson"
features elev 100 10000000 >"$work/marker.geojson"
features elev >"$work/none.geojson"
features elev null null >"$work/nulls.geojson"
head -n 3 "$dir/ladera_m4.txt" >"$dir/corta_m4.txt"   # a run stopped before saving
printf '2\n3\n4\n100\n200\n10\n' >"$dir/otra_m4.txt" # a result of another size
shell=$(command -v sh)
to_raw="$shell $tools/contours_to_raw.sh -C $work"
to_tif="$shell $tools/result_to_geotiff.sh -C $work"
while IFS='|' read -r expected command; do
    if out=$(eval "$command" 2>&1); then
        failed "accepted: $command"
    else
        contains "$out" "$expected" || failed "'$command' says '$out', not '$expected'"
    fi
done <<EOF
no attribute 'altura' (its fields: elev)|$to_raw -a altura $work/plane.geojson 10 plano x
no contours found|$to_raw $work/none.geojson 10 plano x
no contours found|$to_raw $work/nulls.geojson 10 plano x
'150.5' of 'elev' is not a whole number|$to_raw $work/fraction.geojson 10 plano x
'10000000' of 'elev' is not a whole number|$to_raw $work/marker.geojson 10 plano x
GDAL command-line tools not found|PATH=/nonexistent $to_raw $work/plane.geojson 10 plano x
GDAL command-line tools not found|PATH=/nonexistent $to_tif plano ladera
3 of 6 lines; the run of tolvane did not finish|$to_tif plano corta
describes 82 lines and 102 columns, the result has 2 and 3|$to_tif -g $dir/ladera_c4.geo plano otra
EOF

if [ $failures -gt 0 ]; then
    trap - EXIT
    echo "$failures check(s) failed; files kept in $work"
    exit 1
fi
echo "all checks passed"
