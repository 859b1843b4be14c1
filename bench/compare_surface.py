#!/usr/bin/python3
"""The surface drawn on the core's cells: tolvane-geo with -surface plain and
smooth (the default) against a linear and a cubic TIN on the lines' vertices
(scipy's LinearNDInterpolator and CloughTocher2DInterpolator, the cubic being
QGIS's TIN interpolation set to Clough-Tocher), on contours drawn with
gdal_contour from real DEMs shipped in Debian packages and on the bundled lines
against their analytic surface.

    /usr/bin/python3 bench/compare_surface.py [--out DIR] [--geo BIN] [--repeat N]

Every run gets the pixel size and the DEM's extent (so that its cells are the
DEM's), nothing else: -surface plain (the core's cells), the smooth surface
as drawn (-drainage none) and the default (smooth, drained). Columns, over the
cells where the DEM and the result both hold a value: RMSE; RMSE of the slope
in degrees (cells whose eight neighbours hold one too); terraces (the share of
cells within a fortieth of the interval of a level, over the DEM's share; 1: no
terrace); flat cells beyond the DEM's (the share of cells whose slope is
exactly zero, less the DEM's share, in percent); the largest error; the RMSE
and slope RMSE again over the cells inside the convex hull of the lines'
vertices only (where the TINs hold a value, so that every method is measured on
the same cells); the best wall time of --repeat runs and the peak memory.
Between the flat cells and the largest error, over every valid cell of the DEM:
nodata inside the valid area (the share of them the result leaves without a
value, in percent). Prints one Markdown table.
With --grass, GRASS's r.surf.contour and v.surf.rst (tension=20 smooth=0.1)
too, on the grids of a million cells or fewer (timed with GRASS's start).
With --qgis, QGIS's own TIN interpolation (linear and Clough-Toucher, the
one click in QGIS), each run a qgis_process that reads the lines and writes
the GeoTIFF, timed as tolvane-geo is (the scipy rows time the interpolation
alone, in this process).
Needs: gdal-bin python3-gdal python3-scipy python-matplotlib-data r-cran-terra
(grass-core for --grass, qgis for --qgis).
"""
import argparse
import math
import os
import resource
import subprocess
import sys
import time

import numpy as np
from osgeo import gdal, ogr, osr
from scipy.interpolate import CloughTocher2DInterpolator, LinearNDInterpolator
from scipy.spatial import Delaunay

gdal.UseExceptions()
HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
# DEM (from real_dems.py, or "colinas": the bundled lines), contour interval.
# jacksboro10: jacksboro resampled to 10 m (cubic), lines several pixels apart;
# volcano2: the volcano resampled to 2 m (cubic), lines many pixels apart; the
# last four, finer grids of half a million cells and more (where the fit takes
# fewer steps on its finest grids than on a small one).
CASES = [("jacksboro", 20), ("jacksboro", 50), ("jacksboro10", 20), ("luxembourg", 20), ("coast", 100),
         ("topobathy", 100), ("volcano", 5), ("volcano2", 5), ("colinas", 25),
         ("jacksboro30", 20), ("luxembourg100", 20), ("coast250", 100), ("volcano1", 5)]
RESAMPLED = {"jacksboro10": ("jacksboro", 10), "volcano2": ("volcano", 2), "jacksboro30": ("jacksboro", 30),
             "luxembourg100": ("luxembourg", 100), "coast250": ("coast", 250), "volcano1": ("volcano", 1)}
# tolvane-geo's runs: the core's cells, the smooth surface as drawn, and the
# default (the smooth surface, drained).
VARIANTS = [("-surface plain", "plain", ["-surface", "plain"]),
            ("-surface smooth -drainage none", "smooth", ["-drainage", "none"]), ("(no option)", "default", [])]


def read(path):
    ds = gdal.Open(path)
    band = ds.GetRasterBand(1)
    z = band.ReadAsArray().astype(np.float64)
    nodata = band.GetNoDataValue()
    if nodata is not None:
        z[z == nodata] = np.nan
    return z, ds.GetGeoTransform()


def timed(args, repeat, env=None):
    """Best wall time of `repeat` runs and the peak memory (MB) of the last."""
    best, peak = math.inf, 0
    for _ in range(repeat):
        t = time.perf_counter()
        p = subprocess.run(["/usr/bin/time", "-f", "%M", *args], check=True, stdout=subprocess.DEVNULL,
                           stderr=subprocess.PIPE, text=True, env=env)
        best = min(best, time.perf_counter() - t)
        peak = int(p.stderr.split()[-1]) / 1024
    return best, peak


def vertices(lines):
    ds = ogr.Open(lines)
    layer = ds.GetLayer(0)
    xyz = []
    for f in layer:
        g = f.GetGeometryRef()
        parts = [g.GetGeometryRef(i) for i in range(g.GetGeometryCount())] if g.GetGeometryCount() else [g]
        for p in parts:
            for x, y in p.GetPoints() if p.GetPointCount() else []:
                xyz.append((x, y, f.GetField("elev")))
    a = np.unique(np.array(xyz), axis=0)
    return a[:, :2], a[:, 2]


def tin(kind, lines, shape, gt):
    """The TIN of the lines' vertices at the cell centres, its time and the
    growth of this process's peak memory (MB; 0 once an earlier case peaked higher)."""
    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    t = time.perf_counter()
    xy, z = vertices(lines)
    f = (CloughTocher2DInterpolator if kind == "cubic" else LinearNDInterpolator)(xy, z)
    rows, columns = shape
    x = gt[0] + (np.arange(columns) + 0.5) * gt[1]
    y = gt[3] + (np.arange(rows) + 0.5) * gt[5]
    xx, yy = np.meshgrid(x, y)
    v = f(xx, yy)
    return v, time.perf_counter() - t, (resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before) / 1024


def grass(kind, lines, dem, out):
    """GRASS's r.surf.contour (on the lines rasterised to the DEM's grid) or
    v.surf.rst (tension=20 smooth=0.1, on the lines' vertices) in a temporary
    location of the DEM's system and grid; its cells and the wall time."""
    script = f"""set -e
v.in.ogr -o --q input={lines} output=lines
g.region raster=dem
"""
    if kind == "r.surf.contour":
        script += """v.to.rast --q input=lines output=burned use=attr attribute_column=elev type=line
r.surf.contour --q input=burned output=result
"""
    else:
        script += """v.surf.rst --q input=lines zcolumn=elev tension=20 smooth=0.1 elevation=result
"""
    script += f"r.out.gdal --q --overwrite -f input=result output={out} format=GTiff type=Float64\n"
    with open("grass.sh", "w") as f:
        f.write(script)
    t = time.perf_counter()
    subprocess.run(["grass", "--tmp-location", dem, "--exec", "bash", "-c",
                    f"r.in.gdal --q -o input={dem} output=dem && bash grass.sh"], check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return read(out)[0], time.perf_counter() - t, 0


def qgis_tin(kind, lines, dem, pixel, extent, out, repeat):
    """QGIS's own TIN interpolation (qgis:tininterpolation, the vertices as
    points, linear or Clough-Toucher), as a user runs it: one qgis_process
    each time, which reads the lines and writes the GeoTIFF; its cells, the
    best wall time of `repeat` runs and the peak memory."""
    source = ogr.Open(lines)  # held: its layer dies with it
    layer = source.GetLayer(0)
    field = layer.GetLayerDefn().GetFieldIndex("elev") + (1 if layer.GetFIDColumn() else 0)  # QGIS lists the fid first
    srs = osr.SpatialReference(wkt=gdal.Open(dem).GetProjection())
    srs.AutoIdentifyEPSG()
    env = dict(os.environ, QT_QPA_PLATFORM="offscreen")
    t, mb = timed(["qgis_process.bin", "run", "qgis:tininterpolation", "--",
                   f"INTERPOLATION_DATA={lines}::~::0::~::{field}::~::0", f"METHOD={1 if kind == 'cubic' else 0}",
                   f"EXTENT={extent[0]},{extent[2]},{extent[1]},{extent[3]} [EPSG:{srs.GetAuthorityCode(None)}]",
                   f"PIXEL_SIZE={pixel}", f"OUTPUT={out}"], repeat, env)
    return read(out)[0], t, mb


def slope(z, pixel):
    gy, gx = np.gradient(z, pixel)
    s = np.degrees(np.arctan(np.hypot(gx, gy)))
    valid = np.isfinite(z)
    inner = np.zeros_like(valid)
    inner[1:-1, 1:-1] = True
    for di in (-1, 0, 1):
        for dj in (-1, 0, 1):
            inner &= np.roll(np.roll(valid, di, 0), dj, 1)
    return s, inner


def hull_of(lines, shape, gt):
    """The cells whose centre lies inside the convex hull of the lines' vertices
    (where a TIN holds a value)."""
    xy, _ = vertices(lines)
    rows, columns = shape
    x = gt[0] + (np.arange(columns) + 0.5) * gt[1]
    hull = np.zeros(shape, dtype=bool)
    tri = Delaunay(xy)
    for i in range(rows):  # row by row, to bound the memory
        y = np.full(columns, gt[3] + (i + 0.5) * gt[5])
        hull[i] = tri.find_simplex(np.column_stack([x, y])) >= 0
    return hull


def measures(truth, result, pixel, interval, base, hull):
    """The measures over every cell where the result holds a value, then the
    RMSE and slope RMSE over the cells inside the lines' hull only (the cells
    every method is measured on)."""
    both = np.isfinite(truth) & np.isfinite(result)
    e = (result - truth)[both]
    st, it = slope(truth, pixel)
    sr, ir = slope(result, pixel)
    inner = it & ir
    near = lambda z: np.abs((z - base) / interval - np.round((z - base) / interval)) * 40 < 1
    terraces = near(result[both]).mean() / max(near(truth[both]).mean(), 1e-9)
    flat = 100 * ((sr[inner] == 0).mean() - (st[inner] == 0).mean())
    holes = 100 * (~np.isfinite(result[np.isfinite(truth)])).mean()
    eh = (result - truth)[both & hull]
    return (math.sqrt((e ** 2).mean()), math.sqrt(((sr - st)[inner] ** 2).mean()), terraces, flat, holes,
            np.abs(e).max(), math.sqrt((eh ** 2).mean()), math.sqrt(((sr - st)[inner & hull] ** 2).mean()))


def into_bench_folder(out):
    """Works in `out`, with the real DEMs made there on the first run."""
    os.makedirs(out, exist_ok=True)
    os.chdir(out)
    if not all(os.path.exists(dem + ".tif") for dem in ("jacksboro", "volcano")):
        subprocess.run([sys.executable, os.path.join(HERE, "real_dems.py"), "."], check=True)


def main():
    a = argparse.ArgumentParser()
    a.add_argument("--out", default="surface-bench")
    a.add_argument("--geo", default=os.path.join(ROOT, "build", "geo", "tolvane-geo"))
    a.add_argument("--repeat", type=int, default=1)
    a.add_argument("--cases", default=",".join(sorted({c[0] for c in CASES})), help="DEMs, separated by commas")
    a.add_argument("--no-tin", action="store_true", help="tolvane-geo only")
    a.add_argument("--grass", action="store_true",
                   help="GRASS's r.surf.contour and v.surf.rst too, on grids of a million cells or fewer")
    a.add_argument("--qgis", action="store_true",
                   help="QGIS's own TIN interpolation too (linear and Clough-Toucher), each run a qgis_process")
    args = a.parse_args()
    geo = os.path.abspath(args.geo)
    into_bench_folder(args.out)
    for name, (dem, pixel) in RESAMPLED.items():
        if not os.path.exists(name + ".tif"):
            gdal.Warp(name + ".tif", dem + ".tif", xRes=pixel, yRes=pixel, resampleAlg="cubic")
    print("| DEM | interval | pixel | method | RMSE | slope RMSE (deg) | terraces | flat beyond DEM (%) | "
          "nodata inside the valid area (%) | largest error | RMSE in hull | slope RMSE in hull | time (s) | "
          "memory (MB) |")
    print("|---|---|---|---|---|---|---|---|---|---|---|---|---|---|")
    for dem, interval in [c for c in CASES if c[0] in args.cases.split(",")]:
        if dem == "colinas":
            lines = os.path.join(ROOT, "examples", "curvas", "colinas.gpkg")
            truth, gt = read(os.path.join(ROOT, "tests", "geo", "data", "colinas_superficie.tif"))
        else:
            lines = f"{dem}-{interval}.gpkg"
            if not os.path.exists(lines):
                subprocess.run(["gdal_contour", "-q", "-a", "elev", "-i", str(interval), dem + ".tif", lines],
                               check=True)
            truth, gt = read(dem + ".tif")
        pixel = gt[1]
        rows, columns = truth.shape
        extent = [gt[0], gt[3] + rows * gt[5], gt[0] + columns * pixel, gt[3]]
        base = np.nanmin(truth)
        base = math.floor(base / interval) * interval
        results = []
        for name, tag, options in VARIANTS:
            out = f"{dem}-{interval}-{tag}.tif"
            t, mb = timed([geo, "-q", "-tr", str(pixel), str(pixel), "-te", *map(str, extent), *options,
                          lines, out], args.repeat)
            results.append((f"tolvane-geo {name}", read(out)[0], t, mb))
        for kind in () if args.no_tin else ("linear", "cubic"):
            results.append((f"{kind} TIN", *tin(kind, lines, truth.shape, gt)))
        if args.grass and rows * columns <= 1_000_000:
            dem_tif = (os.path.join(ROOT, "tests", "geo", "data", "colinas_superficie.tif") if dem == "colinas"
                       else os.path.abspath(dem + ".tif"))
            for kind in ("r.surf.contour", "v.surf.rst"):
                results.append((f"GRASS {kind}", *grass(kind, os.path.abspath(lines), dem_tif,
                                                        os.path.abspath(f"{dem}-{interval}-{kind}.tif"))))
        if args.qgis:
            dem_tif = (os.path.join(ROOT, "tests", "geo", "data", "colinas_superficie.tif") if dem == "colinas"
                       else os.path.abspath(dem + ".tif"))
            for kind in ("linear", "cubic"):
                results.append((f"QGIS {kind} TIN", *qgis_tin(kind, os.path.abspath(lines), dem_tif, pixel, extent,
                                                              os.path.abspath(f"{dem}-{interval}-qgis-{kind}.tif"),
                                                              args.repeat)))
        hull = hull_of(lines, truth.shape, gt)
        for name, z, t, mb in results:
            r, s, terr, flat, holes, worst, rh, sh = measures(truth, z, pixel, interval, base, hull)
            print(f"| {dem} | {interval} | {pixel:g} | {name} | {r:.3f} | {s:.3f} | {terr:.2f} | {flat:.2f} | "
                  f"{holes:.2f} | {worst:.1f} | {rh:.3f} | {sh:.3f} | {t:.2f} | {mb:.0f} |", flush=True)


if __name__ == "__main__":
    main()
