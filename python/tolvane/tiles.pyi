from dataclasses import dataclass
from os import PathLike
from typing import Any, Callable, Dict, List, Optional, Sequence, Tuple, Union

import distributed

from . import Error
from .geo import Grid

_Path = Union[str, PathLike]

@dataclass
class TilesResult:
    output: str
    grid: Grid
    levels: Tuple[float, float, float]
    tiles: int
    empty: List[Tuple[int, int]]
    failed: Dict[Tuple[int, int], str]
    warnings: List[str]

class TilesError(Error):
    result: Optional[TilesResult]
    def __init__(self, message: str, result: Optional[TilesResult] = ...) -> None: ...

WORKER_WAIT: float

def elevation(
    source: _Path,
    output: _Path,
    resolution: Union[None, float, Tuple[float, float]] = ...,
    attribute: str = ...,
    tile: int = ...,
    halo: int = ...,
    client: Optional[distributed.Client] = ...,
    *,
    workers: Optional[int] = ...,
    progress: Optional[Callable[[float], object]] = ...,
    worker_wait: Optional[float] = ...,
    **options: Any,
) -> TilesResult: ...
def main(argv: Optional[Sequence[str]] = ...) -> int: ...
