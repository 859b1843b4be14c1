#!/usr/bin/python3
"""Real elevation models shipped inside Debian packages, as projected GeoTIFFs.

    /usr/bin/python3 bench/real_dems.py OUTPUT_FOLDER

writes OUTPUT_FOLDER/jacksboro.tif (USGS 3-arc-second DEM of the Jacksboro fault,
Tennessee, from Debian's python-matplotlib-data, warped to UTM 17N at 90 m) and
OUTPUT_FOLDER/luxembourg.tif (the 30-arc-second elevation of Luxembourg from
r-cran-terra, warped to UTM 32N at 500 m), OUTPUT_FOLDER/coast.tif (the
land of matplotlib's topobathy.npz, 2-arc-minute relief of the Salish Sea and
Vancouver Island, the sea as nodata, warped to UTM 10N at 1000 m: a coastline)
and OUTPUT_FOLDER/topobathy.tif (the same relief, land and sea floor, warped
to UTM 10N at 2000 m), OUTPUT_FOLDER/mountains.tif (its part east of 123.5 W,
the Coast and Cascade mountains beside the plain of the Fraser valley, land and
sea floor, at 2000 m: contours from 1 to 30 pixels apart) and
OUTPUT_FOLDER/volcano.tif (R's `volcano`, Maunga Whau in Auckland digitised on
a 10 m grid in whole metres, from r-base-core's datasets, placed in NZTM 2000:
a cone with its crater, small enough for every peer).
Sheets warped into UTM have nodata corners; clean_crop() cuts a DEM to a
rectangle without nodata, whose contours all run to its edges.
Needs: apt-get install python-matplotlib-data r-cran-terra python3-gdal (r-cran-terra
brings r-base-core and its Rscript).
"""
import os
import subprocess
import sys

import numpy as np
from osgeo import gdal, osr

gdal.UseExceptions()

JACKSBORO = "/usr/share/matplotlib/mpl-data/sample_data/jacksboro_fault_dem.npz"
LUXEMBOURG = "/usr/lib/R/site-library/terra/ex/elev.tif"
TOPOBATHY = "/usr/share/matplotlib/mpl-data/sample_data/topobathy.npz"


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


def coast(out, pixel=1000, land_only=True, west=None):
    d = np.load(TOPOBATHY)
    lon = d["longitude"].astype(np.float64) - 360  # 234..238 east: 126..122 west
    lat = d["latitude"].astype(np.float64)
    z = d["topo"].astype(np.float32)
    if west is not None:  # the columns east of longitude `west`
        keep = lon >= west
        lon, z = lon[keep], z[:, keep]
    if lat[0] < lat[-1]:  # row 0 must be the northern edge
        lat, z = lat[::-1], z[::-1]
    if land_only:
        z = np.where(z > 0, z, -9999).astype(np.float32)
    dx, dy = (lon[-1] - lon[0]) / (len(lon) - 1), (lat[0] - lat[-1]) / (len(lat) - 1)
    src = gdal.GetDriverByName("MEM").Create("", z.shape[1], z.shape[0], 1, gdal.GDT_Float32)
    src.SetGeoTransform((lon[0] - dx / 2, dx, 0, lat[0] + dy / 2, 0, -dy))
    srs = osr.SpatialReference()
    srs.ImportFromEPSG(4326)
    srs.SetAxisMappingStrategy(osr.OAMS_TRADITIONAL_GIS_ORDER)
    src.SetProjection(srs.ExportToWkt())
    src.GetRasterBand(1).SetNoDataValue(-9999)
    src.GetRasterBand(1).WriteArray(z)
    gdal.Warp(out, src, dstSRS="EPSG:32610", xRes=pixel, yRes=pixel, resampleAlg="bilinear",
              targetAlignedPixels=True, srcNodata=-9999 if land_only else None, dstNodata=-9999)


def volcano(out):
    # R draws the matrix with its 87 rows along x and its 61 columns along y,
    # upwards (image(volcano)); the grid's rows run north to south. The
    # south-west corner put near the cone's place in NZTM 2000.
    text = subprocess.run(["Rscript", "-e", "write.table(volcano, stdout(), row.names=FALSE, col.names=FALSE)"],
                          check=True, capture_output=True, text=True).stdout
    z = np.array([[float(v) for v in line.split()] for line in text.splitlines() if line.strip()], np.float32)
    z = z.T[::-1]
    ds = gdal.GetDriverByName("GTiff").Create(out, z.shape[1], z.shape[0], 1, gdal.GDT_Float32)
    ds.SetGeoTransform((1756000.0, 10.0, 0, 5917000.0 + 10.0 * z.shape[0], 0, -10.0))
    srs = osr.SpatialReference()
    srs.ImportFromEPSG(2193)
    ds.SetProjection(srs.ExportToWkt())
    ds.GetRasterBand(1).SetNoDataValue(-9999)
    ds.GetRasterBand(1).WriteArray(z)


def clean_crop(dem, out):
    """DEM cut to a rectangle without nodata: the side with the most nodata cut
    off, one row or column at a time."""
    d = gdal.Open(dem)
    band = d.GetRasterBand(1)
    z = band.ReadAsArray()
    bad = z == band.GetNoDataValue() if band.GetNoDataValue() is not None else np.zeros(z.shape, bool)
    top, left, bottom, right = 0, 0, z.shape[0], z.shape[1]
    while bad[top:bottom, left:right].any():
        b = bad[top:bottom, left:right]
        sides = [b[0].sum(), b[:, 0].sum(), b[-1].sum(), b[:, -1].sum()]
        side = int(np.argmax(sides))
        if side == 0:
            top += 1
        elif side == 1:
            left += 1
        elif side == 2:
            bottom -= 1
        else:
            right -= 1
    gdal.Translate(out, d, srcWin=[left, top, right - left, bottom - top])


if __name__ == "__main__":
    folder = sys.argv[1] if len(sys.argv) > 1 else "."
    os.makedirs(folder, exist_ok=True)
    jacksboro(os.path.join(folder, "jacksboro.tif"))
    luxembourg(os.path.join(folder, "luxembourg.tif"))
    coast(os.path.join(folder, "coast.tif"))
    coast(os.path.join(folder, "topobathy.tif"), pixel=2000, land_only=False)
    coast(os.path.join(folder, "mountains.tif"), pixel=2000, land_only=False, west=-123.5)
    volcano(os.path.join(folder, "volcano.tif"))
