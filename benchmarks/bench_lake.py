"""korvel lake against a loop of korvel.decode and Tables.to_parquet.

The fleet of bench_fleet (8 logs of 1,000,000 frames, bench_tables' database of
50 messages and 385 signals), every message decoded, value-table signals as
labels (the lake keeps them so; the loop does the same work with choices=True):

  - loop: korvel.decode(path, db, choices=True, threads=1) and Tables.to_parquet
    for each log, in this process, the database loaded once beforehand (the
    target compares with this)
  - korvel lake: the command on the 8 logs in a child process, interpreter
    start, imports and the DBC's loading included (its CPU from the child's
    rusage)
  - lake.write: korvel.lake.write in this process (the database loaded), on
    all cores (the default: a log per core at once) and with threads=1
  - lake.write on Dask: scheduler= of a LocalCluster of 2 worker processes x 1
    thread started once outside the timings, without distributed's 64 KiB
    MALLOC_TRIM_THRESHOLD_ (as workers= starts it), the workers' CPU read from
    them

Every configuration writes into a fresh root; runs go in turns, one of each per
round after an untimed warm-up round, so that a slow spell of a shared machine
hits them alike. Prints medians of wall and CPU seconds (per component: the
calling thread, native threads, Dask workers and client), the ratios of each
round's times to the loop's (medians), and the load average.

    python benchmarks/bench_lake.py [--runs R] [--logs N]
"""

from __future__ import annotations

import argparse
import os
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import cantools
import pyarrow.dataset as ds
from bench_fleet import FLEET, prepare, thread_cpu

import korvel
import korvel.lake


def run_loop(paths, db, out):
    for i, path in enumerate(paths):
        korvel.decode(path, db, choices=True, threads=1).to_parquet(out / f"log{i}")


def run_command(paths, out):
    korvel_cmd = [sys.executable, "-m", "korvel", "lake", *paths, "--dbc",
                  str(FLEET / "fleet.dbc"), "-o", str(out), "-q"]
    subprocess.run(korvel_cmd, check=True)


def process_cpu():
    t = os.times()
    return t.user + t.system


def children_cpu():
    r = resource.getrusage(resource.RUSAGE_CHILDREN)
    return r.ru_utime + r.ru_stime


def rows_of(root):
    """Rows per message of a lake or of the loop's folders."""
    out = {}
    if (root / "_korvel").exists():
        for part in root.glob("message=*"):
            out[part.name[8:]] = ds.dataset(part, format="parquet").count_rows()
    else:
        for f in root.glob("log*/*.parquet"):
            out[f.stem] = out.get(f.stem, 0) + ds.dataset(f, format="parquet").count_rows()
    return out


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--runs", type=int, default=5)
    ap.add_argument("--logs", type=int, default=8)
    args = ap.parse_args()

    import dask
    from distributed import Client, LocalCluster

    _, paths = prepare(args.logs)
    db = cantools.database.load_file(FLEET / "fleet.dbc")
    size = sum(os.path.getsize(p) for p in paths)
    print(f"{len(paths)} logs, {size / 2**20:.0f} MiB, {len(db.messages)} messages; "
          f"load average before: {os.getloadavg()[0]:.2f}")
    scratch = Path(tempfile.mkdtemp(prefix="korvel-lake-"))
    names = ["loop", "korvel lake", "lake.write", "lake.write 1 thread", "lake.write on Dask"]
    wall = {n: [] for n in names}
    cpu = {}  # "config: component" -> seconds per run

    def add(name, part, value):
        cpu.setdefault(f"{name}: {part}", []).append(value)

    with dask.config.set({"distributed.nanny.pre-spawn-environ.MALLOC_TRIM_THRESHOLD_": None}), \
            LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                         dashboard_address=":0") as cluster, Client(cluster) as client:
        client.run(lambda: __import__("korvel.lake") and __import__("pyarrow.parquet"))
        address = cluster.scheduler_address
        check = None
        for r in range(args.runs + 1):  # the first round warms up, untimed
            for name in names:
                out = scratch / name.replace(" ", "_").replace(".", "_")
                shutil.rmtree(out, ignore_errors=True)
                out.mkdir()
                c0, p0, k0, w0 = thread_cpu(), process_cpu(), children_cpu(), None
                if name == "lake.write on Dask":
                    w0 = client.run(thread_cpu)
                t0 = time.perf_counter()
                if name == "loop":
                    run_loop(paths, db, out)
                elif name == "korvel lake":
                    run_command(paths, out)
                elif name == "lake.write":
                    korvel.lake.write(paths, db, out)
                elif name == "lake.write 1 thread":
                    korvel.lake.write(paths, db, out, threads=1)
                else:
                    korvel.lake.write(paths, db, out, scheduler=address)
                elapsed = time.perf_counter() - t0
                c1, p1, k1 = thread_cpu(), process_cpu(), children_cpu()
                if r:
                    wall[name].append(elapsed)
                    main_cpu = c1.get("main", 0) - c0.get("main", 0)
                    others = p1 - p0 - main_cpu  # the lake's pool threads end with the call
                    if name == "korvel lake":
                        add(name, "child process", k1 - k0)
                    else:
                        add(name, "calling thread", main_cpu)
                        add(name, "other threads", others)
                    if w0 is not None:
                        w1 = client.run(thread_cpu)
                        tasks = sum(w1[w].get("tasks", 0) - w0[w].get("tasks", 0) for w in w1)
                        total = sum(sum(w1[w].values()) - sum(w0[w].values()) for w in w1)
                        add(name, "worker tasks", tasks)
                        add(name, "worker event loops and other", total - tasks)
                got = rows_of(out)
                if check is None:
                    check = got
                assert got == check, (name, got, check)
    shutil.rmtree(scratch, ignore_errors=True)

    print(f"\nmedian of {args.runs} runs, seconds (all {len(db.messages)} messages, "
          f"{sum(check.values())} rows):")
    for name in names:
        ratio = statistics.median(t / lp for t, lp in zip(wall[name], wall["loop"]))
        print(f"  {name:22s} wall {statistics.median(wall[name]):7.3f}  ratio to loop {ratio:5.2f}"
              + ("  (target <= 1.3)" if name == "korvel lake" else ""))
    print("CPU seconds (medians):")
    totals = {}
    for key, values in cpu.items():
        print(f"  {key:48s} {statistics.median(values):7.3f}")
        config = key.split(":")[0]
        totals.setdefault(config, [0.0] * len(values))
        totals[config] = [a + b for a, b in zip(totals[config], values)]
    loop = totals["loop"]
    for config, values in totals.items():
        ratio = statistics.median(v / lp for v, lp in zip(values, loop))
        print(f"  {config:22s} total {statistics.median(values):7.3f}  ratio to loop {ratio:5.2f}")
    print(f"load average after: {os.getloadavg()[0]:.2f}")


if __name__ == "__main__":
    sys.path.insert(0, os.path.dirname(__file__))
    main()
