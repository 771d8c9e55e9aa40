"""Text logs: korvel's ASC, candump and PCAN trace readers against python-can's.

The logs: 200,000 frames written by python-can's own writers (ASCWriter,
CanutilsLogWriter, TRCWriter version 2.1), the loggen classic traffic on two
channels with every tenth frame a 64-byte CAN FD frame (the trace file gets
the classic frames only: python-can's TRCWriter writes no CAN FD).

  (a) each reader against python-can's reader of the same file, to arrays
      (timestamps, identifiers, flags, channels and the payload bytes joined,
      as a frames pair holds them); every frame compared (identifier, flags,
      length, data, channel, time to the microsecond) before timing.
  (b) read_asc on a 1M-frame ASC file (written by write_asc from the classic
      benchmark log) in MB of text per second; the reader runs on one core.
  (c) iter_text over the same file in pieces of 100,000 frames.

Times are medians of several runs, korvel and python-can taken in turns;
ratios use the medians of the same run.

    python benchmarks/bench_text.py [--runs R] [--frames N]
"""

from __future__ import annotations

import argparse
import logging
import os
import statistics
import sys
import time
import warnings
from functools import partial

import numpy as np

sys.path.insert(0, os.path.dirname(__file__))
import loggen

import korvel.korvel as kv


def messages(n):
    import can

    t, ids, dlc, payload, _ = loggen.classic_frames(n)
    rows = payload.tolist()
    _, fd_ids, fd_payload = loggen.fd_frames(n // 10 + 1)
    fd_rows = fd_payload.tobytes()
    out = []
    for i in range(n):
        if i % 10 == 9:
            k = i // 10
            out.append(
                can.Message(
                    timestamp=float(t[i]),
                    arbitration_id=int(fd_ids[k]),
                    is_extended_id=True,
                    is_fd=True,
                    bitrate_switch=True,
                    data=fd_rows[k * 64 : (k + 1) * 64],
                    channel=i % 2,
                )
            )
        else:
            out.append(
                can.Message(
                    timestamp=float(t[i]),
                    arbitration_id=int(ids[i]),
                    is_extended_id=False,
                    data=bytes(rows[i][: dlc[i]]),
                    channel=i % 2,
                    is_rx=True,
                )
            )
    return out


def write_logs(n):
    import can

    loggen.CACHE.mkdir(parents=True, exist_ok=True)
    paths = {k: loggen.CACHE / f"text_{n}.{k}" for k in ("asc", "log", "trc")}
    if all(p.exists() for p in paths.values()):
        return paths
    msgs = messages(n)
    for kind, cls in (
        ("asc", can.ASCWriter),
        ("log", can.CanutilsLogWriter),
        ("trc", can.TRCWriter),
    ):
        with cls(str(paths[kind])) as w:
            for m in msgs:
                if kind == "trc" and m.is_fd:
                    continue
                w.on_message_received(m)
    return paths


def python_can(kind, path):
    """python-can's reader to arrays, as a frames pair would hold them."""
    import can

    reader = {
        "asc": lambda p: can.ASCReader(p, relative_timestamp=False),
        "log": can.CanutilsLogReader,
        "trc": can.TRCReader,
    }[kind]
    ts, ids, flags, chans, data = [], [], [], [], []
    for m in reader(str(path)):
        ts.append(m.timestamp)
        ids.append(m.arbitration_id)
        flags.append(
            m.is_fd << 3
            | m.is_rx << 2
            | m.is_extended_id << 6
            | m.bitrate_switch << 1
            | m.error_state_indicator
        )
        chans.append(m.channel)
        data.append(bytes(m.data))
    return (
        np.array(ts),
        np.array(ids, np.uint32),
        np.array(flags, np.uint8),
        chans,
        np.frombuffer(b"".join(data), np.uint8),
        [len(d) for d in data],
    )


def korvel_read(kind, path):
    return {"asc": kv.read_asc, "log": kv.read_candump, "trc": kv.read_trc}[kind](
        path, verbose=False
    )


def check(kind, path):
    index, chunk = korvel_read(kind, path)
    ts, ids, flags, chans, data, lens = python_can(kind, path)
    assert len(index) == len(ts), (kind, len(index), len(ts))
    assert np.array_equal(index["timestamp"] // 1000, np.round(ts * 1e6).astype(np.int64)), kind
    assert np.array_equal(index["can_id"], ids), kind
    assert np.array_equal(index["flags"] & 0x4F, flags), kind
    assert np.array_equal(chunk, data), kind
    assert np.array_equal(index["loc"] >> 48, np.array(lens, np.uint64)), kind
    if kind == "log":
        names = kv.candump_interfaces(path)
        assert [names[c - 1] for c in index["channel"]] == chans, kind
    elif kind == "asc":
        assert np.array_equal(index["channel"], np.array(chans) + 1), kind
    else:
        assert np.array_equal(index["channel"], np.array(chans)), kind


def turns(fns, runs):
    times = [[] for _ in fns]
    for _ in range(runs):
        for k, fn in enumerate(fns):
            t0 = time.perf_counter()
            fn()
            times[k].append(time.perf_counter() - t0)
    return [statistics.median(t) for t in times]


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--runs", type=int, default=3)
    ap.add_argument("--frames", type=int, default=200_000)
    args = ap.parse_args()
    logging.disable(logging.WARNING)  # python-can's per-frame notices
    # python-can's ASC files open with a "Start of measurement" event, skipped and counted.
    warnings.simplefilter("ignore", kv.TextWarning)

    paths = write_logs(args.frames)
    print(f"{args.frames} frames per log, medians of {args.runs} runs, taken in turns")
    print(f"{'reader':10} {'MB':>7} {'korvel':>10} {'python-can':>12} {'ratio':>8}")
    for kind, path in paths.items():
        check(kind, path)
        mine, theirs = turns(
            [partial(korvel_read, kind, path), partial(python_can, kind, path)], args.runs
        )
        size = os.path.getsize(path) / 1e6
        print(
            f"{kind:10} {size:7.1f} {mine * 1e3:8.1f}ms {theirs * 1e3:10.1f}ms "
            f"{theirs / mine:7.1f}x"
        )

    big = loggen.CACHE / "classic_1M.asc"
    if not big.exists():
        kv.write_asc(big, kv.read(loggen.cached_log("classic"), verbose=False), verbose=False)
    size = os.path.getsize(big) / 1e6
    whole, pieces = turns(
        [
            lambda: kv.read_asc(big, verbose=False),
            lambda: sum(len(p[0]) for p in kv.iter_text(big, 100_000, verbose=False)),
        ],
        max(args.runs, 5),
    )
    print(
        f"read_asc, {size:.0f} MB ASC of 1M frames: {whole * 1e3:.1f} ms, "
        f"{size / whole:.0f} MB/s on one core; iter_text in pieces of 100,000: "
        f"{pieces * 1e3:.1f} ms ({size / pieces:.0f} MB/s)"
    )


if __name__ == "__main__":
    main()
