"""korvel cut: the frames of a time window as a new log."""

from __future__ import annotations

import argparse
import contextlib
import os
from typing import Callable

import numpy as np

from .session import SAMPLES, Failure, Session, log_output, write_log
from .times import Instant


def first_frame(session: Session, path: str) -> int | None:
    """The time of the log's first frame (in file order); None without frames."""
    for index, _ in session.read(path, 1, exact_time=True):
        if len(index):
            return int(index["timestamp"][0])
    return None


def not_the_log(log: str, output: str) -> None:
    with contextlib.suppress(OSError):
        if os.path.samefile(log, output):
            raise Failure(output, "the output would overwrite the log being read")


def run(args: argparse.Namespace, session: Session) -> None:
    not_the_log(args.log, args.output)
    t0 = None
    if any(t is not None and t.relative is not None for t in (args.start, args.stop)):
        t0 = first_frame(session, args.log)
        if t0 is None:
            raise Failure(args.log, f"no frames; {args.output} not written")
    start = args.start.ns(t0) if args.start is not None else None
    stop = args.stop.ns(t0) if args.stop is not None else None
    if start is not None and stop is not None and start > stop:
        raise Failure(None, f"--start {args.start.text} lies after --stop {args.stop.text}")
    (frames,) = session.read(args.log, None, exact_time=True, start=start, stop=stop)
    if not len(frames[0]):
        raise Failure(args.log, f"no frames in the window; {args.output} not written")
    write_log(args.output, frames, args.threads)
    if not args.quiet:
        ts = frames[0]["timestamp"]
        span = (int(np.max(ts)) - int(np.min(ts))) / 1e9
        print(f"{len(ts)} frames over {span:.3f} s -> {args.output}")


EXAMPLE = """examples:
  korvel cut drive.blf --start 10 --stop 20 -o ten_seconds.blf
  korvel cut drive.blf --start 2024-05-01T12:30:00 -o rest.blf

""" + SAMPLES


def register(command: Callable[..., argparse.ArgumentParser]) -> None:
    p = command("cut", "Write the frames of a time window (start <= time < stop) as a new "
                "log (BLF, or ASC by the output's suffix), with their exact timestamps.",
                ["common", "errors"], EXAMPLE)
    p.add_argument("log", metavar="LOG")
    p.add_argument("--start", type=Instant, metavar="T",
                   help="seconds from the log's first frame, or an ISO date-time (local time "
                   "unless it carries an offset); default: the beginning")
    p.add_argument("--stop", type=Instant, metavar="T",
                   help="as --start; the window ends before it (default: the end)")
    p.add_argument("-o", "--output", required=True, type=log_output, metavar="OUT.blf",
                   help="the log to write: BLF, or ASC for a name ending in .asc")
    p.set_defaults(run=run)


