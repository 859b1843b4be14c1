"""tolvane.geo (the GIS library from Python) and the report of tolvane.elevation."""

import os

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


def test_failures_name_their_cause_and_leave_nothing(tmp_path):
    out = tmp_path / "dem.tif"
    cases = [
        (dict(source=tmp_path / "none.gpkg"), "failure", "no such file"),
        (dict(dtype="Float64"), "usage", "dtype 'Float64'"),
        (dict(resolution=None), "usage", "-tr XRES YRES is required"),
        (dict(creation_options=["COMPRESS=NOPE"]), "failure", "refuses the creation options"),
        (dict(extent=(0, 0, 1000, 1000)), "failure", "none of the 13 lines"),
        (dict(progress=lambda f: f < 0.5), "cancelled", "interrupted"),
    ]
    for changed, kind, message in cases:
        arguments = dict(source=BUNDLED, resolution=10)
        arguments.update(changed)
        with pytest.raises(tolvane.Error, match=message) as e:
            tolvane.geo.elevation(arguments.pop("source"), out, arguments.pop("resolution"), **arguments)
        assert e.value.kind == kind, message
        assert list(tmp_path.iterdir()) == [], message


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
