"""korvel plot: signals against seconds since the log's start."""

from __future__ import annotations

import argparse
import os
import sys
from collections.abc import Sequence
from fnmatch import fnmatchcase
from typing import Any, Callable

import numpy as np

from .databases import DBC_HELP, db_names, dbc_arg, plan_of
from .session import SAMPLES, Failure, Session, j1939_mode, need, readable
from .times import seconds

_FILE_ONLY_BACKENDS = {"agg", "cairo", "pdf", "pgf", "ps", "svg", "template"}


def _has_display() -> bool:
    if sys.platform in ("win32", "darwin"):
        return True
    return bool(os.environ.get("DISPLAY") or os.environ.get("WAYLAND_DISPLAY"))


def _wild(text: str) -> bool:
    return any(c in text for c in "*?[")


def _resolve(plan: Any, names: Sequence[str], where: str) -> list[tuple[str, Any, Any]]:
    """SIGNAL or MESSAGE.SIGNAL, either part a shell-style pattern -> (label,
    message plan, signal plan) for each signal meant, in the order given."""
    out: dict[tuple[str, str], tuple[str, Any, Any]] = {}
    for given in names:
        msg_name, _, sig_name = given.rpartition(".")
        messages = [m for m in plan.messages
                    if not msg_name or fnmatchcase(m.name, msg_name)]
        if msg_name and not messages:
            raise Failure(where, f"no message matches {msg_name!r}" if _wild(msg_name)
                          else f"no message {msg_name!r}")
        hits = [(m, s) for m in messages for s in m.signals if fnmatchcase(s.name, sig_name)]
        if not hits:
            raise Failure(where, f"no signal matches {given!r}" if _wild(given)
                          else f"no signal named {given!r}")
        if len(hits) > 1 and not _wild(given):
            choices = ", ".join(f"{m.name}.{s.name}" for m, s in hits)
            raise Failure(where, f"signal {given!r} is in several messages: name one of {choices}")
        for m, s in hits:
            if _wild(given):
                alike = sum(1 for _, t in hits if t.name == s.name)
                label = f"{m.name}.{s.name}" if alike > 1 else s.name
            else:
                label = given
            out.setdefault((m.name, s.name), (label, m, s))
    return list(out.values())


def run(args: argparse.Namespace, session: Session) -> None:
    matplotlib = need("matplotlib", "plot")
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
    from ..tables import decode

    where = db_names(args.dbc)
    plan = plan_of(args.dbc, None)
    wanted = _resolve(plan, args.signals, where)
    plan = plan.select(list(dict.fromkeys(m.name for _, m, _ in wanted)))
    if args.start is not None and args.stop is not None and args.stop <= args.start:
        raise Failure(None, f"--stop {args.stop:g} is not after --start {args.start:g}")

    header = session.header(args.log)
    samples: dict[str, list[tuple[Any, ...]]] = {g: [] for g, *_ in wanted}
    first = None
    for index, chunk in session.read(args.log, args.piece_frames):
        if len(index) and first is None:
            first = int(index["timestamp"][0])
        tables = decode((index, chunk), plan, threads=args.threads, j1939=j1939_mode(args),
                        j1939_na=args.j1939_na)
        for given, m, s in wanted:
            if m.name in tables:
                t = tables[m.name]
                keep = ~np.isnan(t[s.name])
                if first is not None and (args.start is not None or args.stop is not None):
                    since = (t["timestamp"] - first) / 1e9  # --start/--stop: from the first frame
                    if args.start is not None:
                        keep &= since >= args.start
                    if args.stop is not None:
                        keep &= since < args.stop
                # J1939 sources are lines of their own, as channels are.
                source = t["source"][keep] if "source" in t else None
                samples[given].append(
                    (t["timestamp"][keep], t["channel"][keep], t[s.name][keep], source))
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
        window = ""
        if args.start is not None or args.stop is not None:
            window = (f" from {args.start:g} s" if args.start is not None else "") + (
                f" before {args.stop:g} s" if args.stop is not None else "")
        raise Failure(args.log, f"none of the signals has samples in this log{window}")

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
            by_source = all(p[3] is not None for p in parts)
            src = (np.concatenate([p[3] for p in parts]) if by_source
                   else np.zeros(len(t), np.uint8))
            line = ch.astype(np.int32) * 256 + src
            lines = np.unique(line)
            several_channels = len(np.unique(ch)) > 1
            for one in lines:
                sel = line == one
                x = (t[sel] - start) / 1e9
                c, a = divmod(int(one), 256)
                parts_of = ([f"channel {c}"] if several_channels else []) + (
                    [f"source 0x{a:02X}"] if by_source and len(lines) > 1 else [])
                label = f"{given} ({', '.join(parts_of)})" if parts_of else given
                # A lone sample draws no line: a marker shows it.
                marker = "o" if len(x) == 1 else None
                if s.choices:
                    ax.step(x, v[sel], where="post", label=label, linewidth=1.0, marker=marker)
                else:
                    ax.plot(x, v[sel], label=label, linewidth=0.8, marker=marker)
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
    fig.suptitle(readable(os.path.basename(args.log)))
    if show:
        plt.show()
    else:
        # Opened here: any name the file system takes, as bytes or not.
        with open(args.output, "wb") as f:
            fig.savefig(f, format=suffix)
        if not args.quiet:
            n = sum(len(i) for i in axes_of.values())
            print(f"{n} signal{'s' if n != 1 else ''} -> {args.output}")


EXAMPLE = """examples:
  korvel plot drive.blf --dbc vehicle.dbc \\
      EngineSpeed WheelSpeedFL WheelSpeedFR Transmission.GearActual -o drive.png
  korvel plot drive.blf --dbc vehicle.dbc 'WheelSpeed*' --start 10 --stop 20 -o wheels.svg

""" + SAMPLES


def register(command: Callable[..., argparse.ArgumentParser]) -> None:
    p = command("plot", "Plot signals against time in seconds from the log's start; signals "
                "with one unit share an axis, value-table signals step.",
                ["common", "pieces", "errors", "j1939"], EXAMPLE)
    p.add_argument("log", metavar="LOG")
    p.add_argument("--dbc", type=dbc_arg, action="append", required=True, metavar="[CH:]DB",
                   help=DBC_HELP)
    p.add_argument("signals", nargs="+", metavar="SIGNAL",
                   help="a signal name, or MESSAGE.SIGNAL where several messages have it; "
                   "either part may be a shell-style pattern ('*Speed', 'EngineData.*')")
    p.add_argument("--start", type=seconds, metavar="S",
                   help="plot from S seconds after the log's first frame")
    p.add_argument("--stop", type=seconds, metavar="S",
                   help="plot up to (not including) S seconds after the log's first frame")
    p.add_argument("-o", "--output", metavar="FILE",
                   help="write a .png, .svg or .pdf file instead of showing a window")
    p.set_defaults(run=run)
