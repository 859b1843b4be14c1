"""tolvane: from a grid of contour altitudes to an elevation model.

    import numpy as np, tolvane
    grid = np.full((rows, columns), tolvane.EMPTY, dtype=np.int32)
    # ... put contour altitudes on the contour pixels ...
    dem = tolvane.elevation(grid, 100, 1000, 50, smoothing=5)

``tolvane.elevation`` runs the same core as the dialog program: its result is
cell for cell the ``_m4.raw`` image the dialog writes for the same contour image
and answers. ``tolvane.geo`` runs it from contour lines to a GeoTIFF, as the
command ``tolvane-geo`` does, and ``tolvane.tiles`` tile by tile on a Dask
cluster.
"""

import operator
from dataclasses import dataclass

import numpy as np

from . import _core

__all__ = ["EMPTY", "ERROR_KINDS", "Error", "Result", "elevation", "version"]

#: Cell without altitude, in the contour grid and (only when the grid holds no
#: altitude at all) in the result.
EMPTY = _core.EMPTY

_INT_MIN, _INT_MAX = -(2**31), 2**31 - 1


#: The kinds of the core's errors (``Error.kind``), as the core defines them.
ERROR_KINDS = _core.ERROR_KINDS


class Error(ValueError):
    """A run of the core or of ``tolvane.geo`` refused its input or failed.

    ``str(error)`` is the program's one-line message; ``kind`` names the case:
    one of ``ERROR_KINDS`` for the core (``"bad_size"``, ``"zero_interval"``,
    ``"too_many_zones"``, ``"levels_out_of_range"``, ``"bad_smoothing"``,
    ``"no_altitude"``, ``"no_memory"``, ``"cancelled"``, ``"nested_call"``,
    ``"altitude_out_of_range"``: a contour cell beyond 9,999,999 either way), or one of ``tolvane.geo.ERROR_KINDS``
    (``"failure"``, ``"usage"``, ``"cancelled"``); ``values`` holds the numbers
    involved. ``key`` is the key of the option at fault in
    ``tolvane.geo.options()`` (empty when none), and ``text`` the message with
    the options it names as tokens, for ``tolvane.geo.worded``.
    """

    def __init__(self, message, kind=None, values=(), key="", text=None):
        super().__init__(message)
        self.kind = kind
        self.values = tuple(values)
        self.key = key
        self.text = message if text is None else text

    def __reduce__(self):
        # Raised in a Dask worker, it travels to the client by pickle.
        return (type(self), (str(self), self.kind, self.values, self.key, self.text))


_core._set_error_type(Error)


@dataclass
class Result:
    """What ``elevation(..., report=True)`` returns: the cells and what the core
    found about how the levels fit the grid."""

    cells: np.ndarray
    contour_pixels: int  # cells that are not EMPTY
    off_level_pixels: int  # contour cells whose altitude is no level of the table
    missing_levels: tuple  # levels of the table that no cell holds
    zones: int  # zones of the level table
    zone_pixels: int  # cells the zone labelling reached
    leak_pixels: int  # zone cells whose zone leaked past contours of other levels
    leak_mask: object = None  # uint8 array, 1 on leak cells (with leak_mask=True)


def version():
    """The core's version, ``"tolvane X.Y.Z"``."""
    return _core.version()


def _whole(name, value):
    try:
        return operator.index(value)
    except TypeError:
        raise TypeError(f"{name} must be an integer, not {type(value).__name__}") from None


def _as_grid(contours):
    """contours as a C-contiguous int32 array, copied only when it must be."""
    grid = np.asarray(contours)
    if grid.ndim != 2:
        raise ValueError(f"contours must be a 2-D array, not {grid.ndim}-D")
    if grid.dtype == np.int32:
        return np.ascontiguousarray(grid)
    kind = grid.dtype.kind
    if kind not in "iuf":
        raise TypeError(f"contours must hold integers; dtype {grid.dtype} is refused")
    if grid.size:
        if kind == "f":
            bad = ~np.isfinite(grid)
            bad[~bad] = grid[~bad] != np.trunc(grid[~bad])
            bad |= (grid < _INT_MIN) | (grid > _INT_MAX)
        else:
            bad = (grid < _INT_MIN) | (grid > _INT_MAX)
        if bad.any():
            where = tuple(int(i) for i in np.argwhere(bad)[0])
            raise TypeError(
                f"contours of dtype {grid.dtype} do not convert exactly to int32: "
                f"cell {where} holds {grid[where]!r}"
            )
    return np.ascontiguousarray(grid, dtype=np.int32)


def elevation(contours, lowest, highest, interval, smoothing=1, progress=None, *, threads=0, report=False,
              leak_mask=False):
    """The elevation model of a grid of contour altitudes.

    contours: 2-D array (any memory layout) whose cells hold ``EMPTY`` or the
        altitude of the contour through them. int32 is used as it is; other
        integer or float arrays are converted when every cell converts exactly,
        otherwise ``TypeError``.
    lowest, highest, interval: the levels, as the dialog asks them: zone k lies
        between ``lowest + (k - 1) * interval`` and ``lowest + k * interval``,
        for k = 1 .. (highest - lowest) // interval (at most 254).
    smoothing: Bezier smoothing size, 1 (none), 3, 5, 7 or 9.
    progress: optional callable taking the fraction of the run done, 0 to 1.
        It is called from the calling thread; if it raises, the run stops
        after the band it is in and the exception reaches the caller.
    threads: worker threads of the core; 0 takes ``TOLVANE_THREADS`` from the
        environment, else every core. The result is the same for every count.
    report: return a ``Result`` (the cells and what the core found: off-level
        pixels, missing levels, zones, leaks) instead of the cells alone.
    leak_mask: with ``report``, also the mask of the leak cells.

    Returns a new int32 array of the same shape: cell for cell the ``_m4.raw``
    image the dialog program writes for the same image and answers.

    Raises ``tolvane.Error`` when the core refuses the input (an empty grid, a
    zero interval, more than 254 zones, levels outside the int range, a bad
    smoothing size, no altitude at all) or cannot allocate its grids, and of
    kind ``"nested_call"`` when called from its own ``progress``.

    The GIL is released while the core runs. Calls from several threads are
    safe but serialised: the core runs one grid at a time. Ctrl-C stops the
    run within a band of lines and raises ``KeyboardInterrupt``.
    """
    grid = _as_grid(contours)
    levels = [_whole(n, v) for n, v in (("lowest", lowest), ("highest", highest), ("interval", interval))]
    smoothing = _whole("smoothing", smoothing)
    threads = _whole("threads", threads)
    if progress is not None and not callable(progress):
        raise TypeError("progress must be callable or None")
    if any(not _INT_MIN <= v <= _INT_MAX for v in levels):
        raise Error(
            "levels outside the int range: lowest {}, highest {}, interval {}".format(*levels),
            "levels_out_of_range",
            levels,
        )
    if not _INT_MIN <= smoothing <= _INT_MAX:
        raise Error(f"smoothing size {smoothing} outside the int range", "bad_smoothing", (smoothing,))
    if not 0 <= threads <= _INT_MAX:
        raise ValueError(f"threads must be 0 or more, not {threads}")
    out = _core.elevation(grid, *levels, smoothing, progress, threads, bool(report), bool(report and leak_mask))
    return Result(**out) if report else out
