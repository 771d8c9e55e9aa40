import importlib.util
import io
import json
import re
import subprocess
import sys
from pathlib import Path

import blfbuild as bb
import numpy as np
import pytest

import korvel.korvel as k
from korvel import stats

ESI, BRS, FD, ERROR, REMOTE, EXT = 0x01, 0x02, 0x08, 0x10, 0x20, 0x40

_spec = importlib.util.spec_from_file_location(
    "bench_stats", Path(__file__).parent.parent / "benchmarks" / "bench_stats.py"
)
bench = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(bench)


def pair(rows, channel=1):
    """A frames pair from (timestamp, can_id, flags, len, data) rows."""
    index = np.zeros(len(rows), k.DT)
    chunk, at = bytearray(), 0
    for i, (ts, can_id, flags, length, data) in enumerate(rows):
        index[i] = (
            ts,
            can_id,
            1 if flags & FD else 0,
            channel,
            length,
            flags,
            at + (len(data) << 48),
        )
        chunk += data
        at += len(data)
    return index, np.frombuffer(bytes(chunk), np.uint8).copy()


@pytest.mark.parametrize(
    "can_id,flags,length,data,bits",
    [
        # All zeros: the CRC is zero too, a stuff bit after every 5 bits.
        (0, 0, 0, b"", 34 + 6 + 13),
        # CAN FD, CRC-17: 22 dynamic bits, 3 stuff bits, then stuff count,
        # CRC and 6 fixed stuff bits, then the 13 bits every frame ends with.
        (0, FD, 0, b"", 22 + 3 + 27 + 13),
        # Five zeros end the data (ESI, DLC): no dynamic stuff bit before the
        # stuff count.
        (0x555, FD | BRS, 0, b"", 16 + 1 + 13 + 5 + 27),
        # Without BRS those are 7 zeros, one stuff bit among them.
        (0x555, FD, 0, b"", 16 + 1 + 13 + 5 + 27 + 1),
        # 20 bytes: CRC-21 and 7 fixed stuff bits.
        (0x555, FD, 20, b"\x55" * 20, 22 + 160 + 4 + 21 + 7 + 13),
        (0x123, ERROR, 8, bytes(8), 17),
        (0x123, ERROR | FD | BRS, 64, bytes(64), 17),
    ],
)
def test_frame_bits_by_hand(can_id, flags, length, data, bits):
    assert stats.frame_bits(pair([(0, can_id, flags, length, data)])).tolist() == [bits]


def test_a_stuff_bit_may_follow_the_last_crc_bit():
    # Base data frames without data whose stuffed CRC ends with a stuff bit.
    ends = []
    for can_id in range(0x800):
        frame = [0, *bench.bits_of(can_id, 11), 0, 0, 0, 0, 0, 0, 0]
        frame += bench.bits_of(bench.crc(frame, bench.CRC15), 15)
        stuffed, marks = bench.stuff(frame)
        if marks[-1]:
            ends.append((can_id, len(stuffed) + 13))
    assert len(ends) > 10
    frames = pair([(0, can_id, 0, 0, b"") for can_id, _ in ends])
    assert stats.frame_bits(frames).tolist() == [bits for _, bits in ends]


def test_frame_bits_against_the_bit_by_bit_reference():
    index, chunk = bench.random_frames(4000, seed=11)
    got = stats.frame_bits((index, chunk))
    assert got.dtype == np.uint16
    raw = chunk.tobytes()
    for i, (_, can_id, is64, _, length, flags, loc) in enumerate(index.tolist()):
        off, n = loc & (2**48 - 1), loc >> 48
        assert sum(bench.reference_bits(can_id, flags, is64, length, raw[off : off + n])) == got[i]


@pytest.mark.parametrize(
    "stored,length",
    [(b"\x12\x34", 8), (b"\x12\x34", 12)],
)
def test_missing_payload_bytes_count_as_zeros(stored, length):
    short = stats.frame_bits(pair([(0, 0x10, FD, length, stored)]))
    full = stats.frame_bits(
        pair(
            [
                (
                    0,
                    0x10,
                    FD,
                    12 if length > 8 else length,
                    stored.ljust(12 if length > 8 else length, b"\0"),
                )
            ]
        )
    )
    assert short.tolist() == full.tolist()


@pytest.mark.parametrize(
    "can_id,flags,length,message",
    [
        (1, 0, 16, "frame 1: a classic frame cannot have length 16"),
        (1, FD, 65, "frame 1: a CAN FD frame cannot have length 65"),
        (1, FD | REMOTE, 0, "frame 1: a CAN FD frame cannot be a remote frame"),
        (0x800, 0, 0, "frame 1: base identifier 0x800 does not fit 11 bits"),
    ],
)
def test_frames_that_cannot_be_sent_raise(can_id, flags, length, message):
    frames = pair([(0, 1, 0, 0, b""), (1, can_id, flags, length, b"")])
    with pytest.raises(ValueError, match=message):
        stats.frame_bits(frames)
    with pytest.raises(ValueError, match=message):
        stats.busload(frames, 500_000, data_bitrate=2_000_000)


def test_payload_beyond_the_chunk_raises():
    index, chunk = pair([(0, 1, 0, 8, bytes(8))])
    with pytest.raises(ValueError, match="beyond the payload array"):
        stats.frame_bits((index, chunk[:4]))


def test_busload_windows_counts_and_rates():
    s = 1_000_000_000
    base = 1_700_000_000 * s
    rows = [
        (base + 10, 0, 0, 0, b""),  # 53 bits
        (base + 20, 0x555, FD | BRS, 0, b""),  # 30 nominal + 32 data bits
        (base + 30, 0x7, ERROR, 0, b""),  # 17 bits
        (base + 3 * s + 5, 0, REMOTE, 8, b""),  # 52 bits, three windows on
    ]
    ch1 = pair(rows)
    ch2 = pair([(base + s + 1, 0, 0, 0, b"")], channel=2)
    frames = k.concat([ch1, ch2])
    t = stats.busload(frames, {1: 500_000, 2: 250_000}, data_bitrate={1: 2_000_000})
    assert list(t) == [
        "start",
        "channel",
        "frames",
        "data_frames",
        "remote_frames",
        "error_frames",
        "bits",
        "busy",
        "load",
    ]
    assert t.num_rows == 5
    assert t["start"].tolist() == [base, base + s, base + 2 * s, base + 3 * s, base + s]
    assert t["channel"].tolist() == [1, 1, 1, 1, 2]
    assert t["frames"].tolist() == [3, 0, 0, 1, 1]
    assert t["data_frames"].tolist() == [2, 0, 0, 0, 1]
    assert t["remote_frames"].tolist() == [0, 0, 0, 1, 0]
    assert t["error_frames"].tolist() == [1, 0, 0, 0, 0]
    assert t["bits"].tolist() == [53 + 62 + 17, 0, 0, 52, 53]
    busy0 = (53 + 30 + 17) / 500_000 + 32 / 2_000_000
    assert t["busy"] == pytest.approx([busy0, 0, 0, 52 / 500_000, 53 / 250_000])
    assert t["load"] == pytest.approx(t["busy"] / 1.0)
    assert t.to_pandas()["bits"].sum() == 53 + 62 + 17 + 52 + 53


def test_busload_windows_before_the_epoch_and_short_windows():
    frames = pair([(-1500, 0, 0, 0, b""), (-1, 0, 0, 0, b""), (0, 0, 0, 0, b"")])
    t = stats.busload(frames, 1_000_000, window=1000)
    assert t["start"].tolist() == [-2000, -1000, 0]
    assert t["frames"].tolist() == [1, 1, 1]
    assert t["load"] == pytest.approx([53e-6 / 1e-6] * 3)


@pytest.mark.parametrize(
    "bitrate,data_bitrate,window,error,message",
    [
        ({2: 500_000}, None, 10**9, ValueError, "no bitrate for channel 1"),
        (
            500_000,
            None,
            10**9,
            ValueError,
            "switches its bit rate on channel 1, which has no data_bitrate",
        ),
        (500_000, {2: 2e6}, 10**9, ValueError, "channel 1, which has no data_bitrate"),
        (0, 2e6, 10**9, ValueError, "bitrate must be a positive"),
        ({1: -5}, 2e6, 10**9, ValueError, r"bitrate\[1\] must be a positive"),
        (500_000, float("nan"), 10**9, ValueError, "data_bitrate must be a positive"),
        (500_000, 2e6, 0, ValueError, "window must be at least 1 ns"),
        (500_000, 2e6, 1.5, TypeError, "window must be an int"),
        ("500k", 2e6, 10**9, TypeError, "bitrate must be a number"),
        ({256: 1}, 2e6, 10**9, ValueError, "channel 256 is outside"),
        (500_000, 2e6, 1, ValueError, "make .* rows; give a longer window"),
    ],
)
def test_busload_bad_arguments(bitrate, data_bitrate, window, error, message):
    frames = pair([(0, 1, 0, 0, b""), (10**9, 2, FD | BRS, 8, bytes(8))])
    with pytest.raises(error, match=message):
        stats.busload(frames, bitrate, data_bitrate=data_bitrate, window=window)


def test_busload_reads_a_log_path(tmp_path):
    log = tmp_path / "bus.blf"
    log.write_bytes(bb.blf([bb.can_msg(0, bytes(8), timestamp=t * 10**6) for t in range(10)]))
    t = stats.busload(str(log), 500_000, window=10**8)
    one = sum(bench.reference_bits(0, 0, 0, 8, bytes(8)))
    assert t["frames"].tolist() == [10] and t["bits"].tolist() == [one * 10]


def jittered(period, n, rng, jitter=0.2, start=10**15):
    """Timestamps of a periodic message, each within +-jitter of its slot."""
    slots = start + np.arange(n) * period
    return slots + (rng.uniform(-jitter, jitter, n) * period).astype(np.int64)


def frames_of(messages, channel=1):
    """A frames pair from {(can_id, flags): timestamps}, in time order."""
    rows = [(int(t), can_id, flags, 0, b"") for (can_id, flags), ts in messages.items() for t in ts]
    rows.sort(key=lambda r: r[0])
    return pair(rows, channel)


DBC = """VERSION ""
BU_: A
BO_ 256 Fast: 8 A
 SG_ S1 : 0|8@1+ (1,0) [0|0] "" A
BO_ 2147483904 FastExt: 8 A
 SG_ S2 : 0|8@1+ (1,0) [0|0] "" A
BO_ 512 NoCycle: 8 A
 SG_ S3 : 0|8@1+ (1,0) [0|0] "" A
BA_DEF_ BO_ "GenMsgCycleTime" INT 0 65535;
BA_DEF_DEF_ "GenMsgCycleTime" 0;
BA_ "GenMsgCycleTime" BO_ 256 10;
BA_ "GenMsgCycleTime" BO_ 2147483904 100;
"""


def test_cycles_flag_every_injected_gap_and_nothing_else():
    rng = np.random.default_rng(5)
    ms = 1_000_000
    messages, injected = {}, set()
    for can_id, period in [(0x100, 10 * ms), (0x123, 20 * ms), (0x200, 100 * ms)]:
        ts = jittered(period, 3000, rng)
        # Drop runs of 3 to 9 frames here and there: gaps of 4 to 10 periods.
        keep = np.ones(len(ts), bool)
        for at in rng.choice(np.arange(50, len(ts) - 50, 60), 8, replace=False):
            keep[at : at + rng.integers(3, 10)] = False
        for i in np.flatnonzero(keep[1:] & ~keep[:-1]) + 1:
            before = np.flatnonzero(keep[:i])[-1]
            injected.add((can_id, int(ts[before]), int(ts[i + np.argmax(keep[i:])])))
        messages[(can_id, 0)] = ts[keep]
    frames = frames_of(messages)
    found = stats.gaps(frames)
    assert (
        set(zip(found["can_id"].tolist(), found["start"].tolist(), found["stop"].tolist()))
        == injected
    )
    assert (found["length"] == found["stop"] - found["start"]).all()
    c = stats.cycles(frames)
    assert c["gaps"].tolist() == [sum(g[0] == i for g in injected) for i in (0x100, 0x123, 0x200)]


def test_cycles_statistics_equal_numpy():
    rng = np.random.default_rng(9)
    ts = {
        (0x10, 0): jittered(10**7, 501, rng),
        (0x10, EXT): jittered(5 * 10**6, 800, rng),
        (0x20, 0): np.array([5, 1005, 3005, 3006]),
        (0x30, 0): np.array([77]),
    }
    frames = frames_of(ts)
    # Remote and error frames of the same identifier take no part.
    frames = k.concat([frames, pair([(1, 0x10, REMOTE, 0, b""), (2, 0x10, ERROR, 0, b"")])])
    c = stats.cycles(frames)
    assert c["can_id"].tolist() == [0x10, 0x20, 0x30, 0x10]
    assert c["extended"].tolist() == [0, 0, 0, 1]
    for row, key in enumerate([(0x10, 0), (0x20, 0), (0x30, 0), (0x10, EXT)]):
        t = np.sort(ts[key])
        assert c["count"][row] == len(t)
        assert (c["first"][row], c["last"][row]) == (t[0], t[-1])
        if len(t) < 2:
            assert np.isnan([c[x][row] for x in ("period", "period_min", "jitter")]).all()
            continue
        d = np.diff(t)
        assert c["period"][row] == np.median(d)
        assert (c["period_min"][row], c["period_max"][row]) == (d.min(), d.max())
        assert c["jitter"][row] == pytest.approx(np.percentile(np.abs(d - np.median(d)), 99))
    assert np.isnan(c["expected"]).all()
    assert c["gaps"].tolist() == [0, 0, 0, 0]


def test_cycles_take_expected_periods_from_a_database(tmp_path):
    cantools = pytest.importorskip("cantools")
    path = tmp_path / "cycles.dbc"
    path.write_text(DBC)
    ms = 1_000_000
    ts = {
        (0x100, 0): np.arange(0, 1000 * ms, 10 * ms),
        # Sent every 40 ms where the database says 100 ms: no gap at 3 x 100 ms.
        (0x100, EXT): np.arange(0, 1000 * ms, 40 * ms),
        (0x200, 0): np.array([0, 10 * ms, 20 * ms, 90 * ms]),
    }
    ts[(0x100, 0)] = np.delete(ts[(0x100, 0)], [50, 51, 52])  # 40 ms: a gap at 3 x 10 ms
    frames = frames_of(ts)
    for db in (str(path), cantools.database.load_file(path)):
        c = stats.cycles(frames, db=db)
        expected = dict(
            zip(zip(c["can_id"].tolist(), c["extended"].tolist()), c["expected"].tolist())
        )
        assert expected[(0x100, 0)] == 10 * ms and expected[(0x100, 1)] == 100 * ms
        assert np.isnan(expected[(0x200, 0)])
        g = stats.gaps(frames, db=db)
        # Gaps only where the database gives a cycle time.
        assert list(zip(g["can_id"].tolist(), g["length"].tolist())) == [(0x100, 40 * ms)]
        assert c.to_pandas()["gaps"].sum() == 1


J1939_DBC = """VERSION ""
BU_: E
BO_ 2364540158 EEC1: 8 E
 SG_ EngSpeed : 24|16@1+ (0.125,0) [0|0] "rpm" E
BO_ 2566844926 Plain: 8 E
 SG_ X : 0|8@1+ (1,0) [0|0] "" E
BA_DEF_ BO_ "GenMsgCycleTime" INT 0 65535;
BA_DEF_ BO_ "VFrameFormat" ENUM "StandardCAN","ExtendedCAN","reserved","J1939PG";
BA_DEF_DEF_ "GenMsgCycleTime" 0;
BA_ "GenMsgCycleTime" BO_ 2364540158 20;
BA_ "GenMsgCycleTime" BO_ 2566844926 20;
BA_ "VFrameFormat" BO_ 2364540158 3;
"""


@pytest.mark.parametrize("j1939, expected", [("auto", [20, None]), (True, [20, 20]),
                                             (False, [None, None])])
def test_cycles_match_j1939_messages_by_pgn(tmp_path, j1939, expected):
    # EEC1 (0x0CF004FE, 20 ms) sent by engine 0x00 every 100 ms, Plain
    # (0x18FEF1FE, not marked J1939) by 0x17 every 100 ms.
    path = tmp_path / "j1939.dbc"
    path.write_text(J1939_DBC)
    ms = 1_000_000
    frames = frames_of({(0x0CF00400, EXT): np.arange(0, 2000 * ms, 100 * ms),
                        (0x18FEF117, EXT): np.arange(5, 2000 * ms, 100 * ms)})
    c = stats.cycles(frames, db=str(path), j1939=j1939)
    assert c["can_id"].tolist() == [0x0CF00400, 0x18FEF117]
    assert [None if np.isnan(e) else e / ms for e in c["expected"].tolist()] == expected
    assert c["gaps"].tolist() == [0 if e is None else 19 for e in expected]
    assert stats.gaps(frames, db=str(path), j1939=j1939).num_rows == sum(c["gaps"])


def test_transport_frames_have_no_gaps():
    # Without a database, bursts of J1939 transport and ISO-TP traffic are no gaps;
    # a periodic message is.
    ms = 1_000_000
    bursts = np.concatenate([np.arange(k * 1000 * ms, k * 1000 * ms + 50 * ms, ms)
                             for k in range(5)])
    frames = frames_of({(0x1CEBFF00, EXT): bursts, (0x18ECFF00, EXT): bursts[::10],
                        (0x18C7FF00, EXT): bursts, (0x7E8, 0): bursts, (0x7E0, 0): bursts[::7],
                        (0x18DAF110, EXT): bursts, (0x123, 0): bursts})
    c = stats.cycles(frames)
    gapped = {int(i) for i, g in zip(c["can_id"].tolist(), c["gaps"].tolist()) if g}
    assert gapped == {0x123}
    assert set(stats.gaps(frames)["can_id"].tolist()) == {0x123}


@pytest.mark.parametrize(
    "gap,error", [(0, ValueError), (-1, ValueError), ("3", TypeError), (float("inf"), ValueError)]
)
def test_cycles_bad_gap(gap, error):
    with pytest.raises(error):
        stats.cycles(pair([(0, 1, 0, 0, b"")]), gap=gap)


def test_unsorted_timestamps_give_intervals_in_time_order():
    frames = pair([(30, 1, 0, 0, b""), (10, 1, 0, 0, b""), (20, 1, 0, 0, b""), (100, 1, 0, 0, b"")])
    c = stats.cycles(frames)
    assert (c["first"][0], c["last"][0], c["period_min"][0], c["period_max"][0]) == (
        10,
        100,
        10,
        70,
    )
    g = stats.gaps(frames, gap=2)
    assert (g["start"].tolist(), g["stop"].tolist()) == ([30], [100])


def test_error_frames_of_every_kind_count_in_busload():
    objs = [
        bb.can_msg(0x100, bytes(8), timestamp=1),
        bb.can_error_plain(timestamp=2),
        bb.can_fd_error64(0x12, bytes(8), timestamp=3),
        bb.can_error(0x5, timestamp=4),
    ]
    frames = k.read(io.BytesIO(bb.blf(objs)), all_errors=True, verbose=False)
    t = stats.busload(frames, 500_000)
    assert t["error_frames"].tolist() == [3]
    assert t["bits"].tolist() == [int(stats.frame_bits(frames)[0]) + 3 * 17]


def korvel_cli(*args):
    return subprocess.run(
        [sys.executable, "-m", "korvel", *args], capture_output=True, text=True, check=False
    )


@pytest.fixture(scope="module")
def health_log(tmp_path_factory):
    """Two channels: 0x100 every 10 ms with a 100 ms gap on 1, error frames of
    three object kinds, CAN FD with BRS on 2."""
    ms = 10**6
    objs = []
    for i in range(200):
        if not 50 <= i < 59:
            objs.append(bb.can_msg(0x100, bytes(8), channel=1, timestamp=i * 10 * ms))
        objs.append(
            bb.can_fd64(0x200, bytes(16), channel=2, flags=0x3000, timestamp=i * 10 * ms + 1)
        )
    objs += [
        bb.can_error_plain(channel=1, timestamp=5 * ms),
        bb.can_error(0x7, channel=1, timestamp=6 * ms),
        bb.can_fd_error64(0x7, bytes(8), channel=2, timestamp=7 * ms),
    ]
    path = tmp_path_factory.mktemp("health") / "health.blf"
    path.write_bytes(bb.blf(objs))
    return str(path)


def test_info_counts_error_frames_of_every_kind_per_channel(health_log):
    proc = korvel_cli("info", health_log)
    assert proc.returncode == 0, proc.stderr
    assert "  error frames 2 on channel 1, 1 on channel 2" in proc.stdout
    assert "3 error" in proc.stdout
    record = json.loads(korvel_cli("info", "--json", health_log).stdout)
    assert record["error_frames"] == {"1": 2, "2": 1}


def test_stats_command(health_log, tmp_path):
    out = tmp_path / "out"
    proc = korvel_cli(
        "stats",
        health_log,
        "--bitrate",
        "500k",
        "--bitrate",
        "2:1M",
        "--data-bitrate",
        "2:4M",
        "--window",
        "100ms",
        "-o",
        str(out),
        "--format",
        "csv",
        "-q",
    )
    assert proc.returncode == 0, proc.stderr
    text = proc.stdout
    assert "channel 1  (500 kbit/s, windows of 0.1 s)" in text
    assert "channel 2  (1000 kbit/s, windows of 0.1 s)" in text
    assert "  error frames  2 (most in the window at 0.000 s)" in text
    assert re.search(r"0x100\s+1\s+10\.000 ms\s+-\s+100\.000 ms", text)
    load = (out / "busload.csv").read_text().splitlines()
    assert load[0].replace('"', "").split(",")[:3] == ["start", "channel", "frames"]
    assert len(load) == 1 + 20 + 20
    gaps = (out / "gaps.csv").read_text().splitlines()
    assert len(gaps) == 2


@pytest.mark.parametrize(
    "args,code,message",
    [
        (["--bitrate", "500k"], 1, "switches its bit rate on channel 2, which has no data_bitrate"),
        (["--bitrate", "1:500k"], 1, "no bitrate for channel 2"),
        (["--bitrate", "fast"], 2, "not a bit rate"),
        (["--bitrate", "500k", "--window", "0s"], 2, "not a window length"),
    ],
)
def test_stats_command_faults(health_log, args, code, message):
    proc = korvel_cli("stats", health_log, *args)
    assert proc.returncode == code
    assert message in proc.stderr


BAD_KIND = [(0, 0x4444444, 0, 8, bytes(8)), (1, 0x10, 0, 16, bytes(8)), (2, 0x10, FD, 65, b""),
            (3, 0x10, FD | REMOTE, 8, b"")]


def test_frames_no_bus_could_carry_are_skipped_on_request():
    good = [(10, 0x10, 0, 8, bytes(8)), (20, 0x11, FD | BRS, 12, bytes(12))]
    frames = pair(good + BAD_KIND)
    with pytest.raises(ValueError, match="base identifier 0x4444444 does not fit 11 bits"):
        stats.frame_bits(frames)
    with pytest.warns(stats.StatsWarning, match="skipped 4 frames no bus could carry"):
        bits = stats.frame_bits(frames, errors="skip")
    assert bits.tolist() == [*stats.frame_bits(pair(good)).tolist(), 0, 0, 0, 0]
    with pytest.warns(stats.StatsWarning, match="skipped 4 frames"):
        load = stats.busload(frames, 500_000, data_bitrate=2e6, errors="skip")
    assert load["frames"].tolist() == [2] and load["bits"].sum() == bits.sum()
    with pytest.raises(ValueError, match="errors"):
        stats.busload(frames, 500_000, errors="ignore")


def test_stats_command_skips_frames_no_bus_could_carry(tmp_path):
    objs = [bb.can_msg(0x100, bytes(8), channel=1, timestamp=i * 10**7) for i in range(20)]
    objs.insert(5, bb.can_msg(0x4444444, bytes(8), channel=1, timestamp=45 * 10**6))
    path = tmp_path / "vendor.blf"
    path.write_bytes(bb.blf(objs))
    proc = korvel_cli("stats", str(path), "--bitrate", "500k")
    assert proc.returncode == 0, proc.stderr
    assert "skipped       1 frame no bus could carry" in proc.stdout
    assert "base identifier 0x4444444 does not fit 11 bits" in proc.stderr


@pytest.mark.parametrize("args, message", [
    (["--bitrate", "500k", "--gap", "0"], "--gap"),
    (["--bitrate", "500k", "--gap", "nan"], "--gap"),
    (["--bitrate", "500k", "--bitrate", "250k"], "--bitrate"),
    (["--bitrate", "2:500k", "--bitrate", "2:250k"], "channel 2"),
    (["--bitrate", "500k", "--data-bitrate", "2M", "--data-bitrate", "1:4M",
      "--data-bitrate", "1:2M"], "channel 1"),
])
def test_stats_usage_errors(args, message):
    proc = korvel_cli("stats", "no-such.blf", *args)  # refused before the log is opened
    assert proc.returncode == 2 and message in proc.stderr.splitlines()[-1]


def test_strided_and_reversed_records_give_the_same_counts():
    index, chunk = bench.random_frames(500, seed=3)
    bits = stats.frame_bits((index, chunk))
    assert stats.frame_bits((index[::-1], chunk)).tolist() == bits[::-1].tolist()
    wide = np.zeros(len(index), [("rec", k.DT), ("pad", "u1")])
    wide["rec"] = index
    with pytest.raises(ValueError, match="dtype"):
        stats.frame_bits((wide, chunk))
    t = stats.busload((index[::-1], chunk), 500_000, data_bitrate=2e6, window=10**9)
    assert t["bits"].sum() == bits.sum()


@pytest.mark.parametrize(
    "call,error",
    [
        (lambda i, c: k._busload(i, c, np.zeros(255), np.zeros(256), 10), ValueError),
        (lambda i, c: k._busload(i, c, np.zeros(256, np.float32), np.zeros(256), 10), ValueError),
        (lambda i, c: k._busload(i, c, np.full(256, 5e5), np.zeros(256), 0), ValueError),
        (lambda i, c: k._cycles(i, c, 3.0, np.array([2, 1], np.uint32), np.zeros(2)), ValueError),
        (lambda i, c: k._cycles(i, c, 3.0, np.array([1], np.uint32), np.zeros(2)), ValueError),
        (lambda i, c: k._frame_bits(i, c.astype(np.int8)), ValueError),
        (lambda i, c: k._frame_bits(list(i), c), TypeError),
        (lambda i, c: stats.cycles((i, c), db={1: "x.dbc"}), TypeError),
    ],
)
def test_bad_arrays_and_databases(call, error):
    with pytest.raises(error):
        call(*pair([(0, 1, 0, 8, bytes(8))]))


def test_stored_bytes_beyond_the_data_field_are_not_sent():
    # A classic record holding 12 bytes sends 8 of them; DLC 12 carries 8 bytes too.
    long = stats.frame_bits(pair([(0, 0x10, 0, 8, bytes(range(12)))]))
    dlc12 = stats.frame_bits(pair([(0, 0x10, 0, 12, bytes(range(12)))]))
    assert long.tolist() == [sum(bench.reference_bits(0x10, 0, 0, 8, bytes(range(8))))]
    assert dlc12.tolist() == [sum(bench.reference_bits(0x10, 0, 0, 12, bytes(range(8))))]
