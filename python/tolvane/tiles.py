"""Tiled runs of tolvane on a Dask cluster: contour lines to a GeoTIFF.

    import tolvane.tiles
    tolvane.tiles.elevation("curvas.gpkg", "dem.tif", 5, attribute="elev")

Everything but the tiling is ``tolvane.geo``'s: the same options, grid, levels,
gap repair, footprint and product as ``tolvane-geo``. The grid and the level
table are decided once for the whole area; each task then burns its tile plus a
halo of pixels around it, runs the core in a Dask worker and returns the tile
without its halo, and this process writes the tiles one at a time as they
arrive, so no process ever holds the whole grid. The core labels each zone as a
whole, so cells near a tile border can differ from a run on the whole sheet; the
halo keeps the difference small (docs/accuracy.md, "Tiles on Dask: the seams", gives measured figures).

The contour file must be readable under the same path by every worker: the
paths are made absolute before they are sent, and a worker that finds another
file there (another size or modification time) refuses its tile.

Command line: ``python3 -m tolvane.tiles --help``.
"""

import argparse
import datetime
import os
import sys
import uuid
from dataclasses import dataclass, field

import numpy as np

import tolvane
import tolvane.geo
from tolvane import _geo

__all__ = ["elevation", "TilesError", "TilesResult", "main"]

EMPTY = tolvane.EMPTY


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
    """What elevation() wrote: the output, its grid and levels (in the data's
    units), and the tiles left as nodata (no contour within reach, or failed)."""

    output: str
    grid: tolvane.geo.Grid
    levels: tuple
    tiles: int
    empty: list = field(default_factory=list)  # [(row, column)] of tiles with no contour within 4 tiles
    failed: dict = field(default_factory=dict)  # {(row, column): message}
    warnings: list = field(default_factory=list)  # what reading the lines left out, as tolvane-geo words it


class TilesError(tolvane.Error):
    """Some tiles failed, and nothing was written: an earlier output is as it
    was. ``result.failed`` maps each failed tile's (row, column) in the tile
    layout to its message."""

    def __init__(self, message, result=None):
        super().__init__(message, "failure", ())
        self.result = result

    def __reduce__(self):
        return (type(self), (str(self), self.result))


def _layout(grid, tile):
    return [_Tile(i, j, r0, c0, min(tile, grid.rows - r0), min(tile, grid.columns - c0))
            for i, r0 in enumerate(range(0, grid.rows, tile))
            for j, c0 in enumerate(range(0, grid.columns, tile))]


def _window(grid, tile, reach):
    """Cells (r0, c0, rows, columns) of tile plus reach pixels around it, clipped to the grid."""
    r0, c0 = max(0, tile.r0 - reach), max(0, tile.c0 - reach)
    r1, c1 = min(grid.rows, tile.r0 + tile.rows + reach), min(grid.columns, tile.c0 + tile.columns + reach)
    return r0, c0, r1 - r0, c1 - c0


_sources = {}  # in each worker: the contours of a request, opened once


def _source(request):
    key = repr(request.__getstate__())
    if key not in _sources:
        _sources.clear()
        _sources[key] = _geo.Source(request)
    return _sources[key]


def _identity(path):
    """What tells one file from another under the same name: (size, modification
    time in ns), or None for what is no file here (a /vsi path, a database)."""
    try:
        st = os.stat(path)
    except (OSError, TypeError, ValueError):
        return None
    return (st.st_size, st.st_mtime_ns)


def _resolved(path):
    """An existing file's absolute path, for workers started in another folder;
    anything else (a /vsi path, a connection string) as given."""
    if path is None or str(path) in ("", "auto"):
        return path
    path = os.fspath(path)
    return os.path.abspath(path) if os.path.exists(path) else path


def _described(identity):
    if identity is None:
        return "no file"
    size, mtime_ns = identity
    return f"{size} bytes of {datetime.datetime.fromtimestamp(mtime_ns / 1e9).isoformat(sep=' ', timespec='seconds')}"


def _check_files(files):
    """In a worker: None when each file is the one the client saw, else the error saying which is not."""
    for path, seen in files:
        here = _identity(path)
        if here != seen:
            return tolvane.Error(f"this worker reads another file at {path} ({_described(here)}, not "
                                 f"{_described(seen)}): every worker must see the same file", "failure", ())
    return None


def _run_tile(request, tile, halo, files=()):
    """In a worker: the tile's cells in the core's units (float64, NaN for
    nodata), None when no contour lies within reach, or the tolvane.Error that
    refused it.

    The library runs the core on the tile and its halo, oversampled and in
    windows as the request asks, each window with the part of the level table its
    own lines use. A tile with no contour within its halo (a plain, the sea, a
    corner) is tried again with a wider margin, up to four tile sizes, as the
    whole sheet's run would fill it from contours further away."""
    wrong = _check_files(files)
    if wrong is not None:
        return wrong
    source = _source(request)
    grid = source.grid
    size = max(tile.rows, tile.columns)
    reach = halo
    while True:
        try:
            return source.compute(request, tile.r0, tile.c0, tile.rows, tile.columns, reach)["cells"]
        except tolvane.Error as e:
            whole = _window(grid, tile, reach)[2:] == (grid.rows, grid.columns)
            if not str(e).startswith("no contours"):
                return e  # an answer, not a crash: the worker's log need not show it
            if reach >= 4 * size or whole:
                return None
            reach = min(max(2 * reach, size), 4 * size)


def _client(client, workers):
    """The given client, or one of a local cluster started for this call (closed by the caller)."""
    from distributed import Client, LocalCluster
    if client is not None:
        return client, None
    cluster = LocalCluster(n_workers=workers or os.cpu_count(), threads_per_worker=1, processes=True,
                           dashboard_address=":0")
    return Client(cluster), cluster


#: Seconds a run waits for a worker when the cluster has none left.
WORKER_WAIT = 60.0


def elevation(source, output, resolution=None, attribute="elev", tile=2048, halo=256, client=None, *,
              workers=None, progress=None, worker_wait=None, **options):
    """Elevation model of contour lines, computed tile by tile on Dask, into a GeoTIFF.

    source, output, resolution, attribute and the keyword ``options`` are those
    of ``tolvane.geo.elevation`` (the options of ``tolvane-geo``), but for the
    products made of the whole grid (``contours``, ``leaks``, ``sinks``), ``drainage`` (the
    tiles are not drained: ``drainage="none"`` always) and the map's own heights
    (``points``, ``lakes``, ``streams``).
    tile, halo: tile size and the margin of pixels burnt and computed around each
        tile and then dropped; a larger halo narrows the seams at tile borders.
    client: a ``distributed.Client``; None starts a ``LocalCluster`` of ``workers``
        processes (default: one per core) for this call.
    progress: optional callable taking the fraction of tiles written, 0 to 1.

    worker_wait: seconds to wait when the cluster has no worker left (default
        ``WORKER_WAIT``); then the run fails.

    The output is written under a temporary name and renamed when every tile is
    in: an interrupted or failed run leaves an earlier file as it was. The tiles
    that fail are named, with their messages, in the ``TilesError`` raised once
    every tile was tried. A worker lost mid-run has its tiles recomputed by Dask
    elsewhere. Returns a ``TilesResult``.
    """
    import time

    from distributed import wait

    tile, halo = int(tile), int(halo)
    if tile < 1 or halo < 0:
        raise ValueError(f"tile must be 1 or more and halo 0 or more, not {tile} and {halo}")
    for product in ("contours", "leaks", "sinks"):
        if options.get(product):
            raise tolvane.Error(f"{product}: a product of the whole grid, not made by the tiles", "usage", ())
    for heights in ("points", "lakes", "streams"):
        if options.get(heights):
            # A summit's shape follows the whole flat inside its last line, a lake's level the lines
            # around it, which a tile may cut.
            raise tolvane.Error(f"{heights}: the map's own heights shape the whole grid at once, which no tile "
                                "holds; use tolvane.geo.elevation", "usage", ())
    if options.get("drainage") not in (None, "auto", "none"):
        # Depressions and flats cross tile edges: drainage needs the whole grid at once.
        raise tolvane.Error("drainage: runs on the whole grid at once, which no tile holds; use "
                            "tolvane.geo.elevation", "usage", ())
    options["drainage"] = "none"  # each tile as drawn, whatever the library's default
    options.setdefault("threads", 1)  # Dask already runs the tiles in parallel
    # Workers may run in other folders: they get the paths this process reads,
    # and check that the files there are the ones read here.
    source = _resolved(source)
    if options.get("mask") is not None:
        options["mask"] = _resolved(options["mask"])
    files = tuple((p, _identity(p)) for p in (source, options.get("mask")) if _identity(p) is not None)
    wait_for_workers = WORKER_WAIT if worker_wait is None else float(worker_wait)
    request = tolvane.geo.Request(source, output, resolution, attribute, **options)
    whole = _geo.Source(request)  # grid and levels, decided once for the whole area
    grid = tolvane.geo.Grid(**whole.grid.as_dict())
    request = request.with_grid(whole.grid)
    if options.get("repair_gaps") is None and not whole.raster:
        # The gaps the whole sheet's lines need closed: every worker closes the same.
        request = request.with_gaps(whole.gap_distance)
    writer = _geo.Writer(request, whole)
    levels = tolvane.geo._levels(whole.table)
    warnings = [tolvane.geo.worded(line, "flag") for line in whole.warnings]
    del whole
    tiles = _layout(grid, tile)
    result = TilesResult(str(output), grid, levels, len(tiles), warnings=warnings)

    client, cluster = _client(client, workers)
    try:
        # A bounded number of tiles in flight: the finished ones wait in the
        # workers only until this process writes them.
        in_flight = max(2, 2 * sum(client.nthreads().values()))
        run = uuid.uuid4().hex[:8]
        todo = iter(tiles)
        pending = set()
        tile_of = {}

        def submit():
            t = next(todo, None)
            if t is not None:
                fut = client.submit(_run_tile, request, t, halo, files,
                                    key=f"tolvane-tile-{run}-{t.row}-{t.column}", pure=False)
                tile_of[fut.key] = t
                pending.add(fut)

        for _ in range(in_flight):
            submit()
        done = 0
        alone_since = None  # when the cluster was first seen without a worker
        while pending:
            try:
                finished, _ = wait(list(pending), timeout=1.0, return_when="FIRST_COMPLETED")
            except TimeoutError:
                finished = ()
            if not finished:
                if client.nthreads():
                    alone_since = None
                elif alone_since is None:
                    alone_since = time.monotonic()
                elif time.monotonic() - alone_since > wait_for_workers:
                    raise tolvane.Error(f"no Dask worker left for {len(pending)} tiles after waiting "
                                        f"{wait_for_workers:g} s: nothing written to {output}", "failure", ())
                continue
            for fut in finished:
                pending.discard(fut)
                done += 1
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
                if not result.failed:  # after a failure the tiles are only tried, for the message
                    writer.write(t.r0, t.c0, np.full((t.rows, t.columns), np.nan) if cells is None else cells)
                if progress is not None:
                    progress(done / len(tiles))
                submit()
        if result.failed:
            writer.discard()
        else:
            writer.commit()
    except BaseException:
        # Ctrl-C, a progress that raised, a lost scheduler: the temporary goes
        # now, not when the traceback lets go of the writer; an earlier output stays.
        writer.discard()
        raise
    finally:
        if cluster is not None:
            client.close()
            cluster.close()

    if result.failed:
        lines = [result.failed[k] for k in sorted(result.failed)]
        raise TilesError(f"{len(lines)} of {len(tiles)} tiles failed (nothing written to {output}): "
                         + "; ".join(lines), result)
    return result


def _connect(address):
    """A client of the scheduler at address, or one line saying it does not answer."""
    from distributed import Client
    try:
        return Client(address, timeout="5s")
    except (OSError, TimeoutError) as e:
        raise tolvane.Error(f"the Dask scheduler {address} does not answer: {e}", "failure", ()) from None


# Options of tolvane.geo the tiles do not take: products of the whole grid,
# -strict, which judges the leaks of the whole grid, -drainage and the
# depressions it keeps (-sinks), which cross the tiles' edges, and the spot
# heights, the lakes and the streams, whose flats and lines do too.
_NOT_TILED = {"contours", "leaks", "strict", "drainage", "sinks", "points", "points_a", "points_attribute", "lakes",
              "lakes_a", "lakes_attribute", "streams"}
_POSITIONAL = {"source", "output", "resolution"}


def _names(option):
    """The command-line names of an option: tolvane-geo's flag, and as long options
    the flag and the Python keyword (with _ or -)."""
    flag, keyword = option["flag"], option["keyword"]
    names = [flag] if flag else []
    for long in ([flag[1:]] if len(flag) > 2 else []) + ([keyword, keyword.replace("_", "-")] if len(keyword) > 1
                                                          else []):
        if f"--{long}" not in names:
            names.append(f"--{long}")
    return names


def _add_options(parser):
    """The arguments of the option table, each stored under its Python keyword;
    their values go to the library's parser as words, unchecked here."""
    for o in tolvane.geo.options("flag"):
        if not o["keyword"] or o["key"] in _NOT_TILED | _POSITIONAL:
            continue
        help = " ".join(o["help"].split("\n")).replace("%", "%%")
        if o["kind"] == "flag":
            parser.add_argument(*_names(o), dest=o["keyword"], action="store_true", default=None, help=help)
        elif o["repeatable"]:
            parser.add_argument(*_names(o), dest=o["keyword"], action="append", metavar=o["values"][0], help=help)
        else:
            n = len(o["values"])
            parser.add_argument(*_names(o), dest=o["keyword"], nargs=None if n == 1 else n,
                                metavar=o["values"][0] if n == 1 else o["values"], help=help)


def main(argv=None):
    """``python3 -m tolvane.tiles``: the command line of elevation(), with tolvane-geo's option names."""
    p = argparse.ArgumentParser(
        prog="python3 -m tolvane.tiles",
        description="Elevation model of contour lines, computed tile by tile on Dask, into a GeoTIFF.")
    p.add_argument("input", help="contour lines (any vector format GDAL reads) or a contour raster")
    p.add_argument("output", help="GeoTIFF to write")
    p.add_argument("resolution", nargs="?", help="pixel size in map units (not for a contour raster)")
    _add_options(p)
    p.add_argument("--tile", type=int, default=2048, help="tile size in pixels (default: 2048)")
    p.add_argument("--halo", type=int, default=256, help="pixels computed around each tile (default: 256)")
    p.add_argument("--workers", type=int, help="worker processes of the local cluster (default: one per core)")
    p.add_argument("--scheduler", help="address of a running Dask scheduler to use instead")
    p.add_argument("-q", "--quiet", action="store_true", help="no progress")
    a = p.parse_args(argv)
    tiled = {o["keyword"] for o in tolvane.geo.options() if o["keyword"]} - _NOT_TILED - _POSITIONAL
    options = {k: getattr(a, k) for k in tiled if getattr(a, k) is not None}
    options.setdefault("attribute", "elev")

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

    client = None
    try:
        client = _connect(a.scheduler) if a.scheduler else None
        r = elevation(a.input, a.output, a.resolution, options.pop("attribute"), a.tile, a.halo, client,
                      workers=a.workers, progress=None if a.quiet else progress, **options)
    except TilesError as e:
        if not a.quiet and shown[0] <= 40:
            sys.stdout.write("\n")
        for line in sorted(e.result.failed.items()):
            print(f"error: {line[1]}", file=sys.stderr)
        print(f"{len(e.result.failed)} of {e.result.tiles} tiles failed; {a.output} was not written",
              file=sys.stderr)
        return 1
    except tolvane.Error as e:
        # The options named as on this command line, tolvane-geo's flags.
        print(f"error: {tolvane.geo.worded(e.text, 'flag')}", file=sys.stderr)
        return 1
    except (ValueError, RuntimeError, OSError) as e:
        print(f"error: {e}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print("error: interrupted", file=sys.stderr)
        return 130
    finally:
        if client is not None:
            client.close()
    if not a.quiet:
        low, high, step = r.levels
        print(f"{a.output}: {r.grid.columns} x {r.grid.rows} pixels in {r.tiles} tiles, "
              f"levels {low:g} to {high:g} every {step:g}")
        if r.empty:
            print(f"{len(r.empty)} tiles with no contour within reach left as nodata")
    for line in r.warnings:
        print(f"warning: {line}", file=sys.stderr)
    return 0


if __name__ == "__main__":
    # Run from tolvane.tiles itself, so that the tasks refer to its functions and
    # not to this script's copy of them.
    from tolvane.tiles import main as _main

    sys.exit(_main())
