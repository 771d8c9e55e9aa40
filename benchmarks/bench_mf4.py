"""MF4 bus logs: kv.read_mf4 against asammdf, and per frame against kv.read of
the same frames as BLF.

The log: the classic benchmark traffic (1M frames of 50 identifiers, loggen),
written once by write_mf4 (one CAN_DataFrame group, DZ blocks of about 1 MiB)
and by kv.write (exact times), cached in benchmarks/.cache.

  (a) asammdf: MDF(path), then every CAN group's samples and timestamps
      on that file and on a logger file of as many frames in the shipped
      CANedge layout (unsorted, DataBytes in a VLSD group, the shipped file's
      records repeated later in time),
      (get("CAN_DataFrame", group=g)), checked equal to read_mf4's identifiers
      and times (to the microsecond) before timing;
  (b) read_mf4 against kv.read of the same frames as BLF, both with all cores
      and with one thread.

  (c) floors: zlib inflating the written file's DZ blocks alone (what asammdf,
      which inflates with zlib, pays at least) and reading the logger file's
      bytes (it holds uncompressed DT blocks).

Times are medians of several runs, the readers taken in turns; ratios use the
medians of the same run.

    python benchmarks/bench_mf4.py [--runs R] [--frames N]
"""

from __future__ import annotations

import argparse
import os
import statistics
import sys
import time
import warnings
import zlib

import numpy as np

sys.path.insert(0, os.path.dirname(__file__))
import loggen

import korvel.korvel as kv


def frames(n: int) -> tuple[np.ndarray, np.ndarray]:
    t, ids, dlc, payload, _ = loggen.classic_frames(n)
    dlc = np.asarray(dlc)
    index = np.zeros(len(t), kv.DT)
    index["timestamp"] = (loggen.T0 * 1e9 + t * 1e9).astype(np.int64)
    index["can_id"] = ids
    index["channel"] = 1
    index["len"] = dlc
    index["flags"] = 0x04
    starts = np.concatenate([[0], np.cumsum(dlc)[:-1]]).astype(np.uint64)
    index["loc"] = starts | (dlc.astype(np.uint64) << np.uint64(48))
    chunk = payload[np.arange(8)[None, :] < dlc[:, None]]
    return index, chunk


def cached(n: int) -> tuple[str, str]:
    loggen.CACHE.mkdir(parents=True, exist_ok=True)
    mf4 = loggen.CACHE / f"mf4_{n}.mf4"
    blf = loggen.CACHE / f"mf4_{n}.blf"
    if not (mf4.exists() and blf.exists()):
        pair = frames(n)
        kv.write_mf4(str(mf4), pair, verbose=False)
        kv.write(str(blf), pair, verbose=False, exact_time=True)
    return str(mf4), str(blf)


def logger_layout(n: int) -> str:
    """A logger file of about n frames in the shipped CANedge layout (unsorted,
    unfinalized, DataBytes in a VLSD group): the shipped file's records
    repeated, each copy later in time and its VLSD offsets moved on."""
    path = loggen.CACHE / f"mf4_logger_{n}.mf4"
    if path.exists():
        return str(path)
    src = os.path.join(os.path.dirname(__file__), "..", "examples", "data", "mf4",
                       "uds_kona_canedge.MF4")
    with open(src, "rb") as f:
        data = f.read()
    dt = data.index(b"##DT")
    head, body = data[:dt + 24], data[dt + 24:]
    # Records: id 1 (22 bytes: float64 ns time, then the frame; its VLSD
    # offset at bytes 14-21), id 2 (uint32 length, bytes), id 3 (LIN, 19 bytes).
    spans, at, vlsd = [], 0, 0
    while at < len(body):
        rid = body[at]
        size = 22 if rid == 1 else 19 if rid == 3 else 4 + int.from_bytes(body[at + 1:at + 5], "little")
        if rid == 2:
            vlsd += size
        spans.append((at, rid))
        at += 1 + size
    frames_per_copy = sum(1 for _, r in spans if r == 1)
    block = np.frombuffer(body, np.uint8).copy()
    ones = np.array([a for a, r in spans if r == 1])
    times = np.zeros(len(ones), "<f8")
    offs = np.zeros(len(ones), "<u8")
    for k, a in enumerate(ones):
        times[k] = np.frombuffer(body[a + 1:a + 9], "<f8")[0]
        offs[k] = np.frombuffer(body[a + 15:a + 23], "<u8")[0]
    span = float(times.max() - times.min()) + 1e7
    with open(path, "wb") as f:
        f.write(head)
        for c in range((n + frames_per_copy - 1) // frames_per_copy):
            for k, a in enumerate(ones):
                block[a + 1:a + 9] = np.frombuffer((times[k] + c * span).tobytes(), np.uint8)
                block[a + 15:a + 23] = np.frombuffer(
                    np.uint64(offs[k] + c * vlsd).tobytes(), np.uint8)
            f.write(block.tobytes())
    return str(path)


def with_asammdf(path: str) -> list:
    import asammdf

    mdf = asammdf.MDF(path)
    out = []
    for g, group in enumerate(mdf.groups):
        if "CAN_DataFrame" in [c.name for c in group.channels]:
            sig = mdf.get("CAN_DataFrame", group=g)
            out.append((sig.samples, sig.timestamps, mdf.header.start_time.timestamp()))
    mdf.close()
    return out


def dz_blocks(path: str) -> list[bytes]:
    """The compressed data of every DZ block of a file (found by their ids)."""
    with open(path, "rb") as f:
        data = f.read()
    out, at = [], data.find(b"##DZ")
    while at >= 0:
        length, links = (int.from_bytes(data[at + k:at + k + 8], "little") for k in (8, 16))
        body = at + 24 + 8 * links
        size = int.from_bytes(data[body + 16:body + 24], "little")
        out.append(data[body + 24:body + 24 + size])
        at = data.find(b"##DZ", at + max(length, 24))
    return out


def inflate_all(blocks: list[bytes]) -> int:
    return sum(len(zlib.decompress(b)) for b in blocks)


def read_bytes(path: str) -> int:
    with open(path, "rb") as f:
        return len(f.read())


def check(path: str) -> None:
    index, _ = kv.read_mf4(path, verbose=False)
    (samples, times, start), = with_asammdf(path)
    assert np.array_equal(samples["CAN_DataFrame.ID"], index["can_id"])
    assert np.array_equal(samples["CAN_DataFrame.DataLength"], index["len"])
    assert np.abs((start + times) * 1e6 - index["timestamp"] / 1e3).max() < 1


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--runs", type=int, default=5)
    ap.add_argument("--frames", type=int, default=1_000_000)
    args = ap.parse_args()
    warnings.simplefilter("ignore")
    mf4, blf = cached(args.frames)
    check(mf4)
    logger = logger_layout(args.frames)
    blocks = dz_blocks(mf4)
    readers = {
        "zlib inflate (floor)": lambda: inflate_all(blocks),
        "read bytes, logger file": lambda: read_bytes(logger),
        "asammdf, logger file": lambda: with_asammdf(logger),
        "read_mf4, logger file": lambda: kv.read_mf4(logger, verbose=False),
        "asammdf open + samples": lambda: with_asammdf(mf4),
        "read_mf4": lambda: kv.read_mf4(mf4, verbose=False),
        "read (BLF)": lambda: kv.read(blf, verbose=False, exact_time=True),
        "read_mf4 threads=1": lambda: kv.read_mf4(mf4, verbose=False, threads=1),
        "read (BLF) threads=1": lambda: kv.read(blf, verbose=False, exact_time=True, threads=1),
    }
    times: dict[str, list[float]] = {k: [] for k in readers}
    for _ in range(args.runs):
        for name, fn in readers.items():
            t0 = time.perf_counter()
            fn()
            times[name].append(time.perf_counter() - t0)
    med = {k: statistics.median(v) for k, v in times.items()}
    print(f"{args.frames} frames; MF4 {os.path.getsize(mf4) / 1e6:.1f} MB, "
          f"BLF {os.path.getsize(blf) / 1e6:.1f} MB; medians of {args.runs}")
    for name, t in med.items():
        print(f"  {name:<24} {t * 1000:9.1f} ms")
    n_logger = len(kv.read_mf4(logger, verbose=False)[0])
    print(f"  (logger file: {n_logger} frames, {os.path.getsize(logger) / 1e6:.1f} MB)")
    print(f"  (written file: {len(blocks)} DZ blocks, {inflate_all(blocks) / 1e6:.1f} MB of records)")
    print(f"  read_mf4 vs asammdf, logger file: "
          f"{med['asammdf, logger file'] / med['read_mf4, logger file']:.1f}x faster")
    print(f"  read_mf4 vs asammdf, written file: "
          f"{med['asammdf open + samples'] / med['read_mf4']:.1f}x faster "
          f"(asammdf takes {med['asammdf open + samples'] / med['zlib inflate (floor)']:.1f}x "
          f"zlib's inflate alone)")
    print(f"  read_mf4 / read (BLF) per frame: {med['read_mf4'] / med['read (BLF)']:.2f} "
          f"(threads=1: {med['read_mf4 threads=1'] / med['read (BLF) threads=1']:.2f})")


if __name__ == "__main__":
    main()
