"""J1939 and NMEA 2000 multi-packet messages: korvel.j1939.transfers.

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
    "payloads",
    "pgn",
    "transfers",
]


def pgn(can_id: Any) -> Any:
    """The parameter group number of 29-bit identifiers (an int or an array):
    (id >> 8) & 0x3FFFF, without the destination byte of PDU1 formats."""
    ids = np.asarray(can_id, np.uint32)
    p = (ids >> np.uint32(8)) & np.uint32(0x3FFFF)
    p = np.where(((p >> np.uint32(8)) & np.uint32(0xFF)) < 240, p & np.uint32(0x3FF00), p)
    return int(p) if p.ndim == 0 else p


def _int_items(items: Any, what: str) -> list[int]:
    if isinstance(items, (str, bytes)) or not isinstance(items, Iterable):
        raise TypeError(f"{what} must be an iterable of int, got {type(items).__name__}")
    out = []
    for item in items:
        if not isinstance(item, numbers.Integral) or isinstance(item, bool):
            raise TypeError(f"{what} must hold int values, got {type(item).__name__}")
        out.append(int(item))
    return out


# Frames read at a time from a path or stream: open sessions carry over
# from piece to piece, so memory stays bounded however long the log is.
PIECE_FRAMES = 1_000_000


def transfers(
    frames: Any, *, fast_packet: Iterable[int] = (), channels: Iterable[int] | None = None
) -> tuple[np.ndarray, np.ndarray]:
    """The multi-packet messages of a log, reassembled: a transfers pair.

    J1939 transport protocol sessions (TP.CM/TP.DT: BAM broadcasts and RTS/CTS
    connections with their end-of-message acknowledgement or abort; the
    extended transport protocol ETP.CM/ETP.DT for more than 1785 bytes), and
    NMEA 2000 fast packets of the PGNs in `fast_packet`. Sessions are kept
    apart by channel, source and destination (fast packets: channel, source,
    PGN and sequence counter) and may interleave freely.

    frames: a frames pair, a DT64 array, or a log of any format (a path or
        binary stream, read quietly, in pieces).
    fast_packet: PGNs (int) sent as NMEA 2000 fast packets.
    channels: channel numbers to read (all when None).

    Returns (records, payload): records of dtype TRANSFER in order of start
    (ties in log order), each transfer's bytes at its offset in payload. A
    complete transfer holds exactly its size in bytes; a broken one (status
    ABORTED, GAP, INTERRUPTED or CUT) the bytes received in order. An
    announcement that cannot be valid starts no session.

    Raises TypeError for a fast_packet or channels of the wrong kind, and
    ValueError for a PGN or channel out of range.
    """
    fast = _int_items(fast_packet, "fast_packet")
    chans = None if channels is None else _int_items(channels, "channels")
    engine = _k._J1939Transfers(fast, chans)
    return _t.reassemble(engine, frames, PIECE_FRAMES)
