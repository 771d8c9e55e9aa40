"""Bus health: bits on the wire, bus load, cycle times and their gaps.

The passes are native (one or two walks over the frame records); this module
checks the arguments, turns rates and databases into plain arrays and wraps
the columns in korvel.Table objects.
"""

from __future__ import annotations

import math
import numbers
import warnings
from collections.abc import Mapping
from typing import Any

import numpy as np

from . import korvel as _k
from ._logs import frames_of
from .j1939 import pgn as j1939_pgn
from .tables import Table, _as_frames, _j1939_arg, decode_plan

__all__ = ["StatsWarning", "busload", "cycles", "frame_bits", "gaps"]


class StatsWarning(UserWarning):
    """Frames left out of a statistic (errors="skip"): how many, and the first."""


def _errors_arg(errors: Any) -> bool:
    """errors= -> whether to skip."""
    if errors not in ("raise", "skip"):
        raise ValueError(f"errors must be 'raise' or 'skip' (got {errors!r})")
    return errors == "skip"


def _skipped(note: tuple[int, str | None]) -> None:
    count, first = note
    if count:
        noun = "frame" if count == 1 else "frames"
        warnings.warn(f"skipped {count} {noun} no bus could carry (the first, {first})",
                      StatsWarning, stacklevel=3)


class _StatsTable(Table):
    """A Table of statistics rows (no timestamp column)."""

    @property
    def num_rows(self) -> int:
        """The number of rows."""
        return len(next(iter(self._columns.values()))) if self._columns else 0

    def __repr__(self) -> str:
        return f"<korvel.Table {self.name}: {self.num_rows} rows, columns {', '.join(self)}>"


def _frames(frames: Any) -> tuple[np.ndarray, np.ndarray]:
    return _as_frames(frames_of(frames))


def _rate(value: Any, what: str) -> float:
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise TypeError(f"{what} must be a number (bit/s), got {type(value).__name__}")
    rate = float(value)
    if not (rate > 0 and math.isfinite(rate)):
        raise ValueError(f"{what} must be a positive number of bit/s (got {value!r})")
    return rate


def _rates(rates: Any, what: str) -> np.ndarray:
    """A number for every channel, or {channel: number}: 256 rates, 0 for none."""
    out = np.zeros(256)
    if rates is None:
        return out
    if isinstance(rates, Mapping):
        for channel, value in rates.items():
            if isinstance(channel, bool) or not isinstance(channel, numbers.Integral):
                raise TypeError(f"{what} channels must be int, got {type(channel).__name__}")
            if not 0 <= channel <= 255:
                raise ValueError(f"{what}: channel {channel} is outside 0..255")
            out[int(channel)] = _rate(value, f"{what}[{channel}]")
        return out
    out[:] = _rate(rates, what)
    return out


def frame_bits(frames: Any, *, errors: str = "raise") -> np.ndarray:
    """The bits each frame occupied on the wire (uint16, one per frame).

    Frames are laid out as ISO 11898-1:2015 sends them, from each record's
    identifier, length and stored payload: classic base and extended data and
    remote frames (SOF to CRC stuffed, a stuff bit after the last CRC bit
    included), CAN FD frames with dynamic stuffing to the end of the data, the
    stuff count and CRC-17 (up to 16 bytes) or CRC-21 with their fixed stuff
    bits; then CRC delimiter, ACK slot and delimiter, 7 end-of-frame and 3
    intermission bits. An error frame counts 17 bits.

    Lengths: a classic record's len is its DLC (9-15 carry 8 bytes; a record
    read from a CAN FD object holds 12..64 for codes 9..15); a CAN FD length
    between two codes counts as the next code's length. Payload bytes a
    record does not hold (a stored count below its length) count as zeros;
    stored bytes beyond the frame's data field (a classic record holding 12)
    are not sent.

    frames: a frames pair, a DT64 array, or a log of any format (a path or
        a binary stream, read quietly).
    errors: "raise", or "skip": a frame no bus could carry gets 0 bits, and
        one StatsWarning says how many there were and names the first.

    Raises ValueError for a frame that cannot be sent as its record says (a
    classic length above 15, a CAN FD length above 64, a CAN FD remote frame,
    a base identifier above 0x7FF), naming the frame (unless errors="skip"),
    for payload offsets outside the payload array and for another errors.
    """
    skip = _errors_arg(errors)
    index, chunk = _frames(frames)
    if not skip:
        return _k._frame_bits(index, chunk)
    bits, note = _k._frame_bits(index, chunk, True)
    _skipped(note)
    return bits


def busload(
    frames: Any,
    bitrate: Any,
    *,
    data_bitrate: Any = None,
    window: int = 1_000_000_000,
    errors: str = "raise",
) -> Table:
    """Bus load per channel and time window, from every frame's exact bits.

    Each frame counts the bits frame_bits gives it: at bitrate, except that a
    frame with bit-rate switch sends the bits after its BRS bit through its
    last CRC bit at data_bitrate. An error frame counts 17 bits at bitrate
    (the frame it destroyed counts nothing).

    frames: a frames pair, a DT64 array, or a log of any format (a path or
        a binary stream, read quietly).
    bitrate, data_bitrate: a number (bit/s) for every channel, or
        {channel: number}.
    window: the window length in ns; windows start at multiples of it since
        the epoch, and a frame belongs to the window of its timestamp.
    errors: "raise", or "skip": frames no bus could carry are left out (of
        the counts, the bits and their channel's windows), and one
        StatsWarning says how many there were and names the first.

    Returns a Table with one row per channel and window, in that order, every
    window from a channel's first frame's to its last frame's (empty ones with
    zeros): start (int64 ns), channel (uint8), frames (all kinds),
    data_frames, remote_frames, error_frames, bits (int64), busy (seconds on
    the wire) and load (busy / window), float64.

    Raises ValueError naming the channel for a channel with frames and no
    bitrate, or with a bit-rate-switching frame and no data_bitrate; for
    rates that are not positive, a window below 1 ns, windows that would make
    more than 2**26 rows, another errors, and what frame_bits raises.
    TypeError for arguments of other types.
    """
    if isinstance(window, bool) or not isinstance(window, numbers.Integral):
        raise TypeError(f"window must be an int (ns), got {type(window).__name__}")
    if window < 1:
        raise ValueError(f"window must be at least 1 ns (got {window})")
    nominal = _rates(bitrate, "bitrate")
    data = _rates(data_bitrate, "data_bitrate")
    skip = _errors_arg(errors)
    index, chunk = _frames(frames)
    if skip:
        columns, note = _k._busload(index, chunk, nominal, data, int(window), True)
        _skipped(note)
    else:
        columns = _k._busload(index, chunk, nominal, data, int(window))
    units = {"start": "ns", "bits": "bit", "busy": "s"}
    return _StatsTable("busload", columns, units)


def _keyed(periods: dict[int, float]) -> tuple[np.ndarray, np.ndarray]:
    keys = np.array(sorted(periods), np.uint32)
    return keys, np.array([periods[k] for k in keys.tolist()], np.float64)


def _expected(db: Any, j1939: bool | str) -> tuple[np.ndarray, np.ndarray, Any]:
    """Message key (identifier, bit 29 for extended) -> GenMsgCycleTime in ns;
    and for the messages korvel.decode matches by PGN, the same by PGN and
    source (pgn << 8 | source) and by PGN, the first message of each."""
    if db is None:
        return np.zeros(0, np.uint32), np.zeros(0), None
    if isinstance(db, Mapping):
        raise TypeError("db must be a cantools database, a path or a list of those, got dict")
    # As decode merges databases (a later message of the same name replaces
    # an earlier one in its place), from the plan cache for paths.
    plans = decode_plan(db).matching(j1939).messages
    periods: dict[int, float] = {}
    by_source: dict[int, float] = {}
    by_pgn: dict[int, float] = {}
    for plan in plans:
        ns = float(plan.cycle_time) * 1e6 if plan.cycle_time else math.nan
        periods[plan.can_id | (0x20000000 if plan.is_extended else 0)] = ns
        if plan.by_pgn:
            pgn = j1939_pgn(plan.can_id)
            by_source.setdefault(pgn << 8 | plan.can_id & 0xFF, ns)
            by_pgn.setdefault(pgn, ns)
    return (*_keyed(periods), (*_keyed(by_source), *_keyed(by_pgn)))


def _cycles(frames: Any, db: Any, gap: Any, j1939: Any) -> tuple[dict, dict]:
    if isinstance(gap, bool) or not isinstance(gap, numbers.Real):
        raise TypeError(f"gap must be a number, got {type(gap).__name__}")
    if not (float(gap) > 0 and math.isfinite(gap)):
        raise ValueError(f"gap must be a positive number (got {gap!r})")
    _j1939_arg(j1939)
    keys, expected, by_pgn = _expected(db, j1939)
    index, chunk = _frames(frames)
    return _k._cycles(index, chunk, float(gap), keys, expected, by_pgn, db is not None)


def cycles(frames: Any, *, db: Any = None, gap: float = 3.0, j1939: bool | str = "auto"
           ) -> Table:
    """Cycle times of the data frames, one row per channel and identifier.

    frames: a frames pair, a DT64 array, or a log of any format (a path or
        a binary stream, read quietly).
    db: a cantools database or a path cantools loads (or a list of those, as
        for korvel.decode), or a korvel.plan: its messages' cycle times (the DBC attribute
        GenMsgCycleTime) become the expected periods. Frames match messages
        as korvel.decode matches them, J1939 messages by PGN (see j1939).
    gap: an interval longer than gap times the expected period is a gap.
        With a database, only messages it gives a cycle time have gaps;
        without one, an interval longer than gap times the median interval
        is a gap, except in transport-protocol traffic, which comes in
        bursts (J1939 TP.CM, TP.DT, ETP.CM and ETP.DT frames, and ISO-TP on
        the standard diagnostic identifiers: base 0x7DF and 0x7E0-0x7EF,
        extended 0x18DAxxxx and 0x18DBxxxx).
    j1939: as for korvel.decode: "auto" matches the messages the database
        marks as J1939 by PGN (an extended identifier no message has goes to
        the first message of its PGN and source address, failing that of its
        PGN), True every extended message, False none.

    Returns a Table in order of channel, base before extended identifiers,
    and identifier: channel (uint8), can_id (int64), extended (uint8, 1 for
    29-bit identifiers: a base and an extended message of one number stay
    apart), count, first and last (int64 ns), period (the median interval),
    period_min, period_max, jitter (the 99th percentile of |interval -
    period|, interpolated as numpy.percentile does) and expected (ns,
    float64; NaN where undefined: a message seen once, or no cycle time) and
    gaps (int64). Intervals are taken between the timestamps in time order.
    Remote and error frames take no part.

    Raises ValueError for a gap that is not positive or a bad j1939,
    TypeError for arguments of other types, and what korvel.decode raises
    for a database.
    """
    columns, _ = _cycles(frames, db, gap, j1939)
    return _StatsTable(
        "cycles",
        columns,
        {
            c: "ns"
            for c in ("first", "last", "period", "period_min", "period_max", "jitter", "expected")
        },
    )


def gaps(frames: Any, *, db: Any = None, gap: float = 3.0, j1939: bool | str = "auto"
         ) -> Table:
    """Each gap that cycles counts: channel (uint8), can_id (int64), extended
    (uint8), start and stop (int64 ns: the frames before and after it) and
    length (stop - start, ns), in the order of cycles' rows, then of time.
    Arguments as for cycles."""
    _, columns = _cycles(frames, db, gap, j1939)
    return _StatsTable("gaps", columns, {"start": "ns", "stop": "ns", "length": "ns"})
