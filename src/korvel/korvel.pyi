from datetime import datetime as datetime
from time import mktime as mktime, time as time
from typing import Any, BinaryIO, Callable, Tuple
import zlib as zlib

import numpy as np
import numpy.typing as npt

Frames = Tuple[npt.NDArray[np.void], npt.NDArray[np.uint8]]

DT: np.dtype[np.void]
DT64: np.dtype[np.void]
DT64_def: list[tuple[str, str]]

class BLFError(Exception): ...
class Continuable(Exception): ...

def newType(_len: Any) -> np.dtype[np.void]: ...
def pad(arr: Any) -> Any: ...
def read(file: BinaryIO) -> Frames: ...

def sig_values(
    index: npt.NDArray[np.void],
    chunk: npt.NDArray[np.uint8],
    ims: npt.NDArray[np.int32],
    can_id: int,
    valtype: int,
    rshift: int,
    scale: float,
    offset: float,
    pad: int,
) -> npt.NDArray[np.float64]: ...
def signal_decoder(
    can_id: int,
    start: int,
    length: int,
    big_endian: Any = True,
    is_signed: Any = False,
    is_float: Any = False,
    scale: float = 1.0,
    offset: float = 0.0,
) -> Callable[..., npt.NDArray[np.float64]]: ...
def flag_test(index: npt.NDArray[np.void], mask: int) -> npt.NDArray[np.bool_]: ...
