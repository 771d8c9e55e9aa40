"""korvel plot: signals against seconds since the log's start."""

from __future__ import annotations

import argparse
import os
import sys
from collections.abc import Sequence
from typing import Any, Callable

import numpy as np

from .databases import DBC_HELP, db_names, dbc_arg, plan_of
from .session import Failure, Session, need

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


EXAMPLE = """example:
  korvel plot examples/data/drive.blf --dbc examples/data/vehicle.dbc \\
      EngineSpeed WheelSpeedFL WheelSpeedFR Transmission.GearActual -o drive.png"""


def register(command: Callable[..., argparse.ArgumentParser]) -> None:
    p = command("plot", "Plot signals against time in seconds from the log's start; signals "
                "with one unit share an axis, value-table signals step.", ["common", "pieces"],
                EXAMPLE)
    p.add_argument("log", metavar="LOG")
    p.add_argument("--dbc", type=dbc_arg, action="append", required=True, metavar="[CH:]DB",
                   help=DBC_HELP)
    p.add_argument("signals", nargs="+", metavar="SIGNAL",
                   help="a signal name, or MESSAGE.SIGNAL where several messages have it")
    p.add_argument("-o", "--output", metavar="FILE",
                   help="write a .png, .svg or .pdf file instead of showing a window")
    p.set_defaults(run=run)
