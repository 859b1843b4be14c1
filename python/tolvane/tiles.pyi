from dataclasses import dataclass
from os import PathLike
from typing import Callable, Dict, List, Optional, Sequence, Tuple, Union

import distributed

from . import Error

_Path = Union[str, PathLike]

@dataclass(frozen=True)
class Grid:
    origin_x: float
    origin_y: float
    pixel_x: float
    pixel_y: float
    rows: int
    columns: int
    srs_wkt: str = ...
    def geotransform(self, row: int = ..., column: int = ...) -> Tuple[float, float, float, float, float, float]: ...

@dataclass
class TilesResult:
    output: str
    grid: Grid
    levels: Tuple[int, int, int]
    tiles: int
    empty: List[Tuple[int, int]]
    failed: Dict[Tuple[int, int], str]

class TilesError(Error):
    result: Optional[TilesResult]
    def __init__(self, message: str, result: Optional[TilesResult] = ...) -> None: ...

def elevation(
    vectors: _Path,
    output: _Path,
    resolution: Union[None, float, Tuple[float, float]],
    attribute: str = ...,
    tile: int = ...,
    halo: int = ...,
    client: Optional[distributed.Client] = ...,
    smoothing: int = ...,
    *,
    layer: Optional[str] = ...,
    levels: Optional[Tuple[int, int, int]] = ...,
    extent: Optional[Tuple[float, float, float, float]] = ...,
    cog: bool = ...,
    workers: Optional[int] = ...,
    threads: int = ...,
    creation_options: Optional[Sequence[str]] = ...,
    progress: Optional[Callable[[float], object]] = ...,
) -> TilesResult: ...
def main(argv: Optional[Sequence[str]] = ...) -> int: ...
