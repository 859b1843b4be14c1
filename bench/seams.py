"""Seams of tiled runs: tolvane.tiles against the run on the whole sheet.

    PYTHONPATH=build/python /usr/bin/python3 bench/seams.py --genera build/genera_curvas

For each sheet and halo, the largest and root-mean-square difference between the
tiled result and the whole-sheet run, the share of cells that differ, and the
wall time of the tiled run on a LocalCluster of 1 and of 2 worker processes,
best of --repeat runs (cluster start-up excluded; the whole-sheet line is one
in-process call), and the time the tasks themselves took on the worker (burning
or reading, the core), which other loads on the machine disturb less.

Sheets:
- real: the Jacksboro fault DEM that matplotlib ships (SRTM, 3 arc-seconds,
  Debian package python-matplotlib-data), warped to UTM 16N at 10 m (cubic),
  cut to the rectangle inside its footprint and contoured every 20 m with
  gdal_contour's algorithm; the lines are burnt tile by tile. The RMSE column
  compares with that DEM.
- synthetic: genera_curvas 4000 x 4000, 40 levels every 10, seed 1, as a
  contour raster.
"""

import argparse
import os
import subprocess
import sys
import tempfile
import time

import numpy as np
from osgeo import gdal, ogr, osr

import tolvane
import tolvane.geo
import tolvane.tiles

gdal.UseExceptions()

DEM = "/usr/share/matplotlib/mpl-data/sample_data/jacksboro_fault_dem.npz"


def real_lines(folder, pixel=10.0, interval=20, keep_collar=False):
    d = np.load(DEM)
    z = d["elevation"].astype(np.float32)
    geo = gdal.GetDriverByName("MEM").Create("", z.shape[1], z.shape[0], 1, gdal.GDT_Float32)
    # Row 0 is the northern edge (the file's "ymin" holds the larger latitude).
    geo.SetGeoTransform((float(d["xmin"]), float(d["dx"]), 0, float(d["ymin"]), 0, -float(d["dy"])))
    geo.SetProjection(osr.SRS_WKT_WGS84_LAT_LONG)
    geo.GetRasterBand(1).WriteArray(z)
    warped = gdal.Warp("", geo, format="MEM", dstSRS="EPSG:32616", xRes=pixel, yRes=pixel,
                       resampleAlg="cubic", dstNodata=-9999, targetAlignedPixels=True)
    # The warped footprint is tilted: keep the rectangle inside it, so that the
    # lines reach the sheet's edge instead of stopping at a collar of nodata,
    # through which every zone would leak into its neighbours.
    valid = warped.GetRasterBand(1).ReadAsArray() > -9000
    r0, c0, r1, c1 = 0, 0, valid.shape[0], valid.shape[1]
    while not keep_collar and not valid[r0:r1, c0:c1].all():
        r0, c0, r1, c1 = r0 + 5, c0 + 5, r1 - 5, c1 - 5
    utm = os.path.join(folder, "jacksboro_utm16.tif")
    gdal.Translate(utm, warped, srcWin=[c0, r0, c1 - c0, r1 - r0])
    dem = gdal.Open(utm)
    srs = dem.GetSpatialRef()
    path = os.path.join(folder, "jacksboro_contours.gpkg")
    ds = ogr.GetDriverByName("GPKG").CreateDataSource(path)
    lyr = ds.CreateLayer("curvas", srs, ogr.wkbLineString)
    lyr.CreateField(ogr.FieldDefn("id", ogr.OFTInteger))
    lyr.CreateField(ogr.FieldDefn("elev", ogr.OFTReal))
    gdal.ContourGenerateEx(dem.GetRasterBand(1), lyr, options=[f"LEVEL_INTERVAL={interval}", "ID_FIELD=0",
                                                                "ELEV_FIELD=1", "NODATA=-9999"])
    ds = None
    return path, pixel, utm


def synthetic_raster(folder, genera, size=4000):
    base = os.path.join(folder, "genera")
    subprocess.run([genera, base, str(size), str(size), "40", "10", "1"], check=True, stdout=subprocess.DEVNULL)
    cells = np.fromfile(base + "_c4.raw", dtype="<i4").reshape(size, size)
    path = base + ".tif"
    ds = gdal.GetDriverByName("GTiff").Create(path, size, size, 1, gdal.GDT_Int32,
                                              options=["TILED=YES", "COMPRESS=DEFLATE"])
    ds.SetGeoTransform((500000, 10, 0, 4500000, 0, -10))
    srs = osr.SpatialReference()
    srs.ImportFromEPSG(32630)
    ds.SetProjection(srs.ExportToWkt())
    ds.GetRasterBand(1).SetNoDataValue(tolvane.EMPTY)
    ds.GetRasterBand(1).WriteArray(cells)
    ds = None
    return path, None, None


def rmse_against(dem_path, grid, cells):
    """RMSE of cells (on grid) against the DEM the lines were drawn from, where both lie."""
    dem = gdal.Open(dem_path)
    gt = dem.GetGeoTransform()
    r = round((grid.origin_y - gt[3]) / grid.yres)
    c = round((gt[0] - grid.origin_x) / grid.xres)
    z = dem.ReadAsArray()[: grid.rows - r, : grid.columns - c]
    e = (cells[r:r + z.shape[0], c:c + z.shape[1]] - z)[z > -9000]
    return np.sqrt(np.mean(e.astype(np.float64) ** 2))


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--genera", required=True, help="the built genera_curvas")
    p.add_argument("--halos", type=int, nargs="+", default=[0, 64, 128, 256, 512])
    p.add_argument("--tile", type=int, default=1024)
    p.add_argument("--sheets", nargs="+", default=["real", "synthetic"])
    p.add_argument("--repeat", type=int, default=3, help="runs of each timing; the best counts")
    p.add_argument("--keep-collar", action="store_true",
                   help="contour the whole warped real DEM, nodata collar included")
    a = p.parse_args()
    from distributed import Client, LocalCluster, get_task_stream

    print("| sheet | cells | tiles | halo | max diff | RMS diff | cells differing | RMSE vs DEM "
          "| tasks (s) | wall 1 worker (s) | wall 2 workers (s) |")
    print("|---|---|---|---|---|---|---|---|---|---|---|")
    with tempfile.TemporaryDirectory() as folder:
        clusters = {n: LocalCluster(n_workers=n, threads_per_worker=1, processes=True, dashboard_address=":0")
                    for n in (1, 2)}
        clients = {n: Client(c) for n, c in clusters.items()}
        for sheet in a.sheets:
            if sheet == "real":
                path, pixel, dem = real_lines(folder, keep_collar=a.keep_collar)
            else:
                path, pixel, dem = synthetic_raster(folder, a.genera)
            t_whole = float("inf")
            whole_path = os.path.join(folder, f"{sheet}_whole.tif")
            for _ in range(a.repeat):
                t0 = time.perf_counter()
                report = tolvane.geo.elevation(path, whole_path, pixel)
                t_whole = min(t_whole, time.perf_counter() - t0)
            grid, levels = report.grid, report.levels
            whole = gdal.Open(whole_path).ReadAsArray().astype(np.float64)
            cells = f"{grid.rows} x {grid.columns}"
            vs_dem = f"{rmse_against(dem, grid, whole):.2f}" if dem else "-"
            print(f"| {sheet} | {cells} | whole sheet, levels {levels[0]}..{levels[1]} every {levels[2]} "
                  f"| - | - | - | - | {vs_dem} | {t_whole:.2f} | {t_whole:.2f} (in process) | - |", flush=True)
            for halo in a.halos:
                walls = {}
                task_time = float("inf")
                for n, client in clients.items():
                    out = os.path.join(folder, f"{sheet}_{halo}_{n}.tif")
                    walls[n] = float("inf")
                    for _ in range(a.repeat):
                        t0 = time.perf_counter()
                        with get_task_stream(client) as stream:
                            r = tolvane.tiles.elevation(path, out, pixel, tile=a.tile, halo=halo, client=client)
                        walls[n] = min(walls[n], time.perf_counter() - t0)
                        busy = sum(ss["stop"] - ss["start"] for task in stream.data
                                   for ss in task["startstops"] if ss["action"] == "compute")
                        task_time = min(task_time, busy)
                tiled = gdal.Open(out).ReadAsArray().astype(np.float64)
                diff = np.abs(tiled - whole)
                rms = np.sqrt(np.mean(diff.astype(np.float64) ** 2))
                vs_dem = f"{rmse_against(dem, grid, tiled):.2f}" if dem else "-"
                print(f"| {sheet} | {cells} | {r.tiles} of {a.tile} | {halo} | {diff.max():.2f} | {rms:.3f} "
                      f"| {100 * np.count_nonzero(diff) / diff.size:.2f} % | {vs_dem} | {task_time:.2f} | {walls[1]:.2f} "
                      f"| {walls[2]:.2f} |", flush=True)
                del tiled, diff
            del whole
        for n in clusters:
            clients[n].close()
            clusters[n].close()
    print(f"\nload average at the end: {os.getloadavg()[0]:.1f} (1 min), {os.getloadavg()[2]:.1f} (15 min) "
          f"on {os.cpu_count()} cores")


if __name__ == "__main__":
    sys.exit(main())
