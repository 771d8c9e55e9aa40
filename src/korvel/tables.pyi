import os
from collections.abc import Iterator, Mapping, Sequence
from dataclasses import dataclass
from typing import Any, BinaryIO

import numpy.typing as npt
from typing_extensions import TypeAlias

from .korvel import Frames

@dataclass(frozen=True)
class SignalPlan:
    name: str
    start: int
    length: int
    big_endian: bool
    is_signed: bool
    is_float: bool
    scale: int | float
    offset: int | float
    unit: str = ""
    mux: int = -1
    mux_ids: tuple[int, ...] = ()
    choices: tuple[tuple[int, str], ...] = ()
    int_text: bool = True
    def number_text(self, raw: int) -> str: ...
    def exact(self) -> tuple[Any, ...]: ...

@dataclass(frozen=True)
class MessagePlan:
    name: str
    can_id: int
    signals: tuple[SignalPlan, ...]
    channels: tuple[int, ...] = ()
    extended: bool | None = None
    j1939: bool = False
    by_pgn: bool = False
    cycle_time: int | float | None = None
    @property
    def is_extended(self) -> bool: ...
    @property
    def pdu1(self) -> bool: ...
    def address_columns(self) -> tuple[str, ...]: ...

@dataclass(frozen=True)
class DecodePlan:
    messages: tuple[MessagePlan, ...] = ()
    def select(self, names: Sequence[str] | None) -> DecodePlan: ...
    def matching(self, j1939: bool | str = "auto") -> DecodePlan: ...
    def native(self, choices: bool, j1939_na: str = "nan") -> list[tuple[Any, ...]]: ...

Database: TypeAlias = Any  # a cantools database
DatabaseSource: TypeAlias = Database | str | os.PathLike[str] | Sequence[Any]

class Table(Mapping[str, npt.NDArray[Any]]):
    name: str
    units: dict[str, str]
    def __init__(
        self,
        name: str,
        columns: dict[str, npt.NDArray[Any]],
        units: dict[str, str],
        labels: dict[str, Any] | None = None,
        *,
        plan: MessagePlan | None = None,
        raws: dict[str, tuple[npt.NDArray[Any], npt.NDArray[Any]]] | None = None,
    ) -> None: ...
    @property
    def num_rows(self) -> int: ...
    def __getitem__(self, key: str) -> npt.NDArray[Any]: ...
    def __iter__(self) -> Iterator[str]: ...
    def __len__(self) -> int: ...
    def to_pandas(self) -> Any: ...
    def to_arrow(self) -> Any: ...

ALIGN_MAX_INSTANTS: int

class Tables(Mapping[str, Table]):
    def __getitem__(self, key: str) -> Table: ...
    def __iter__(self) -> Iterator[str]: ...
    def __len__(self) -> int: ...
    def to_pandas(self) -> dict[str, Any]: ...
    def to_parquet(self, directory: str | os.PathLike[str]) -> None: ...
    def align(
        self,
        *,
        step: int | None = None,
        on: str | None = None,
        signals: Sequence[str] | None = None,
        method: str = "hold",
        timeout: int | None = None,
        threads: int | None = None,
    ) -> Table: ...

def decode_plan(
    db: DatabaseSource | Mapping[int, DatabaseSource] | DecodePlan,
    messages: Sequence[str] | None = None,
) -> DecodePlan: ...
def plan(
    db: DatabaseSource | Mapping[int, DatabaseSource] | DecodePlan,
    messages: Sequence[str] | None = None,
) -> DecodePlan: ...
def decode(
    frames: Frames | tuple[npt.NDArray[Any], npt.NDArray[Any]] | str | os.PathLike[str] | BinaryIO,
    db: DatabaseSource | Mapping[int, DatabaseSource] | DecodePlan,
    *,
    messages: Sequence[str] | None = None,
    choices: bool = False,
    threads: int | None = None,
    errors: str = "raise",
    j1939: bool | str = "auto",
    j1939_na: str = "nan",
    payload_offset: int = 0,
) -> Tables: ...
