"""Realistic generated logs shared by the benchmarks (cached on disk).

Payloads look like a vehicle bus: per-message rolling counters, slowly moving
16-bit signals, status bytes that rarely change and an XOR checksum, so the
containers compress the way real logs do.
"""

from __future__ import annotations

import io
import os
from pathlib import Path

import numpy as np

CACHE = Path(os.environ.get("KORVEL_BENCH_CACHE", Path(__file__).parent / ".cache"))
T0 = 1_700_000_000.0


def classic_frames(n=1_000_000, n_ids=50, seed=1):
    """(timestamps s, ids, dlc, payload uint8[n, 8], extended) sorted by time."""
    rng = np.random.default_rng(seed)
    ids = np.sort(rng.choice(np.arange(0x80, 0x700), n_ids, replace=False))
    # Periods from 10 ms to 1 s; frame share proportional to 1/period.
    periods = rng.choice([0.01, 0.02, 0.05, 0.1, 0.2, 0.5, 1.0], n_ids)
    weights = (1 / periods) / (1 / periods).sum()
    which = rng.choice(n_ids, n, p=weights)
    t = np.cumsum(rng.exponential(1.0, n)) * 1e-4
    dlc = rng.choice([8, 8, 8, 6, 4], n_ids)[which]
    payload = np.zeros((n, 8), np.uint8)
    seq = np.zeros(n, np.int64)
    for m in range(n_ids):
        sel = which == m
        seq[sel] = np.arange(sel.sum())
    payload[:, 0] = (seq & 0x0F) | ((which & 0x0F) << 4)
    slow = (2000 + 1500 * np.sin(seq / (50.0 + which) + which)).astype(np.uint16)
    payload[:, 1] = slow & 0xFF
    payload[:, 2] = slow >> 8
    payload[:, 3] = (seq // 500 + which) & 0x03
    payload[:, 4] = (100 + 20 * np.sin(t / 7.0 + which)).astype(np.uint8)
    payload[:, 5] = which * 3
    payload[:, 6] = (seq // 100) & 0xFF
    payload[:, 7] = np.bitwise_xor.reduce(payload[:, :7], axis=1)
    return T0 + t, ids[which].astype(np.uint32), dlc.astype(np.uint8), payload, ids


def fd_frames(n=300_000, seed=2):
    rng = np.random.default_rng(seed)
    n_ids = 20
    ids = np.sort(rng.choice(np.arange(0x100, 0x1FFFFFFF), n_ids, replace=False))
    which = rng.integers(0, n_ids, n)
    t = np.cumsum(rng.exponential(1.0, n)) * 3e-4
    seq = np.arange(n)
    payload = np.zeros((n, 64), np.uint8)
    for j in range(0, 64, 8):
        slow = (30000 + 20000 * np.sin(seq / (400.0 + 7 * j) + which)).astype(np.uint16)
        payload[:, j] = seq & 0xFF
        payload[:, j + 1] = slow & 0xFF
        payload[:, j + 2] = slow >> 8
        payload[:, j + 3] = which
        payload[:, j + 4] = (j * 5 + (seq // 1000)) & 0xFF
    payload[:, 63] = np.bitwise_xor.reduce(payload[:, :63], axis=1)
    return T0 + t, ids[which].astype(np.uint32), payload


def messages_classic(n=1_000_000):
    import can

    t, ids, dlc, payload, _ = classic_frames(n)
    rows = payload.tolist()
    return [
        can.Message(timestamp=float(t[i]), arbitration_id=int(ids[i]), is_extended_id=False,
                    data=bytes(rows[i][: dlc[i]]), channel=i % 2, is_rx=True)
        for i in range(n)
    ]


def messages_fd(n=300_000):
    import can

    t, ids, payload = fd_frames(n)
    rows = payload.tobytes()
    return [
        can.Message(timestamp=float(t[i]), arbitration_id=int(ids[i]), is_extended_id=True,
                    is_fd=True, bitrate_switch=True, data=rows[i * 64:(i + 1) * 64], channel=0)
        for i in range(n)
    ]


def write_with_python_can(messages) -> bytes:
    import can

    class KeepOpen(io.BytesIO):
        def close(self):
            pass

    f = KeepOpen()
    w = can.BLFWriter(f)
    for m in messages:
        w.on_message_received(m)
    w.stop()
    return f.getvalue()


def cached_log(name: str) -> Path:
    """Path of the generated log `classic` (1M frames) or `fd` (300k frames)."""
    CACHE.mkdir(parents=True, exist_ok=True)
    path = CACHE / f"{name}.blf"
    if not path.exists():
        msgs = messages_classic() if name == "classic" else messages_fd()
        path.write_bytes(write_with_python_can(msgs))
    return path


def cached_big_log(copies=10) -> Path:
    """The `classic` log repeated `copies` times (10M frames by default),
    written by korvel, for memory measurements of reads in pieces."""
    import numpy as np

    import korvel.korvel as k

    path = CACHE / f"classic_x{copies}.blf"
    if not path.exists():
        index, chunk = k.read(cached_log("classic"), verbose=False)
        span = int(index["timestamp"].max() - index["timestamp"].min()) + 1_000_000
        pairs = []
        for i in range(copies):
            shifted = index.copy()
            shifted["timestamp"] += np.int64(i * span)
            pairs.append((shifted, chunk))
        k.write(path, k.concat(pairs), verbose=False)
    return path


def containers(data: bytes):
    """(method, uncompressed size, stored bytes) of every log container."""
    import struct

    header_size = struct.unpack_from("<I", data, 4)[0]
    pos = header_size
    out = []
    while pos + 16 <= len(data):
        _, _, _, size, typ = struct.unpack_from("<4sHHII", data, pos)
        if typ == 10:
            method, usize = struct.unpack_from("<H6xI", data, pos + 16)
            out.append((method, usize, data[pos + 32:pos + size]))
        pos += size + size % 4
    return out
