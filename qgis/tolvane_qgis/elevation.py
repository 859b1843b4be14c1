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
    QgsProcessingParameterEnum,
    QgsProcessingParameterExtent,
    QgsProcessingParameterFeatureSource,
    QgsProcessingParameterField,
    QgsProcessingParameterFileDestination,
    QgsProcessingParameterNumber,
    QgsProcessingParameterRasterDestination,
    QgsProcessingParameterString,
    QgsProcessingParameterVectorDestination,
    QgsWkbTypes,
)
from qgis.PyQt.QtGui import QIcon

HERE = os.path.dirname(__file__)

# Formats GDAL reads in place; a layer of any other kind (memory, database,
# with a filter or a selection) is first written to a temporary GeoPackage.
READ_IN_PLACE = ["gpkg", "shp", "geojson", "json", "fgb", "gml", "kml", "sqlite", "tab", "mif"]

# Where a parameter takes less than tolvane-geo's option (a layer, not any file
# or word), its own help instead of the table's: it must not offer what the
# parameter refuses (MASK takes no "auto" or "none").
QGIS_HELP_INSTEAD = {
    "INPUT": "Contour lines (a line layer). Each line is a contour; its altitude comes from FIELD or, "
    "when FIELD is empty, from the Z of its vertices. Lines must be whole: a line that stops in the "
    "open lets the zone beyond it run into its neighbours (see REPAIR_GAPS and MASK).",
    "FIELD": "Numeric field holding each line's altitude. Empty: the field elev when the lines have "
    "one (as in tolvane-geo), else the Z of their vertices.",
    "PIXEL_SIZE": "Pixel size of the elevation model, in the units of its coordinate system "
    "(TARGET_CRS, else the lines').",
    "POINTS": "Spot heights (a point layer): summits, pits and other heights whose altitudes the model "
    "holds on their pixels; a summit or a pit is shaped toward its spot height, and with DRAINAGE enforce "
    "a pit at one is kept. Empty: none.",
    "POINTS_FIELD": "Numeric field of the spot heights holding their altitude. Empty: the lines' (FIELD, "
    "else the Z of the points when the lines take theirs from Z).",
    "LAKES": "Lakes (a polygon layer), held flat at their level: LAKES_FIELD's, else that of the lowest "
    "contour line that reaches each lake; with DRAINAGE enforce they are kept. Empty: none.",
    "LAKES_FIELD": "Numeric field of the lakes holding their altitude. Empty: the lowest line that reaches "
    "each lake.",
    "STREAMS": "Streams (a line layer, digitised either way): the model descends along each, every pixel "
    "no higher than those beside it, within its band. Empty: none.",
    "MASK": "Polygons of the area the contour lines cover. Outside them the model is nodata, and lines "
    "that end on their edge close their zones there. For a convex sheet, the convex hull of the lines "
    "(Processing's Convex hull algorithm) will do. Empty: as tolvane-geo without -mask.",
}

# What the option table's help leaves to this algorithm, after it.
QGIS_HELP = {
    "TARGET_CRS": "Lines in longitude and latitude must be reprojected to a projected system.",
    "LEVELS": "Three numbers separated by spaces, commas or semicolons (for example 300 600 25); decimal "
    "levels are allowed.",
    "REPAIR_GAPS": "Empty: as tolvane-geo without -repair_gaps.",
    "OVERSAMPLE": "Empty: auto, as tolvane-geo without -oversample.",
    "OUTPUT": "A GeoTIFF in the coordinate system of the lines (or TARGET_CRS); cells without altitude are "
    "nodata.",
    "HILLSHADE": "Optional, as a PNG image.",
    "LEAKS": "Optional.",
    "SINKS": "Optional, as a GeoPackage (.gpkg); needs DRAINAGE enforce.",
}

LABELS = {
    "INPUT": "Contour lines",
    "FIELD": "Altitude field (empty: elev, else the lines' Z)",
    "PIXEL_SIZE": "Pixel size",
    "EXTENT": "Extent",
    "TARGET_CRS": "Target coordinate system",
    "LEVELS": "Levels: lowest highest interval",
    "SMOOTHING": "Smoothing size",
    "REPAIR_GAPS": "Repair gaps up to (pixels)",
    "MASK": "Footprint",
    "POINTS": "Spot heights",
    "POINTS_FIELD": "Spot heights' altitude field",
    "LAKES": "Lakes",
    "LAKES_FIELD": "Lakes' altitude field",
    "STREAMS": "Streams",
    "OVERSAMPLE": "Oversampling factor",
    "SURFACE": "Surface",
    "DRAINAGE": "Drainage",
    "OUTPUT": "Elevation model",
    "HILLSHADE": "Shaded relief",
    "LEAKS": "Leaks",
    "SINKS": "Depressions kept",
}


def parameter_options():
    """The options of tolvane.geo's table that are parameters here, the products last."""
    module = tolvane_module()
    table = [o for o in module.geo.options("parameter") if o["parameter"]] if module else []
    products = {"output", "hillshade", "leaks", "sinks"}
    return [o for o in table if o["key"] not in products] + [o for o in table if o["key"] in products]


def help_of(option):
    if option["parameter"] in QGIS_HELP_INSTEAD:
        return QGIS_HELP_INSTEAD[option["parameter"]]
    text = " ".join(option["help"].split("\n"))
    text = text[:1].upper() + text[1:] + "."
    extra = QGIS_HELP.get(option["parameter"])
    return f"{text} {extra}" if extra else text


# Messages not yet worded by the library name tolvane-geo's options: here they are
# parameters; a suggestion of a value the parameter cannot take is left out.
REFUSED_HERE = re.compile(r",? (?:-mask|MASK) (?:none|auto) turns it off")
OPTION = None


def in_qgis_terms(line):
    """line with tolvane-geo's options named as this algorithm's parameters."""
    global OPTION
    module = tolvane_module()
    if module is None:
        return line
    if OPTION is None:
        names = {o["flag"]: o["parameter"] for o in module.geo.options() if o["flag"] and o["parameter"]}
        # A parameter takes no value names after it ("-leaks FILE": LEAKS).
        names.update({p: p for p in names.values()})
        OPTION = (re.compile(r"(?<![\w-])(" + "|".join(map(re.escape, names)) + r")\b( (?:PIXELS|FILE|N)\b)?"),
                  names)
    pattern, names = OPTION
    line = REFUSED_HERE.sub("", module.geo.worded(line, "parameter"))
    return pattern.sub(lambda m: names[m.group(1)], line)


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

            if not hasattr(tolvane.geo, "options"):
                raise ImportError(f"{tolvane.geo.__file__} is older than this plugin, without its option table")
            _module = tolvane
        except ImportError as e:
            tolvane_module.error = (
                f"the Python module tolvane.geo cannot be imported ({e}): install the Debian package "
                "tolvane, or the plugin built with the module (see docs/qgis.md)"
            )
    return _module


tolvane_module.error = ""


def module_version():
    module = tolvane_module()
    return module.version() if module else None


def levels_of(text):
    """The words of three numbers separated by spaces, commas or semicolons
    (tolvane.geo checks them); None for an empty text."""
    words = [w for w in re.split(r"[\s,;]+", text.strip()) if w]
    return words or None


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
        items = "".join(f"<li><b>{o['parameter']}</b>: {help_of(o)}</li>" for o in parameter_options())
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
        for option in parameter_options():
            parameter = self.parameter_of(option)
            parameter.setHelp(help_of(option))
            self.addParameter(parameter)

    @staticmethod
    def parameter_of(option):
        """The Processing parameter of an option of tolvane.geo's table: its kind
        and bounds from the table, its widget from what QGIS has for it."""
        name = option["parameter"]
        label = LABELS.get(name, name)
        special = {
            "INPUT": lambda: QgsProcessingParameterFeatureSource(name, label, [QgsProcessing.TypeVectorLine]),
            "FIELD": lambda: QgsProcessingParameterField(name, label, parentLayerParameterName="INPUT",
                                                         type=QgsProcessingParameterField.Numeric, optional=True),
            "PIXEL_SIZE": lambda: QgsProcessingParameterDistance(name, label, defaultValue=10.0,
                                                                 parentParameterName="INPUT", minValue=0.0),
            "EXTENT": lambda: QgsProcessingParameterExtent(name, label, optional=True),
            "TARGET_CRS": lambda: QgsProcessingParameterCrs(name, label, optional=True),
            "MASK": lambda: QgsProcessingParameterFeatureSource(name, label, [QgsProcessing.TypeVectorPolygon],
                                                                optional=True),
            "POINTS": lambda: QgsProcessingParameterFeatureSource(name, label, [QgsProcessing.TypeVectorPoint],
                                                                  optional=True),
            "POINTS_FIELD": lambda: QgsProcessingParameterField(name, label, parentLayerParameterName="POINTS",
                                                                type=QgsProcessingParameterField.Numeric,
                                                                optional=True),
            "LAKES": lambda: QgsProcessingParameterFeatureSource(name, label, [QgsProcessing.TypeVectorPolygon],
                                                                 optional=True),
            "LAKES_FIELD": lambda: QgsProcessingParameterField(name, label, parentLayerParameterName="LAKES",
                                                               type=QgsProcessingParameterField.Numeric,
                                                               optional=True),
            "STREAMS": lambda: QgsProcessingParameterFeatureSource(name, label, [QgsProcessing.TypeVectorLine],
                                                                   optional=True),
            "OUTPUT": lambda: QgsProcessingParameterRasterDestination(name, label),
            "HILLSHADE": lambda: QgsProcessingParameterFileDestination(name, label, "PNG files (*.png)",
                                                                       optional=True, createByDefault=False),
            "SINKS": lambda: QgsProcessingParameterVectorDestination(name, label, QgsProcessing.TypeVectorPolygon,
                                                                     optional=True, createByDefault=False),
            "LEAKS": lambda: QgsProcessingParameterRasterDestination(name, label, optional=True,
                                                                     createByDefault=False),
        }
        if name in special:
            return special[name]()
        if option["kind"] in ("number", "whole") and len(option["values"]) == 1:
            whole = option["kind"] == "whole"
            default = option["default"]
            numeric = default is not None and default not in option["words"]
            bounds = {k: v for k, v in (("minValue", option["lowest"]), ("maxValue", option["highest"]))
                      if abs(v) != float("inf")}
            return QgsProcessingParameterNumber(
                name, label, QgsProcessingParameterNumber.Integer if whole else QgsProcessingParameterNumber.Double,
                (int(default) if whole else float(default)) if numeric else None, optional=not numeric, **bounds)
        if option["kind"] == "choice":
            return QgsProcessingParameterEnum(name, label, options=option["words"],
                                              defaultValue=option["words"].index(option["default"]))
        return QgsProcessingParameterString(name, label, optional=True)

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
            report = module.geo.run(module.geo.Request(**arguments), progress, naming="parameter")
        except ValueError as e:  # tolvane.Error, and the module's checks of its arguments
            if feedback.isCanceled() or getattr(e, "kind", None) == "cancelled":
                raise QgsProcessingException("Cancelled: no file was written") from None
            raise QgsProcessingException(in_qgis_terms(getattr(e, "text", None) or str(e))) from None
        for line in report.notes:
            feedback.pushInfo(in_qgis_terms(line))
        for line in report.warnings:
            feedback.pushWarning(in_qgis_terms(line))
        results = {"OUTPUT": arguments["output"]}
        for name, key in (("HILLSHADE", "hillshade"), ("LEAKS", "leaks"), ("SINKS", "sinks")):
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

        a["resolution"] = self.parameterAsDouble(parameters, "PIXEL_SIZE", context)

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

        # The numbers of the table, checked by tolvane.geo as tolvane-geo checks them.
        for option in parameter_options():
            name = option["parameter"]
            if option["kind"] in ("number", "whole") and len(option["values"]) == 1 \
                    and parameters.get(name) not in (None, ""):
                read = self.parameterAsInt if option["kind"] == "whole" else self.parameterAsDouble
                a[option["keyword"]] = read(parameters, name, context)
            elif option["kind"] == "choice" and parameters.get(name) not in (None, ""):
                a[option["keyword"]] = option["words"][self.parameterAsEnum(parameters, name, context)]

        if parameters.get("MASK") not in (None, ""):
            # The footprint is every polygon of its file: a layer of a file of several
            # is written to a file of its own.
            a["mask"] = self.parameterAsCompatibleSourceLayerPath(
                parameters, "MASK", context, READ_IN_PLACE, "gpkg", feedback
            )

        if parameters.get("POINTS") not in (None, ""):
            a["points"] = self.parameterAsCompatibleSourceLayerPath(
                parameters, "POINTS", context, READ_IN_PLACE, "gpkg", feedback
            )
            fields = self.parameterAsFields(parameters, "POINTS_FIELD", context)
            if fields:
                a["points_attribute"] = fields[0]
        if parameters.get("STREAMS") not in (None, ""):
            a["streams"] = self.parameterAsCompatibleSourceLayerPath(
                parameters, "STREAMS", context, READ_IN_PLACE, "gpkg", feedback
            )
        if parameters.get("LAKES") not in (None, ""):
            a["lakes"] = self.parameterAsCompatibleSourceLayerPath(
                parameters, "LAKES", context, READ_IN_PLACE, "gpkg", feedback
            )
            fields = self.parameterAsFields(parameters, "LAKES_FIELD", context)
            if fields:
                a["lakes_attribute"] = fields[0]

        a["output"] = self.parameterAsOutputLayer(parameters, "OUTPUT", context)
        if os.path.splitext(a["output"])[1].lower() not in (".tif", ".tiff"):
            raise QgsProcessingException(f"OUTPUT: {a['output']} is not a GeoTIFF file name (.tif)")
        hillshade = self.parameterAsFileOutput(parameters, "HILLSHADE", context)
        if hillshade:
            a["hillshade"] = hillshade
        leaks = self.parameterAsOutputLayer(parameters, "LEAKS", context)
        if leaks:
            a["leaks"] = leaks
        sinks = self.parameterAsOutputLayer(parameters, "SINKS", context)
        if sinks:
            a["sinks"] = sinks
        return a
