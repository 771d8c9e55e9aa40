"""korvel convert: a log in another format, BLF <-> ASC, and candump or PCAN
trace logs to either."""

from __future__ import annotations

import argparse
import contextlib
import os
from typing import Any, Callable

from .. import korvel as kv
from .session import SAMPLES, Failure, Session

OUTPUTS = (".blf", ".asc")


def write_blf(path: str, frames: Any, threads: int | None) -> None:
    """kv.write with exact integer-nanosecond times (the one place that asks
    for them, so that a build without them fails here alone)."""
    kv.write(path, frames, threads=threads, verbose=False, exact_time=True)


def run(args: argparse.Namespace, session: Session) -> None:
    suffix = os.path.splitext(args.output)[1].lower()
    if suffix not in OUTPUTS:
        raise Failure(args.output, "the output must end in .blf or .asc")
    with contextlib.suppress(OSError):
        if os.path.samefile(args.log, args.output):
            raise Failure(args.output, "the output would overwrite the log being read")
    (frames,) = session.read(args.log, None, exact_time=True)
    if suffix == ".blf":
        write_blf(args.output, frames, args.threads)
    else:
        kv.write_asc(args.output, frames, verbose=False)
    if not args.quiet:
        print(f"{len(frames[0])} frames -> {args.output}")


EXAMPLE = (
    """examples:
  korvel convert drive.blf drive.asc
  korvel convert trace.asc trace.blf
  korvel convert candump-2024-05-01.log bus.blf
  korvel convert pcan.trc pcan.asc

"""
    + SAMPLES
)


def register(command: Callable[..., argparse.ArgumentParser]) -> None:
    p = command(
        "convert",
        "Write a log (BLF, ASC, candump .log or PCAN .trc) as BLF or ASC, "
        "by the output's suffix, with its exact times.",
        ["common", "errors"],
        EXAMPLE,
    )
    p.add_argument("log", metavar="LOG")
    p.add_argument("output", metavar="OUT.blf|OUT.asc")
    p.set_defaults(run=run)
