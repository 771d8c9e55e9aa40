"""Reading speed: korvel.read against python-can, zlib alone and the C floor
(benchmarks/floor_read.cpp, compiled here: libdeflate and a parse into fresh
arrays, on 1 thread and on every core).

Prints frames per second and ratios measured in the same run (medians).
Usage: python benchmarks/bench_read.py [--repeat N]
"""

from __future__ import annotations

import argparse
import io
import json
import os
import statistics
import subprocess
import sys
import time
import zlib

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import loggen
from timing import median_time

import korvel.korvel as k


def interleaved(fns, repeat):
    """Median time of each function, timed in turns (one call of each per
    round), so that a slow spell of a shared machine hits them alike; also
    the per-round times, for ratios taken within a round."""
    rounds = {name: [] for name in fns}
    for _ in range(repeat):
        for name, fn in fns.items():
            t = time.perf_counter()
            got = fn()
            # A function that times itself (the C floor) returns its time.
            rounds[name].append(got if isinstance(got, float) else time.perf_counter() - t)
    return {name: statistics.median(v) for name, v in rounds.items()}, rounds


def korvel_read(data, threads=None, libdeflate=True):
    return k.read(io.BytesIO(data), threads=threads, verbose=False, _libdeflate=libdeflate)


FLOOR_SOURCE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "floor_read.cpp")


def floor_program():
    """benchmarks/floor_read.cpp built with the extension's Release flags
    (CXX, else g++), linking libdeflate; None when that cannot be done."""
    exe = loggen.CACHE / "floor_read"
    if exe.exists() and exe.stat().st_mtime >= os.path.getmtime(FLOOR_SOURCE):
        return exe
    loggen.CACHE.mkdir(parents=True, exist_ok=True)
    cmd = [os.environ.get("CXX", "g++"), "-O3", "-DNDEBUG", "-std=gnu++17", "-flto=auto",
           FLOOR_SOURCE, "-o", str(exe), "-ldeflate", "-lpthread"]
    done = subprocess.run(cmd, check=False, capture_output=True, text=True)
    if done.returncode:
        print(f"(no C floor: {' '.join(cmd)} failed: {done.stderr.strip()[:300]})")
        return None
    return exe


def c_floor(exe, path, threads, runs=3):
    """Median seconds of the floor's runs in one process (libdeflate and the
    parse into fresh arrays, the pieces joined), and its frame count."""
    out = subprocess.run([str(exe), str(path), str(threads), str(runs)], capture_output=True,
                         text=True, check=True).stdout.split()
    return float(out[1]), int(out[0])


def python_can_list(data):
    """The plain way: list(reader), then arrays."""
    import can

    msgs = list(can.BLFReader(io.BytesIO(data)))
    n = len(msgs)
    ts = np.array([m.timestamp for m in msgs])
    ids = np.array([m.arbitration_id for m in msgs], np.uint32)
    dlc = np.array([m.dlc for m in msgs], np.uint8)
    payload = np.frombuffer(b"".join(bytes(m.data) for m in msgs), np.uint8)
    return n, ts, ids, dlc, payload


def python_can_one_pass(data):
    """The best one-pass way: fill preallocated arrays while iterating."""
    import can

    n_max = 2_000_000
    ts = np.empty(n_max)
    ids = np.empty(n_max, np.uint32)
    dlc = np.empty(n_max, np.uint8)
    chunks = []
    i = 0
    for m in can.BLFReader(io.BytesIO(data)):
        ts[i] = m.timestamp
        ids[i] = m.arbitration_id
        dlc[i] = m.dlc
        chunks.append(m.data)
        i += 1
    return i, ts[:i], ids[:i], dlc[:i], np.frombuffer(b"".join(map(bytes, chunks)), np.uint8)


def zlib_alone(conts):
    for method, usize, stored in conts:
        if method == 2:
            zlib.decompress(stored, 15, usize)


def pieces_memory(path, piece):
    """Peak RSS growth of a fresh process reading the log in pieces (each
    piece dropped before the next), and the bytes of one piece's arrays."""
    code = (
        "import korvel.korvel as k\n"
        "def hwm():\n"
        "    for line in open('/proc/self/status'):\n"
        "        if line.startswith('VmHWM'):\n"
        "            return int(line.split()[1]) * 1024\n"
        "base = hwm()\n"
        "biggest = 0\n"
        f"for i, c in k.iter_read({str(path)!r}, {piece}, verbose=False):\n"
        "    biggest = max(biggest, i.nbytes + c.nbytes)\n"
        "print(hwm() - base, biggest)\n"
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    grown, biggest = map(int, out.stdout.split())
    return grown, biggest


def engine(repeat):
    """Paths, pieces and memory of reads in pieces."""
    path = loggen.cached_log("classic")
    data = path.read_bytes()
    conts = loggen.containers(data)

    def pieces():
        for _ in k.iter_read(io.BytesIO(data), 100_000, verbose=False):
            pass

    med, rounds = interleaved({
        "stream": lambda: k.read(io.BytesIO(data), verbose=False),
        "path": lambda: k.read(path, verbose=False),
        "pieces": pieces,
        "zlib_alone": lambda: zlib_alone(conts),
    }, repeat)

    def per_round(a, b):
        return statistics.median(x / y for x, y in zip(rounds[a], rounds[b]))

    big = loggen.cached_big_log()
    grown, piece_bytes = pieces_memory(big, 1_000_000)
    res = {
        "path_over_stream": per_round("path", "stream"),
        "pieces_100k_over_read": per_round("pieces", "stream"),
        "read_over_zlib_alone": per_round("stream", "zlib_alone"),
        "pieces_rss_growth_MB": grown / 1e6,
        "piece_MB": piece_bytes / 1e6,
        "pieces_rss_limit_MB": (2 * piece_bytes + (32 << 20)) / 1e6,
    }
    print(f"\n== reading ways on the classic log (medians of {repeat}, ratios per round)")
    for name in ("stream", "path", "pieces", "zlib_alone"):
        print(f"{name:12s} {med[name] * 1e3:9.1f} ms")
    print(f"path / stream               : {res['path_over_stream']:6.2f}  (target <= 1.0)")
    print(f"iter_read 100k / read       : {res['pieces_100k_over_read']:6.2f}  (target <= 1.10)")
    print(f"read / zlib.decompress alone: {res['read_over_zlib_alone']:6.2f}  (target <= 0.35)")
    print(f"iter_read of 10M frames in 1M pieces: peak RSS growth {grown / 1e6:.1f} MB, "
          f"one piece {piece_bytes / 1e6:.1f} MB (target <= {res['pieces_rss_limit_MB']:.1f} MB)")
    return res


def salvage(repeat):
    """errors='skip': its cost on an undamaged log, and the frames it
    recovers from logs with 1, 10 and 100 damaged containers."""
    import warnings

    path = loggen.cached_log("classic")
    data = path.read_bytes()
    med, rounds = interleaved({
        "raise": lambda: k.read(io.BytesIO(data), verbose=False),
        "skip": lambda: k.read(io.BytesIO(data), verbose=False, errors="skip"),
    }, repeat)
    ratio = statistics.median(a / b for a, b in zip(rounds["skip"], rounds["raise"]))
    total = len(k.read(io.BytesIO(data), verbose=False)[0])
    table = k.info(path, verbose=False)["containers"]
    rng = np.random.default_rng(18)
    recovered = {}
    for n in (1, 10, 100):
        damaged = bytearray(data)
        for c in rng.choice(len(table), n, replace=False):
            at = int(table[c]["offset"]) + 32 + int(rng.integers(2, table[c]["size"] - 32))
            damaged[at] ^= 0xFF
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            got = len(k.read(io.BytesIO(bytes(damaged)), verbose=False, errors="skip")[0])
        recovered[n] = (got, len(caught))
    print(f"\n== errors='skip' on the classic log ({total} frames, {len(table)} containers)")
    print(f"skip / raise on the undamaged log: {ratio:6.2f}  (medians {med['skip'] * 1e3:.1f} / "
          f"{med['raise'] * 1e3:.1f} ms; target: equal within noise)")
    for n, (got, warned) in recovered.items():
        print(f"{n:3d} damaged containers: {got} frames recovered of {total} "
              f"({got / total:.2%}), {warned} warnings")
    return {"skip_over_raise": ratio,
            "recovered": {str(n): got for n, (got, _) in recovered.items()}, "frames": total}


def peak_memory(path):
    """Peak RSS growth of a fresh process reading the log, and the result size."""
    # VmHWM, not ru_maxrss: the latter carries the parent's peak across exec.
    code = (
        "import io, contextlib, korvel.korvel as k\n"
        "def hwm():\n"
        "    for line in open('/proc/self/status'):\n"
        "        if line.startswith('VmHWM'):\n"
        "            return int(line.split()[1]) * 1024\n"
        f"f = open({str(path)!r}, 'rb')\n"
        "base = hwm()\n"
        "with contextlib.redirect_stdout(io.StringIO()):\n"
        "    i, c = k.read(f)\n"
        "print(hwm() - base, i.nbytes + c.nbytes)\n"
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    grown, result = map(int, out.stdout.split())
    return grown, result


def bench(name, repeat, with_list):
    path = loggen.cached_log(name)
    data = path.read_bytes()
    conts = loggen.containers(data)
    idx, _ = korvel_read(data)
    n = len(idx)
    fns = {
        "default": lambda: korvel_read(data),
        "zlib_1": lambda: korvel_read(data, 1, False),
        "zlib_n": lambda: korvel_read(data, None, False),
        "ld_1": lambda: korvel_read(data, 1, True),
        "zlib_alone": lambda: zlib_alone(conts),
    }
    exe = floor_program() if k.INFLATER == "libdeflate" else None
    cores = os.cpu_count() or 1
    if exe:
        floor_frames = c_floor(exe, path, 1, 1)[1]
        assert floor_frames == n, (floor_frames, n)
        fns["floor_1"] = lambda: c_floor(exe, path, 1)[0]
        fns["floor_n"] = lambda: c_floor(exe, path, cores)[0]
    med, rounds = interleaved(fns, repeat)
    t_k, t_zlib_1, t_zlib_n, t_ld_1, t_z = (
        med[key] for key in ("default", "zlib_1", "zlib_n", "ld_1", "zlib_alone"))
    paired = statistics.median(a / b for a, b in zip(rounds["default"], rounds["zlib_alone"]))
    t_one = median_time(lambda: python_can_one_pass(data), max(1, repeat // 3))
    t_list = median_time(lambda: python_can_list(data), 1) if with_list else float("nan")
    grown, result = peak_memory(path)
    largest = max(len(c[2]) + c[1] for c in conts)
    res = {
        "log": name, "frames": n, "containers": len(conts),
        "inflater": k.INFLATER,
        "korvel_s": t_k, "zlib_decompress_s": t_z,
        "korvel_zlib_1_thread_s": t_zlib_1, "korvel_zlib_threads_s": t_zlib_n,
        "korvel_libdeflate_1_thread_s": t_ld_1,
        "python_can_one_pass_s": t_one, "python_can_list_s": t_list,
        "korvel_Mfps": n / t_k / 1e6, "python_can_best_Mfps": n / t_one / 1e6,
        "zlib_Mfps": n / t_z / 1e6,
        "speedup_vs_python_can_best": t_one / t_k,
        "speedup_vs_python_can_list": t_list / t_k,
        "korvel_over_zlib_alone": t_k / t_z,
        "korvel_over_zlib_alone_per_round": paired,
        "peak_rss_growth_over_result_plus_container": grown / (result + largest),
    }
    print(f"\n== {name}: {n} frames in {len(conts)} containers (medians of {repeat})")
    print(f"korvel.read (default: {k.INFLATER}, all cores)"
          f" {t_k * 1e3:9.1f} ms  {n / t_k / 1e6:7.2f} M frames/s")
    print(f"korvel zlib, 1 thread  {t_zlib_1 * 1e3:9.1f} ms  {n / t_zlib_1 / 1e6:7.2f} M frames/s")
    print(f"korvel zlib, threads   {t_zlib_n * 1e3:9.1f} ms  {n / t_zlib_n / 1e6:7.2f} M frames/s")
    print(f"korvel {k.INFLATER}, 1 thread"
          f" {t_ld_1 * 1e3:9.1f} ms  {n / t_ld_1 / 1e6:7.2f} M frames/s")
    print(f"zlib.decompress alone  {t_z * 1e3:9.1f} ms  {n / t_z / 1e6:7.2f} M frames/s")
    print(f"python-can one pass    {t_one * 1e3:9.1f} ms  {n / t_one / 1e6:7.2f} M frames/s")
    if with_list:
        print(f"python-can list()      {t_list * 1e3:9.1f} ms  {n / t_list / 1e6:7.2f} M frames/s")
    print(f"ratio python-can best / korvel : {t_one / t_k:6.1f}x  (target >= 15)")
    print(f"ratio korvel / zlib alone      : {t_k / t_z:6.2f}   (target < 1; threaded < 0.35)")
    print(f"  the same, median of per-round ratios: {paired:6.2f}")
    print(f"ratio korvel zlib 1 thread / zlib alone: {t_zlib_1 / t_z:6.2f}")
    if exe:
        over_n = statistics.median(a / b for a, b in zip(rounds["default"], rounds["floor_n"]))
        over_1 = statistics.median(a / b for a, b in zip(rounds["ld_1"], rounds["floor_1"]))
        res.update(floor_1_thread_s=med["floor_1"], floor_threads_s=med["floor_n"],
                   korvel_over_floor=over_n, korvel_1_thread_over_floor=over_1)
        print(f"C floor, {cores} threads   {med['floor_n'] * 1e3:9.1f} ms  "
              f"{n / med['floor_n'] / 1e6:7.2f} M frames/s  (libdeflate + parse into fresh arrays)")
        print(f"C floor, 1 thread    {med['floor_1'] * 1e3:9.1f} ms  "
              f"{n / med['floor_1'] / 1e6:7.2f} M frames/s")
        print(f"ratio korvel / C floor, {cores} threads: {over_n:6.2f}   (target <= 1.10)")
        print(f"ratio korvel / C floor, 1 thread : {over_1:6.2f}   (target <= 1.05)")
    print(f"peak RSS growth {grown / 1e6:.1f} MB for a result of {result / 1e6:.1f} MB: "
          f"{res['peak_rss_growth_over_result_plus_container']:.2f} x (result + one container)"
          " (target <= 1.5)")
    return res


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--repeat", type=int, default=7)
    ap.add_argument("--json", help="write the figures to this file")
    args = ap.parse_args()
    results = [bench("classic", args.repeat, True), bench("fd", args.repeat, False),
               engine(args.repeat), salvage(args.repeat)]
    if args.json:
        with open(args.json, "w") as f:
            json.dump(results, f, indent=1)


if __name__ == "__main__":
    main()
