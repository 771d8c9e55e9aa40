"""korvel quick start: read a BLF log into NumPy arrays.

Writes a small realistic log with python-can's BLF writer (a second tool, so
the file is one that other programs produce), then reads it with korvel.
"""

import tempfile
import time
from pathlib import Path

import can
import numpy as np

import korvel.korvel as kv


def make_log(path, seconds=20.0):
    """A few ECUs at their usual rates: counters, slow signals, checksums."""
    rates = {0x0C1: 0.01, 0x1A0: 0.02, 0x2F5: 0.1, 0x18FEF100: 0.1, 0x3E8: 1.0}
    msgs = []
    for ident, period in rates.items():
        for i in range(int(seconds / period)):
            speed = int(3000 + 2500 * np.sin(i * period / 3.0))
            data = bytearray([i & 0xFF, speed & 0xFF, speed >> 8, 0x5A, 0, 0, 0, 0])
            data[7] = np.bitwise_xor.reduce(data[:7])
            msgs.append(can.Message(timestamp=1.7e9 + i * period, arbitration_id=ident,
                                    is_extended_id=ident > 0x7FF, data=bytes(data), channel=0))
    for i in range(int(seconds / 0.05)):
        msgs.append(can.Message(timestamp=1.7e9 + i * 0.05, arbitration_id=0x123, is_fd=True,
                                bitrate_switch=True, data=bytes((i + j) & 0xFF for j in range(64)),
                                channel=1))
    msgs.sort(key=lambda m: m.timestamp)
    with can.BLFWriter(str(path)) as writer:
        for m in msgs:
            writer.on_message_received(m)
    return len(msgs)


def main():
    with tempfile.TemporaryDirectory() as tmp:
        path = Path(tmp) / "drive.blf"
        n = make_log(path)
        print(f"wrote {n} frames with python-can to {path.name} ({path.stat().st_size} bytes)")

        t = time.perf_counter()
        with open(path, "rb") as f:
            index, chunk = kv.read(f)
        dt = time.perf_counter() - t
        print(f"korvel.read: {len(index)} frames, {len(chunk)} payload bytes in {dt * 1e3:.1f} ms "
              f"({len(index) / dt / 1e6:.2f} M frames/s)")

        ids, counts = np.unique(index["can_id"], return_counts=True)
        for ident, count in zip(ids, counts):
            sel = index["can_id"] == ident
            first = index[sel][0]
            off, size = int(first["loc"]) & 0xFFFFFFFFFFFF, int(first["loc"]) >> 48
            kind = "FD " if first["flags"] & 0x08 else "ext" if first["flags"] & 0x40 else "std"
            print(f"  0x{int(ident):08X} {kind} x{count:5d}  first payload "
                  f"{chunk[off:off + min(size, 8)].tobytes().hex(' ')}")
        span = (index["timestamp"].max() - index["timestamp"].min()) * 1e-9
        print(f"time span {span:.2f} s, {np.count_nonzero(index['flags'] & 0x08)} CAN FD frames")


if __name__ == "__main__":
    main()
