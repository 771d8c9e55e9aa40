"""Regenerates the sample logs, encoded with cantools and written by korvel's
own writer: examples/data/drive.blf (60 s of traffic on vehicle.dbc) and
examples/data/truck.blf (30 s of J1939 traffic on truck.dbc: two engines
sending the same parameter groups, not-available values, and diagnostic
messages both in one frame and in several by the transport protocol), and
examples/data/diag.blf (a tester reading a battery's data identifiers over
ISO-TP on diag.dbc: VIN, state of charge, a multi-frame pack status, and
a negative response), and examples/data/buses.blf (10 s of a body network:
CAN, LIN frames of body.ldf with a checksum error, Ethernet and FlexRay
frames, a marker, a comment and the database of each channel), and its CAN,
LIN and Ethernet frames as ASAM MDF 4 bus logging written by asammdf
(examples/data/buses.mf4)."""

import contextlib
import io
import struct
import zlib
from pathlib import Path

import cantools
import numpy as np

import korvel.korvel as kv

DATA = Path(__file__).parent / "data"


def main(seconds=60.0):
    db = cantools.database.load_file(str(DATA / "vehicle.dbc"))
    t0 = 1_735_000_000_000_000_000  # ns
    rows = []  # (timestamp, can_id, flags, data)
    rng = np.random.default_rng(11)

    def emit(name, period, values, flags=0x04):
        msg = db.get_message_by_name(name)
        for i in range(int(seconds / period)):
            t = i * period
            data = msg.encode(values(i, t), strict=False)
            ident_flags = flags | (0x40 if msg.is_extended_frame else 0)
            jitter = int(rng.integers(0, 200_000))
            rows.append((t0 + int(t * 1e9) + jitter, msg.frame_id, ident_flags, data))

    def speed(t):
        return max(0.0, 60 + 55 * np.sin(t / 9.0))

    emit("EngineData", 0.01, lambda i, t: {
        "EngineSpeed": 800 + 30 * speed(t), "CoolantTemp": min(90, 20 + t),
        "ThrottlePos": 20 + 15 * np.sin(t / 3.0), "EngineTorque": 150 * np.sin(t / 5.0),
        "EngineCounter": i % 16})
    emit("WheelSpeeds", 0.02, lambda i, t: {
        "WheelSpeedFL": speed(t), "WheelSpeedFR": speed(t) * 1.01,
        "YawRate": 12 * np.sin(t / 2.0)})
    emit("Transmission", 0.1, lambda i, t: {
        "GearActual": min(6, 1 + int(speed(t) // 20)), "GearTarget": min(6, 1 + int(speed(t) // 19)),
        "OilTemp": min(95, 25 + t)}, flags=0x00)
    emit("BodyStatus", 0.5, lambda i, t: {"AmbientTemp": 18.5 + t / 60, "DoorsOpen": 0 if t > 2 else 1})
    emit("BatteryFD", 0.1, lambda i, t: {
        "PackVoltage": 396 - t / 10, "PackCurrent": -40 * np.sin(t / 4.0),
        "CellVoltageMax": 4.1 + 0.0001 * (i % 50)}, flags=0x04 | 0x08 | 0x02)

    rows.sort(key=lambda r: r[0])
    frames = np.zeros(len(rows), kv.DT64)
    for i, (ts, ident, flags, data) in enumerate(rows):
        frames[i]["timestamp"], frames[i]["can_id"], frames[i]["flags"] = ts, ident, flags
        frames[i]["len"] = len(data)
        frames[i]["is64"] = 1 if flags & 0x08 else 0
        frames[i]["channel"] = 1
        frames[i]["data"][: len(data)] = np.frombuffer(data, np.uint8)
    with open(DATA / "drive.blf", "wb") as f, contextlib.redirect_stdout(io.StringIO()):
        kv.write(f, frames)
    print(f"wrote {len(frames)} frames to {DATA / 'drive.blf'}")


def _write(name, rows):
    rows.sort(key=lambda r: r[0])
    frames = np.zeros(len(rows), kv.DT64)
    for i, (ts, ident, flags, data) in enumerate(rows):
        frames[i]["timestamp"], frames[i]["can_id"], frames[i]["flags"] = ts, ident, flags
        frames[i]["len"] = len(data)
        frames[i]["channel"] = 1
        frames[i]["data"][: len(data)] = np.frombuffer(data, np.uint8)
    with open(DATA / name, "wb") as f, contextlib.redirect_stdout(io.StringIO()):
        kv.write(f, frames)
    print(f"wrote {len(frames)} frames to {DATA / name}")


def truck(seconds=30.0):
    db = cantools.database.load_file(str(DATA / "truck.dbc"))
    t0 = 1_735_000_100_000_000_000  # ns
    rows = []
    rng = np.random.default_rng(12)
    ext = 0x40 | 0x04

    def at(t):
        return t0 + int(t * 1e9) + int(rng.integers(0, 300_000))

    def emit(name, source, period, values, priority=None):
        msg = db.get_message_by_name(name)
        ident = (msg.frame_id & 0x03FFFF00) | source
        ident |= (priority if priority is not None else msg.frame_id >> 26 & 7) << 26
        for i in range(int(seconds / period)):
            t = i * period
            rows.append((at(t), ident, ext, msg.encode(values(i, t), strict=False)))

    def rpm(t, engine):
        return 650 + engine * 40 + 900 * max(0.0, np.sin(t / 6.0))

    for engine, source in ((0, 0x00), (1, 0x01)):
        emit("EEC1", source, 0.02, lambda i, t, e=engine, s=source: {
            "EngTorqueMode": 1, "DriverDemandTorque": 30 + 20 * np.sin(t / 6.0),
            "ActualEngTorque": 28 + 20 * np.sin(t / 6.0), "EngSpeed": rpm(t, e),
            "SourceAddress": s, "StarterMode": 0}, priority=3)
        emit("ET1", source, 1.0, lambda i, t, e=engine: {
            "CoolantTemp": min(88, 40 + 2 * t) - e, "FuelTemp": 0, "OilTemp": 0})
    emit("CCVS1", 0x17, 0.1, lambda i, t: {
        "ParkingBrake": 1 if t < 3 else 0, "WheelSpeed": rpm(t, 0) / 30, "CruiseActive": 3})

    # Not available: the second engine has no fuel or oil temperature sensor
    # (all ones); the first reports its fuel temperature only.
    for k, (ts, ident, flags, data) in enumerate(rows):
        if ident & 0xFFFF00 == 0xFEEE00:
            data = bytearray(data)
            data[1] = 0xFF if ident & 0xFF else 60
            data[2:4] = b"\xff\xff"
            rows[k] = (ts, ident, flags, bytes(data))

    dm1 = db.get_message_by_name("DM1")
    codes = {"SPN1": 110, "FMI1": 0, "OC1": 3, "SPN2": 190, "FMI2": 2, "OC2": 1,
             "SPN3": 5246, "FMI3": 0, "OC3": 2}
    lamps = {"ProtectLamp": 0, "MILamp": 0, "RedStopLamp": 0}
    for i in range(int(seconds)):
        t = i + 0.5
        if t < 10:  # one active code: a single frame, the rest padding
            data = dm1.encode({**lamps, "AmberLamp": 1, **codes}, strict=False)
            rows.append((at(t), 0x18FECA00, ext, data[:6] + b"\xff\xff"))
        else:  # three: broadcast by the transport protocol (BAM)
            data = dm1.encode({**lamps, "AmberLamp": 1, **codes, "RedStopLamp": 1}, strict=False)
            size, n = len(data), (len(data) + 6) // 7
            tp = bytes([0x20, size, 0, n, 0xFF, 0xCA, 0xFE, 0x00])
            rows.append((at(t), 0x1CECFF00, ext, tp))
            for k in range(n):
                part = data[k * 7:(k + 1) * 7].ljust(7, b"\xff")
                rows.append((at(t) + (k + 1) * 50_000_000, 0x1CEBFF00, ext, bytes([k + 1]) + part))
    _write("truck.blf", rows)


def diag(seconds=20.0):
    db = cantools.database.load_file(str(DATA / "diag.dbc"))
    response = db.get_message_by_name("Response")
    t0 = 1_735_000_200_000_000_000  # ns
    rows = []
    flags = 0x04

    def isotp(t, ident, message):
        """ISO-TP frames of one message (the flow control from the tester
        after a first frame), padded with 0xAA."""
        if len(message) <= 7:
            rows.append((t, ident, flags, (bytes([len(message)]) + message).ljust(8, b"\xaa")))
            return
        rows.append((t, ident, flags, bytes([0x10 | len(message) >> 8, len(message) & 0xFF])
                     + message[:6]))
        rows.append((t + 1_000_000, 0x7E0, 0, bytes([0x30, 0, 0]).ljust(8, b"\xaa")))
        for n, k in enumerate(range(6, len(message), 7), 1):
            part = bytes([0x20 | n & 0xF]) + message[k:k + 7]
            rows.append((t + (1 + n) * 1_000_000, ident, flags, part.ljust(8, b"\xaa")))

    def request(t, did):
        rows.append((t, 0x7E0, 0, bytes([3, 0x22, did >> 8, did & 0xFF]).ljust(8, b"\xaa")))

    request(t0, 0xF190)
    isotp(t0 + 10_000_000, 0x7E8, b"\x62\xf1\x90" + b"WVWZZZ1KZ6W000001")
    for i in range(int(seconds)):
        t = t0 + (i + 1) * 1_000_000_000
        soc = 80.0 - 0.5 * i
        request(t, 0x1234)
        isotp(t + 5_000_000, 0x7E8, response.encode(
            {"Service": 0x62, "DID": 0x1234, "SoC": soc}, strict=False)[:5])
        request(t + 100_000_000, 0x1235)
        isotp(t + 105_000_000, 0x7E8, response.encode(
            {"Service": 0x62, "DID": 0x1235, "PackVoltage": 396 - i / 4, "CellMin": 3.91 - i / 400,
             "CellMax": 3.98 - i / 400, "CellTempMax": 31 + i // 5}, strict=False)[:10])
    request(t0 + int(seconds + 1) * 1_000_000_000, 0x4242)
    isotp(t0 + int(seconds + 1) * 1_000_000_000 + 5_000_000, 0x7E8, bytes([0x7F, 0x22, 0x31]))
    _write("diag.blf", rows)


def _object(kind, body, ts):
    """One inner object: base header, version 1 header (ns), body."""
    return (struct.pack("<4sHHII", b"LOBJ", 32, 1, 32 + len(body), kind)
            + struct.pack("<IHHQ", 2, 0, 0, ts) + body)


def buses(seconds=10.0):
    """A body network in one log, written object by object from the format's
    layouts (korvel writes CAN frames only)."""
    rng = np.random.default_rng(5)
    objs = []  # (relative ns, type, body)

    def app_text(channel, bus, text):
        raw = text.encode() + b"\0"
        info = channel << 8 | bus << 16
        return struct.pack("<IIII", 1, info, len(raw), 0) + raw

    objs.append((0, 65, app_text(1, 1, "vehicle.dbc;Powertrain")))
    objs.append((0, 65, app_text(1, 5, "body.ldf;BodyLIN")))
    objs.append((0, 65, app_text(1, 11, ";Backbone")))
    lin = struct.Struct("<HBB8sBBBBHBx4x")
    for i in range(int(seconds / 0.02)):
        t = int(i * 0.02e9)
        objs.append((t, 1, struct.pack("<HBBI8s", 1, 0, 8, 0x100, rng.bytes(8))))
        mode, speed = i // 100 % 4, min(i % 250, 250)
        data = bytes([mode, speed * 2 % 256, 0, 0, 0, 0, 0, 0])
        kind = 12 if i == 123 else 11  # one checksum error
        objs.append((t + 5_000_000, kind, lin.pack(1, 0x10, 2, data, 0, 0, 0, 0, 0x55, 1)))
        if i % 5 == 0:
            frame = (bytes.fromhex("01005e000001") + bytes.fromhex("020000000001") + b"\x08\x00"
                     + rng.bytes(46))
            objs.append((t + 7_000_000, 120, struct.pack("<HHHHQIHHII", 28, 2, 1, 1, 0, 0, 0,
                                                         len(frame), 0, 0) + frame))
        if i % 10 == 0:
            payload = rng.bytes(8)
            objs.append((t + 9_000_000, 66, struct.pack(
                "<HHHHIIHHHHHHIIIIIIHHH26x", 1, 1, 1, 0, 0, 0, 20, 0, 0, 8, 8, i % 64, 0, 0, 0, 0,
                0, 0, 0, 0, 0) + payload))
    objs.append((int(3.5e9), 96, struct.pack("<IIIBBHIIIIQ", 0, 0, 0, 1, 0, 0, 5, 10, 16, 0, 0)
                 + b"Drive" + b"Wiper fast" + b"rain on the road"))
    objs.append((int(7e9), 92, struct.pack("<IIQ", 0, 9, 0) + b"rain ends"))
    objs.sort(key=lambda o: o[0])
    inner = b"".join(_object(k, b, t) for t, k, b in objs)
    start = struct.pack("<8H", 2025, 1, 1, 1, 12, 0, 0, 0)  # 2025-01-01 12:00 local time
    header = struct.pack("<4sI8BqqII", b"LOGG", 144, 2, 17, 0, 0, 4, 0, 0, 0, 0, 0,
                         len(objs), 0) + start + start
    parts = [inner[i:i + 65536] for i in range(0, len(inner), 65536)]
    body = b""
    for p in parts:
        stored = zlib.compress(p, 6)
        size = 32 + len(stored)
        body += (struct.pack("<4sHHII", b"LOBJ", 16, 1, size, 10)
                 + struct.pack("<H6xI4x", 2, len(p)) + stored + bytes(size % 4))
    (DATA / "buses.blf").write_bytes(header + bytes(144 - len(header)) + body)


def buses_mf4():
    """buses.blf's CAN, LIN and Ethernet frames as MF4 bus logging groups
    (CAN_DataFrame, LIN_Frame, LIN_ChecksumError, ETH_Frame with its addresses
    and EtherType apart), written by asammdf."""
    import datetime

    from asammdf import MDF, Signal
    from asammdf.blocks.source_utils import Source

    got = kv.read_buses(str(DATA / "buses.blf"), ("can", "lin", "ethernet"), verbose=False)
    start = int(min(got[b][0]["timestamp"].min() for b in ("can", "lin", "ethernet")))
    mdf = MDF(version="4.11")
    mdf.header.start_time = datetime.datetime.fromtimestamp(start // 10**9, datetime.timezone.utc)
    start = start // 10**9 * 10**9

    def group(name, bus, records, payload, fields, width, pick):
        if not len(records):
            return
        dt = np.dtype([(f"{name}.{f}", *t) for f, *t in fields]
                      + [(f"{name}.DataLength", "<u2"), (f"{name}.DataBytes", "u1", (width,))])
        s = np.zeros(len(records), dt)
        for i, r in enumerate(records):
            loc = int(r["loc"])
            data = bytes(payload[loc & (2**48 - 1):][:loc >> 48])
            values, data = pick(r, data)
            for f, v in zip(fields, values):
                s[f"{name}.{f[0]}"][i] = v
            s[f"{name}.DataLength"][i] = len(data)
            s[f"{name}.DataBytes"][i][:len(data)] = list(data)
        src = Source(name, name, "", Source.SOURCE_BUS, bus)
        times = (records["timestamp"] - start) / 1e9
        mdf.append([Signal(s, times, name=name, source=src)], acq_name=name, common_timebase=True)

    index, chunk = got["can"]
    group("CAN_DataFrame", Source.BUS_TYPE_CAN, index, chunk,
          [("BusChannel", "u1"), ("ID", "<u4"), ("IDE", "u1"), ("DLC", "u1"), ("Dir", "u1")], 8,
          lambda r, d: ((r["channel"], r["can_id"], r["flags"] >> 6 & 1, r["len"],
                         0 if r["flags"] & 4 else 1), d))
    lin, payload = got["lin"]
    lin_fields = [("BusChannel", "u1"), ("ID", "u1"), ("Checksum", "u1"), ("Dir", "u1")]
    for name, rows in (("LIN_Frame", lin[lin["flags"] & 0x10 == 0]),
                       ("LIN_ChecksumError", lin[lin["flags"] & 0x20 != 0])):
        group(name, Source.BUS_TYPE_LIN, rows, payload, lin_fields, 8,
              lambda r, d: ((r["channel"], r["id"], r["checksum"], 0 if r["flags"] & 4 else 1),
                            d))
    eth, frames = got["ethernet"]
    group("ETH_Frame", Source.BUS_TYPE_ETHERNET, eth, frames,
          [("BusChannel", "u1"), ("Dir", "u1"), ("Destination", "u1", (6,)),
           ("Source", "u1", (6,)), ("EtherType", "<u2")], 1500,
          lambda r, d: ((r["channel"], 0 if r["flags"] & 4 else 1, list(d[:6]), list(d[6:12]),
                         int.from_bytes(d[12:14], "big")), d[14:]))
    mdf.save(str(DATA / "buses.mf4"), overwrite=True, compression=2)


if __name__ == "__main__":
    main()
    truck()
    diag()
    buses()
    buses_mf4()
