"""ISO-TP (ISO 15765-2) diagnostics from logs: korvel.isotp.transfers.

The reassembly is native (one pass over the frame records); this module
checks the arguments and re-exports the transfers pair's dtype and constants.
"""

from __future__ import annotations

import numbers
from collections.abc import Iterable
from typing import Any

import numpy as np

from . import korvel as _k
from . import transfers as _t

# The transfers pair's dtype, constants and helpers, re-exported.
from .transfers import *

__all__ = [
    "ABORTED",
    "BAM",
    "CMDT",
    "COMPLETE",
    "CUT",
    "ETP",
    "FAST_PACKET",
    "GAP",
    "INTERRUPTED",
    "ISOTP_MULTI",
    "ISOTP_SINGLE",
    "PROTOCOL_NAMES",
    "STATUS_NAMES",
    "TRANSFER",
    "as_frames",
    "engine",
    "id_ranges",
    "payloads",
    "transfers",
]

# Frames read at a time from a path or stream (open transfers carry over).
PIECE_FRAMES = 1_000_000
MAX_BASE = 0x7FF
MAX_ID = 0x1FFFFFFF


def _identifier(value: Any) -> int:
    if not isinstance(value, numbers.Integral) or isinstance(value, bool):
        raise TypeError(f"an identifier must be an int, got {type(value).__name__}")
    value = int(value)
    if not 0 <= value <= MAX_ID:
        raise ValueError(f"identifier {value:#x} is outside 0..0x1FFFFFFF")
    return value


def _split(lo: int, hi: int, step: int) -> list[tuple[int, int, int, bool]]:
    """lo..hi (every step-th) as its base part (up to 0x7FF) and extended part."""
    out = []
    if lo <= MAX_BASE:
        out.append((lo, min(hi, MAX_BASE), step, False))
    first = lo if lo > MAX_BASE else lo + -(-(MAX_BASE + 1 - lo) // step) * step
    if first <= hi:
        out.append((first, hi, step, True))
    return out


def id_ranges(ids: Any) -> list[tuple[int, int, int, bool]] | None:
    """The `ids` argument as (low, high, step, extended) ranges (None: the
    standard diagnostic set). An identifier up to 0x7FF is a base one, a
    larger one extended."""
    if ids is None:
        return None
    if isinstance(ids, (str, bytes)) or not isinstance(ids, Iterable):
        raise TypeError(f"ids must be an iterable of identifiers, got {type(ids).__name__}")
    out: list[tuple[int, int, int, bool]] = []
    for item in ids:
        if isinstance(item, range):
            if len(item) == 0:
                continue
            lo, hi = min(item[0], item[-1]), max(item[0], item[-1])
            _identifier(lo), _identifier(hi)
            out += _split(lo, hi, abs(item.step))
        elif isinstance(item, tuple):
            if len(item) != 2:
                raise TypeError(f"an identifier range is a (low, high) pair, got {len(item)} items")
            lo, hi = _identifier(item[0]), _identifier(item[1])
            if lo > hi:
                raise ValueError(f"identifier range ({lo:#x}, {hi:#x}) is empty: low above high")
            out += _split(lo, hi, 1)
        else:
            ident = _identifier(item)
            out.append((ident, ident, 1, ident > MAX_BASE))
    return out


def _channels(channels: Any) -> list[int] | None:
    if channels is None:
        return None
    if isinstance(channels, (str, bytes)) or not isinstance(channels, Iterable):
        raise TypeError(f"channels must be an iterable of int, got {type(channels).__name__}")
    out = []
    for c in channels:
        if not isinstance(c, numbers.Integral) or isinstance(c, bool):
            raise TypeError(f"channels must hold int values, got {type(c).__name__}")
        out.append(int(c))
    return out


def engine(ids: Any = None, addressing: str = "normal", channels: Any = None) -> Any:
    """A native reassembler fed frames piece by piece (feed, then finish)."""
    if not isinstance(addressing, str):
        raise TypeError(f"addressing must be a str, got {type(addressing).__name__}")
    if addressing not in ("normal", "extended", "mixed"):
        raise ValueError(f"addressing must be 'normal', 'extended' or 'mixed' (got {addressing!r})")
    return _k._IsotpTransfers(id_ranges(ids), addressing, _channels(channels))


def transfers(
    frames: Any,
    *,
    ids: Iterable[Any] | None = None,
    addressing: str = "normal",
    channels: Iterable[int] | None = None,
) -> tuple[np.ndarray, np.ndarray]:
    """The ISO-TP messages of a log, reassembled: a transfers pair.

    Single frames, first frames and consecutive frames (CAN FD escapes
    included) are reassembled per channel, identifier and address byte;
    flow-control frames carry no payload and are skipped.

    frames: a frames pair, a DT64 array, or a log of any format (a path or
        binary stream, read quietly, in pieces).
    ids: the identifiers that carry ISO-TP: None for the standard diagnostic
        set (base 0x7DF and 0x7E0-0x7EF, extended 0x18DAxxxx and 0x18DBxxxx),
        else identifiers (int), (low, high) inclusive pairs and range objects;
        up to 0x7FF a base identifier, above it an extended one.
    addressing: "normal" (the protocol control byte first), "extended" (byte
        0 is the target address) or "mixed" (byte 0 is the address
        extension); the address byte goes to `destination` and keys the
        transfer.
    channels: channel numbers to read (all when None).

    Returns (records, payload) of dtype TRANSFER, in order of start: protocol
    ISOTP_SINGLE or ISOTP_MULTI; status COMPLETE (exactly the announced
    length), GAP (a consecutive frame missing or out of order), INTERRUPTED
    (a new first or single frame before the end) or CUT (the log ended).

    Raises TypeError or ValueError for ids, addressing or channels of the
    wrong kind or out of range.
    """
    eng = engine(ids, addressing, channels)
    return _t.reassemble(eng, frames, PIECE_FRAMES)
