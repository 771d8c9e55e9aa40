"""korvel info: application, time span, frames by kind, channels, the channel
list of every bus (like MATLAB's blfinfo) and the busiest identifiers of each log."""

from __future__ import annotations

import argparse
import json
import os
import warnings
import zlib
from datetime import datetime, timezone
from typing import Callable

import numpy as np

from .. import korvel as kv
from .._logs import log_format
from .session import SAMPLES, Damaged, Session

KINDS = ("classic", "fd", "error", "remote")
FLAG_FD, FLAG_ERROR, FLAG_REMOTE, FLAG_EXTENDED = 0x08, 0x10, 0x20, 0x40


class _Census:
    """Counts of one log's frames, gathered piece by piece."""

    def __init__(self) -> None:
        self.frames = 0
        self.kinds = dict.fromkeys(KINDS, 0)
        self.channels: set[int] = set()
        # Error frames of every object kind, per channel.
        self.errors = np.zeros(256, np.int64)
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
        if n_error:
            self.errors += np.bincount(index["channel"][error], minlength=256)
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


def _header_record(path: str, header: dict, census: _Census | None = None) -> dict:
    # The header's span; a header never rewritten at the end (a logger that
    # lost power) gives way to the frames'.
    start, stop = int(header["start"]), int(header["stop"])
    if census is not None and start <= 0 and census.first is not None:
        start = census.first
    if census is not None and stop < start and census.last is not None:
        stop = census.last
    app = header["application"]
    return {
        "path": path,
        "format": header.get("format", "BLF"),
        # A text log names no application.
        "application": app and {"name": app["name"], "id": app["id"],
                                "version": ".".join(map(str, app["version"]))},
        "file_size": os.path.getsize(path),
        "objects": header["object_count"],
        "start": start,
        "stop": stop,
        "duration": max(stop - start, 0) / 1e9,
    }


def _channel_rows(path: str, header: dict, session: Session) -> list[dict] | None:
    """One row per bus and channel of a BLF log (None for a text log); the
    read before it has said what is wrong with a damaged log."""
    if header.get("format", "BLF") != "BLF":
        return None
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", kv.BLFWarning)
            table = kv._channels(path, threads=session.threads, errors=session.errors)
    except (kv.BLFError, zlib.error, OSError):
        return None
    return [
        {"bus": b, "channel": int(c), "objects": int(n), "first": int(f), "last": int(la),
         "name": nm, "database": db}
        for b, c, n, f, la, nm, db in zip(*(table[k].tolist() for k in (
            "bus", "channel", "objects", "first", "last", "name", "database")))
    ]


def _channel_text(rows: list[dict], start: int) -> list[str]:
    """The channel list as a table, times in seconds from the log's start."""
    if not rows:
        return []
    head = ("Bus", "Channel", "Objects", "First (s)", "Last (s)", "Name", "Database")
    body = [(r["bus"], str(r["channel"]), str(r["objects"]), f"{(r['first'] - start) / 1e9:.3f}",
             f"{(r['last'] - start) / 1e9:.3f}", r["name"] or "-", r["database"] or "-")
            for r in rows]
    widths = [max(len(x) for x in col) for col in zip(head, *body)]
    right = (False, True, True, True, True, False, False)

    def line(cells: tuple) -> str:
        return "    " + "  ".join(c.rjust(w) if r else c.ljust(w)
                                  for c, w, r in zip(cells, widths, right)).rstrip()

    return ["  channel list", line(head), *(line(b) for b in body)]


def _info_record(path: str, header: dict, census: _Census) -> dict:
    return {
        **_header_record(path, header, census),
        "frames": census.frames,
        "by_kind": census.kinds,
        "channels": sorted(census.channels),
        "error_frames": {str(c): int(census.errors[c]) for c in np.flatnonzero(census.errors)},
        "identifiers": len(census.ids),
        "busiest": census.busiest(),
    }


def _clock(ns: int) -> str:
    t = datetime.fromtimestamp(ns / 1e9, timezone.utc).astimezone()
    return t.isoformat(sep=" ", timespec="milliseconds")


def _id_text(can_id: int, extended: bool) -> str:
    return f"0x{can_id:08X} ext" if extended else f"0x{can_id:03X}"


def _header_text(r: dict) -> list[str]:
    app = r["application"]
    what = (f"  application  {app['name'] or app['id']} {app['version']}" if app
            else f"  format       {r['format']} log")
    return [
        r["path"],
        what,
        f"  start        {_clock(r['start'])}",
        f"  stop         {_clock(r['stop'])}",
        f"  duration     {r['duration']:.3f} s",
    ]


def _info_text(r: dict) -> str:
    k = r["by_kind"]
    lines = [
        *_header_text(r),
        (f"  frames       {r['frames']} ({k['classic']} classic, {k['fd']} CAN FD, "
         f"{k['error']} error, {k['remote']} remote)"),
        f"  channels     {', '.join(map(str, r['channels'])) or '-'}",
        f"  identifiers  {r['identifiers']}",
    ]
    if r["error_frames"]:
        lines.insert(-1, "  error frames " + ", ".join(
            f"{n} on channel {c}" for c, n in r["error_frames"].items()))
    if r.get("channel_list"):
        lines.extend(_channel_text(r["channel_list"], r["start"]))
    if r["busiest"]:
        lines.append(f"  busiest      {'identifier':<16}{'frames':>10}  mean period")
        for b in r["busiest"]:
            period = f"{b['mean_period'] * 1e3:.3f} ms" if b["mean_period"] is not None else "-"
            lines.append(f"               {_id_text(b['can_id'], b['extended']):<16}"
                         f"{b['frames']:>10}  {period:>11}")
    return "\n".join(lines)


def run(args: argparse.Namespace, session: Session) -> None:
    for n, path in enumerate(args.logs):
        header = None
        try:
            header = session.header(path)
            census = _Census()
            pieces = session.read(path, args.piece_frames, all_errors=True, other_buses=False)
            for index, _chunk in pieces:
                census.add(index)
            record = _info_record(path, header, census)
            rows = _channel_rows(path, header, session)
            if rows is not None:
                record["channel_list"] = rows
        except Damaged as e:
            if header is not None and log_format(path) == "blf":
                # Damage after an intact header: what the header says, then the error
                # (a text log has no header of its own to tell).
                part = _header_record(path, header)
                if args.json:
                    print(json.dumps({**part, "error": e.message}), flush=True)
                else:
                    print(("\n" if n else "") + "\n".join(_header_text(part)), flush=True)
            session.damaged(e)
            continue
        if args.json:
            print(json.dumps(record), flush=True)
        else:
            print(("\n" if n else "") + _info_text(record), flush=True)


EXAMPLE = """examples:
  korvel info drive.blf
  korvel info --json logs/*.blf > summary.jsonl

""" + SAMPLES


def register(command: Callable[..., argparse.ArgumentParser]) -> None:
    p = command("info", "Summarise logs: application, time span, frames by kind, channels, "
                "identifiers and the busiest ones.", ["common", "several", "pieces", "errors"],
                EXAMPLE)
    p.add_argument("logs", nargs="+", metavar="LOG")
    p.add_argument("--json", action="store_true", help="one JSON object per log and line")
    p.set_defaults(run=run)
