import os
from collections.abc import Callable, Mapping, Sequence
from typing import Any

from .tables import DatabaseSource, DecodePlan

def write(
    logs: str | os.PathLike[str] | Sequence[str | os.PathLike[str]],
    db: DatabaseSource | Mapping[int, DatabaseSource] | DecodePlan,
    root: str | os.PathLike[str],
    *,
    device: str | int | Callable[[str], str] | None = None,
    messages: Sequence[str] | None = None,
    split: int | None = None,
    workers: int | None = None,
    scheduler: str | None = None,
    errors: str = "raise",
    threads: int | None = None,
    j1939: bool | str = "auto",
    j1939_na: str = "nan",
    transport: str | None = None,
    fast_packet: Sequence[int] | None = None,
    addressing: str = "normal",
) -> Any: ...
def logs(root: str | os.PathLike[str]) -> Any: ...
