"""Other buses: read_buses on a mixed log (CAN, LIN and Ethernet objects)
against kv.read of the same log, and read_lin and read_ethernet against vblf
(objects per second) and against kv.read's objects per second on a CAN log of
as many objects. Configurations are timed in turns, medians of --runs.

    python benchmarks/bench_buses.py [--objects 600000] [--runs 5]
"""

from __future__ import annotations

import argparse
import statistics
import struct
import sys
import time
import zlib
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).parent))
sys.path.insert(0, str(Path(__file__).parent.parent / "tests"))
import blfbuild as bb
from loggen import CACHE

import korvel.korvel as kv

LIN_MSG = struct.Struct("<HBB8sBBBBHBx4x")  # with the 4 reserved bytes writers add
ETH_EX = struct.Struct("<HHHHQIHHII")


def make_log(kind: str, n: int, seed: int = 1) -> Path:
    """A log of n objects: 'can', 'lin', 'ethernet' or 'mixed' (60 % CAN,
    25 % LIN, 15 % Ethernet), containers of about 128 KiB of objects."""
    path = CACHE / f"buses-{kind}-{n}.blf"
    if path.exists():
        return path
    CACHE.mkdir(parents=True, exist_ok=True)
    rng = np.random.default_rng(seed)
    pick = {"can": 0, "lin": 1, "ethernet": 2}
    kinds = (rng.choice(3, n, p=[0.6, 0.25, 0.15]) if kind == "mixed"
             else np.full(n, pick[kind]))
    ts = np.cumsum(rng.integers(10_000, 200_000, n))
    data = rng.integers(0, 256, (n, 8), dtype=np.uint8)
    chunks, size, parts = [], 0, []
    for i in range(n):
        k, t = int(kinds[i]), int(ts[i])
        if k == 0:
            o = bb.can_msg(0x100 + i % 50, data[i].tobytes(), timestamp=t)
        elif k == 1:
            o = bb.obj(11, LIN_MSG.pack(1, i % 60, 8, data[i].tobytes(), 0, 0, 0, 0, i & 0xFF,
                                        0), timestamp=t)
        else:
            frame = bytes(6) + bytes(6) + b"\x08\x00" + data[i].tobytes() * (8 + i % 40)
            o = bb.obj(120, ETH_EX.pack(28, 0, 1, 0, 0, 0, i & 1, len(frame), 0, 0) + frame,
                       timestamp=t)
        chunks.append(o)
        size += len(o)
        if size >= 128 * 1024:
            parts.append(b"".join(chunks))
            chunks, size = [], 0
    if chunks:
        parts.append(b"".join(chunks))
    body = b"".join(bb.top_object(bb.LOG_CONTAINER, bb.CONTAINER.pack(2, len(p))
                                  + zlib.compress(p, 6)) for p in parts)
    path.write_bytes(bb.file_header(object_count=n) + body)
    return path


def inflated_bytes(path: Path) -> int:
    """The bytes of a log's containers once inflated (what a reader must
    inflate and walk, whatever its objects)."""
    data = path.read_bytes()
    pos, total = struct.unpack_from("<I", data, 4)[0], 0
    while pos + 16 <= len(data) and data[pos:pos + 4] == b"LOBJ":
        header, size = struct.unpack_from("<H", data, pos + 4)[0], struct.unpack_from(
            "<I", data, pos + 8)[0]
        total += struct.unpack_from("<I", data, pos + header + 8)[0]
        pos += size + (size & 3)
    return total


def in_turns(configs: dict, runs: int) -> dict:
    times = {name: [] for name in configs}
    for _ in range(runs):
        for name, fn in configs.items():
            t0 = time.perf_counter()
            fn()
            times[name].append(time.perf_counter() - t0)
    return {name: statistics.median(t) for name, t in times.items()}


def vblf_rate(path: Path, wanted: tuple, limit: int) -> float:
    """Objects of the wanted classes per second through vblf's reader."""
    from vblf.reader import BlfReader

    t0 = time.perf_counter()
    seen = 0
    with BlfReader(path) as r:
        for o in r:
            if type(o).__name__ in wanted:
                seen += 1
                if seen >= limit:
                    break
    return seen / (time.perf_counter() - t0)


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--objects", type=int, default=600_000)
    ap.add_argument("--runs", type=int, default=5)
    args = ap.parse_args()
    n = args.objects

    mixed = make_log("mixed", n)
    t = in_turns({
        "read": lambda: kv.read(mixed, verbose=False),
        "read exact": lambda: kv.read(mixed, verbose=False, exact_time=True),
        "read_buses": lambda: kv.read_buses(mixed, ("can", "lin", "ethernet"), verbose=False),
    }, args.runs)
    print(f"mixed log of {n} objects: read {t['read'] * 1e3:.1f} ms, read(exact_time) "
          f"{t['read exact'] * 1e3:.1f} ms, read_buses {t['read_buses'] * 1e3:.1f} ms: "
          f"{t['read_buses'] / t['read']:.2f} x read (target <= 1.2)")

    can = make_log("can", n)
    for bus, reader, classes in (("lin", kv.read_lin, ("LinMessage",)),
                                 ("ethernet", kv.read_ethernet, ("EthernetFrameEx",))):
        log = make_log(bus, n)
        t = in_turns({"can": lambda: kv.read(can, verbose=False),
                      bus: lambda reader=reader, log=log: reader(log, verbose=False)}, args.runs)
        ours = n / t[bus]
        theirs = vblf_rate(log, classes, min(n, 50_000))
        print(f"{reader.__name__}: {ours / 1e6:.2f} M objects/s; kv.read on CAN "
              f"{n / t['can'] / 1e6:.2f} M/s: {ours / (n / t['can']):.2f} x (target >= 0.8); "
              f"vblf {theirs / 1e3:.1f} k/s: {ours / theirs:.0f} x (target >= 50)")
        # Objects of other sizes: the same rate per inflated byte says how
        # much of the difference is the bytes alone.
        mine, can_bytes = inflated_bytes(log), inflated_bytes(can)
        print(f"  per inflated byte: {mine / t[bus] / 1e9:.2f} GB/s against kv.read's "
              f"{can_bytes / t['can'] / 1e9:.2f} GB/s ({mine / 1e6:.0f} MB against "
              f"{can_bytes / 1e6:.0f} MB): {mine / t[bus] / (can_bytes / t['can']):.2f} x")


if __name__ == "__main__":
    main()
