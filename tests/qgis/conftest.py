"""The plugin under QGIS, headless: its own runner qgis_process.bin (QGIS_PROCESS)
and qgis.core in this process, both on the plugin folder built by CMake
(TOLVANE_QGIS_PLUGINS), with a QGIS profile of their own."""

import os
import subprocess
import sys

import numpy as np
import pytest
from osgeo import gdal

gdal.UseExceptions()

EXAMPLES = os.environ.get("TOLVANE_EXAMPLES", os.path.join(os.path.dirname(__file__), "..", "..", "examples"))
LINES = os.path.join(EXAMPLES, "curvas", "colinas.gpkg")


def _needed(name):
    value = os.environ.get(name)
    if not value or not os.path.exists(value):
        pytest.fail(f"{name} must name the built file or folder (CTest sets it)")
    return value


@pytest.fixture(scope="session")
def qgis_env(tmp_path_factory):
    """The environment of a QGIS with this plugin found and enabled, and no other profile touched."""
    env = dict(os.environ, QT_QPA_PLATFORM="offscreen",
               QGIS_PLUGINPATH=_needed("TOLVANE_QGIS_PLUGINS"),
               QGIS_CUSTOM_CONFIG_PATH=str(tmp_path_factory.mktemp("profile")))
    qgis_process(env, "plugins", "enable", "tolvane_qgis")
    return env


def qgis_process(env, *args, check=True):
    run = subprocess.run([_needed("QGIS_PROCESS"), *args], env=env, text=True,
                         stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    if check:
        assert run.returncode == 0, run.stdout[-2000:] + run.stderr[-2000:]
    return run


def tolvane_geo(*args):
    run = subprocess.run([_needed("TOLVANE_GEO_BIN"), "-q", *args], text=True, stderr=subprocess.PIPE)
    assert run.returncode == 0, run.stderr


def footprint(path, xmin, ymin, xmax, ymax):
    """A GeoPackage of one rectangle in the lines' coordinate system (ETRS89 / UTM 30N)."""
    from osgeo import ogr, osr

    srs = osr.SpatialReference()
    srs.ImportFromEPSG(25830)
    source = ogr.GetDriverByName("GPKG").CreateDataSource(str(path))
    layer = source.CreateLayer("footprint", srs, ogr.wkbPolygon)
    feature = ogr.Feature(layer.GetLayerDefn())
    feature.SetGeometry(ogr.CreateGeometryFromWkt(
        f"POLYGON(({xmin} {ymin},{xmax} {ymin},{xmax} {ymax},{xmin} {ymax},{xmin} {ymin}))"))
    layer.CreateFeature(feature)
    source = None
    return str(path)


def assert_same_raster(path, expected):
    """Same cells, grid, coordinate system and nodata as the file expected."""
    a, b = gdal.Open(str(path)), gdal.Open(str(expected))
    assert a.GetGeoTransform() == b.GetGeoTransform()
    assert a.GetSpatialRef().IsSame(b.GetSpatialRef())
    assert a.RasterCount == b.RasterCount
    for i in range(1, a.RasterCount + 1):
        x, y = a.GetRasterBand(i), b.GetRasterBand(i)
        assert x.DataType == y.DataType and x.GetNoDataValue() == y.GetNoDataValue()
        np.testing.assert_array_equal(x.ReadAsArray(), y.ReadAsArray())


@pytest.fixture(scope="session")
def qgis_app(qgis_env):
    """QGIS in this process, with Processing and the plugin's provider."""
    os.environ.update(qgis_env)
    from qgis.core import QgsApplication

    QgsApplication.setPrefixPath("/usr", True)
    app = QgsApplication([], False)
    app.initQgis()
    sys.path.append(os.path.join(QgsApplication.pkgDataPath(), "python", "plugins"))
    sys.path.insert(0, qgis_env["QGIS_PLUGINPATH"])
    from processing.core.Processing import Processing

    Processing.initialize()
    import tolvane_qgis

    plugin = tolvane_qgis.classFactory(None)
    plugin.initProcessing()
    yield app
    plugin.unload()
