"""korvel split: a long log as parts of a given span, frame count or size."""

from __future__ import annotations

import argparse
import glob
import os
from typing import Any, Callable

import numpy as np

from .. import korvel as kv
from .session import SAMPLES, WRITERS, Failure, Session, positive, write_log
from .times import duration, size

# Bytes each frame object takes in a written log, before compression.
_CLASSIC, _ERROR, _FD = 48, 64, 116
_FLAG_FD, _FLAG_ERROR = 0x08, 0x10


def _slice(frames: Any, a: int, b: int) -> tuple[np.ndarray, np.ndarray]:
    """Records [a, b) of a piece with only their payload bytes."""
    index, chunk = frames
    part = index[a:b].copy()
    if not len(part):
        return part, chunk[:0]
    first = int(part["loc"][0]) & ((1 << 48) - 1)
    end = int(index["loc"][b]) & ((1 << 48) - 1) if b < len(index) else len(chunk)
    part["loc"] -= np.uint64(first)
    return part, chunk[first:end]


def _object_bytes(index: np.ndarray) -> np.ndarray:
    flags = index["flags"]
    sizes = np.where(flags & _FLAG_FD, _FD, _CLASSIC)
    return np.where(flags & _FLAG_ERROR, _ERROR, sizes)


class _Parts:
    """Parts written one by one as <stem>_0001.blf, ... into a directory.
    Names hold at least four digits; the part after _9999 renames those
    written to five (and so on), so that sorted names stay in file order."""

    def __init__(self, args: argparse.Namespace):
        self.args = args
        self.stem = os.path.splitext(os.path.basename(args.log))[0]
        self.suffix = "." + args.format
        self.pieces: list[Any] = []
        self.count = 0
        self.frames = 0
        self.width = 4
        self.names: list[str] = []

    def _name(self, number: int) -> str:
        return os.path.join(self.args.output, f"{self.stem}_{number:0{self.width}d}{self.suffix}")

    def _widen(self) -> None:
        self.width += 1
        for number, old in enumerate(self.names, 1):
            new = self._name(number)
            os.replace(old, new)
            self.names[number - 1] = new

    def add(self, piece: Any) -> None:
        if len(piece[0]):
            self.pieces.append(piece)
            self.frames += len(piece[0])

    def close(self) -> int:
        """Writes the part gathered so far; returns its file size."""
        if not self.pieces:
            return 0
        frames = self.pieces[0] if len(self.pieces) == 1 else kv.concat(self.pieces)
        self.count += 1
        if self.count == 10**self.width:
            self._widen()
        name = self._name(self.count)
        write_log(name, frames, self.args.threads)
        self.names.append(name)
        self.pieces, self.frames = [], 0
        return os.path.getsize(name)


def _prepare(directory: str, suffix: str) -> None:
    if os.path.exists(directory) and not os.path.isdir(directory):
        raise Failure(directory, "not a directory")
    os.makedirs(directory, exist_ok=True)
    if glob.glob(os.path.join(glob.escape(directory), "*" + suffix)):
        raise Failure(directory, f"already holds {suffix} files; split into an empty directory")


def parts_directory(text: str) -> str:
    """-o names a directory (argparse type): a log's name there would leave
    parts of one format in a directory named for another."""
    suffix = os.path.splitext(text.rstrip("/" + os.sep))[1].lower()
    if suffix in (*WRITERS, ".log", ".trc") and not os.path.isdir(text):
        raise argparse.ArgumentTypeError(
            f"{text!r} names a log, but split writes its parts into a directory; give the "
            "directory, and the parts' format with --format")
    return text


def run(args: argparse.Namespace, session: Session) -> None:
    _prepare(args.output, "." + args.format)
    parts = _Parts(args)
    total = 0
    # --size: object bytes per file byte, from the log's own header at first,
    # then from the parts written.
    ratio = 1.0
    if args.size:
        head = session.header(args.log)
        if head["uncompressed_size"] and head["file_size"]:
            ratio = min(1.0, head["file_size"] / head["uncompressed_size"])
    written_obj = written_file = 0
    part_obj = 0
    boundary: int | None = None
    t0: int | None = None
    for piece in session.read(args.log, args.piece_frames, exact_time=True):
        index = piece[0]
        total += len(index)
        a = 0
        while a < len(index):
            if args.every:
                ts = index["timestamp"][a:]
                if t0 is None:
                    t0 = int(ts[0])
                    boundary = t0 + args.every
                past = np.flatnonzero(ts >= boundary)
                b = a + int(past[0]) if len(past) else len(index)
            elif args.frames:
                b = min(len(index), a + args.frames - parts.frames)
            else:
                sizes = np.cumsum(_object_bytes(index[a:])) + part_obj
                room = int(np.searchsorted(sizes * ratio, args.size, side="right"))
                # A part holds at least one frame.
                b = a + max(room, 1 if not parts.frames else 0)
                part_obj = int(sizes[b - a - 1]) if b > a else part_obj
            parts.add(_slice(piece, a, b))
            if b == len(index) and not (args.frames and parts.frames >= args.frames):
                break
            written = parts.close()
            if args.size and part_obj:
                written_obj += part_obj
                written_file += written
                ratio = written_file / written_obj
                part_obj = 0
            if args.every and b < len(index):
                # The next part starts at the interval of the frame that opens it.
                late = int(index["timestamp"][b]) - t0
                boundary = t0 + (late // args.every + 1) * args.every
            a = b
    parts.close()
    if not parts.names:
        raise Failure(args.log, "no frames; nothing written")
    if not args.quiet:
        print(f"{total} frames -> {len(parts.names)} parts in {args.output}")


EXAMPLE = """examples:
  korvel split drive.blf --every 10s -o parts/
  korvel split drive.blf --frames 1000 -o parts/
  korvel split drive.blf --size 100MB -o parts/

""" + SAMPLES


def register(command: Callable[..., argparse.ArgumentParser]) -> None:
    p = command("split", "Split a log into parts <stem>_0001.blf, ... in file order (sorted "
                "names are file order), with exact timestamps; joined, the parts read back as "
                "the whole log.",
                ["common", "errors", "pieces"], EXAMPLE)
    p.add_argument("log", metavar="LOG")
    how = p.add_mutually_exclusive_group(required=True)
    how.add_argument("--every", type=duration, metavar="SPAN",
                     help="a part per SPAN (30s, 500ms, 2min, 1h) counted from the first "
                     "frame; a part ends at the first frame at or past its end, and spans "
                     "without frames give no part")
    how.add_argument("--frames", type=positive, metavar="N", help="N frames per part")
    how.add_argument("--size", type=size, metavar="SIZE",
                     help="parts of about SIZE bytes (100MB, 1.5GB, 64MiB), estimated from "
                     "the compression of the parts written so far")
    p.add_argument("-o", "--output", required=True, type=parts_directory, metavar="DIR",
                   help="the directory for the parts (created if missing; it must not hold "
                   "files of the parts' format)")
    p.add_argument("--format", choices=[w.lstrip(".") for w in WRITERS], default="blf",
                   help="the parts' format (default: blf)")
    p.set_defaults(run=run)
