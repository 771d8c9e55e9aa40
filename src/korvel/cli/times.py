"""Durations, sizes and instants as the command line writes them."""

from __future__ import annotations

import argparse
import datetime as _dt
import math
import re
from decimal import Decimal, InvalidOperation

_DURATION_UNITS = {"ns": 1, "us": 10**3, "ms": 10**6, "s": 10**9, "m": 60 * 10**9,
                   "min": 60 * 10**9, "h": 3600 * 10**9}
_SIZE_UNITS = {"": 1, "b": 1, "k": 10**3, "kb": 10**3, "m": 10**6, "mb": 10**6, "g": 10**9,
               "gb": 10**9, "kib": 2**10, "mib": 2**20, "gib": 2**30}
# Nanoseconds an int64 holds either side of the epoch.
_RANGE = 2**63 - 1
_NUMBER = re.compile(r"\s*([-+]?(?:\d+(?:\.\d*)?|\.\d+))\s*([A-Za-z]*)\s*")


def _number(text: str, units: dict[str, int], what: str, default: str) -> int:
    m = _NUMBER.fullmatch(text)
    unit = (m.group(2).lower() if m else "") or default
    if not m or unit not in units:
        raise argparse.ArgumentTypeError(
            f"not a {what}: {text!r} (a number with one of {', '.join(u for u in units if u)})")
    value = int(Decimal(m.group(1)) * units[unit])
    if value <= 0:
        raise argparse.ArgumentTypeError(f"{what} must be positive: {text!r}")
    if value > _RANGE:
        raise argparse.ArgumentTypeError(f"{what} too large: {text!r}")
    return value


def seconds(text: str) -> float:
    """A finite number of seconds, of either sign (argparse type)."""
    try:
        value = float(text)
    except ValueError:
        value = math.nan
    if not math.isfinite(value):
        raise argparse.ArgumentTypeError(f"not a finite number of seconds: {text!r}")
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
            seconds = Decimal(text)
        except InvalidOperation:
            seconds = None
        if seconds is not None:
            if not seconds.is_finite():
                raise argparse.ArgumentTypeError(
                    f"not a time: {text!r} (seconds from the first frame must be a finite number)")
            self.relative = int(seconds * 10**9)
            if abs(self.relative) > _RANGE:
                raise argparse.ArgumentTypeError(
                    f"{text!r} seconds lie beyond the times a log can hold "
                    f"(about ±{_RANGE // (365 * 86400 * 10**9)} years)")
            return
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
        if abs(self.absolute) > _RANGE:
            raise argparse.ArgumentTypeError(
                f"{text!r} lies outside the times a log can hold (1678 to 2262)")

    def ns(self, first_frame: int) -> int:
        """The instant in ns since the epoch; one past either end of the int64
        range is held at that end (a window no frame can reach)."""
        if self.absolute is not None:
            return self.absolute
        return max(-_RANGE, min(_RANGE, first_frame + self.relative))
