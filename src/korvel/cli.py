"""The korvel command line: info, decode, filter and plot over BLF logs.

A thin layer over the library. Logs are read through a stream that counts the
bytes it hands out (that drives the progress bar), in pieces wherever the work
allows, so memory stays bounded however large a log is. cantools, pyarrow,
tqdm and matplotlib are imported only by the commands that need them.

Exit status: 0 when every log was read whole, 1 for a damaged or missing log
or any other failure (one line on standard error, never a traceback), 2 for
usage errors.
"""

from __future__ import annotations

import argparse
import contextlib
import io
import json
import os
import re
import sys
import zlib
from collections.abc import Iterator, Sequence
from dataclasses import replace
from datetime import datetime, timezone
from typing import Any, Callable

import numpy as np

from . import korvel as kv

PROG = "korvel"
# Work this large (in log bytes) or over this many logs gets a progress bar.
LONG_WORK_BYTES = 100 * 2**20
MANY_LOGS = 10
PIECE_FRAMES = 1_000_000

KINDS = ("classic", "fd", "error", "remote")
FLAG_FD, FLAG_ERROR, FLAG_REMOTE, FLAG_EXTENDED = 0x08, 0x10, 0x20, 0x40


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


def _one_line(text: str) -> str:
    return " ".join(str(text).split())


def _exc_text(e: BaseException) -> str:
    text = _one_line(str(e))
    return f"{type(e).__name__}: {text}" if text else type(e).__name__


def _need(module: str, extra: str) -> Any:
    import importlib

    try:
        return importlib.import_module(module)
    except ImportError:
        raise Failure(
            None, f"{module} is needed for this; install it with: pip install 'korvel[{extra}]'"
        ) from None


# --- reading logs ------------------------------------------------------------------------


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
                for _ in kv.iter_read(stream, PIECE_FRAMES, threads=1, verbose=False):
                    pass
            except (kv.BLFError, zlib.error):
                return stream.pos
    except OSError:
        pass
    return None


def _fault(path: str, e: Exception) -> str:
    """One line for a damaged log, with the byte offset of the fault."""
    text = _one_line(str(e))
    if isinstance(e, zlib.error):
        text = f"corrupt compressed data ({text})"
    if re.search(r"byte offset \d", text):
        return text
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

    def _notices(self, path: str, printed: io.StringIO, seen: set[str]) -> None:
        # The reader's printed lines: its cost line is of no interest here;
        # the others tell of damage (a log cut short, skipped objects), each
        # once per log however often it recurs.
        lines = printed.getvalue().splitlines()
        printed.seek(0)
        printed.truncate()
        for line in lines:
            if not line.strip() or line.startswith("load blf cost ") or line in seen:
                continue
            seen.add(line)
            text = line.removeprefix("load blf: ")
            if not self.strict:
                text += ("; the frames before it are kept" if "truncated" in text
                         else "; such objects are skipped")
            self.damaged(Damaged(path, text))

    def read(self, path: str, piece_frames: int | None) -> Iterator[Any]:
        """The frames of one log: in pieces of piece_frames, or whole (None).
        Faults raise Damaged naming the file and the byte offset."""
        self.progress.describe(path)
        printed = io.StringIO()
        seen: set[str] = set()
        try:
            with open(path, "rb") as f:
                stream = _CountingStream(f, self.progress.update)
                with contextlib.redirect_stdout(printed):
                    if piece_frames is None:
                        pieces = iter([kv.read(stream, threads=self.threads)])
                    else:
                        pieces = kv.iter_read(stream, piece_frames, threads=self.threads)
                while True:
                    with contextlib.redirect_stdout(printed):
                        piece = next(pieces, None)
                    self._notices(path, printed, seen)
                    if piece is None:
                        return
                    yield piece
        except (kv.BLFError, zlib.error) as e:
            raise Damaged(path, _fault(path, e)) from None
        except OSError as e:  # a missing log, a directory, a failing disk
            raise Damaged(path, e.strerror or _exc_text(e)) from None

    def header(self, path: str) -> dict:
        try:
            return kv.info(path, verbose=False)
        except (kv.BLFError, zlib.error) as e:
            raise Damaged(path, _fault(path, e)) from None
        except OSError as e:
            raise Damaged(path, e.strerror or _exc_text(e)) from None


# --- databases -----------------------------------------------------------------------------

_BOUND = re.compile(r"(\d+):(.+)\Z", re.DOTALL)


def _dbc_arg(text: str) -> tuple[int | None, str]:
    """DB or CH:DB (a file of that very name stays a path)."""
    m = _BOUND.match(text)
    if m is None or os.path.exists(text):
        return None, text
    channel = int(m[1])
    if channel > 255:
        raise argparse.ArgumentTypeError(f"channel {channel} is outside 0..255 in {text!r}")
    return channel, m[2]


def _plain_dbc_arg(text: str) -> tuple[None, str]:
    channel, path = _dbc_arg(text)
    if channel is not None:
        raise argparse.ArgumentTypeError(f"filter binds no database to a channel: {text!r}")
    return None, path


_loaded: dict[str, Any] = {}


def _load_db(path: str) -> Any:
    if path not in _loaded:
        cantools = _need("cantools", "cli")
        try:
            _loaded[path] = cantools.database.load_file(path)
        except OSError as e:
            raise Failure(path, e.strerror or _exc_text(e)) from None
        except Exception as e:  # noqa: BLE001 - cantools' parse errors share no base
            raise Failure(path, f"database does not load: {_exc_text(e)}") from None
    return _loaded[path]


def _db_names(dbcs: Sequence[tuple[int | None, str]]) -> str:
    return ", ".join(dict.fromkeys(path for _, path in dbcs))


def _plan(dbcs: Sequence[tuple[int | None, str]], messages: Sequence[str] | None) -> Any:
    """The decode plan of --dbc DB and --dbc CH:DB. A database bound to a
    channel decodes that channel; the others decode every channel no database
    is bound to."""
    from .tables import DecodePlan, decode_plan

    plain = [_load_db(p) for ch, p in dbcs if ch is None]
    bound: dict[int, list[Any]] = {}
    for ch, p in dbcs:
        if ch is not None:
            bound.setdefault(ch, []).append(_load_db(p))
    if not bound:
        plan = decode_plan(plain)
    elif not plain:
        plan = decode_plan(bound)
    else:
        free = tuple(c for c in range(256) if c not in bound)
        shared = {m.name: replace(m, channels=free) for m in decode_plan(plain).messages}
        own = []
        for m in decode_plan(bound).messages:
            same = shared.get(m.name)
            if same is None:
                own.append(m)
            elif (same.can_id, same.signals) == (m.can_id, m.signals):
                shared[m.name] = replace(same, channels=same.channels + m.channels)
            else:
                own.append(replace(m, name=f"{m.name}@{'+'.join(map(str, m.channels))}"))
        plan = DecodePlan((*shared.values(), *own))
    if not messages:
        return plan
    names = [m.name for m in plan.messages]
    chosen = []
    for wanted in messages:
        hits = [n for n in names if n == wanted or n.split("@", 1)[0] == wanted]
        if not hits:
            raise Failure(_db_names(dbcs), f"no message named {wanted!r}")
        chosen.extend(h for h in hits if h not in chosen)
    return plan.select(chosen)


# --- info --------------------------------------------------------------------------------


class _Census:
    """Counts of one log's frames, gathered piece by piece."""

    def __init__(self) -> None:
        self.frames = 0
        self.kinds = dict.fromkeys(KINDS, 0)
        self.channels: set[int] = set()
        self.first: int | None = None
        self.last: int | None = None
        # can_id -> [frames, first timestamp, last timestamp, extended]
        self.ids: dict[int, list] = {}

    def add(self, index: np.ndarray) -> None:
        if not len(index):
            return
        flags, ts = index["flags"], index["timestamp"]
        error = (flags & FLAG_ERROR) != 0
        remote = ~error & ((flags & FLAG_REMOTE) != 0)
        fd = ~error & ~remote & ((flags & FLAG_FD) != 0)
        n_error, n_remote, n_fd = int(error.sum()), int(remote.sum()), int(fd.sum())
        self.kinds["error"] += n_error
        self.kinds["remote"] += n_remote
        self.kinds["fd"] += n_fd
        self.kinds["classic"] += len(index) - n_error - n_remote - n_fd
        self.frames += len(index)
        self.channels.update(np.unique(index["channel"]).tolist())
        lo, hi = int(ts.min()), int(ts.max())
        self.first = lo if self.first is None else min(self.first, lo)
        self.last = hi if self.last is None else max(self.last, hi)
        # Error frames carry no message identifier.
        data = ~error
        ids, inverse, counts = np.unique(
            index["can_id"][data], return_inverse=True, return_counts=True
        )
        inverse = inverse.ravel()
        t = ts[data]
        first = np.full(len(ids), np.iinfo(np.int64).max)
        last = np.full(len(ids), np.iinfo(np.int64).min)
        extended = np.zeros(len(ids), bool)
        np.minimum.at(first, inverse, t)
        np.maximum.at(last, inverse, t)
        np.logical_or.at(extended, inverse, (flags[data] & FLAG_EXTENDED) != 0)
        for i, c, a, b, e in zip(ids.tolist(), counts.tolist(), first.tolist(), last.tolist(),
                                 extended.tolist()):
            seen = self.ids.get(i)
            if seen is None:
                self.ids[i] = [c, a, b, e]
            else:
                seen[0] += c
                seen[1], seen[2], seen[3] = min(seen[1], a), max(seen[2], b), seen[3] or e

    def busiest(self, n: int = 10) -> list[dict]:
        top = sorted(self.ids.items(), key=lambda kv_: (-kv_[1][0], kv_[0]))[:n]
        return [
            {
                "can_id": i,
                "extended": e,
                "frames": c,
                "mean_period": (b - a) / (c - 1) / 1e9 if c > 1 else None,
            }
            for i, (c, a, b, e) in top
        ]


def _info_record(path: str, header: dict, census: _Census) -> dict:
    # The header's span; a header never rewritten at the end (a logger that
    # lost power) gives way to the frames'.
    start, stop = int(header["start"]), int(header["stop"])
    if start <= 0 and census.first is not None:
        start = census.first
    if stop < start and census.last is not None:
        stop = census.last
    app = header["application"]
    return {
        "path": path,
        "application": {"name": app["name"], "id": app["id"],
                        "version": ".".join(map(str, app["version"]))},
        "file_size": os.path.getsize(path),
        "objects": header["object_count"],
        "start": start,
        "stop": stop,
        "duration": max(stop - start, 0) / 1e9,
        "frames": census.frames,
        "by_kind": census.kinds,
        "channels": sorted(census.channels),
        "identifiers": len(census.ids),
        "busiest": census.busiest(),
    }


def _clock(ns: int) -> str:
    t = datetime.fromtimestamp(ns / 1e9, timezone.utc).astimezone()
    return t.isoformat(sep=" ", timespec="milliseconds")


def _id_text(can_id: int, extended: bool) -> str:
    return f"0x{can_id:08X} ext" if extended else f"0x{can_id:03X}"


def _info_text(r: dict) -> str:
    k = r["by_kind"]
    app = r["application"]
    lines = [
        r["path"],
        f"  application  {app['name'] or app['id']} {app['version']}",
        f"  start        {_clock(r['start'])}",
        f"  stop         {_clock(r['stop'])}",
        f"  duration     {r['duration']:.3f} s",
        (f"  frames       {r['frames']} ({k['classic']} classic, {k['fd']} CAN FD, "
         f"{k['error']} error, {k['remote']} remote)"),
        f"  channels     {', '.join(map(str, r['channels'])) or '-'}",
        f"  identifiers  {r['identifiers']}",
    ]
    if r["busiest"]:
        lines.append(f"  busiest      {'identifier':<16}{'frames':>10}  mean period")
        for b in r["busiest"]:
            period = f"{b['mean_period'] * 1e3:.3f} ms" if b["mean_period"] is not None else "-"
            lines.append(f"               {_id_text(b['can_id'], b['extended']):<16}"
                         f"{b['frames']:>10}  {period:>11}")
    return "\n".join(lines)


def cmd_info(args: argparse.Namespace, session: Session) -> None:
    for n, path in enumerate(args.logs):
        try:
            header = session.header(path)
            census = _Census()
            for index, _chunk in session.read(path, args.piece_frames):
                census.add(index)
            record = _info_record(path, header, census)
        except Damaged as e:
            session.damaged(e)
            continue
        if args.json:
            print(json.dumps(record), flush=True)
        else:
            print(("\n" if n else "") + _info_text(record), flush=True)


# --- decode ------------------------------------------------------------------------------


def cmd_decode(args: argparse.Namespace, session: Session) -> None:
    from .tables import decode

    pa = _need("pyarrow", "cli")
    if args.format == "parquet":
        writer_of = _need("pyarrow.parquet", "cli").ParquetWriter
    else:
        writer_of = _need("pyarrow.csv", "cli").CSVWriter
    plan = _plan(args.dbc, args.messages)
    try:
        os.makedirs(args.output, exist_ok=True)
    except OSError as e:
        raise Failure(args.output, e.strerror or _exc_text(e)) from None

    several = len(args.logs) > 1
    writers: dict[str, tuple[Any, Any]] = {}  # message -> (writer, schema)
    rows: dict[str, int] = {}
    try:
        for path in args.logs:
            log_name = pa.array([path])
            try:
                for piece in session.read(path, args.piece_frames):
                    tables = decode(piece, plan, choices=args.choices, threads=args.threads)
                    for name, table in tables.items():
                        out = table.to_arrow()
                        if several:
                            codes = pa.array(np.zeros(out.num_rows, np.int32))
                            out = out.add_column(
                                0, "log", pa.DictionaryArray.from_arrays(codes, log_name)
                            )
                        if name not in writers:
                            target = os.path.join(args.output, f"{name}.{args.format}")
                            writers[name] = (writer_of(target, out.schema), out.schema)
                            rows[name] = 0
                        writer, schema = writers[name]
                        if not out.schema.equals(schema):
                            out = out.cast(schema)
                        # One row group (or CSV batch) per piece: nothing piles up.
                        writer.write_table(out)
                        rows[name] += out.num_rows
            except Damaged as e:
                session.damaged(e)
    finally:
        for writer, _ in writers.values():
            writer.close()

    if not writers:
        session.say("no frame of the logs belongs to a message of the databases")
    elif not args.quiet:
        width = max(map(len, rows))
        for name, n in rows.items():
            target = os.path.join(args.output, f"{name}.{args.format}")
            print(f"{name:<{width}}  {n:>9} rows  {target}")


# --- filter ------------------------------------------------------------------------------


def cmd_filter(args: argparse.Namespace, session: Session) -> None:
    from .dravum import Query

    query = Query()
    for _, path in args.dbc:
        query.addDatabase(_load_db(path))
    with contextlib.suppress(OSError):
        if os.path.samefile(args.log, args.output):
            raise Failure(args.output, "the output would overwrite the log being filtered")

    def select(frames: Any, fatal: tuple[type[BaseException], ...] = (Exception,)) -> Any:
        try:
            # Some queries print a timing line of their own; stdout is ours.
            with contextlib.redirect_stdout(io.StringIO()):
                return query.filter(frames, args.expr)
        except fatal as e:
            text = f"unknown name {e.args[0]!r}" if isinstance(e, KeyError) else _exc_text(e)
            raise Failure(None, f"bad expression {args.expr!r}: {text}") from None
        except Exception:  # noqa: BLE001 - may well work on real frames
            return None

    # On no frames first, so that a misspelt expression fails before a long
    # read; only errors that no frames can mend count there (a minimum of no
    # timestamps, say, is no fault of the expression).
    select((np.zeros(0, kv.DT), np.zeros(0, np.uint8)), (SyntaxError, NameError, KeyError))
    (frames,) = session.read(args.log, None)
    selected = select(frames)
    if not len(selected[0]):
        raise Failure(args.log, f"no frame matches {args.expr!r}; {args.output} not written")
    kv.write(args.output, selected, threads=args.threads, verbose=False)
    if not args.quiet:
        print(f"{len(selected[0])} of {len(frames[0])} frames -> {args.output}")


# --- plot --------------------------------------------------------------------------------

_FILE_ONLY_BACKENDS = {"agg", "cairo", "pdf", "pgf", "ps", "svg", "template"}


def _has_display() -> bool:
    if sys.platform in ("win32", "darwin"):
        return True
    return bool(os.environ.get("DISPLAY") or os.environ.get("WAYLAND_DISPLAY"))


def _resolve(plan: Any, names: Sequence[str], where: str) -> list[tuple[str, Any, Any]]:
    """SIGNAL or MESSAGE.SIGNAL -> (name as given, message plan, signal plan)."""
    out = []
    for given in names:
        msg_name, _, sig_name = given.rpartition(".")
        hits = [
            (m, s)
            for m in plan.messages
            if not msg_name or m.name == msg_name
            for s in m.signals
            if s.name == sig_name
        ]
        if not hits:
            raise Failure(where, f"no signal named {given!r}")
        if len(hits) > 1:
            choices = ", ".join(f"{m.name}.{s.name}" for m, s in hits)
            raise Failure(where, f"signal {given!r} is in several messages: name one of {choices}")
        out.append((given, *hits[0]))
    return out


def cmd_plot(args: argparse.Namespace, session: Session) -> None:
    matplotlib = _need("matplotlib", "plot")
    show = args.output is None
    if show:
        if not _has_display():
            raise Failure(None, "no display to show the plot on; write it to a file with -o FILE.png")
        import matplotlib.pyplot as plt

        if matplotlib.get_backend().lower() in _FILE_ONLY_BACKENDS:
            raise Failure(None, f"matplotlib's backend {matplotlib.get_backend()!r} cannot show "
                                "a window; write the plot to a file with -o FILE.png")
    else:
        from matplotlib.backend_bases import FigureCanvasBase

        suffix = os.path.splitext(args.output)[1].lstrip(".").lower()
        if suffix not in FigureCanvasBase.get_supported_filetypes():
            raise Failure(args.output, f"cannot write a plot as {suffix or 'a file without suffix'!r}"
                          "; use .png, .svg or .pdf")
    from .tables import decode

    where = _db_names(args.dbc)
    plan = _plan(args.dbc, None)
    wanted = _resolve(plan, args.signals, where)
    plan = plan.select(list(dict.fromkeys(m.name for _, m, _ in wanted)))

    header = session.header(args.log)
    samples: dict[str, list[tuple[np.ndarray, np.ndarray, np.ndarray]]] = {g: [] for g, *_ in wanted}
    first = None
    for index, chunk in session.read(args.log, args.piece_frames):
        if len(index) and first is None:
            first = int(index["timestamp"][0])
        tables = decode((index, chunk), plan, threads=args.threads)
        for given, m, s in wanted:
            if m.name in tables:
                t = tables[m.name]
                keep = ~np.isnan(t[s.name])
                samples[given].append((t["timestamp"][keep], t["channel"][keep], t[s.name][keep]))
    start = int(header["start"])
    if start <= 0 and first is not None:
        start = first

    # One axis per unit; a signal without a unit gets an axis of its own.
    axes_of: dict[str, list[tuple[str, Any, list]]] = {}
    for given, _m, s in wanted:
        parts = samples[given]
        if not any(len(p[0]) for p in parts):
            session.say(f"{args.log}: no samples of {given}")
            continue
        key = s.unit if s.unit else f"\0{given}"
        axes_of.setdefault(key, []).append((given, s, parts))
    if not axes_of:
        raise Failure(args.log, "none of the signals has samples in this log")

    if show:
        fig = plt.figure(figsize=(10, 1.0 + 2.2 * len(axes_of)), layout="constrained")
    else:
        from matplotlib.figure import Figure

        fig = Figure(figsize=(10, 1.0 + 2.2 * len(axes_of)), layout="constrained")
    axes = fig.subplots(len(axes_of), 1, sharex=True, squeeze=False)[:, 0]
    for ax, (key, items) in zip(axes, axes_of.items()):
        for given, s, parts in items:
            t = np.concatenate([p[0] for p in parts])
            ch = np.concatenate([p[1] for p in parts])
            v = np.concatenate([p[2] for p in parts])
            channels = np.unique(ch)
            for c in channels:
                sel = ch == c
                x = (t[sel] - start) / 1e9
                label = given if len(channels) == 1 else f"{given} (channel {c})"
                if s.choices:
                    ax.step(x, v[sel], where="post", label=label, linewidth=1.0)
                else:
                    ax.plot(x, v[sel], label=label, linewidth=0.8)
        only = items[0][1] if len(items) == 1 else None
        if only is not None and only.choices:
            # Value-table ticks: the labels of the values that occur.
            values = np.concatenate([p[2] for p in items[0][2]])
            ticks = [(raw * only.scale + only.offset, label) for raw, label in only.choices]
            ticks = sorted((v, lab) for v, lab in ticks if np.isin(v, values))
            if ticks:
                ax.set_yticks([v for v, _ in ticks], [lab for _, lab in ticks])
        if not key.startswith("\0"):
            ax.set_ylabel(key)
        ax.grid(True, alpha=0.3)
        ax.legend(loc="upper right", fontsize="small")
    axes[-1].set_xlabel("time since the log's start [s]")
    fig.suptitle(os.path.basename(args.log))
    if show:
        plt.show()
    else:
        fig.savefig(args.output)
        if not args.quiet:
            n = sum(len(i) for i in axes_of.values())
            print(f"{n} signal{'s' if n != 1 else ''} -> {args.output}")


# --- command line ------------------------------------------------------------------------

EXAMPLES = {
    "info": """example:
  korvel info examples/data/drive.blf
  korvel info --json logs/*.blf > summary.jsonl""",
    "decode": """example:
  korvel decode examples/data/drive.blf --dbc examples/data/vehicle.dbc -o tables/
  korvel decode day1/*.blf --dbc pt.dbc --dbc 2:body.dbc --messages EngineData,Doors \\
      --choices --format csv -o tables/""",
    "filter": """example:
  korvel filter examples/data/drive.blf --dbc examples/data/vehicle.dbc \\
      --expr "signals.EngineSpeed(frames) > 2500" -o fast.blf
  korvel filter drive.blf --expr "is_fd(frames) | is_error_frame(frames)" -o fd.blf""",
    "plot": """example:
  korvel plot examples/data/drive.blf --dbc examples/data/vehicle.dbc \\
      EngineSpeed WheelSpeedFL WheelSpeedFR Transmission.GearActual -o drive.png""",
}


def _positive(text: str) -> int:
    try:
        n = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if n < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1: {n}")
    return n


def _names(text: str) -> list[str]:
    return [n.strip() for n in text.split(",") if n.strip()]


def parser() -> argparse.ArgumentParser:
    top = argparse.ArgumentParser(
        prog=PROG,
        description="Look into CAN / CAN FD bus logs in the BLF format: summarise them, "
        "decode DBC signals into tables, cut out frames, plot signals.",
        epilog="Run 'korvel COMMAND --help' for a command's options and an example. Exit "
        "status: 0 when every log was read whole, 1 for a damaged or missing log or any "
        "other failure, 2 for usage errors.",
    )
    from importlib.metadata import PackageNotFoundError, version

    # A source tree on sys.path is no installed distribution and has no version.
    with contextlib.suppress(PackageNotFoundError):
        top.add_argument("--version", action="version", version=f"{PROG} {version('korvel')}")
    sub = top.add_subparsers(dest="command", metavar="COMMAND")
    sub.required = True

    common = argparse.ArgumentParser(add_help=False)
    common.add_argument("-q", "--quiet", action="store_true",
                        help="no progress bar and no summary; errors are still shown")
    common.add_argument("--threads", type=_positive, metavar="N",
                        help="worker threads for reading and decoding (default: all cores)")
    several = argparse.ArgumentParser(add_help=False)
    several.add_argument("--strict", action="store_true",
                         help="stop at the first damaged log (by default the others go on; "
                         "the exit status is 1 either way)")
    pieces = argparse.ArgumentParser(add_help=False)
    pieces.add_argument("--piece-frames", type=_positive, default=PIECE_FRAMES, metavar="N",
                        help="frames read at a time; memory grows with it "
                        f"(default: {PIECE_FRAMES})")

    def command(name: str, helptext: str, parents: list) -> argparse.ArgumentParser:
        return sub.add_parser(name, help=helptext, description=helptext, epilog=EXAMPLES[name],
                              parents=parents, formatter_class=argparse.RawDescriptionHelpFormatter)

    p = command("info", "Summarise logs: application, time span, frames by kind, channels, "
                "identifiers and the busiest ones.", [common, several, pieces])
    p.add_argument("logs", nargs="+", metavar="LOG")
    p.add_argument("--json", action="store_true", help="one JSON object per log and line")
    p.set_defaults(run=cmd_info)

    dbc_help = ("a database cantools loads (.dbc, .arxml, .kcd, .sym); CH:DB binds it to "
                "channel CH, and unbound databases serve the other channels; repeatable")
    p = command("decode", "Decode every signal of the databases into one file per message.",
                [common, several, pieces])
    p.add_argument("logs", nargs="+", metavar="LOG")
    p.add_argument("--dbc", type=_dbc_arg, action="append", required=True, metavar="[CH:]DB",
                   help=dbc_help)
    p.add_argument("--messages", type=_names, action="append", metavar="NAME,...",
                   help="only these messages")
    p.add_argument("--choices", action="store_true",
                   help="value-table signals as their labels instead of numbers")
    p.add_argument("-o", "--output", required=True, metavar="OUT",
                   help="directory for <Message>.parquet or <Message>.csv "
                   "(several logs share the files, told apart by a 'log' column)")
    p.add_argument("--format", choices=("parquet", "csv"), default="parquet")
    p.set_defaults(run=cmd_decode)

    p = command("filter", "Write the frames an expression selects as a new BLF log.", [common])
    p.add_argument("log", metavar="LOG")
    p.add_argument("--dbc", type=_plain_dbc_arg, action="append", default=[], metavar="DB",
                   help="a database whose signals the expression names; repeatable")
    p.add_argument("--expr", required=True, metavar="EXPR",
                   help="a Query.filter expression over frames, signals.NAME(frames) and "
                   "is_fd, is_rx, is_extended_id, is_remote_frame, is_error_frame "
                   "(evaluated as Python: never pass untrusted text)")
    p.add_argument("-o", "--output", required=True, metavar="OUT.blf")
    p.set_defaults(run=cmd_filter)

    p = command("plot", "Plot signals against time in seconds from the log's start; signals "
                "with one unit share an axis, value-table signals step.", [common, pieces])
    p.add_argument("log", metavar="LOG")
    p.add_argument("--dbc", type=_dbc_arg, action="append", required=True, metavar="[CH:]DB",
                   help=dbc_help)
    p.add_argument("signals", nargs="+", metavar="SIGNAL",
                   help="a signal name, or MESSAGE.SIGNAL where several messages have it")
    p.add_argument("-o", "--output", metavar="FILE",
                   help="write a .png, .svg or .pdf file instead of showing a window")
    p.set_defaults(run=cmd_plot)
    return top


def main(argv: Sequence[str] | None = None) -> int:
    args = parser().parse_args(argv)
    if args.command == "decode":
        args.messages = [n for group in args.messages for n in group] if args.messages else None
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
        session.say(Failure(where, e.strerror or _exc_text(e)).line())
        return 1
    except KeyboardInterrupt:
        session.progress.close()
        print(f"{PROG}: interrupted", file=sys.stderr)
        return 130
    except Exception as e:  # noqa: BLE001 - never a traceback: one line, exit status 1
        session.say(f"unexpected error: {_exc_text(e)}")
        return 1
    finally:
        session.progress.close()
    return session.status
