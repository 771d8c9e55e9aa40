"""Writes starting inputs for the fuzz targets into a folder per target.

Seeds are well-formed inputs in each target's layout, so the fuzzer starts
from the interesting paths (every frame object kind, both header versions,
valid zlib streams) instead of having to discover "LOBJ" and zlib headers.
"""

import os
import random
import struct
import sys
import zlib

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests"))
import blfbuild as bb


def objects(rng):
    objs = [
        bb.can_msg(0x10, b"\x01\x02\x03", timestamp=1),
        bb.can_msg(0x7FF, b"\x09" * 8, obj_type=bb.CAN_MESSAGE2, timestamp=2),
        bb.can_fd(0x1ABCDEF, bytes(range(20)), extended=True, timestamp=3),
        bb.can_error(0x7FF, b"\xee", timestamp=4),
        bb.can_fd64(0x300, bytes(range(12)), timestamp=5, version=2),
        bb.obj(65, b"\x00" * 12, timestamp=6),
    ]
    rng.shuffle(objs)
    return b"".join(objs[: rng.randint(1, len(objs))])


def write(folder, name, data):
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


def main(out):
    rng = random.Random(7)
    for i in range(24):
        data = objects(rng)
        cuts = sorted(rng.sample(range(1, max(len(data), 8)), min(3, len(data) - 1)))
        sizes = [b - a for a, b in zip([0] + cuts, cuts)]
        head = bytes([len(sizes)]) + b"".join(struct.pack("<H", s) for s in sizes)
        write(f"{out}/scan", f"seed{i}", head + struct.pack("<q", 0) + data)
        # Several containers' worth, split inside objects.
        many = b"".join(objects(rng) for _ in range(8))
        cuts = sorted(rng.sample(range(1, len(many)), 5))
        sizes = [b - a for a, b in zip([0] + cuts, cuts)]
        write(f"{out}/stitch", f"seed{i}",
              bytes([len(sizes)]) + b"".join(struct.pack("<H", s) for s in sizes) + many)
        stream = zlib.compress(data, rng.choice([0, 1, 6, 9]))
        mode = rng.randrange(8)
        write(f"{out}/inflate", f"seed{i}", bytes([mode]) + struct.pack("<I", len(data)) + stream)
        # Same stream declaring a smaller window than its distances use.
        cmf = 0x08 | (rng.randrange(7) << 4)
        flg = stream[1] & 0xE0
        flg |= 31 - ((cmf << 8) | flg) % 31 if ((cmf << 8) | flg) % 31 else 0
        write(f"{out}/inflate", f"window{i}",
              bytes([mode]) + struct.pack("<I", len(data)) + bytes([cmf, flg]) + stream[2:])
        sig = struct.pack("<HBBBBB", rng.randrange(64), rng.randrange(64), rng.randrange(256),
                          rng.randrange(6), rng.randrange(4), 8)
        recs = b"".join(struct.pack("<BHB", 1 | rng.randrange(2), 8 * k, 8) for k in range(8))
        write(f"{out}/signals", f"seed{i}", sig + recs + os.urandom(72))
        width = rng.choice([8, 64])
        enc = struct.pack("<BHi", width, rng.randrange(4096), 0)
        for _ in range(6):
            enc += struct.pack("<qIBBBB", rng.randrange(10**9), rng.randrange(1 << 29), 0, 1,
                               rng.choice([0, 3, 8, 12, 64]), rng.choice([0, 4, 8, 0x48, 0x10]))
            enc += os.urandom(width)
        write(f"{out}/encode", f"seed{i}", enc)
        # reader: a whole log (raw mode), and a description of one (built mode).
        objs = [objects(rng) for _ in range(6)]
        stream = b"".join(objs)
        cuts = sorted(rng.sample(range(1, len(stream)), 3))
        log = bb.blf([stream], split=cuts, method=rng.choice([0, 2]))
        write(f"{out}/reader", f"raw{i}", bytes([rng.randrange(3), rng.randrange(256)]) + log)
        write(f"{out}/reader", f"built{i}",
              bytes([0x80 | rng.randrange(4), rng.randrange(256)]) + os.urandom(600))


if __name__ == "__main__":
    main(sys.argv[1])
