"""A fleet of logs on Dask: korvel.dask.decode against a sequential loop.

8 logs of 1,000,000 frames each (bench_tables' database of 50 messages and its
generator, one seed per log, cached in benchmarks/.cache/fleet), six messages
(two multiplexed, one nested, a 64-byte CAN FD one, value tables) decoded,
aggregated per log with groupby and written to Parquet:

  - dask, threads: korvel.dask.decode with the aggregations and the Parquet
    writes in one dask.compute on Dask's threaded scheduler with 2 worker
    threads (korvel's reading and decoding release the interpreter lock)
  - dask, processes: the same on a LocalCluster of 2 worker processes x 1
    thread (with --keep-freed-memory, without distributed's 64 KiB
    MALLOC_TRIM_THRESHOLD_)
  - loop: a plain sequential loop over korvel.decode on one thread doing the
    same per log with pandas, in this process (the targets compare with this)
  - loop, all cores: the same loop with korvel's default threads, for reference

Runs go in turns, one of each per round after an untimed warm-up round, in two
phases: the threaded run and the loops with no cluster alive (an idle one's
event loops and the client's IO thread would run beside them), then the
process cluster in turns with the one-thread loop again, whose times and CPU
its ratios take.
Printed: medians of wall times and their ratios to the loop's (medians of each
round's ratios), and CPU seconds per component, read per thread from /proc:
the worker threads and the calling thread (graph and local scheduler) of the
threaded run; each worker process's task thread and event loop, the tasks by
kind (the scheduler's own per-task CPU figures) and the client process (its
calling thread: the graph; its IO loop: the scheduler and the client's
comms) of the process cluster. Also the peak memory of each worker process
(its high-water mark reset before every run) and the bytes moved between them.

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


def run_dask(paths, db, cols, out, **options):
    import dask

    frames = kd.decode(paths, db, messages=MESSAGES)
    aggs = [frames[m].groupby("log")[cols[m]].agg(["mean", "min", "max"]) for m in MESSAGES]
    writes = [frames[m].to_parquet(out / m, compute=False, write_index=False) for m in MESSAGES]
    results = dask.compute(*aggs, *writes, **options)
    return dict(zip(MESSAGES, results[: len(MESSAGES)]))


TICK = os.sysconf("SC_CLK_TCK")


def _kind(name):
    """What a thread of this process does, by its name."""
    if name is None:
        return "native"  # korvel's or pyarrow's own threads
    for part, kind in (("Dask-Default", "tasks"), ("ThreadPoolExecutor", "pool"),
                       ("MainThread", "main"), ("IO loop", "io loop"),
                       ("Dask-Offload", "offload")):
        if part in name:
            return kind
    return "other"


def thread_cpu(dask_worker=None):
    """CPU seconds so far of this process's live threads, by kind (a thread
    that ended is lost: the pools here live as long as the process)."""
    import threading

    names = {t.native_id: t.name for t in threading.enumerate()}
    out = {}
    for tid in os.listdir("/proc/self/task"):
        try:
            with open(f"/proc/self/task/{tid}/stat") as f:
                fields = f.read().rsplit(")", 1)[1].split()
        except OSError:
            continue
        kind = _kind(names.get(int(tid)))
        out[kind] = out.get(kind, 0.0) + (int(fields[11]) + int(fields[12])) / TICK
    return out


def cpu():
    t = os.times()
    return t.user + t.system


def task_cpu(dask_scheduler):
    """The workers' CPU seconds in tasks so far, by task name."""
    out = {}
    for key, value in dask_scheduler.cumulative_worker_metrics.items():
        if key[0] == "execute" and key[-2:] == ("thread-cpu", "seconds"):
            out[key[1]] = out.get(key[1], 0.0) + value
    return out


def worker_reset(dask_worker):
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")  # high-water mark := current RSS
    dask_worker.transfer_incoming_log.clear()
    return status("VmRSS"), thread_cpu()


def worker_report(dask_worker):
    moved = sum(e["total"] for e in dask_worker.transfer_incoming_log)
    return status("VmHWM"), moved, thread_cpu()


def delta(before, after):
    return {k: after.get(k, 0.0) - before.get(k, 0.0) for k in after}


def status(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field):
                return int(line.split()[1]) * 1024
    return 0


# The one-thread loop again, in turns with the process cluster, which is alive.
LOOP_BESIDE = "loop, cluster alive"


def loop_of(name):
    """The loop whose time and CPU a configuration's ratios take."""
    return LOOP_BESIDE if name in ("dask, processes", LOOP_BESIDE) else "loop"


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
    names = ("dask, threads", "loop", "loop, all cores", "dask, processes", LOOP_BESIDE)
    times = {name: [] for name in names}
    cpus = {}
    peaks, bases, moved = [], [], []

    def add(key, value):
        cpus.setdefault(key, []).append(value)

    # Two phases: the threaded scheduler and the loops first, with no cluster
    # alive (an idle one ticks beside them: its processes' event loops and
    # the client's IO thread, which takes the interpreter lock from the
    # threaded run's workers), then the process cluster in turns with the
    # loop again, whose time its ratio takes.
    check = None
    for phase in (False, True):
        cluster = (LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                dashboard_address=":0") if phase else None)
        client = Client(cluster) if phase else None
        if phase:
            client.run(lambda: __import__("korvel.dask"))  # imports outside the timings
        phase_names = names[3:] if phase else names[:3]
        for r in range(args.runs + 1):  # the first round warms everything up, untimed
            for name in phase_names:
                out = scratch / name.replace(", ", "_").replace(" ", "_")
                shutil.rmtree(out, ignore_errors=True)
                here = thread_cpu()
                if name == "dask, processes":
                    before = client.run(worker_reset)
                    tasks0 = client.run_on_scheduler(task_cpu)
                    t0 = time.perf_counter()
                    got = run_dask(paths, db, cols, out)
                    elapsed = time.perf_counter() - t0
                    report = client.run(worker_report)
                    tasks = delta(tasks0, client.run_on_scheduler(task_cpu))
                elif name == "dask, threads":
                    t0 = time.perf_counter()
                    got = run_dask(paths, db, cols, out, scheduler="threads", num_workers=2)
                    elapsed = time.perf_counter() - t0
                else:
                    t0 = time.perf_counter()
                    got = run_loop(paths, db, cols, out, None if name == "loop, all cores" else 1)
                    elapsed = time.perf_counter() - t0
                used = delta(here, thread_cpu())
                if r:
                    times[name].append(elapsed)
                    if name == "dask, processes":
                        bases.append([v[0] for v in before.values()])
                        peaks.append([v[0] for v in report.values()])
                        moved.append(sum(v[1] for v in report.values()))
                        per_worker = [delta(before[w][1], report[w][2]) for w in report]
                        add((name, "workers: tasks"), sum(w.get("tasks", 0) for w in per_worker))
                        add((name, "workers: event loops"), sum(w.get("main", 0) for w in per_worker))
                        add((name, "workers: other threads"), sum(
                            v for w in per_worker for k_, v in w.items() if k_ not in ("tasks", "main")
                        ))
                        for prefix, seconds in tasks.items():
                            add((name, f"  in tasks: {prefix}"), seconds)
                        add((name, "client: graph (calling thread)"), used.get("main", 0))
                        add((name, "client: scheduler and comms"), sum(
                            v for k_, v in used.items() if k_ != "main"
                        ))
                    elif name == "dask, threads":
                        add((name, "worker threads"), used.get("pool", 0) + used.get("native", 0))
                        add((name, "calling thread: graph, scheduling"), used.get("main", 0))
                    else:
                        add((name, "total"), sum(used.values()))
                if check is None:
                    check = got
                else:
                    for m in MESSAGES:
                        a, b = check[m].sort_index(), got[m].sort_index()
                        assert np.allclose(a.to_numpy(), b.to_numpy(), equal_nan=True), m
        if phase:
            client.close()
            cluster.close()
    shutil.rmtree(scratch, ignore_errors=True)

    print(f"\nmedian of {args.runs} runs, seconds (decode {len(MESSAGES)} messages, groupby, Parquet):")
    for name in names:
        ratio = statistics.median(d / lp for d, lp in zip(times[name], times[loop_of(name)]))
        print(f"  {name:18s} wall {statistics.median(times[name]):7.3f}  ratio to loop {ratio:5.2f}"
              + ("  (target <= 0.75)" if name.startswith("dask") else ""))
    peak = np.median(np.array(peaks), axis=0)
    base = np.median(np.array(bases), axis=0)
    for i, (p, b) in enumerate(zip(peak, base)):
        print(f"  process worker {i}: peak {p / 2**20:6.0f} MiB (idle {b / 2**20:.0f} MiB)")
    print(f"  bytes moved between process workers: median {statistics.median(moved) / 2**20:.2f} MiB")
    print("CPU seconds (medians):")
    for (name, part), values in cpus.items():
        print(f"  {name:16s} {part:38s} {statistics.median(values):7.3f}")
    for name, parts in (("dask, threads", ["worker threads"]),
                        ("dask, processes", ["workers: tasks", "workers: event loops",
                                             "workers: other threads"])):
        worker = [sum(v) for v in zip(*(cpus[(name, p)] for p in parts))]
        loop = cpus[(loop_of(name), "total")]
        ratio = statistics.median(w / lp for w, lp in zip(worker, loop))
        print(f"  {name}: worker CPU / loop CPU {ratio:5.2f}  (target <= 1.2)")
    print(f"load average after: {os.getloadavg()[0]:.2f}")


if __name__ == "__main__":
    sys.path.insert(0, os.path.dirname(__file__))
    main()
