"""The Processing provider "tolvane"."""

import os

from qgis.core import QgsProcessingProvider
from qgis.PyQt.QtGui import QIcon

from .elevation import ElevationAlgorithm, module_version

ICON = os.path.join(os.path.dirname(__file__), "icon.svg")


class TolvaneProvider(QgsProcessingProvider):
    def id(self):
        return "tolvane"

    def name(self):
        return "tolvane"

    def longName(self):  # noqa: N802
        version = module_version()
        return f"tolvane ({version})" if version else "tolvane"

    def icon(self):
        return QIcon(ICON)

    def svgIconPath(self):  # noqa: N802
        return ICON

    def versionInfo(self):  # noqa: N802
        return module_version() or ""

    def loadAlgorithms(self):  # noqa: N802
        self.addAlgorithm(ElevationAlgorithm())

    # The elevation model is always a GeoTIFF.
    def supportedOutputRasterLayerExtensions(self):  # noqa: N802
        return ["tif"]

    def defaultRasterFileExtension(self):  # noqa: N802
        return "tif"
