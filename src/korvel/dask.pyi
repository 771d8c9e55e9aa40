import os
from collections.abc import Mapping, Sequence

import dask.dataframe as dd

from .tables import DatabaseSource, DecodePlan

def decode(
    paths: str | os.PathLike[str] | Sequence[str | os.PathLike[str]],
    db: DatabaseSource | Mapping[int, DatabaseSource] | DecodePlan,
    *,
    messages: Sequence[str] | None = None,
    split: int | None = None,
    choices: bool = False,
    threads: int | None = 1,
    index: bool = False,
    errors: str = "raise",
    j1939: bool | str = "auto",
    j1939_na: str = "nan",
) -> dict[str, dd.DataFrame]: ...
def scan(
    paths: str | os.PathLike[str] | Sequence[str | os.PathLike[str]],
    *,
    split: int | None = None,
    errors: str = "raise",
) -> dd.DataFrame: ...
