"""Time: exact timestamps through a write, container first times, time windows,
cut and split, and signals aligned on one time axis."""

import hashlib
import os
import struct
import subprocess
import sys
import zlib
from pathlib import Path

import can
import numpy as np
import pytest
from blfbuild import (
    CONTAINER,
    LOG_CONTAINER,
    blf,
    can_fd64,
    can_msg,
    file_header,
    obj,
    top_object,
)

import korvel.korvel as kv

T0 = 1_735_000_000_123_456_789


def frames(n, seed=0, step=200_000, t0=T0):
    """n frames of every kind, timestamps never decreasing (equal ones too)."""
    rng = np.random.default_rng(seed)
    idx = np.zeros(n, kv.DT)
    idx["timestamp"] = t0 + np.cumsum(rng.integers(0, step, n) * (rng.random(n) < 0.9))
    idx["can_id"] = rng.integers(0, 0x7FF, n)
    idx["flags"] = rng.choice([0, 0x04, 0x0C, 0x0E, 0x40, 0x10, 0x20], n)
    lens = np.where(idx["flags"] & 0x08, 16, 8)
    idx["is64"] = idx["flags"] & 0x08 != 0
    idx["len"] = lens
    idx["channel"] = rng.integers(1, 4, n)
    starts = np.concatenate([[0], np.cumsum(lens)[:-1]]).astype(np.uint64)
    idx["loc"] = starts | (lens.astype(np.uint64) << np.uint64(48))
    return idx, rng.integers(0, 256, int(lens.sum()), dtype=np.uint8)


def same(a, b):
    assert np.array_equal(a[0], b[0]) and np.array_equal(a[1], b[1])


def masked(pair, start, stop):
    """The whole read masked to the window, as a fresh frames pair."""
    index, chunk = pair
    keep = np.ones(len(index), bool)
    if start is not None:
        keep &= index["timestamp"] >= start
    if stop is not None:
        keep &= index["timestamp"] < stop
    out = index[keep].copy()
    offs = (out["loc"] & np.uint64((1 << 48) - 1)).astype(np.int64)
    counts = (out["loc"] >> np.uint64(48)).astype(np.int64)
    data = [chunk[o:o + c] for o, c in zip(offs, counts)]
    new = np.concatenate([[0], np.cumsum(counts)[:-1]]).astype(np.uint64)
    out["loc"] = new | (counts.astype(np.uint64) << np.uint64(48))
    return out, (np.concatenate(data) if data else np.zeros(0, np.uint8)).astype(np.uint8)


@pytest.fixture(scope="module")
def logs(tmp_path_factory):
    d = tmp_path_factory.mktemp("time")
    pair = frames(60_000)
    kv.write(str(d / "ours.blf"), pair, verbose=False, exact_time=True)
    # python-can cuts objects across containers.
    with can.BLFWriter(str(d / "pycan.blf"), max_container_size=4096) as w:
        for r in pair[0][:20000]:
            w.on_message_received(can.Message(
                timestamp=int(r["timestamp"]) / 1e9, arbitration_id=int(r["can_id"]),
                is_extended_id=False, data=bytes(8), channel=int(r["channel"]) - 1))
    # Timestamps that go back at a container boundary, and equal timestamps on
    # both sides of another.
    objs = [can_msg(i, bytes(8), timestamp=t) for i, t in
            enumerate([5, 6, 7, 7, 7, 8, 9, 3, 4, 10, 11, 11, 12])]
    size = len(objs[0])
    (d / "back.blf").write_bytes(blf(objs, split=[size * 3 + 5, size * 7, size * 11 - 9]))
    (d / "ties.blf").write_bytes(blf(objs[:7], split=[size * 3, size * 5 + 2]))
    # A two-channel logger: each container holds one channel's buffer, then the
    # other's, which runs past the next container's first frame.
    two = [can_msg(i, bytes(8), channel=1 + (i % 20 >= 10),
                   timestamp=100 * (i // 20) + 10 * (i % 10) + 55 * (i % 20 >= 10))
           for i in range(120)]
    (d / "two.blf").write_bytes(blf(two, split=[size * 20 * c for c in range(1, 6)]))
    # The same cut inside objects' headers.
    (d / "twocut.blf").write_bytes(blf(two, split=[size * 20 * c + 7 for c in range(1, 6)]))
    # python-can cutting CAN FD frames whose payloads hold what looks like an
    # object header, timed 1,000,000 s later (a container's first object must
    # not be found there).
    fake = struct.pack("<4sHHII", b"LOBJ", 32, 1, 0x8000, 1) + struct.pack("<IHHQ", 2, 0, 0,
                                                                            10**15)
    with can.BLFWriter(str(d / "fakes.blf"), max_container_size=4096) as w:
        for i in range(40):
            w.on_message_received(can.Message(
                timestamp=1_700_000_000 + i / 100, arbitration_id=0x100 + i, is_fd=True,
                data=bytes(i % 7) + fake + bytes(32 - i % 7), channel=0))
    return d, pair


# --- exact time through a write ----------------------------------------------------------


@pytest.mark.parametrize("t0", [T0, 1_700_000_000_999_999_999, 86_400 * 10**9 + 1])
def test_exact_time_round_trip(tmp_path, t0):
    pair = frames(3000, seed=1, t0=t0)
    path = str(tmp_path / "x.blf")
    kv.write(path, pair, verbose=False, exact_time=True)
    back = kv.read(path, verbose=False, exact_time=True)
    same(back, pair)
    # The default read rounds, but stays within its double precision.
    plain = kv.read(path, verbose=False)[0]["timestamp"]
    assert np.abs(plain - pair[0]["timestamp"]).max() < 1000
    # Other readers see the same instants (to their float precision).
    theirs = np.array([m.timestamp for m in can.BLFReader(path)])
    assert np.abs(theirs - pair[0]["timestamp"][:len(theirs)] / 1e9).max() < 1e-6


def test_exact_write_stays_unambiguous_across_the_repeated_hour(tmp_path):
    # 02:30 local on the night summer time ends in Berlin, read back after a
    # conversion that leaves the C library leaning towards summer time.
    code = f"""
import os, time
os.environ["TZ"] = "Europe/Berlin"; time.tzset()
import numpy as np, korvel.korvel as kv
t = 1792891800_250_000_007
idx = np.zeros(2, kv.DT); idx["timestamp"] = [t, t + 7200 * 10**9]; idx["can_id"] = 1
kv.write({str(tmp_path / "dst.blf")!r}, (idx, np.zeros(0, np.uint8)), verbose=False,
         exact_time=True)
time.mktime((2026, 7, 1, 12, 0, 0, 0, 0, -1))
back = kv.read({str(tmp_path / "dst.blf")!r}, verbose=False, exact_time=True)[0]
print((back["timestamp"] - idx["timestamp"]).tolist())
"""
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.split() == ["[0,", "0]"]


# --- first times of containers and windows ---------------------------------------------------


@pytest.mark.parametrize("name", ["ours.blf", "pycan.blf", "ties.blf", "fakes.blf"])
def test_first_timestamps(logs, name):
    check_first_timestamps(str(logs[0] / name))


@pytest.mark.parametrize("level", [0, 1, 9])
def test_first_timestamps_of_every_kind_of_deflate_block(tmp_path, level):
    """Stored blocks (level 0), fixed and short dynamic codes (1), long
    matches and runs of code lengths (9): the small inflater that finds each
    container's first object reads them all as zlib does."""
    pair = frames(6000)
    path = str(tmp_path / f"level{level}.blf")
    with can.BLFWriter(path, max_container_size=2048, compression_level=level) as w:
        for i, r in enumerate(pair[0]):
            w.on_message_received(can.Message(
                timestamp=int(r["timestamp"]) / 1e9, arbitration_id=int(r["can_id"]),
                data=bytes([i % 7] * (i % 9)), channel=int(r["channel"]) - 1))
    check_first_timestamps(path)


@pytest.mark.parametrize("strategy", ["default", "filtered", "huffman_only", "rle", "fixed"])
def test_first_timestamps_under_every_deflate_strategy(tmp_path, strategy):
    """Literals only (Huffman only), matches one byte back (RLE), fixed codes,
    containers cut inside objects and some of them short: each way of coding
    the start of a stream gives the first times a whole read does."""
    rng = np.random.default_rng(11)
    objs = [can_msg(int(rng.integers(0, 0x7FF)), bytes(rng.integers(0, 4, int(rng.integers(0, 9)),
                                                                     dtype=np.uint8)),
                    timestamp=10 * i) for i in range(4000)]
    stream = b"".join(objs)
    # Cut anywhere in an object, but with room for a few whole ones.
    cuts = np.arange(1600, len(stream) - 48, 1600)
    cuts += rng.integers(0, 48, len(cuts))
    level = {"huffman_only": 1, "fixed": 9}.get(strategy, 6)
    code = "DEFAULT_STRATEGY" if strategy == "default" else strategy.upper()
    body = b""
    for a, b in zip([0, *cuts], [*cuts, len(stream)]):
        z = zlib.compressobj(level, zlib.DEFLATED, 15, 9, getattr(zlib, "Z_" + code))
        packed = z.compress(stream[a:b]) + z.flush()
        body += top_object(LOG_CONTAINER, CONTAINER.pack(2, b - a) + packed)
    path = tmp_path / f"{strategy}.blf"
    path.write_bytes(file_header(object_count=len(objs)) + body)
    check_first_timestamps(str(path))
    with open(path, "rb") as f:
        assert np.array_equal(kv.info(f, verbose=False, times=True)["containers"],
                              kv.info(str(path), verbose=False, times=True)["containers"])


def check_first_timestamps(path):
    table = kv.info(path, verbose=False, times=True)["containers"]
    whole = kv.read(path, verbose=False)[0]["timestamp"]
    # Each container's frames begin with its first time (every object here is
    # a frame): the range read of one container starts there.
    expect = []
    for j in range(len(table)):
        part = kv.read(path, verbose=False, containers=(j, j + 1))[0]["timestamp"]
        expect.append(part[0] if len(part) else None)
    nxt = np.iinfo(np.int64).max
    for j in reversed(range(len(table))):
        nxt = expect[j] if expect[j] is not None else nxt
        assert table["first_timestamp"][j] == nxt
    assert table["first_timestamp"][0] == whole[0]
    assert "first_timestamp" not in kv.info(path, verbose=False)["containers"].dtype.names


@pytest.mark.parametrize("name", ["ours.blf", "pycan.blf", "fakes.blf", "twocut.blf"])
def test_first_timestamps_alike_from_a_path_and_a_stream(logs, name):
    # A path is read where the reader stands (pread, skips only counted), a
    # stream in order.
    path = logs[0] / name
    want = kv.info(str(path), verbose=False, times=True)["containers"]
    with open(path, "rb") as f:
        assert np.array_equal(kv.info(f, verbose=False, times=True)["containers"], want)


GROWS = """
import hashlib, os, sys
import numpy as np
import korvel.korvel as kv
os.sched_setaffinity(0, {min(os.sched_getaffinity(0))})
table = kv.info(sys.argv[1], verbose=False, times=True)["containers"]
with open(sys.argv[1], "rb") as f:
    assert np.array_equal(kv.info(f, verbose=False, times=True)["containers"], table)
print(hashlib.sha1(table.tobytes()).hexdigest())
"""


@pytest.mark.filterwarnings("ignore::korvel.korvel.BLFWarning")  # the cut log
@pytest.mark.parametrize("cut", [False, True])
def test_first_timestamps_where_later_containers_need_more_bytes(tmp_path, cut):
    # From a path, each container's headers come with only about as many of
    # its bytes as earlier searches used: here zeros in the first containers
    # need few, and the later ones begin inside a long object of random
    # bytes, so their first bytes are read again. Cut: the log ends past the
    # bytes first read of its last container, before the rest of them.
    rng = np.random.default_rng(5)
    objs = [can_msg(i % 0x700, bytes(8), timestamp=i) for i in range(12000)]
    at = sum(map(len, objs))
    split = list(range(2000, at, 2000))
    for g in range(150):
        t = 30_000 + 100 * g
        group = [obj(0x7F00, rng.bytes(700), timestamp=t)]
        group += [can_fd64(g, rng.bytes(64), timestamp=t + 1 + k) for k in range(3)]
        split.append(at + 350)
        at += sum(map(len, group))
        objs += group
    path = tmp_path / "grows.blf"
    data = blf(objs, split=split)
    if cut:
        last = int(kv.info(data_path(tmp_path, data), verbose=False)["containers"]["offset"][-1])
        data = data[:last + 32 + 500]
    path.write_bytes(data)
    table = kv.info(str(path), verbose=False, times=True)["containers"]
    assert (table["first_timestamp"] >= table["first_timestamp"][0] + 30_000).sum() == 150
    if not cut:
        check_first_timestamps(str(path))
    with open(path, "rb") as f:
        assert np.array_equal(kv.info(f, verbose=False, times=True)["containers"], table)
    # The same on one core, where the walking thread searches each container.
    one = subprocess.run([sys.executable, "-c", GROWS, str(path)], capture_output=True,
                         text=True, check=True).stdout.strip()
    assert one == hashlib.sha1(table.tobytes()).hexdigest()
    # Windows read from the path (the containers their first times point to)
    # equal the whole read masked, in the part read again too.
    whole = kv.read(str(path), verbose=False)
    for start, stop in windows(whole[0]["timestamp"]) + [(33_000, 36_000)]:
        same(kv.read(str(path), verbose=False, start=start, stop=stop), masked(whole, start, stop))


def data_path(tmp_path, data):
    path = tmp_path / "whole.blf"
    path.write_bytes(data)
    return str(path)


def windows(ts):
    """Windows at frame times, container-edge ties, empty and outside ones."""
    lo, hi = int(ts.min()), int(ts.max())
    mid = int(ts[len(ts) // 2])
    return [(None, None), (lo, hi), (mid, mid + (hi - lo) // 100), (mid, None), (None, mid),
            (mid, mid), (hi + 1, None), (None, lo), (lo - 10, lo + 1), (7, 8), (4, 11)]


@pytest.mark.parametrize("name", ["ours.blf", "pycan.blf", "back.blf", "ties.blf"])
def test_window_equals_masked_whole_read(logs, name):
    path = str(logs[0] / name)
    whole = kv.read(path, verbose=False, exact_time=True)
    for start, stop in windows(whole[0]["timestamp"]):
        got = kv.read(path, verbose=False, exact_time=True, start=start, stop=stop)
        want = masked(whole, start, stop)
        same(got, want)
        pieces = list(kv.iter_read(path, 997, verbose=False, exact_time=True, start=start,
                                   stop=stop, threads=2))
        assert all(len(p[0]) <= 997 for p in pieces)
        same(kv.concat(pieces) if pieces else (want[0][:0], want[1][:0]), want)
        with open(path, "rb") as f:  # a stream: read whole, then masked
            same(kv.read(f, verbose=False, exact_time=True, start=start, stop=stop), want)


@pytest.mark.parametrize("name", ["two.blf", "twocut.blf", "fakes.blf", "back.blf"])
def test_every_window_equals_masked_whole_read(logs, name):
    # Frames timed past the next container's first, and payloads that look like
    # objects: first times are only guesses.
    path = str(logs[0] / name)
    whole = kv.read(path, verbose=False, exact_time=True)
    ts = np.unique(whole[0]["timestamp"])
    for start in ts[:: max(1, len(ts) // 40)]:
        for stop in (start + 1, start + (ts[-1] - ts[0]) // 20, None):
            got = kv.read(path, verbose=False, exact_time=True, start=int(start),
                          stop=None if stop is None else int(stop))
            same(got, masked(whole, start, stop))
    pieces = list(kv.iter_read(path, 5, verbose=False, exact_time=True, start=int(ts[3]),
                               stop=int(ts[-4])))
    same(kv.concat(pieces), masked(whole, ts[3], ts[-4]))


def test_window_reads_the_whole_log_when_every_container_before_it_holds_its_frames(tmp_path):
    # Each of 80 containers holds a frame timed 79,500: looking back through 64
    # of them is not enough, the whole log is read and masked.
    objs = [can_msg(c, bytes(8), timestamp=1000 * c + 10 * k if k < 9 else 79_500)
            for c in range(80) for k in range(10)]
    path = tmp_path / "late.blf"
    path.write_bytes(blf(objs, split=[len(objs[0]) * 10 * c for c in range(1, 80)]))
    whole = kv.read(str(path), verbose=False)
    want = masked(whole, 79_500, 79_501)
    assert len(want[0]) == 80
    same(kv.read(str(path), verbose=False, start=79_500, stop=79_501), want)
    same(kv.concat(list(kv.iter_read(str(path), 7, verbose=False, start=79_500, stop=79_501))),
         want)


def test_window_within_containers(logs):
    # Taking in neighbouring containers stays inside the containers asked for.
    path = str(logs[0] / "two.blf")
    for a, b in ((1, 3), (2, 4), (0, 6)):
        part = kv.read(path, verbose=False, containers=(a, b))
        for start, stop in ((150, 260), (95, 105), (300, 305)):
            same(kv.read(path, verbose=False, containers=(a, b), start=start, stop=stop),
                 masked(part, start, stop))


def test_window_takes_datetime64(logs):
    path = str(logs[0] / "ours.blf")
    whole = kv.read(path, verbose=False)
    t = int(whole[0]["timestamp"][100])
    got = kv.read(path, verbose=False, start=np.datetime64(t, "ns"),
                  stop=np.datetime64(t // 1000 + 5000, "us"))
    same(got, masked(whole, t, (t // 1000 + 5000) * 1000))


@pytest.mark.parametrize("start, stop, error", [
    (10, 5, ValueError), (True, None, TypeError), (np.datetime64("NaT"), None, ValueError),
    (1.5, None, TypeError), (None, 2**63, ValueError),
    (np.datetime64("2300-01-01"), None, ValueError), (None, np.datetime64("1600-01-01"), ValueError),
    (np.datetime64(10**7, "Y"), None, ValueError), (None, np.datetime64(-2**62, "s"), ValueError)])
def test_bad_windows(logs, start, stop, error):
    for read in (kv.read, lambda *a, **kw: next(kv.iter_read(*a, **kw))):
        with pytest.raises(error, match="start|stop"):
            read(str(logs[0] / "ours.blf"), verbose=False, start=start, stop=stop)


def test_datetime64_windows_of_every_unit(logs):
    path = str(logs[0] / "ours.blf")
    whole = kv.read(path, verbose=False)
    t = int(whole[0]["timestamp"][500])
    for start in (np.datetime64(t // 1000, "us"), np.datetime64(t // 10**9, "s"),
                  np.datetime64(t // 10**9 // 86400, "D"), np.datetime64(t // 10**9 // 60, "2m")):
        got = kv.read(path, verbose=False, start=start)
        want = int(start.astype("datetime64[ns]").astype("int64"))
        same(got, masked(whole, want, None))


def test_damage_outside_the_window_is_not_read(logs, tmp_path):
    path = str(logs[0] / "ours.blf")
    table = kv.info(path, verbose=False, times=True)["containers"]
    raw = bytearray(Path(path).read_bytes())
    k = len(table) - 2
    at = int(table["offset"][k]) + 32  # the zlib header of a container's data
    raw[at:at + 2] = b"\xff\xff"
    bad = tmp_path / "bad.blf"
    bad.write_bytes(bytes(raw))
    early = (None, int(table["first_timestamp"][k - 2]))
    same(kv.read(str(bad), verbose=False, start=early[0], stop=early[1]),
         kv.read(path, verbose=False, start=early[0], stop=early[1]))
    late = int(table["first_timestamp"][k])
    with pytest.raises(zlib.error):
        kv.read(str(bad), verbose=False, start=late)
    with pytest.warns(kv.BLFWarning):
        skipped = kv.read(str(bad), verbose=False, errors="skip")
    with pytest.warns(kv.BLFWarning):
        same(kv.read(str(bad), verbose=False, errors="skip", start=late),
             masked(skipped, late, None))


# --- cut and split -------------------------------------------------------------------------


def korvel_cli(*args):
    return subprocess.run([sys.executable, "-m", "korvel", *args], capture_output=True,
                          text=True, check=False)


def test_cut(logs, tmp_path):
    path = str(logs[0] / "ours.blf")
    whole = kv.read(path, verbose=False, exact_time=True)
    t0 = int(whole[0]["timestamp"][0])
    out = tmp_path / "cut.blf"
    proc = korvel_cli("cut", path, "--start", "1.5", "--stop", "2.25", "-o", str(out))
    assert proc.returncode == 0, proc.stderr
    same(kv.read(str(out), verbose=False, exact_time=True),
         masked(whole, t0 + 1_500_000_000, t0 + 2_250_000_000))
    # An ISO date-time with an offset names the same instant.
    iso = np.datetime_as_string(np.datetime64(t0 + 1_500_000_000, "ns"), unit="ns") + "+00:00"
    proc = korvel_cli("cut", path, "--start", iso, "-o", str(out))
    assert proc.returncode == 0, proc.stderr
    same(kv.read(str(out), verbose=False, exact_time=True), masked(whole, t0 + 1_500_000_000, None))
    proc = korvel_cli("cut", path, "--start", "3", "--stop", "1", "-o", str(out))
    assert proc.returncode == 1 and "lies after" in proc.stderr


@pytest.mark.parametrize("how", [["--every", "700ms"], ["--frames", "9999"], ["--size", "300kB"]])
def test_split_parts_join_to_the_whole(logs, tmp_path, how):
    path = str(logs[0] / "ours.blf")
    out = tmp_path / "parts"
    proc = korvel_cli("split", path, *how, "-o", str(out), "--piece-frames", "7000")
    assert proc.returncode == 0, proc.stderr
    names = sorted(os.listdir(out))
    assert names[0] == "ours_0001.blf" and len(names) > 3
    parts = [kv.read(str(out / n), verbose=False, exact_time=True) for n in names]
    same(kv.concat(parts), kv.read(path, verbose=False, exact_time=True))
    if how[0] == "--every":
        t0 = parts[0][0]["timestamp"][0]
        spans = [(p[0]["timestamp"] - t0) // 700_000_000 for p in parts]
        assert all(len(np.unique(s)) == 1 for s in spans)
    elif how[0] == "--frames":
        assert [len(p[0]) for p in parts[:-1]] == [9999] * (len(parts) - 1)
    else:
        sizes = [os.path.getsize(out / n) for n in names[:-1]]
        assert max(sizes) < 330_000 and min(sizes) > 200_000
    again = korvel_cli("split", path, *how, "-o", str(out))
    assert again.returncode == 1 and "already holds .blf files" in again.stderr


# --- signals on one time axis ----------------------------------------------------------------

MUX_DBC = """VERSION ""
BU_: ECU
BO_ 768 Mux: 8 ECU
 SG_ Sel M : 0|8@1+ (1,0) [0|255] "" Vector__XXX
 SG_ A m1 : 8|16@1+ (0.5,0) [0|0] "V" Vector__XXX
 SG_ B m2 : 8|16@1- (1,0) [0|0] "" Vector__XXX
 SG_ C : 24|8@1+ (1,0) [0|0] "" Vector__XXX
BO_ 769 Plain: 8 ECU
 SG_ Speed : 0|16@1+ (0.01,0) [0|0] "km/h" Vector__XXX
 SG_ Count : 16|8@1+ (1,0) [0|0] "" Vector__XXX
VAL_ 769 Count 0 "zero" 1 "one" ;
"""


@pytest.fixture(scope="module")
def mux_case():
    import cantools

    db = cantools.database.load_string(MUX_DBC, "dbc")
    rng = np.random.default_rng(5)
    n = 4000
    idx = np.zeros(n, kv.DT)
    idx["timestamp"] = T0 + np.sort(rng.integers(0, 5 * 10**9, n))
    idx["can_id"] = rng.choice([768, 769], n)
    idx["len"] = 8
    idx["loc"] = (np.arange(n, dtype=np.uint64) * 8) | (np.uint64(8) << np.uint64(48))
    chunk = rng.integers(0, 256, n * 8, dtype=np.uint8)
    chunk[0::8] = rng.choice([1, 2, 3], n)
    return db, (idx, chunk)


def reference(db, pair, grid, timeout):
    """pandas merge_asof of each signal's own samples, as cantools decodes them."""
    import cantools
    import pandas as pd

    out = pd.DataFrame({"timestamp": grid})
    index, chunk = pair
    rows: dict[str, list] = {}
    for r in index:
        msg = db.get_message_by_frame_id(int(r["can_id"]))
        off = int(r["loc"]) & 0xFFFFFFFFFFFF
        data = bytes(chunk[off:off + 8])
        try:
            values = msg.decode(data, decode_choices=False)
        except cantools.database.DecodeError:  # a multiplexer value no group has
            values = {"Sel": data[0], "C": data[3]}
        for name, v in values.items():
            rows.setdefault(f"{msg.name}.{name}", []).append((int(r["timestamp"]), float(v)))
    for col in sorted(rows):
        side = pd.DataFrame(rows[col], columns=["timestamp", col])
        out = pd.merge_asof(out, side, on="timestamp", direction="backward", tolerance=timeout)
    return out


@pytest.mark.parametrize("timeout", [None, 3_000_000])
@pytest.mark.parametrize("axis", [{"step": 7_000_000}, {"on": "Plain"}])
def test_align_equals_merge_asof_of_each_signal(mux_case, axis, timeout):
    import korvel

    db, pair = mux_case
    tables = korvel.decode(pair, db)
    got = tables.align(timeout=timeout, **axis)
    grid = got["timestamp"]
    if "step" in axis:
        assert grid[0] == pair[0]["timestamp"][0] and grid[-1] <= pair[0]["timestamp"][-1]
        assert np.all(np.diff(grid) == axis["step"])
    want = reference(db, pair, grid, timeout)
    assert sorted(got) == sorted(want.columns)
    for col in want.columns:
        np.testing.assert_array_equal(got[col], want[col].to_numpy(), err_msg=col)


def test_align_linear_and_labels(mux_case):
    import korvel

    db, pair = mux_case
    tables = korvel.decode(pair, db, choices=True)
    chosen = ["Plain.Speed", "Plain.Count", "Mux.A"]
    got = tables.align(step=1_000_000, method="linear", signals=chosen)
    plain = tables["Plain"]
    t, grid = plain["timestamp"], got["timestamp"]
    inside = (grid >= t[0]) & (grid <= t[-1])
    assert np.isnan(got["Plain.Speed"][grid < t[0]]).all()
    np.testing.assert_allclose(got["Plain.Speed"][inside],  # times relative: exact in floats
                               np.interp(grid[inside] - T0, t - T0, plain["Speed"]), rtol=1e-12)
    assert np.all(got["Plain.Speed"][grid > t[-1]] == plain["Speed"][-1])  # held after the last
    held = tables.align(step=1_000_000, signals=chosen)["Plain.Count"]
    assert list(got["Plain.Count"]) == list(held)  # labels are never interpolated
    assert set(held[grid >= t[0]]) <= {"zero", "one", *map(str, range(2, 256))}
    mux = tables["Mux"]
    a_times = mux["timestamp"][~np.isnan(mux["A"])]
    assert np.isnan(got["Mux.A"][grid < a_times[0]]).all()


@pytest.mark.parametrize("kw, word", [
    ({"step": 0}, "step"), ({"step": 10, "timeout": -1}, "timeout"), ({"on": "Nope"}, "Nope"),
    ({}, "one of"), ({"step": 10, "on": "Mux"}, "one of"), ({"step": 10, "method": "x"}, "method"),
    ({"step": 10, "signals": ["Mux.Nope"]}, "Mux.Nope")])
def test_align_bad_input(mux_case, kw, word):
    import korvel

    with pytest.raises(ValueError, match=word):
        korvel.decode(mux_case[1], mux_case[0]).align(**kw)


def test_align_gives_each_sender_a_column_of_its_own():
    import cantools
    import pandas as pd

    import korvel

    data = Path(__file__).resolve().parents[1] / "examples" / "data"
    tables = korvel.decode(str(data / "truck.blf"), str(data / "truck.dbc"))
    got = tables.align(step=10_000_000, signals=["EEC1.EngSpeed", "CCVS1.WheelSpeed"])
    # Two engines send EEC1; CCVS1 has one sender and keeps its plain name.
    assert list(got) == ["timestamp", "EEC1.EngSpeed[0x00]", "EEC1.EngSpeed[0x01]",
                         "CCVS1.WheelSpeed"]
    assert repr(got).endswith("3 signals>")
    eec1 = tables["EEC1"]
    for source in (0, 1):
        mine = eec1["source"] == source
        side = pd.DataFrame({"timestamp": eec1["timestamp"][mine], "v": eec1["EngSpeed"][mine]})
        want = pd.merge_asof(pd.DataFrame({"timestamp": got["timestamp"]}), side, on="timestamp")
        np.testing.assert_array_equal(got[f"EEC1.EngSpeed[0x{source:02X}]"], want["v"])
    one = tables.align(on="EEC1[0x01]", signals="EEC1.EngSpeed[0x01]")
    assert list(one) == ["timestamp", "EEC1.EngSpeed[0x01]"] and repr(one).endswith("1 signal>")
    assert list(one["timestamp"]) == list(eec1["timestamp"][eec1["source"] == 1])
    assert (one["EEC1.EngSpeed[0x01]"] == eec1["EngSpeed"][eec1["source"] == 1]).all()
    with pytest.raises(ValueError, match=r"EEC1.EngSpeed\[0x00\]"):
        tables.align(step=10**8, signals=["EEC1.EngSpeed[0x07]"])

    # One message on two channels, and a PGN-matched one on two channels and sources.
    db = cantools.database.load_string(MUX_DBC, "dbc")
    idx, chunk = frames(2000, seed=3)
    idx["can_id"] = 769
    idx["flags"] = 0
    plain = korvel.decode((idx, chunk), db).align(step=10**7)
    assert list(plain) == ["timestamp", *(f"Plain.{s}[ch{c}]" for s in ("Speed", "Count")
                                          for c in (1, 2, 3))]
    idx, chunk = kv.read(str(data / "truck.blf"), verbose=False)
    idx["channel"] = np.where(idx["can_id"] & 0xFF, 2, 1)  # engine 0x01 on channel 2
    two = korvel.decode((idx, chunk), str(data / "truck.dbc"), messages=["EEC1"])
    assert list(two.align(step=10**8, signals="EEC1.EngSpeed")) == [
        "timestamp", "EEC1.EngSpeed[ch1,0x00]", "EEC1.EngSpeed[ch2,0x01]"]


def test_align_bounds_its_grid():
    import korvel

    data = Path(__file__).resolve().parents[1] / "examples" / "data"
    tables = korvel.decode(str(data / "drive.blf"), str(data / "vehicle.dbc"))
    with pytest.raises(ValueError, match="100,000,000 instants"):
        tables.align(step=1)
    log, dbc = str(data / "drive.blf"), str(data / "vehicle.dbc")
    proc = korvel_cli("decode", log, "--dbc", dbc, "--align", "1ns", "-o", "-")
    assert proc.returncode == 2 and len(proc.stderr.splitlines()) == 1
    assert "--align" in proc.stderr and proc.stdout == ""


def test_decode_align_on_one_sender():
    data = Path(__file__).resolve().parents[1] / "examples" / "data"
    base = ["decode", str(data / "truck.blf"), "--dbc", str(data / "truck.dbc"), "-o", "-"]
    proc = korvel_cli(*base, "--align-on", "EEC1[0x01]")
    assert proc.returncode == 0, proc.stderr
    lines = proc.stdout.splitlines()
    assert len(lines) == 1 + 1500 and '"EEC1.EngSpeed[0x01]"' in lines[0].split(",")
    wrong = korvel_cli(*base, "--align-on", "EEC1[0x07]")
    assert wrong.returncode == 1 and "its senders: EEC1[0x00], EEC1[0x01]" in wrong.stderr


def test_decode_align_command(tmp_path):
    import cantools
    import pandas as pd

    import korvel

    data = Path(__file__).resolve().parents[1] / "examples" / "data"
    log, dbc = str(data / "drive.blf"), str(data / "vehicle.dbc")
    proc = korvel_cli("decode", log, "--dbc", dbc, "--align", "25ms", "-o", str(tmp_path))
    assert proc.returncode == 0, proc.stderr
    got = pd.read_parquet(tmp_path / "aligned.parquet")
    want = korvel.decode(log, cantools.database.load_file(dbc)).align(step=25_000_000)
    pd.testing.assert_frame_equal(got, want.to_pandas())
