"""From contour lines to a georeferenced elevation model, as ``tolvane-geo`` does.

    import tolvane.geo
    report = tolvane.geo.elevation("curvas.gpkg", "dem.tif", 10)
    print(report.grid.columns, report.grid.rows, report.levels)

The same library as the command ``tolvane-geo`` runs underneath: the same options
(under Python names) give the same file, cell for cell.
"""

from dataclasses import dataclass, field

import tolvane

from . import _geo

__all__ = ["ERROR_KINDS", "Grid", "Report", "Request", "elevation", "options", "run", "worded"]

#: The kinds of ``tolvane.Error`` this module raises: ``"failure"`` (the data or a
#: file), ``"usage"`` (an option), ``"cancelled"`` (progress returned False).
ERROR_KINDS = _geo.ERROR_KINDS

_geo._set_error_type(tolvane.Error)

#: A request: the keyword arguments of ``elevation`` without running it (for the
#: tiles, which send it to their workers; it pickles as the options given).
Request = _geo.Request


def worded(text, naming="keyword"):
    """text with the options it names worded as tolvane-geo's flags (``"flag"``),
    Python's keywords (``"keyword"``) or QGIS's parameters (``"parameter"``).
    ``tolvane.Error.text`` and the lines of a report name them so."""
    return _geo.worded(text, naming)


def options(naming="keyword"):
    """The option table every front end is built from: a dict for each option
    with its ``key``, its names (``flag`` for tolvane-geo, ``keyword`` for Python,
    ``parameter`` for QGIS; "" where that front end has none), its ``kind``
    ("flag", "text", "path", "number", "whole", "choice"), the names of its
    ``values``, the bounds ``lowest`` and ``highest`` of numbers, the ``words`` a
    choice takes (or a number besides numbers: "auto"), its ``default`` (None:
    none), whether it is ``repeatable`` and its ``help``, worded for naming."""
    table = _geo.options()
    for o in table:
        o["help"] = _geo.worded(o["help"], naming)
    return table


@dataclass(frozen=True)
class Grid:
    """A north-up grid: rows x columns pixels of xres x yres map units whose
    top-left corner is (origin_x, origin_y)."""

    origin_x: float
    origin_y: float
    xres: float
    yres: float
    rows: int
    columns: int
    srs_wkt: str = ""

    def geotransform(self, row=0, column=0):
        """GDAL's geotransform of the window whose top-left pixel is (row, column)."""
        return (self.origin_x + column * self.xres, self.xres, 0.0, self.origin_y - row * self.yres, 0.0, -self.yres)


@dataclass
class Report:
    """What a run found and did; ``notes`` and ``warnings`` word it as
    ``tolvane-geo`` prints it."""

    grid: Grid
    levels: tuple  # (lowest, highest, interval) in the data's units
    scale: float  # altitude x scale - base is the whole number the core saw
    base: int
    lines: int  # lines read (contour cells for a raster)
    line_joins: int  # gaps closed on the lines
    grid_joins: int  # gaps closed on the burned grid
    gap_distance: float  # the longest gap closed, in pixels (0: no repair)
    radius: float  # of the footprint drawn from the lines (0: none drawn)
    open_ends: int  # line ends that stop in the open
    ends_left: int  # those still open inside the footprint (when zones leak)
    footprint: bool  # pixels were walled
    outside: int  # pixels walled (beyond the footprint or the lines' extent)
    hidden: int  # of them, nodata in the output
    contour_pixels: int
    off_level_pixels: int
    missing_levels: tuple
    zone_pixels: int
    leak_pixels: int
    nodata: float
    clamped: int
    nodata_in_data: int
    oversample: int  # the factor the lines were burned at
    windows: int  # runs of the core
    without_altitude: tuple = ()  # fids of the lines left out: altitude NULL, NaN or infinite
    without_geometry: tuple = ()  # fids of the features left out: no geometry
    notes: list = field(default_factory=list)
    warnings: list = field(default_factory=list)


def _levels(table):
    scale, base = table["scale"], table["base"]
    return tuple((v + base) / scale if k != "interval" else v / scale
                 for k, v in (("lowest", table["lowest"]), ("highest", table["highest"]),
                              ("interval", table["interval"])))


def _report(d):
    t = d.pop("table")
    return Report(grid=Grid(**d.pop("grid")), levels=_levels(t), scale=t["scale"], base=t["base"], **d)


def run(request, progress=None, naming="keyword"):
    """Runs a ``Request`` as ``elevation`` does; the report's notes and warnings
    name options under naming (see ``worded``)."""
    if progress is not None and not callable(progress):
        raise TypeError("progress must be callable or None")
    d = _geo.run(request, progress)
    for lines in ("notes", "warnings"):
        d[lines] = [_geo.worded(line, naming) for line in d[lines]]
    return _report(d)


def elevation(source, output, resolution=None, attribute="elev", *, progress=None, **options):
    """The elevation model of contour lines, written to ``output`` (GeoTIFF).

    source: contour lines in any vector format GDAL reads, or a raster whose
        valid cells are contour altitudes (used on its own grid by default).
    output: the GeoTIFF to write (Float32, nodata -9999 unless the data reach it).
    resolution: pixel size in map units, one number or (x, y); lines need one.
    attribute: the field holding the altitude.

    Keyword options (``options()`` lists them with their bounds and defaults;
    None, False or the default is as if not given; numbers must be finite and
    paths hold no NUL byte), each as tolvane-geo's option of the same meaning:
    ``z`` (-z), ``layer`` (-l), ``where`` (-where), ``extent`` (-te, (xmin, ymin, xmax, ymax)),
    ``tap`` (-tap), ``t_srs`` (-t_srs), ``levels`` (-levels, (lowest, highest,
    interval)), ``scale`` (-scale), ``smoothing`` (-smooth), ``repair_gaps``
    (-repair_gaps, pixels; 0: none), ``mask`` (-mask: a polygon file, "auto" or
    "none"), ``strict`` (-strict), ``surface`` (-surface: "smooth", the
    default, or "plain"), ``drainage`` (-drainage: "auto", the default,
    which enforces on the smooth surface and leaves plain as drawn, "enforce" or
    "none"), ``points``
    (-points: a point layer of spot heights), ``points_attribute`` (-points_a),
    ``lakes`` (-lakes: a polygon layer), ``lakes_attribute`` (-lakes_a),
    ``streams`` (-streams: a line layer), ``dtype``
    (-ot: "Float32", "Int32", "Int16"), ``nodata`` (-a_nodata), ``cog`` (-of COG),
    ``creation_options`` (-co, a list of "NAME=VALUE"), ``contours``,
    ``hillshade``, ``leaks``, ``sinks`` (-contours, -hillshade, -leaks, -sinks: paths of the extra
    products), ``threads`` (-threads: 1 to 256; 0, the default: TOLVANE_THREADS, else
    every core), ``oversample`` (-oversample: None or "auto" for the automatic
    factor, or 1 to 16), ``wm`` (-wm: MiB for the core's windows; 0: 2048,
    the same on every machine).

    progress: optional callable taking the fraction done, 0 to 1; a false
        answer (False, 0, numpy's False_; not None) stops the run
        (``tolvane.Error`` of kind "cancelled").

    Every file is written in a private folder beside it and renamed only when
    all are complete, all or nothing: a failure or Ctrl-C (``KeyboardInterrupt``,
    within a band of the core) leaves nothing behind and earlier files as they
    were. No product may be one of the files read (the lines, their side files,
    the mask), whatever the path. Returns a ``Report`` (``warnings`` names the
    lines left out for want of an altitude); raises ``tolvane.Error`` (kind
    "failure" or "usage") when the run is refused: a FIFO or device as input, a
    layer that is not lines, features GDAL cannot read.
    """
    if progress is not None and not callable(progress):
        raise TypeError("progress must be callable or None")
    return run(_geo.Request(source, output, resolution, attribute, **options), progress)
