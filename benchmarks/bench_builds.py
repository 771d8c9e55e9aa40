"""Two builds of korvel side by side: the same operations on the same cached
logs, timed in turns (one process per build and round), so that a slow spell
of a shared machine hits both alike. Prints each build's median and their
ratio; used to check that a change costs no speed.

    python benchmarks/bench_builds.py OLD_PYTHON NEW_PYTHON [--rounds 5]

where each Python is a virtualenv's interpreter with one build installed (the
benchmark extra too: cantools). The logs are those of bench_read and
bench_tables (generated once, cached in benchmarks/.cache).
"""

from __future__ import annotations

import argparse
import io
import statistics
import subprocess
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
OPS = ["read", "read_1_thread", "iter_read", "write", "decode", "signal"]


def worker(op: str, runs: int) -> float:
    """Median seconds of `runs` calls of op in this interpreter's build."""
    sys.path.insert(0, str(HERE))
    import cantools
    from loggen import cached_log
    from timing import median_time

    import korvel
    import korvel.korvel as k
    from korvel.tables import decode_plan

    log = cached_log("classic")
    import bench_tables as bt

    if not bt.DBC_PATH.exists():
        bt.DBC_PATH.write_text(bt.make_dbc())
    db = cantools.database.load_file(bt.DBC_PATH)
    if not bt.BLF_PATH.exists():  # the log alone: no MDF file, no asammdf needed
        k.write(bt.BLF_PATH, bt.make_log(db), verbose=False)
    if op == "prepare":
        return 0.0
    if op == "read":
        return median_time(lambda: k.read(log, verbose=False), runs)
    if op == "read_1_thread":
        return median_time(lambda: k.read(log, verbose=False, threads=1), runs)
    if op == "iter_read":
        return median_time(lambda: list(k.iter_read(log, 250_000, verbose=False)), runs)
    frames = k.read(log, verbose=False)
    if op == "write":
        return median_time(lambda: k.write(io.BytesIO(), frames, verbose=False), runs)
    if op == "signal":
        decoder = korvel.signal_decoder(int(frames[0]["can_id"][0]), 8, 16, False)
        return median_time(lambda: decoder(frames), runs)
    plan = decode_plan(db)
    table_frames = k.read(bt.BLF_PATH, verbose=False)
    return median_time(lambda: korvel.decode(table_frames, plan), runs)


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("old")
    ap.add_argument("new")
    ap.add_argument("--rounds", type=int, default=5)
    ap.add_argument("--runs", type=int, default=5, help="calls per round (median taken)")
    ap.add_argument("--ops", default=",".join(OPS))
    ap.add_argument("--worker", help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.worker:
        print(worker(args.worker, args.runs))
        return

    def timed(python: str, op: str) -> float:
        out = subprocess.run([python, __file__, "-", "-", "--worker", op, "--runs",
                              str(args.runs)], capture_output=True, text=True, check=True)
        return float(out.stdout.strip().splitlines()[-1])

    timed(args.new, "prepare")
    print(f"{'operation':<16}{'old (ms)':>10}{'new (ms)':>10}{'new/old':>9}")
    for op in args.ops.split(","):
        old, new = [], []
        for r in range(args.rounds):
            # Alternate which build goes first.
            pair = (args.old, args.new) if r % 2 == 0 else (args.new, args.old)
            for python in pair:
                (old if python == args.old else new).append(timed(python, op))
        a, b = statistics.median(old) * 1e3, statistics.median(new) * 1e3
        print(f"{op:<16}{a:>10.2f}{b:>10.2f}{b / a:>9.3f}", flush=True)


if __name__ == "__main__":
    main()
