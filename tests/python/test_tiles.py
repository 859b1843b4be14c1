"""tolvane.tiles on a LocalCluster of two worker processes: contour lines drawn
by GDAL from an analytic surface in a projected system, tiled runs compared with
the run on the whole sheet."""

import argparse
import os
import signal
import stat
import subprocess
import sys

import numpy as np
import pytest

gdal = pytest.importorskip("osgeo.gdal")
distributed = pytest.importorskip("distributed")
from osgeo import ogr, osr  # noqa: E402

import tolvane  # noqa: E402
import tolvane.geo  # noqa: E402
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


def tool(*args):
    """tolvane-geo itself (CTest passes its path in TOLVANE_GEO_BIN)."""
    run = subprocess.run([os.environ["TOLVANE_GEO_BIN"], "-q", *map(str, args)], stdout=subprocess.PIPE,
                         stderr=subprocess.PIPE, text=True)
    assert run.returncode == 0, run.stderr
    return run


def whole_sheet(lines, tmp_path, *options):
    """tolvane-geo's cells for the lines at PIXEL with these options, not drained (as the tiles)."""
    out = tmp_path / f"tool{len(list(tmp_path.iterdir()))}.tif"
    tool("-tr", PIXEL, PIXEL, "-drainage", "none", *options, lines, out)
    return read(out)[1]


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


BUNDLED = os.path.join(os.environ.get("TOLVANE_EXAMPLES", "examples"), "curvas", "colinas.gpkg")


@pytest.mark.parametrize("source, pixel", [(BUNDLED, 10), (BUNDLED, 7), (None, PIXEL)])
def test_tool_geo_and_one_tile_give_the_same_file(source, pixel, lines, client, tmp_path):
    source = source or lines
    # The tiles are not drained: the whole grid's drainage is asked off.
    tool("-tr", pixel, pixel, "-smooth", 3, "-drainage", "none", source, tmp_path / "tool.tif")
    report = tolvane.geo.elevation(source, tmp_path / "geo.tif", pixel, smoothing=3, drainage="none")
    r = tolvane.tiles.elevation(source, tmp_path / "tiles.tif", pixel, tile=4096, client=client, smoothing=3,
                                cog=True)
    ds, cells = read(tmp_path / "tool.tif")
    for other in ("geo.tif", "tiles.tif"):
        o, other_cells = read(tmp_path / other)
        np.testing.assert_array_equal(other_cells, cells, err_msg=other)
        assert o.GetGeoTransform() == ds.GetGeoTransform() and o.GetProjection() == ds.GetProjection()
        assert o.GetRasterBand(1).DataType == gdal.GDT_Float32 and o.GetRasterBand(1).GetNoDataValue() == -9999
    assert report.grid == r.grid and report.levels == r.levels
    assert (r.tiles, r.empty, r.failed) == (1, [], {})
    assert r.warnings == []  # clean lines of several levels: nothing to warn of
    assert o.GetMetadata("IMAGE_STRUCTURE").get("LAYOUT") == "COG"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["geo.tif", "tiles.tif", "tool.tif"]


def test_decimal_levels_repair_and_footprint_reach_the_tiles(lines, client, tmp_path):
    """Levels every 2.5 (the lines' altitudes divided by 4), gap repair and a footprint file."""
    ds = gdal.VectorTranslate(str(tmp_path / "quarter.gpkg"), lines, SQLStatement="SELECT geom, elev / 4 AS elev FROM curvas",
                              SQLDialect="SQLITE")
    ds = None
    box = ogr.CreateGeometryFromWkt("POLYGON ((500300 4499700, 502200 4499700, 502200 4497800, 501200 4497800, "
                                    "501200 4498900, 500300 4498900, 500300 4499700))")
    mask = ogr.GetDriverByName("GPKG").CreateDataSource(str(tmp_path / "mask.gpkg"))
    srs = osr.SpatialReference()
    srs.ImportFromEPSG(32630)
    f = ogr.Feature(mask.CreateLayer("l", srs, ogr.wkbPolygon).GetLayerDefn())
    f.SetGeometry(box)
    mask.GetLayer(0).CreateFeature(f)
    mask = None
    options = dict(repair_gaps=4, mask=str(tmp_path / "mask.gpkg"))
    whole = whole_sheet(tmp_path / "quarter.gpkg", tmp_path, "-repair_gaps", 4, "-mask", tmp_path / "mask.gpkg")
    r = tolvane.tiles.elevation(tmp_path / "quarter.gpkg", tmp_path / "tiles.tif", PIXEL, tile=4096, client=client,
                                **options)
    assert r.levels[2] == 2.5
    np.testing.assert_array_equal(read(tmp_path / "tiles.tif")[1], whole)
    assert np.sum(whole == -9999) > 0.3 * whole.size  # the L-shaped footprint


def test_contour_raster_stands_for_the_lines(lines, client, tmp_path):
    # The core's cells: a contour raster holds the lines' pixels, not the
    # points the smooth surface runs through.
    tool("-surface", "plain", "-drainage", "none", "-tr", PIXEL, PIXEL, "-contours", tmp_path / "c.tif", lines,
         tmp_path / "whole.tif")
    r = tolvane.tiles.elevation(tmp_path / "c.tif", tmp_path / "dem.tif", None, tile=4096, surface="plain",
                                client=client)
    np.testing.assert_array_equal(read(tmp_path / "dem.tif")[1], read(tmp_path / "whole.tif")[1])
    assert r.levels[2] == INTERVAL
    with pytest.raises(tolvane.Error, match="smoothing size 4"):
        tolvane.tiles.elevation(lines, tmp_path / "bad.tif", PIXEL, smoothing=4, client=client)
    # Depressions cross the tiles' edges: drainage is the whole grid's.
    with pytest.raises(tolvane.Error, match="drainage: runs on the whole grid"):
        tolvane.tiles.elevation(lines, tmp_path / "bad.tif", PIXEL, drainage="enforce", client=client)
    for heights in ("points", "lakes", "streams"):
        with pytest.raises(tolvane.Error, match=f"{heights}: the map's own heights shape the whole grid"):
            tolvane.tiles.elevation(lines, tmp_path / "bad.tif", PIXEL, client=client, **{heights: lines})
    assert not (tmp_path / "bad.tif").exists()


def test_four_tiles_stay_within_the_seam_bound(lines, client, tmp_path):
    whole = whole_sheet(lines, tmp_path).astype(np.float64)
    seams = {}
    for halo in (0, 64, 256):
        out = tmp_path / f"dem_{halo}.tif"
        r = tolvane.tiles.elevation(lines, out, PIXEL, tile=129, halo=halo, client=client)
        assert r.tiles == 4 and not r.failed and not r.empty
        diff = np.abs(read(out)[1] - whole)
        seams[halo] = diff.max(), np.sqrt(np.mean(diff ** 2))
    # Within a contour interval anywhere; a halo of 64 shrinks the seams, the
    # default of 256 reaches past the whole sheet.
    assert seams[0][0] <= INTERVAL and seams[64][0] <= INTERVAL / 2
    assert seams[64][1] < seams[0][1] / 2
    assert seams[256][0] == 0


def within_polygon(raster, wkt):
    """The pixels of the raster's grid whose centre lies in the polygon."""
    d = gdal.Open(str(raster))
    m = gdal.GetDriverByName("MEM").Create("", d.RasterXSize, d.RasterYSize, 1, gdal.GDT_Byte)
    m.SetGeoTransform(d.GetGeoTransform())
    source = ogr.GetDriverByName("Memory").CreateDataSource("")
    layer = source.CreateLayer("p")
    f = ogr.Feature(layer.GetLayerDefn())
    f.SetGeometry(ogr.CreateGeometryFromWkt(wkt))
    layer.CreateFeature(f)
    gdal.RasterizeLayer(m, [1], layer, burn_values=[1])
    return m.GetRasterBand(1).ReadAsArray() == 1


def test_tiles_of_a_clipped_sheet_leave_the_tools_nodata(lines, client, tmp_path):
    """The lines clipped to a disc with three lobes stop in rows along its edge:
    the footprint drawn through their ends (or their hull) is the sheet's, so
    four tiles with a short halo leave the same cells nodata as tolvane-geo."""
    a = np.linspace(0, 2 * np.pi, 73)
    r = 900 + 250 * np.cos(3 * a)
    ring = ", ".join(f"{501280 + x:.2f} {4498720 + y:.2f}" for x, y in zip(r * np.cos(a), r * np.sin(a)))
    gdal.VectorTranslate(str(tmp_path / "lobed.gpkg"), lines,
                         options=["-clipsrc", f"POLYGON (({ring}))", "-nlt", "MULTILINESTRING"])
    for mask in (None, "auto"):
        whole = whole_sheet(tmp_path / "lobed.gpkg", tmp_path, *(("-mask", mask) if mask else ()))
        assert 0.2 * whole.size < np.sum(whole == -9999) < 0.8 * whole.size
        if mask is None:
            # Within bounds of the lobed disc itself (pixel centres inside it):
            # the wide bands of the slope let the discs in where the lines stop
            # far apart, and the walled pixel beside the footprint is shown.
            inside = within_polygon(next(tmp_path.glob("tool*.tif")), f"POLYGON (({ring}))")
            valued = whole != -9999
            assert np.sum(~valued & inside) < 0.15 * np.sum(inside)
            assert np.sum(valued & ~inside) < 0.035 * np.sum(valued)
        out = tmp_path / f"tiles_{mask}.tif"
        t = tolvane.tiles.elevation(tmp_path / "lobed.gpkg", out, PIXEL, tile=100, halo=16, client=client,
                                    **({"mask": mask} if mask else {}))
        assert t.tiles > 4 and not t.failed, t
        np.testing.assert_array_equal(read(out)[1] == -9999, whole == -9999, err_msg=str(mask))


def test_interrupted_run_keeps_the_earlier_result(lines, client, tmp_path):
    out = tmp_path / "dem.tif"
    tolvane.tiles.elevation(lines, out, PIXEL, tile=4096, client=client)
    before = out.read_bytes()

    def stop(fraction):
        raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        tolvane.tiles.elevation(lines, out, PIXEL, tile=64, client=client, progress=stop)
    assert out.read_bytes() == before
    assert [p.name for p in tmp_path.iterdir()] == ["dem.tif"]


def test_failing_tiles_are_named_and_the_earlier_file_stays(lines, tmp_path, client):
    rings = surface_lines(tmp_path / "rings.gpkg", rings_in_corner=True)
    out = tmp_path / "dem.tif"
    tolvane.tiles.elevation(lines, out, PIXEL, tile=4096, client=client)
    before = out.read_bytes()
    with pytest.raises(tolvane.tiles.TilesError) as e:
        tolvane.tiles.elevation(rings, out, PIXEL, tile=129, halo=16, client=client)
    r = e.value.result
    assert list(r.failed) == [(1, 1)] and r.levels[2] == 1
    assert "tile (1, 1) (rows 129-257, columns 129-257): the levels" in str(e.value)
    assert "zones within 16 pixels of a single pixel" in str(e.value)
    assert f"nothing written to {out}" in str(e.value)
    assert out.read_bytes() == before
    assert sorted(p.name for p in tmp_path.iterdir()) == ["dem.tif", "rings.gpkg"]

    # The command line says the same through a running scheduler, fails, and
    # keeps the earlier file too.
    run = subprocess.run([sys.executable, "-m", "tolvane.tiles", rings, str(out), str(PIXEL),
                          "--tile", "129", "--halo", "16", "--scheduler", client.scheduler.address, "-q"],
                         stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    assert run.returncode == 1
    assert "error: tile (1, 1) (rows 129-257, columns 129-257): the levels" in run.stderr
    assert f"1 of 4 tiles failed; {out} was not written" in run.stderr
    assert out.read_bytes() == before


def test_relative_paths_reach_workers_in_other_folders(lines, client, tmp_path, monkeypatch):
    """The input named from this process's folder is the file the workers read,
    wherever they run; a worker that sees another file under that path refuses
    its tile."""
    here = tmp_path / "here"
    here.mkdir()
    (here / "curvas.gpkg").write_bytes(open(lines, "rb").read())
    elsewhere = tmp_path / "elsewhere"
    elsewhere.mkdir()
    surface_lines(elsewhere / "curvas.gpkg", n=128)  # another file under the same relative name
    client.run(os.chdir, str(elsewhere))
    monkeypatch.chdir(here)
    r = tolvane.tiles.elevation("curvas.gpkg", "dem.tif", PIXEL, tile=129, halo=256, client=client)
    assert r.tiles == 4 and not r.failed
    np.testing.assert_array_equal(read(here / "dem.tif")[1], whole_sheet(lines, tmp_path))

    path = str(here / "curvas.gpkg")
    seen = tolvane.tiles._identity(path)
    assert tolvane.tiles._check_files(((path, seen),)) is None
    wrong = tolvane.tiles._check_files(((path, (seen[0] + 1, seen[1])),))
    assert isinstance(wrong, tolvane.Error) and f"this worker reads another file at {path}" in str(wrong)


def test_no_worker_left_fails_after_a_bounded_wait(lines, tmp_path):
    out = tmp_path / "dem.tif"
    out.write_bytes(b"earlier")
    cluster = distributed.LocalCluster(n_workers=0, processes=True, dashboard_address=":0")
    try:
        with distributed.Client(cluster) as c:
            with pytest.raises(tolvane.Error, match=r"no Dask worker left for \d+ tiles after waiting 2 s"):
                tolvane.tiles.elevation(lines, out, PIXEL, tile=129, client=c, worker_wait=2)
    finally:
        cluster.close()
    assert out.read_bytes() == b"earlier"
    assert [p.name for p in tmp_path.iterdir()] == ["dem.tif"]


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


def test_command_line_refusals_keep_the_files(lines, tmp_path):
    """Each row: the arguments after the input and the output, the one line on
    standard error; the exit status is 1 and the lines keep their bytes."""
    copy = tmp_path / "curvas.gpkg"
    copy.write_bytes(open(lines, "rb").read())
    before = copy.read_bytes()
    fifo, device = tmp_path / "fifo", tmp_path / "device"
    os.mkfifo(fifo)
    try:  # a character device like /dev/null, or a link to it where no node can be made
        os.mknod(device, 0o600 | stat.S_IFCHR, os.makedev(1, 3))
    except PermissionError:
        os.symlink("/dev/null", device)
    cases = [
        ([copy, fifo, PIXEL], f"error: cannot write {fifo}: it is a FIFO (named pipe), not a file"),
        ([copy, device, PIXEL], f"error: cannot write {device}: it is a device, not a file"),
        ([copy, tmp_path / "dem.tif", PIXEL, "--hillshade", device], f"error: cannot write {device}: it is a device"),
        ([copy, tmp_path / "dem.png", PIXEL],
         f"error: cannot write {tmp_path / 'dem.png'}: it would be a GeoTIFF, whose name ends in .tif or .tiff"),
        ([copy, copy, PIXEL], f"error: the output {copy} is the input {copy}: choose another name for it"),
        ([copy, tmp_path / "dem.tif", PIXEL, "--hillshade", copy], f"error: -hillshade {copy} is the input {copy}"),
        ([copy, tmp_path / "dem.tif", PIXEL, "--te", 0, 0, 1000, 1000],
         "error: no contours: none of the"),
        ([copy, tmp_path / "dem.tif", PIXEL, "-co", "FOO=BAR"],
         "error: -co: the GTiff driver refuses the creation options"),
        ([copy, tmp_path / "dem.tif", PIXEL, "--repair-gaps", "nan"], "error: -repair_gaps: 'nan' is not a number"),
        ([copy, tmp_path / "dem.tif", PIXEL, "-smooth", "4"], "error: -smooth: smoothing size 4: it must be odd"),
        ([copy, tmp_path / "dem.tif", PIXEL, "--threads", "300"], "error: -threads: a whole number from 0"),
        ([copy, tmp_path / "dem.tif", PIXEL, "--scheduler", "tcp://127.0.0.1:9"],
         "error: the Dask scheduler tcp://127.0.0.1:9 does not answer"),
    ]
    for arguments, message in cases:
        run = subprocess.run([sys.executable, "-m", "tolvane.tiles", *map(str, arguments), "-q"],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, timeout=120)
        assert run.returncode == 1, run.stderr
        assert run.stderr.startswith(message) and run.stderr.count("\n") == 1, run.stderr
        assert copy.read_bytes() == before
        assert sorted(p.name for p in tmp_path.iterdir()) == ["curvas.gpkg", "device", "fifo"], arguments
        assert stat.S_ISFIFO(os.lstat(fifo).st_mode) and not os.path.isfile(device)


def test_command_line_offers_every_option_of_the_table():
    """Each option of tolvane.geo the tiles take, under tolvane-geo's flag and its Python keyword."""
    parser = argparse.ArgumentParser()
    tolvane.tiles._add_options(parser)
    names = {a.dest: a.option_strings for a in parser._actions}
    for o in tolvane.geo.options():
        if o["keyword"] and o["key"] not in tolvane.tiles._NOT_TILED | tolvane.tiles._POSITIONAL:
            assert o["keyword"] in names, o["key"]
            assert not o["flag"] or o["flag"] in names[o["keyword"]], o["key"]
            if len(o["keyword"]) > 1:
                assert "--" + o["keyword"] in names[o["keyword"]], o["key"]
