from typing import Any

import numpy as np
import numpy.typing as npt

from .tables import Table

__all__ = ["StatsWarning", "busload", "cycles", "frame_bits", "gaps"]

class StatsWarning(UserWarning): ...

def frame_bits(frames: Any, *, errors: str = "raise") -> npt.NDArray[np.uint16]: ...
def busload(
    frames: Any,
    bitrate: float | dict[int, float],
    *,
    data_bitrate: float | dict[int, float] | None = None,
    window: int = 1_000_000_000,
    errors: str = "raise",
) -> Table: ...
def cycles(
    frames: Any, *, db: Any = None, gap: float = 3.0, j1939: bool | str = "auto"
) -> Table: ...
def gaps(
    frames: Any, *, db: Any = None, gap: float = 3.0, j1939: bool | str = "auto"
) -> Table: ...
