"""korvel lake: logs into a Hive-partitioned Parquet lake (korvel.lake.write)."""

from __future__ import annotations

import argparse
from typing import Any, Callable

from .databases import DBC_HELP, dbc_arg, plan_of
from .decode import names_arg
from .protocols import add_options, transport_arg
from .session import SAMPLES, Failure, Session, j1939_mode, need, one_line, positive


def _line(e: BaseException) -> str:
    """A failure as one line: the library's errors name the log first."""
    if isinstance(e, OSError) and e.strerror:
        text = e.strerror if e.filename is None or str(e.filename) in e.strerror else \
            f"{e.filename}: {e.strerror}"
        return one_line(text)
    return one_line(str(e)) or type(e).__name__


def part_arg(text: str) -> int:
    try:
        return int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None


def run(args: argparse.Namespace, session: Session) -> None:
    need("pyarrow", "lake")
    if args.workers is not None or args.scheduler is not None:
        need("distributed", "lake")
    from .. import lake

    messages = [n for group in args.messages for n in group] if args.messages else None
    plan = plan_of(args.dbc, messages)
    device: Any = args.device if args.device is not None else args.device_part
    try:
        rows = lake.write(
            args.logs, plan, args.output, device=device, split=args.split, workers=args.workers,
            scheduler=args.scheduler, errors=args.errors, threads=args.threads,
            j1939=j1939_mode(args), j1939_na=args.j1939_na,
            transport=args.transport,
            fast_packet=args.fast_packet, addressing=args.addressing,
        )
    except (ValueError, TypeError, OSError, RuntimeError) as e:
        raise Failure(None, _line(e)) from None
    except Exception as e:  # noqa: BLE001 - a log's read error (BLFError, zlib.error, ...)
        raise Failure(None, _line(e)) from None
    status = rows.column("status").to_pylist()
    for reason in rows.filter(rows.column("status").to_numpy(zero_copy_only=False) == "failed"
                              ).column("reason").to_pylist():
        session.say(reason)
        session.status = 1
    if args.quiet:
        return
    added = [r for r, s in zip(rows.to_pylist(), status) if s == "added"]
    frames = sum(r["frames"] for r in added)
    files = sum(len(r["files"]) for r in added)
    failed = status.count("failed")
    print(f"{len(added)} log{'' if len(added) == 1 else 's'} added ({frames} frames, "
          f"{files} files), {status.count('present')} already there"
          + (f", {failed} failed" if failed else "") + f" -> {args.output}")


EXAMPLE = """examples:
  korvel lake drive.blf --dbc vehicle.dbc -o lake/
  korvel lake fleet/*/*.blf --dbc pt.dbc --dbc 2:body.dbc --device-part -2 -o lake/
  korvel lake day1/*.blf --dbc vehicle.dbc --workers 2 --errors skip -o lake/

""" + SAMPLES


def transport_text(text: str) -> str:
    """--transport as decode takes it, kept as text for korvel.lake."""
    transport_arg(text)
    return text


def register(command: Callable[..., argparse.ArgumentParser]) -> None:
    p = command("lake", "Add logs to a Parquet lake partitioned by message and date (and device), "
                "for DuckDB, Polars or pyarrow.dataset.", ["common", "j1939"], EXAMPLE)
    p.add_argument("logs", nargs="+", metavar="LOG")
    p.add_argument("--dbc", type=dbc_arg, action="append", required=True, metavar="[CH:]DB",
                   help=DBC_HELP)
    p.add_argument("--messages", type=names_arg, action="append", metavar="NAME,...",
                   help="only these messages")
    p.add_argument("-o", "--output", required=True, metavar="ROOT",
                   help="the lake: ROOT/[device=ID/]message=NAME/date=YYYY-MM-DD/LOGID.parquet, "
                   "and the manifest under ROOT/_korvel/ (made when missing or empty)")
    who = p.add_mutually_exclusive_group()
    who.add_argument("--device", metavar="ID", help="the vehicle every log comes from: files go "
                     "under device=ID/")
    who.add_argument("--device-part", type=part_arg, metavar="N",
                     help="the device is part N of each log's absolute path (-2: the folder "
                     "holding the log)")
    p.add_argument("--split", type=positive, metavar="N",
                   help="N containers of a BLF log per task, for large logs (default: a task "
                   "per log)")
    where = p.add_mutually_exclusive_group()
    where.add_argument("--workers", type=positive, metavar="N",
                       help="run on a local Dask cluster of N worker processes")
    where.add_argument("--scheduler", metavar="ADDRESS",
                       help="run on the Dask cluster at ADDRESS (logs and ROOT at the same "
                       "paths on its workers)")
    p.add_argument("--errors", choices=("raise", "skip"), default="raise",
                   help="skip: a log that fails is recorded in the manifest as failed, one line "
                   "on standard error, exit status 1 at the end (default: raise, the first "
                   "failing log stops the command; the logs done before it stay)")
    p.add_argument("--transport", type=transport_text, metavar="j1939|isotp[:IDS]",
                   help="reassemble multi-frame messages first, as decode --transport does")
    add_options(p)
    p.set_defaults(run=run)
