"""A fleet of logs on Dask: korvel.dask.decode against a sequential loop.

8 logs of 1,000,000 frames each (bench_tables' database of 50 messages and its
generator, one seed per log, cached in benchmarks/.cache/fleet), six messages
(two multiplexed, one nested, a 64-byte CAN FD one, value tables) decoded,
aggregated per log with groupby and written to Parquet:

  - dask: korvel.dask.decode on a LocalCluster of 2 worker processes x 1 thread,
    the aggregations and the Parquet writes in one dask.compute
  - loop: a plain sequential loop over korvel.decode on one thread doing the
    same per log with pandas, in this process (the target compares with this)
  - loop, all cores: the same loop with korvel's default threads, for reference

Runs alternate between the two; medians and their ratio are printed, with the
peak memory of each worker (its high-water mark reset before every run) and the
bytes moved between workers (the workers' logs of incoming transfers).

--keep-freed-memory starts the workers without the MALLOC_TRIM_THRESHOLD_ of
64 KiB that distributed's nanny sets by default, so that glibc keeps freed memory
for the next piece instead of faulting fresh pages in again.

    python benchmarks/bench_fleet.py [--runs R] [--logs N] [--keep-freed-memory]
"""

from __future__ import annotations

import argparse
import os
import shutil
import statistics
import sys
import tempfile
import time
from pathlib import Path

import cantools
import numpy as np
import pandas as pd
from bench_tables import make_dbc, make_log
from loggen import CACHE

import korvel
import korvel.dask as kd
from korvel import korvel as k

FLEET = CACHE / "fleet"
MESSAGES = ["Msg05", "Msg10", "Msg12", "Msg20", "Msg35", "Msg44"]


def prepare(n_logs):
    FLEET.mkdir(parents=True, exist_ok=True)
    dbc = FLEET / "fleet.dbc"
    if not dbc.exists():
        dbc.write_text(make_dbc())
    db = cantools.database.load_file(dbc)
    paths = []
    for i in range(n_logs):
        path = FLEET / f"log{i}.blf"
        if not path.exists():
            print(f"generating {path.name} (cached in {FLEET}) ...", flush=True)
            with open(path, "wb") as f:
                k.write(f, make_log(db, seed=101 + i), verbose=False)
        paths.append(str(path))
    return db, paths


def aggregations(db):
    """Per message: the signals to aggregate (mean, min, max per log)."""
    return {m: [s.name for s in db.get_message_by_name(m).signals][:6] for m in MESSAGES}


def run_loop(paths, db, cols, out, threads=1):
    aggs = {m: [] for m in MESSAGES}
    for log, path in enumerate(paths):
        tables = korvel.decode(path, db, messages=MESSAGES, threads=threads)
        for m in MESSAGES:
            df = tables[m].to_pandas()
            df.insert(0, "log", np.full(len(df), log, np.int64))
            aggs[m].append(df.groupby("log")[cols[m]].agg(["mean", "min", "max"]))
            os.makedirs(out / m, exist_ok=True)
            df.to_parquet(out / m / f"part.{log}.parquet", index=False)
    return {m: pd.concat(a) for m, a in aggs.items()}


def run_dask(paths, db, cols, out):
    import dask

    frames = kd.decode(paths, db, messages=MESSAGES)
    aggs = [frames[m].groupby("log")[cols[m]].agg(["mean", "min", "max"]) for m in MESSAGES]
    writes = [frames[m].to_parquet(out / m, compute=False, write_index=False) for m in MESSAGES]
    results = dask.compute(*aggs, *writes)
    return dict(zip(MESSAGES, results[: len(MESSAGES)]))


def cpu():
    t = os.times()
    return t.user + t.system


def worker_reset(dask_worker):
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")  # high-water mark := current RSS
    dask_worker.transfer_incoming_log.clear()
    return status("VmRSS"), cpu()


def worker_report(dask_worker):
    moved = sum(e["total"] for e in dask_worker.transfer_incoming_log)
    return status("VmHWM"), moved, cpu()


def status(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field):
                return int(line.split()[1]) * 1024
    return 0


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--runs", type=int, default=5)
    ap.add_argument("--logs", type=int, default=8)
    ap.add_argument("--keep-freed-memory", action="store_true")
    args = ap.parse_args()

    import dask
    from distributed import Client, LocalCluster

    if args.keep_freed_memory:
        dask.config.set({"distributed.nanny.pre-spawn-environ.MALLOC_TRIM_THRESHOLD_": None})

    db, paths = prepare(args.logs)
    cols = aggregations(db)
    n_containers = sum(len(k.info(p, verbose=False)["containers"]) for p in paths)
    size = sum(os.path.getsize(p) for p in paths)
    print(f"{len(paths)} logs, {size / 2**20:.0f} MiB, {n_containers} containers; messages {MESSAGES}")
    trim = "unset" if args.keep_freed_memory else "distributed's default"
    print(f"workers' MALLOC_TRIM_THRESHOLD_: {trim}; load average before: {os.getloadavg()[0]:.2f}")

    scratch = Path(tempfile.mkdtemp(prefix="korvel-fleet-"))
    times = {"dask": [], "loop": [], "loop_all": []}
    cpus = {"dask workers": [], "dask client": [], "loop": [], "loop_all": []}
    peaks, bases, moved = [], [], []
    with LocalCluster(
        n_workers=2, threads_per_worker=1, processes=True, dashboard_address=":0"
    ) as cluster, Client(cluster) as client:
        client.run(lambda: __import__("korvel.dask"))  # imports outside the timings
        check = None
        for r in range(args.runs + 1):  # the first round warms both up, untimed
            for name in ("dask", "loop", "loop_all"):
                out = scratch / f"{name}"
                shutil.rmtree(out, ignore_errors=True)
                if name == "dask":
                    before = client.run(worker_reset)
                    c0, t0 = cpu(), time.perf_counter()
                    got = run_dask(paths, db, cols, out)
                    elapsed, used = time.perf_counter() - t0, cpu() - c0
                    report = client.run(worker_report)
                    if r:
                        bases.append([v[0] for v in before.values()])
                        peaks.append([v[0] for v in report.values()])
                        moved.append(sum(v[1] for v in report.values()))
                        cpus["dask client"].append(used)
                        cpus["dask workers"].append(
                            sum(report[w][2] - before[w][1] for w in report)
                        )
                else:
                    c0, t0 = cpu(), time.perf_counter()
                    got = run_loop(paths, db, cols, out, 1 if name == "loop" else None)
                    elapsed = time.perf_counter() - t0
                    if r:
                        cpus[name].append(cpu() - c0)
                if r:
                    times[name].append(elapsed)
                if check is None:
                    check = got
                else:
                    for m in MESSAGES:
                        a, b = check[m].sort_index(), got[m].sort_index()
                        assert np.allclose(a.to_numpy(), b.to_numpy(), equal_nan=True), m
    shutil.rmtree(scratch, ignore_errors=True)

    med = {name: statistics.median(t) for name, t in times.items()}
    print(f"\nmedian of {args.runs} runs, seconds (decode {len(MESSAGES)} messages, groupby, Parquet):")
    ratio = statistics.median(d / lp for d, lp in zip(times["dask"], times["loop"]))
    ratio_all = statistics.median(d / lp for d, lp in zip(times["dask"], times["loop_all"]))
    print(f"  loop over korvel.decode, 1 thread   {med['loop']:7.3f}")
    print(f"  loop over korvel.decode, all cores  {med['loop_all']:7.3f}")
    print(f"  korvel.dask, 2 workers x 1          {med['dask']:7.3f}")
    print(f"  ratio dask / loop on 1 thread       {ratio:7.2f}  (target <= 0.6)")
    print(f"  ratio dask / loop on all cores      {ratio_all:7.2f}")
    peak = np.median(np.array(peaks), axis=0)
    base = np.median(np.array(bases), axis=0)
    for i, (p, b) in enumerate(zip(peak, base)):
        print(f"  worker {i}: peak {p / 2**20:6.0f} MiB (idle {b / 2**20:.0f} MiB)")
    print(f"  bytes moved between workers: median {statistics.median(moved) / 2**20:.2f} MiB")
    print("CPU seconds (medians): " + ", ".join(
        f"{name} {statistics.median(c):.2f}" for name, c in cpus.items()
    ))
    print(f"load average after: {os.getloadavg()[0]:.2f}")


if __name__ == "__main__":
    sys.path.insert(0, os.path.dirname(__file__))
    main()
