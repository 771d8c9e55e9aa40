"""korvel convert: a log in another format, BLF <-> ASC, and candump or PCAN
trace logs to either."""

from __future__ import annotations

import argparse
import contextlib
import os
from typing import Callable

from .session import SAMPLES, WRITERS, Failure, Session, write_log


def run(args: argparse.Namespace, session: Session) -> None:
    suffix = os.path.splitext(args.output)[1].lower()
    if suffix not in WRITERS:
        raise Failure(args.output, f"the output must end in {' or '.join(WRITERS)}")
    with contextlib.suppress(OSError):
        if os.path.samefile(args.log, args.output):
            raise Failure(args.output, "the output would overwrite the log being read")
    (frames,) = session.read(args.log, None, exact_time=True)
    write_log(args.output, frames, args.threads)
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
