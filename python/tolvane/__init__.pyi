from typing import Callable, Iterable, Optional, Tuple

import numpy as np
import numpy.typing as npt

EMPTY: int

class Error(ValueError):
    kind: Optional[str]
    values: Tuple[int, ...]
    def __init__(self, message: str, kind: Optional[str] = ..., values: Iterable[int] = ...) -> None: ...

def version() -> str: ...
def elevation(
    contours: npt.ArrayLike,
    lowest: int,
    highest: int,
    interval: int,
    smoothing: int = ...,
    progress: Optional[Callable[[float], object]] = ...,
    *,
    threads: int = ...,
) -> npt.NDArray[np.int32]: ...
