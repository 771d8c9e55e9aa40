"""LIN signals from LDF files: korvel.decode(lin_pair_or_path, "x.ldf").

ldfparser reads the LDF; its frames become messages of a CAN database of raw
signals, so the frames are grouped and their signals extracted by the same
native loops as CAN tables. The LDF's encodings then turn raw values into
physical ones (each physical range its own scale and offset) and labels
(logical values)."""

from __future__ import annotations

import math
import os
from collections.abc import Sequence
from typing import Any

import numpy as np

from . import korvel as _k

__all__ = ["decode_lin", "is_ldf", "lin_as_frames"]

LIN_ERROR = 0x10  # records that are no frames: errors and bus events


def is_ldf(db: Any) -> bool:
    """A path to an .ldf file, or a parsed ldfparser LDF."""
    if isinstance(db, (str, os.PathLike)):
        return os.fspath(db).lower().endswith(".ldf")
    return type(db).__name__ == "LDF" and hasattr(db, "get_unconditional_frame")


def lin_as_frames(pair: Any) -> tuple[np.ndarray, np.ndarray]:
    """The frames of a LIN pair as a frames pair (DT records: the LIN id as
    can_id, dlc as len, received as 0x04); errors and bus events left out."""
    records, payload = pair
    if getattr(records, "dtype", None) != _k.LIN:
        raise TypeError("a LIN pair holds kv.LIN records and a uint8 payload array, got "
                        f"{getattr(records, 'dtype', type(records).__name__)}")
    frames = records[(records["flags"] & LIN_ERROR) == 0]
    out = np.zeros(len(frames), _k.DT)
    out["timestamp"] = frames["timestamp"]
    out["can_id"] = frames["id"] & 0x3F
    out["channel"] = frames["channel"].astype(np.uint8)
    out["len"] = frames["dlc"]
    out["flags"] = frames["flags"] & 0x04
    out["loc"] = frames["loc"]
    return out, payload


def _encodings(signal: Any) -> tuple[list[tuple[int, int, float, float]], dict[int, str], str]:
    """Physical ranges (min, max, scale, offset), logical values, unit."""
    ranges, logical, unit = [], {}, ""
    enc = getattr(signal, "encoding_type", None)
    for conv in enc.get_converters() if enc is not None else ():
        kind = type(conv).__name__
        if kind == "PhysicalValue":
            ranges.append((int(conv.phy_min), int(conv.phy_max), float(conv.scale),
                           float(conv.offset)))
            unit = unit or (conv.unit or "")
        elif kind == "LogicalValue":
            logical[int(conv.phy_value)] = str(conv.info) if conv.info is not None else ""
    return ranges, logical, unit


def _database(ldf: Any, frame_ids: set[int]) -> tuple[Any, dict[str, Any]]:
    from cantools.database.can import Database, Message, Signal

    messages, signals = [], {}
    for frame in ldf.frames:
        if type(frame).__name__ != "LinUnconditionalFrame":
            continue
        sigs = []
        for offset, sig in frame.signal_map:
            if sig.width > 64:
                continue
            sigs.append(Signal(sig.name, offset, sig.width, byte_order="little_endian",
                               is_signed=False))
            signals[sig.name] = sig
        messages.append(Message(frame.frame_id, frame.name, frame.length, sigs))
    return Database(messages=messages), signals


def _physical(raw: np.ndarray, ranges: list, logical: dict[int, str]) -> np.ndarray:
    """Physical values of raw values: the range holding a raw value scales it;
    a logical value keeps its raw number; anything else is NaN."""
    if not ranges:
        return raw
    out = np.full(len(raw), np.nan)
    for lo, hi, scale, offset in ranges:
        inside = np.isnan(out) & (raw >= lo) & (raw <= hi)
        out[inside] = raw[inside] * scale + offset
    for value in logical:
        hit = np.isnan(out) & (raw == value)
        out[hit] = value
    return out


def _labels(raw: np.ndarray, physical: np.ndarray, logical: dict[int, str]) -> np.ndarray:
    """Labels of logical values, the physical value as text elsewhere, None
    where there is no value."""
    out = np.empty(len(raw), object)
    for i, (r, p) in enumerate(zip(raw.tolist(), physical.tolist())):
        if math.isnan(r):  # no value
            out[i] = None
        elif int(r) in logical:
            out[i] = logical[int(r)]
        elif not math.isnan(p):
            out[i] = str(p)
        else:
            out[i] = None
    return out


def _lin_of(log: Any, threads: int | None, errors: str) -> Any:
    """The LIN pair of a log: BLF through read_lin, any other format through
    read_log's opener."""
    from ._logs import log_format, read_log

    if log_format(log) == "blf":
        return _k.read_lin(log, verbose=False, threads=threads, errors=errors)
    return read_log(log, buses="lin", verbose=False, threads=threads, errors=errors)


def decode_lin(
    frames: Any,
    ldf: Any,
    *,
    messages: Sequence[str] | None = None,
    choices: bool = False,
    threads: int | None = None,
    errors: str = "raise",
) -> Any:
    """One Table per LIN frame of the LDF that has frames, with its signals.

    frames: a LIN pair (kv.read_lin) or a log korvel.read_log reads (path or
        binary stream: BLF, ASC, MF4), whose LIN frames are read quietly.
        Error records and bus events carry no values.
    ldf: a path to an LDF file or an ldfparser LDF.
    messages, choices, threads: as for korvel.decode. Values: a physical
        encoding's range scales the raw values it holds; raw values of a
        logical value stay as they are (with choices=True their label); other
        raw values of a signal with physical ranges are NaN.
    """
    from ._logs import is_source
    from .tables import Table, Tables, _need, decode

    ldfparser = _need("ldfparser")
    if isinstance(ldf, (str, os.PathLike)):
        ldf = ldfparser.parse_ldf(os.fspath(ldf))
    if is_source(frames):
        frames = _lin_of(frames, threads, errors)
    index, chunk = lin_as_frames(frames)
    db, signals = _database(ldf, set())
    raw_tables = decode((index, chunk), db, messages=messages, threads=threads)
    tables = {}
    for name, table in raw_tables.items():
        columns = {"timestamp": table["timestamp"], "channel": table["channel"]}
        units = {}
        for col in table:
            if col in columns:
                continue
            ranges, logical, unit = _encodings(signals[col])
            raw = table[col]
            physical = _physical(raw, ranges, logical)
            columns[col] = _labels(raw, physical, logical) if choices and logical else physical
            units[col] = unit
        tables[name] = Table(name, columns, units)
    return Tables(tables)
