"""Time korvel's write() against python-can's BLFWriter and against zlib alone.

The log: 1,000,000 classic frames of a generated bus (about 60 periodic
messages with counters, slowly changing signals and checksums). Each run times,
in this order and on the same frames:

  korvel      korvel.korvel.write(f, (index, chunk)) into a BytesIO
  pycan       python-can's BLFWriter fed prebuilt can.Message objects
  pycan+msg   the same, counting the construction of the can.Message objects
  zlib        zlib.compress alone over the uncompressed bytes of korvel's containers

Targets: korvel at least 4x faster than python-can starting from the same
arrays (pycan+msg), and at most 1.15x zlib. Every timing is taken both as
process CPU time and as wall time; on a shared, loaded machine the CPU times
are the stable ones, so the ratios are computed from them (wall ratios are
printed alongside).

    python benchmarks/bench_write.py [--frames N] [--runs R]
"""

import argparse
import contextlib
import io
import statistics
import struct
import time
import zlib

import numpy as np

import korvel.korvel as k


def generate(n_frames, seed=2024):
    """A frames pair of classic frames that looks like a real bus."""
    rng = np.random.default_rng(seed)
    n_msgs = 60
    ids = np.sort(rng.choice(np.arange(0x100, 0x700), n_msgs, replace=False)).astype(np.uint32)
    periods_ms = rng.choice([10, 20, 50, 100, 200, 500, 1000], n_msgs,
                            p=[0.3, 0.25, 0.15, 0.15, 0.05, 0.05, 0.05])
    dlcs = rng.choice([2, 4, 6, 8], n_msgs, p=[0.1, 0.15, 0.15, 0.6])
    # Enough seconds of traffic for n_frames, then the first n_frames in time order.
    rate = (1000.0 / periods_ms).sum()
    seconds = n_frames / rate * 1.05 + 1
    msg_of, t_of = [], []
    for m in range(n_msgs):
        count = int(seconds * 1000 / periods_ms[m])
        jitter = rng.integers(-50_000, 50_000, count)  # +-50 us
        t = (np.arange(count, dtype=np.int64) * periods_ms[m] * 1_000_000
             + rng.integers(0, periods_ms[m] * 1_000_000) + jitter)
        msg_of.append(np.full(count, m, np.int32))
        t_of.append(t)
    msg = np.concatenate(msg_of)
    ts = np.concatenate(t_of)
    order = np.argsort(ts, kind="stable")[:n_frames]
    msg, ts = msg[order], ts[order]
    seq = np.zeros(len(msg), np.int64)  # per-message sequence number
    for m in range(n_msgs):
        sel = msg == m
        seq[sel] = np.arange(sel.sum())

    lens = dlcs[msg].astype(np.uint8)
    data = np.zeros((len(msg), 8), np.uint8)
    phase = rng.uniform(0, 2 * np.pi, n_msgs)[msg]
    period_s = rng.uniform(5, 120, n_msgs)[msg]
    tsec = ts * 1e-9
    # Bytes 0-1: a slowly changing 16-bit signal (speed, temperature, ...).
    slow = (20000 + 15000 * np.sin(2 * np.pi * tsec / period_s + phase)).astype(np.uint16)
    data[:, 0] = slow & 0xFF
    data[:, 1] = slow >> 8
    # Bytes 2-3: status bits that rarely change and a small noisy value.
    data[:, 2] = ((tsec // 30).astype(np.int64) % 4 << 4).astype(np.uint8) | (msg % 16).astype(
        np.uint8)
    data[:, 3] = (128 + rng.normal(0, 2, len(msg))).clip(0, 255).astype(np.uint8)
    # Bytes 4-5: a second signal, piecewise constant.
    data[:, 4] = ((tsec // 2).astype(np.int64) * 7 % 251).astype(np.uint8)
    data[:, 5] = 0
    # Byte 6: rolling counter in the low nibble; byte 7: XOR checksum.
    data[:, 6] = (seq % 16).astype(np.uint8)
    data[:, 7] = np.bitwise_xor.reduce(data[:, :7], axis=1) ^ (ids[msg] & 0xFF).astype(np.uint8)
    # Shorter messages keep their counter and checksum at their last two bytes.
    for dlc in (2, 4, 6):
        sel = lens == dlc
        data[sel, dlc - 2] = data[sel, 6]
        data[sel, dlc - 1] = data[sel, 7]

    index = np.zeros(len(msg), k.DT)
    index["timestamp"] = 1_700_000_000_000_000_000 + ts
    index["can_id"] = ids[msg]
    index["channel"] = 1
    index["len"] = lens
    index["flags"] = 0x04
    offsets = np.concatenate([[0], np.cumsum(lens[:-1], dtype=np.uint64)]).astype(np.uint64)
    index["loc"] = offsets + (lens.astype(np.uint64) << np.uint64(48))
    mask = np.arange(8)[None, :] < lens[:, None]
    chunk = data[mask]
    return index, np.ascontiguousarray(chunk)


def container_payloads(blob):
    """Uncompressed data of every container of a written file."""
    out, pos = [], 144
    while pos < len(blob):
        osize = struct.unpack_from("<I", blob, pos + 8)[0]
        out.append(zlib.decompress(blob[pos + 32 : pos + osize]))
        pos += osize + osize % 4
    return out


class Clock:
    """CPU and wall seconds of a block."""

    def __enter__(self):
        self.cpu, self.wall = time.process_time(), time.perf_counter()
        return self

    def __exit__(self, *exc):
        self.cpu = time.process_time() - self.cpu
        self.wall = time.perf_counter() - self.wall


def time_korvel(pair, threads=1):
    f = io.BytesIO()
    with contextlib.redirect_stdout(io.StringIO()), Clock() as c:
        k.write(f, pair, threads=threads)
    return c, f.getvalue()


def build_messages(pair):
    import can

    index, chunk = pair
    ts = (index["timestamp"] * 1e-9).tolist()
    ids = index["can_id"].tolist()
    offs = (index["loc"] & np.uint64(0xFFFFFFFFFFFF)).tolist()
    lens = index["len"].tolist()
    raw = chunk.tobytes()
    return [
        can.Message(timestamp=t, arbitration_id=i, is_extended_id=False, is_rx=True, channel=0,
                    dlc=n, data=raw[o : o + n])
        for t, i, o, n in zip(ts, ids, offs, lens)
    ]


def time_pycan(pair):
    """(writer only, Message construction) clocks."""
    import can

    with Clock() as c_msgs:
        msgs = build_messages(pair)
    f = io.BytesIO()
    with Clock() as c_write:
        w = can.BLFWriter(f)
        w.file.close = lambda: None  # keep the BytesIO readable after stop()
        for m in msgs:
            w.on_message_received(m)
        w.stop()
    return c_write, c_msgs


def time_zlib(payloads):
    with Clock() as c:
        for p in payloads:
            zlib.compress(p)
    return c


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--frames", type=int, default=1_000_000)
    ap.add_argument("--runs", type=int, default=5)
    ap.add_argument("--no-pycan", action="store_true", help="skip python-can (it is slow)")
    args = ap.parse_args()

    pair = generate(args.frames)
    _, blob = time_korvel(pair)
    payloads = container_payloads(blob)
    raw = sum(map(len, payloads))
    print(f"{len(pair[0]):,} frames, {len(pair[1]):,} payload bytes; "
          f"{len(payloads)} containers, {raw:,} bytes of objects -> {len(blob):,} bytes on disk "
          f"(ratio {raw / len(blob):.1f})")
    print(f"zlib {zlib.ZLIB_RUNTIME_VERSION}")

    rows = []  # per run: name -> (cpu, wall)
    for r in range(args.runs):
        c_k, _ = time_korvel(pair)
        c_t, _ = time_korvel(pair, threads=None)
        c_z = time_zlib(payloads)
        row = {"korvel": (c_k.cpu, c_k.wall), "korvel-mt": (c_t.cpu, c_t.wall),
               "zlib": (c_z.cpu, c_z.wall)}
        if not args.no_pycan:
            c_p, c_m = time_pycan(pair)
            row["pycan"] = (c_p.cpu, c_p.wall)
            row["pycan+msg"] = (c_p.cpu + c_m.cpu, c_p.wall + c_m.wall)
        rows.append(row)
        line = f"run {r + 1} cpu/wall ms: " + "  ".join(
            f"{n} {v[0] * 1000:.0f}/{v[1] * 1000:.0f}" for n, v in row.items())
        line += f"  | korvel/zlib {c_k.cpu / c_z.cpu:.3f}"
        if "pycan" in row:
            line += (f"  pycan/korvel {row['pycan'][0] / c_k.cpu:.1f}x"
                     f"  pycan+msg/korvel {row['pycan+msg'][0] / c_k.cpu:.1f}x")
        print(line, flush=True)

    def median(f):
        return statistics.median(f(r) for r in rows)

    print()
    print(f"medians over {len(rows)} runs (cpu / wall):")
    for n in rows[0]:
        print(f"  {n:10s} {median(lambda r, n=n: r[n][0]) * 1000:9.1f} ms "
              f"{median(lambda r, n=n: r[n][1]) * 1000:9.1f} ms")
    print("ratios (median of the per-run ratios, cpu / wall):")

    def ratio(a, b, fmt):
        cpu = median(lambda r: r[a][0] / r[b][0])
        wall = median(lambda r: r[a][1] / r[b][1])
        return f"{cpu:{fmt}} / {wall:{fmt}}"

    print(f"  korvel / zlib alone           {ratio('korvel', 'zlib', '.3f')}  (target <= 1.15)")
    print(f"  korvel all cores / zlib alone {ratio('korvel-mt', 'zlib', '.3f')}"
          "  (wall target <= 0.6)")
    if "pycan" in rows[0]:
        print(f"  python-can+Message / korvel   {ratio('pycan+msg', 'korvel', '.1f')}"
              "  (target >= 4, python-can from the same arrays)")
        print(f"  python-can (prebuilt) / korvel {ratio('pycan', 'korvel', '.1f')}")


if __name__ == "__main__":
    main()
