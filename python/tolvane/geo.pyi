from dataclasses import dataclass
from os import PathLike
from typing import Any, Callable, Dict, List, Literal, Optional, Sequence, Tuple, Union

_Path = Union[str, PathLike]

ERROR_KINDS: Tuple[str, ...]

_Naming = Literal["flag", "keyword", "parameter"]

def worded(text: str, naming: _Naming = ...) -> str: ...
def options(naming: _Naming = ...) -> List[Dict[str, Any]]: ...

class Request:
    def __init__(
        self,
        source: _Path,
        output: Optional[_Path] = ...,
        resolution: Union[None, float, Tuple[float, float]] = ...,
        attribute: str = ...,
        *,
        z: bool = ...,
        layer: Optional[str] = ...,
        where: Optional[str] = ...,
        extent: Optional[Tuple[float, float, float, float]] = ...,
        tap: bool = ...,
        t_srs: Optional[str] = ...,
        levels: Optional[Tuple[float, float, float]] = ...,
        scale: float = ...,
        smoothing: int = ...,
        repair_gaps: Optional[float] = ...,
        mask: Optional[_Path] = ...,
        surface: str = ...,
        drainage: str = ...,
        dtype: str = ...,
        nodata: Optional[float] = ...,
        cog: bool = ...,
        creation_options: Sequence[str] = ...,
        contours: Optional[_Path] = ...,
        hillshade: Optional[_Path] = ...,
        leaks: Optional[_Path] = ...,
        threads: int = ...,
        strict: bool = ...,
        oversample: Union[None, int, str] = ...,
        wm: float = ...,
    ) -> None: ...
    @property
    def settings(self) -> List[Tuple[str, Tuple[str, ...]]]: ...

@dataclass(frozen=True)
class Grid:
    origin_x: float
    origin_y: float
    xres: float
    yres: float
    rows: int
    columns: int
    srs_wkt: str = ...
    def geotransform(self, row: int = ..., column: int = ...) -> Tuple[float, float, float, float, float, float]: ...

@dataclass
class Report:
    grid: Grid
    levels: Tuple[float, float, float]
    scale: float
    base: int
    lines: int
    line_joins: int
    grid_joins: int
    gap_distance: float
    radius: float
    open_ends: int
    ends_left: int
    footprint: bool
    outside: int
    hidden: int
    contour_pixels: int
    off_level_pixels: int
    missing_levels: Tuple[float, ...]
    zone_pixels: int
    leak_pixels: int
    nodata: float
    clamped: int
    nodata_in_data: int
    oversample: int
    windows: int
    without_altitude: Tuple[int, ...]
    without_geometry: Tuple[int, ...]
    notes: List[str]
    warnings: List[str]

def elevation(
    source: _Path,
    output: _Path,
    resolution: Union[None, float, Tuple[float, float]] = ...,
    attribute: str = ...,
    *,
    progress: Optional[Callable[[float], object]] = ...,
    z: bool = ...,
    layer: Optional[str] = ...,
    where: Optional[str] = ...,
    extent: Optional[Tuple[float, float, float, float]] = ...,
    tap: bool = ...,
    t_srs: Optional[str] = ...,
    levels: Optional[Tuple[float, float, float]] = ...,
    scale: float = ...,
    smoothing: int = ...,
    repair_gaps: Optional[float] = ...,
    mask: Optional[_Path] = ...,
    surface: str = ...,
    drainage: str = ...,
    dtype: str = ...,
    nodata: Optional[float] = ...,
    cog: bool = ...,
    creation_options: Sequence[str] = ...,
    contours: Optional[_Path] = ...,
    hillshade: Optional[_Path] = ...,
    leaks: Optional[_Path] = ...,
    threads: int = ...,
    strict: bool = ...,
    oversample: Union[None, int, str] = ...,
    wm: float = ...,
) -> Report: ...
def run(request: Request, progress: Optional[Callable[[float], object]] = ..., naming: _Naming = ...) -> Report: ...
