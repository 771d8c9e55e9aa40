"""Corrupt sizes and counts must not make the reader allocate far beyond
what the input holds. Measured in a child process: NumPy reports its array
allocations to tracemalloc, and the resident peak covers native buffers."""

import os
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))

CHILD = r"""
import contextlib, io, struct, sys, tracemalloc, zlib
sys.path.insert(0, HERE)
import blfbuild as bb
import korvel.korvel as k

def hwm():
    for line in open('/proc/self/status'):
        if line.startswith('VmHWM'):
            return int(line.split()[1]) * 1024

inner = bb.can_msg(1, b"\x01") * 10
cases = {
    "object_count": bb.file_header(0xFFFFFFFF) + bb.container(inner),
    "uncompressed_size": bb.file_header(10) + bb.container(inner, uncompressed_size=0xFFFFFFFF),
    "stored uncompressed_size": bb.file_header(10)
        + bb.container(inner, method=0, uncompressed_size=0xFFFFFFFF),
    "top object_size": bb.file_header(10) + bb.OBJ_BASE.pack(b"LOBJ", 16, 1, 0xFFFFFFF0, 10)
        + bytes(64),
    "inner object_size": bb.file_header(10) + bb.container(
        bb.OBJ_BASE.pack(b"LOBJ", 32, 1, 0xFFFFFFF0, 1) + bytes(100)),
    "header_size": b"LOGG" + struct.pack("<I", 0xFFFFFFF0) + bb.file_header(10)[8:]
        + bb.container(inner),
}
with contextlib.redirect_stdout(io.StringIO()):
    k.read(io.BytesIO(bb.blf([inner])), threads=2)  # warm up: imports, workers
base = hwm()
tracemalloc.start()
for name, data in cases.items():
    for threads in (1, 2):
        tracemalloc.reset_peak()
        try:
            with contextlib.redirect_stdout(io.StringIO()):
                k.read(io.BytesIO(data), threads=threads)
        except (k.BLFError, zlib.error):
            pass
        peak = tracemalloc.get_traced_memory()[1]
        print(name, threads, peak, hwm() - base)
"""


def test_lying_sizes_allocate_little():
    proc = subprocess.run(
        [sys.executable, "-c", CHILD.replace("HERE", repr(HERE))],
        capture_output=True, text=True, timeout=300, check=False,
    )
    assert proc.returncode == 0, proc.stderr[-3000:]
    lines = proc.stdout.splitlines()
    assert len(lines) == 12
    for line in lines:
        traced, resident = line.split()[-2:]
        # The inputs are a few hundred bytes; allow a few MB of working room.
        assert int(traced) < 8 << 20, line
        assert int(resident) < 32 << 20, line
