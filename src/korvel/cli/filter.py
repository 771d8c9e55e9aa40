"""korvel filter: the frames an expression selects, as a new log."""

from __future__ import annotations

import argparse
import contextlib
import io
import os
import re
from typing import Any, Callable

import numpy as np

from .. import korvel as kv
from .databases import load_db, plain_dbc_arg
from .session import SAMPLES, Failure, Session, exc_text, log_output, write_log

# signals.Name not followed by .Signal: a bare signal name.
_BARE = re.compile(r"\bsignals\s*\.\s*([A-Za-z_]\w*)\b(?!\s*\.)")


def _ambiguity(expr: str, dbs: list[Any]) -> str | None:
    """A bare signal name that several messages define: the query would take
    one of them without a word."""
    owners: dict[str, dict[str, None]] = {}
    for db in dbs:
        for m in db.messages:
            for s in m.signals:
                owners.setdefault(s.name, {})[m.name] = None
    for name in dict.fromkeys(_BARE.findall(expr)):
        messages = list(owners.get(name, ()))
        if len(messages) > 1:
            return (f"signal {name!r} is in several messages ({', '.join(messages)}); name "
                    f"one, as in signals.{messages[0]}.{name}(frames)")
    return None


def run(args: argparse.Namespace, session: Session) -> None:
    from ..dravum import Query

    query = Query()
    dbs = [load_db(path) for _, path in args.dbc]
    for db in dbs:
        query.addDatabase(db)
    ambiguous = _ambiguity(args.expr, dbs)
    if ambiguous:
        raise Failure(None, f"bad expression {args.expr!r}: {ambiguous}")
    with contextlib.suppress(OSError):
        if os.path.samefile(args.log, args.output):
            raise Failure(args.output, "the output would overwrite the log being filtered")

    def select(frames: Any, fatal: tuple[type[BaseException], ...] = (Exception,)) -> Any:
        try:
            # Some queries print a timing line of their own; stdout is ours.
            with contextlib.redirect_stdout(io.StringIO()):
                return query.filter(frames, args.expr)
        except fatal as e:
            text = f"unknown name {e.args[0]!r}" if isinstance(e, KeyError) else exc_text(e)
            raise Failure(None, f"bad expression {args.expr!r}: {text}") from None
        except Exception:  # noqa: BLE001 - may well work on real frames
            return None

    # On no frames first, so that a misspelt expression fails before a long
    # read; only errors that no frames can mend count there (a minimum of no
    # timestamps, say, is no fault of the expression).
    select((np.zeros(0, kv.DT), np.zeros(0, np.uint8)), (SyntaxError, NameError, KeyError))
    (frames,) = session.read(args.log, None, exact_time=True)
    selected = select(frames)
    if not len(selected[0]):
        raise Failure(args.log, f"no frame matches {args.expr!r}; {args.output} not written")
    write_log(args.output, selected, args.threads)
    if not args.quiet:
        print(f"{len(selected[0])} of {len(frames[0])} frames -> {args.output}")


EXAMPLE = """examples:
  korvel filter drive.blf --dbc vehicle.dbc \\
      --expr "signals.EngineSpeed(frames) > 2500" -o fast.blf
  korvel filter drive.blf --dbc vehicle.dbc \\
      --expr "signals.Transmission.GearActual(frames) == 4" -o gear4.blf
  korvel filter drive.blf --expr "is_fd(frames) | is_error_frame(frames)" -o fd.blf

""" + SAMPLES


def register(command: Callable[..., argparse.ArgumentParser]) -> None:
    p = command("filter", "Write the frames an expression selects as a new log (BLF, or ASC "
                "by the output's suffix).",
                ["common", "errors"], EXAMPLE)
    p.add_argument("log", metavar="LOG")
    p.add_argument("--dbc", type=plain_dbc_arg, action="append", default=[], metavar="DB",
                   help="a database whose signals the expression names; repeatable")
    p.add_argument("--expr", required=True, metavar="EXPR",
                   help="a Query.filter expression over frames, signals.NAME(frames) and "
                   "is_fd, is_rx, is_extended_id, is_remote_frame, is_error_frame "
                   "(evaluated as Python: never pass untrusted text)")
    p.add_argument("-o", "--output", required=True, type=log_output, metavar="OUT.blf",
                   help="the log to write: BLF, or ASC for a name ending in .asc")
    p.set_defaults(run=run)
