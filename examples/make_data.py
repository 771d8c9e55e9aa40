"""Regenerates examples/data/drive.blf: 60 s of traffic on vehicle.dbc,
encoded with cantools and written by korvel's own writer."""

import contextlib
import io
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


if __name__ == "__main__":
    main()
