"""tolvane:elevation, "Contour lines to elevation model": the lines of a vector
layer to a GeoTIFF, through tolvane.geo.elevation in this process. The same
parameters give the same file, cell for cell, as tolvane-geo."""

import os
import re
import sys

from qgis.core import (
    QgsCoordinateReferenceSystem,
    QgsProcessing,
    QgsProcessingAlgorithm,
    QgsProcessingException,
    QgsProcessingParameterCrs,
    QgsProcessingParameterDistance,
    QgsProcessingParameterExtent,
    QgsProcessingParameterFeatureSource,
    QgsProcessingParameterField,
    QgsProcessingParameterFileDestination,
    QgsProcessingParameterNumber,
    QgsProcessingParameterRasterDestination,
    QgsProcessingParameterString,
    QgsWkbTypes,
)
from qgis.PyQt.QtGui import QIcon

HERE = os.path.dirname(__file__)

# Formats GDAL reads in place; a layer of any other kind (memory, database,
# with a filter or a selection) is first written to a temporary GeoPackage.
READ_IN_PLACE = ["gpkg", "shp", "geojson", "json", "fgb", "gml", "kml", "sqlite", "tab", "mif"]

HELP = {
    "INPUT": "Contour lines (a line layer). Each line is a contour; its altitude comes from FIELD or, "
    "when FIELD is empty, from the Z of its vertices. Lines must be whole: a line that stops in the "
    "open lets the zone beyond it run into its neighbours (see REPAIR_GAPS and MASK).",
    "FIELD": "Numeric field holding each line's altitude. Empty: the field elev when the lines have "
    "one (as in tolvane-geo), else the Z of their vertices.",
    "PIXEL_SIZE": "Pixel size of the elevation model, in the units of its coordinate system "
    "(TARGET_CRS, else the lines').",
    "EXTENT": "Extent of the elevation model. Default: the lines' extent with one empty pixel around it.",
    "TARGET_CRS": "Coordinate system of the elevation model; the lines are reprojected to it. Default: "
    "the lines' own. Lines in longitude and latitude must be reprojected to a projected system.",
    "LEVELS": "Contour levels as three numbers, LOWEST HIGHEST INTERVAL (for example 300 600 25). "
    "Default: found in the data (the lowest, the highest and their greatest common step). Decimal "
    "levels are allowed.",
    "SMOOTHING": "Bezier smoothing size: 1 (none, the default), 3, 5, 7 or 9 pixels.",
    "REPAIR_GAPS": "Join line ends of the same level at most this many pixels apart that head towards each "
    "other across empty space, and where zones still leak, along the middle of their band; 0 turns the repair "
    "off. Empty: as tolvane-geo without -repair_gaps.",
    "MASK": "Polygons of the area the contour lines cover. Outside them the model is nodata, and lines "
    "that end on their edge close their zones there. For a convex sheet, the convex hull of the lines "
    "(Processing's Convex hull algorithm) will do. Empty: as tolvane-geo without -mask.",
    "OVERSAMPLE": "Burn the lines on a grid N times finer than PIXEL_SIZE (N from 1). Empty: as "
    "tolvane-geo without -oversample.",
    "OUTPUT": "The elevation model: a Float32 GeoTIFF in the coordinate system of the lines (or "
    "TARGET_CRS); cells without altitude are nodata.",
    "HILLSHADE": "Optional: a shaded relief of the model, as a PNG image.",
    "LEAKS": "Optional: a Byte GeoTIFF marking the pixels whose zone leaked past another contour "
    "(lines with gaps or open ends).",
}

# The library words its advice with tolvane-geo's options; here they are parameters.
OPTION_NAMES = {
    "-tr": "PIXEL_SIZE",
    "-te": "EXTENT",
    "-t_srs": "TARGET_CRS",
    "-levels": "LEVELS",
    "-smooth": "SMOOTHING",
    "-repair_gaps": "REPAIR_GAPS",
    "-mask": "MASK",
    "-oversample": "OVERSAMPLE",
    "-hillshade": "HILLSHADE",
    "-leaks": "LEAKS",
}
OPTION = re.compile(r"(?<![\w-])(" + "|".join(OPTION_NAMES) + r")\b( (?:PIXELS|FILE|N)\b)?")


def in_qgis_terms(line):
    """line with tolvane-geo's options named as this algorithm's parameters."""
    return OPTION.sub(lambda m: OPTION_NAMES[m.group(1)], line)


_module = None


def tolvane_module():
    """tolvane.geo: the copy installed for Python, else the one this plugin carries
    in its lib folder. None when neither imports; the reason is then in
    tolvane_module.error."""
    global _module
    if _module is None:
        bundled = os.path.join(HERE, "lib")
        if os.path.isdir(os.path.join(bundled, "tolvane")) and bundled not in sys.path:
            sys.path.append(bundled)
        try:
            import tolvane.geo

            _module = tolvane
        except ImportError as e:
            tolvane_module.error = (
                f"the Python module tolvane.geo cannot be imported ({e}): install the Debian package "
                "tolvane, or the plugin built with the module (see the README's section In QGIS)"
            )
    return _module


tolvane_module.error = ""


def module_version():
    module = tolvane_module()
    return module.version() if module else None


def levels_of(text):
    """(lowest, highest, interval) from three numbers separated by spaces, commas or
    semicolons; None for an empty text."""
    words = [w for w in re.split(r"[\s,;]+", text.strip()) if w]
    if not words:
        return None
    try:
        values = tuple(float(w) for w in words)
    except ValueError:
        values = ()
    if len(values) != 3:
        raise QgsProcessingException(
            f"LEVELS: '{text}' is not three numbers LOWEST HIGHEST INTERVAL (for example 300 600 25)"
        )
    if values[2] <= 0 or values[1] < values[0]:
        raise QgsProcessingException("LEVELS: HIGHEST must not be below LOWEST, and INTERVAL must be positive")
    return values


class ElevationAlgorithm(QgsProcessingAlgorithm):
    def name(self):
        return "elevation"

    def displayName(self):  # noqa: N802
        return "Contour lines to elevation model"

    def group(self):
        return "Interpolation"

    def groupId(self):  # noqa: N802
        return "interpolation"

    def tags(self):
        return ["dem", "contour", "elevation", "interpolation", "raster", "tolvane"]

    def icon(self):
        return QIcon(os.path.join(HERE, "icon.svg"))

    def svgIconPath(self):  # noqa: N802
        return os.path.join(HERE, "icon.svg")

    def shortHelpString(self):  # noqa: N802
        items = "".join(f"<li><b>{name}</b>: {text}</li>" for name, text in HELP.items())
        return (
            "<p>Interpolates a digital elevation model between contour lines. The zones between "
            "successive contours are labelled, every pixel of a zone is interpolated between its two "
            "contours by distance, and what is left is filled by dilation and averaging. The result is "
            "the same file, cell for cell, as that of the command-line tool tolvane-geo with the same "
            "options.</p><ul>" + items + "</ul>"
        )

    def createInstance(self):  # noqa: N802
        return ElevationAlgorithm()

    def canExecute(self):  # noqa: N802
        return (True, "") if tolvane_module() else (False, tolvane_module.error)

    def initAlgorithm(self, config=None):  # noqa: N802
        def add(parameter):
            parameter.setHelp(HELP[parameter.name()])
            self.addParameter(parameter)

        add(QgsProcessingParameterFeatureSource("INPUT", "Contour lines", [QgsProcessing.TypeVectorLine]))
        add(
            QgsProcessingParameterField(
                "FIELD",
                "Altitude field (empty: elev, else the lines' Z)",
                parentLayerParameterName="INPUT",
                type=QgsProcessingParameterField.Numeric,
                optional=True,
            )
        )
        add(
            QgsProcessingParameterDistance(
                "PIXEL_SIZE", "Pixel size", defaultValue=10.0, parentParameterName="INPUT", minValue=0.0
            )
        )
        add(QgsProcessingParameterExtent("EXTENT", "Extent", optional=True))
        add(QgsProcessingParameterCrs("TARGET_CRS", "Target coordinate system", optional=True))
        add(QgsProcessingParameterString("LEVELS", "Levels: lowest highest interval", optional=True))
        add(
            QgsProcessingParameterNumber(
                "SMOOTHING", "Smoothing size", QgsProcessingParameterNumber.Integer, 1, minValue=1, maxValue=9
            )
        )
        add(
            QgsProcessingParameterNumber(
                "REPAIR_GAPS",
                "Repair gaps up to (pixels)",
                QgsProcessingParameterNumber.Double,
                None,
                optional=True,
                minValue=0,
                maxValue=100,
            )
        )
        add(
            QgsProcessingParameterFeatureSource(
                "MASK", "Footprint", [QgsProcessing.TypeVectorPolygon], optional=True
            )
        )
        add(
            QgsProcessingParameterNumber(
                "OVERSAMPLE",
                "Oversampling factor",
                QgsProcessingParameterNumber.Integer,
                None,
                optional=True,
                minValue=1,
            )
        )
        add(QgsProcessingParameterRasterDestination("OUTPUT", "Elevation model"))
        add(
            QgsProcessingParameterFileDestination(
                "HILLSHADE", "Shaded relief", "PNG files (*.png)", optional=True, createByDefault=False
            )
        )
        add(QgsProcessingParameterRasterDestination("LEAKS", "Leaks", optional=True, createByDefault=False))

    def processAlgorithm(self, parameters, context, feedback):  # noqa: N802
        module = tolvane_module()
        if module is None:
            raise QgsProcessingException(tolvane_module.error)
        source = self.parameterAsSource(parameters, "INPUT", context)
        if source is None:
            raise QgsProcessingException(self.invalidSourceError(parameters, "INPUT"))
        arguments = self.arguments(parameters, context, feedback, source)

        def progress(fraction):
            feedback.setProgress(100 * fraction)
            return not feedback.isCanceled()

        try:
            report = module.geo.elevation(**arguments, progress=progress)
        except TypeError as e:
            if "oversample" in arguments and "oversample" in str(e):
                raise QgsProcessingException(
                    "OVERSAMPLE: the installed module tolvane.geo does not oversample; leave it empty"
                ) from None
            raise
        except ValueError as e:  # tolvane.Error, and the module's checks of its arguments
            if feedback.isCanceled() or getattr(e, "kind", None) == "cancelled":
                raise QgsProcessingException("Cancelled: no file was written") from None
            raise QgsProcessingException(in_qgis_terms(str(e))) from None
        for line in report.notes:
            feedback.pushInfo(in_qgis_terms(line))
        for line in report.warnings:
            feedback.pushWarning(in_qgis_terms(line))
        results = {"OUTPUT": arguments["output"]}
        for name, key in (("HILLSHADE", "hillshade"), ("LEAKS", "leaks")):
            if arguments.get(key):
                results[name] = arguments[key]
        return results

    def arguments(self, parameters, context, feedback, source):
        """The keyword arguments of tolvane.geo.elevation for these parameters."""
        a = {}
        a["source"], layer = self.parameterAsCompatibleSourceLayerPathAndLayerName(
            parameters, "INPUT", context, READ_IN_PLACE, "gpkg", feedback
        )
        if layer:
            a["layer"] = layer

        fields = self.parameterAsFields(parameters, "FIELD", context)
        if fields:
            if source.fields().lookupField(fields[0]) < 0:
                raise QgsProcessingException(f"FIELD: the contour lines have no field '{fields[0]}'")
            a["attribute"] = fields[0]
        elif source.fields().lookupField("elev") < 0:
            if not QgsWkbTypes.hasZ(source.wkbType()):
                raise QgsProcessingException(
                    "FIELD: the contour lines have neither a field elev nor Z; choose the altitude field"
                )
            a["z"] = True

        size = self.parameterAsDouble(parameters, "PIXEL_SIZE", context)
        if not size > 0:
            raise QgsProcessingException("PIXEL_SIZE: the pixel size must be positive")
        a["resolution"] = size

        crs = self.parameterAsCrs(parameters, "TARGET_CRS", context)
        if crs.isValid():
            # GDAL knows EPSG:25830 and the like, not QGIS's own USER:100000.
            authority = crs.authid()
            if not authority or authority.startswith("USER:"):
                authority = crs.toWkt(QgsCoordinateReferenceSystem.WKT_PREFERRED)
            a["t_srs"] = authority
        else:
            crs = source.sourceCrs()
        if parameters.get("EXTENT") not in (None, ""):
            e = self.parameterAsExtent(parameters, "EXTENT", context, crs)
            if not e.isNull():
                a["extent"] = (e.xMinimum(), e.yMinimum(), e.xMaximum(), e.yMaximum())

        levels = levels_of(self.parameterAsString(parameters, "LEVELS", context) or "")
        if levels:
            a["levels"] = levels

        smoothing = self.parameterAsInt(parameters, "SMOOTHING", context)
        if smoothing not in (1, 3, 5, 7, 9):
            raise QgsProcessingException(f"SMOOTHING: {smoothing} is not 1, 3, 5, 7 or 9")
        a["smoothing"] = smoothing

        if parameters.get("REPAIR_GAPS") not in (None, ""):
            a["repair_gaps"] = self.parameterAsDouble(parameters, "REPAIR_GAPS", context)
        if parameters.get("OVERSAMPLE") not in (None, ""):
            a["oversample"] = self.parameterAsInt(parameters, "OVERSAMPLE", context)

        if parameters.get("MASK") not in (None, ""):
            # The footprint is every polygon of its file: a layer of a file of several
            # is written to a file of its own.
            a["mask"] = self.parameterAsCompatibleSourceLayerPath(
                parameters, "MASK", context, READ_IN_PLACE, "gpkg", feedback
            )

        a["output"] = self.parameterAsOutputLayer(parameters, "OUTPUT", context)
        if os.path.splitext(a["output"])[1].lower() not in (".tif", ".tiff"):
            raise QgsProcessingException(f"OUTPUT: {a['output']} is not a GeoTIFF file name (.tif)")
        hillshade = self.parameterAsFileOutput(parameters, "HILLSHADE", context)
        if hillshade:
            a["hillshade"] = hillshade
        leaks = self.parameterAsOutputLayer(parameters, "LEAKS", context)
        if leaks:
            a["leaks"] = leaks
        return a
