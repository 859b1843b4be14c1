#!/usr/bin/python3
"""Real elevation models shipped inside Debian packages, as projected GeoTIFFs.

    /usr/bin/python3 bench/real_dems.py OUTPUT_FOLDER

writes OUTPUT_FOLDER/jacksboro.tif (USGS 3-arc-second DEM of the Jacksboro fault,
Tennessee, from Debian's python-matplotlib-data, warped to UTM 17N at 90 m) and
OUTPUT_FOLDER/luxembourg.tif (the 30-arc-second elevation of Luxembourg from
r-cran-terra, warped to UTM 32N at 500 m). Needs: apt-get install
python-matplotlib-data r-cran-terra python3-gdal.
"""
import os
import sys

import numpy as np
from osgeo import gdal, osr

gdal.UseExceptions()

JACKSBORO = "/usr/share/matplotlib/mpl-data/sample_data/jacksboro_fault_dem.npz"
LUXEMBOURG = "/usr/lib/R/site-library/terra/ex/elev.tif"


def jacksboro(out):
    d = np.load(JACKSBORO)
    z = d["elevation"].astype(np.float32)
    north = max(float(d["ymin"]), float(d["ymax"]))  # row 0 is the northern edge
    src = gdal.GetDriverByName("MEM").Create("", z.shape[1], z.shape[0], 1, gdal.GDT_Float32)
    src.SetGeoTransform((float(d["xmin"]), float(d["dx"]), 0, north, 0, -float(d["dy"])))
    srs = osr.SpatialReference()
    srs.ImportFromEPSG(4326)
    srs.SetAxisMappingStrategy(osr.OAMS_TRADITIONAL_GIS_ORDER)
    src.SetProjection(srs.ExportToWkt())
    src.GetRasterBand(1).WriteArray(z)
    gdal.Warp(out, src, dstSRS="EPSG:32617", xRes=90, yRes=90, resampleAlg="bilinear",
              targetAlignedPixels=True, dstNodata=-9999)


def luxembourg(out):
    gdal.Warp(out, LUXEMBOURG, dstSRS="EPSG:32632", xRes=500, yRes=500, resampleAlg="bilinear",
              targetAlignedPixels=True, dstNodata=-9999, outputType=gdal.GDT_Float32)


if __name__ == "__main__":
    folder = sys.argv[1] if len(sys.argv) > 1 else "."
    os.makedirs(folder, exist_ok=True)
    jacksboro(os.path.join(folder, "jacksboro.tif"))
    luxembourg(os.path.join(folder, "luxembourg.tif"))
