import zlib as zlib
from collections.abc import Iterable
from datetime import datetime as datetime
from time import mktime as mktime
from time import time as time
from typing import Any, BinaryIO, Callable

import numpy as np
import numpy.typing as npt
from typing_extensions import TypeAlias

Frames: TypeAlias = tuple[npt.NDArray[np.void], npt.NDArray[np.uint8]]

DT: np.dtype[np.void]
DT64: np.dtype[np.void]
DT64_def: list[tuple[str, str]]
INFLATER: str

class BLFError(Exception): ...
class Continuable(Exception): ...

def newType(_len: Any) -> np.dtype[np.void]: ...
def pad(arr: Any) -> Any: ...
def read(file: BinaryIO, *, threads: int | None = None) -> Frames: ...
def write(
    file: BinaryIO, arr: Frames | npt.NDArray[np.void], *, threads: int | None = None
) -> None: ...
def to_homo(index_chunk_tuple: Frames) -> npt.NDArray[np.void]: ...
def to_index_chunk(homo_arr: npt.NDArray[np.void]) -> Frames: ...
def concat(list_of_tuples: Iterable[Frames]) -> Frames: ...
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
    *,
    unsigned: bool = False,
    mux: Iterable[tuple[int, int, bool, bool, Iterable[int]]] = (),
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
    *,
    multiplexers: Iterable[tuple[int, int, bool, bool, Iterable[int]]] = (),
) -> Callable[..., npt.NDArray[np.float64]]: ...
def _decode_tables(
    index: npt.NDArray[np.void],
    chunk: npt.NDArray[np.uint8],
    messages: Iterable[tuple[Any, ...]],
    threads: int | None = None,
) -> list[Any]: ...
def flag_test(index: npt.NDArray[np.void], mask: int) -> npt.NDArray[np.bool_]: ...
