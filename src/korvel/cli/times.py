"""Durations, sizes and instants as the command line writes them."""

from __future__ import annotations

import argparse
import datetime as _dt
import re
from decimal import Decimal, InvalidOperation

_DURATION_UNITS = {"ns": 1, "us": 10**3, "ms": 10**6, "s": 10**9, "m": 60 * 10**9,
                   "min": 60 * 10**9, "h": 3600 * 10**9}
_SIZE_UNITS = {"": 1, "b": 1, "k": 10**3, "kb": 10**3, "m": 10**6, "mb": 10**6, "g": 10**9,
               "gb": 10**9, "kib": 2**10, "mib": 2**20, "gib": 2**30}
_NUMBER = re.compile(r"\s*(\d+(?:\.\d*)?|\.\d+)\s*([A-Za-z]*)\s*")


def _number(text: str, units: dict[str, int], what: str, default: str) -> int:
    m = _NUMBER.fullmatch(text)
    unit = (m.group(2).lower() if m else "") or default
    if not m or unit not in units:
        raise argparse.ArgumentTypeError(
            f"not a {what}: {text!r} (a number with one of {', '.join(u for u in units if u)})")
    value = int(Decimal(m.group(1)) * units[unit])
    if value <= 0:
        raise argparse.ArgumentTypeError(f"{what} must be positive: {text!r}")
    return value


def duration(text: str) -> int:
    """'30s', '500ms', '2min', '1h' or plain seconds -> nanoseconds (positive)."""
    return _number(text, _DURATION_UNITS, "duration", "s")


def size(text: str) -> int:
    """'100MB', '1.5GB', '64MiB', '500k' or plain bytes -> bytes (positive)."""
    return _number(text, _SIZE_UNITS, "size", "")


class Instant:
    """A time the user names: seconds from the log's first frame, or an ISO
    date-time (local time unless it carries an offset)."""

    def __init__(self, text: str):
        self.text = text
        self.relative: int | None = None
        self.absolute: int | None = None
        try:
            self.relative = int(Decimal(text) * 10**9)
            return
        except InvalidOperation:
            pass
        try:
            when = _dt.datetime.fromisoformat(text.strip())
        except ValueError:
            raise argparse.ArgumentTypeError(
                f"not a time: {text!r} (seconds from the first frame, or an ISO date-time "
                "such as 2024-05-01T12:30:00.250)") from None
        if when.tzinfo is None:
            when = when.astimezone()  # local time, as the log header's dates are
        delta = when - _dt.datetime(1970, 1, 1, tzinfo=_dt.timezone.utc)
        self.absolute = (delta.days * 86400 + delta.seconds) * 10**9 + delta.microseconds * 1000

    def ns(self, first_frame: int) -> int:
        return self.absolute if self.absolute is not None else first_frame + self.relative
