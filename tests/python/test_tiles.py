"""tolvane.tiles on a LocalCluster of two worker processes: contour lines drawn
by GDAL from an analytic surface in a projected system, tiled runs compared with
the run on the whole sheet."""

import os
import signal
import subprocess
import sys

import numpy as np
import pytest

gdal = pytest.importorskip("osgeo.gdal")
distributed = pytest.importorskip("distributed")
from osgeo import ogr, osr  # noqa: E402

import tolvane  # noqa: E402
import tolvane.tiles  # noqa: E402

PIXEL = 10.0
INTERVAL = 10


def surface_lines(path, n=256, rings_in_corner=False):
    """Contours every 10 of two hills on a slope, n x n cells of 10 m in UTM 30N,
    into a GeoPackage layer "curvas" with the altitude in "elev". With
    rings_in_corner, two rings of 5000 and 5001 around (0.75 n, 0.75 n): the
    levels' common step becomes 1 and that place alone needs thousands of zones."""
    y, x = np.mgrid[0:n, 0:n] / n
    z = 150 * np.exp(-((x - .3) ** 2 + (y - .4) ** 2) / .05) + 90 * np.exp(-((x - .7) ** 2 + (y - .7) ** 2) / .03)
    z += 40 * x + 20
    srs = osr.SpatialReference()
    srs.ImportFromEPSG(32630)
    dem = gdal.GetDriverByName("MEM").Create("", n, n, 1, gdal.GDT_Float32)
    dem.SetGeoTransform((500000, PIXEL, 0, 4500000, 0, -PIXEL))
    dem.SetProjection(srs.ExportToWkt())
    dem.GetRasterBand(1).WriteArray(z)
    ds = ogr.GetDriverByName("GPKG").CreateDataSource(str(path))
    lyr = ds.CreateLayer("curvas", srs, ogr.wkbLineString)
    lyr.CreateField(ogr.FieldDefn("id", ogr.OFTInteger))
    lyr.CreateField(ogr.FieldDefn("elev", ogr.OFTReal))
    gdal.ContourGenerateEx(dem.GetRasterBand(1), lyr, options=[f"LEVEL_INTERVAL={INTERVAL}", "ID_FIELD=0",
                                                                "ELEV_FIELD=1"])
    if rings_in_corner:
        cx, cy = 500000 + 0.75 * n * PIXEL, 4500000 - 0.75 * n * PIXEL
        for value, radius in ((5000, 60), (5001, 30)):
            ring = ogr.CreateGeometryFromWkt(f"POINT ({cx} {cy})").Buffer(radius).GetBoundary()
            f = ogr.Feature(lyr.GetLayerDefn())
            f.SetGeometry(ring)
            f.SetField("elev", value)
            lyr.CreateFeature(f)
    ds = None
    return str(path)


def whole_sheet(lines):
    """The run on the whole sheet, burnt as the tiles are."""
    source = tolvane.tiles._open_source(lines, None, "elev")
    grid = source.grid((PIXEL, PIXEL))
    return tolvane.elevation(source.window(grid, 0, 0, grid.rows, grid.columns), *source.levels())


@pytest.fixture(scope="module")
def client():
    cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=":0")
    with distributed.Client(cluster) as c:
        yield c
    cluster.close()


@pytest.fixture(scope="module")
def lines(tmp_path_factory):
    return surface_lines(tmp_path_factory.mktemp("lines") / "curvas.gpkg")


def read(path):
    ds = gdal.Open(str(path))
    return ds, ds.GetRasterBand(1).ReadAsArray()


def test_one_tile_is_the_whole_sheet_run_georeferenced(lines, client, tmp_path):
    out = tmp_path / "dem.tif"
    r = tolvane.tiles.elevation(lines, out, PIXEL, tile=4096, client=client, cog=True)
    ds, cells = read(out)
    np.testing.assert_array_equal(cells, whole_sheet(lines))
    assert (r.tiles, r.empty, r.failed) == (1, [], {})
    # The lines' extent aligned on the pixel size, with one empty pixel around.
    assert ds.GetGeoTransform() == (500000 - PIXEL, PIXEL, 0, 4500000 + PIXEL, 0, -PIXEL)
    assert (ds.RasterYSize, ds.RasterXSize) == (r.grid.rows, r.grid.columns) == (258, 258)
    assert ds.GetSpatialRef().GetAuthorityCode(None) == "32630"
    band = ds.GetRasterBand(1)
    assert band.DataType == gdal.GDT_Int32 and band.GetNoDataValue() == tolvane.EMPTY
    assert ds.GetMetadata("IMAGE_STRUCTURE").get("LAYOUT") == "COG"
    assert not os.path.exists(str(out) + ".part.tif")


def test_contour_raster_stands_for_the_lines(lines, client, tmp_path):
    source = tolvane.tiles._open_source(lines, None, "elev")
    grid = source.grid((PIXEL, PIXEL))
    burnt = source.window(grid, 0, 0, grid.rows, grid.columns)
    raster = gdal.GetDriverByName("GTiff").Create(str(tmp_path / "c.tif"), grid.columns, grid.rows, 1,
                                                  gdal.GDT_Float32)
    raster.SetGeoTransform(grid.geotransform())
    raster.GetRasterBand(1).SetNoDataValue(-9999)
    raster.GetRasterBand(1).WriteArray(np.where(burnt == tolvane.EMPTY, -9999, burnt).astype(np.float32))
    raster = None
    r = tolvane.tiles.elevation(tmp_path / "c.tif", tmp_path / "dem.tif", None, tile=4096, client=client)
    assert r.levels == source.levels()
    np.testing.assert_array_equal(read(tmp_path / "dem.tif")[1], whole_sheet(lines))
    with pytest.raises(tolvane.Error, match="smoothing size 4"):
        tolvane.tiles.elevation(lines, tmp_path / "bad.tif", PIXEL, smoothing=4, client=client)
    assert not (tmp_path / "bad.tif").exists()


def test_four_tiles_stay_within_the_seam_bound(lines, client, tmp_path):
    whole = whole_sheet(lines)
    seams = {}
    for halo in (0, 64):
        out = tmp_path / f"dem_{halo}.tif"
        r = tolvane.tiles.elevation(lines, out, PIXEL, tile=129, halo=halo, client=client)
        assert r.tiles == 4 and not r.failed and not r.empty
        diff = np.abs(read(out)[1].astype(np.int64) - whole)
        seams[halo] = diff.max(), np.sqrt(np.mean(diff.astype(float) ** 2))
    # Within a contour interval anywhere; a halo of 64 shrinks the seams.
    assert seams[0][0] <= INTERVAL and seams[64][0] <= INTERVAL / 2
    assert seams[64][1] < seams[0][1] / 2


def test_failing_tile_is_named_and_the_others_are_written(tmp_path, client):
    lines = surface_lines(tmp_path / "rings.gpkg", rings_in_corner=True)
    out = tmp_path / "dem.tif"
    with pytest.raises(tolvane.tiles.TilesError) as e:
        tolvane.tiles.elevation(lines, out, PIXEL, tile=129, halo=16, client=client)
    r = e.value.result
    assert list(r.failed) == [(1, 1)] and r.levels[2] == 1
    assert "tile (1, 1) (rows 129-257, columns 129-257): too many zones" in str(e.value)
    cells = read(out)[1]
    assert np.all(cells[129:, 129:] == tolvane.EMPTY)
    assert not np.any(cells[:129, :] == tolvane.EMPTY) and not np.any(cells[:, :129] == tolvane.EMPTY)

    # The command line says the same through a running scheduler, and fails.
    run = subprocess.run([sys.executable, "-m", "tolvane.tiles", lines, str(tmp_path / "cli.tif"), str(PIXEL),
                          "--tile", "129", "--halo", "16", "--scheduler", client.scheduler.address, "-q"],
                         stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    assert run.returncode == 1
    assert "error: tile (1, 1) (rows 129-257, columns 129-257): too many zones" in run.stderr
    assert "1 of 4 tiles failed" in run.stderr


def test_worker_killed_mid_run_leaves_a_complete_result(lines, client, tmp_path):
    calm = tolvane.tiles.elevation(lines, tmp_path / "calm.tif", PIXEL, tile=48, halo=32, client=client)
    pids = client.run(os.getpid)
    killed = []

    def kill_a_busy_worker(fraction):
        if killed:
            return
        busy = [w for w, keys in client.processing().items() if keys] or list(pids)
        os.kill(pids[busy[0]], signal.SIGKILL)
        killed.append(pids[busy[0]])

    r = tolvane.tiles.elevation(lines, tmp_path / "dem.tif", PIXEL, tile=48, halo=32, client=client,
                                progress=kill_a_busy_worker)
    assert killed and r.tiles == calm.tiles == 36 and not r.failed
    np.testing.assert_array_equal(read(tmp_path / "dem.tif")[1], read(tmp_path / "calm.tif")[1])
    client.wait_for_workers(2, timeout=60)
    assert killed[0] not in client.run(os.getpid).values()
