from dataclasses import dataclass
from typing import Callable, Iterable, Literal, Optional, Tuple, Union, overload

import numpy as np
import numpy.typing as npt

EMPTY: int
ERROR_KINDS: Tuple[str, ...]

class Error(ValueError):
    kind: Optional[str]
    values: Tuple[int, ...]
    key: str
    text: str
    def __init__(
        self, message: str, kind: Optional[str] = ..., values: Iterable[int] = ..., key: str = ...,
        text: Optional[str] = ...
    ) -> None: ...

@dataclass
class Result:
    cells: npt.NDArray[np.int32]
    contour_pixels: int
    off_level_pixels: int
    missing_levels: Tuple[int, ...]
    zones: int
    zone_pixels: int
    leak_pixels: int
    leak_mask: Optional[npt.NDArray[np.uint8]] = ...

def version() -> str: ...
@overload
def elevation(
    contours: npt.ArrayLike,
    lowest: int,
    highest: int,
    interval: int,
    smoothing: int = ...,
    progress: Optional[Callable[[float], object]] = ...,
    *,
    threads: int = ...,
    report: Literal[False] = ...,
    leak_mask: bool = ...,
) -> npt.NDArray[np.int32]: ...
@overload
def elevation(
    contours: npt.ArrayLike,
    lowest: int,
    highest: int,
    interval: int,
    smoothing: int = ...,
    progress: Optional[Callable[[float], object]] = ...,
    *,
    threads: int = ...,
    report: Literal[True],
    leak_mask: bool = ...,
) -> Result: ...
