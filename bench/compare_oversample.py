#!/usr/bin/python3
"""Sub-pixel accuracy: tolvane-geo at -oversample auto (the default), 1, 2, 3 and
4, GRASS r.surf.contour and a linear TIN on the lines' own vertices (gdal_grid),
on contours drawn with gdal_contour from real DEMs shipped in Debian packages,
at the DEM's pixel size and 2 and 4 times coarser.

    /usr/bin/python3 bench/compare_oversample.py [--out DIR] [--geo BIN] [--repeat N]

The truth at a coarser pixel is the DEM's area mean over it (pixels whose DEM
cells are all valid); the RMSE is taken over those. Where the DEM has nodata
around its valid area, every tolvane-geo run gets -mask with the valid area
(the automatic footprint is another matter). Times are the best of --repeat
runs: wall, and CPU (user and system) on every thread. Prints one Markdown table. Needs: gdal-bin python3-gdal
grass-core python-matplotlib-data r-cran-terra.
"""
import argparse
import math
import os
import re
import resource
import subprocess
import sys
import time

import numpy as np
from osgeo import gdal

gdal.UseExceptions()
HERE = os.path.dirname(os.path.abspath(__file__))
# DEM, contour interval, EPSG of its grid, whether it has nodata around it.
CASES = [("jacksboro", 20, 32617, True), ("luxembourg", 20, 32632, True), ("topobathy", 100, 32610, False)]
FACTORS = [1, 2, 4]
GRASS_SCRIPT = """#!/bin/sh
set -e
r.in.gdal -o input="$1" output=c --quiet --overwrite
g.region raster=c
r.surf.contour input=c output=s --quiet --overwrite
r.out.gdal -c -f input=s output="$2" format=GTiff type=Float32 nodata=-9999 --quiet --overwrite
"""


def run(args, repeat=1):
    """Best wall and CPU time (user + system of the children) of `repeat` runs
    of a command; fails loudly."""
    best, best_cpu = math.inf, math.inf
    for _ in range(repeat):
        t, c = time.perf_counter(), resource.getrusage(resource.RUSAGE_CHILDREN)
        p = subprocess.run(args, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        d = resource.getrusage(resource.RUSAGE_CHILDREN)
        best = min(best, time.perf_counter() - t)
        best_cpu = min(best_cpu, d.ru_utime - c.ru_utime + d.ru_stime - c.ru_stime)
        if p.returncode != 0:
            sys.exit(f"failed: {' '.join(args)}\n{p.stderr}")
    return (best, best_cpu), p.stdout


def truth(dem, factor, out):
    """The DEM's area mean on pixels `factor` times larger, from its top-left corner."""
    d = gdal.Open(dem)
    t = d.GetGeoTransform()
    z = d.GetRasterBand(1).ReadAsArray().astype(np.float64)
    nodata = d.GetRasterBand(1).GetNoDataValue()
    valid = z != nodata if nodata is not None else np.ones(z.shape, bool)
    rows, columns = z.shape[0] // factor, z.shape[1] // factor
    z = z[:rows * factor, :columns * factor].reshape(rows, factor, columns, factor)
    valid = valid[:rows * factor, :columns * factor].reshape(rows, factor, columns, factor).all(axis=(1, 3))
    mean = np.where(valid, z.mean(axis=(1, 3)), -9999)
    o = gdal.GetDriverByName("GTiff").Create(out, columns, rows, 1, gdal.GDT_Float64)
    o.SetGeoTransform((t[0], t[1] * factor, 0, t[3], 0, t[5] * factor))
    o.SetProjection(d.GetProjection())
    o.GetRasterBand(1).SetNoDataValue(-9999)
    o.GetRasterBand(1).WriteArray(mean)
    return (t[0], t[3] + rows * factor * t[5], t[0] + columns * factor * t[1], t[3]), t[1] * factor, rows, columns


def rmse(truth_file, result):
    d, r = gdal.Open(truth_file), gdal.Open(result)
    assert np.allclose(d.GetGeoTransform(), r.GetGeoTransform()), (truth_file, result)
    z = d.GetRasterBand(1).ReadAsArray().astype(np.float64)
    v = r.GetRasterBand(1).ReadAsArray().astype(np.float64)
    nodata = r.GetRasterBand(1).GetNoDataValue()
    have = (z != -9999) & np.isfinite(v) & ((v != nodata) if nodata is not None else True)
    e = v[have] - z[have]
    return math.sqrt(np.mean(e * e)), 1 - have.sum() / (z != -9999).sum()


def main():
    a = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    a.add_argument("--out", default="oversample-out")
    a.add_argument("--geo", default=os.path.join(HERE, "..", "build", "geo", "tolvane-geo"))
    a.add_argument("--repeat", type=int, default=3)
    a.add_argument("--cases", default=",".join(c[0] for c in CASES))
    a.add_argument("--gapped", action="store_true",
                   help="also rows of the lines with gaps cut out (gaps_data.py cut), at the DEM's pixel, every "
                        "tolvane-geo run with -repair_gaps 4")
    a.add_argument("--extra", action="append", default=[],
                   help="another tolvane-geo column: 'NAME=OPTIONS' (e.g. 'gauss=-oversample 3 -aggregate gauss')")
    o = a.parse_args()
    geo = os.path.abspath(o.geo)
    os.makedirs(o.out, exist_ok=True)
    os.chdir(o.out)
    if not all(os.path.exists(c[0] + ".tif") for c in CASES):
        subprocess.run([sys.executable, os.path.join(HERE, "real_dems.py"), "."], check=True)
    with open("grass_surf.sh", "w") as f:
        f.write(GRASS_SCRIPT)
    os.chmod("grass_surf.sh", 0o755)

    runs = [("default", [])] + [(f"-oversample {n}", ["-oversample", str(n)]) for n in (1, 2, 3, 4)]
    runs += [(name, options.split()) for name, options in (e.split("=", 1) for e in o.extra)]
    head = ["DEM", "contours", "pixel", "auto N"] + [n for n, _ in runs] + ["r.surf.contour", "linear TIN"]
    print("| " + " | ".join(head) + " |")
    print("|" + "---|" * len(head))
    print("RMSE in metres, then (wall / CPU seconds)", file=sys.stderr)
    for dem, interval, epsg, collar in CASES:
        if dem not in o.cases.split(","):
            continue
        lines = f"{dem}-{interval}.gpkg"
        if not os.path.exists(lines):
            subprocess.run(["gdal_contour", "-q", "-a", "elev", "-i", str(interval), dem + ".tif", lines], check=True)
        mask = []
        if collar:
            subprocess.run([sys.executable, os.path.join(HERE, "gaps_data.py"), "valid", dem + ".tif",
                            dem + "-valid.gpkg"], check=True)
            mask = ["-mask", dem + "-valid.gpkg"]
        pixel0 = gdal.Open(dem + ".tif").GetGeoTransform()[1]
        gapped = f"{dem}-{interval}-gapped.gpkg"
        if o.gapped and not os.path.exists(gapped):
            subprocess.run([sys.executable, os.path.join(HERE, "gaps_data.py"), "cut", lines, gapped, repr(pixel0)],
                           check=True, stdout=subprocess.DEVNULL)
        rows = [(lines, factor, []) for factor in FACTORS] + ([(gapped, 1, ["-repair_gaps", "4"])] if o.gapped else [])
        for lines, factor, repair in rows:
            t = f"{dem}-truth-{factor}.tif"
            tag = f"{dem}-{factor}" + ("-gapped" if repair else "")
            (xmin, ymin, xmax, ymax), pixel, rows, columns = truth(dem + ".tif", factor, t)
            grid = ["-te", *map(repr, (xmin, ymin, xmax, ymax)), "-tr", repr(pixel), repr(pixel)]
            cells = []
            chosen = "?"
            for name, options in runs:
                out = f"{tag}-{name.replace(' ', '').replace('-', '')}.tif"
                seconds, stdout = run([geo, *grid, *mask, *repair, *options, lines, out], o.repeat)
                if name == "default":
                    # "Oversampling: the lines burned N times finer, ..."; no such note at N = 1.
                    chosen = next((m.group(1) for m in map(re.compile(r"Oversampling: the lines burned (\d+)").match,
                                                           stdout.splitlines()) if m), "1")
                e, _ = rmse(t, out)
                cells.append(f"{e:.1f} ({seconds[0]:.2f} / {seconds[1]:.2f})")
            burned = f"{tag}-burned.tif"
            out = f"{tag}-grass.tif"
            seconds, _ = run(["sh", "-c", f"gdal_rasterize -q -a elev {' '.join(grid)} -ot Int32 -init 0 "
                                          f"-a_nodata 0 {lines} {burned} && grass --tmp-location EPSG:{epsg} "
                                          f"--exec ./grass_surf.sh {burned} {out} > /dev/null 2>&1"], 1)
            e, _ = rmse(t, out)
            cells.append(f"{e:.1f} ({seconds[0]:.2f} / {seconds[1]:.2f})")
            out = f"{tag}-tin.tif"
            seconds, _ = run(["gdal_grid", "-q", "-a", "linear:nodata=-9999", "-zfield", "elev", "-txe", repr(xmin),
                              repr(xmax), "-tye", repr(ymax), repr(ymin), "-outsize", str(columns), str(rows),
                              "-ot", "Float32", "-a_srs", f"EPSG:{epsg}", lines, out], o.repeat)
            e, _ = rmse(t, out)
            cells.append(f"{e:.1f} ({seconds[0]:.2f} / {seconds[1]:.2f})")
            kind = f"every {interval} m" + (", gapped, -repair_gaps 4" if repair else "")
            print(f"| {dem} | {kind} | {pixel:g} m | {chosen} | " + " | ".join(cells) + " |", flush=True)


if __name__ == "__main__":
    main()
