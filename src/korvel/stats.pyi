from typing import Any

import numpy as np
import numpy.typing as npt

from .tables import Table

__all__ = ["busload", "cycles", "frame_bits", "gaps"]

def frame_bits(frames: Any) -> npt.NDArray[np.uint16]: ...
def busload(
    frames: Any,
    bitrate: float | dict[int, float],
    *,
    data_bitrate: float | dict[int, float] | None = None,
    window: int = 1_000_000_000,
) -> Table: ...
def cycles(frames: Any, *, db: Any = None, gap: float = 3.0) -> Table: ...
def gaps(frames: Any, *, db: Any = None, gap: float = 3.0) -> Table: ...
