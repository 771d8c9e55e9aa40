"""Fleets of logs on Dask: korvel.dask.decode, and korvel.dask.scan for their health.

The graph only arranges calls; the reading and decoding are korvel.korvel.read
and korvel.decode, run inside the workers. One hidden collection reads and
decodes each piece (a log, or a range of its containers) for every selected
message at once; each message's DataFrame takes its table from it, so messages
computed together read each piece once. Tasks carry the DecodePlan of the
selected messages, never the database.
"""

from __future__ import annotations

import hashlib
import numbers
import os
import pickle
from collections.abc import Sequence
from typing import Any

import numpy as np

from . import korvel as _k
from ._logs import log_format, read_log
from .lake import _naming, _where
from .tables import (
    DecodePlan,
    MessagePlan,
    Table,
    Tables,
    _errors_arg,
    _j1939_na_arg,
    _Labels,
    decode_plan,
)
from .tables import decode as _decode

try:
    import dask.dataframe as dd
    import pandas as pd
    from dask.dataframe.utils import clear_known_categories
    from dask.sizeof import sizeof
    from dask.tokenize import normalize_token
except ImportError as e:  # pragma: no cover - depends on the environment
    raise ImportError(
        "korvel.dask needs dask and distributed; install them with: pip install 'korvel[dask]'"
    ) from e

__all__ = ["decode", "scan"]


def decode(
    paths: str | os.PathLike[str] | Sequence[str | os.PathLike[str]],
    db: Any,
    *,
    messages: Sequence[str] | None = None,
    split: int | None = None,
    choices: bool = False,
    threads: int | None = 1,
    index: bool = False,
    errors: str = "raise",
    j1939: bool | str = "auto",
    j1939_na: str = "nan",
) -> dict[str, dd.DataFrame]:
    """korvel.decode over many logs: message name -> dask DataFrame.

    Columns: ``log`` (the position of the log in `paths`), ``timestamp`` (int64
    ns), ``channel`` (uint8), then the message's signals, as korvel.decode gives
    them for each log. Every selected message gets a DataFrame, empty where no
    log has its frames.

    paths: log paths the workers can open: BLF, or ASC, candump and PCAN trace
    text logs (by suffix or first line; a text log is one partition whatever
    split says, having no containers). db, messages, choices: as for
    korvel.decode (the database is read here, once). split: containers per
    partition (each log's container table is read here); None makes one
    partition per log. threads: native threads per read and decode in a worker
    (Dask runs the partitions in parallel). index: ``log`` as the index rather
    than a column; without split the divisions are then known. errors: "skip"
    reads past damaged parts of the logs, as korvel.decode does (the warnings
    stay on the workers: scan() reports what was skipped). j1939, j1939_na: PGN
    matching and not-available values, as for korvel.decode.

    An error reading a piece is raised again as the same kind of exception, its
    message beginning with the log's path (and the container range with split).
    """
    _errors_arg(errors)
    _j1939_na_arg(j1939_na)
    plan = decode_plan(db, messages).matching(j1939)
    names = _paths(paths)
    logs, files, spans = _pieces(names, _split(split))
    divisions = (*range(len(names)), len(names) - 1) if index and split is None else None
    # Partitions of this collection are (log, Tables, plan), not DataFrames:
    # it is only ever consumed by the map_partitions below.
    source = dd.from_map(
        _read_piece,
        logs,
        files,
        spans,
        plan=plan,
        choices=bool(choices),
        threads=threads,
        errors=errors,
        j1939=j1939,
        j1939_na=j1939_na,
        meta=pd.DataFrame(),
        divisions=divisions,
        label="korvel-read",
        enforce_metadata=False,
    )
    # Dask wraps it in a text conversion: a task per piece with nothing to convert.
    if type(source.expr).__name__ == "ArrowStringConversion":
        source = type(source)(source.expr.frame)
    out = {}
    for msg in plan.messages:
        meta = _empty(msg, bool(choices), bool(index))
        if choices:
            meta = clear_known_categories(meta)  # each piece has its own labels
        out[msg.name] = source.map_partitions(
            _message_frame,
            msg.name,
            bool(choices),
            bool(index),
            meta=meta,
            enforce_metadata=False,
            transform_divisions=False,
            align_dataframes=False,
        )
    return out


def _scan_columns() -> dict[str, Any]:
    import pyarrow as pa

    return {
        "log": "int64",
        "path": pd.ArrowDtype(pa.string()),
        "frames": "int64",
        "start": "Int64",
        "stop": "Int64",
        "truncated": "bool",
        "skipped": "int64",
        "skipped_bytes": "int64",
        # A list per row: Dask turns object columns into text.
        "notices": pd.ArrowDtype(pa.list_(pa.string())),
    }


def scan(
    paths: str | os.PathLike[str] | Sequence[str | os.PathLike[str]],
    *,
    split: int | None = None,
    errors: str = "raise",
) -> dd.DataFrame:
    """The health of a fleet of logs: a dask DataFrame with one row per log (or
    per piece of `split` containers).

    Columns: ``log`` (the position of the log in `paths`), ``path``, ``frames``
    (read), ``start`` and ``stop`` (the least and greatest frame timestamp, int64
    ns, missing without frames), ``truncated`` (the log ends inside an object),
    ``skipped`` (regions read past with errors="skip"), ``skipped_bytes`` (their
    bytes in the file) and ``notices`` (a list of the texts the reader would have
    warned with). Each piece is read on a worker, quietly; scan and decode can be
    computed together in one dask.compute. Errors come back as decode's do.
    """
    _errors_arg(errors)
    names = _paths(paths)
    logs, files, spans = _pieces(names, _split(split))
    meta = pd.DataFrame({c: pd.Series([], dtype=t) for c, t in _scan_columns().items()})
    return dd.from_map(
        _scan_piece, logs, files, spans, errors=errors, meta=meta, label="korvel-scan",
        enforce_metadata=False,
    )


def _scan_piece(
    log: int, path: str, span: tuple[int, int] | None, *, errors: str
) -> pd.DataFrame:
    notices: list[tuple[str, str, int | None, int | None]] = []
    try:
        if log_format(path) == "blf":
            index, _ = _k.read(path, threads=1, verbose=False, containers=span, errors=errors,
                               _notices=notices)
        else:  # a text log: the lines it skipped are its notice
            index, _ = read_log(path, verbose=False, _notices=notices)
    except Exception as e:
        raise _naming(e, _where(path, span)) from e
    ts = index["timestamp"]
    skipped = [(a, b) for kind, _, a, b in notices if kind == "skipped"]
    row = {
        "log": [log],
        "path": [path],
        "frames": [len(index)],
        "start": [int(ts.min()) if len(ts) else None],
        "stop": [int(ts.max()) if len(ts) else None],
        "truncated": [any(kind == "truncated" for kind, *_ in notices)],
        "skipped": [len(skipped)],
        "skipped_bytes": [sum(b - a for a, b in skipped)],
        "notices": [[text for _, text, *_ in notices]],
    }
    columns = _scan_columns()
    return pd.DataFrame({c: pd.Series(v, dtype=columns[c]) for c, v in row.items()})


def _split(split: Any) -> int | None:
    if split is not None and (
        not isinstance(split, numbers.Integral) or isinstance(split, bool) or split < 1
    ):
        raise ValueError(f"split must be a positive number of containers, got {split!r}")
    return split


def _paths(paths: Any) -> list[str]:
    if isinstance(paths, (str, bytes, os.PathLike)):
        paths = [paths]
    names = [os.fsdecode(p) for p in paths]
    if not names:
        raise ValueError("paths is empty: there is no log to decode")
    return names


def _pieces(
    paths: list[str], split: int | None
) -> tuple[list[int], list[str], list[tuple[int, int] | None]]:
    """Parallel lists (log, path, container range or None for the whole log)."""
    logs, files, spans = [], [], []
    for log, path in enumerate(paths):
        ranges: list[tuple[int, int] | None] = [None]
        if split is not None and log_format(path) == "blf":  # text logs: one piece
            try:
                # A cut log is reported by the read of its last piece.
                count = len(_k.info(path, verbose=False, _notices=[])["containers"])
            except Exception as e:
                raise _naming(e, path) from e
            ranges = [(a, min(a + split, count)) for a in range(0, count, split)] or [None]
        for span in ranges:
            logs.append(log)
            files.append(path)
            spans.append(span)
    return logs, files, spans


def _read_piece(
    log: int,
    path: str,
    span: tuple[int, int] | None,
    *,
    plan: DecodePlan,
    choices: bool,
    threads: int | None,
    errors: str = "raise",
    j1939: bool | str = "auto",
    j1939_na: str = "nan",
) -> tuple[int, Any, DecodePlan]:
    try:
        # A text log's skipped lines stay here, as BLF notices do.
        frames = read_log(path, threads=threads, verbose=False, errors=errors, _notices=[],
                          **({} if span is None else {"containers": span}))
        # The plan rides along (by reference) for the messages without frames.
        tables = _decode(frames, plan, choices=choices, threads=threads,
                         j1939=j1939, j1939_na=j1939_na)
        return log, tables, plan
    except Exception as e:
        raise _naming(e, _where(path, span)) from e


def _empty(msg: MessagePlan, choices: bool, index: bool) -> pd.DataFrame:
    """A message's frame without rows, made as its tables are."""
    columns: dict[str, np.ndarray] = {
        "timestamp": np.empty(0, np.int64),
        "channel": np.empty(0, np.uint8),
    }
    for name in msg.address_columns():
        columns[name] = np.empty(0, np.uint8)
    labels = {}
    for s in msg.signals:
        columns[s.name] = np.empty(0, np.float64)
        if choices and s.choices and not s.is_float:
            labels[s.name] = _Labels(np.empty(0, np.int32), ())
    units = {s.name: s.unit for s in msg.signals}
    return _with_log(Table(msg.name, columns, units, labels).to_pandas(), 0, index)


def _with_log(df: pd.DataFrame, log: int, index: bool) -> pd.DataFrame:
    logs = np.full(len(df), log, np.int64)
    if index:
        df.index = pd.Index(logs, name="log")
    else:
        df.insert(0, "log", logs)
    return df


def _message_frame(
    piece: tuple[int, Any, DecodePlan], name: str, choices: bool, index: bool
) -> pd.DataFrame:
    log, tables, plan = piece
    table = tables.get(name)
    if table is None:
        return _empty(next(m for m in plan.messages if m.name == name), choices, index)
    return _with_log(table.to_pandas(), log, index)


@normalize_token.register(DecodePlan)
def _plan_token(plan: DecodePlan) -> tuple[str, str]:
    """A plan's graph token from its pickle: walking the nested dataclasses
    field by field cost most of the graph's construction."""
    return ("korvel.DecodePlan", hashlib.sha1(pickle.dumps(plan, protocol=5)).hexdigest())


@sizeof.register(Tables)
def _tables_size(tables: Tables) -> int:
    """What a decoded piece holds, so that the workers count its memory."""
    size = 0
    for table in tables.values():
        size += sum(col.nbytes for col in table._columns.values())
        size += sum(lab.codes.nbytes for lab in table._labels.values())
    return size
