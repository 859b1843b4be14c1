"""tolvane.geo (the GIS library from Python) and the report of tolvane.elevation."""

import os
import signal
import subprocess
import sys
import textwrap
import time

import numpy as np
import pytest

gdal = pytest.importorskip("osgeo.gdal")

import tolvane  # noqa: E402
import tolvane.geo  # noqa: E402
from conftest import example  # noqa: E402

BUNDLED = os.path.join(os.environ.get("TOLVANE_EXAMPLES", "examples"), "curvas", "colinas.gpkg")


def test_report_of_the_core():
    grid = example()
    grid[5, 5] = 75  # no level of the table
    r = tolvane.elevation(grid, 50, 600, 50, report=True, leak_mask=True)
    np.testing.assert_array_equal(r.cells, tolvane.elevation(grid, 50, 600, 50))
    assert (r.zones, r.off_level_pixels, r.missing_levels) == (11, 1, (600,))
    assert r.leak_mask.shape == grid.shape and r.leak_mask.sum() == r.leak_pixels
    assert tolvane.ERROR_KINDS[2] == "too_many_zones"
    # One rule for the smoothing size in every front end: odd and at most 9.
    for size in (4, 11):
        with pytest.raises(tolvane.Error) as e:
            tolvane.elevation(grid, 50, 550, 50, smoothing=size)
        assert e.value.kind == "bad_smoothing"
        with pytest.raises(tolvane.Error, match=f"smoothing size {size}"):
            tolvane.geo.elevation(BUNDLED, "never.tif", 10, smoothing=size)
    assert not os.path.exists("never.tif")


def _inputs(folder):
    """The bundled lines and the bad inputs of the failures' table, in folder."""
    folder.mkdir()
    lines = folder / "colinas.gpkg"
    lines.write_bytes(open(BUNDLED, "rb").read())
    (folder / "link.gpkg").symlink_to("colinas.gpkg")
    gdal.VectorTranslate(str(folder / "cut.shp"), str(lines))
    with open(folder / "cut.shp", "r+b") as f:
        f.truncate(os.path.getsize(folder / "cut.shp") // 2)
    gdal.VectorTranslate(str(folder / "poly.gpkg"), str(lines), layerName="poly", SQLDialect="SQLite",
                         SQLStatement="SELECT ST_Buffer(geom, 5) AS geom, elev FROM colinas")
    os.mkfifo(folder / "fifo")
    return folder


def test_failures_name_their_cause_and_leave_nothing(tmp_path):
    inputs = _inputs(tmp_path / "in")
    lines = inputs / "colinas.gpkg"
    kept = {p.name: p.read_bytes() for p in inputs.iterdir() if p.is_file() and not p.is_fifo()}
    outputs = tmp_path / "out"
    outputs.mkdir()
    out = outputs / "dem.tif"
    cases = [
        (dict(source=tmp_path / "none.gpkg"), "failure", "no such file"),
        (dict(dtype="Float64"), "usage", "dtype: 'Float64' is not Float32, Int32 or Int16"),
        (dict(resolution=None), "usage", "-tr XRES YRES is required"),
        (dict(creation_options=["COMPRESS=NOPE"]), "failure", "refuses the creation options"),
        (dict(creation_options=["FOO=BAR"]), "failure", "does not support creation option FOO"),
        (dict(output="/vsimem/x.tif"), "failure", "not a file on disk"),
        (dict(extent=(0, 0, 1000, 1000)), "failure", "none of the 13 lines"),
        (dict(progress=lambda f: f < 0.5), "cancelled", "interrupted"),
        (dict(output=lines), "failure", f"the output {lines} is the input {lines}"),
        (dict(output=inputs / "link.gpkg"), "failure", "is the input .*colinas.gpkg \\(the same file\\)"),
        (dict(hillshade=lines), "failure", f"hillshade= {lines} is the input"),
        (dict(contours=out), "failure", "two products would be written to one file"),
        (dict(source=inputs / "cut.shp"), "failure", "6 of the 13 features .* cannot be read \\(fid 7, 8"),
        (dict(source=inputs / "poly.gpkg"), "failure", "holds polygons \\(Polygon\\), not contour lines"),
        (dict(source=inputs / "fifo"), "failure", "it is a FIFO"),
        (dict(mask=inputs / "fifo"), "failure", "cannot read the footprint .*fifo: it is a FIFO"),
    ]
    for changed, kind, message in cases:
        arguments = dict(source=lines, output=out, resolution=10)
        arguments.update(changed)
        with pytest.raises(tolvane.Error, match=message) as e:
            tolvane.geo.elevation(arguments.pop("source"), arguments.pop("output"), arguments.pop("resolution"),
                                  **arguments)
        assert e.value.kind == kind, message
        assert list(outputs.iterdir()) == [], message
        assert {p.name: p.read_bytes() for p in inputs.iterdir() if p.is_file() and not p.is_fifo()} == kept, message


def test_left_out_lines_are_named(tmp_path):
    lines = str(tmp_path / "nulls.gpkg")
    gdal.VectorTranslate(lines, BUNDLED, layerName="nulls")
    ds = gdal.OpenEx(lines, gdal.OF_VECTOR | gdal.OF_UPDATE)
    ds.ExecuteSQL("UPDATE nulls SET elev = CASE fid WHEN 3 THEN NULL ELSE 1e999 END WHERE fid IN (3, 6)")
    ds = None
    r = tolvane.geo.elevation(lines, tmp_path / "dem.tif", 10)
    assert r.without_altitude == (3, 6)
    assert r.warnings[0] == "2 lines without an altitude (fid 3, 6) were left out"


def test_progress_exception_reaches_the_caller(tmp_path):
    def fails(fraction):
        raise KeyError("from progress")

    with pytest.raises(KeyError, match="from progress"):
        tolvane.geo.elevation(BUNDLED, tmp_path / "dem.tif", 10, progress=fails)
    assert list(tmp_path.iterdir()) == []


def test_the_datum_and_the_unit_do_not_change_the_result(tmp_path):
    """The same lines lowered by 1000 m, and in kilometres: the same surface, moved or scaled."""
    metres = tmp_path / "m.tif"
    tolvane.geo.elevation(BUNDLED, metres, 10, smoothing=3)
    base = gdal.Open(str(metres)).ReadAsArray().astype(np.float64)
    for name, sql, back in (("lowered", "elev - 1000", lambda z: z + 1000), ("km", "elev / 1000.0", lambda z: z * 1000)):
        lines = tmp_path / f"{name}.gpkg"
        gdal.VectorTranslate(str(lines), BUNDLED, SQLStatement=f"SELECT geom, {sql} AS elev FROM colinas",
                             SQLDialect="SQLITE")
        tolvane.geo.elevation(lines, tmp_path / f"{name}.tif", 10, smoothing=3)
        z = gdal.Open(str(tmp_path / f"{name}.tif")).ReadAsArray().astype(np.float64)
        np.testing.assert_allclose(back(z), base, atol=1e-3, err_msg=name)


def _interrupted(tmp_path, body):
    """Runs body (Python source, with tolvane imported) in a child that prints
    "started" before its call; sends it SIGINT half a second later and returns
    what it printed after."""
    child = subprocess.Popen([sys.executable, "-c", "import numpy as np, tolvane, tolvane.geo\n" + body],
                             cwd=tmp_path, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    assert child.stdout.readline() == "started\n"
    time.sleep(0.5)
    child.send_signal(signal.SIGINT)
    out, err = child.communicate(timeout=120)
    assert child.returncode == 0, err
    return out


def test_ctrl_c_stops_the_run_and_reaches_the_caller(tmp_path):
    # tolvane.elevation: Python's handler runs inside the call (where a nested
    # call is refused), not once it has returned.
    out = _interrupted(tmp_path, textwrap.dedent("""
        import signal
        n = 4000
        y, x = np.mgrid[0:n, 0:n]
        r = np.hypot(y - n / 2, x - n / 2)
        grid = np.where(r % 40 < 1.5, 10 * (r // 40), tolvane.EMPTY).astype(np.int32)
        where = []
        def handler(sig, frame):
            try:
                tolvane.elevation(np.full((3, 3), 10, dtype=np.int32), 10, 20, 10)
                where.append("after the run")
            except tolvane.Error as e:
                where.append(e.kind)
            raise KeyboardInterrupt
        signal.signal(signal.SIGINT, handler)
        print("started", flush=True)
        try:
            for _ in range(20):
                tolvane.elevation(grid, 0, 10 * int(r.max() // 40), 10, smoothing=9)
        except KeyboardInterrupt:
            print(where)
        """))
    assert out == "['nested_call']\n"

    # tolvane.geo.elevation: stopped before its output is written; the earlier
    # file stays and no temporary is left.
    (tmp_path / "dem.tif").write_bytes(b"earlier")
    out = _interrupted(tmp_path, textwrap.dedent(f"""
        print("started", flush=True)
        try:
            tolvane.geo.elevation({BUNDLED!r}, "dem.tif", 0.5)
        except KeyboardInterrupt:
            print("interrupted")
        """))
    assert out == "interrupted\n"
    assert [p.name for p in tmp_path.iterdir()] == ["dem.tif"]
    assert (tmp_path / "dem.tif").read_bytes() == b"earlier"

