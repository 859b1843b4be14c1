#!/usr/bin/python3
"""Shaded reliefs side by side of one row of compare_oversample.py: the DEM's
area mean, -oversample 1, the default and the linear TIN, with their RMSE.

    /usr/bin/python3 bench/oversample_picture.py OUTDIR DEM FACTOR PICTURE.png

OUTDIR is compare_oversample.py's --out folder (its files are read), DEM one of
its cases (jacksboro, luxembourg, topobathy) and FACTOR 1, 2 or 4. Needs
python3-matplotlib.
"""
import math
import os
import sys

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402
from osgeo import gdal  # noqa: E402

gdal.UseExceptions()


def relief(path, valid):
    shade = gdal.DEMProcessing("", path, "hillshade", format="MEM", computeEdges=True).ReadAsArray()
    return np.ma.masked_where(~valid, shade)


def main():
    if len(sys.argv) != 5:
        sys.exit(__doc__)
    folder, dem, factor, picture = sys.argv[1], sys.argv[2], int(sys.argv[3]), sys.argv[4]
    truth = os.path.join(folder, f"{dem}-truth-{factor}.tif")
    z = gdal.Open(truth).ReadAsArray()
    valid = z != -9999
    panels = [("DEM" if factor == 1 else "DEM, area mean", truth), ("-oversample 1", f"{dem}-{factor}-oversample1.tif"),
              ("default (auto)", f"{dem}-{factor}-default.tif"), ("linear TIN", f"{dem}-{factor}-tin.tif")]
    figure, axes = plt.subplots(1, len(panels), figsize=(3.2 * len(panels), 3.7))
    for axis, (title, name) in zip(axes, panels):
        path = name if name == truth else os.path.join(folder, name)
        if name != truth:
            v = gdal.Open(path).ReadAsArray().astype(np.float64)
            e = (v - z)[valid & np.isfinite(v) & (v > -9000)]
            title += f": {math.sqrt(np.mean(e * e)):.1f} m"
        axis.imshow(relief(path, valid), cmap="gray", interpolation="nearest")
        axis.set_title(title)
        axis.set_axis_off()
    figure.tight_layout(pad=0.6)
    figure.savefig(picture, dpi=64)


if __name__ == "__main__":
    main()
