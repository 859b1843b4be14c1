#!/usr/bin/python3
"""The hillshades of the bundled lines' surface, of -surface plain and of
-surface smooth on the same fine grid, side by side (docs/colinas_surface.png).

    /usr/bin/python3 bench/surface_picture.py [--geo BIN] [--out PNG] [--pixel M]
                                              [--dem TIF --interval I]

The analytic surface the lines were drawn from is resampled (cubic) to the
pixel; both runs get the pixel and the surface's extent, nothing else. With
--dem, a DEM (bench/real_dems.py) and its contours every I, drawn by
gdal_contour on the DEM's own grid, in place of the bundled lines, e.g. R's
volcano at 2 m: --dem volcano.tif --interval 5 --out docs/volcano_surface.png.
Needs: gdal-bin python3-gdal python3-matplotlib.
"""
import argparse
import os
import subprocess
import tempfile

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402
from osgeo import gdal  # noqa: E402

gdal.UseExceptions()
ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
LINES = os.path.join(ROOT, "examples", "curvas", "colinas.gpkg")
SURFACE = os.path.join(ROOT, "tests", "geo", "data", "colinas_superficie.tif")


def hillshade(path, folder):
    out = os.path.join(folder, os.path.basename(path) + ".shade.tif")
    gdal.DEMProcessing(out, path, "hillshade", computeEdges=True)
    return gdal.Open(out).ReadAsArray()


def main():
    a = argparse.ArgumentParser()
    a.add_argument("--geo", default=os.path.join(ROOT, "build", "geo", "tolvane-geo"))
    a.add_argument("--out", default=os.path.join(ROOT, "docs", "colinas_surface.png"))
    a.add_argument("--pixel", type=float, default=2)
    a.add_argument("--dem", help="a DEM whose contours replace the bundled lines")
    a.add_argument("--interval", type=float, default=5, help="their interval, with --dem")
    args = a.parse_args()
    with tempfile.TemporaryDirectory() as folder:
        source, lines = SURFACE, LINES
        if args.dem:
            source, lines = os.path.abspath(args.dem), os.path.join(folder, "lines.gpkg")
            subprocess.run(["gdal_contour", "-q", "-a", "elev", "-i", str(args.interval), source, lines], check=True)
        ds = gdal.Open(source)
        gt = ds.GetGeoTransform()
        extent = [gt[0], gt[3] + ds.RasterYSize * gt[5], gt[0] + ds.RasterXSize * gt[1], gt[3]]
        truth = os.path.join(folder, "truth.tif")
        gdal.Warp(truth, source, xRes=args.pixel, yRes=args.pixel, outputBounds=extent, resampleAlg="cubic")
        panels = [("the DEM the lines come from" if args.dem else "the surface the lines come from",
                   hillshade(truth, folder))]
        for surface in ("plain", "smooth"):
            out = os.path.join(folder, surface + ".tif")
            subprocess.run([args.geo, "-q", "-tr", str(args.pixel), str(args.pixel), "-te", *map(str, extent),
                            "-surface", surface, "-drainage", "none", lines, out], check=True)
            panels.append((f"-surface {surface}", hillshade(out, folder)))
        height = 9 / 3 * ds.RasterYSize / ds.RasterXSize + 0.27
        figure, axes = plt.subplots(1, 3, figsize=(9, height), dpi=100)
        for ax, (title, shade) in zip(axes, panels):
            ax.imshow(np.ma.masked_equal(shade, 0), cmap="gray", vmin=0, vmax=255, interpolation="antialiased")
            ax.set_title(title, fontsize=7)
            ax.axis("off")
        figure.tight_layout(pad=0.3)
        figure.savefig(args.out)


if __name__ == "__main__":
    main()
