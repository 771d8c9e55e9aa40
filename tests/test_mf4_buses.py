"""LIN and Ethernet groups of MF4 bus logs: the pairs of kv._read_mf4_buses and
read_log(buses=...) against asammdf's reading of the same files, built block by
block (one group per kind or a logger's per-kind groups with constant
channels) and written by asammdf."""

import struct
import warnings
from pathlib import Path

import mdfbuild as mb
import numpy as np
import pytest
from test_mf4 import asammdf_groups

import korvel
import korvel.korvel as kv

asammdf = pytest.importorskip("asammdf")
pytestmark = pytest.mark.filterwarnings("ignore::DeprecationWarning",
                                        "ignore::UserWarning:asammdf")

START = 1_700_000_000_000_000_000
EXAMPLE = Path(__file__).parents[1] / "examples" / "data" / "buses.mf4"
# Flags of each LIN kind, and the direction of a group that has no Dir.
LIN_KINDS = {"LIN_Frame": (0, 0), "LIN_ChecksumError": (0x30, 0), "LIN_ReceiveError": (0x10, 0),
             "LIN_TransmissionError": (0x10, 1), "LIN_SyncError": (0x10, 1),
             "LIN_WakeUp": (0x50, 1)}


def asammdf_records(path, bus):
    """(µs, group, channel, id, dlc, flags, checksum, payload) of each LIN
    record, or (µs, group, channel, length, flags, frame) of each Ethernet
    frame, as asammdf reads the file, in time order with ties in group order."""
    rows = []
    kinds = LIN_KINDS if bus == "lin" else {"ETH_Frame": (0, 0)}
    for start, g, kind, sig in asammdf_groups(path, kinds):
        kind_flags, no_dir = kinds[kind]
        s, fields = sig.samples, sig.samples.dtype.names

        def col(name, default=0, s=s, fields=fields, kind=kind):
            full = f"{kind}.{name}"
            return s[full] if full in fields else [default] * len(s)

        data = col("DataBytes", b"")
        for i in range(len(s)):
            stored = bytes(data[i])
            dlen = int(col("DataLength", len(stored))[i])
            flags = kind_flags | (0x04 if int(col("Dir", no_dir)[i]) == 0 else 0)
            flags |= 0x01 if dlen > len(stored) else 0
            t = (start + float(sig.timestamps[i])) * 1e6
            if bus == "lin":
                rows.append((t, g, int(col("BusChannel")[i]), int(col("ID")[i]), dlen, flags,
                             int(col("Checksum")[i]), stored[:dlen]))
                continue
            head = b""
            if f"{kind}.Source" in fields:
                head = (bytes(col("Destination")[i]) + bytes(col("Source")[i])
                        + int(col("EtherType")[i]).to_bytes(2, "big"))
            rows.append((t, g, int(col("BusChannel")[i]), len(head) + dlen, flags,
                         head + stored[:dlen]))
    rows.sort(key=lambda r: (r[0], r[1]))
    return rows


def ours(pair, bus):
    index, chunk = pair
    out = []
    for r in index:
        loc = int(r["loc"])
        data = bytes(chunk[loc & ((1 << 48) - 1):][:loc >> 48])
        assert r["object_type"] == 0
        if bus == "lin":
            out.append((int(r["timestamp"]), int(r["channel"]), int(r["id"]), int(r["dlc"]),
                        int(r["flags"]), int(r["checksum"]), data))
        else:
            assert r["hardware_channel"] == 0
            out.append((int(r["timestamp"]), int(r["channel"]), int(r["length"]),
                        int(r["flags"]), data))
    return out


def assert_like_asammdf(path, pairs):
    for bus in ("lin", "ethernet"):
        ref, got = asammdf_records(path, bus), ours(pairs[bus], bus)
        assert len(got) == len(ref)
        for a, b in zip(ref, got):
            assert abs(a[0] - b[0] / 1e3) < 1, (a, b)
            assert a[2:] == b[1:], (a, b)


def read(path, buses=("can", "lin", "ethernet", "flexray")):
    return kv._read_mf4_buses(str(path), list(buses), verbose=False)


# --- groups built block by block -------------------------------------------------------------

def lin_group(rng, kind, n, record_id, logger, width=8):
    """Random records (error and event kinds with fewer fields); `logger`:
    BusChannel and Dir constant channels of no bits."""
    channel = int(rng.integers(1, 5))
    fields = [mb.Field("ID", 9, 0, 6), mb.Field("DataLength", 10, 0, 8),
              mb.Field("Checksum", 11, 0, 8), mb.Field("DataBytes", 12, 0, 8 * width, 10)]
    if kind in ("LIN_SyncError", "LIN_WakeUp"):
        fields = []
    elif kind in ("LIN_ReceiveError", "LIN_TransmissionError"):
        fields = fields[:1]
    if logger:
        fields += [mb.Field("BusChannel", 0, 0, 0, cn_type=6, conversion=(1, (channel, 0.0))),
                   mb.Field("Dir", 0, 0, 0, cn_type=6, conversion=(1, (1.0, 0.0)))]
    else:
        fields += [mb.Field("BusChannel", 8, 0, 8), mb.Field("Dir", 9, 7, 1)]
    times = np.sort(rng.integers(0, 10**7, n)) // 10 * 10  # some ties
    recs = [struct.pack("<QBBBB", int(t), int(rng.integers(0, 16)),
                        int(rng.integers(0, 64)) | int(rng.integers(0, 2)) << 7,
                        int(rng.integers(0, width + 1)), int(rng.integers(0, 256)))
            + rng.bytes(width) for t in times]
    return mb.Group(fields, 12 + width, recs, record_id=record_id, kind=kind, bus=3)


def eth_group(rng, n, record_id, logger, width=40, whole=False):
    """Addresses and EtherType apart from DataBytes, or the frame `whole` in it."""
    channel = int(rng.integers(1, 5))
    fields = [mb.Field("DataLength", 24, 0, 16), mb.Field("DataBytes", 26, 0, 8 * width, 10)]
    if not whole:
        fields += [mb.Field("Destination", 10, 0, 48, 10), mb.Field("Source", 16, 0, 48, 10),
                   mb.Field("EtherType", 22, 0, 16)]
    if logger:
        fields += [mb.Field("BusChannel", 0, 0, 0, cn_type=6, conversion=(1, (channel, 0.0)))]
    else:
        fields += [mb.Field("BusChannel", 8, 0, 8), mb.Field("Dir", 9, 0, 1)]
    times = np.sort(rng.integers(0, 10**7, n)) // 10 * 10
    recs = [struct.pack("<QBB", int(t), int(rng.integers(0, 8)), int(rng.integers(0, 2)))
            + rng.bytes(14) + struct.pack("<H", int(rng.integers(0, width + 1)))
            + rng.bytes(width) for t in times]
    return mb.Group(fields, 26 + width, recs, record_id=record_id, kind="ETH_Frame", bus=7)


def can_group(rng, n, record_id):
    from test_mf4 import STD, record

    times = np.sort(rng.integers(0, 10**7, n)) // 10 * 10
    recs = [record(int(t), int(rng.integers(0, 0x800)), 4, rng.bytes(4)) for t in times]
    return mb.Group(STD, 23, recs, record_id=record_id)


@pytest.mark.parametrize("logger", [False, True])
@pytest.mark.parametrize("seed", range(5))
def test_groups_read_as_asammdf_reads_them(tmp_path, seed, logger):
    """Unsorted groups of every kind (seed 4: one sorted group of each bus)."""
    rng = np.random.default_rng(seed)
    groups = [lin_group(rng, kind, int(rng.integers(1, 30)), k + 1, logger)
              for k, kind in enumerate(LIN_KINDS)]
    groups += [eth_group(rng, 25, 10, logger), eth_group(rng, 20, 11, logger, whole=True)]
    groups[6].records.reverse()  # a group out of time order
    for sorted_group in ([groups[0]], [groups[6]]) if seed == 4 else [groups]:
        path = tmp_path / "x.mf4"
        path.write_bytes(mb.build(sorted_group, rec_id_size=0 if seed == 4 else 1,
                                  data=["DZ", "DL", "DT"][seed % 3], piece=53))
        pairs = read(path)
        assert_like_asammdf(path, pairs)
        times = sorted(struct.unpack_from("<Q", r)[0] for g in sorted_group for r in g.records)
        got = np.concatenate([pairs["lin"][0]["timestamp"], pairs["ethernet"][0]["timestamp"]])
        assert sorted((got - START).tolist()) == times  # exact integer ns
    assert len(pairs["can"][0]) == len(pairs["flexray"][0]) == 0


def test_lengths_past_the_record_are_cut_and_flagged(tmp_path):
    """DataLength above DataBytes' width: the bytes there, BUS_CUT; an
    address narrower than six bytes: zeros after it, BUS_CUT."""
    lin = mb.Group([mb.Field("DataLength", 10, 0, 8), mb.Field("DataBytes", 12, 0, 32, 10)], 16,
                   [struct.pack("<QBBBB", 5, 0, 0, n, 0) + b"abcd" for n in (3, 4, 9, 255)],
                   record_id=1, kind="LIN_Frame", bus=3)
    eth = mb.Group([mb.Field("Destination", 8, 0, 32, 10), mb.Field("Source", 12, 0, 48, 10),
                    mb.Field("DataLength", 18, 0, 16), mb.Field("DataBytes", 20, 0, 16, 10)], 22,
                   [bytes(8) + b"DDDDSSSSSS" + struct.pack("<H", n) + b"xy" for n in (2, 3000)],
                   record_id=2, kind="ETH_Frame", bus=7)
    path = tmp_path / "x.mf4"
    path.write_bytes(mb.build([lin, eth], rec_id_size=1))
    pairs = read(path, ["lin", "ethernet"])
    assert ours(pairs["lin"], "lin") == [
        (START + 5, 0, 0, n, 0x04 | (n > 4), 0, b"abcd"[:n]) for n in (3, 4, 9, 255)]
    head = b"DDDD\0\0SSSSSS\0\0"
    assert ours(pairs["ethernet"], "ethernet") == [(START, 0, 16, 0x05, head + b"xy"),
                                                   (START, 0, 3014, 0x05, head + b"xy")]


def test_bytes_past_those_received_are_left_out(tmp_path):
    """ReceivedDataByteCount below DataLength (a frame broken off): only the
    bytes received, flagged BUS_CUT; above it, DataLength holds."""
    counts = (4, 2, 0, 9)
    lin = mb.Group([mb.Field("DataLength", 10, 0, 8), mb.Field("ReceivedDataByteCount", 11, 0, 8),
                    mb.Field("DataBytes", 12, 0, 32, 10)], 16,
                   [struct.pack("<QBBBB", 5, 0, 0, 4, n) + b"abcd" for n in counts],
                   record_id=1, kind="LIN_Frame", bus=3)
    eth = mb.Group([mb.Field("DataLength", 8, 0, 16), mb.Field("ReceivedDataByteCount", 10, 0, 16),
                    mb.Field("DataBytes", 12, 0, 32, 10)], 16,
                   [bytes(8) + struct.pack("<HH", 4, n) + b"wxyz" for n in counts],
                   record_id=2, kind="ETH_Frame", bus=7)
    path = tmp_path / "x.mf4"
    path.write_bytes(mb.build([lin, eth], rec_id_size=1))
    pairs = read(path, ["lin", "ethernet"])
    kept = [min(n, 4) for n in counts]
    assert ours(pairs["lin"], "lin") == [
        (START + 5, 0, 0, 4, 0x04 | (k < 4), 0, b"abcd"[:k]) for k in kept]
    assert ours(pairs["ethernet"], "ethernet") == [
        (START, 0, 4, 0x04 | (k < 4), b"wxyz"[:k]) for k in kept]


def test_asammdf_written_log_equals_its_blf_source():
    """examples/data/buses.mf4 is buses.blf's frames as asammdf writes them."""
    path = EXAMPLE
    pairs = read(path)
    assert_like_asammdf(path, pairs)
    blf = kv.read_buses(str(path.with_suffix(".blf")), ("can", "lin", "ethernet"), verbose=False)
    for bus, skip in (("can", ()), ("lin", ("object_type",)),
                      ("ethernet", ("object_type", "hardware_channel"))):
        assert np.array_equal(pairs[bus][1], blf[bus][1])
        for name in set(blf[bus][0].dtype.names) - set(skip):
            assert np.array_equal(pairs[bus][0][name], blf[bus][0][name]), (bus, name)


def test_mixed_log_through_read_log(tmp_path, capsys):
    rng = np.random.default_rng(11)
    groups = [can_group(rng, 30, 1), lin_group(rng, "LIN_Frame", 20, 2, False),
              eth_group(rng, 10, 3, False), can_group(rng, 15, 4),
              mb.Group([mb.Field("FrameID", 8, 0, 11)], 10, [bytes(10)], record_id=5,
                       kind="FLX_Frame", bus=5)]
    path = tmp_path / "x.mf4"
    path.write_bytes(mb.build(groups, rec_id_size=1))
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", kv.BLFWarning)
        can = kv.read_mf4(str(path), verbose=False)
    out = korvel.read_log(str(path), buses=("can", "lin", "ethernet"))
    line = capsys.readouterr().out
    assert "grp_cnt=4, frm_cnt=45, skip_grp=1," in line and "lin_cnt=20, eth_cnt=10" in line
    assert set(out) == {"can", "lin", "ethernet"}
    for a, b in zip(out["can"], can):
        assert np.array_equal(a, b)
    assert_like_asammdf(path, out)
    # Groups of buses not asked for go unsaid; those korvel cannot read are named.
    with pytest.warns(kv.BLFWarning, match=r"1 channel group of another bus left out \(FLX_"):
        lin = korvel.read_log(str(path), buses="lin", verbose=False)
    assert ours(lin, "lin") == ours(out["lin"], "lin")


def test_pcapng_and_decode_lin_take_mf4_logs(tmp_path):
    from korvel.cli import main
    from korvel.lin import decode_lin

    pairs = read(EXAMPLE)
    assert main(["convert", str(EXAMPLE), str(tmp_path / "a.pcapng"), "-q"]) in (0, None)
    kv.write_pcapng(str(tmp_path / "b.pcapng"), pairs["ethernet"], verbose=False)
    assert (tmp_path / "a.pcapng").read_bytes() == (tmp_path / "b.pcapng").read_bytes()
    pytest.importorskip("ldfparser")
    ldf = EXAMPLE.with_name("body.ldf")
    a, b = decode_lin(str(EXAMPLE), ldf), decode_lin(pairs["lin"], ldf)
    assert list(a) == list(b) and len(a)
    assert all(np.array_equal(a[n][c], b[n][c], equal_nan=True) for n in a for c in a[n])
