"""tolvane.geo (the GIS library from Python) and the report of tolvane.elevation."""

import os
import pickle
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
        (dict(resolution=None), "usage", "contour lines need a pixel size: give resolution="),
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


def test_where_keeps_only_the_lines_it_selects(tmp_path):
    every = tolvane.geo.elevation(BUNDLED, tmp_path / "every.tif", 10)
    kept = tolvane.geo.elevation(BUNDLED, tmp_path / "kept.tif", 10, where="elev >= 450")
    assert 0 < kept.lines < every.lines
    assert kept.levels[0] >= 450 > every.levels[0]


@pytest.mark.parametrize("keywords, warning", [
    # The bundled lines number themselves 0 to 12 in ID.
    (dict(attribute="ID"), "the attribute 'ID' looks like an identifier, not an altitude: its 13 lines hold the "
                           "whole numbers 0 to 12, each its own; choose the altitude with attribute="),
    (dict(where="elev = 400"), "every line holds the one level 400: there is nothing to interpolate between"),
])
def test_data_that_cannot_be_meant_is_named(tmp_path, keywords, warning):
    r = tolvane.geo.elevation(BUNDLED, tmp_path / "dem.tif", 10, **keywords)
    assert any(w.startswith(warning) for w in r.warnings), r.warnings
    assert not any("no level of the table" in w for w in r.warnings), r.warnings


def test_contour_polygons_are_named_before_their_fields(tmp_path):
    surface = os.path.join(os.path.dirname(__file__), "..", "geo", "data", "colinas_superficie.tif")
    polygons = tmp_path / "polygons.gpkg"
    subprocess.run(["gdal_contour", "-q", "-p", "-i", "25", surface, str(polygons)], check=True)
    with pytest.raises(tolvane.Error, match="holds polygons .*gdal_contour -p"):
        tolvane.geo.elevation(polygons, tmp_path / "dem.tif", 10)
    assert not (tmp_path / "dem.tif").exists()


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



# A value of every Python keyword of the option table, and the words of it the
# parser receives: an option added to the table without a keyword's way in fails here.
SAMPLES = {
    "source": (BUNDLED, (BUNDLED,)),
    "output": ("dem.tif", ("dem.tif",)),
    "attribute": ("altura", ("altura",)),
    "z": (True, ()),
    "layer": ("colinas", ("colinas",)),
    "where": ("elev >= 300", ("elev >= 300",)),
    "resolution": (10, ("10", "10")),
    "extent": ((0, 0.5, 10, 20), ("0", "0.5", "10", "20")),
    "tap": (np.True_, ()),
    "t_srs": ("EPSG:25830", ("EPSG:25830",)),
    "levels": ((300, 600, 25), ("300", "600", "25")),
    "scale": (100, ("100",)),
    "smoothing": (np.int64(5), ("5",)),
    "oversample": ("auto", None),  # the default: as if not given
    "wm": (64.5, ("64.5",)),
    "threads": (2, ("2",)),
    "surface": ("plain", ("plain",)),
    "drainage": ("none", ("none",)),
    "points": ("cotas.gpkg", ("cotas.gpkg",)),
    "points_attribute": ("cota", ("cota",)),
    "lakes": ("lagos.gpkg", ("lagos.gpkg",)),
    "streams": ("rios.gpkg", ("rios.gpkg",)),
    "lakes_attribute": ("nivel", ("nivel",)),
    "dtype": ("Int16", ("Int16",)),
    "cog": (True, ()),
    "creation_options": (["TILED=YES", "COMPRESS=LZW"], ("COMPRESS=LZW",)),  # the last of its settings
    "nodata": (np.float32(-1.5), ("-1.5",)),
    "contours": ("c.tif", ("c.tif",)),
    "hillshade": ("h.png", ("h.png",)),
    "repair_gaps": (0.1, ("0.10000000000000001",)),
    "mask": ("none", ("none",)),
    "strict": (1, ()),
    "leaks": ("l.tif", ("l.tif",)),
    "sinks": ("s.gpkg", ("s.gpkg",)),
}


def test_every_keyword_of_the_table_reaches_the_request():
    table = {o["keyword"]: o for o in tolvane.geo.options() if o["keyword"]}
    assert sorted(table) == sorted(SAMPLES)
    for keyword, (value, words) in SAMPLES.items():
        keywords = {"source": BUNDLED, "output": "dem.tif", keyword: value}
        if keyword == "z":
            keywords["attribute"] = "elev"  # the default: no clash with z
        if keyword == "lakes_attribute":
            keywords["lakes"] = "lagos.gpkg"
        if keyword == "points_attribute":
            keywords["points"] = "cotas.gpkg"  # the attribute of spot heights given
        settings = dict(tolvane.geo.Request(**keywords).settings)
        assert settings.get(table[keyword]["key"]) == words, keyword
    request = tolvane.geo.Request(BUNDLED, "dem.tif", 10, creation_options=["A=1", "B=2"], extent=(0, 0, 10, 10))
    again = pickle.loads(pickle.dumps(request))
    assert again.settings == request.settings and ("creation_options", ("B=2",)) in again.settings


@pytest.mark.parametrize("keywords, key, message", [
    (dict(repair_gaps=float("nan")), "repair_gaps", "repair_gaps: 'nan' is not a number"),
    (dict(nodata=float("-inf")), "nodata", "nodata: '-inf' is not a number"),
    (dict(levels=(300, float("nan"), 25)), "levels", "levels: 'nan' is not a number"),
    (dict(mask="foot\0print.gpkg"), "mask", "mask: 'foot...' holds a NUL byte"),
    (dict(source="colinas\0.gpkg"), "source", "source: 'colinas...' holds a NUL byte"),
    (dict(hillshade="h\0.png"), "hillshade", "hillshade: 'h...' holds a NUL byte"),
    (dict(threads=257), "threads", "threads: a whole number from 0 \\(the default\\) to 256"),
    (dict(threads=-1), "threads", "threads: a whole number from 0"),
    (dict(oversample=17), "oversample", "oversample: auto, or a whole number from 1 to 16"),
    (dict(oversample="fine"), "oversample", "oversample: 'fine' is not a number"),
    (dict(smoothing=11), "smoothing", "smoothing: smoothing size 11: it must be odd and at most 9"),
    (dict(smoothing=2.5), "smoothing", "smoothing: '2.5' is not a whole number"),
    (dict(resolution=(0, 10)), "resolution", "resolution: the pixel size must be positive"),
    (dict(extent=(0, 0, 1)), "extent", "extent= needs 4 values"),
    (dict(wm=0.5), "wm", "wm: the memory of the windows, in MiB, at least 1"),
    (dict(attribute="h", z=True), "attribute", "attribute= and z= exclude each other"),
    (dict(creation_options=["TILED"]), "creation_options", "creation_options: 'TILED' is not NAME=VALUE"),
])
def test_refused_values_name_their_keyword(keywords, key, message):
    arguments = dict(source=BUNDLED, output="never.tif", resolution=10)
    arguments.update(keywords)
    with pytest.raises(tolvane.Error, match=message) as e:
        tolvane.geo.Request(**arguments)
    assert (e.value.kind, e.value.key) == ("usage", key)
    # The same refusal in the words of the other front ends.
    assert tolvane.geo.worded(e.value.text, "keyword") == str(e.value)
    flag = next(o["flag"] or o["values"][0] for o in tolvane.geo.options() if o["key"] == key)
    assert tolvane.geo.worded(e.value.text, "flag").startswith(flag)
    assert pickle.loads(pickle.dumps(e.value)).key == key


def test_wrong_python_types_are_type_errors():
    for keywords in (dict(resolution="ten"), dict(extent="0 0 1 1"), dict(layer=3), dict(creation_options="A=1"),
                     dict(colour="red")):
        with pytest.raises((TypeError, tolvane.Error)):
            tolvane.geo.Request(BUNDLED, "never.tif", **keywords)
    with pytest.raises(TypeError, match="unexpected keyword argument 'colour'"):
        tolvane.geo.Request(BUNDLED, "never.tif", 10, colour="red")


@pytest.mark.parametrize("answer", [False, 0, np.False_, "", []])
def test_any_false_answer_of_progress_cancels(tmp_path, answer):
    with pytest.raises(tolvane.Error) as e:
        tolvane.geo.elevation(BUNDLED, tmp_path / "dem.tif", 20, progress=lambda f: answer)
    assert e.value.kind == "cancelled"
    assert list(tmp_path.iterdir()) == []


def test_progress_returning_nothing_goes_on(tmp_path):
    seen = []
    tolvane.geo.elevation(BUNDLED, tmp_path / "dem.tif", 20, progress=seen.append)
    assert seen[-1] == 1 and (tmp_path / "dem.tif").exists()


def test_every_flag_of_the_table_is_in_the_help_and_the_man_page():
    help = subprocess.run([os.environ["TOLVANE_GEO_BIN"], "--help"], stdout=subprocess.PIPE, text=True,
                          check=True).stdout
    man = open(os.path.join(os.path.dirname(__file__), "..", "..", "docs", "man", "tolvane-geo.1")).read()
    usage = help[:help.index("\n\n")]
    for o in tolvane.geo.options("flag"):
        if not o["flag"]:
            continue
        call = " ".join([o["flag"], *o["values"]])
        assert f"\n  {call} " in help or f"\n  {call}\n" in help, o["flag"]
        # -tr is required for lines: the usage shows it without brackets.
        assert (f"[{call}]" in usage) != (o["key"] == "resolution"), o["flag"]
        escaped = o["flag"].replace("-", "\\-")
        assert f".BI {escaped} " in man or f".B {escaped}\n" in man, o["flag"]
