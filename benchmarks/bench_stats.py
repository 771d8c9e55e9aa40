"""korvel.stats: frame_bits against a bit-by-bit reference, and the speed of
busload and cycles.

The reference builds every frame bit by bit as ISO 11898-1:2015 sends it
(fields, CRC computed over them, stuffing applied bit by bit, the CAN FD stuff
count and fixed stuff bits), independently of the native table-driven code,
and the two are compared frame for frame on random frames of every kind.

    python benchmarks/bench_stats.py [--frames 100000] [--speed-frames 5000000]
"""

from __future__ import annotations

import argparse
import statistics
import time

import numpy as np

import korvel.korvel as kv
from korvel import stats

FLAG_ESI, FLAG_BRS, FLAG_FD, FLAG_ERROR, FLAG_REMOTE, FLAG_EXTENDED = (
    0x01,
    0x02,
    0x08,
    0x10,
    0x20,
    0x40,
)
FD_LENGTHS = (0, 1, 2, 3, 4, 5, 6, 7, 8, 12, 16, 20, 24, 32, 48, 64)

# Generator polynomials without their top term, and their widths.
CRC15, CRC17, CRC21 = (0x4599, 15), (0x1685B, 17), (0x102899, 21)


def bits_of(value: int, n: int) -> list[int]:
    return [(value >> (n - 1 - i)) & 1 for i in range(n)]


def crc(bits: list[int], poly: tuple[int, int], init: int = 0) -> int:
    p, width = poly
    reg, mask = init, (1 << width) - 1
    for b in bits:
        feedback = ((reg >> (width - 1)) & 1) ^ b
        reg = (reg << 1) & mask
        if feedback:
            reg ^= p
    return reg


def stuff(bits: list[int]) -> tuple[list[int], list[bool]]:
    """Bits with a complement inserted after every 5 equal ones (stuff bits
    count in the runs); also which of them are stuff bits. A stuff bit after
    the last bit is included."""
    out: list[int] = []
    marks: list[bool] = []
    last, run = None, 0
    for b in bits:
        out.append(b)
        marks.append(False)
        run = run + 1 if b == last else 1
        last = b
        if run == 5:
            out.append(1 - b)
            marks.append(True)
            last, run = 1 - b, 1
    return out, marks


def reference_bits(can_id: int, flags: int, is64: int, length: int, data: bytes) -> tuple[int, int]:
    """(bits at the nominal rate, bits at the data rate) of one frame."""
    if flags & FLAG_ERROR:
        return 17, 0
    ext = bool(flags & FLAG_EXTENDED)
    if ext:
        ident = bits_of(can_id >> 18, 11) + [1, 1] + bits_of(can_id & 0x3FFFF, 18)  # SRR, IDE
    else:
        ident = bits_of(can_id, 11)
    tail = 1 + 1 + 1 + 7 + 3  # CRC delimiter, ACK, ACK delimiter, EOF, intermission
    if not flags & FLAG_FD:
        if is64 and length > 8:
            dlc = FD_LENGTHS.index(length)
        else:
            dlc = length
        remote = bool(flags & FLAG_REMOTE)
        n = 0 if remote else min(dlc, 8)
        payload = (bytes(data[:n]) + bytes(8))[:n]
        frame = [0] + ident + [1 if remote else 0] + [0, 0] + bits_of(dlc, 4)
        for byte in payload:
            frame += bits_of(byte, 8)
        frame += bits_of(crc(frame, CRC15), 15)
        stuffed, _ = stuff(frame)
        return len(stuffed) + tail, 0
    dlc = next(i for i, v in enumerate(FD_LENGTHS) if v >= length)
    n = FD_LENGTHS[dlc]
    payload = (bytes(data[:n]) + bytes(64))[:n]
    brs = 1 if flags & FLAG_BRS else 0
    esi = 1 if flags & FLAG_ESI else 0
    frame = [0] + ident + [0] + ([] if ext else [0]) + [1, 0]  # RRS, IDE, FDF, res
    brs_at = len(frame)
    frame += [brs, esi] + bits_of(dlc, 4)
    for byte in payload:
        frame += bits_of(byte, 8)
    stuffed, marks = stuff(frame)
    if marks[-1]:  # no dynamic stuff bit before the stuff count
        stuffed.pop()
        marks.pop()
    count = sum(marks)
    gray = (count % 8) ^ ((count % 8) >> 1)
    sc = bits_of(gray, 3) + [bin(gray).count("1") % 2]
    poly = CRC17 if n <= 16 else CRC21
    crc_bits = bits_of(crc(stuffed + sc, poly, 1 << (poly[1] - 1)), poly[1])
    # Fixed stuff bits: before the stuff count, then after every 4 bits.
    fixed_field: list[int] = [1 - stuffed[-1]]
    for i, b in enumerate(sc + crc_bits, 1):
        fixed_field.append(b)
        if i % 4 == 0 and i < len(sc) + len(crc_bits):
            fixed_field.append(1 - b)
    # Bits before the BRS bit on the wire: those of the first brs_at frame bits.
    before = seen = 0
    for m in marks:
        if not m and seen == brs_at:
            break
        before += 1
        seen += not m
    wire = len(stuffed) + len(fixed_field)
    if brs:
        nominal = before + 1 + tail
        return nominal, wire - before - 1
    return wire + tail, 0


def check_crc_catalogue() -> None:
    """The CRC routine against the published check values ("123456789")."""
    msg = [b for ch in b"123456789" for b in bits_of(ch, 8)]
    assert crc(msg, CRC15) == 0x059E
    assert crc(msg, CRC17) == 0x04F03
    assert crc(msg, CRC21) == 0x0ED841


def random_frames(n: int, seed: int = 7) -> tuple[np.ndarray, np.ndarray]:
    """Frames of every kind: classic base/extended data and remote, CAN FD
    with and without BRS (records of both object kinds), error frames; data
    biased towards long runs, so that stuffing is exercised."""
    rng = np.random.default_rng(seed)
    index = np.zeros(n, kv.DT)
    kind = rng.integers(0, 8, n)
    ext = rng.random(n) < 0.5
    index["can_id"] = np.where(ext, rng.integers(0, 1 << 29, n), rng.integers(0, 1 << 11, n))
    # Identifiers of all zeros or ones now and then: the longest runs.
    special = rng.random(n) < 0.05
    index["can_id"][special] = np.where(ext[special], (1 << 29) - 1, 0x7FF) * (
        rng.random(special.sum()) < 0.5
    )
    flags = np.where(ext, FLAG_EXTENDED, 0)
    lengths = np.zeros(n, np.int64)
    is64 = np.zeros(n, np.uint8)
    classic = kind <= 2
    lengths[classic] = rng.integers(0, 16, classic.sum())
    remote = kind == 3
    flags[remote] |= FLAG_REMOTE
    lengths[remote] = rng.integers(0, 16, remote.sum())
    fd = (kind >= 4) & (kind <= 6)
    flags[fd] |= FLAG_FD
    flags[fd & (kind != 4)] |= FLAG_BRS
    flags[fd & (rng.random(n) < 0.3)] |= FLAG_ESI
    is64[fd] = 1
    lengths[fd] = np.array(FD_LENGTHS)[rng.integers(0, 16, fd.sum())]
    # Classic frames read from CAN FD objects: lengths of codes 9..15.
    from_fd = classic & (rng.random(n) < 0.2)
    is64[from_fd] = 1
    lengths[from_fd] = np.array(FD_LENGTHS)[rng.integers(0, 16, from_fd.sum())]
    error = kind == 7
    flags[error] = FLAG_ERROR
    lengths[error] = 0
    index["flags"] = flags
    index["is64"] = is64
    index["len"] = lengths
    index["channel"] = 1
    index["timestamp"] = np.arange(n) * 1000
    stored = np.where(flags & FLAG_FD, lengths, np.minimum(lengths, 8))
    stored[(flags & (FLAG_REMOTE | FLAG_ERROR)) != 0] = 0
    offsets = np.concatenate([[0], np.cumsum(stored)[:-1]])
    index["loc"] = offsets.astype(np.uint64) + (stored.astype(np.uint64) << np.uint64(48))
    total = int(stored.sum())
    pattern = rng.integers(0, 4, total)
    chunk = np.where(pattern == 0, 0, np.where(pattern == 1, 0xFF, rng.integers(0, 256, total)))
    return index, chunk.astype(np.uint8)


def compare(n: int) -> None:
    check_crc_catalogue()
    index, chunk = random_frames(n)
    got = stats.frame_bits((index, chunk))
    raw = chunk.tobytes()
    t0 = time.perf_counter()
    bad = 0
    for i, r in enumerate(index.tolist()):
        _ts, can_id, is64, _ch, length, flags, loc = r
        off, cnt = loc & ((1 << 48) - 1), loc >> 48
        nominal, data = reference_bits(can_id, flags, is64, length, raw[off : off + cnt])
        if nominal + data != got[i]:
            bad += 1
            if bad <= 5:
                print(f"  frame {i}: {r}: reference {nominal}+{data}, frame_bits {got[i]}")
    elapsed = time.perf_counter() - t0
    kinds = {
        "classic": int(((index["flags"] & (FLAG_FD | FLAG_REMOTE | FLAG_ERROR)) == 0).sum()),
        "remote": int(((index["flags"] & FLAG_REMOTE) != 0).sum()),
        "FD": int((((index["flags"] & FLAG_FD) != 0) & ((index["flags"] & FLAG_BRS) == 0)).sum()),
        "FD+BRS": int(((index["flags"] & FLAG_BRS) != 0).sum()),
        "error": int(((index["flags"] & FLAG_ERROR) != 0).sum()),
    }
    print(
        f"frame_bits against the bit-by-bit reference: {n} frames {kinds}: "
        f"{n - bad} agree, {bad} differ (reference {elapsed:.1f} s)"
    )
    if bad:
        raise SystemExit(1)


def traffic(n: int, seed: int = 3) -> tuple[np.ndarray, np.ndarray]:
    """A realistic mix: 100 periodic messages on 2 channels, 10 % CAN FD."""
    rng = np.random.default_rng(seed)
    index = np.zeros(n, kv.DT)
    ids = rng.integers(0, 0x800, 100)
    pick = rng.integers(0, 100, n)
    index["can_id"] = ids[pick]
    index["channel"] = 1 + (pick % 2)
    index["timestamp"] = 1_700_000_000_000_000_000 + np.sort(rng.integers(0, 600 * 10**9, n))
    fd = pick % 10 == 0
    index["flags"] = np.where(fd, FLAG_FD | FLAG_BRS, 0)
    index["is64"] = fd
    index["len"] = np.where(fd, 32, 8)
    stored = index["len"].astype(np.int64)
    offsets = np.concatenate([[0], np.cumsum(stored)[:-1]])
    index["loc"] = offsets.astype(np.uint64) + (stored.astype(np.uint64) << np.uint64(48))
    chunk = rng.integers(0, 256, int(stored.sum())).astype(np.uint8)
    return index, chunk


def median_rate(fn, n: int, runs: int = 5) -> tuple[float, float]:
    times = []
    for _ in range(runs):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    t = statistics.median(times)
    return t, n / t / 1e6


def speed(n: int) -> None:
    frames = traffic(n)
    rates = {1: 500_000, 2: 500_000}
    fast = {1: 2_000_000, 2: 2_000_000}
    runs = {
        "frame_bits": lambda: stats.frame_bits(frames),
        "busload": lambda: stats.busload(frames, rates, data_bitrate=fast),
        "cycles": lambda: stats.cycles(frames),
        "numpy argsort (floor)": lambda: np.argsort(frames[0]["can_id"], kind="stable"),
    }
    print(
        f"speed on {n} frames (100 messages, 2 channels, 10 % CAN FD 32 bytes with BRS), "
        "medians of 5:"
    )
    results = {name: median_rate(fn, n) for name, fn in runs.items()}
    for name, (t, rate) in results.items():
        print(f"  {name:<24}{t * 1e3:9.1f} ms  {rate:7.1f} M frames/s")
    floor = results["numpy argsort (floor)"][0]
    for name in ("busload", "cycles"):
        print(f"  {name} / argsort of the identifiers: {results[name][0] / floor:.2f}")


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--frames", type=int, default=100_000)
    ap.add_argument("--speed-frames", type=int, default=5_000_000)
    args = ap.parse_args()
    compare(args.frames)
    speed(args.speed_frames)


if __name__ == "__main__":
    main()
