"""Writes examples/curvas_colinas.gpkg, the contour lines of the README's Python
example: two hills on a slope, 2560 m x 2560 m in UTM zone 30N (EPSG:32630),
sampled every 10 m and contoured every 10 m by GDAL (layer "curvas", altitude
in the field "elev").

    /usr/bin/python3 examples/curvas_colinas.py examples/curvas_colinas.gpkg
"""

import sys

import numpy as np
from osgeo import gdal, ogr, osr

gdal.UseExceptions()


def main(path):
    n, pixel = 256, 10.0
    y, x = np.mgrid[0:n, 0:n] / n
    z = 150 * np.exp(-((x - .3) ** 2 + (y - .4) ** 2) / .05) + 90 * np.exp(-((x - .7) ** 2 + (y - .7) ** 2) / .03)
    z += 40 * x + 20
    srs = osr.SpatialReference()
    srs.ImportFromEPSG(32630)
    dem = gdal.GetDriverByName("MEM").Create("", n, n, 1, gdal.GDT_Float32)
    dem.SetGeoTransform((500000, pixel, 0, 4500000, 0, -pixel))
    dem.SetProjection(srs.ExportToWkt())
    dem.GetRasterBand(1).WriteArray(z)
    ds = ogr.GetDriverByName("GPKG").CreateDataSource(path)
    lyr = ds.CreateLayer("curvas", srs, ogr.wkbLineString)
    lyr.CreateField(ogr.FieldDefn("id", ogr.OFTInteger))
    lyr.CreateField(ogr.FieldDefn("elev", ogr.OFTReal))
    gdal.ContourGenerateEx(dem.GetRasterBand(1), lyr, options=["LEVEL_INTERVAL=10", "ID_FIELD=0", "ELEV_FIELD=1"])


if __name__ == "__main__":
    main(sys.argv[1])
