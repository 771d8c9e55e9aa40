"""A log plus a DBC in, one table of decoded signals per message out.

The case: 50 messages and about 400 signals (both byte orders, floats, four
multiplexed messages one of them nested, about 100 value tables, extended
identifiers, two 64-byte CAN FD messages), 1,000,000 frames of values encoded
by cantools at rates from 10 ms to 1 s. Whole path for each peer, in the same
run: DBC load, read, decode, pandas tables.

  - korvel: korvel.decode(path, dbc).to_pandas()
  - python-can + cantools: BLFReader and decode_message frame by frame, then
    a DataFrame per message
  - asammdf: the same frames as an MDF4 CAN bus log (built as asammdf's own
    tests build one), extract_bus_logging, then get_group per group
  - the floor: read, one stable argsort of can_id and a per-message gather of
    the payloads

Also: korvel's decoding alone against the floor's argsort and gather (frames
already in memory), what to_arrow adds, peak memory in a child process, and
every sample against cantools (choices=True: none extra, missing or lost).
Times are medians of several runs, peers taken in turns; ratios use the
medians of the same run.

    python benchmarks/bench_tables.py [--runs R] [--peer-runs P]
"""

from __future__ import annotations

import argparse
import atexit
import math
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import cantools
import numpy as np
from loggen import CACHE

import korvel
from korvel import korvel as k

N_FRAMES = 1_000_000
T0_NS = 1_700_000_000_000_000_000
DBC_PATH = CACHE / "tables.dbc"
BLF_PATH = CACHE / "tables.blf"
MF4_PATH = CACHE / "tables.mf4"
# Plan caches of the benchmark's own, never the user's.
WARM_CACHE = Path(tempfile.mkdtemp(prefix="korvel-bench-plans-")) / "warm"
atexit.register(shutil.rmtree, WARM_CACHE.parent, True)


# --- the database ----------------------------------------------------------------------


def make_dbc(seed=5):
    """DBC text: 50 messages, ~400 signals."""
    rng = np.random.default_rng(seed)
    lines = ['VERSION ""', "", "NS_ :", "", "BS_:", "", "BU_: ECU GW", ""]
    vals, valtypes, mulvals = [], [], []
    ids = rng.choice(np.arange(0x100, 0x700), 50, replace=False)
    for m in range(50):
        fd = m in (10, 30)
        ext = m % 7 == 3 or fd
        can_id = int(ids[m]) + (0x18DA0000 if ext else 0)
        frame_id = can_id | 0x80000000 if ext else can_id
        size = 64 if fd else 8
        lines.append(f"BO_ {frame_id} Msg{m:02d}: {size} ECU")
        little = m % 2 == 0
        sigs = []
        if m in (5, 15, 25, 35):  # multiplexed; 35 nested
            sigs.append(f' SG_ M{m}_Mux M : 0|4@1+ (1,0) [0|15] "" GW')
            if m == 35:
                sigs.append(f' SG_ M{m}_Sub m0M : 4|4@1+ (1,0) [0|15] "" GW')
                mulvals.append(f"SG_MUL_VAL_ {frame_id} M{m}_Sub M{m}_Mux 0-0;")
            for g in range(3):
                for j, (start, length) in enumerate(((8, 8), (16, 12), (32, 16), (48, 8))):
                    name = f"M{m}_G{g}_S{j}"
                    if m == 35:
                        sel = f"m{g + 1}"
                        parent = f"M{m}_Sub" if g > 0 else f"M{m}_Mux"
                        ids_ = "1-1" if g == 0 else f"{g + 1}-{g + 1}"
                        mulvals.append(f"SG_MUL_VAL_ {frame_id} {name} {parent} {ids_};")
                    else:
                        sel = f"m{g}"
                    sigs.append(
                        f" SG_ {name} {sel} : {start}|{length}@1{'-' if j == 1 else '+'} "
                        f'({0.5 if j == 2 else 1},{-10 if j == 3 else 0}) [0|0] "" GW'
                    )
            sigs.append(f' SG_ M{m}_Tail : 60|4@1+ (1,0) [0|15] "" GW')
        else:
            bit = 0
            j = 0
            budget = size * 8
            while True:
                length = int(rng.choice([1, 2, 4, 8, 8, 12, 16, 16, 32]))
                is_float = length == 32 and rng.random() < 0.5
                if is_float:  # floats sit on whole bytes
                    bit = -(-bit // 8) * 8
                if bit % 8 + length > 64 or bit + length > budget:
                    break
                if not little and (bit % 8 or length % 8):  # keep Motorola fields byte-aligned
                    bit = -(-bit // 8) * 8
                    length = max(8, length // 8 * 8)
                    if bit + length > budget:
                        break
                name = f"M{m}_S{j}"
                signed = rng.random() < 0.3
                scale = [1, 0.1, 0.25, 2, 0.01][j % 5]
                offset = [0, -40, 0, 100, 0][j % 5]
                if is_float:
                    scale, offset, signed = 1, 0, True
                    valtypes.append(f"SIG_VALTYPE_ {frame_id} {name} : 1;")
                start = bit if little else bit + 7
                order = "1" if little else "0"
                sign = "-" if signed else "+"
                sigs.append(
                    f" SG_ {name} : {start}|{length}@{order}{sign} ({scale},{offset}) [0|0] "
                    f'"u{j}" GW'
                )
                if length <= 8 and not is_float and rng.random() < 0.55:
                    labels = " ".join(f'{v} "L{v}"' for v in range(0, min(2**length, 6), 2))
                    vals.append(f"VAL_ {frame_id} {name} {labels} ;")
                bit += length
                j += 1
        lines.extend(sigs)
        lines.append("")
    lines += vals + valtypes + mulvals
    return "\n".join(lines) + "\n"


# --- the log -------------------------------------------------------------------------------


def random_values(msg, rng, mux_choice):
    """Physical values for one frame of `msg` (multiplexers pick a group)."""
    data = {}
    chosen = {}
    for s in msg.signals:
        if s.is_multiplexer:
            opts = sorted(
                {
                    i
                    for t in msg.signals
                    if t.multiplexer_signal == s.name
                    for i in (t.multiplexer_ids or [])
                }
            )
            chosen[s.name] = opts[mux_choice % len(opts)]
    for s in msg.signals:
        if s.multiplexer_signal is not None:
            if chosen.get(s.multiplexer_signal) not in (s.multiplexer_ids or []):
                continue
            if s.multiplexer_signal not in data:
                continue
        if s.is_multiplexer:
            raw = chosen[s.name]
        elif s.is_float:
            data[s.name] = float(np.float32(rng.normal(0, 1000)))
            continue
        else:
            lo = -(2 ** (s.length - 1)) if s.is_signed else 0
            hi = 2 ** (s.length - 1) if s.is_signed else 2**s.length
            raw = int(rng.integers(lo, hi))
        data[s.name] = raw * s.scale + s.offset
    return data


def make_log(db, seed=11):
    """1M frames: (can_id, is extended, period) per message, payload pools encoded by cantools."""
    rng = np.random.default_rng(seed)
    periods = rng.choice([0.01, 0.02, 0.05, 0.1, 0.2, 0.5, 1.0], len(db.messages))
    rates = 1 / periods
    counts = np.floor(rates / rates.sum() * N_FRAMES).astype(int)
    counts[np.argmax(counts)] += N_FRAMES - counts.sum()
    ts, which = [], []
    for m, n in enumerate(counts):
        period_ns = int(periods[m] * 1e9)
        phase = int(rng.integers(0, period_ns))
        jitter = rng.integers(-period_ns // 50, period_ns // 50 + 1, n)
        ts.append(T0_NS + phase + np.arange(n, dtype=np.int64) * period_ns + jitter)
        which.append(np.full(n, m))
    ts = np.concatenate(ts)
    which = np.concatenate(which)
    order = np.argsort(ts, kind="stable")
    ts, which = ts[order], which[order]

    pools = []
    for msg in db.messages:
        pool = [
            msg.encode(random_values(msg, rng, i), scaling=True, strict=False) for i in range(256)
        ]
        pools.append(pool)
    seq = np.zeros(len(which), np.int64)
    for m in range(len(db.messages)):
        sel = which == m
        seq[sel] = np.arange(sel.sum()) % 256
    lengths = np.array([db.messages[m].length for m in which], np.uint64)
    blobs = [pools[m][s] for m, s in zip(which.tolist(), seq.tolist())]

    index = np.zeros(len(which), k.DT)
    index["timestamp"] = ts
    index["can_id"] = np.array([m.frame_id for m in db.messages], np.uint32)[which]
    ext = np.array([db.messages[m].is_extended_frame for m in range(len(db.messages))])[which]
    fd = lengths > 8
    index["is64"] = fd
    index["channel"] = 1
    index["len"] = lengths
    index["flags"] = 0x04 | np.where(ext, 0x40, 0) | np.where(fd, 0x08 | 0x02, 0)
    offsets = np.concatenate([[0], np.cumsum(lengths)[:-1]]).astype(np.uint64)
    index["loc"] = offsets + (lengths << np.uint64(48))
    chunk = np.frombuffer(b"".join(blobs), np.uint8).copy()
    return index, chunk


def write_mf4(frames, path):
    """The frames as an MDF4 CAN bus log: one CAN_DataFrame channel group."""
    from asammdf import MDF, Signal
    from asammdf.blocks import v4_constants as v4c
    from asammdf.blocks.source_utils import Source

    index, chunk = frames
    n = len(index)
    dtype = np.dtype(
        [
            ("CAN_DataFrame.BusChannel", "u1"),
            ("CAN_DataFrame.ID", "u4"),
            ("CAN_DataFrame.IDE", "u1"),
            ("CAN_DataFrame.DLC", "u1"),
            ("CAN_DataFrame.EDL", "u1"),
            ("CAN_DataFrame.DataLength", "u1"),
            ("CAN_DataFrame.DataBytes", "u1", (64,)),
        ]
    )
    rec = np.zeros(n, dtype)
    rec["CAN_DataFrame.BusChannel"] = index["channel"]
    rec["CAN_DataFrame.ID"] = index["can_id"]
    rec["CAN_DataFrame.IDE"] = (index["flags"] & 0x40) != 0
    rec["CAN_DataFrame.EDL"] = (index["flags"] & 0x08) != 0
    rec["CAN_DataFrame.DataLength"] = index["len"]
    rec["CAN_DataFrame.DLC"] = [k_dlc(x) for x in index["len"].tolist()]
    data = rec["CAN_DataFrame.DataBytes"]
    offs = (index["loc"] & np.uint64((1 << 48) - 1)).astype(np.int64)
    for length in np.unique(index["len"]):
        sel = index["len"] == length
        data[sel, :length] = chunk[offs[sel, None] + np.arange(length)]
    source = Source(
        name="CAN", path="CAN", comment="", source_type=v4c.SOURCE_BUS, bus_type=v4c.BUS_TYPE_CAN
    )
    t = (index["timestamp"] - index["timestamp"][0]) / 1e9
    with MDF(version="4.10") as mdf:
        cg = mdf.append(Signal(samples=rec, timestamps=t, name="CAN_DataFrame"), acq_source=source)
        mdf.groups[cg].channel_group.flags = v4c.FLAG_CG_BUS_EVENT
        mdf.save(path, overwrite=True)


def k_dlc(length):
    return (
        length if length <= 8 else {12: 9, 16: 10, 20: 11, 24: 12, 32: 13, 48: 14}.get(length, 15)
    )


def prepare():
    CACHE.mkdir(parents=True, exist_ok=True)
    if not DBC_PATH.exists():
        DBC_PATH.write_text(make_dbc())
    db = cantools.database.load_file(DBC_PATH)
    if not BLF_PATH.exists() or not MF4_PATH.exists():
        print("generating the log (cached in benchmarks/.cache) ...", flush=True)
        frames = make_log(db)
        with open(BLF_PATH, "wb") as f:
            k.write(f, frames)
        write_mf4(frames, MF4_PATH)
    return db


# --- the peers -----------------------------------------------------------------------------


def run_korvel(choices=False):
    """The second run: the database's plan from the plan cache."""
    os.environ["KORVEL_CACHE"] = str(WARM_CACHE)
    tables = korvel.decode(BLF_PATH, DBC_PATH, choices=choices)
    return tables, tables.to_pandas()


def run_korvel_first():
    """The first run: an empty plan cache, so cantools parses the DBC."""
    cache = Path(tempfile.mkdtemp(dir=WARM_CACHE.parent))
    os.environ["KORVEL_CACHE"] = str(cache)
    try:
        tables = korvel.decode(BLF_PATH, DBC_PATH)
        return tables, tables.to_pandas()
    finally:
        shutil.rmtree(cache)


def run_python_can():
    import can
    import pandas as pd

    db = cantools.database.load_file(DBC_PATH)
    by_id = {m.frame_id: m for m in db.messages}
    rows = {m.name: ([], []) for m in db.messages}
    with can.BLFReader(str(BLF_PATH)) as reader:
        for msg in reader:
            m = by_id.get(msg.arbitration_id)
            if m is None:
                continue
            t, v = rows[m.name]
            t.append(msg.timestamp)
            v.append(m.decode(msg.data))
    return {name: pd.DataFrame(v, index=t) for name, (t, v) in rows.items() if t}


def run_asammdf():
    from asammdf import MDF

    with MDF(MF4_PATH) as mdf:
        out = mdf.extract_bus_logging({"CAN": [(str(DBC_PATH), 0)]})
    return [out.get_group(i) for i in range(len(out.groups))]


def floor_decode(frames, ids):
    index, chunk = frames
    order = np.argsort(index["can_id"], kind="stable")
    sorted_ids = index["can_id"][order]
    out = []
    for cid in ids:
        a, b = np.searchsorted(sorted_ids, [cid, cid + 1])
        rows = order[a:b]
        loc = index["loc"][rows]
        length = int(loc[0] >> np.uint64(48)) if len(rows) else 0
        offs = (loc & np.uint64((1 << 48) - 1)).astype(np.int64)
        out.append(chunk[offs[:, None] + np.arange(length)])
    return out


def run_floor(ids):
    frames = k.read(BLF_PATH, verbose=False)
    return floor_decode(frames, ids)


# --- checks --------------------------------------------------------------------------------


def check_against_cantools(db, frames, tables):
    """Every sample of korvel.decode(choices=True) against cantools' decode."""
    index, chunk = frames
    by_id = {m.frame_id: m for m in db.messages}
    offs = (index["loc"] & np.uint64((1 << 48) - 1)).astype(np.int64)
    counts = (index["loc"] >> np.uint64(48)).astype(np.int64)
    seen = {name: 0 for name in tables}
    bad = missing = extra = 0
    ids = index["can_id"].tolist()
    for i, cid in enumerate(ids):
        m = by_id.get(cid)
        if m is None:
            continue
        raw = chunk[offs[i] : offs[i] + counts[i]].tobytes()
        want = m.decode(raw, decode_choices=True, scaling=True)
        table = tables[m.name]
        r = seen[m.name]
        seen[m.name] += 1
        for s in m.signals:
            got = table[s.name][r]
            w = want.get(s.name)
            if w is None:
                extra += not (got is None or (isinstance(got, float) and math.isnan(got)))
            elif got is None or (
                isinstance(got, float)
                and math.isnan(got)
                and not (isinstance(w, float) and math.isnan(w))
            ):
                missing += 1
            elif isinstance(got, str):
                bad += got != str(w)
            else:
                bad += not (got == float(w) or (math.isnan(got) and math.isnan(float(w))))
    return bad, missing, extra


MEMORY_CHILD = """
import cantools, korvel, sys
from korvel import korvel as k
db = cantools.database.load_file(sys.argv[1])
def hwm():
    for line in open('/proc/self/status'):
        if line.startswith('VmHWM'):
            return int(line.split()[1]) * 1024
def rss():
    for line in open('/proc/self/status'):
        if line.startswith('VmRSS'):
            return int(line.split()[1]) * 1024
frames = k.read(sys.argv[2], verbose=False)
frames_bytes = frames[0].nbytes + frames[1].nbytes
base = rss()
open('/proc/self/clear_refs', 'w').write('5')
t = korvel.decode(frames, db)
tables = sum(a.nbytes for tab in t.values() for a in tab.values())
print(frames_bytes, tables, hwm() - base)
"""


def memory():
    out = subprocess.run(
        [sys.executable, "-c", MEMORY_CHILD, str(DBC_PATH), str(BLF_PATH)],
        capture_output=True,
        text=True,
        check=True,
    )
    return [int(x) for x in out.stdout.split()[-3:]]


# --- main ------------------------------------------------------------------------------------


def timed(fn):
    t0 = time.perf_counter()
    fn()
    return time.perf_counter() - t0


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--runs", type=int, default=5)
    ap.add_argument("--peer-runs", type=int, default=3)
    args = ap.parse_args()

    db = prepare()
    n_signals = sum(len(m.signals) for m in db.messages)
    print(
        f"{len(db.messages)} messages, {n_signals} signals, "
        f"{sum(bool(s.choices) for m in db.messages for s in m.signals)} value tables, "
        f"{sum(m.is_multiplexed() for m in db.messages)} multiplexed, "
        f"{sum(m.length == 64 for m in db.messages)} of 64 bytes"
    )

    frames = k.read(BLF_PATH, verbose=False)
    ids = sorted({m.frame_id for m in db.messages})
    print(f"{len(frames[0])} frames")

    # Whole paths, in turns.
    paths = {
        "korvel": run_korvel,
        "korvel, first run": run_korvel_first,
        "python-can + cantools": run_python_can,
        "asammdf": run_asammdf,
        "floor": lambda: run_floor(ids),
    }
    times = {name: [] for name in paths}
    for r in range(max(args.runs, args.peer_runs)):
        for name, fn in paths.items():
            slow = name in ("python-can + cantools", "asammdf")
            if r < (args.peer_runs if slow else args.runs):
                times[name].append(timed(fn))
    med = {name: statistics.median(t) for name, t in times.items()}
    print("\nwhole path (DBC load, read, decode, pandas tables), median seconds (korvel: the "
          "database's plan cached by an earlier run; first run: cantools parses it):")
    for name, t in med.items():
        print(f"  {name:24s} {t:8.3f}   {t / med['korvel']:6.2f} x korvel")

    # Decoding alone, frames in memory.
    plan = korvel.tables.decode_plan(db)
    dec, flo, arrow = [], [], []
    for _ in range(args.runs * 2):
        dec.append(timed(lambda: korvel.decode(frames, plan)))
        flo.append(timed(lambda: floor_decode(frames, ids)))
        tables = korvel.decode(frames, plan)
        arrow.append(timed(lambda tables=tables: [t.to_arrow() for t in tables.values()]))
    d, fl, ar = statistics.median(dec), statistics.median(flo), statistics.median(arrow)
    print(
        f"\ndecode alone {d * 1e3:.1f} ms, floor (argsort + gather) {fl * 1e3:.1f} ms: "
        f"{d / fl:.2f} x the floor"
    )
    print(f"to_arrow of every table: {ar * 1e3:.2f} ms")
    one = [timed(lambda: korvel.decode(frames, plan, threads=1)) for _ in range(args.runs)]
    print(f"decode alone, threads=1: {statistics.median(one) * 1e3:.1f} ms")

    fb, tb, peak = memory()
    print(
        f"\npeak memory of decode: {peak / 2**20:.0f} MiB; frames {fb / 2**20:.0f} MiB, "
        f"tables {tb / 2**20:.0f} MiB -> {peak / tb:.2f} x the tables "
        f"(target: at most frames + 1.5 x tables = {(fb + 1.5 * tb) / 2**20:.0f} MiB)"
    )

    first = med["korvel, first run"]
    print("\ntargets (cached plan; first run):")
    print(f"  >= 10x faster than asammdf:               {med['asammdf'] / med['korvel']:.1f}x; "
          f"{med['asammdf'] / first:.1f}x")
    print(
        f"  >= 100x faster than python-can + cantools: "
        f"{med['python-can + cantools'] / med['korvel']:.1f}x; "
        f"{med['python-can + cantools'] / first:.1f}x"
    )
    print(f"  decode within 2x the floor:               {d / fl:.2f}x")
    print(f"  to_arrow at most 10 ms:                   {ar * 1e3:.2f} ms")
    print(f"  peak memory <= frames + 1.5 x tables:     {peak <= fb + 1.5 * tb}")

    bad, missing, extra = check_against_cantools(
        db, frames, korvel.decode(frames, db, choices=True)
    )
    print(
        f"\nagainst cantools, every sample (choices=True): {bad} wrong, {missing} missing, "
        f"{extra} extra"
    )


if __name__ == "__main__":
    sys.path.insert(0, os.path.dirname(__file__))
    main()
