import os
import zlib as zlib
from collections.abc import Iterable, Iterator, Sequence
from datetime import datetime as datetime
from time import mktime as mktime
from time import time as time
from typing import Any, BinaryIO, Callable, Literal, TypedDict

import numpy as np
import numpy.typing as npt
from typing_extensions import TypeAlias

Frames: TypeAlias = tuple[npt.NDArray[np.void], npt.NDArray[np.uint8]]
Source: TypeAlias = str | os.PathLike[str] | BinaryIO

class Application(TypedDict):
    id: int
    name: str
    version: tuple[int, int, int]

class Info(TypedDict):
    object_count: int
    application: Application
    file_size: int
    uncompressed_size: int
    start: int
    stop: int
    # offset, size, uncompressed_size, method (and first_timestamp with times=True)
    containers: npt.NDArray[np.void]
    # Walked from the whole log when first looked up.
    channels: dict[str, npt.NDArray[Any]]

DT: np.dtype[np.void]
DT64: np.dtype[np.void]
DT64_def: list[tuple[str, str]]
INFLATER: str
LIN: np.dtype[np.void]
ETHERNET: np.dtype[np.void]
FLEXRAY: np.dtype[np.void]

class BLFError(Exception): ...
class BLFWarning(UserWarning): ...
class Continuable(Exception): ...
class TextError(BLFError): ...
class TextWarning(UserWarning): ...

def newType(_len: Any) -> np.dtype[np.void]: ...
def pad(arr: Any) -> Any: ...
def read(
    file: Source,
    *,
    threads: int | None = None,
    verbose: bool = True,
    containers: tuple[int, int] | None = None,
    errors: str = "raise",
    start: int | np.datetime64 | None = None,
    stop: int | np.datetime64 | None = None,
    exact_time: bool = False,
    all_errors: bool = False,
) -> Frames: ...
def iter_read(
    file: Source,
    frames: int = 1000000,
    *,
    threads: int | None = None,
    verbose: bool = True,
    errors: str = "raise",
    start: int | np.datetime64 | None = None,
    stop: int | np.datetime64 | None = None,
    exact_time: bool = False,
    all_errors: bool = False,
) -> Iterator[Frames]: ...
def info(
    file: Source, *, verbose: bool = True, times: bool = False, channels: bool = False
) -> Info: ...
def read_lin(
    file: Source,
    *,
    threads: int | None = None,
    verbose: bool = True,
    errors: str = "raise",
    start: Any = None,
    stop: Any = None,
    containers: tuple[int, int] | None = None,
) -> Frames: ...
def read_ethernet(
    file: Source,
    *,
    threads: int | None = None,
    verbose: bool = True,
    errors: str = "raise",
    start: Any = None,
    stop: Any = None,
    containers: tuple[int, int] | None = None,
) -> Frames: ...
def read_flexray(
    file: Source,
    *,
    threads: int | None = None,
    verbose: bool = True,
    errors: str = "raise",
    start: Any = None,
    stop: Any = None,
    containers: tuple[int, int] | None = None,
) -> Frames: ...
def read_buses(
    file: Source,
    buses: Sequence[str] = ("can", "lin", "ethernet", "flexray", "events"),
    *,
    threads: int | None = None,
    verbose: bool = True,
    errors: str = "raise",
    start: Any = None,
    stop: Any = None,
    containers: tuple[int, int] | None = None,
) -> dict[str, Any]: ...
def events(
    file: Source,
    *,
    threads: int | None = None,
    verbose: bool = True,
    errors: str = "raise",
    start: Any = None,
    stop: Any = None,
    containers: tuple[int, int] | None = None,
) -> dict[str, npt.NDArray[Any]]: ...
def write_pcapng(file: Source, frames: Frames, *, verbose: bool = True) -> int: ...
def write(
    file: Source,
    arr: Frames | npt.NDArray[np.void],
    *,
    threads: int | None = None,
    verbose: bool = True,
    exact_time: bool = False,
) -> None: ...
def to_homo(index_chunk_tuple: Frames, *, verbose: bool = True) -> npt.NDArray[np.void]: ...
def to_index_chunk(homo_arr: npt.NDArray[np.void], *, verbose: bool = True) -> Frames: ...
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
    exact: tuple[Any, ...] | None = None,
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
def _align(
    grid: npt.NDArray[np.int64],
    timeout: int,
    groups: list[tuple[npt.NDArray[np.int64], list[tuple[npt.NDArray[Any], bool, npt.NDArray[Any]]]]],
    threads: int | None = None,
) -> None: ...
_TRANSFER: np.dtype[np.void]

def _frame_bits(
    index: npt.NDArray[np.void], chunk: npt.NDArray[np.uint8], skip: bool = False
) -> Any: ...
def _busload(
    index: npt.NDArray[np.void],
    chunk: npt.NDArray[np.uint8],
    bitrate: npt.NDArray[np.float64],
    data_bitrate: npt.NDArray[np.float64],
    window: int,
    skip: bool = False,
) -> Any: ...
def _cycles(
    index: npt.NDArray[np.void],
    chunk: npt.NDArray[np.uint8],
    gap: float,
    keys: npt.NDArray[np.uint32],
    expected: npt.NDArray[np.float64],
    pgn: tuple[npt.NDArray[Any], ...] | None = None,
    database: bool = False,
) -> tuple[dict[str, npt.NDArray[Any]], dict[str, npt.NDArray[Any]]]: ...

class _J1939Transfers:
    def __init__(self, fast_packet: Iterable[int], channels: Iterable[int] | None) -> None: ...
    def feed(
        self, index: npt.NDArray[np.void], chunk: npt.NDArray[np.uint8]
    ) -> tuple[npt.NDArray[np.void], npt.NDArray[np.uint8], npt.NDArray[np.uint64]]: ...
    def finish(
        self,
    ) -> tuple[npt.NDArray[np.void], npt.NDArray[np.uint8], npt.NDArray[np.uint64]]: ...

class _IsotpTransfers:
    def __init__(
        self,
        ids: Iterable[tuple[int, int, int, bool]] | None,
        addressing: str,
        channels: Iterable[int] | None,
    ) -> None: ...
    def feed(
        self, index: npt.NDArray[np.void], chunk: npt.NDArray[np.uint8]
    ) -> tuple[npt.NDArray[np.void], npt.NDArray[np.uint8], npt.NDArray[np.uint64]]: ...
    def finish(
        self,
    ) -> tuple[npt.NDArray[np.void], npt.NDArray[np.uint8], npt.NDArray[np.uint64]]: ...

def flag_test(index: npt.NDArray[np.void], mask: int) -> npt.NDArray[np.bool_]: ...

# Text logs: ASC, candump -l and PCAN trace files.
def read_asc(file: Source, *, verbose: bool = True) -> Frames: ...
def read_candump(file: Source, *, verbose: bool = True) -> Frames: ...
def read_trc(file: Source, *, verbose: bool = True) -> Frames: ...
def candump_interfaces(file: Source) -> list[str]: ...
def iter_text(
    file: Source,
    frames: int = 1000000,
    *,
    format: Literal["asc", "candump", "trc"] | None = None,
    verbose: bool = True,
) -> Iterator[Frames]: ...
def write_asc(file: Source, frames: Frames, *, verbose: bool = True) -> None: ...
def read_mf4(
    file: Source,
    *,
    verbose: bool = True,
    errors: Literal["raise", "skip"] = "raise",
    threads: int | None = None,
) -> Frames: ...
def _read_text_buses(
    file: Source,
    format: str,
    buses: Sequence[str],
    *,
    verbose: bool = True,
    _notices: list[Any] | None = None,
) -> dict[str, Any]: ...
def _kept_pages() -> tuple[int, int]: ...
def _block(nbytes: int, *, _estimate: bool = False) -> np.ndarray: ...
def _read_mf4_buses(
    file: Source,
    buses: Sequence[str],
    *,
    verbose: bool = True,
    errors: Literal["raise", "skip"] = "raise",
    threads: int | None = None,
    _notices: list[Any] | None = None,
) -> dict[str, tuple[np.ndarray, np.ndarray]]: ...
def write_mf4(
    file: Source,
    frames: Frames | npt.NDArray[np.void],
    *,
    verbose: bool = True,
    threads: int | None = None,
) -> None: ...
