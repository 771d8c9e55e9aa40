"""The one opener: which reader a log takes (BLF, or one of the text formats:
ASC, candump, PCAN trace), by the file's suffix or, when the suffix says
nothing, by its first bytes; and what the functions that take "frames" make
of what they are given. Every place that opens a log (korvel.decode,
korvel.dask, the reassemblers, korvel.stats, the command line) goes through
here, so that each takes every format."""

from __future__ import annotations

import numbers
import os
import warnings
from collections.abc import Iterator
from typing import Any

import numpy as np

from . import korvel as _k

__all__ = ["iter_log", "log_format", "read_log"]

SUFFIXES = {".blf": "blf", ".asc": "asc", ".log": "candump", ".trc": "trc", ".mf4": "mf4"}
NAMES = {"blf": "BLF", "asc": "ASC", "candump": "candump", "trc": "PCAN trace", "mf4": "MF4"}
# Logger files that hold an MF4 log compressed or encrypted.
_PACKED = {".mfc": "a compressed", ".mfe": "an encrypted"}
_TEXT_READERS = {"asc": _k.read_asc, "candump": _k.read_candump, "trc": _k.read_trc}
# Keywords only the BLF reader has a use for: a text log's times are exact
# already and its error frames are all read.
_BLF_ONLY = ("containers",)
_MEANINGLESS_FOR_TEXT = ("exact_time", "all_errors", "_libdeflate")


def log_format(file: Any) -> str:
    """ "blf", "asc", "candump", "trc" or "mf4" for a path (by suffix, else by its
    first bytes) or a seekable binary stream (by its first bytes, which are
    read and given back). Anything else is taken as BLF, whose reader says
    what is wrong with it."""
    if isinstance(file, (str, os.PathLike)):
        suffix = os.path.splitext(os.fsdecode(file))[1].lower()
        if suffix in SUFFIXES:
            return SUFFIXES[suffix]
        if suffix in _PACKED:
            return "packed"  # refused by the readers, naming the file
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
    if head[:8] in (b"MDF     ", b"UnFinMF "):
        return "mf4"
    return _k._sniff_text(head) or "blf"


def _packed(file: Any) -> None:
    """BLFError for a compressed or encrypted MF4 logger file."""
    name = file if isinstance(file, (str, os.PathLike)) else getattr(file, "name", "the log")
    name = os.fsdecode(name)
    suffix = os.path.splitext(name)[1].lower()
    raise _k.BLFError(
        f"{name} is {_PACKED[suffix]} MF4 log ({suffix[1:].upper()}): decompress it first "
        "(with the logger maker's tools) into an .MF4 file, which korvel reads")


def _format_arg(file: Any, format: str | None) -> str:
    if format is None:
        fmt = log_format(file)
        if fmt == "packed":
            _packed(file)
        return fmt
    if format == "packed":  # what log_format said of the path this stream reads
        _packed(file)
    if format not in NAMES:
        raise ValueError(f"format must be one of {', '.join(map(repr, NAMES))} or None "
                         f"(got {format!r})")
    return format


def _text_options(fmt: str, blf: dict) -> None:
    for key in _BLF_ONLY:
        if blf.get(key) is not None:
            raise ValueError(f"{key}= applies to BLF logs only (this is a {NAMES[fmt]} log)")
    unknown = set(blf) - set(_BLF_ONLY) - set(_MEANINGLESS_FOR_TEXT)
    if unknown:
        raise TypeError(f"read_log() got an unexpected keyword argument {min(unknown)!r}")


def read_log(
    file: Any,
    *,
    format: str | None = None,
    verbose: bool = True,
    threads: Any = None,
    errors: str = "raise",
    start: Any = None,
    stop: Any = None,
    buses: Any = None,
    _notices: list | None = None,
    **blf: Any,
) -> Any:
    """The frames pair of a log of any format korvel reads.

    file: a path or a binary stream. A BLF log, an ASC log, a candump log, a
        PCAN trace file or an MF4 bus log, told by the path's suffix (.blf,
        .asc, .log, .trc, .mf4 in any case) or, failing that, by the first
        bytes (a stream: when it can seek back). .MFC and .MFE logger files
        (compressed or encrypted MF4) raise BLFError: decompress them first.
    format: "blf", "asc", "candump", "trc" or "mf4" to say it instead.
    verbose, threads, errors: as for korvel.korvel.read (text readers read
        on one thread and always skip malformed lines, with a TextWarning;
        MF4 logs as read_mf4 takes them).
    start, stop: the frames with start <= timestamp < stop (int64 ns since
        the epoch or numpy.datetime64; None leaves an end open).
    buses: None (the CAN frames pair), a bus name ("can", "lin",
        "ethernet", "flexray") for that bus's pair, or a sequence of names
        (and "events" for a BLF log) for a dict of pairs as
        korvel.korvel.read_buses gives, all from one reading of the log.
        ASC logs give LIN from their Li lines and Ethernet from their ETH
        lines, MF4 logs from their LIN_Frame and ETH_Frame groups; FlexRay
        comes from BLF logs only (empty for the others).
    **blf: the BLF reader's other keywords (exact_time, all_errors,
        containers); exact_time and all_errors change nothing for a text
        log, containers applies to BLF logs only.

    Returns (index, chunk), or with buses as said above. Raises what the
    format's reader raises.
    """
    fmt = _format_arg(file, format)
    if buses is not None:
        return _read_buses(file, fmt, buses, verbose=verbose, threads=threads, errors=errors,
                           start=start, stop=stop, _notices=_notices, blf=blf)
    if fmt == "blf":
        return _k.read(file, verbose=verbose, threads=threads, errors=errors, start=start,
                       stop=stop, _notices=_notices, **blf)
    _text_options(fmt, blf)
    window = _bounds(start, stop)
    if fmt == "mf4":
        pair = _k.read_mf4(file, verbose=verbose, errors=errors, threads=threads,
                           _notices=_notices)
    else:
        pair = _TEXT_READERS[fmt](file, verbose=verbose, _notices=_notices)
    return _window(pair, *window)


BUSES = ("can", "lin", "ethernet", "flexray")


def _bus_names(buses: Any, fmt: str) -> list[str]:
    if isinstance(buses, str):
        names = [buses]
    else:
        try:
            names = list(buses)
        except TypeError:
            raise TypeError("buses must be a bus name or a sequence of them, not "
                            f"{type(buses).__name__}") from None
    for name in names:
        if not isinstance(name, str):
            raise TypeError(f"buses must hold str, got {type(name).__name__}")
        if name == "events" and fmt == "blf":
            continue
        if name not in BUSES:
            known = ", ".join(repr(b) for b in (*BUSES, "events"))
            if name == "events":
                raise ValueError(f"events are read from BLF logs only (this is a {NAMES[fmt]} log)")
            raise ValueError(f"unknown bus {name!r} (buses are {known})")
    return list(dict.fromkeys(names))


def _read_buses(file: Any, fmt: str, buses: Any, *, verbose: bool, threads: Any, errors: str,
                start: Any, stop: Any, _notices: list | None, blf: dict) -> Any:
    """read_log with buses=: one reading of the log, the pairs asked for."""
    names = _bus_names(buses, fmt)
    if fmt == "blf":
        blf = {k: v for k, v in blf.items() if k == "containers"}
        out = _k.read_buses(file, names, verbose=verbose, threads=threads, errors=errors,
                            start=start, stop=stop, _notices=_notices, **blf)
    else:
        _text_options(fmt, blf)
        window = _bounds(start, stop)
        if fmt == "mf4":
            out = _k._read_mf4_buses(file, names, verbose=verbose, errors=errors,
                                     threads=threads, _notices=_notices)
        else:
            out = _k._read_text_buses(file, fmt, names, verbose=verbose, _notices=_notices)
        out = {name: _window(out[name], *window) for name in names}
    return out[buses] if isinstance(buses, str) else out


def iter_log(
    file: Any,
    frames: int = 1_000_000,
    *,
    format: str | None = None,
    verbose: bool = True,
    threads: Any = None,
    errors: str = "raise",
    start: Any = None,
    stop: Any = None,
    _notices: list | None = None,
    **blf: Any,
) -> Iterator[Any]:
    """Pieces of at most `frames` frames of a log of any format, in file
    order; joined with korvel.korvel.concat they equal read_log. Memory
    stays bounded whatever the size of the log. Keywords as for read_log."""
    fmt = _format_arg(file, format)
    if fmt == "blf":
        return _k.iter_read(file, frames, verbose=verbose, threads=threads, errors=errors,
                            start=start, stop=stop, _notices=_notices, **blf)
    _text_options(fmt, blf)
    window = _bounds(start, stop)
    if fmt == "mf4":  # links point anywhere: read whole, handed out in pieces
        if frames < 1:
            raise ValueError("frames must be at least 1")
        pair = read_log(file, format="mf4", verbose=verbose, threads=threads, errors=errors,
                        start=start, stop=stop, _notices=_notices)
        return _pieces(pair, frames)
    pieces = _k.iter_text(file, frames, format=fmt, verbose=verbose, _notices=_notices)
    if window == (None, None):
        return pieces
    return _windowed(pieces, window)


def _windowed(pieces: Iterator[Any], window: tuple[Any, Any]) -> Iterator[Any]:
    """Each piece masked to the window; pieces left empty are not handed out,
    as the BLF reader hands out none."""
    for piece in pieces:
        part = _window(piece, *window)
        if len(part[0]):
            yield part


def _pieces(pair: Any, frames: int) -> Iterator[Any]:
    """A frames pair whose payload follows its records in order, in pieces
    of `frames` records, each with its own payload."""
    index, chunk = pair
    mask = np.uint64((1 << 48) - 1)
    for a in range(0, len(index), frames):
        part = index[a:a + frames].copy()
        first = int(part["loc"][0] & mask)
        end = int((part["loc"][-1] & mask) + (part["loc"][-1] >> np.uint64(48)))
        part["loc"] -= np.uint64(first)
        yield part, chunk[first:end].copy()


_NS_PER_UNIT = {"W": 7 * 86400 * 10**9, "D": 86400 * 10**9, "h": 3600 * 10**9,
                "m": 60 * 10**9, "s": 10**9, "ms": 10**6, "us": 10**3, "μs": 10**3, "ns": 1}
_INT64 = (-(2**63), 2**63 - 1)


def _bound(value: Any, what: str) -> int | None:
    """A window end as int64 ns, exactly: a datetime64 that int64 ns cannot
    hold is refused, never wrapped."""
    if value is None:
        return None
    if isinstance(value, np.datetime64):
        if np.isnat(value):
            raise ValueError(f"{what} must not be NaT")
        unit, count = np.datetime_data(value.dtype)
        if unit in ("Y", "M"):  # calendar units: days are exact for them
            value = value.astype("datetime64[D]")
            unit, count = "D", 1
        if unit not in _NS_PER_UNIT:  # ps, fs, as: below a nanosecond
            ns = int(value.astype("datetime64[ns]").astype(np.int64))
            if value != np.datetime64(ns, "ns"):
                raise ValueError(f"{what} lies outside the int64 nanosecond range (got {value})")
        else:
            ns = int(value.astype(np.int64)) * count * _NS_PER_UNIT[unit]
    elif isinstance(value, (int, np.integer)) and not isinstance(value, bool):
        ns = int(value)
    else:
        raise TypeError(f"{what} must be int nanoseconds since the epoch or numpy.datetime64, "
                        f"got {type(value).__name__}")
    if not _INT64[0] <= ns <= _INT64[1]:
        raise ValueError(f"{what} lies outside the int64 nanosecond range (got {ns})")
    return ns


def _bounds(start: Any, stop: Any) -> tuple[int | None, int | None]:
    return _bound(start, "start"), _bound(stop, "stop")


def _window(pair: Any, start: int | None, stop: int | None) -> Any:
    """The frames with start <= timestamp < stop, as kv.read's time window
    (text times are exact nanoseconds already: exact_time has nothing to do)."""
    if start is None and stop is None:
        return pair
    ts = pair[0]["timestamp"]
    keep = np.ones(len(ts), bool)
    if start is not None:
        keep &= ts >= np.int64(start)
    if stop is not None:
        keep &= ts < np.int64(stop)
    return pair if keep.all() else (pair[0][keep], pair[1])


# What the functions that take frames take.
TAKES = "a frames pair (index, chunk), a DT64 array, a path or a binary stream"


def is_source(frames: Any) -> bool:
    """A path or a binary stream: something to read a log from."""
    return isinstance(frames, (str, os.PathLike)) or (
        not isinstance(frames, (np.ndarray, tuple, list)) and callable(getattr(frames, "read", None))
    )


def frames_of(frames: Any, *, what: str = "frames", threads: Any = None,
              errors: str = "raise") -> tuple[np.ndarray, np.ndarray]:
    """A frames pair from what a function was given: a pair of arrays as it
    is (a frames or a transfers pair), a homogeneous (DT64) array as
    kv.to_homo gives it, or a log of any format read quietly."""
    if is_source(frames):
        return read_log(frames, verbose=False, threads=threads, errors=errors)
    homo = homogeneous(frames)
    if homo is not None:
        return homo
    if isinstance(frames, (tuple, list)) and len(frames) == 2:
        # The native passes check the arrays' dtypes and layouts themselves.
        if isinstance(frames[0], np.ndarray) and isinstance(frames[1], np.ndarray):
            return frames[0], frames[1]
        raise TypeError(f"{what}: a frames pair holds two NumPy arrays (index, chunk), got "
                        f"({type(frames[0]).__name__}, {type(frames[1]).__name__})")
    raise TypeError(f"{what} must be {TAKES}, got {type(frames).__name__}")


def read_beside(frames: Any, work: Any, *, threads: Any = None,
                errors: str = "raise") -> tuple[Any, tuple[np.ndarray, np.ndarray]]:
    """(work(), frames_of(frames)), the two at once where that pays: a BLF or
    text log read with more than one thread while another thread runs work()
    (a database parse, which holds the interpreter while the read does not).
    The read's warnings wait until work() has returned, and an exception of
    work() is raised first: what comes out is what work() then the read, one
    after the other, would give."""
    together = is_source(frames) and (threads is None or (
        isinstance(threads, numbers.Integral) and not isinstance(threads, bool) and threads > 1))
    fmt = log_format(frames) if together else None
    if fmt not in ("blf", "asc", "candump", "trc"):
        return work(), frames_of(frames, threads=threads, errors=errors)

    import threading

    done: list[Any] = []

    def run() -> None:
        try:
            done.append((True, work()))
        except BaseException as e:  # noqa: BLE001 - raised on the calling thread
            done.append((False, e))

    helper = threading.Thread(target=run, name="korvel-beside", daemon=True)
    helper.start()
    notices: list = []
    failed = None
    try:
        pair = read_log(frames, format=fmt, verbose=False, threads=threads, errors=errors,
                        _notices=notices)
    except Exception as e:  # noqa: BLE001 - after work()'s own outcome
        failed = e
    helper.join()
    ok, result = done[0]
    if not ok:
        raise result
    category = _k.TextWarning if fmt != "blf" else _k.BLFWarning
    for notice in notices:
        warnings.warn(notice[1], category, stacklevel=1)
    if failed is not None:
        raise failed
    return result, pair


def homogeneous(frames: Any) -> tuple[np.ndarray, np.ndarray] | None:
    """A DT64 (or newType) array as a frames pair; None for anything else."""
    if not isinstance(frames, np.ndarray):
        return None
    names = frames.dtype.names or ()
    if "data" not in names or "loc" in names:
        return None
    if frames.ndim != 1:
        raise TypeError(f"a DT64 array must be one-dimensional, got {frames.ndim} dimensions")
    return _k.to_index_chunk(np.ascontiguousarray(frames), verbose=False)


def text_header(path: str, fmt: str) -> dict:
    """What korvel.korvel.info says of a BLF log, for a text log: no header
    dates (0: the frames' span stands in), no application and no
    containers; `format` names the log's format."""
    if fmt == "packed":
        _packed(path)
    size = os.path.getsize(path)
    return {
        "format": NAMES[fmt],
        "object_count": 0,
        "application": None,
        "file_size": size,
        "uncompressed_size": size,
        "start": 0,
        "stop": 0,
        "containers": np.zeros(
            0, [("offset", "<u8"), ("size", "<u4"), ("uncompressed_size", "<u4"), ("method", "<u2")]
        ),
    }
