#!/usr/bin/python3
"""Drainage of the models made from contours: tolvane-geo with -drainage none
and enforce (the default), the cubic TIN of the lines' vertices (scipy's
CloughTocher2DInterpolator) and GRASS r.surf.contour, on contours drawn with
gdal_contour from real DEMs shipped in Debian packages (bench/real_dems.py).

    /usr/bin/python3 bench/compare_drainage.py [--out DIR] [--geo BIN] [--cases jacksboro,...]

Every run gets the pixel size and the DEM's extent, nothing else. Columns,
over the cells where the DEM and the result both hold a value: RMSE; RMSE of
the slope in degrees; false sinks, the closed depressions deeper than a tenth
of the interval in the result that meet no such depression of the DEM (count
and area in km², found by a priority flood from the edges and the nodata);
streams, the share of the DEM's stream cells (GRASS r.watershed -s on the DEM,
cells draining more than 0.2 % of the grid) that lie on the result's own
streams (r.watershed -s on the result, the same threshold), exactly and within
one pixel; spot heights met, the share of the DEM's summits and pits (the
extreme of each area the innermost contour closes) that the result holds within
a hundredth of the interval on their pixel; the wall time of the method. The
rows with -points give tolvane-geo those summits and pits as spot heights, those
with -streams the DEM's streams as lines through their cells' centres. GRASS
runs headless in a temporary location. Prints one Markdown table.
Needs: gdal-bin python3-gdal python3-scipy grass-core python-matplotlib-data r-cran-terra.
"""
import argparse
import heapq
import math
import os
import subprocess
import sys
import tempfile
import time

import numpy as np
from osgeo import gdal, ogr, osr
from scipy import ndimage

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from compare_surface import into_bench_folder, read, slope, tin  # noqa: E402

gdal.UseExceptions()
HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
CASES = [("jacksboro", 20), ("jacksboro", 50), ("luxembourg", 20), ("coast", 100), ("topobathy", 100)]
STREAM_SHARE = 0.002  # of the grid's cells: the drainage area of a stream cell
EIGHT = [(-1, -1), (-1, 0), (-1, 1), (0, -1), (0, 1), (1, -1), (1, 0), (1, 1)]


def filled(z):
    """The priority flood of z (NaN: no value, where water leaves, as at the edges)."""
    rows, columns = z.shape
    f = z.copy()
    closed = np.isnan(z)
    valid = ~closed
    edge = valid & ~ndimage.binary_erosion(valid, np.ones((3, 3)), border_value=0)
    heap = [(f[r, c], r, c) for r, c in zip(*np.nonzero(edge))]
    heapq.heapify(heap)
    closed |= edge
    while heap:
        v, r, c = heapq.heappop(heap)
        for dr, dc in EIGHT:
            nr, nc = r + dr, c + dc
            if 0 <= nr < rows and 0 <= nc < columns and not closed[nr, nc]:
                closed[nr, nc] = True
                if f[nr, nc] < v:
                    f[nr, nc] = v
                heapq.heappush(heap, (f[nr, nc], nr, nc))
    return f


def deep_sinks(z, interval):
    """The labels of the closed depressions deeper than a tenth of the interval, and their count."""
    f = filled(z)
    raised = np.nan_to_num(f - z) > 0
    labels, n = ndimage.label(raised, np.ones((3, 3)))
    depth = ndimage.maximum(np.nan_to_num(f - z), labels, np.arange(1, n + 1))
    deep = np.zeros(n + 1, bool)
    deep[1:] = np.asarray(depth) > interval / 10
    return np.where(deep[labels], labels, 0)


def false_sinks(result, truth_sinks, interval, pixel):
    labels = deep_sinks(result, interval)
    ids = np.unique(labels[labels > 0])
    true_ids = np.unique(labels[(labels > 0) & (truth_sinks > 0)])
    false = np.setdiff1d(ids, true_ids)
    area = np.isin(labels, false).sum() * pixel * pixel / 1e6
    return len(false), area


def summits_and_pits(z, interval):
    """The DEM's summits and pits: in each area that a contour closes with no
    other contour inside (cells at or above a level with none a level higher,
    or below a level with none a level lower, touching neither the grid's edge
    nor the nodata), the pixel of its extreme. (row, column, value) each."""
    valid = np.isfinite(z)
    border = np.zeros(z.shape, bool)
    border[[0, -1], :] = border[:, [0, -1]] = True
    border |= ndimage.binary_dilation(~valid, np.ones((3, 3)))
    points = []
    low, high = np.nanmin(z), np.nanmax(z)
    for level in np.arange(math.ceil(low / interval) * interval, high + interval, interval):
        for sign in (1, -1):
            inside = valid & ((z >= level) if sign > 0 else (z < level))
            labels, n = ndimage.label(inside, np.ones((3, 3)))
            if n == 0:
                continue
            ids = np.arange(1, n + 1)
            touching = ndimage.maximum(border, labels, ids).astype(bool)
            if sign > 0:
                extreme = np.asarray(ndimage.maximum(z, labels, ids))
                places = ndimage.maximum_position(z, labels, ids)
                keep = extreme < level + interval
            else:
                extreme = np.asarray(ndimage.minimum(z, labels, ids))
                places = ndimage.minimum_position(z, labels, ids)
                keep = extreme >= level - interval
            for k in np.nonzero(keep & ~touching)[0]:
                points.append((places[k][0], places[k][1], float(extreme[k])))
    return points


def write_points(path, points, like):
    """The points at their pixels' centres, their altitude in elev, as a GeoJSON."""
    gt = like.GetGeoTransform()
    srs = osr.SpatialReference(wkt=like.GetProjection())
    driver = gdal.GetDriverByName("GeoJSON")
    if os.path.exists(path):
        os.remove(path)
    ds = driver.Create(path, 0, 0, 0, gdal.GDT_Unknown)
    layer = ds.CreateLayer("spots", srs, ogr.wkbPoint)
    layer.CreateField(ogr.FieldDefn("elev", ogr.OFTReal))
    for r, c, v in points:
        f = ogr.Feature(layer.GetLayerDefn())
        f.SetField("elev", v)
        g = ogr.Geometry(ogr.wkbPoint)
        g.AddPoint_2D(gt[0] + (c + 0.5) * gt[1], gt[3] + (r + 0.5) * gt[5])
        f.SetGeometry(g)
        layer.CreateFeature(f)
    ds = None


def write(path, z, like):
    ds = gdal.GetDriverByName("GTiff").Create(path, z.shape[1], z.shape[0], 1, gdal.GDT_Float32)
    ds.SetGeoTransform(like.GetGeoTransform())
    ds.SetProjection(like.GetProjection())
    band = ds.GetRasterBand(1)
    band.SetNoDataValue(-9999)
    band.WriteArray(np.where(np.isfinite(z), z, -9999).astype(np.float32))
    ds = None


def grass(epsg, script):
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "run.sh")
        with open(path, "w") as f:
            f.write("set -e\n" + script)
        p = subprocess.run(["grass", "--tmp-location", f"EPSG:{epsg}", "--exec", "bash", path],
                           stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
        if p.returncode != 0:
            sys.exit("GRASS failed:\n" + p.stderr[-2000:])


def streams_of(epsg, rasters, threshold):
    """Each raster's stream cells by r.watershed -s (D8), as boolean grids."""
    script = ""
    for k, path in enumerate(rasters):
        script += (f"r.in.gdal -o --o input={path} output=m{k}\ng.region raster=m{k}\n"
                   f"r.watershed -s --o elevation=m{k} threshold={threshold} stream=s{k}\n"
                   f"r.out.gdal --o -c input=s{k} output={path}.streams.tif format=GTiff type=Int32 nodata=0\n")
    grass(epsg, script)
    out = []
    for path in rasters:
        s = gdal.Open(path + ".streams.tif").ReadAsArray()
        out.append(s > 0)
    return out


# r.watershed's drainage codes: the direction of flow, counterclockwise from east.
CODE_STEP = {1: (-1, 1), 2: (-1, 0), 3: (-1, -1), 4: (0, -1), 5: (1, -1), 6: (1, 0), 7: (1, 1), 8: (0, 1)}


def stream_lines(epsg, dem, threshold, out):
    """The DEM's streams (r.watershed -s, the same threshold) as lines through
    the centres of their cells, each cell joined to the one r.watershed drains
    it to: one line from each source or confluence down to the next
    confluence or the edge, written to a GeoPackage. Every stream cell lies on
    a line and no line cuts a corner (r.thin and r.to.vect lose cells at
    confluences and where they smooth)."""
    if os.path.exists(out):
        os.remove(out)
    grass(epsg, f"r.in.gdal -o --o input={dem} output=d\ng.region raster=d\n"
                f"r.watershed -s --o elevation=d threshold={threshold} stream=s drainage=a\n"
                f"r.out.gdal --o -c input=s output={out}.s.tif format=GTiff type=Int32 nodata=0\n"
                f"r.out.gdal --o -c input=a output={out}.a.tif format=GTiff type=Int16 nodata=-32768\n")
    stream = gdal.Open(out + ".s.tif").ReadAsArray() > 0
    code = gdal.Open(out + ".a.tif").ReadAsArray()
    like = gdal.Open(dem)
    rows, columns = stream.shape
    down = {}
    for r, c in zip(*np.nonzero(stream)):
        step = CODE_STEP.get(int(code[r, c]))
        if step:
            nr, nc = r + step[0], c + step[1]
            if 0 <= nr < rows and 0 <= nc < columns and stream[nr, nc]:
                down[(r, c)] = (nr, nc)
    upstream = {}
    for k, v in down.items():
        upstream[v] = upstream.get(v, 0) + 1
    lines = []
    for r, c in zip(*np.nonzero(stream)):
        if upstream.get((r, c), 0) == 1:
            continue  # inside a line that starts further up
        line = [(r, c)]
        while line[-1] in down:
            line.append(down[line[-1]])
            if upstream.get(line[-1], 0) != 1:
                break
        if len(line) > 1:
            lines.append(line)
    gt = like.GetGeoTransform()
    driver = gdal.GetDriverByName("GPKG")
    ds = driver.Create(out, 0, 0, 0, gdal.GDT_Unknown)
    layer = ds.CreateLayer("streams", osr.SpatialReference(wkt=like.GetProjection()), ogr.wkbLineString)
    for line in lines:
        f = ogr.Feature(layer.GetLayerDefn())
        g = ogr.Geometry(ogr.wkbLineString)
        for r, c in line:
            g.AddPoint_2D(gt[0] + (c + 0.5) * gt[1], gt[3] + (r + 0.5) * gt[5])
        f.SetGeometry(g)
        layer.CreateFeature(f)
    ds = None


def surf_contour(epsg, lines, like, out):
    """GRASS r.surf.contour on the lines rasterised at the DEM's grid, and its time."""
    gt = like.GetGeoTransform()
    contours = out + ".contours.tif"
    extent = [gt[0], gt[3] + like.RasterYSize * gt[5], gt[0] + like.RasterXSize * gt[1], gt[3]]
    subprocess.run(["gdal_rasterize", "-q", "-a", "elev", "-tr", str(gt[1]), str(-gt[5]), "-te", *map(str, extent),
                    "-a_nodata", "-9999", "-init", "-9999", "-ot", "Float32", lines, contours], check=True)
    timing = out + ".time"
    grass(epsg, f"r.in.gdal -o --o input={contours} output=c\ng.region raster=c\n"
                f"t=$(date +%s.%N)\nr.surf.contour --o input=c output=s\necho \"$(date +%s.%N) - $t\" | bc > {timing}\n"
                f"r.out.gdal --o -c -f input=s output={out} format=GTiff type=Float32 nodata=-9999\n")
    return float(open(timing).read())


def main():
    a = argparse.ArgumentParser()
    a.add_argument("--out", default="drainage-bench")
    a.add_argument("--geo", default=os.path.join(ROOT, "build", "geo", "tolvane-geo"))
    a.add_argument("--cases", default=",".join(sorted({c[0] for c in CASES})), help="DEMs, separated by commas")
    args = a.parse_args()
    geo = os.path.abspath(args.geo)
    into_bench_folder(args.out)
    print("| DEM | interval | pixel | method | RMSE | slope RMSE (deg) | false sinks | their area (km²) | "
          "streams on the network | within a pixel | spot heights met | time (s) |")
    print("|---|---|---|---|---|---|---|---|---|---|---|---|")
    for dem, interval in [c for c in CASES if c[0] in args.cases.split(",")]:
        lines = f"{dem}-{interval}.gpkg"
        if not os.path.exists(lines):
            subprocess.run(["gdal_contour", "-q", "-a", "elev", "-i", str(interval), dem + ".tif", lines], check=True)
        truth, gt = read(dem + ".tif")
        like = gdal.Open(dem + ".tif")
        srs = osr.SpatialReference(wkt=like.GetProjection())
        srs.AutoIdentifyEPSG()
        epsg = srs.GetAuthorityCode(None)
        pixel = gt[1]
        rows, columns = truth.shape
        extent = [gt[0], gt[3] + rows * gt[5], gt[0] + columns * pixel, gt[3]]
        threshold = max(20, int(STREAM_SHARE * np.isfinite(truth).sum()))
        streams_file = os.path.abspath(f"{dem}-streams.gpkg")
        stream_lines(epsg, os.path.abspath(dem + ".tif"), threshold, streams_file)
        spots = summits_and_pits(truth, interval)
        spots_file = os.path.abspath(f"{dem}-{interval}-spots.geojson")
        write_points(spots_file, spots, like)
        results = []
        for mode, more in (("none", []), ("enforce", []), ("enforce", ["-points", spots_file]),
                           ("enforce", ["-surface", "smooth"]),
                           ("enforce", ["-surface", "smooth", "-points", spots_file]),
                           ("enforce", ["-points", spots_file, "-streams", streams_file]),
                           ("enforce", ["-surface", "smooth", "-points", spots_file, "-streams", streams_file])):
            words = {spots_file: "SPOTS", streams_file: "STREAMS"}
            name = " ".join(["-drainage", mode] + [words.get(w, w) for w in more])
            out = os.path.abspath(f"{dem}-{interval}-{mode}{'-points' if spots_file in more else ''}"
                                  f"{'-streams' if streams_file in more else ''}"
                                  f"{'-smooth' if 'smooth' in more else ''}.tif")
            t = time.perf_counter()
            subprocess.run([geo, "-q", "-tr", str(pixel), str(pixel), "-te", *map(str, extent), "-drainage", mode,
                            *more, lines, out], check=True)
            results.append((f"tolvane-geo {name}", out, read(out)[0], time.perf_counter() - t))
        z, t, _ = tin("cubic", lines, truth.shape, gt)
        out = os.path.abspath(f"{dem}-{interval}-cubic.tif")
        write(out, z, like)
        results.append(("cubic TIN", out, read(out)[0], t))
        out = os.path.abspath(f"{dem}-{interval}-rsurf.tif")
        t = surf_contour(epsg, lines, like, out)
        results.append(("r.surf.contour", out, read(out)[0], t))

        streams = streams_of(epsg, [os.path.abspath(dem + ".tif")] + [r[1] for r in results], threshold)
        true_streams, truth_sinks = streams[0], deep_sinks(truth, interval)
        st, it = slope(truth, pixel)
        for (name, _, z, t), s in zip(results, streams[1:]):
            both = np.isfinite(truth) & np.isfinite(z)
            rmse = math.sqrt(((z - truth)[both] ** 2).mean())
            sr, ir = slope(z, pixel)
            srmse = math.sqrt(((sr - st)[it & ir] ** 2).mean())
            count, area = false_sinks(np.where(both, z, np.nan), truth_sinks, interval, pixel)
            on = true_streams & both
            exact = (on & s).sum() / max(on.sum(), 1)
            near = (on & ndimage.binary_dilation(s, np.ones((3, 3)))).sum() / max(on.sum(), 1)
            met = sum(abs(z[r, c] - v) <= interval / 100 for r, c, v in spots)
            print(f"| {dem} | {interval} | {pixel:g} | {name} | {rmse:.3f} | {srmse:.3f} | {count} | {area:.2f} | "
                  f"{100 * exact:.1f} % | {100 * near:.1f} % | {met} of {len(spots)} | {t:.2f} |", flush=True)


if __name__ == "__main__":
    main()
