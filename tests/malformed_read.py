"""Feeds damaged logs to the reader; run as a script in a child process.

Every case must end in a result or in BLFError / zlib.error, and the threaded
reader (with every container scanned ahead of its turn) and the read in
pieces must end exactly as the single-threaded read: same frames or same
error, same printed lines. The container table and container ranges must end
cleanly too, and reading past the damage must give frames (the same with
threads) whatever the damage. Anything else is printed as a failure; a crash kills the
process, which the parent sees.
"""

import contextlib
import io
import random
import struct
import sys
import warnings
import zlib

import blfbuild as bb
import numpy as np

import korvel.korvel as k

ALLOWED = (k.BLFError, zlib.error)


def small_log(method=2):
    objs = [
        bb.can_msg(0x10, b"\x01\x02\x03", timestamp=1),
        bb.can_fd(0x1ABCDEF, bytes(range(20)), extended=True, timestamp=2),
        bb.can_error(0x7FF, b"\xee", timestamp=3),
        bb.can_fd64(0x300, bytes(range(12)), timestamp=4, version=2),
        bb.can_msg(0x11, b"\x09" * 8, timestamp=5),
    ]
    return bb.blf(objs, split=[60, 150], method=method)


def cases():
    for method in (0, 2):
        log = small_log(method)
        for cut in range(len(log)):
            yield f"m{method} cut {cut}", log[:cut]
        # Every 32-bit field of the header and of each object header set to
        # extreme values.
        for pos in range(0, len(log) - 3, 2):
            for value in (0, 1, 0xFFFFFFFF, 0x7FFFFFFF, len(log) - pos + 1):
                damaged = bytearray(log)
                damaged[pos:pos + 4] = struct.pack("<I", value & 0xFFFFFFFF)
                yield f"m{method} u32 {value} at {pos}", bytes(damaged)
    log = small_log(2)
    rng = random.Random(1)
    for i in range(400):
        damaged = bytearray(log)
        for _ in range(rng.randint(1, 4)):
            damaged[rng.randrange(len(damaged))] ^= 1 << rng.randrange(8)
        yield f"flip {i}", bytes(damaged)
    inner = bb.can_msg(1, b"\x01") * 10
    for usize in (0, 1, len(inner) - 1, len(inner) + 1, 0xFFFFFFFF):
        yield f"usize {usize}", bb.file_header(10) + bb.container(inner, uncompressed_size=usize)
    for size in (0, 1, 15, 16, 17, 31, 32, 47, 0xFFFFFFFF):
        bad = bb.OBJ_BASE.pack(b"LOBJ", 32, 1, size, 1) + bytes(40)
        yield f"inner size {size}", bb.blf([bad])
        top = bb.OBJ_BASE.pack(b"LOBJ", 16, 1, size, 10) + bytes(40)
        yield f"top size {size}", bb.file_header() + top


def outcome(data, threads):
    out = io.StringIO()
    try:
        with contextlib.redirect_stdout(out):
            idx, chk = k.read(io.BytesIO(data), threads=threads, _scan_ahead=True)
        result = ("ok", idx.tobytes(), chk.tobytes())
    except ALLOWED as e:
        result = (type(e).__name__, str(e))
    lines = [ln for ln in out.getvalue().splitlines() if not ln.startswith("load blf cost")]
    return result, lines


def pieces_outcome(data):
    out = io.StringIO()
    pieces = []
    try:
        with contextlib.redirect_stdout(out):
            pieces.extend(k.iter_read(io.BytesIO(data), 2, threads=1))
        idx, chk = k.concat(pieces) if pieces else (np.zeros(0, k.DT), np.zeros(0, np.uint8))
        result = ("ok", idx.tobytes(), chk.tobytes())
    except ALLOWED as e:
        result = (type(e).__name__, str(e))
    lines = [ln for ln in out.getvalue().splitlines() if not ln.startswith("load blf cost")]
    return result, lines


def skip_outcome(data, threads):
    """Reading past damage: frames, or BLFError for a file header that is no
    log's; never any other end."""
    try:
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            idx, chk = k.read(io.BytesIO(data), threads=threads, errors="skip", verbose=False,
                              _scan_ahead=True)
        return ("ok", idx.tobytes(), chk.tobytes(), [str(w.message) for w in caught])
    except k.BLFError as e:
        return ("BLFError", str(e))


def table_and_ranges(data):
    """info() and a range read must end cleanly (ValueError: a range past a
    cut log's end)."""
    try:
        n = len(k.info(io.BytesIO(data), verbose=False)["containers"])
    except ALLOWED:
        return
    for a, b in ((n // 2, n), (0, max(n - 1, 0))):
        try:
            k.read(io.BytesIO(data), containers=(a, b), threads=2, verbose=False)
        except (*ALLOWED, ValueError):
            pass


def main():
    failures = 0
    count = 0
    for name, data in cases():
        count += 1
        try:
            single = outcome(data, 1)
            for how, got in (("threads=4", outcome(data, 4)), ("pieces", pieces_outcome(data))):
                if single != got:
                    failures += 1
                    print(f"FAIL {name}: {how} gave {got!r:.300}, threads=1 {single!r:.300}",
                          file=sys.stderr)
            table_and_ranges(data)
            skipped = skip_outcome(data, 1)
            if skipped != skip_outcome(data, 3):
                failures += 1
                print(f"FAIL {name}: skipping damage differs with threads", file=sys.stderr)
        except Exception as e:  # noqa: BLE001 - report any other kind
            failures += 1
            print(f"FAIL {name}: {type(e).__name__}: {e}", file=sys.stderr)
    print(f"CASES {count} FAILURES {failures}", file=sys.stderr)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
