#!/usr/bin/python3
"""Nodata left on sheets whose contours all run to the edge or close, and on
sheets whose contours stop on the edge of their data.

    /usr/bin/python3 bench/full_sheets.py OUTDIR TOLVANE_GEO [TOLVANE_GEO ...]

Cuts each DEM of bench/real_dems.py (written into OUTDIR when missing) to a
rectangle without nodata, draws its contours with gdal_contour, and runs each
tolvane-geo given with no option at the DEM's pixel, half and twice it. Prints a
Markdown table: per DEM and pixel, the share of the pixels inside the lines'
extent that are nodata, the open ends the report names, and the RMSE against
the DEM where the pixel is the DEM's. Then a second table for lines that stop
where the data stop: drawn from the DEMs as warped (nodata corners: "bordered")
and the clean lines clipped to a lobed disc (gaps_data.py footprint:
"clipped"), at the DEM's pixel: the share of the pixels inside the true
footprint that are nodata, and the share of the valued pixels outside it.
Needs gdal-bin python3-gdal python-matplotlib-data.
"""
import os
import re
import subprocess
import sys

import numpy as np
from osgeo import gdal, ogr

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import gaps_data  # noqa: E402
import real_dems  # noqa: E402

gdal.UseExceptions()

# DEM, contour interval
SHEETS = [("mountains", 100), ("topobathy", 100), ("jacksboro", 50)]


def make(folder):
    for name, _ in SHEETS:
        path = os.path.join(folder, name + ".tif")
        if not os.path.exists(path):
            if name == "jacksboro":
                real_dems.jacksboro(path)
            elif name == "topobathy":
                real_dems.coast(path, pixel=2000, land_only=False)
            else:
                real_dems.coast(path, pixel=2000, land_only=False, west=-123.5)
        real_dems.clean_crop(path, os.path.join(folder, name + "-clean.tif"))


def lines_extent(lines):
    source = ogr.Open(lines)
    xmin, xmax, ymin, ymax = source.GetLayer(0).GetExtent()
    return xmin, ymin, xmax, ymax


def nodata_inside(result, extent):
    d = gdal.Open(result)
    t = d.GetGeoTransform()
    z = d.GetRasterBand(1).ReadAsArray()
    nodata = d.GetRasterBand(1).GetNoDataValue()
    x = t[0] + (np.arange(d.RasterXSize) + 0.5) * t[1]
    y = t[3] + (np.arange(d.RasterYSize) + 0.5) * t[5]
    xmin, ymin, xmax, ymax = extent
    inside = ((y >= ymin) & (y <= ymax))[:, None] & ((x >= xmin) & (x <= xmax))[None, :]
    empty = (z == nodata) | np.isnan(z)
    return 100.0 * (empty & inside).sum() / inside.sum()


def rmse(dem, result):
    a = gdal.Open(dem).ReadAsArray().astype(np.float64)
    d = gdal.Open(result)
    b = d.ReadAsArray().astype(np.float64)
    nodata = d.GetRasterBand(1).GetNoDataValue()
    if a.shape != b.shape:
        return None
    ok = (b != nodata) & ~np.isnan(b)
    return float(np.sqrt(np.mean((a[ok] - b[ok]) ** 2)))


def footprint_shares(result, footprint):
    """Nodata inside the footprint (polygons), valued pixels outside it, in %."""
    d = gdal.Open(result)
    z = d.GetRasterBand(1).ReadAsArray()
    nodata = d.GetRasterBand(1).GetNoDataValue()
    m = gdal.GetDriverByName("MEM").Create("", d.RasterXSize, d.RasterYSize, 1, gdal.GDT_Byte)
    m.SetGeoTransform(d.GetGeoTransform())
    m.SetProjection(d.GetProjection())
    src = ogr.Open(footprint)
    gdal.RasterizeLayer(m, [1], src.GetLayer(0), burn_values=[1])
    inside = m.GetRasterBand(1).ReadAsArray() == 1
    valued = (z != nodata) & ~np.isnan(z)
    return 100.0 * (~valued & inside).sum() / inside.sum(), 100.0 * (valued & ~inside).sum() / max(1, valued.sum())


def edged(folder, tools):
    print()
    print("| DEM | lines | " + " | ".join(f"build {k + 1}: nodata inside, valued outside" for k in range(len(tools))) + " |")
    print("|---|---|" + "---|" * len(tools))
    for name, interval in SHEETS:
        dem = os.path.join(folder, name + ".tif")
        d = gdal.Open(dem)
        t = d.GetGeoTransform()
        grid = ["-te", str(t[0]), str(t[3] + d.RasterYSize * t[5]), str(t[0] + d.RasterXSize * t[1]), str(t[3]),
                "-tr", str(t[1]), str(t[1])]
        valid = os.path.join(folder, name + "-valid.gpkg")
        lobed = os.path.join(folder, name + "-lobed.gpkg")
        bordered = os.path.join(folder, name + "-bordered.gpkg")
        clipped = os.path.join(folder, name + "-clipped.gpkg")
        for f in (valid, lobed, bordered, clipped):
            if os.path.exists(f):
                os.remove(f)
        gaps_data.valid(dem, valid)
        gaps_data.footprint(dem, lobed)
        subprocess.run(["gdal_contour", "-q", "-a", "elev", "-i", str(interval), dem, bordered], check=True)
        subprocess.run(["ogr2ogr", "-q", "-nlt", "MULTILINESTRING", "-clipsrc", lobed, clipped,
                        os.path.join(folder, name + "-clean.gpkg")], check=True)
        for lines, footprint in ((bordered, valid), (clipped, lobed)):
            kind = "bordered" if lines == bordered else "clipped"
            row = f"| {name} | {kind}"
            for k, tool in enumerate(tools):
                out = os.path.join(folder, f"{name}-{kind}-{k}.tif")
                subprocess.run([tool, "-q"] + grid + [lines, out], capture_output=True, check=True)
                inside, outside = footprint_shares(out, footprint)
                row += f" | {inside:.2f} %, {outside:.2f} %"
            print(row + " |")


def main():
    folder, tools = sys.argv[1], sys.argv[2:]
    os.makedirs(folder, exist_ok=True)
    make(folder)
    print("| DEM | pixel | " + " | ".join(f"build {k + 1}: nodata in extent, open ends, RMSE" for k in range(len(tools))) + " |")
    print("|---|---|" + "---|" * len(tools))
    for name, interval in SHEETS:
        dem = os.path.join(folder, name + "-clean.tif")
        lines = os.path.join(folder, name + "-clean.gpkg")
        if os.path.exists(lines):
            os.remove(lines)
        subprocess.run(["gdal_contour", "-q", "-a", "elev", "-i", str(interval), dem, lines], check=True)
        d = gdal.Open(dem)
        t = d.GetGeoTransform()
        extent = lines_extent(lines)
        for scale in (1, 0.5, 2):
            pixel = t[1] * scale
            # At the DEM's pixel the grid is the DEM's, for the RMSE.
            grid = ["-te", str(t[0]), str(t[3] + d.RasterYSize * t[5]), str(t[0] + d.RasterXSize * t[1]), str(t[3])]
            row = f"| {name} | {pixel:g} m"
            for k, tool in enumerate(tools):
                out = os.path.join(folder, f"{name}-{scale:g}-{k}.tif")
                args = [tool, "-tr", str(pixel), str(pixel)] + (grid if scale == 1 else []) + [lines, out]
                run = subprocess.run(args, capture_output=True, text=True)
                said = run.stdout + run.stderr
                found = re.search(r"drawn through the (\d+) line ends", said)
                ends = int(found.group(1)) if found else 0
                error = rmse(dem, out) if scale == 1 else None
                row += f" | {nodata_inside(out, extent):.2f} %, {ends}" + (f", {error:.1f} m" if error is not None else "")
            print(row + " |")
    edged(folder, tools)


if __name__ == "__main__":
    main()
