"""LIN, Ethernet and FlexRay pairs, events and the channel list, against
vblf's reading of logs it writes object by object with random fields, and of
vector_blf's test logs (tests/data/vector_blf); objects vblf does not read are
built from their field tables in blfbuild."""

from __future__ import annotations

import io
import random
import struct
import warnings
from pathlib import Path

import blfbuild as bb
import numpy as np
import pytest

import korvel
import korvel.korvel as kv

vblf = pytest.importorskip("vblf")
from vblf import ethernet as vx
from vblf import flexray as vf
from vblf import general as vg
from vblf import lin as vl
from vblf.constants import BusType, ObjFlags, ObjType, SysVarType
from vblf.reader import BlfReader
from vblf.writer import BlfWriter

DATA = Path(__file__).parent / "data"
VECTOR = DATA / "vector_blf"


def payload(pair, i):
    loc = int(pair[0]["loc"][i])
    return bytes(pair[1][loc & (2**48 - 1):][: loc >> 48])


def header(size, kind, ts):
    return vg.ObjectHeader.new(size, kind, ObjFlags.TIME_ONE_NANS, 0, ts)


def rbytes(rng, n):
    return bytes(rng.getrandbits(8) for _ in range(n))


def lin_message(rng, ts):
    dlc = rng.randrange(9)
    return vl.LinMessage(header(56, ObjType.LIN_MESSAGE, ts), rng.randrange(1, 5),
                         rng.randrange(64), dlc, rbytes(rng, 8), 0, 0, 0, 0,
                         rng.randrange(65536), rng.randrange(3), bytes(5))


def lin_message2(rng, ts):
    bus = vl.LinBusEvent(rng.getrandbits(40), 19200, rng.randrange(1, 5), bytes(2))
    synch = vl.LinSynchFieldEvent(bus, 0, 0)
    dlc = rng.randrange(9)
    descr = vl.LinMessageDescriptor(synch, 0, 0, 0, rng.randrange(64), dlc, 1)
    event = vl.LinDatabyteTimestampEvent(descr, tuple(range(9)))
    size = rng.choice([vl.LinMessage2._V1_SIZE, vl.LinMessage2._V2_SIZE, vl.LinMessage2._V3_SIZE])
    return vl.LinMessage2(header(size, ObjType.LIN_MESSAGE2, ts), event, rbytes(rng, 8),
                          rng.randrange(65536), rng.randrange(3), 0, 0, 0, 0, 0, 0, bytes(3),
                          19200, 0.0, 0, 0)


def ethernet_ex(rng, ts, kind=ObjType.ETHERNET_FRAME_EX):
    frame = rbytes(rng, rng.randrange(14, 200))
    return vx.EthernetFrameEx(header(64 + len(frame), kind, ts), 28, 2, rng.randrange(1, 4),
                              rng.randrange(8), 0, 0, rng.randrange(3), len(frame), 0, 0, frame)


def flexray_ex(rng, ts):
    data = rbytes(rng, 2 * rng.randrange(0, 40))
    return vf.FlexrayVFrReceiveMsgEx(
        header(32 + 84 + len(data), ObjType.FR_RCVMESSAGE_EX, ts), rng.randrange(1, 3), 1,
        rng.randrange(4), rng.randrange(3), 0, 0, rng.randrange(1, 2048), 0, 0, len(data),
        len(data), rng.randrange(64), 0, 0, rng.getrandbits(7), 0, 0, 0, 0, 0, 0, bytes(26), data)


def marker(rng, ts):
    group, name, descr = (rng.choice(["", "Drive", "Test ümlaut"]), f"M{rng.randrange(99)}",
                          rng.choice(["", "a description"]))
    n = [len(x.encode("cp1252")) for x in (group, name, descr)]
    return vg.GlobalMarker(header(72 + sum(n), ObjType.GLOBAL_MARKER, ts), 0, 0, 0, 1, 0, 0,
                           *n, 0, 0, group, name, descr)


def comment(rng, ts):
    text = f"comment {rng.randrange(1000)}"
    return vg.EventComment(header(48 + len(text), ObjType.EVENT_COMMENT, ts), 0, len(text), 0,
                           text)


def can(rng, ts):
    from vblf.can import CanMessage

    return CanMessage(header(48, ObjType.CAN_MESSAGE, ts), rng.randrange(1, 3), 0, 8,
                      rng.randrange(0x800), rbytes(rng, 8))


MAKERS = [lin_message, lin_message2, ethernet_ex, flexray_ex, marker, comment, can]


# Objects whose declared lengths run past their ends (a LIN dlc above 8).
def lin_long(rng, ts):
    o = lin_message(rng, ts)
    o.dlc = rng.randrange(9, 16)
    return o


def ethernet_cut(rng, ts):
    o = ethernet_ex(rng, ts)
    o.frame_length += rng.randrange(1, 3000)
    return o


def flexray_cut(rng, ts):
    o = flexray_ex(rng, ts)
    o.data_count += rng.randrange(1, 300)
    return o


def app_trigger(rng, ts):
    return vg.AppTrigger(header(56, ObjType.APP_TRIGGER, ts), 0, 0, rng.randrange(1, 9),
                         rng.randrange(3), 0)


def env_variable(rng, ts):
    kind = rng.choice([ObjType.ENV_INTEGER, ObjType.ENV_DOUBLE, ObjType.ENV_STRING,
                       ObjType.ENV_DATA])
    data = {ObjType.ENV_INTEGER: struct.pack("<i", rng.randrange(-9999, 9999)),
            ObjType.ENV_DOUBLE: struct.pack("<d", rng.random()),
            ObjType.ENV_STRING: b"on\0",
            ObjType.ENV_DATA: rbytes(rng, rng.randrange(1, 9))}[kind]
    name = f"Env{rng.randrange(99)}"
    return vg.EnvironmentVariable(header(48 + len(name) + len(data), kind, ts), len(name),
                                  len(data), 0, name, data)


def sys_variable(rng, ts):
    kind, data = rng.choice([(1, struct.pack("<d", rng.random())),
                             (2, struct.pack("<i", rng.randrange(-9999, 9999))),
                             (3, b"text"), (6, struct.pack("<q", rng.getrandbits(62))),
                             (4, struct.pack("<3d", 1.5, -2.0, 0.25))])
    name = f"ns::Var{rng.randrange(99)}"
    return vg.SystemVariable(header(64 + len(name) + len(data), ObjType.SYS_VARIABLE, ts),
                             SysVarType(kind), 0, 0, len(name), len(data), 0, name, data)


def overrun(rng, ts):
    return vg.DriverOverrun(header(40, ObjType.OVERRUN_ERROR, ts), BusType.LIN,
                            rng.randrange(1, 5), 0)


DAMAGED = [lin_long, ethernet_cut, flexray_cut]
EVENTS = [app_trigger, env_variable, sys_variable, overrun, marker, comment]


def write_random(path, makers, n, seed):
    rng = random.Random(seed)
    with BlfWriter(path, compression_level=6, buffer_size=1024) as w:
        ts = 10**9
        for _ in range(n):
            ts += rng.randrange(1, 10**6)
            w.write(rng.choice(makers)(rng, ts))
    return path


@pytest.fixture(scope="module")
def vblf_log(tmp_path_factory):
    """A log vblf writes: 600 random objects of every kind, containers of 1 KiB
    so that objects are cut between them."""
    rng = random.Random(7)
    path = tmp_path_factory.mktemp("buses") / "random.blf"
    with BlfWriter(path, compression_level=6, buffer_size=1024) as w:
        ts = 10**9
        for _ in range(600):
            ts += rng.randrange(1, 10**6)
            w.write(rng.choice(MAKERS)(rng, ts))
    return path


def vblf_objects(path):
    with BlfReader(path) as r:
        return list(r)


def lin_expected(o):
    if isinstance(o, vl.LinMessage2):
        d = o.lin_timestamp_event.lin_msg_descr_event
        channel = d.lin_synch_field_event.lin_bus_event.channel
        return (channel, d.id, d.dlc, o.crc, o.direction, o.data[: min(d.dlc, 8)])
    return (o.channel, o.id, o.dlc, o.crc, o.dir, o.data[: min(o.dlc, 8)])


def check_against_vblf(path, got):
    objs = vblf_objects(path)
    # Exact times: the header's start (to the nanosecond) plus the object's time.
    first = next(o for o in objs if o.header.base.object_type in (11, 57, 66, 92, 96, 120))
    all_ts = np.concatenate([got[b][0]["timestamp"] for b in ("lin", "ethernet", "flexray")]
                            + ([got["events"]["timestamp"]] if "events" in got else []))
    start = int(all_ts.min()) - min(o.header.object_time_stamp for o in objs
                                   if o.header.base.object_type in (11, 57, 66, 92, 96, 120))
    assert first is not None and abs(start - kv.info(path, verbose=False)["start"]) < 1000
    lin = [o for o in objs if isinstance(o, (vl.LinMessage, vl.LinMessage2))]
    eth = [o for o in objs if isinstance(o, vx.EthernetFrameEx)]
    fr = [o for o in objs if isinstance(o, vf.FlexrayVFrReceiveMsgEx)]
    assert len(got["lin"][0]) == len(lin) and len(got["ethernet"][0]) == len(eth)
    assert len(got["flexray"][0]) == len(fr)
    for i, o in enumerate(lin):
        r = got["lin"][0][i]
        channel, ident, dlc, crc, direction, data = lin_expected(o)
        assert int(r["timestamp"]) == start + o.header.object_time_stamp
        assert (r["channel"], r["id"], r["dlc"], r["checksum"]) == (channel, ident, dlc, crc)
        assert bool(r["flags"] & 0x04) == (direction == 0) and not r["flags"] & 0x10
        assert bool(r["flags"] & 0x01) == (dlc > 8)
        assert payload(got["lin"], i) == data
    for i, o in enumerate(eth):
        r = got["ethernet"][0][i]
        assert int(r["timestamp"]) == start + o.header.object_time_stamp
        assert (r["channel"], r["hardware_channel"], r["length"]) == (
            o.channel, o.hardware_channel, o.frame_length)
        assert bool(r["flags"] & 0x04) == (o.dir == 0)
        assert bool(r["flags"] & 0x01) == (o.frame_length > len(o.frame_data))
        assert payload(got["ethernet"], i) == o.frame_data
    for i, o in enumerate(fr):
        r = got["flexray"][0][i]
        assert int(r["timestamp"]) == start + o.header.object_time_stamp
        assert (r["channel"], r["slot"], r["cycle"]) == (o.channel, o.frame_id, o.cycle & 0xFF)
        flags = int(r["flags"])
        assert bool(flags & 0x02) == bool(o.channel_mask & 1)
        assert bool(flags & 0x08) == bool(o.channel_mask & 2)
        assert bool(flags & 0x04) == (o.dir_flags & 0xFF == 0)
        for bit, frame_bit in ((0x10, 1), (0x20, 4), (0x40, 8), (0x80, 16), (0x100, 64)):
            assert bool(flags & bit) == bool(o.frame_flags & frame_bit)
        assert bool(flags & 0x01) == (o.data_count > len(o.data_bytes))
        assert payload(got["flexray"], i) == o.data_bytes
    if "events" in got:
        ev = got["events"]
        want = [o for o in objs if isinstance(o, (vg.GlobalMarker, vg.EventComment))]
        assert list(ev["kind"]) == ["marker" if isinstance(o, vg.GlobalMarker) else "comment"
                                    for o in want]
        for i, o in enumerate(want):
            assert ev["timestamp"][i] == start + o.header.object_time_stamp
            if isinstance(o, vg.GlobalMarker):
                assert (ev["text"][i], ev["group"][i], ev["description"][i]) == (
                    o.marker_name, o.group_name, o.description)
            else:
                assert ev["text"][i] == o.text


@pytest.mark.parametrize("threads, ahead", [(1, False), (3, True)])
def test_random_objects_equal_vblf(vblf_log, threads, ahead):
    got = kv.read_buses(vblf_log, threads=threads, _scan_ahead=ahead, verbose=False)
    check_against_vblf(vblf_log, got)
    frames = kv.read(vblf_log, exact_time=True, verbose=False)
    assert got["can"][0].tobytes() == frames[0].tobytes()
    assert got["can"][1].tobytes() == frames[1].tobytes()
    for bus, reader in (("lin", kv.read_lin), ("ethernet", kv.read_ethernet),
                        ("flexray", kv.read_flexray)):
        alone = reader(vblf_log, verbose=False, threads=threads)
        assert alone[0].tobytes() == got[bus][0].tobytes()
        assert alone[1].tobytes() == got[bus][1].tobytes()


@pytest.mark.parametrize("seed", [1, 2])
def test_damaged_lengths_equal_vblf(tmp_path, seed):
    """Objects declaring more bytes than they hold, among whole ones: the
    records keep the bytes vblf finds in the object and are flagged 0x01."""
    path = write_random(tmp_path / "cut.blf", DAMAGED + MAKERS, 400, seed)
    got = kv.read_buses(path, verbose=False, threads=2)
    check_against_vblf(path, got)
    assert all((got[b][0]["flags"] & 0x01).any() for b in ("lin", "ethernet", "flexray"))


def test_events_equal_vblf(tmp_path):
    path = write_random(tmp_path / "events.blf", EVENTS + [can], 300, 5)
    ev = kv.events(path, verbose=False)
    objs = [o for o in vblf_objects(path) if o.header.base.object_type != 1]
    assert len(ev["kind"]) == len(objs)
    start = int(ev["timestamp"][0]) - objs[0].header.object_time_stamp
    for i, o in enumerate(objs):
        assert ev["timestamp"][i] == start + o.header.object_time_stamp
        if isinstance(o, vg.AppTrigger):
            assert (ev["kind"][i], ev["channel"][i]) == ("trigger", o.channel)
            assert ev["text"][i] == ["single trigger", "logging start", "logging stop"][o.flags]
        elif isinstance(o, vg.DriverOverrun):
            assert (ev["kind"][i], ev["channel"][i], ev["bus"][i]) == ("overrun", o.channel, "LIN")
        elif isinstance(o, (vg.EnvironmentVariable, vg.SystemVariable)):
            env = isinstance(o, vg.EnvironmentVariable)
            assert ev["kind"][i] == ("environment variable" if env else "system variable")
            assert ev["name"][i] == o.name
            kind = ({6: "<i", 7: "<d", 8: "text", 9: None}[o.header.base.object_type] if env
                    else {1: "<d", 2: "<i", 3: "text", 4: "<3d", 6: "<q"}[int(o.type)])
            want = (o.data.rstrip(b"\0").decode() if kind == "text" else o.data if kind is None
                    else struct.unpack(kind, o.data))
            assert ev["value"][i] == (want[0] if kind and len(want) == 1 else want)
        elif isinstance(o, vg.GlobalMarker):
            assert (ev["kind"][i], ev["text"][i], ev["group"][i]) == (
                "marker", o.marker_name, o.group_name)
        else:
            assert (ev["kind"][i], ev["text"][i]) == ("comment", o.text)


def test_channel_list_equals_vblf_counts(tmp_path):
    """Objects, first and last time per bus and channel, against a count of
    vblf's objects; CAN on channels 1-2, LIN 1-4, Ethernet 1-3, FlexRay 1-2."""
    path = write_random(tmp_path / "multi.blf", MAKERS + DAMAGED, 500, 9)
    objs = vblf_objects(path)
    got = kv.read_buses(path, ("lin",), verbose=False)
    lin0 = next(o for o in objs if isinstance(o, (vl.LinMessage, vl.LinMessage2)))
    start = int(got["lin"][0]["timestamp"][0]) - lin0.header.object_time_stamp
    want = {}
    for o in objs:
        if isinstance(o, vl.LinMessage2):
            key = ("LIN", lin_expected(o)[0])
        elif isinstance(o, vl.LinMessage):
            key = ("LIN", o.channel)
        elif isinstance(o, vx.EthernetFrameEx):
            key = ("ETHERNET", o.channel)
        elif isinstance(o, vf.FlexrayVFrReceiveMsgEx):
            key = ("FLEXRAY", o.channel)
        elif type(o).__name__ == "CanMessage":
            key = ("CAN", o.channel)
        else:
            continue
        t = start + o.header.object_time_stamp
        n, first, last = want.get(key, (0, t, t))
        want[key] = (n + 1, min(first, t), max(last, t))
    ch = kv.info(path, verbose=False)["channels"]
    rows = {(b, int(c)): (int(n), int(f), int(la)) for b, c, n, f, la in
            zip(ch["bus"], ch["channel"], ch["objects"], ch["first"], ch["last"])}
    assert rows == want and len(want) >= 10
    assert list(rows) == sorted(rows)


def test_many_containers_on_workers_equal_one_thread():
    """Workers' records and payload are copied into place off the walking
    thread while it goes on, their room made in file order: the pairs equal a
    one-thread walk byte for byte, across the sinks' growth."""
    rng = random.Random(11)
    objs = []
    for i in range(6000):
        k = i % 5
        if k == 0:
            objs.append(bb.obj(11, LIN_MSG.pack(1 + i % 3, i % 64, 1 + i % 8, rbytes(rng, 8), 0,
                                                0, 0, 0, i, 0), timestamp=i))
        elif k == 1:
            frame = rbytes(rng, rng.randrange(14, 600))
            objs.append(bb.obj(120, struct.pack("<HHHHQIHHII", 28, 0, 1 + i % 2, 0, 0, 0, 0,
                                                len(frame), 0, 0) + frame, timestamp=i))
        else:
            objs.append(bb.can_msg(i % 0x7FF, rbytes(rng, 8), timestamp=i))
    data = b"".join(objs)
    log = bb.blf(objs, split=list(range(3000, len(data), 3000)))
    one = kv.read_buses(io.BytesIO(log), ("can", "lin", "ethernet"), threads=1,
                        _scan_ahead=False, verbose=False)
    for _ in range(3):
        many = kv.read_buses(io.BytesIO(log), ("can", "lin", "ethernet"), threads=2,
                             _scan_ahead=True, verbose=False)
        for bus in ("can", "lin", "ethernet"):
            assert many[bus][0].tobytes() == one[bus][0].tobytes()
            assert many[bus][1].tobytes() == one[bus][1].tobytes()
    assert (len(one["lin"][0]), len(one["ethernet"][0])) == (1200, 1200)


def test_read_buses_is_one_walk(vblf_log):
    """Every byte of the log is read once for all buses together."""
    data = vblf_log.read_bytes()

    class Counting(io.BytesIO):
        taken = 0

        def read(self, n=-1):
            b = super().read(n)
            Counting.taken += len(b)
            return b

    got = kv.read_buses(Counting(data), verbose=False)
    assert Counting.taken == len(data)
    check_against_vblf(vblf_log, got)


def test_windows_and_ranges(vblf_log):
    whole = kv.read_lin(vblf_log, verbose=False)
    ts = whole[0]["timestamp"]
    start, stop = int(ts[len(ts) // 3]), int(ts[2 * len(ts) // 3])
    part = kv.read_lin(vblf_log, start=start, stop=stop, verbose=False)
    keep = (ts >= start) & (ts < stop)
    assert part[0]["timestamp"].tolist() == ts[keep].tolist()
    assert [payload(part, i) for i in range(len(part[0]))] == [
        payload(whole, i) for i in np.flatnonzero(keep)]
    n = len(kv.info(vblf_log, verbose=False)["containers"])
    pieces = [kv.read_ethernet(vblf_log, containers=(a, b), verbose=False)[0]
              for a, b in ((0, n // 2), (n // 2, n))]
    assert np.concatenate(pieces)["timestamp"].tolist() == kv.read_ethernet(
        vblf_log, verbose=False)[0]["timestamp"].tolist()


def test_verbose_line(vblf_log, capsys):
    kv.read_lin(vblf_log)
    line = capsys.readouterr().out
    assert line.startswith("load blf cost ") and ", lin_cnt=" in line


# --- objects vblf does not read: built from their field tables ------------------

ETH_FRAME = struct.Struct("<6sH6sHHHHH8x")  # src, channel, dst, dir, type, tpid, tci, length
FR_RCV = struct.Struct("<HHHHIIHHHHHHIIII")  # channel .. app parameter
LIN_MSG = struct.Struct("<HBB8sBBBBHBx")  # channel, id, dlc, data, fsm, times, crc, dir
LIN_BUS_EVENT = struct.Struct("<QIH2x")


def test_ethernet_frame_header_rebuilt_in_wire_order():
    payload_bytes = bytes(range(30))
    plain = ETH_FRAME.pack(b"\x01" * 6, 3, b"\x02" * 6, 1, 0x0800, 0, 0, 30) + payload_bytes
    tagged = ETH_FRAME.pack(b"\x01" * 6, 4, b"\x02" * 6, 0, 0x88F7, 0x8100, 0x2005, 30)
    log = bb.blf([bb.obj(71, plain, timestamp=5), bb.obj(71, tagged + payload_bytes,
                                                         timestamp=6)])
    pair = kv.read_ethernet(io.BytesIO(log), verbose=False)
    assert payload(pair, 0) == b"\x02" * 6 + b"\x01" * 6 + b"\x08\x00" + payload_bytes
    assert payload(pair, 1) == (b"\x02" * 6 + b"\x01" * 6 + b"\x81\x00\x20\x05\x88\xf7"
                                + payload_bytes)
    assert pair[0]["channel"].tolist() == [3, 4] and pair[0]["length"].tolist() == [44, 48]
    assert pair[0]["flags"].tolist() == [0, 4]


def test_flexray_rcvmessage_and_lin_errors():
    data = bytes(range(254))
    fr = FR_RCV.pack(2, 1, 3, 1, 0, 0, 77, 0, 0, 10, 10, 0x105, 0, 0, 0x1D, 0) + data + bytes(6)
    lin_crc = LIN_MSG.pack(1, 0x21, 4, b"abcdefgh", 0, 0, 0, 0, 0x1234, 0) + bytes(4)
    sleep = struct.pack("<HBB4x", 2, 1, 0)
    wake2 = LIN_BUS_EVENT.pack(0, 19200, 3) + struct.pack("<BBBx", 0, 1, 1) + bytes(4)
    log = bb.blf([bb.obj(50, fr, timestamp=1), bb.obj(12, lin_crc, timestamp=2),
                  bb.obj(20, sleep, timestamp=3), bb.obj(62, wake2, timestamp=4)])
    got = kv.read_buses(io.BytesIO(log), ("flexray", "lin"), verbose=False)
    r = got["flexray"][0][0]
    assert (r["channel"], r["slot"], r["cycle"], r["object_type"]) == (2, 77, 5, 50)
    assert int(r["flags"]) == 0x02 | 0x08 | 0x10 | 0x20 | 0x40 | 0x80 and payload(got["flexray"], 0) == (
        data[:10])
    lin = got["lin"][0]
    assert lin["object_type"].tolist() == [12, 20, 62]
    assert lin["flags"].tolist() == [0x04 | 0x10 | 0x20, 0x10 | 0x80, 0x10 | 0x40 | 0x04]
    assert lin["channel"].tolist() == [1, 2, 3] and payload(got["lin"], 0) == b"abcd"


# --- bad input ------------------------------------------------------------------


def test_declared_lengths_past_the_object_are_cut_and_flagged():
    frame = bytes(range(40))
    ex = struct.pack("<HHHHQIHHII", 28, 0, 1, 0, 0, 0, 0, 500, 0, 0) + frame
    lin = LIN_MSG.pack(1, 5, 12, b"ABCDEFGH", 0, 0, 0, 0, 7, 0)
    after = bb.can_msg(0x123, b"\xEE" * 8, timestamp=9)
    log = bb.blf([bb.obj(120, ex, timestamp=1), bb.obj(11, lin, timestamp=2), after])
    got = kv.read_buses(io.BytesIO(log), ("can", "lin", "ethernet"), verbose=False)
    assert payload(got["ethernet"], 0) == frame  # nothing of the CAN frame after it
    assert got["ethernet"][0]["flags"][0] & 0x01 and got["ethernet"][0]["length"][0] == 500
    assert got["lin"][0]["dlc"][0] == 12 and got["lin"][0]["flags"][0] & 0x01
    assert payload(got["lin"], 0) == b"ABCDEFGH"
    assert len(got["can"][0]) == 1


def test_objects_too_short_are_skipped_with_a_warning():
    log = bb.blf([bb.obj(11, b"\x01\x00\x05"), bb.obj(120, bytes(10)),
                  bb.obj(11, LIN_MSG.pack(1, 5, 2, bytes(8), 0, 0, 0, 0, 0, 0))])
    with pytest.warns(kv.BLFWarning) as caught:
        lin = kv.read_lin(io.BytesIO(log), verbose=False)
    assert len(lin[0]) == 1
    assert [str(w.message) for w in caught] == [
        "skipped 1 LIN_MESSAGE object too short for their fields"]
    with pytest.warns(kv.BLFWarning, match="skipped 1 ETHERNET_FRAME_EX object"):
        assert len(kv.read_ethernet(io.BytesIO(log), verbose=False)[0]) == 0


def test_salvage_drops_the_damaged_containers_objects_for_every_bus():
    rng = random.Random(3)
    objs = []
    for i in range(400):
        objs.append(bb.can_msg(i, b"x", timestamp=1000 + i))
        objs.append(bb.obj(11, LIN_MSG.pack(1, i % 64, 1, rbytes(rng, 8), 0, 0, 0, 0, 0, 0),
                           timestamp=1000 + i))
    log = bytearray(bb.blf(objs, split=[5000, 10000, 15000]))
    table = kv.info(io.BytesIO(bytes(log)), verbose=False)["containers"]
    log[int(table[1]["offset"]) + 40] ^= 0xFF
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", kv.BLFWarning)
        for threads, ahead in ((1, False), (2, True)):
            got = kv.read_buses(io.BytesIO(bytes(log)), ("can", "lin"), errors="skip",
                                threads=threads, _scan_ahead=ahead, verbose=False)
            can_ts = got["can"][0]["timestamp"].tolist()
            assert 0 < len(can_ts) < 400
            assert got["lin"][0]["timestamp"].tolist() == can_ts


# --- vector_blf's test logs -----------------------------------------------------


# Their CAN frames are on channel 0x1111, which a read tells.
@pytest.mark.filterwarnings("ignore:.* on channels above 255:korvel.korvel.BLFWarning")
@pytest.mark.parametrize("name", sorted(p.name for p in VECTOR.glob("*.blf")))
def test_vector_blf_logs(name):
    path = VECTOR / name
    got = kv.read_buses(path, verbose=False)
    objs = vblf_objects(path)
    kinds = {type(o).__name__ for o in objs}
    if kinds & {"LinMessage", "LinMessage2", "EthernetFrameEx", "FlexrayVFrReceiveMsgEx"}:
        check_against_vblf(path, got)
    types = {o.header.base.object_type for o in objs}
    ours = {int(t) for bus in ("lin", "ethernet", "flexray") for t in got[bus][0]["object_type"]}
    assert ours <= set(types)
    for t in (11, 12, 14, 15, 18, 20, 21, 57, 58, 59, 60, 61, 62, 71, 120, 121, 29, 41, 50, 66):
        assert (t in types) == (t in ours)
    # Every event object becomes a row.
    event_types = {5, 6, 7, 8, 9, 65, 72, 92, 96}
    assert len(got["events"]["kind"]) == sum(o.header.base.object_type in event_types
                                              for o in objs)
    rows = kv.info(path, verbose=False)["channels"]
    assert sum(rows["objects"]) == sum(o.header.base.object_type not in (115,) and
                                       bool(rows["objects"].size) for o in objs if
                                       o.header.base.object_type in
                                       {11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 42, 43, 54,
                                        57, 58, 59, 60, 61, 62, 63, 64, 75, 87, 88, 89, 105, 1,
                                        71, 102, 103, 114, 120, 121, 122, 123, 29, 30, 40, 41,
                                        45, 47, 48, 49, 50, 66, 76, 79})


def test_vector_blf_events_equal_vblf():
    for name in ("binlog_SystemVariable.blf", "binlog_EnvironmentVariable.blf",
                 "converter_GlobalMarker.blf", "converter_EventComment.blf",
                 "binlog_AppText.blf"):
        path = VECTOR / name
        ev = kv.events(path, verbose=False)
        objs = vblf_objects(path)
        objs = [o for o in objs if o.header.base.object_type != 115]
        for i, o in enumerate(objs):
            if isinstance(o, (vg.SystemVariable, vg.EnvironmentVariable)):
                assert ev["name"][i] == o.name
            elif isinstance(o, vg.GlobalMarker):
                assert ev["text"][i] == o.marker_name.split("\0")[0]
                assert ev["group"][i] == o.group_name.split("\0")[0]
            elif isinstance(o, vg.AppText):  # vblf drops a last byte it takes for a zero
                assert ev["text"][i].startswith(o.text) and len(ev["text"][i]) == o.text_length
            else:
                assert ev["text"][i] == o.text.split("\0")[0]
    values = kv.events(VECTOR / "binlog_SystemVariable.blf", verbose=False)["value"].tolist()
    assert values[:3] == [2.0, 0x11111111, "xyz"] and values[3] == (1.0, 2.0, 3.0)


def test_app_text_names_channels(tmp_path):
    text = "C:\\db\\body.ldf;BodyLIN"
    info = (1 << 8) * 2 | (5 << 16)
    app = struct.pack("<IIII", 1, info, len(text) + 1, 0) + text.encode() + b"\0"
    lin = bb.obj(11, LIN_MSG.pack(2, 5, 2, bytes(8), 0, 0, 0, 0, 0, 0), timestamp=50)
    path = tmp_path / "named.blf"
    path.write_bytes(bb.blf([bb.obj(65, app), lin, bb.can_msg(1, b"a", channel=1,
                                                                timestamp=70)]))
    ev = kv.events(path, verbose=False)
    assert (ev["kind"][0], ev["channel"][0], ev["bus"][0]) == ("app text", 2, "LIN")
    assert (ev["database"][0], ev["name"][0]) == ("C:\\db\\body.ldf", "BodyLIN")
    ch = kv.info(path, verbose=False)["channels"]
    assert ch["bus"].tolist() == ["CAN", "LIN"] and ch["channel"].tolist() == [1, 2]
    assert ch["objects"].tolist() == [1, 1] and ch["name"].tolist() == ["", "BodyLIN"]
    start = kv.info(path, verbose=False)["start"]
    assert ch["first"].tolist() == [start + 70, start + 50]


# --- pcapng -----------------------------------------------------------------------


def test_pcapng_reads_back_in_scapy_and_dpkt(vblf_log, tmp_path):
    pair = kv.read_ethernet(vblf_log, verbose=False)
    out = tmp_path / "eth.pcapng"
    assert kv.write_pcapng(out, pair, verbose=False) == len(pair[0])
    from scapy.utils import PcapNgReader

    with PcapNgReader(str(out)) as r:
        packets = list(r)
    assert len(packets) == len(pair[0])
    channels = list(dict.fromkeys(pair[0]["channel"].tolist()))
    for i, p in enumerate(packets):
        assert bytes(p) == payload(pair, i)
        assert int(p.time * 10**9) // 1000 == int(pair[0]["timestamp"][i]) // 1000
        assert p.sniffed_on == f"ETH {pair[0]['channel'][i]}" or p.sniffed_on is None
        assert p.direction == (1 if pair[0]["flags"][i] & 0x04 else 2)
    dpkt = pytest.importorskip("dpkt")
    with open(out, "rb") as f:
        got = [(ts, bytes(buf)) for ts, buf in dpkt.pcapng.Reader(f)]
    assert [b for _, b in got] == [payload(pair, i) for i in range(len(pair[0]))]
    assert len(channels) >= 1


def test_pcapng_interfaces_times_and_lengths_in_scapy(tmp_path):
    """One interface per channel in order of appearance, times to the
    nanosecond, and a cut frame's original length as its object declares."""
    path = write_random(tmp_path / "eth.blf", [ethernet_ex, ethernet_cut, can], 200, 4)
    records, _ = pair = kv.read_ethernet(path, verbose=False)
    kv.write_pcapng(tmp_path / "eth.pcapng", pair, verbose=False)
    from scapy.utils import PcapNgReader

    with PcapNgReader(str(tmp_path / "eth.pcapng")) as r:
        packets = list(r)
        names = [i[2]["name"] for i in r.interfaces]
    channels = list(dict.fromkeys(records["channel"].tolist()))
    assert names == [f"ETH {c}".encode() for c in channels] and len(channels) > 1
    assert [p.sniffed_on for p in packets] == [f"ETH {c}" for c in records["channel"]]
    assert [int(p.time * 10**9) for p in packets] == records["timestamp"].tolist()
    assert [p.wirelen for p in packets] == np.maximum(records["length"], [
        len(payload(pair, i)) for i in range(len(records))]).tolist()
    assert [bytes(p) for p in packets] == [payload(pair, i) for i in range(len(records))]


def test_convert_writes_pcapng(vblf_log, tmp_path, capsys):
    from korvel.cli import main

    out = tmp_path / "eth.pcapng"
    assert main(["convert", str(vblf_log), str(out)]) in (0, None)
    from scapy.utils import rdpcap

    n = len(kv.read_ethernet(vblf_log, verbose=False)[0])
    assert len(rdpcap(str(out))) == n
    assert f"{n} Ethernet frames -> " in capsys.readouterr().out


def test_info_prints_the_channel_list(vblf_log, capsys):
    from korvel.cli import main

    main(["info", str(vblf_log)])
    out = capsys.readouterr().out
    assert "channel list" in out
    rows = kv.info(vblf_log, verbose=False)["channels"]
    for bus, channel, n in zip(rows["bus"], rows["channel"], rows["objects"]):
        assert any(line.split()[:3] == [bus, str(channel), str(n)] for line in out.splitlines())


# --- LIN signals from an LDF ------------------------------------------------------


def test_decode_lin_with_ldf_equals_ldfparser(tmp_path):
    ldfparser = pytest.importorskip("ldfparser")
    ldf = ldfparser.parse_ldf(str(DATA / "body.ldf"))
    rng = random.Random(5)
    objs, sent = [], []
    for i in range(300):
        frame = rng.choice(["WiperControl", "WiperStatus", "SeatStatus"])
        f = ldf.get_frame(frame)
        if frame == "WiperControl":
            raw = {"WiperMode": rng.randrange(4), "WiperSpeed": rng.choice([255, rng.randrange(251)])}
        elif frame == "WiperStatus":
            raw = {"WiperPosition": rng.randrange(1001), "WiperFault": rng.randrange(2),
                   "MotorCurrent": rng.randrange(4095)}
        else:
            raw = {"SeatTemp": rng.choice([255, rng.randrange(200)]), "SeatHeat": rng.randrange(4)}
        data = f.encode_raw(raw)
        sent.append((frame, raw, data))
        objs.append(bb.obj(11, LIN_MSG.pack(1, f.frame_id, f.length, data.ljust(8, b"\0"), 0, 0,
                                            0, 0, 0, 0), timestamp=i))
    path = tmp_path / "lin.blf"
    path.write_bytes(bb.blf(objs))
    tables = korvel.decode(path, DATA / "body.ldf")
    labels = korvel.decode(kv.read_lin(path, verbose=False), ldf, choices=True)
    for name in ("WiperControl", "WiperStatus", "SeatStatus"):
        mine = [(raw, data) for frame, raw, data in sent if frame == name]
        assert tables[name].num_rows == len(mine)
        for k, (raw, data) in enumerate(mine):
            want = ldf.get_frame(name).decode(data)
            for sig, value in want.items():
                if isinstance(value, str):  # a logical value: its label, its raw number
                    assert labels[name][sig][k] == value
                    assert tables[name][sig][k] == raw[sig]
                else:
                    assert tables[name][sig][k] == pytest.approx(value)
    assert tables["SeatStatus"].units["SeatTemp"] == "degC"


class _OneWay(io.RawIOBase):
    """A stream that cannot seek (a pipe)."""

    def __init__(self, data):
        self._b = io.BytesIO(data)

    def readable(self):
        return True

    def readinto(self, buf):
        return self._b.readinto(buf)


def test_channel_list_of_a_stream_is_walked_from_where_the_log_starts(vblf_log):
    whole = kv.info(vblf_log, verbose=False)["channels"]
    data = b"JUNK" + vblf_log.read_bytes()
    stream = io.BytesIO(data)
    stream.seek(4)  # the log starts past other bytes
    info = kv.info(stream, verbose=False)
    stream.seek(0, io.SEEK_END)  # the caller moved on meanwhile
    lazy = info["channels"]
    for key in whole:
        assert np.array_equal(lazy[key], whole[key]), key
    assert info.get("channels") is lazy  # walked once
    # What it pickles to holds what was walked, as a plain dict.
    import pickle

    assert set(pickle.loads(pickle.dumps(info))) == set(info)
    blind = kv.info(_OneWay(data[4:]), verbose=False)
    assert blind["object_count"] == info["object_count"]
    with pytest.raises(ValueError, match="needs a seekable stream"):
        blind["channels"]


@pytest.mark.parametrize("threads", [1, 3])
def test_reads_of_can_frames_count_what_they_leave_out(vblf_log, threads):
    """kv.read and kv.iter_read count the objects of other buses they pass
    over (within a time window) as read_buses finds them, for the commands
    to say so; the frames are those of a plain read."""
    got = kv.read_buses(vblf_log, buses=("lin", "ethernet", "flexray"), verbose=False)
    want = {"LIN": len(got["lin"][0]), "ETHERNET": len(got["ethernet"][0]),
            "FLEXRAY": len(got["flexray"][0])}
    assert all(want.values())
    plain = kv.read(vblf_log, verbose=False, threads=threads)
    counts = []
    pair = kv.read(vblf_log, verbose=False, threads=threads, _other_buses=counts)
    assert dict(counts) == want
    assert all(np.array_equal(a, b) for a, b in zip(pair, plain))
    counts = []
    pieces = list(kv.iter_read(vblf_log, 7, verbose=False, threads=threads, _other_buses=counts))
    assert dict(counts) == want and sum(len(p[0]) for p in pieces) == len(plain[0])
    # A window counts its own objects: two halves add up to the whole.
    ts = np.sort(np.concatenate([got[b][0]["timestamp"] for b in got]))
    mid = int(ts[len(ts) // 2])
    halves = [[], []]
    kv.read(vblf_log, verbose=False, threads=threads, stop=mid, _other_buses=halves[0])
    list(kv.iter_read(vblf_log, 5, verbose=False, threads=threads, start=mid,
                      _other_buses=halves[1]))
    for bus, n in want.items():
        parts = [dict(h).get(bus, 0) for h in halves]
        assert sum(parts) == n and all(parts)
    with pytest.raises(TypeError, match="_other_buses must be a list"):
        kv.read(vblf_log, verbose=False, _other_buses=())
