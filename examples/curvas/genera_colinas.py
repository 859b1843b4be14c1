#!/usr/bin/python3
"""Writes the bundled contour lines: examples/curvas/colinas.gpkg.

An analytic surface (two Gaussian hills on a gentle slope) is sampled at the
centres of a 200 x 150 grid of 10 m cells in ETRS89 / UTM zone 30N (EPSG:25830)
and written to tests/geo/data/colinas_superficie.tif, which the tests of
tolvane-geo compare against; gdal_contour then draws its contours every 25 m
(attribute elev, layer colinas). Run from the repository root:

    /usr/bin/python3 examples/curvas/genera_colinas.py
"""
import os
import subprocess

import numpy as np
from osgeo import gdal, osr

COLUMNS, ROWS, PIXEL = 200, 150, 10.0
WEST, NORTH = 440000.0, 4476500.0
INTERVAL = 25

SURFACE = "tests/geo/data/colinas_superficie.tif"
CONTOURS = "examples/curvas/colinas.gpkg"


def altitude(x, y):
    """Altitude in metres at x, y metres east and north of the grid's south-west corner."""
    hill1 = 230.0 * np.exp(-((x - 700.0) ** 2 + (y - 650.0) ** 2) / (2 * 320.0 ** 2))
    hill2 = 160.0 * np.exp(-((x - 1480.0) ** 2 + (y - 980.0) ** 2) / (2 * 240.0 ** 2))
    return 312.0 + 0.04 * x + 0.03 * y + hill1 + hill2


def main():
    gdal.UseExceptions()
    columns = np.arange(COLUMNS)
    rows = np.arange(ROWS)
    x = (columns + 0.5) * PIXEL
    y = ROWS * PIXEL - (rows + 0.5) * PIXEL
    z = altitude(x[np.newaxis, :], y[:, np.newaxis]).astype(np.float32)

    srs = osr.SpatialReference()
    srs.ImportFromEPSG(25830)
    for path in (SURFACE, CONTOURS):
        if os.path.exists(path):
            os.remove(path)
    driver = gdal.GetDriverByName("GTiff")
    ds = driver.Create(SURFACE, COLUMNS, ROWS, 1, gdal.GDT_Float32,
                       ["COMPRESS=DEFLATE", "PREDICTOR=3"])
    ds.SetGeoTransform((WEST, PIXEL, 0.0, NORTH, 0.0, -PIXEL))
    ds.SetProjection(srs.ExportToWkt())
    ds.GetRasterBand(1).WriteArray(z)
    ds = None

    subprocess.run(["gdal_contour", "-q", "-a", "elev", "-i", str(INTERVAL),
                    "-nln", "colinas", SURFACE, CONTOURS], check=True)


if __name__ == "__main__":
    main()
