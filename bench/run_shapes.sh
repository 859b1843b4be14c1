#!/usr/bin/env bash
# Cost in any shape: whole runs of tolvane on a square sheet and on images of the
# same pixel count but extreme shapes (one line, one column) or many zones. Prints
# wall time, time per pixel, peak memory and bytes per pixel.
#
#   bench/run_shapes.sh [TOLVANE [GENERA_CURVAS]]   (defaults: build-bench/)
#
# Needs GNU time (/usr/bin/time) and Debian's python3 with numpy for the line
# and column images.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
bin=$(realpath "${1:-$here/../build-bench/tolvane}")
gen=$(realpath "${2:-$(dirname "$bin")/genera_curvas}")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/images/s"
cd "$work"

# One line of N pixels: three waves across 40 contour levels every 10.
/usr/bin/python3 - "$work/images/s" <<'PY'
import sys
import numpy as np
folder = sys.argv[1]
def line(n, levels=40, step=10):
    h = (levels * step / 2) * (1 + np.sin(np.arange(n) * 2 * np.pi / (n / 3.0)))
    q = np.floor(h / step).astype(np.int64)
    out = np.full(n, 10000000, np.int32)
    for c in np.nonzero(q[1:] != q[:-1])[0]:
        level = max(q[c], q[c + 1]) * step
        if step <= level <= levels * step:
            out[c + 1] = level
    return out
a = line(4000000)
a.tofile(f"{folder}/fila_c4.raw")
a.tofile(f"{folder}/columna_c4.raw")
open(f"{folder}/fila_c4.txt", "w").write("1 4000000 4 0 0 1\n")
open(f"{folder}/columna_c4.txt", "w").write("4000000 1 4 0 0 1\n")
PY
read -r lo hi iv < <("$gen" images/s/cuadrada 2000 2000 40 10 1 | tail -1)
read -r zlo zhi ziv < <("$gen" images/s/zonas 2000 2000 251 2 1 | tail -1)

printf '| image | pixels | zones | wall_s | ns/pixel | peak_MiB | bytes/pixel |\n|---|---|---|---|---|---|---|\n'
run() { # name answers pixels zones
    /usr/bin/time -f '%e %M' -o t "$bin" <<<"s $1 0 $2 1" >/dev/null
    read -r wall kb <t
    awk -v n="$1" -v p="$3" -v z="$4" -v w="$wall" -v k="$kb" 'BEGIN {
        printf "| %s | %d | %d | %.2f | %.0f | %.1f | %.1f |\n", n, p, z, w, w * 1e9 / p, k / 1024, k * 1024 / p }'
}
run cuadrada "$lo $hi $iv" 4000000 $(( (hi - lo) / iv ))
run fila "10 400 10" 4000000 39
run columna "10 400 10" 4000000 39
run zonas "$zlo $zhi $ziv" 4000000 $(( (zhi - zlo) / ziv ))
