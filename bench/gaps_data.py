#!/usr/bin/python3
"""Broken and clipped copies of contour lines, and the error of a result.

    gaps_data.py cut LINES.gpkg OUT.gpkg PIXEL [SEED]
        cuts pieces of 1.5 to 3 pixels out of every line, about one every 40
        pixels of line (same attribute 'elev'; each piece a LineString)
    gaps_data.py footprint DEM.tif OUT.gpkg
        an irregular polygon (a lobed disc) inside the DEM's valid area
    gaps_data.py valid DEM.tif OUT.gpkg
        the DEM's valid area as polygons
    gaps_data.py rmse DEM.tif RESULT.tif [FOOTPRINT.gpkg]
        prints the RMSE of RESULT against DEM over the cells where both hold a
        value (and inside the footprint), then the share of those DEM cells that
        RESULT leaves without value
    gaps_data.py rmse_on DEM.tif KEPT.tif RESULT.tif [FOOTPRINT.gpkg]
        the same over the cells where KEPT.tif holds a value
    gaps_data.py surface RESULT.tif
        the same against the analytic surface of the bundled lines
        (examples/curvas/genera_colinas.py) at RESULT's pixel centres, over the
        lines' extent
"""
import math
import os
import random
import sys

import numpy as np
from osgeo import gdal, ogr, osr

gdal.UseExceptions()
ogr.UseExceptions()


def lines_of(geometry):
    flat = ogr.GT_Flatten(geometry.GetGeometryType())
    if flat == ogr.wkbLineString:
        return [geometry.GetPoints()]
    if flat == ogr.wkbMultiLineString:
        return [geometry.GetGeometryRef(k).GetPoints() for k in range(geometry.GetGeometryCount())]
    return []


def cut(source, out, pixel, seed=1):
    rng = random.Random(seed)
    src = ogr.Open(source)
    layer = src.GetLayer(0)
    dst = ogr.GetDriverByName("GPKG").CreateDataSource(out)
    lines = dst.CreateLayer("gapped", layer.GetSpatialRef(), ogr.wkbLineString)
    lines.CreateField(ogr.FieldDefn("elev", ogr.OFTReal))
    cuts = pieces = 0
    for f in layer:
        for points in lines_of(f.GetGeometryRef()):
            pts = [(p[0], p[1]) for p in points]
            # cut intervals along the line, in map units
            length = sum(math.dist(pts[k], pts[k + 1]) for k in range(len(pts) - 1))
            intervals = []
            s = rng.uniform(0, 40) * pixel
            while s < length:
                w = rng.uniform(1.5, 3) * pixel
                intervals.append((s, s + w))
                s += w + rng.uniform(20, 60) * pixel
            cuts += len(intervals)
            kept = []  # runs of points outside every interval
            current = []
            along = 0.0

            def inside_cut(t):
                return any(a < t < b for a, b in intervals)

            def point_at(k, t):
                (x0, y0), (x1, y1) = pts[k], pts[k + 1]
                d = math.dist(pts[k], pts[k + 1])
                u = (t - along) / d if d else 0
                return (x0 + u * (x1 - x0), y0 + u * (y1 - y0))

            if not inside_cut(0):
                current.append(pts[0])
            for k in range(len(pts) - 1):
                d = math.dist(pts[k], pts[k + 1])
                marks = sorted([t for a, b in intervals for t in (a, b) if along < t < along + d])
                for t in marks:
                    p = point_at(k, t)
                    if any(abs(t - a) < 1e-12 for a, _ in intervals):  # entering a cut
                        current.append(p)
                        kept.append(current)
                        current = []
                    else:  # leaving a cut
                        current = [p]
                along += d
                if not inside_cut(along):
                    current.append(pts[k + 1])
            kept.append(current)
            for run in kept:
                if len(run) < 2:
                    continue
                g = ogr.Geometry(ogr.wkbLineString)
                for x, y in run:
                    g.AddPoint_2D(x, y)
                o = ogr.Feature(lines.GetLayerDefn())
                o.SetField("elev", f.GetField("elev"))
                o.SetGeometry(g)
                lines.CreateFeature(o)
                pieces += 1
    print(f"{cuts} cuts, {pieces} pieces")


def footprint(dem, out):
    d = gdal.Open(dem)
    t = d.GetGeoTransform()
    w, h = d.RasterXSize * t[1], d.RasterYSize * -t[5]
    cx, cy = t[0] + w / 2, t[3] - h / 2
    r = 0.40 * min(w, h)
    ring = ogr.Geometry(ogr.wkbLinearRing)
    for k in range(361):
        a = math.radians(k)
        f = 1 + 0.22 * math.sin(3 * a + 0.5) + 0.08 * math.cos(7 * a)
        ring.AddPoint_2D(cx + r * f * math.cos(a), cy + r * f * math.sin(a))
    poly = ogr.Geometry(ogr.wkbPolygon)
    poly.AddGeometry(ring)
    poly = poly.Intersection(valid_area(d))
    write_polygon(out, poly, d)


def valid_area(d):
    mem = ogr.GetDriverByName("Memory").CreateDataSource("")
    layer = mem.CreateLayer("valid", osr.SpatialReference(d.GetProjection()), ogr.wkbPolygon)
    layer.CreateField(ogr.FieldDefn("v", ogr.OFTInteger))
    band = d.GetRasterBand(1)
    valid = gdal.GetDriverByName("MEM").Create("", d.RasterXSize, d.RasterYSize, 1, gdal.GDT_Byte)
    valid.SetGeoTransform(d.GetGeoTransform())
    z = band.ReadAsArray()
    nodata = band.GetNoDataValue()
    valid.GetRasterBand(1).WriteArray((z != nodata).astype(np.uint8) if nodata is not None
                                      else np.ones(z.shape, np.uint8))
    gdal.Polygonize(valid.GetRasterBand(1), valid.GetRasterBand(1), layer, 0)
    union = ogr.Geometry(ogr.wkbMultiPolygon)
    for f in layer:
        if f.GetField("v") == 1:
            union.AddGeometry(f.GetGeometryRef())
    return union.UnionCascaded()


def write_polygon(out, poly, d):
    dst = ogr.GetDriverByName("GPKG").CreateDataSource(out)
    layer = dst.CreateLayer("footprint", osr.SpatialReference(d.GetProjection()), ogr.wkbMultiPolygon)
    f = ogr.Feature(layer.GetLayerDefn())
    f.SetGeometry(ogr.ForceToMultiPolygon(poly))
    layer.CreateFeature(f)


def valid(dem, out):
    d = gdal.Open(dem)
    write_polygon(out, valid_area(d), d)


def rmse(dem, result, footprint_file=None, kept=None):
    d = gdal.Open(dem)
    r = gdal.Open(result)
    assert d.GetGeoTransform() == r.GetGeoTransform(), "different grids"
    z = d.GetRasterBand(1).ReadAsArray().astype(np.float64)
    v = r.GetRasterBand(1).ReadAsArray().astype(np.float64)
    ok = z != d.GetRasterBand(1).GetNoDataValue()
    if footprint_file:
        m = gdal.GetDriverByName("MEM").Create("", d.RasterXSize, d.RasterYSize, 1, gdal.GDT_Byte)
        m.SetGeoTransform(d.GetGeoTransform())
        m.SetProjection(d.GetProjection())
        src = ogr.Open(footprint_file)
        gdal.RasterizeLayer(m, [1], src.GetLayer(0), burn_values=[1])
        ok &= m.GetRasterBand(1).ReadAsArray() == 1
    if kept:
        kd = gdal.Open(kept)  # the band lives only as long as its dataset
        k = kd.GetRasterBand(1)
        w = k.ReadAsArray().astype(np.float64)
        ok &= np.isfinite(w) & ((w != k.GetNoDataValue()) if k.GetNoDataValue() is not None else True)
    nodata = r.GetRasterBand(1).GetNoDataValue()
    have = ok & np.isfinite(v) & ((v != nodata) if nodata is not None else True)
    e = v[have] - z[have]
    print(f"{math.sqrt(np.mean(e * e)):.1f} {100 * (1 - have.sum() / ok.sum()):.1f}")


def surface(result):
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "examples", "curvas"))
    from genera_colinas import COLUMNS, NORTH, PIXEL, ROWS, WEST, altitude
    r = gdal.Open(result)
    t = r.GetGeoTransform()
    v = r.GetRasterBand(1).ReadAsArray().astype(np.float64)
    x = t[0] + (np.arange(r.RasterXSize) + 0.5) * t[1]
    y = t[3] + (np.arange(r.RasterYSize) + 0.5) * t[5]
    x, y = np.meshgrid(x, y)
    south = NORTH - ROWS * PIXEL
    ok = (x > WEST) & (x < WEST + COLUMNS * PIXEL) & (y > south) & (y < NORTH)
    nodata = r.GetRasterBand(1).GetNoDataValue()
    have = ok & np.isfinite(v) & ((v != nodata) if nodata is not None else True)
    e = v[have] - altitude(x[have] - WEST, y[have] - south)
    print(f"{math.sqrt(np.mean(e * e)):.1f} {100 * (1 - have.sum() / ok.sum()):.1f}")


if __name__ == "__main__":
    command, args = sys.argv[1], sys.argv[2:]
    if command == "cut":
        cut(args[0], args[1], float(args[2]), int(args[3]) if len(args) > 3 else 1)
    elif command == "footprint":
        footprint(*args)
    elif command == "valid":
        valid(*args)
    elif command == "rmse":
        rmse(*args)
    elif command == "rmse_on":
        rmse(args[0], args[2], args[3] if len(args) > 3 else None, kept=args[1])
    elif command == "surface":
        surface(*args)
    else:
        sys.exit(__doc__)
