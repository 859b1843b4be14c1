"""Tiled runs of the tolvane core on a Dask cluster: contour lines to a GeoTIFF.

    import tolvane.tiles
    tolvane.tiles.elevation("curvas.gpkg", "dem.tif", 5, attribute="elev")

The grid is cut into tiles. Each task burns its tile plus a halo of pixels
around it from the contour vectors (GDAL), runs the core on that window in a
Dask worker and returns the tile without its halo; the calling process writes
the tiles into the GeoTIFF one at a time as they arrive, so no process ever
holds the whole grid. The core cuts zones at the window's edge, so cells near a
tile border can differ from a run on the whole sheet; the halo keeps the
difference small (README, "From Python", gives measured figures).

The vector file (or contour raster) must be readable under the same path by
every worker. This module turns on GDAL's Python exceptions
(``gdal.UseExceptions()``).

Command line: ``python3 -m tolvane.tiles --help``.
"""

import argparse
import math
import os
import sys
import uuid
from dataclasses import dataclass, field

import numpy as np
from osgeo import gdal, ogr, osr

import tolvane

gdal.UseExceptions()
ogr.UseExceptions()
osr.UseExceptions()

__all__ = ["elevation", "TilesError", "TilesResult", "Grid", "main"]

EMPTY = tolvane.EMPTY
_INT_MIN, _INT_MAX = -(2**31), 2**31 - 1


@dataclass(frozen=True)
class Grid:
    """A north-up grid: rows x columns cells of pixel_x x pixel_y map units whose
    top-left corner is (origin_x, origin_y)."""

    origin_x: float
    origin_y: float
    pixel_x: float
    pixel_y: float
    rows: int
    columns: int
    srs_wkt: str = ""

    def geotransform(self, row=0, column=0):
        """GDAL geotransform of the window whose top-left cell is (row, column)."""
        return (self.origin_x + column * self.pixel_x, self.pixel_x, 0.0,
                self.origin_y - row * self.pixel_y, 0.0, -self.pixel_y)


@dataclass(frozen=True)
class _Tile:
    row: int  # position in the tile layout
    column: int
    r0: int  # cells of the tile in the grid
    c0: int
    rows: int
    columns: int

    def where(self):
        return (f"tile ({self.row}, {self.column}) (rows {self.r0}-{self.r0 + self.rows - 1}, "
                f"columns {self.c0}-{self.c0 + self.columns - 1})")


@dataclass
class TilesResult:
    """What elevation() wrote: the output, its grid and levels, and the tiles
    left as nodata (no contour within reach, or failed)."""

    output: str
    grid: Grid
    levels: tuple
    tiles: int
    empty: list = field(default_factory=list)  # [(row, column)] of tiles with no contour within 4 tiles
    failed: dict = field(default_factory=dict)  # {(row, column): message}


class TilesError(tolvane.Error):
    """Some tiles failed; the others were written. ``result.failed`` maps each
    failed tile's (row, column) in the tile layout to its message."""

    def __init__(self, message, result=None):
        super().__init__(message, "tiles_failed", ())
        self.result = result

    def __reduce__(self):
        return (type(self), (str(self), self.result))


def _whole_level(value, where):
    if value is None:
        return None
    try:
        v = float(value)
    except (TypeError, ValueError):
        v = math.nan
    if not math.isfinite(v) or v != math.floor(v) or not _INT_MIN <= v <= _INT_MAX or v == EMPTY:
        raise tolvane.Error(
            f"contour value {value!r} of {where} is not a whole number in the int range other than {EMPTY}",
            "bad_level", ())
    return int(v)


def _levels_of(values):
    """(lowest, highest, interval) of the distinct levels: the interval is the
    greatest common divisor of the steps, so every level is one of the table."""
    values = sorted(set(values))
    steps = [b - a for a, b in zip(values, values[1:])]
    interval = math.gcd(*steps) if steps else 1
    return values[0], values[-1], interval


def _tile_levels(low, high, levels):
    """The part of the level table that a window whose contours lie between low
    and high uses: fewer zones per run, the same zones where it matters."""
    lowest, highest, interval = levels
    if interval <= 0:
        return levels
    zones = (highest - lowest) // interval
    k0 = min(max(0, (low - lowest) // interval), zones)
    k1 = max(min(zones, -((lowest - high) // interval)), k0)
    return lowest + k0 * interval, lowest + k1 * interval, interval


class _Vectors:
    """Contour lines of one layer of a vector file, burnt by attribute."""

    def __init__(self, path, layer=None, attribute="elev"):
        self.path, self.attribute = str(path), attribute
        ds = self._open()
        if layer is None:
            if ds.GetLayerCount() == 0:
                raise tolvane.Error(f"GDAL reads no vector layer from {self.path}", "bad_input", ())
            layer = ds.GetLayer(0).GetName()
        lyr = ds.GetLayerByName(layer)
        if lyr is None:
            names = ", ".join(ds.GetLayer(i).GetName() for i in range(ds.GetLayerCount()))
            raise tolvane.Error(f"no layer '{layer}' in {self.path} (its layers: {names})", "bad_input", ())
        self.layer = layer
        defn = lyr.GetLayerDefn()
        fields = [defn.GetFieldDefn(i).GetName() for i in range(defn.GetFieldCount())]
        if attribute not in fields:
            raise tolvane.Error(
                f"layer '{layer}' of {self.path} has no attribute '{attribute}' (its fields: {', '.join(fields)})",
                "bad_input", ())

    def _open(self):
        try:
            return gdal.OpenEx(self.path, gdal.OF_VECTOR | gdal.OF_READONLY)
        except RuntimeError as e:
            raise tolvane.Error(f"cannot read {self.path}: {e}", "bad_input", ()) from None

    def _layer(self, ds):
        lyr = ds.GetLayerByName(self.layer)
        lyr.SetAttributeFilter(f'"{self.attribute}" IS NOT NULL')
        return lyr

    def levels(self):
        ds = self._open()
        sql = f'SELECT DISTINCT "{self.attribute}" FROM "{self.layer}"'
        res = ds.ExecuteSQL(sql, dialect="OGRSQL")
        try:
            values = {_whole_level(f.GetField(0), f"'{self.attribute}'") for f in res}
        finally:
            ds.ReleaseResultSet(res)
        values.discard(None)
        if not values:
            raise tolvane.Error(f"no contours found: layer '{self.layer}' of {self.path} has no feature "
                                f"with a value of '{self.attribute}'", "no_altitude", ())
        return _levels_of(values)

    def grid(self, resolution, extent=None):
        ds = self._open()
        lyr = self._layer(ds)
        srs = lyr.GetSpatialRef()
        if srs is not None and srs.IsGeographic():
            raise tolvane.Error(f"layer '{self.layer}' of {self.path} is in a geographic coordinate system "
                                "(degrees); reproject it first, e.g. ogr2ogr -t_srs EPSG:32630",
                                "geographic", ())
        if resolution is None:
            raise ValueError("contour lines need a resolution: the pixel size in map units")
        px, py = resolution
        if extent is None:
            if lyr.GetFeatureCount() == 0:
                raise tolvane.Error(f"no contours found: layer '{self.layer}' of {self.path} has no feature "
                                    f"with a value of '{self.attribute}'", "no_altitude", ())
            minx, maxx, miny, maxy = lyr.GetExtent()
            # Aligned on the pixel size, with one empty pixel around the lines:
            # labelling never seeds in the first row or column, and a line on the
            # extent's edge would otherwise fall half outside the grid.
            xmin, ymin = (math.floor(minx / px) - 1) * px, (math.floor(miny / py) - 1) * py
            xmax, ymax = (math.ceil(maxx / px) + 1) * px, (math.ceil(maxy / py) + 1) * py
        else:
            xmin, ymin, xmax, ymax = extent
        columns, rows = round((xmax - xmin) / px), round((ymax - ymin) / py)
        if rows <= 0 or columns <= 0:
            raise tolvane.Error(f"empty extent {xmin} {ymin} {xmax} {ymax}", "bad_size", ())
        return Grid(xmin, ymax, px, py, rows, columns, srs.ExportToWkt() if srs is not None else "")

    def window(self, grid, r0, c0, rows, columns):
        """The contour altitudes of rows x columns cells from (r0, c0), burnt as
        gdal_rasterize burns the whole grid."""
        ds = self._open()
        lyr = self._layer(ds)
        x0, y1 = grid.origin_x + (c0 - 1) * grid.pixel_x, grid.origin_y - (r0 - 1) * grid.pixel_y
        x1, y0 = x0 + (columns + 2) * grid.pixel_x, y1 - (rows + 2) * grid.pixel_y
        lyr.SetSpatialFilterRect(x0, y0, x1, y1)
        # The lines in their order in the file (a spatial index may hand them out in
        # another), so that where two lines share a cell the same one wins as in a
        # burn of the whole grid.
        picked = sorted(((f.GetFID(), f.GetGeometryRef().Clone(), f.GetField(self.attribute)) for f in lyr),
                        key=lambda t: t[0])
        target = gdal.GetDriverByName("MEM").Create("", columns, rows, 1, gdal.GDT_Int32)
        target.SetGeoTransform(grid.geotransform(r0, c0))
        if grid.srs_wkt:
            target.SetProjection(grid.srs_wkt)
        band = target.GetRasterBand(1)
        band.Fill(EMPTY)
        if picked:
            mem = ogr.GetDriverByName("Memory").CreateDataSource("")
            ml = mem.CreateLayer("lines", lyr.GetSpatialRef(), ogr.wkbUnknown)
            ml.CreateField(ogr.FieldDefn("z", ogr.OFTReal))
            for _, geometry, value in picked:
                f = ogr.Feature(ml.GetLayerDefn())
                f.SetGeometry(geometry)
                f.SetField("z", value)
                ml.CreateFeature(f)
            gdal.RasterizeLayer(target, [1], ml, options=["ATTRIBUTE=z"])
        return band.ReadAsArray()


class _Raster:
    """Contours already burnt: any GDAL raster whose cells hold a contour altitude,
    or nodata (or 10000000) elsewhere. Its own grid is the grid of the run."""

    def __init__(self, path):
        self.path = str(path)
        self._open()

    def _open(self):
        try:
            ds = gdal.OpenEx(self.path, gdal.OF_RASTER | gdal.OF_READONLY)
        except RuntimeError as e:
            raise tolvane.Error(f"cannot read {self.path}: {e}", "bad_input", ()) from None
        gt = ds.GetGeoTransform()
        if gt[2] or gt[4]:
            raise tolvane.Error(f"{self.path} is not a north-up grid", "bad_input", ())
        return ds

    def _read(self, ds, r0, c0, rows, columns):
        band = ds.GetRasterBand(1)
        cells = band.ReadAsArray(c0, r0, columns, rows)
        nodata = band.GetNoDataValue()
        out = np.full(cells.shape, EMPTY, dtype=np.int32)
        keep = cells != EMPTY
        if nodata is not None:
            keep &= cells != nodata
        if cells.dtype.kind == "f":
            keep &= np.isfinite(cells)
        values = cells[keep]
        if values.size and (values.dtype.kind == "f" and np.any(values != np.trunc(values))
                            or values.min() < _INT_MIN or values.max() > _INT_MAX):
            raise tolvane.Error(f"{self.path} holds contour values that are not whole numbers in the int range",
                                "bad_level", ())
        out[keep] = values
        return out

    def levels(self):
        ds = self._open()
        values = set()
        step = 1024
        for r0 in range(0, ds.RasterYSize, step):
            cells = self._read(ds, r0, 0, min(step, ds.RasterYSize - r0), ds.RasterXSize)
            values.update(np.unique(cells[cells != EMPTY]).tolist())
        if not values:
            raise tolvane.Error(f"no contours found: {self.path} holds no contour value", "no_altitude", ())
        return _levels_of(values)

    def grid(self, resolution=None, extent=None):
        if extent is not None:
            raise ValueError("a contour raster is used on its own grid: give no extent")
        ds = self._open()
        gt = ds.GetGeoTransform()
        if resolution is not None and (abs(resolution[0] - gt[1]) > 1e-9 * abs(gt[1])
                                       or abs(resolution[1] + gt[5]) > 1e-9 * abs(gt[5])):
            raise ValueError(f"{self.path} has pixels of {gt[1]} x {-gt[5]}, not {resolution[0]} x {resolution[1]}")
        return Grid(gt[0], gt[3], gt[1], -gt[5], ds.RasterYSize, ds.RasterXSize, ds.GetProjection() or "")

    def window(self, grid, r0, c0, rows, columns):
        return self._read(self._open(), r0, c0, rows, columns)


def _open_source(path, layer, attribute):
    """Vectors when GDAL reads a vector layer from path, else a contour raster."""
    path = str(path)
    try:
        probe = gdal.OpenEx(path, gdal.OF_VECTOR | gdal.OF_READONLY)
    except RuntimeError:
        probe = None
    if probe is not None and probe.GetLayerCount() > 0:
        return _Vectors(path, layer, attribute)
    try:
        gdal.OpenEx(path, gdal.OF_RASTER | gdal.OF_READONLY)
    except RuntimeError:
        raise tolvane.Error(f"GDAL reads neither contour lines nor a contour raster from {path}",
                            "bad_input", ()) from None
    return _Raster(path)


def _layout(grid, tile):
    return [_Tile(i, j, r0, c0, min(tile, grid.rows - r0), min(tile, grid.columns - c0))
            for i, r0 in enumerate(range(0, grid.rows, tile))
            for j, c0 in enumerate(range(0, grid.columns, tile))]


def _window(grid, tile, reach):
    """Cells (r0, c0, rows, columns) of tile plus reach pixels around it, clipped to the grid."""
    r0, c0 = max(0, tile.r0 - reach), max(0, tile.c0 - reach)
    r1, c1 = min(grid.rows, tile.r0 + tile.rows + reach), min(grid.columns, tile.c0 + tile.columns + reach)
    return r0, c0, r1 - r0, c1 - c0


def _run_tile(source, grid, levels, smoothing, threads, tile, halo):
    """In a worker: the tile's elevation, None when no contour lies within reach,
    or the core's tolvane.Error.

    A tile with no contour within its halo (a plain, the sea, a corner) is tried
    again with a wider margin, up to four tile sizes, as the whole sheet's run
    would fill it from contours further away."""
    size = max(tile.rows, tile.columns)
    reach = halo
    while True:
        r0, c0, rows, columns = _window(grid, tile, reach)
        contours = source.window(grid, r0, c0, rows, columns)
        present = contours[contours != EMPTY]
        if present.size:
            break
        if reach >= 4 * size or (rows, columns) == (grid.rows, grid.columns):
            return None
        reach = min(max(2 * reach, size), 4 * size)
    lowest, highest, interval = _tile_levels(int(present.min()), int(present.max()), levels)
    try:
        dem = tolvane.elevation(contours, lowest, highest, interval, smoothing, threads=threads)
    except tolvane.Error as e:
        # An answer, not a crash: the worker's log need not show it.
        return e
    r, c = tile.r0 - r0, tile.c0 - c0
    return np.ascontiguousarray(dem[r:r + tile.rows, c:c + tile.columns])


def _creation_options(defaults, given):
    """defaults overridden by the given NAME=VALUE options (GDAL reads the first of a name)."""
    options = dict(o.split("=", 1) for o in defaults)
    for o in given or []:
        if "=" not in o:
            raise ValueError(f"creation option {o!r} is not NAME=VALUE")
        name, value = o.split("=", 1)
        options[name.upper()] = value
    return [f"{k}={v}" for k, v in options.items()]


def _resolution(resolution):
    if resolution is None:
        return None
    if np.ndim(resolution) == 0:
        resolution = (resolution, resolution)
    px, py = (float(v) for v in resolution)
    if not (px > 0 and py > 0 and math.isfinite(px) and math.isfinite(py)):
        raise ValueError(f"resolution must be positive, not {resolution}")
    return px, py


def elevation(vectors, output, resolution, attribute="elev", tile=2048, halo=256, client=None, smoothing=1,
              *, layer=None, levels=None, extent=None, cog=False, workers=None, threads=1,
              creation_options=None, progress=None):
    """Elevation model of contour lines, computed tile by tile on Dask, into a GeoTIFF.

    vectors: contour lines in any vector format GDAL reads (or a contour raster:
        any GDAL raster whose cells hold contour altitudes and nodata elsewhere,
        used on its own grid).
    output: the GeoTIFF to write (Int32, nodata 10000000 on tiles left empty).
    resolution: pixel size in map units (one number, or (x, y)); None for a
        contour raster.
    attribute, layer: the field holding the altitude and the layer (default the first).
    tile, halo: tile size and the margin of pixels burnt and computed around each
        tile and then dropped; a larger halo narrows the seams at tile borders.
    client: a ``distributed.Client``; None starts a ``LocalCluster`` of ``workers``
        processes (default: one per core) for this call.
    smoothing: Bezier smoothing size, 1, 3, 5, 7 or 9.
    levels: (lowest, highest, interval); by default found from the data (the
        lowest and highest level and the greatest common step). Each tile runs
        with the part of the table its contours use.
    extent: (xmin, ymin, xmax, ymax); by default the lines' extent aligned on the
        pixel size, with one empty pixel around.
    cog: write a cloud-optimised GeoTIFF.
    threads: core threads per tile (Dask already runs tiles in parallel).
    progress: optional callable taking the fraction of tiles written, 0 to 1.

    A tile that fails is left as nodata and named, with its message, in the
    ``TilesError`` raised once every other tile is written. A worker lost
    mid-run has its tiles recomputed by Dask elsewhere. Returns a ``TilesResult``.
    """
    from distributed import Client, LocalCluster, as_completed

    tile, halo = int(tile), int(halo)
    if tile < 1 or halo < 0:
        raise ValueError(f"tile must be 1 or more and halo 0 or more, not {tile} and {halo}")
    source = _open_source(vectors, layer, attribute)
    grid = source.grid(_resolution(resolution), extent)
    if levels is None:
        levels = source.levels()
    levels = tuple(int(v) for v in levels)
    if len(levels) != 3 or levels[2] == 0:
        raise tolvane.Error(f"levels must be lowest, highest and a nonzero interval, not {levels}",
                            "zero_interval", ())
    smoothing = int(smoothing)
    if smoothing % 2 == 0 or smoothing > 9:
        raise tolvane.Error(f"smoothing size {smoothing}: it must be odd and at most 9", "bad_smoothing",
                            (smoothing,))
    gtiff_options = _creation_options(["TILED=YES", "COMPRESS=DEFLATE", "BIGTIFF=IF_SAFER"],
                                      None if cog else creation_options)
    cog_options = _creation_options(["COMPRESS=DEFLATE", "BIGTIFF=IF_SAFER"], creation_options)
    tiles = _layout(grid, tile)
    result = TilesResult(str(output), grid, levels, len(tiles))

    cluster = None
    if client is None:
        cluster = LocalCluster(n_workers=workers or os.cpu_count(), threads_per_worker=1, processes=True,
                               dashboard_address=":0")
        client = Client(cluster)
    path = str(output)
    target = path + ".part.tif" if cog else path
    made = []  # files this call created, removed unless it ends well
    written = False
    ds = band = None
    try:
        ds = gdal.GetDriverByName("GTiff").Create(
            target, grid.columns, grid.rows, 1, gdal.GDT_Int32,
            options=gtiff_options)
        made.append(target)
        ds.SetGeoTransform(grid.geotransform())
        if grid.srs_wkt:
            ds.SetProjection(grid.srs_wkt)
        band = ds.GetRasterBand(1)
        band.SetNoDataValue(EMPTY)

        # A bounded number of tiles in flight: the finished ones wait in the workers
        # only until this process writes them.
        in_flight = max(2, 2 * sum(client.nthreads().values()))
        run = uuid.uuid4().hex[:8]
        todo = iter(tiles)
        done = 0
        futures = as_completed()
        tile_of = {}

        def submit():
            t = next(todo, None)
            if t is not None:
                fut = client.submit(_run_tile, source, grid, levels, smoothing, threads, t, halo,
                                    key=f"tolvane-tile-{run}-{t.row}-{t.column}", pure=False)
                tile_of[fut.key] = t
                futures.add(fut)

        for _ in range(in_flight):
            submit()
        for fut in futures:
            t = tile_of.pop(fut.key)
            try:
                cells = fut.result()
                if isinstance(cells, Exception):
                    raise cells
            except Exception as e:  # noqa: BLE001 - every failure is reported by its tile
                result.failed[(t.row, t.column)] = f"{t.where()}: {e}"
                cells = None
            else:
                if cells is None:
                    result.empty.append((t.row, t.column))
            finally:
                fut.release()
            if cells is None:
                cells = np.full((t.rows, t.columns), EMPTY, dtype=np.int32)
            band.WriteArray(cells, t.c0, t.r0)
            del cells
            done += 1
            if progress is not None:
                progress(done / len(tiles))
            submit()
        band = None
        ds = None
        if cog:
            made.append(path)
            gdal.Translate(path, target, format="COG",
                           creationOptions=cog_options)
        written = True
    finally:
        band = ds = None
        # An interrupted run leaves no partial output behind.
        for leftover in [f for f in made if not written or f != path]:
            try:
                os.remove(leftover)
            except FileNotFoundError:
                pass
        if cluster is not None:
            client.close()
            cluster.close()

    if result.failed:
        lines = [result.failed[k] for k in sorted(result.failed)]
        raise TilesError(f"{len(lines)} of {len(tiles)} tiles failed (left as nodata in {path}): "
                         + "; ".join(lines), result)
    return result


def main(argv=None):
    """``python3 -m tolvane.tiles``: the command line of elevation()."""
    p = argparse.ArgumentParser(
        prog="python3 -m tolvane.tiles",
        description="Elevation model of contour lines, computed tile by tile on Dask, into a GeoTIFF.")
    p.add_argument("input", help="contour lines (any vector format GDAL reads) or a contour raster")
    p.add_argument("output", help="GeoTIFF to write")
    p.add_argument("resolution", nargs="?", type=float,
                   help="pixel size in map units (not for a contour raster)")
    p.add_argument("-a", "--attribute", default="elev", help="field holding the altitude (default: elev)")
    p.add_argument("-l", "--layer", help="layer to read (default: the first)")
    p.add_argument("--tile", type=int, default=2048, help="tile size in pixels (default: 2048)")
    p.add_argument("--halo", type=int, default=256, help="pixels computed around each tile (default: 256)")
    p.add_argument("--smoothing", type=int, default=1, choices=[1, 3, 5, 7, 9], help="Bezier smoothing size")
    p.add_argument("--levels", type=int, nargs=3, metavar=("LOWEST", "HIGHEST", "INTERVAL"),
                   help="level table (default: found from the data)")
    p.add_argument("--te", type=float, nargs=4, metavar=("XMIN", "YMIN", "XMAX", "YMAX"), help="grid extent")
    p.add_argument("--cog", action="store_true", help="write a cloud-optimised GeoTIFF")
    p.add_argument("--workers", type=int, help="worker processes of the local cluster (default: one per core)")
    p.add_argument("--scheduler", help="address of a running Dask scheduler to use instead")
    p.add_argument("-co", dest="creation_options", action="append", metavar="NAME=VALUE",
                   help="GeoTIFF creation option (repeatable)")
    p.add_argument("-q", "--quiet", action="store_true", help="no progress")
    a = p.parse_args(argv)

    client = None
    if a.scheduler:
        from distributed import Client
        client = Client(a.scheduler)
    shown = [0]

    def progress(fraction):
        # GDAL's form: 0...10...20 ... 100 - done.
        while shown[0] <= int(fraction * 40):
            k = shown[0]
            sys.stdout.write(f"{k // 4 * 10}" if k % 4 == 0 else ".")
            shown[0] += 1
        if fraction >= 1:
            sys.stdout.write(" - done.\n")
        sys.stdout.flush()

    try:
        r = elevation(a.input, a.output, a.resolution, a.attribute, a.tile, a.halo, client, a.smoothing,
                      layer=a.layer, levels=a.levels, extent=a.te, cog=a.cog, workers=a.workers,
                      creation_options=a.creation_options, progress=None if a.quiet else progress)
    except TilesError as e:
        if not a.quiet and shown[0] <= 40:
            sys.stdout.write("\n")
        for line in sorted(e.result.failed.items()):
            print(f"error: {line[1]}", file=sys.stderr)
        print(f"{len(e.result.failed)} of {e.result.tiles} tiles failed; {a.output} has nodata there",
              file=sys.stderr)
        return 1
    except (tolvane.Error, ValueError, RuntimeError, OSError) as e:
        print(f"error: {e}", file=sys.stderr)
        return 1
    finally:
        if client is not None:
            client.close()
    if not a.quiet:
        low, high, step = r.levels
        print(f"{a.output}: {r.grid.rows} x {r.grid.columns} cells in {r.tiles} tiles, "
              f"levels {low} to {high} every {step}")
        if r.empty:
            print(f"{len(r.empty)} tiles with no contour within reach left as nodata")
    return 0


if __name__ == "__main__":
    # Run from tolvane.tiles itself, so that the tasks refer to its functions and
    # not to this script's copy of them.
    from tolvane.tiles import main as _main

    sys.exit(_main())
