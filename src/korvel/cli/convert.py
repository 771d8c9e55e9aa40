"""korvel convert: a log in another format, BLF <-> ASC, and candump or PCAN
trace logs to either; a BLF log's Ethernet frames as pcapng."""

from __future__ import annotations

import argparse
import contextlib
import os
import zlib
from typing import Callable

from .. import korvel as kv
from .._logs import log_format, read_log
from .session import SAMPLES, WRITERS, Failure, Session, write_log


def _pcapng(args: argparse.Namespace) -> None:
    """The Ethernet frames of a log, for Wireshark."""
    try:
        if log_format(args.log) == "blf":
            pair = kv.read_ethernet(args.log, threads=args.threads, verbose=False,
                                    errors=args.errors)
        else:
            pair = read_log(args.log, buses="ethernet", threads=args.threads, verbose=False,
                            errors=args.errors)
    except OSError as e:
        raise Failure(args.log, e.strerror or str(e)) from None
    except kv.TextError as e:
        raise Failure(args.log, str(e)) from None
    except (kv.BLFError, zlib.error) as e:
        raise Failure(args.log, str(e) or "not a readable log") from None
    kv.write_pcapng(args.output, pair, verbose=False)
    if not args.quiet:
        print(f"{len(pair[0])} Ethernet frames -> {args.output}")


def run(args: argparse.Namespace, session: Session) -> None:
    suffix = os.path.splitext(args.output)[1].lower()
    if suffix not in WRITERS and suffix != ".pcapng":
        raise Failure(args.output,
                      f"the output must end in {' or '.join((*WRITERS, '.pcapng'))}")
    with contextlib.suppress(OSError):
        if os.path.samefile(args.log, args.output):
            raise Failure(args.output, "the output would overwrite the log being read")
    if suffix == ".pcapng":
        _pcapng(args)
        return
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
  korvel convert drive.blf ethernet.pcapng
  korvel convert drive.mf4 ethernet.pcapng

"""
    + SAMPLES
)


def register(command: Callable[..., argparse.ArgumentParser]) -> None:
    p = command(
        "convert",
        "Write a log (BLF, ASC, candump .log or PCAN .trc) as BLF or ASC, "
        "by the output's suffix, with its exact times; a log's Ethernet frames "
        "as pcapng (one interface per channel, nanosecond times, direction).",
        ["common", "errors"],
        EXAMPLE,
    )
    p.add_argument("log", metavar="LOG")
    p.add_argument("output", metavar="OUT.blf|OUT.asc|OUT.pcapng")
    p.set_defaults(run=run)
