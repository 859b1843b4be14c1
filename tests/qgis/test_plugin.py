"""tolvane:elevation under QGIS: found by QGIS's runner, the same file as
tolvane-geo, clear failures, and Cancel."""

import json

import pytest
from qgis.core import (QgsCoordinateReferenceSystem, QgsFeature, QgsGeometry, QgsProcessingException,
                       QgsProcessingFeedback, QgsVectorLayer)

from conftest import LINES, assert_same_raster, footprint, qgis_process, tolvane_geo

PARAMETERS = ["INPUT", "FIELD", "WHERE", "PIXEL_SIZE", "EXTENT", "TARGET_CRS", "LEVELS", "SMOOTHING", "REPAIR_GAPS",
              "MASK", "OVERSAMPLE", "SURFACE", "DRAINAGE", "POINTS", "POINTS_FIELD", "LAKES", "LAKES_FIELD", "STREAMS", "OUTPUT", "HILLSHADE",
              "LEAKS", "SINKS"]


def test_runner_lists_the_algorithm_and_its_parameters(qgis_env):
    listed = qgis_process(qgis_env, "list").stdout
    assert "tolvane:elevation\tContour lines to elevation model" in listed
    details = json.loads(qgis_process(qgis_env, "--json", "help", "tolvane:elevation").stdout)
    assert details["algorithm_details"]["group"] == "Interpolation"
    parameters = details["parameters"]
    assert sorted(parameters) == sorted(PARAMETERS)
    assert all(parameters[p]["help"] for p in PARAMETERS)
    required = [p for p in PARAMETERS if not parameters[p]["optional"]]
    assert required == ["INPUT", "PIXEL_SIZE", "SMOOTHING", "SURFACE", "DRAINAGE", "OUTPUT"]


def test_runner_output_equals_tolvane_geo(qgis_env, tmp_path):
    # SURFACE left to its default, the smooth surface.
    mask = footprint(tmp_path / "footprint.gpkg", 440300, 4475200, 441700, 4476200)
    qgis_process(qgis_env, "run", "tolvane:elevation", "--", f"INPUT={LINES}", "PIXEL_SIZE=10", "SMOOTHING=5",
                 "EXTENT=439900,442100,4474900,4476600", "LEVELS=300 600 25", "REPAIR_GAPS=3", f"MASK={mask}",
                 f"OUTPUT={tmp_path / 'qgis.tif'}", f"LEAKS={tmp_path / 'qgis_leaks.tif'}",
                 f"HILLSHADE={tmp_path / 'qgis.png'}")
    tolvane_geo("-tr", "10", "10", "-smooth", "5", "-te", "439900", "4474900", "442100", "4476600",
                "-levels", "300", "600", "25", "-repair_gaps", "3", "-mask", mask, "-surface", "smooth",
                "-leaks", str(tmp_path / "geo_leaks.tif"), "-hillshade", str(tmp_path / "geo.png"),
                LINES, str(tmp_path / "geo.tif"))
    assert_same_raster(tmp_path / "qgis.tif", tmp_path / "geo.tif")
    assert_same_raster(tmp_path / "qgis_leaks.tif", tmp_path / "geo_leaks.tif")
    assert (tmp_path / "qgis.png").read_bytes() == (tmp_path / "geo.png").read_bytes()


def test_runner_names_a_missing_input(qgis_env, tmp_path):
    missing = tmp_path / "curvas_perdidas.gpkg"
    run = qgis_process(qgis_env, "run", "tolvane:elevation", "--", f"INPUT={missing}", "PIXEL_SIZE=10",
                       f"OUTPUT={tmp_path / 'out.tif'}", check=False)
    assert run.returncode != 0
    assert f"INPUT: {missing}" in run.stdout + run.stderr
    assert not (tmp_path / "out.tif").exists()


class Feedback(QgsProcessingFeedback):
    """Keeps the progress, and cancels once it passes cancel_at percent."""

    def __init__(self, cancel_at=None):
        super().__init__()
        self.cancel_at, self.steps = cancel_at, []
        self.progressChanged.connect(self.step)

    def step(self, percent):
        self.steps.append(percent)
        if self.cancel_at is not None and percent > self.cancel_at:
            self.cancel()


def run_in_qgis(parameters, feedback=None):
    import processing

    return processing.run("tolvane:elevation", parameters, feedback=feedback or Feedback())


def test_memory_layer_and_z_give_the_file_of_the_lines(qgis_app, tmp_path):
    """A layer GDAL cannot open goes through a temporary GeoPackage; without FIELD or elev, the altitude is Z."""
    lines = QgsVectorLayer(LINES, "lines", "ogr")
    copy = QgsVectorLayer(f"LineStringZ?crs={lines.crs().authid()}", "copy", "memory")
    for line in lines.getFeatures():
        geometry = line.geometry().constGet().clone()
        geometry.addZValue(line["elev"])
        feature = QgsFeature()
        feature.setGeometry(QgsGeometry(geometry))
        assert copy.dataProvider().addFeature(feature)
    run_in_qgis({"INPUT": copy, "PIXEL_SIZE": 10, "OUTPUT": str(tmp_path / "z.tif")})
    tolvane_geo("-tr", "10", "10", LINES, str(tmp_path / "geo.tif"))
    assert_same_raster(tmp_path / "z.tif", tmp_path / "geo.tif")


def test_spot_heights_and_sinks_as_tolvane_geo_takes_them(qgis_app, tmp_path):
    """POINTS with its field, and the SINKS layer of DRAINAGE enforce, give tolvane-geo's files."""
    import tolvane.geo

    spots = tmp_path / "cotas.geojson"
    spots.write_text('{"type": "FeatureCollection", "crs": {"type": "name", "properties": {"name": '
                     '"urn:ogc:def:crs:EPSG::25830"}}, "features": [{"type": "Feature", "properties": {"cota": 590}, '
                     '"geometry": {"type": "Point", "coordinates": [440725, 4475665]}}]}')
    drainage = next(o for o in tolvane.geo.options() if o["key"] == "drainage")["words"].index("enforce")
    results = run_in_qgis({"INPUT": LINES, "PIXEL_SIZE": 10, "POINTS": str(spots), "POINTS_FIELD": "cota",
                           "DRAINAGE": drainage, "SINKS": str(tmp_path / "sinks.gpkg"),
                           "OUTPUT": str(tmp_path / "qgis.tif")})
    assert results["SINKS"] == str(tmp_path / "sinks.gpkg") and (tmp_path / "sinks.gpkg").exists()
    tolvane_geo("-tr", "10", "10", "-points", str(spots), "-points_a", "cota", "-drainage", "enforce", LINES,
                str(tmp_path / "geo.tif"))
    assert_same_raster(tmp_path / "qgis.tif", tmp_path / "geo.tif")


@pytest.mark.parametrize("change, message", [
    ({"FIELD": "altura"}, "FIELD: the contour lines have no field 'altura'"),
    ({"LEVELS": "300 600"}, "LEVELS needs 3 values"),
    ({"LEVELS": "600 300 25"}, "LEVELS: HIGHEST must not be below LOWEST"),
    ({"SMOOTHING": 4}, "SMOOTHING: smoothing size 4: it must be odd and at most 9"),
    ({"REPAIR_GAPS": float("nan")}, "REPAIR_GAPS: 'nan' is not a number"),
    ({"LEVELS": "325 575 0.5"}, "put 300 zones within 16 pixels of a single pixel.* give a larger interval with LEVELS$"),
    ({"EXTENT": "0,1000,0,1000 [EPSG:25830]"}, "no contours"),    # no line in the extent
])
def test_bad_input_fails_with_one_line_and_keeps_the_earlier_file(qgis_app, tmp_path, change, message):
    output = tmp_path / "dem.tif"
    output.write_bytes(b"earlier result")
    with pytest.raises(QgsProcessingException, match=message):
        run_in_qgis({"INPUT": LINES, "PIXEL_SIZE": 10, "OUTPUT": str(output), **change})
    assert output.read_bytes() == b"earlier result"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["dem.tif"]


def test_cancel_stops_a_long_run_and_writes_nothing(qgis_app, tmp_path):
    feedback = Feedback(cancel_at=5)
    with pytest.raises(QgsProcessingException, match="Cancelled"):
        run_in_qgis({"INPUT": LINES, "PIXEL_SIZE": 1, "SMOOTHING": 9, "OUTPUT": str(tmp_path / "dem.tif")},
                    feedback)
    assert feedback.isCanceled() and max(feedback.steps) < 100
    assert list(tmp_path.iterdir()) == []


@pytest.mark.parametrize("target", [
    "EPSG:3857", "+proj=tmerc +lon_0=-3.5 +k=0.9996 +x_0=500000 +ellps=GRS80 +units=m"])
def test_target_crs_by_authority_or_definition(qgis_app, tmp_path, target):
    """A system QGIS knows by code goes to GDAL by code; one of its own (USER:...) as WKT."""
    crs = QgsCoordinateReferenceSystem(target) if target.startswith("EPSG") else \
        QgsCoordinateReferenceSystem.fromProj(target)
    run_in_qgis({"INPUT": LINES, "PIXEL_SIZE": 12, "TARGET_CRS": crs, "OUTPUT": str(tmp_path / "qgis.tif")})
    tolvane_geo("-tr", "12", "12", "-t_srs", target, LINES, str(tmp_path / "geo.tif"))
    assert_same_raster(tmp_path / "qgis.tif", tmp_path / "geo.tif")


def test_every_parameter_of_the_option_table_is_offered(qgis_app):
    """The parameters are the table's: its names, bounds and defaults, and a help each."""
    import tolvane.geo
    from qgis.core import QgsApplication

    algorithm = QgsApplication.processingRegistry().algorithmById("tolvane:elevation")
    offered = {p.name(): p for p in algorithm.parameterDefinitions()}
    table = {o["parameter"]: o for o in tolvane.geo.options() if o["parameter"]}
    assert sorted(offered) == sorted(table) == sorted(PARAMETERS)
    for name, o in table.items():
        p = offered[name]
        assert p.help(), name
        if p.type() == "number":
            assert (p.minimum(), p.maximum()) == (o["lowest"], o["highest"]), name
            optional = bool(int(p.flags()) & int(p.FlagOptional))
            assert optional == (o["default"] in (None, *o["words"])), name


@pytest.mark.parametrize("line, worded", [
    # The library's tokens, then the flags of lines it does not word yet.
    ("\x1eattribute\x1f: no field 'h'; " "\x1elevels\x1f too fine", "FIELD: no field 'h'; LEVELS too fine"),
    ("choose another \x1escale\x1f", "choose another -scale"),  # no parameter here: the tool's name
    ("give a larger interval with -levels", "give a larger interval with LEVELS"),
    ("gaps left open (-repair_gaps PIXELS); see where with -leaks FILE",
     "gaps left open (REPAIR_GAPS); see where with LEAKS"),
    # A value MASK cannot take is not suggested.
    ("drawn through the 4 line ends (radius 3.0 pixels); -mask FILE gives it, -mask none turns it off",
     "drawn through the 4 line ends (radius 3.0 pixels); MASK gives it"),
    ("(radius 3.0 pixels); \x1emask\x1f FILE gives it, \x1emask\x1f none turns it off", "(radius 3.0 pixels); MASK gives it"),
    ("the lines burned 2 times finer (-oversample 1 turns it off)", "the lines burned 2 times finer (OVERSAMPLE 1 turns it off)"),
])
def test_log_names_the_parameters(qgis_app, line, worded):
    from tolvane_qgis.elevation import in_qgis_terms

    assert in_qgis_terms(line) == worded
