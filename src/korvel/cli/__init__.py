"""The korvel command line: info, decode, filter, cut, split, plot, transfers and
stats over BLF logs.

A thin layer over the library. Logs are read through a stream that counts the
bytes it hands out (that drives the progress bar), in pieces wherever the work
allows, so memory stays bounded however large a log is. cantools, pyarrow,
tqdm and matplotlib are imported only by the commands that need them.

Exit status: 0 when every log was read whole, 1 for a damaged or missing log
or any other failure (one line on standard error, never a traceback), 2 for
usage errors.

session.py holds what the commands share (reading, messages, exit status),
databases.py the --dbc arguments; each command is a module of its own with a
register() that adds its parser and a run() that does the work.
"""

from __future__ import annotations

import argparse
import contextlib
import os
import re
import sys
from collections.abc import Iterator, Sequence

from .._version import __version__
from . import convert, cut, decode, filter, info, lake, plot, split, stats, transfers
from .session import PIECE_FRAMES, PROG, Failure, Session, exc_text, positive

_NEGATIVE = re.compile(r"-\.?\d")
COMMANDS = (info, decode, filter, cut, split, convert, plot, transfers, stats, lake)


def parser() -> argparse.ArgumentParser:
    top = argparse.ArgumentParser(
        prog=PROG,
        description="Look into CAN / CAN FD bus logs in the BLF format: summarise them, "
        "decode DBC signals into tables, cut out frames and time windows, split logs, "
        "plot signals.",
        epilog="Run 'korvel COMMAND --help' for a command's options and an example. Exit "
        "status: 0 when every log was read whole, 1 for a damaged or missing log or any "
        "other failure, 2 for usage errors.",
    )
    top.add_argument("--version", action="version", version=f"{PROG} {__version__}")
    sub = top.add_subparsers(dest="command", metavar="COMMAND")
    sub.required = True

    common = argparse.ArgumentParser(add_help=False)
    common.add_argument("-q", "--quiet", action="store_true",
                        help="hide the progress bar and the closing summary; the command's "
                        "answer and errors are still shown")
    common.add_argument("--threads", type=positive, metavar="N",
                        help="worker threads for reading and decoding (default: all cores)")
    several = argparse.ArgumentParser(add_help=False)
    several.add_argument("--strict", action="store_true",
                         help="stop at the first damaged log (by default the others go on; "
                         "the exit status is 1 either way)")
    pieces = argparse.ArgumentParser(add_help=False)
    pieces.add_argument("--piece-frames", type=positive, default=PIECE_FRAMES, metavar="N",
                        help="frames read at a time; memory grows with it "
                        f"(default: {PIECE_FRAMES})")
    errors = argparse.ArgumentParser(add_help=False)
    errors.add_argument("--errors", choices=("raise", "skip"), default="raise",
                        help="skip: read past damaged parts of a log, one line on standard "
                        "error for each region skipped, exit status 1 at the end (default: "
                        "raise, a damaged log fails)")
    j1939 = argparse.ArgumentParser(add_help=False)
    j1939.add_argument("--j1939", choices=("auto", "on", "off"), default="auto",
                       help="match J1939 messages by parameter group number, each source "
                       "apart (source and destination columns): auto for the messages the "
                       "database marks as J1939, on for every extended message, off for none "
                       "(default: auto)")
    j1939.add_argument("--j1939-na", choices=("nan", "keep"), default="nan",
                       help="J1939 error and not-available values of those messages: nan "
                       "leaves them out (default), keep decodes them as they are")
    parents = {"common": common, "several": several, "pieces": pieces, "errors": errors,
               "j1939": j1939}

    def command(name: str, helptext: str, uses: Sequence[str], example: str
                ) -> argparse.ArgumentParser:
        return sub.add_parser(name, help=helptext, description=helptext, epilog=example,
                              parents=[parents[u] for u in uses],
                              formatter_class=argparse.RawDescriptionHelpFormatter)

    for module in COMMANDS:
        module.register(command)
    # Options that take a value, for values that begin with a minus sign.
    top.value_options = {  # type: ignore[attr-defined]
        o for p in sub.choices.values() for a in p._actions if a.nargs is None
        for o in a.option_strings if o.startswith("--")
    }
    return top


def _negative_values(argv: list[str], options: set[str]) -> list[str]:
    """'--every -5s' as '--every=-5s': argparse takes '-5s' for an option and
    says no more than that one was expected; the option's own check then says
    what is wrong with the value."""
    out: list[str] = []
    i = 0
    while i < len(argv):
        if argv[i] in options and i + 1 < len(argv) and _NEGATIVE.match(argv[i + 1]):
            out.append(f"{argv[i]}={argv[i + 1]}")
            i += 2
            continue
        out.append(argv[i])
        i += 1
    return out


@contextlib.contextmanager
def _bytes_names() -> Iterator[None]:
    """File names that are not valid UTF-8 reach the command as surrogate
    escapes (as os does it); printed, they come out as the bytes they were."""
    saved = []
    for stream in (sys.stdout, sys.stderr):
        errors = getattr(stream, "errors", None)
        if errors is not None and hasattr(stream, "reconfigure"):
            with contextlib.suppress(ValueError, OSError):
                stream.reconfigure(errors="surrogateescape")
                saved.append((stream, errors))
    try:
        yield
    finally:
        for stream, errors in saved:
            with contextlib.suppress(ValueError, OSError):
                stream.reconfigure(errors=errors)


def main(argv: Sequence[str] | None = None) -> int:
    with _bytes_names():
        return _main(argv)


def _main(argv: Sequence[str] | None) -> int:
    top = parser()
    argv = list(sys.argv[1:] if argv is None else argv)
    args = top.parse_args(_negative_values(argv, top.value_options))  # type: ignore[attr-defined]
    session = Session(args)
    try:
        args.run(args, session)
    except Failure as e:
        session.say(e.line())
        return 1
    except BrokenPipeError:
        # Standard output closed early (korvel info ... | head): stop quietly.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 1
    except OSError as e:
        where = e.filename if e.filename is not None else None
        session.say(Failure(where, e.strerror or exc_text(e)).line())
        return 1
    except KeyboardInterrupt:
        session.progress.close()
        print(f"{PROG}: interrupted", file=sys.stderr)
        return 130
    except Exception as e:  # noqa: BLE001 - never a traceback: one line, exit status 1
        session.say(f"unexpected error: {exc_text(e)}")
        return 1
    finally:
        session.progress.close()
    return session.status
