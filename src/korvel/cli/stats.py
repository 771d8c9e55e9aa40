"""korvel stats: bus load, error frames, the busiest identifiers and the
messages with gaps, per channel of a log."""

from __future__ import annotations

import argparse
import math
import os
import re
import warnings
from typing import Any, Callable

import numpy as np

from .databases import load_plan
from .session import SAMPLES, Damaged, Failure, Session, j1939_mode, need

_UNITS = {"": 1, "k": 1e3, "m": 1e6}
_TIMES = {"s": 10**9, "ms": 10**6, "us": 10**3, "ns": 1}
BUSIEST = 5


def rate_arg(text: str) -> tuple[int | None, float]:
    """RATE or CH:RATE, RATE in bit/s with an optional k or M: 500k, 2M."""
    m = re.fullmatch(r"(?:(\d+):)?(\d+(?:\.\d+)?)([kKmM]?)", text.strip())
    rate = float(m[2]) * _UNITS[m[3].lower()] if m else 0.0
    if not m or rate <= 0:
        raise argparse.ArgumentTypeError(f"not a bit rate (500k, 2M, CH:250k): {text!r}")
    channel = int(m[1]) if m[1] is not None else None
    if channel is not None and channel > 255:
        raise argparse.ArgumentTypeError(f"channel {channel} is outside 0..255")
    return channel, rate


class _Rates(argparse.Action):
    """--bitrate / --data-bitrate, repeatable: one rate per channel (and one
    without a channel); a second for the same is a usage error."""

    def __call__(self, parser: argparse.ArgumentParser, namespace: argparse.Namespace,
                 value: Any, option: str | None = None) -> None:
        items = list(getattr(namespace, self.dest) or [])
        channel = value[0]
        if any(c == channel for c, _ in items):
            which = "every channel" if channel is None else f"channel {channel}"
            raise argparse.ArgumentError(self, f"a second rate for {which}")
        items.append(value)
        setattr(namespace, self.dest, items)


def gap_arg(text: str) -> float:
    """A positive, finite number of periods."""
    try:
        value = float(text)
    except ValueError:
        value = math.nan
    if not (value > 0 and math.isfinite(value)):
        raise argparse.ArgumentTypeError(f"not a positive number of periods: {text!r}")
    return value


def window_arg(text: str) -> int:
    """A duration: 1s, 100ms, 500us, 2000ns (seconds without a unit)."""
    m = re.fullmatch(r"(\d+(?:\.\d+)?)(s|ms|us|ns)?", text.strip())
    ns = round(float(m[1]) * _TIMES[m[2] or "s"]) if m else 0
    if ns < 1:
        raise argparse.ArgumentTypeError(f"not a window length (1s, 100ms, 500us): {text!r}")
    return ns


def _rates(items: list[tuple[int | None, float]] | None) -> float | dict[int, float] | None:
    """Rates as busload takes them: one for every channel, or by channel (a
    rate without a channel serving the channels not named)."""
    if not items:
        return None
    default = [r for c, r in items if c is None]
    bound = {c: r for c, r in items if c is not None}
    if not bound:
        return default[-1]
    rates = dict.fromkeys(range(256), default[-1]) if default else {}
    rates.update(bound)
    return rates


def _id_text(can_id: int, extended: int) -> str:
    return f"0x{can_id:08X} ext" if extended else f"0x{can_id:03X}"


def _ms(ns: float) -> str:
    return "-" if np.isnan(ns) else f"{ns / 1e6:.3f} ms"


def _busiest(index: np.ndarray, bits: np.ndarray, channel: int) -> list[tuple[str, int, float]]:
    """The identifiers of a channel with the most bits: (identifier, frames,
    share of the channel's bits)."""
    on = index["channel"] == channel
    data = on & ((index["flags"] & 0x30) == 0)
    total = int(bits[on].sum())
    if not data.any() or not total:
        return []
    keys = index["can_id"][data].astype(np.int64) | (
        (index["flags"][data] & 0x40).astype(np.int64) << 24
    )
    ids, inverse, counts = np.unique(keys, return_inverse=True, return_counts=True)
    sums = np.bincount(inverse.ravel(), weights=bits[data])
    top = np.argsort(-sums, kind="stable")[:BUSIEST]
    return [
        (_id_text(int(ids[i]) & 0x1FFFFFFF, int(ids[i]) >> 30), int(counts[i]), sums[i] / total)
        for i in top
    ]


def _skipped_line(n: int) -> str:
    return f"  skipped       {n} frame{'' if n == 1 else 's'} no bus could carry"


def _report(
    path: str,
    index: np.ndarray,
    tables: tuple[Any, Any],
    busiest: dict[int, list[tuple[str, int, float]]],
    longest: dict[tuple[int, int, int], float],
    rates: Any,
    window: int,
    skipped: dict[int, int],
) -> str:
    load, cyc = tables
    lines = [path]
    start = int(index["timestamp"].min()) if len(index) else 0
    for ch in np.unique(load["channel"]).tolist():
        rows = load["channel"] == ch
        loads, starts = load["load"][rows], load["start"][rows]
        rate = rates if not isinstance(rates, dict) else rates[ch]
        peak = int(np.argmax(loads))
        lines.append(f"channel {ch}  ({rate / 1e3:g} kbit/s, windows of {window / 1e9:g} s)")
        lines.append(
            f"  load          mean {loads.mean() * 100:.2f} %, peak {loads[peak] * 100:.2f} % "
            f"(window at {(int(starts[peak]) - start) / 1e9:.3f} s)"
        )
        if skipped.get(ch):
            lines.append(_skipped_line(skipped[ch]))
        errors = int(load["error_frames"][rows].sum())
        worst = int(np.argmax(load["error_frames"][rows]))
        lines.append(
            f"  error frames  {errors}"
            + (
                f" (most in the window at {(int(starts[worst]) - start) / 1e9:.3f} s)"
                if errors
                else ""
            )
        )
        top = busiest.get(ch, [])
        if top:
            lines.append(f"  busiest       {'identifier':<16}{'frames':>10}  share of bits")
            for ident, frames, share in top:
                lines.append(f"                {ident:<16}{frames:>10}  {share * 100:12.1f} %")
        gapped = (cyc["channel"] == ch) & (cyc["gaps"] > 0)
        if not gapped.any():
            lines.append("  gaps          none")
            continue
        lines.append(
            f"  gaps          {'identifier':<16}{'gaps':>6}  {'period':>12}  "
            f"{'expected':>12}  {'longest':>12}"
        )
        for i in np.flatnonzero(gapped).tolist():
            ident = _id_text(int(cyc["can_id"][i]), int(cyc["extended"][i]))
            lines.append(
                f"                {ident:<16}{int(cyc['gaps'][i]):>6}  "
                f"{_ms(cyc['period'][i]):>12}  {_ms(cyc['expected'][i]):>12}  "
                f"{_ms(longest[(ch, int(cyc['can_id'][i]), int(cyc['extended'][i]))]):>12}"
            )
    for ch in sorted(set(skipped) - set(np.unique(load["channel"]).tolist())):
        lines += [f"channel {ch}", _skipped_line(skipped[ch])]  # nothing but such frames
    return "\n".join(lines)


def _write(directory: str, fmt: str, tables: dict[str, Any]) -> list[str]:
    os.makedirs(directory, exist_ok=True)
    written = []
    for name, table in tables.items():
        target = os.path.join(directory, f"{name}.{fmt}")
        if fmt == "parquet":
            pq = need("pyarrow.parquet", "cli")
            pq.write_table(table.to_arrow(), target)
        else:
            csv = need("pyarrow.csv", "cli")
            csv.write_csv(table.to_arrow(), target)
        written.append(target)
    return written


def _plot(target: str, load: Any, start: int) -> None:
    need("matplotlib", "plot")
    from matplotlib.figure import Figure

    fig = Figure(figsize=(10, 5), layout="constrained")
    top, bottom = fig.subplots(2, 1, sharex=True, height_ratios=(3, 1))
    for ch in np.unique(load["channel"]).tolist():
        rows = load["channel"] == ch
        t = (load["start"][rows] - start) / 1e9
        top.step(t, load["load"][rows] * 100, where="post", label=f"channel {ch}")
        bottom.step(t, load["error_frames"][rows], where="post", label=f"channel {ch}")
    top.set_ylim(bottom=0)
    top.set_ylabel("bus load (%)")
    top.legend(loc="upper right")
    top.grid(alpha=0.3)
    bottom.set_ylabel("error frames")
    bottom.set_xlabel("time since the log's first frame (s)")
    bottom.grid(alpha=0.3)
    fig.savefig(target)


def run(args: argparse.Namespace, session: Session) -> None:
    from .. import stats

    bitrate = _rates(args.bitrate)
    data_bitrate = _rates(args.data_bitrate)
    db = load_plan(args.dbc) if args.dbc else None
    path = args.log
    pieces = []
    try:
        pieces = list(session.read(path, None, all_errors=True))
    except Damaged as e:
        session.damaged(e)
        if not pieces:
            return
    index, chunk = pieces[0]
    # Frames no bus could carry (vendor logs have a few) are counted and left out.
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always", stats.StatsWarning)
        try:
            wire = stats.frame_bits((index, chunk), errors="skip")
        except ValueError as e:
            raise Failure(path, str(e)) from None
    notes = [w for w in caught if issubclass(w.category, stats.StatsWarning)]
    for w in notes:
        session.say(f"{path}: {w.message}")
    skipped: dict[int, int] = {}
    if notes:
        bad = wire == 0
        channels, counts = np.unique(index["channel"][bad], return_counts=True)
        skipped = dict(zip(channels.tolist(), counts.tolist()))
        index, wire = index[~bad], wire[~bad]
    try:
        load = stats.busload((index, chunk), bitrate, data_bitrate=data_bitrate, window=args.window)
    except ValueError as e:
        raise Failure(path, str(e)) from None
    bits = wire.astype(np.float64)
    j1939 = j1939_mode(args)
    cyc = stats.cycles((index, chunk), db=db, gap=args.gap, j1939=j1939)
    gaps = stats.gaps((index, chunk), db=db, gap=args.gap, j1939=j1939)
    busiest = {ch: _busiest(index, bits, ch) for ch in np.unique(index["channel"]).tolist()}
    longest: dict[tuple[int, int, int], float] = {}
    for ch, can_id, ext, length in zip(
        gaps["channel"].tolist(),
        gaps["can_id"].tolist(),
        gaps["extended"].tolist(),
        gaps["length"].tolist(),
    ):
        key = (ch, can_id, ext)
        longest[key] = max(longest.get(key, 0), length)
    report = _report(path, index, (load, cyc), busiest, longest, bitrate, args.window, skipped)
    print(report, flush=True)
    if args.output is not None:
        try:
            written = _write(
                args.output, args.format, {"busload": load, "cycles": cyc, "gaps": gaps}
            )
        except OSError as e:
            raise Failure(args.output, e.strerror or str(e)) from None
        if not args.quiet:
            for w in written:
                print(f"-> {w}")
    if args.plot is not None:
        start = int(index["timestamp"].min()) if len(index) else 0
        try:
            _plot(args.plot, load, start)
        except OSError as e:
            raise Failure(args.plot, e.strerror or str(e)) from None
        if not args.quiet:
            print(f"-> {args.plot}")


EXAMPLE = (
    """examples:
  korvel stats drive.blf --bitrate 500k --data-bitrate 2M
  korvel stats drive.blf --bitrate 500k --bitrate 2:250k --window 100ms --dbc vehicle.dbc
  korvel stats drive.blf --bitrate 500k --data-bitrate 2M -o health/ --plot load.png

Load counts every frame's exact bits on the wire (stuff bits and CRC
included) at its channel's rate; CAN FD frames with bit-rate switch send their
data phase at --data-bitrate. Error frames of every object kind are counted.

"""
    + SAMPLES
)


def register(command: Callable[..., argparse.ArgumentParser]) -> None:
    p = command(
        "stats",
        "Bus health per channel: mean and peak load, error frames, the busiest identifiers "
        "and the messages with gaps.",
        ["common", "errors"],
        EXAMPLE,
    )
    p.add_argument("log", metavar="LOG")
    p.add_argument(
        "--bitrate",
        type=rate_arg,
        action=_Rates,
        required=True,
        metavar="[CH:]RATE",
        help="nominal bit rate (500k, 1M); CH:RATE for one channel; repeatable, once per "
        "channel",
    )
    p.add_argument(
        "--data-bitrate",
        type=rate_arg,
        action=_Rates,
        metavar="[CH:]RATE",
        help="CAN FD data-phase bit rate (2M), for frames with bit-rate switch",
    )
    p.add_argument(
        "--window",
        type=window_arg,
        default=10**9,
        metavar="DURATION",
        help="load window: 1s, 100ms, 500us (default: 1s)",
    )
    p.add_argument(
        "--dbc",
        metavar="DB",
        help="database whose GenMsgCycleTime gives the expected periods (then only messages "
        "with a cycle time have gaps); frames match its messages as korvel decode matches them",
    )
    p.add_argument(
        "--j1939",
        choices=("auto", "on", "off"),
        default="auto",
        help="with --dbc, match J1939 messages by parameter group number: auto for the "
        "messages the database marks as J1939, on for every extended message, off for none "
        "(default: auto)",
    )
    p.add_argument(
        "--gap",
        type=gap_arg,
        default=3.0,
        metavar="X",
        help="an interval longer than X periods is a gap (default: 3)",
    )
    p.add_argument(
        "-o", "--output", metavar="DIR", help="write busload, cycles and gaps tables into DIR"
    )
    p.add_argument(
        "--format",
        choices=("parquet", "csv"),
        default="parquet",
        help="file format in DIR (default: parquet)",
    )
    p.add_argument(
        "--plot",
        metavar="FILE",
        help="draw load and error frames over time into FILE (.png, .svg, .pdf)",
    )
    p.set_defaults(run=run)
