"""Time: exact timestamps through a write, container first times, time windows,
cut and split, and signals aligned on one time axis."""

import subprocess
import sys
import zlib
from pathlib import Path

import can
import numpy as np
import pytest
from blfbuild import blf, can_msg

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
        for r in pair[0][:5000]:
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


@pytest.mark.parametrize("name", ["ours.blf", "pycan.blf", "ties.blf"])
def test_first_timestamps(logs, name):
    path = str(logs[0] / name)
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


def test_window_takes_datetime64(logs):
    path = str(logs[0] / "ours.blf")
    whole = kv.read(path, verbose=False)
    t = int(whole[0]["timestamp"][100])
    got = kv.read(path, verbose=False, start=np.datetime64(t, "ns"),
                  stop=np.datetime64(t // 1000 + 5000, "us"))
    same(got, masked(whole, t, (t // 1000 + 5000) * 1000))


@pytest.mark.parametrize("start, stop, error", [
    (10, 5, ValueError), (True, None, TypeError), (np.datetime64("NaT"), None, ValueError),
    (1.5, None, TypeError), (None, 2**63, ValueError)])
def test_bad_windows(logs, start, stop, error):
    with pytest.raises(error, match="start|stop"):
        kv.read(str(logs[0] / "ours.blf"), verbose=False, start=start, stop=stop)


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
