"""Kept pages: large results reuse the pages of dropped ones, never their
bytes, and the store keeps to its bound."""

import os
import struct
import subprocess
import sys

import blfbuild as bb
import numpy as np
import pytest

import korvel.korvel as kv

HERE = os.path.dirname(os.path.abspath(__file__))
ETH_EX = struct.Struct("<HHHHQIHHII")


def ethernet_log(path, n, seed, fill=None):
    """n ETHERNET_FRAME_EX objects of 60-400 bytes, random or all `fill`, in
    containers of about 128 KiB; returns the frames."""
    rng = np.random.default_rng(seed)
    frames = [bytes([fill]) * int(s) if fill is not None
              else rng.integers(0, 256, int(s), dtype=np.uint8).tobytes()
              for s in rng.integers(60, 400, n)]
    objs = [bb.obj(120, ETH_EX.pack(28, 0, 1, 0, 0, 0, i & 1, len(f), 0, 0) + f,
                   timestamp=1000 * (i + 1)) for i, f in enumerate(frames)]
    cuts, at = [], 0
    for o in objs:
        at += len(o)
        if not cuts or at - cuts[-1] >= 128 * 1024:
            cuts.append(at)
    path.write_bytes(bb.blf(objs, split=cuts[:-1]))
    return frames


def assert_frames(pair, frames):
    records, payload = pair
    assert len(records) == len(frames)
    assert np.array_equal(payload, np.frombuffer(b"".join(frames), np.uint8))
    offsets = records["loc"] & ((1 << 48) - 1)
    sizes = records["loc"] >> 48
    assert np.array_equal(sizes, [len(f) for f in frames])
    assert np.array_equal(offsets[1:], np.cumsum(sizes)[:-1])


@pytest.fixture(scope="module")
def logs(tmp_path_factory):
    d = tmp_path_factory.mktemp("kept")
    # About 7 MB of payload of 0xAA bytes, then a smaller log of random bytes.
    return (d / "a.blf", ethernet_log(d / "a.blf", 30_000, 1, fill=0xAA),
            d / "b.blf", ethernet_log(d / "b.blf", 20_000, 2))


@pytest.mark.parametrize("threads", [1, 2])
def test_reused_pages_carry_no_bytes_of_dropped_results(logs, threads):
    a, frames_a, b, frames_b = logs
    pair = kv.read_ethernet(str(a), verbose=False, threads=threads)
    assert_frames(pair, frames_a)
    del pair
    assert 0 < kv._kept_pages()[0] <= kv._kept_pages()[1]
    assert_frames(kv.read_ethernet(str(b), verbose=False, threads=threads), frames_b)
    # An MF4 read's first arrays, sized by the file, come from the same store.
    n = 60_000
    index = np.zeros(n, kv.DT)
    index["timestamp"] = 1_700_000_000_000_000_000 + np.arange(n) * 1000
    index["can_id"] = np.arange(n) % 0x7FF
    index["len"] = 8
    index["flags"] = 0x04
    index["loc"] = (np.arange(n, dtype=np.uint64) * 8) | (8 << 48)
    chunk = np.random.default_rng(3).integers(0, 256, n * 8, dtype=np.uint8)
    path = str(a.with_suffix(".mf4"))
    kv.write_mf4(path, (index, chunk), verbose=False)
    back = kv.read_mf4(path, verbose=False, threads=threads)
    assert np.array_equal(back[0], index) and np.array_equal(back[1], chunk)


CHILD = r"""
import sys
sys.path.insert(0, HERE)
import korvel.korvel as kv
from test_kept_pages import assert_frames, ethernet_log
from pathlib import Path

frames = ethernet_log(Path(LOG), 30_000, 4)
pair = kv.read_ethernet(LOG, verbose=False)
assert_frames(pair, frames)
del pair
print(*kv._kept_pages())
"""


DEFAULT = min(1 << 30, os.sysconf("SC_PHYS_PAGES") // 8 * os.sysconf("SC_PAGE_SIZE"))


@pytest.mark.parametrize(("keep_mb", "bound"), [("0", 0), ("3", 3 << 20), ("-5", DEFAULT),
                                                ("2G", DEFAULT)])
def test_keep_bound_from_the_environment(tmp_path, keep_mb, bound):
    code = CHILD.replace("HERE", repr(HERE)).replace("LOG", repr(str(tmp_path / "x.blf")))
    env = {**os.environ, "KORVEL_KEEP_MB": keep_mb}
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          env=env, check=False)
    assert done.returncode == 0, done.stderr
    kept, limit = map(int, done.stdout.split())
    assert limit == bound
    assert kept <= limit


SIZES = r"""
import korvel.korvel as kv
big = kv._block(60 << 20)
big[:] = 1
del big
kept = kv._kept_pages()[0]
# A reader's first arrays, sized by a guess: the big block is far too large for them.
first = kv._block(3 << 20, _estimate=True)
assert kv._kept_pages()[0] == kept, "a reader's first array took the large block"
again = kv._block(40 << 20)  # a large request takes it, warm
assert again[0] == 1
# Sized up front, it takes what it asked for; the rest stays kept, warm too.
assert kv._kept_pages()[0] == kept - (40 << 20), "a sized buffer took more than it needs"
rest = kv._block(20 << 20)
assert rest[0] == 1 and kv._kept_pages()[0] == kept - (60 << 20)
print("ok")
"""


def test_first_arrays_leave_large_kept_blocks_to_large_ones():
    done = subprocess.run([sys.executable, "-c", SIZES], capture_output=True, text=True,
                          check=False)
    assert done.returncode == 0, done.stderr
    assert done.stdout.split() == ["ok"]


CUTS = r"""
import sys
sys.path.insert(0, HERE)
import korvel.korvel as kv
from test_kept_pages import assert_frames, ethernet_log
from pathlib import Path

big = kv._block(60 << 20)
big[:] = 1
del big
frames = ethernet_log(Path(LOG), 22_000, 5)  # about 5 MB of frames
pair = kv.read_ethernet(LOG, verbose=False, threads=1)
assert_frames(pair, frames)
# The payload, a small array grown on the large block, keeps what it fills;
# the rest of the block, warm, stays kept for the next large buffer.
warm = kv._block(40 << 20)
assert warm[-1] == 1, "the large block's tail went back to the system"
del pair
# A buffer sized up front takes a kept block that holds it, not only one of
# twice its size: the payload's block of 6 MiB serves 5.5 MiB.
kept = kv._kept_pages()[0]
again = kv._block(11 << 19)
assert kv._kept_pages()[0] < kept, "a block that holds the request was passed over"
print("ok")
"""


HELD = r"""
import sys
sys.path.insert(0, HERE)
import korvel.korvel as kv
from test_kept_pages import ethernet_log
from pathlib import Path

ethernet_log(Path(LOG), 22_000, 6)
kv.read_ethernet(LOG, verbose=False, threads=1)  # its payload grew on a block now kept
sized = kv._block(14 << 20)  # a buffer sized up front, on a 16 MiB block
sized[:] = 1
del sized
# The next payload grows on the block a growing payload held, not on the
# larger one, which a sized buffer of the same size takes back, warm.
pair = kv.read_ethernet(LOG, verbose=False, threads=1)
again = kv._block(14 << 20)
assert again[-1] == 1, "the sized buffer's block went to a growing one"
print("ok")
"""


@pytest.mark.parametrize("script", [CUTS, HELD], ids=["cut", "held"])
def test_kept_blocks_go_to_buffers_that_use_them(tmp_path, script):
    # In a child: the store starts empty, whatever ran before.
    code = script.replace("HERE", repr(HERE)).replace("LOG", repr(str(tmp_path / "x.blf")))
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          check=False)
    assert done.returncode == 0, done.stderr
    assert done.stdout.split() == ["ok"]
