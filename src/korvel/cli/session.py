"""The parts every command shares: the session (progress bar, messages, exit
status), reading logs in pieces through a byte-counting stream, and turning
failures into one line on standard error.
"""

from __future__ import annotations

import argparse
import contextlib
import os
import re
import sys
import warnings
import zlib
from collections.abc import Iterator
from typing import Any, Callable

from .. import korvel as kv
from .._logs import iter_log, log_format, read_log, text_header

PROG = "korvel"
# Work this large (in log bytes) or over this many logs gets a progress bar.
LONG_WORK_BYTES = 100 * 2**20
MANY_LOGS = 10
PIECE_FRAMES = 1_000_000
SAMPLES = ("drive.blf and vehicle.dbc are the sample log and database in examples/data/ of\n"
           "korvel's source distribution.")


# The log formats the commands write, by the output's suffix.
WRITERS = {".blf": "BLF", ".asc": "ASC", ".mf4": "MF4"}


def positive(text: str) -> int:
    """A whole number of at least 1 (argparse type)."""
    try:
        n = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if n < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1: {n}")
    return n


def log_output(text: str) -> str:
    """An output log's name (argparse type): its suffix says the format, and
    one the commands cannot write is refused before any work. A name without
    a suffix is written as BLF."""
    suffix = os.path.splitext(text)[1].lower()
    if suffix and suffix not in WRITERS:
        raise argparse.ArgumentTypeError(
            f"cannot write a log named {text!r}: the suffix says the format, and korvel "
            f"writes {' and '.join(WRITERS)} logs")
    return text


def write_log(path: str, frames: Any, threads: int | None) -> None:
    """Frames as a log of the format the path's suffix names, with exact
    times (BLF: integer nanoseconds; ASC: microseconds)."""
    suffix = os.path.splitext(path)[1].lower()
    if suffix == ".asc":
        kv.write_asc(path, frames, verbose=False)
    elif suffix == ".mf4":
        kv.write_mf4(path, frames, threads=threads, verbose=False)
    else:
        kv.write(path, frames, threads=threads, verbose=False, exact_time=True)


class Failure(Exception):
    """Ends the command with one line on standard error and exit status 1."""

    def __init__(self, where: str | None, message: str):
        super().__init__(message)
        self.where = where
        self.message = message

    def line(self) -> str:
        return f"{self.where}: {self.message}" if self.where else self.message


class Damaged(Failure):
    """A log that could not be read: with several logs, the others go on."""


def readable(path: str) -> str:
    """A path as text for tables and figures: bytes that are not UTF-8 (which
    os hands over as surrogate escapes) become U+FFFD."""
    return path.encode("utf-8", "surrogateescape").decode("utf-8", "replace")


def one_line(text: str) -> str:
    return " ".join(str(text).split())


def exc_text(e: BaseException) -> str:
    text = one_line(str(e))
    return f"{type(e).__name__}: {text}" if text else type(e).__name__


def need(module: str, extra: str) -> Any:
    import importlib

    try:
        return importlib.import_module(module)
    except ImportError:
        raise Failure(
            None, f"{module} is needed for this; install it with: pip install 'korvel[{extra}]'"
        ) from None


class _Progress:
    """A byte-counting bar on standard error, or nothing."""

    def __init__(self, total: int, show: bool):
        self.bar = None
        if not show:
            return
        try:
            from tqdm import tqdm
        except ImportError:
            print(f"{PROG}: no progress bar without tqdm (pip install 'korvel[cli]')",
                  file=sys.stderr)
            return
        self.bar = tqdm(total=total, unit="B", unit_scale=True, unit_divisor=1024,
                        file=sys.stderr, leave=False, dynamic_ncols=True, mininterval=0.25)

    def update(self, n: int) -> None:
        if self.bar is not None and n:
            self.bar.update(n)

    def describe(self, path: str) -> None:
        if self.bar is not None:
            self.bar.set_description(os.path.basename(path), refresh=False)

    def write(self, line: str) -> None:
        if self.bar is not None:
            self.bar.write(line, file=sys.stderr)
        else:
            print(line, file=sys.stderr, flush=True)

    def close(self) -> None:
        if self.bar is not None:
            self.bar.close()
            self.bar = None


class _CountingStream:
    """What the reader reads through: a file that tells how far it got."""

    def __init__(self, f: Any, on_read: Callable[[int], None]):
        self._f = f
        self._on_read = on_read
        self.pos = 0
        self.name = getattr(f, "name", None)

    def read(self, n: int = -1) -> bytes:
        b = self._f.read(n)
        self.pos += len(b)
        self._on_read(len(b))
        return b


def _locate(path: str) -> int | None:
    """Where a single-threaded read finds the fault: there the stream stands
    when the reader gives up (a threaded read may have run a few containers
    ahead of it)."""
    try:
        with open(path, "rb") as f:
            stream = _CountingStream(f, lambda n: None)
            try:
                for _ in kv.iter_read(stream, PIECE_FRAMES, threads=1, verbose=False, _notices=[]):
                    pass
            except (kv.BLFError, zlib.error):
                return stream.pos
    except OSError:
        pass
    return None


def _fault(path: str, e: Exception) -> str:
    """One line for a damaged log, with the byte offset of the fault."""
    text = one_line(str(e))
    if isinstance(e, zlib.error):
        text = f"corrupt compressed data ({text})"
    if re.search(r"byte offset \d", text) or text.startswith("MF4") or " MF4 log (" in text:
        return text  # MF4 faults name their block; a packed MF4 log has no offset to give
    if text.startswith("Unsupported file format"):
        return "not a BLF log: no BLF signature at byte offset 0"
    text = text or "damaged log: no log object signature where an object should begin"
    where = _locate(path)
    return f"{text}; found reading up to byte offset {where}" if where is not None else text


class Session:
    """One command's run: its progress bar, its messages and its exit status."""

    def __init__(self, args: argparse.Namespace):
        self.quiet = args.quiet
        self.strict = getattr(args, "strict", False)
        self.threads = args.threads
        self.errors = getattr(args, "errors", "raise")
        self.status = 0
        logs = getattr(args, "logs", [])
        total = 0
        for path in logs:
            with contextlib.suppress(OSError):
                total += os.path.getsize(path)
        long_work = total >= LONG_WORK_BYTES or len(logs) >= MANY_LOGS
        self.progress = _Progress(total, long_work and not self.quiet and sys.stderr.isatty())

    def say(self, line: str) -> None:
        self.progress.write(f"{PROG}: {line}")

    def damaged(self, e: Damaged) -> None:
        """A log that failed: the others go on, unless --strict."""
        if self.strict:
            raise e
        self.say(e.line())
        self.status = 1

    def _notices(self, path: str, caught: list[warnings.WarningMessage], seen: set[str]) -> None:
        # The reader's warnings, each once per log however often it recurs: a
        # region read past (--errors skip) as it is; a log cut short or
        # objects skipped also say what became of the frames.
        for w in caught:
            if not issubclass(w.category, kv.BLFWarning):
                warnings.warn_explicit(w.message, w.category, w.filename, w.lineno)
                continue
            text = one_line(str(w.message))
            if text in seen:
                continue
            seen.add(text)
            if text.startswith("skipped "):
                self.say(f"{path}: {text}")
                self.status = 1
                continue
            if not self.strict:
                text += ("; the frames before it are kept" if "truncated" in text
                         else "; such objects are skipped")
            self.damaged(Damaged(path, text))

    def read(self, path: str, piece_frames: int | None, *, exact_time: bool = False,
             start: int | None = None, stop: int | None = None, other_buses: bool = True,
             **options: Any) -> Iterator[Any]:
        """The frames of one log (BLF, or an ASC, candump or PCAN trace text
        log): in pieces of piece_frames, or whole (None); with start or stop,
        those of the time window only (a BLF log is read from the path, so that
        only the containers the window needs are inflated). options: more
        keywords of the BLF reader (all_errors=True). Faults raise Damaged
        naming the file and the byte offset (a text log: the line). A BLF
        log's objects of other buses are said once read (other_buses=False:
        not, for a command that lists them anyway)."""
        self.progress.describe(path)
        seen: set[str] = set()
        fmt = log_format(path)
        text: list[tuple] = []  # a text log's notice: the lines it skipped
        quiet = {"threads": self.threads, "verbose": False, "errors": self.errors,
                 "exact_time": exact_time, "format": fmt, **options}
        if fmt != "blf":  # a BLF log's notices come as warnings, each a fault
            quiet["_notices"] = text
        others: list[tuple[str, int]] = []  # objects of other buses a whole BLF read passed
        if fmt == "blf" and other_buses:
            quiet["_other_buses"] = others
        windowed = start is not None or stop is not None
        if windowed:
            quiet.update(start=start, stop=stop)
        try:
            with open(path, "rb") as f:
                counted = _CountingStream(f, self.progress.update)
                stream: Any = path if windowed and fmt == "blf" else counted
                if piece_frames is None:
                    pieces = (read_log(stream, **quiet) for _ in range(1))  # read on next()
                else:
                    pieces = iter_log(stream, piece_frames, **quiet)
                while True:
                    with warnings.catch_warnings(record=True) as caught:
                        warnings.simplefilter("always", kv.BLFWarning)
                        piece = next(pieces, None)
                    self._notices(path, caught, seen)
                    if piece is None:
                        # Lines a text reader skipped (events, comments, ...) and
                        # groups of other buses in an MF4 log are no damage;
                        # MF4 blocks read past are.
                        for kind, line, *_ in text:
                            if kind == "skipped":
                                self.say(f"{path}: {line}")
                                self.status = 1
                            elif not self.quiet:
                                self.say(f"{path}: {line}")
                        if others and not self.quiet:
                            self.say(f"{path}: {_other_buses_line(others)}")
                        return
                    yield piece
        except kv.TextError as e:
            raise Damaged(path, one_line(str(e))) from None
        except (kv.BLFError, zlib.error) as e:
            raise Damaged(path, _fault(path, e)) from None
        except OSError as e:  # a missing log, a directory, a failing disk
            raise Damaged(path, e.strerror or exc_text(e)) from None

    def header(self, path: str) -> dict:
        fmt = log_format(path)
        try:
            if fmt != "blf":
                return text_header(path, fmt)
            with warnings.catch_warnings():
                # A cut log is reported by the read that follows.
                warnings.simplefilter("ignore", kv.BLFWarning)
                return kv.info(path, verbose=False)
        except (kv.BLFError, zlib.error) as e:
            raise Damaged(path, _fault(path, e)) from None
        except OSError as e:
            raise Damaged(path, e.strerror or exc_text(e)) from None


def _other_buses_line(others: list[tuple[str, int]]) -> str:
    """What a command that reads CAN frames leaves out of a BLF log, as an MF4
    log's other groups are said."""
    total = sum(n for _, n in others)
    kinds = ", ".join(f"{n} {bus}" for bus, n in others)
    return (f"{total} object{'s' if total != 1 else ''} of other buses left out ({kinds}): "
            "this command reads CAN frames (read_buses reads the others)")


def j1939_mode(args: argparse.Namespace) -> bool | str:
    """--j1939 as korvel.decode takes it."""
    return {"auto": "auto", "on": True, "off": False}[args.j1939]

