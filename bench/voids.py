#!/usr/bin/python3
"""Contours drawn from DEMs with voids: each DEM of bench/real_dems.py with
small rectangles of nodata punched into it (2 to 7 pixels a side, at places
of a fixed seed, as the voids of a radar DEM), its contours drawn with
gdal_contour, and each tolvane-geo given run with no option on the DEM's
grid.

    /usr/bin/python3 bench/voids.py OUTDIR TOLVANE_GEO [TOLVANE_GEO ...]

Prints a Markdown table: per DEM, the number of voids and the interval, then
for each build the RMSE and the largest error against the DEM over the cells
it gives a value outside the voids, the zone pixels the run warns of as lying
between contours not their zone's (on the grid it burns), and the share of
the voids' pixels it gives a value; last the cubic TIN of the lines' vertices
(scipy's CloughTocher2DInterpolator, QGIS's TIN interpolation set to
Clough-Toucher), the same way over the cells it holds.
Needs: gdal-bin python3-gdal python3-scipy python-matplotlib-data r-cran-terra.
"""
import os
import re
import subprocess
import sys

import numpy as np
from osgeo import gdal

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import real_dems  # noqa: E402, F401  (run as a script below)
from compare_surface import tin  # noqa: E402

gdal.UseExceptions()
# DEM, voids, interval, seed.
CASES = [("jacksboro", 60, 20, 1), ("jacksboro", 20, 20, 3), ("luxembourg", 30, 20, 1), ("topobathy", 40, 100, 1),
         ("mountains", 40, 100, 1), ("volcano", 6, 5, 1)]


def punched(dem, voids, seed, out):
    """`dem` with `voids` rectangles of nodata, written to `out`; the DEM's
    values, its valid cells and the voids' cells."""
    d = gdal.Open(dem)
    band = d.GetRasterBand(1)
    z = band.ReadAsArray().astype(np.float32)
    nodata = band.GetNoDataValue()
    valid = np.ones(z.shape, bool) if nodata is None else z != nodata
    rng = np.random.default_rng(seed)
    rows, columns = z.shape
    holes = np.zeros(z.shape, bool)
    for _ in range(voids):
        r, c = rng.integers(5, rows - 5), rng.integers(5, columns - 5)
        h, w = rng.integers(2, 8), rng.integers(2, 8)
        holes[r:r + h, c:c + w] = True
    o = gdal.GetDriverByName("GTiff").Create(out, columns, rows, 1, gdal.GDT_Float32)
    o.SetGeoTransform(d.GetGeoTransform())
    o.SetProjection(d.GetProjection())
    b = o.GetRasterBand(1)
    b.WriteArray(np.where(valid & ~holes, z, -9999).astype(np.float32))
    b.SetNoDataValue(-9999)
    o = None
    return z, valid, holes, d.GetGeoTransform()


def run(tool, lines, gt, shape, out):
    rows, columns = shape
    extent = [gt[0], gt[3] + gt[5] * rows, gt[0] + gt[1] * columns, gt[3]]
    p = subprocess.run([tool, "-tr", str(gt[1]), str(gt[1]), "-te", *map(str, extent), lines, out],
                       capture_output=True, text=True, check=True)
    leak = re.search(r"(\d+) zone pixels", p.stderr)
    d = gdal.Open(out)
    band = d.GetRasterBand(1)
    v = band.ReadAsArray().astype(np.float64)
    return v, v == band.GetNoDataValue(), int(leak.group(1)) if leak else 0


def main():
    if len(sys.argv) < 3:
        sys.exit(__doc__)
    folder, tools = sys.argv[1], sys.argv[2:]
    os.makedirs(folder, exist_ok=True)
    if not all(os.path.exists(os.path.join(folder, c[0] + ".tif")) for c in CASES):
        subprocess.run([sys.executable, os.path.join(os.path.dirname(os.path.abspath(__file__)), "real_dems.py"),
                        folder], check=True)
    head = "| DEM | voids | interval |" + "".join(f" build {i + 1}: RMSE, largest, leaking pixels, voids valued |"
                                             for i in range(len(tools)))
    print(head + " cubic TIN: RMSE, largest, voids valued |")
    print("|---" * (4 + len(tools)) + "|")
    for name, voids, interval, seed in CASES:
        base = os.path.join(folder, f"{name}-voids{voids}")
        z, valid, holes, gt = punched(os.path.join(folder, name + ".tif"), voids, seed, base + ".tif")
        if os.path.exists(base + ".gpkg"):
            os.remove(base + ".gpkg")
        subprocess.run(["gdal_contour", "-q", "-a", "elev", "-i", str(interval), base + ".tif", base + ".gpkg"],
                       check=True)
        row = f"| {name} | {voids} | {interval} |"
        for i, tool in enumerate(tools):
            v, empty, leak = run(tool, base + ".gpkg", gt, z.shape, f"{base}-{i}.tif")
            kept = ~empty & valid & ~holes
            e = (v - z)[kept]
            row += (f" {np.sqrt((e ** 2).mean()):.2f} m, {np.abs(e).max():.1f} m, {leak},"
                    f" {100 * (~empty & holes).sum() / holes.sum():.0f} % |")
        cubic = tin("cubic", base + ".gpkg", z.shape, gt)[0]
        kept = np.isfinite(cubic) & valid & ~holes
        e = (cubic - z)[kept]
        row += (f" {np.sqrt((e ** 2).mean()):.2f} m, {np.abs(e).max():.1f} m,"
                f" {100 * (np.isfinite(cubic) & holes).sum() / holes.sum():.0f} % |")
        print(row, flush=True)


if __name__ == "__main__":
    main()
