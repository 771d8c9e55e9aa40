"""Which reader a log takes: BLF, or one of the text formats (ASC, candump,
PCAN trace), by the file's suffix or, when the suffix says nothing, by its
first bytes. Every place that opens a log (korvel.decode, korvel.dask, the
command line) goes through here."""

from __future__ import annotations

import os
from collections.abc import Iterator
from typing import Any

from . import korvel as _k

SUFFIXES = {".blf": "blf", ".asc": "asc", ".log": "candump", ".trc": "trc"}
NAMES = {"asc": "ASC", "candump": "candump", "trc": "PCAN trace"}
_TEXT_READERS = {"asc": _k.read_asc, "candump": _k.read_candump, "trc": _k.read_trc}


def log_format(file: Any) -> str:
    """ "blf", "asc", "candump" or "trc" for a path (by suffix, else by its
    first bytes) or a seekable binary stream (by its first bytes, which are
    read and given back). Anything else is taken as BLF, whose reader says
    what is wrong with it."""
    if isinstance(file, (str, os.PathLike)):
        suffix = os.path.splitext(os.fsdecode(file))[1].lower()
        if suffix in SUFFIXES:
            return SUFFIXES[suffix]
        try:
            with open(file, "rb") as f:
                return _sniff(f.read(4096))
        except OSError:
            return "blf"  # the reader raises the error naming the file
    seekable = getattr(file, "seekable", None)
    if callable(seekable) and seekable() and hasattr(file, "tell"):
        pos = file.tell()
        head = file.read(4096)
        file.seek(pos)
        if isinstance(head, bytes):
            return _sniff(head)
    return "blf"


def _sniff(head: bytes) -> str:
    if head[:4] == b"LOGG":
        return "blf"
    return _k._sniff_text(head) or "blf"


def read_log(
    file: Any,
    *,
    format: str | None = None,
    verbose: bool = True,
    threads: Any = None,
    errors: str = "raise",
    text_notices: list | None = None,
    **blf: Any,
) -> tuple[Any, Any]:
    """The frames pair of a log of any format. BLF keywords go to kv.read
    (errors= as well: text readers always skip malformed lines); a text log's
    notice goes to text_notices when it is a list."""
    fmt = format or log_format(file)
    if fmt == "blf":
        return _k.read(file, verbose=verbose, threads=threads, errors=errors, **blf)
    pair = _TEXT_READERS[fmt](file, verbose=verbose, _notices=text_notices)
    return _window(pair, blf.get("start"), blf.get("stop"))


def iter_log(
    file: Any,
    frames: int,
    *,
    format: str | None = None,
    verbose: bool = True,
    threads: Any = None,
    errors: str = "raise",
    text_notices: list | None = None,
    **blf: Any,
) -> Iterator[Any]:
    """Pieces of at most `frames` frames of a log of any format."""
    fmt = format or log_format(file)
    if fmt == "blf":
        return _k.iter_read(file, frames, verbose=verbose, threads=threads, errors=errors, **blf)
    pieces = _k.iter_text(file, frames, format=fmt, verbose=verbose, _notices=text_notices)
    start, stop = blf.get("start"), blf.get("stop")
    if start is None and stop is None:
        return pieces
    return (_window(p, start, stop) for p in pieces)


def _window(pair: Any, start: Any, stop: Any) -> Any:
    """The frames with start <= timestamp < stop, as kv.read's time window
    (text times are exact nanoseconds already: exact_time has nothing to do)."""
    if start is None and stop is None:
        return pair
    import numpy as np

    ts = pair[0]["timestamp"]
    keep = np.ones(len(ts), bool)
    if start is not None:
        keep &= ts >= np.int64(start)
    if stop is not None:
        keep &= ts < np.int64(stop)
    return pair if keep.all() else (pair[0][keep], pair[1])


def text_header(path: str, fmt: str) -> dict:
    """What korvel.korvel.info says of a BLF log, for a text log: no header
    dates (0: the frames' span stands in) and no containers."""
    import numpy as np

    size = os.path.getsize(path)
    return {
        "object_count": 0,
        "application": {"id": 0, "name": NAMES[fmt], "version": (0, 0, 0)},
        "file_size": size,
        "uncompressed_size": size,
        "start": 0,
        "stop": 0,
        "containers": np.zeros(
            0, [("offset", "<u8"), ("size", "<u4"), ("uncompressed_size", "<u4"), ("method", "<u2")]
        ),
    }
