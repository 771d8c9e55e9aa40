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
        # Other buses and events: LIN, Ethernet (whole, and cut short), FlexRay, a marker.
        bb.obj(11, struct.pack("<HBB8sBBBBHBx", 1, 5, 4, b"abcdefgh", 0, 0, 0, 0, 7, 0),
               timestamp=7),
        bb.obj(120, struct.pack("<HHHHQIHHII", 28, 2, 1, 3, 0, 0, 0, 20, 0, 0) + bytes(20),
               timestamp=8),
        bb.obj(71, struct.pack("<6sH6sHHHHH8x", b"\1" * 6, 2, b"\2" * 6, 0, 0x800, 0x8100, 5,
                               90) + bytes(10), timestamp=9),
        bb.obj(66, struct.pack("<HHHHIIHHHHHHIIII", 1, 1, 3, 0, 0, 0, 9, 0, 0, 4, 4, 3, 0, 0,
                               0x1C, 0) + bytes(40) + b"\x11\x22\x33\x44", timestamp=10),
        bb.obj(96, struct.pack("<IIIBBHIIIIQ", 0, 0, 0, 1, 0, 0, 2, 3, 0, 0, 0) + b"GrM1",
               timestamp=11),
    ]
    rng.shuffle(objs)
    return b"".join(objs[: rng.randint(1, len(objs))])


# j1939: one frame as the j1939 target reads it (kind and addresses, shape,
# then the fields its kind draws). Kinds: 0 TP.CM, 1 TP.DT, 3 ETP.CM,
# 4 ETP.DT, 6 fast packet; 0x7F starts a run of ETP packets (40 a unit) when
# the header allows runs.
def j1939_frame(kind, src, dst, fields, step=1, channel=0):
    return bytes([kind | src << 3 | dst << 5, step << 4 | channel << 7]) + fields


def j1939_session(rng, which, src, dst):
    body = bytes(rng.randrange(256) for _ in range(7 * 40))
    frames = []
    if which == "bam":
        size = rng.randrange(9, 64)
        frames.append(j1939_frame(0, src, 3, bytes([5 | rng.randrange(3) << 4, size])))
        for k in range((size + 6) // 7):
            frames.append(j1939_frame(1, src, 3, bytes([k + 1]) + body[7 * k:7 * k + 7]))
    elif which == "rts":
        size = rng.randrange(9, 64)
        packets = (size + 6) // 7
        frames.append(j1939_frame(0, src, dst, bytes([0, size])))
        frames.append(j1939_frame(0, dst, src, bytes([2, packets << 5 & 0xE0 | 1])))
        for k in range(packets):
            frames.append(j1939_frame(1, src, dst, bytes([k + 1]) + body[7 * k:7 * k + 7]))
        if rng.random() < 0.3:  # asks for the last two again
            frames.append(j1939_frame(0, dst, src, bytes([2, 2 << 5 | max(packets - 1, 1)])))
            for k in range(max(packets - 2, 0), packets):
                frames.append(j1939_frame(1, src, dst, bytes([k + 1]) + body[7 * k:7 * k + 7]))
        end = 7 if rng.random() < 0.2 else 4  # abort or end of message
        frames.append(j1939_frame(0, dst, src, bytes([end, 0])))
    elif which == "etp":
        size = rng.randrange(9, 128)
        packets = (size + 6) // 7
        frames.append(j1939_frame(3, src, dst, bytes([8, size])))
        frames.append(j1939_frame(3, dst, src, bytes([10, 7 << 5 | 1])))
        sent = 0
        while sent < packets:
            frames.append(j1939_frame(3, src, dst, bytes([12, 7 << 5 | sent & 0x1F])))
            for k in range(min(7, packets - sent)):
                frames.append(j1939_frame(4, src, dst,
                                          bytes([k + 1]) + body[7 * (sent + k):7 * (sent + k) + 7]))
            sent += 7
        frames.append(j1939_frame(3, dst, src, bytes([13, 0])))
    else:  # fast packet
        size = rng.randrange(1, 60)
        seq = rng.randrange(8) << 5
        pgn_bit = rng.randrange(2)
        frames.append(j1939_frame(6, src, pgn_bit, bytes([seq, size]) + body[:6]))
        for k in range(1, size // 7 + 1):  # the 6 bytes of the first frame, then 7 each
            frames.append(j1939_frame(6, src, pgn_bit, bytes([seq | k]) + body[7 * k:7 * k + 7]))
    return frames


def j1939_input(rng):
    sessions = [j1939_session(rng, rng.choice(["bam", "rts", "etp", "fast"]), src, rng.randrange(3))
                for src in range(rng.randint(1, 3))]
    frames = []
    while any(sessions):  # interleaved, each in its own order
        s = rng.choice([s for s in sessions if s])
        frames.append(s.pop(0))
    mode = rng.randrange(3) | rng.randrange(8) << 3
    head = bytes([mode, rng.randrange(len(frames) + 1), rng.randrange(len(frames) + 1), 0xFF,
                  rng.randrange(1, 4)])
    return head + b"".join(frames)


def j1939_long_etp(units):
    """An ETP transfer of `units` * 40 packets in one run, then its end."""
    rts = j1939_frame(3, 0, 1, bytes([8 | 0x40, 0]) + struct.pack("<I", units * 40 * 7))
    run = bytes([0x7F, 1 << 2, units])
    eoma = j1939_frame(3, 1, 0, bytes([13, 0]))
    return bytes([0, 0, 0, 0xFF, 1 | 0x1C]) + rts + run + eoma


def stats_input(rng):
    """Records as the stats target reads them: the window, then per record a
    kind byte (flags, 0x80 a CAN FD object), a shape byte, the length, the
    identifier, the stored count and that many payload bytes."""
    out = bytearray(struct.pack("<H", rng.randrange(65536)))
    for _ in range(rng.randrange(1, 60)):
        kind = rng.choice([0x00, 0x40, 0x20, 0x88, 0xCA, 0x8B, 0x10, 0x5A])
        fd = kind & 0x08
        length = rng.choice([0, 3, 8, 12, 20, 64]) if fd else rng.randrange(16)
        stored = 0 if kind & 0x30 else (length if fd else min(length, 8))
        payload = bytes(rng.choice([0, 0xFF, rng.randrange(256)]) for _ in range(stored))
        shape = 0xC0 | rng.randrange(4) | rng.choice([0x04, 0x08, 0x10])
        out += bytes([kind, shape, length]) + struct.pack("<I", rng.randrange(1 << 29))
        out += bytes([stored]) + payload
    return bytes(out)


def isotp_input(rng):
    """Exchanges as the isotp target reads them: a mode byte, then per frame a
    shape byte (identifier, length, FD), the protocol control byte and five
    bytes after it (a first frame's length, then data)."""
    mode = rng.randrange(3) | rng.randrange(16) << 4
    a = 0 if mode % 3 == 0 else 1
    out = bytearray([mode])
    for _ in range(rng.randrange(1, 6)):
        size = rng.choice([3, 7, 20, 100, 4095])
        ident = rng.randrange(4)
        if size <= 7 - a:
            out += bytes([ident, size]) + bytes(5)
            continue
        out += bytes([ident, 0x10 | size >> 8, size & 0xFF]) + bytes(4)
        carried = 6 - a
        sn = 1
        while carried < size and len(out) < 3000:
            out += bytes([ident, 0x20 | sn & 0xF]) + bytes(5)
            carried += 7 - a
            sn += 1
    return bytes(out)


def window_input(rng):
    """A window, containers' first times (ascending, some not found), then the
    start of a container's data: the tail of an object begun before it and
    whole objects."""
    start = rng.randrange(-20, 60)
    head = struct.pack("<bB", start, rng.randrange(40))
    times = sorted(rng.randrange(-50, 100) for _ in range(rng.randrange(1, 20)))
    if rng.random() < 0.2:
        times.reverse()
    head += bytes([len(times)]) + b"".join(
        struct.pack("<Bb", rng.choice([0, 0, 0, 1, 2]), t) for t in times)
    data = objects(rng) + objects(rng)
    return head + bytes([rng.randrange(2)]) + data[rng.randrange(len(data) // 2):]


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
        # The first bytes of it, asked for in steps; and the same with a byte
        # changed, where zlib fails or reads on.
        asks = [rng.randrange(1, 4097) for _ in range(rng.randrange(5))]
        head = bytes([len(asks)]) + b"".join(struct.pack("<H", a - 1) for a in asks)
        write(f"{out}/prefix", f"seed{i}", head + stream)
        bent = bytearray(stream)
        bent[rng.randrange(2, len(bent))] ^= 1 << rng.randrange(8)
        write(f"{out}/prefix", f"bent{i}", head + bytes(bent))
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
        write(f"{out}/j1939", f"seed{i}", j1939_input(rng))
    # reader: CAN FD payloads that look like objects, cut by container ends (for
    # the first objects that resynchronising and windows look for), and
    # channels above 255.
    fake = bb.can_msg(0x7AB, b"FAKEDATA", timestamp=99)
    for i, size in enumerate([48, 200, 0x8000]):
        fake_obj = fake[:8] + struct.pack("<I", size) + fake[12:]
        objs = [bb.can_msg(0x100 + k, bytes(8), channel=300 * (k % 2) + 1, timestamp=k)
                for k in range(4)]
        objs += [bb.can_fd(0x200, bytes(3 + i) + fake_obj + bytes(13 - i), timestamp=5)]
        objs += [bb.can_msg(0x300 + k, bytes(8), timestamp=6 + k) for k in range(4)]
        log = bb.blf(objs, split=[4 * len(objs[0]) + 40 + 4 * i, 4 * len(objs[0]) + 100])
        write(f"{out}/reader", f"fake{i}", bytes([rng.randrange(3), rng.randrange(256)]) + log)
    # Past the size at which a finished session's buffer is given back.
    write(f"{out}/j1939", "long-etp", j1939_long_etp(250))
    for i in range(16):
        write(f"{out}/isotp", f"seed{i}", isotp_input(rng))
        write(f"{out}/window", f"seed{i}", window_input(rng))
    for i in range(16):
        write(f"{out}/stats", f"seed{i}", stats_input(rng))
    # Text readers: two bytes choose the block and piece sizes, then the text:
    # the samples the tests read, whole and with a line of garbage in them.
    tests = os.path.join(os.path.dirname(__file__), "..", "tests")
    sys.path.insert(0, tests)
    import text_samples as tt

    samples = {"asc": [tt.ASC, tt.ASC_DEC, TEXT_ASC_RELATIVE, TEXT_ASC_FLAGS, tt.ASC_BUSES],
               "candump": [tt.CANDUMP, tt.MALFORMED["log"][0] + "\n".join(tt.MALFORMED["log"][1]),
                           TEXT_CANDUMP_ODD],
               "trc": list(tt.TRC.values()) + [TEXT_TRC_FAR]}
    samples["asc"].append(tt.MALFORMED["asc"][0] + "\n".join(tt.MALFORMED["asc"][1]))
    samples["trc"].append(tt.MALFORMED["trc"][0] + "\n".join(tt.MALFORMED["trc"][1]))
    for target, texts in samples.items():
        for i, text in enumerate(texts):
            data = text.encode()
            write(f"{out}/{target}", f"seed{i}", bytes([rng.randrange(256), rng.randrange(256)]) + data)
            cut = rng.randrange(len(data))
            write(f"{out}/{target}", f"cut{i}", bytes([rng.randrange(256), rng.randrange(256)])
                  + data[:cut] + b"\x00garbage \xff line\r\n" + data[cut:])


    # MF4: the real logger files of both layouts (and the regression folder's
    # written files), each after a mode byte (bit 0 errors="skip", bit 1 two threads).
    shipped = os.path.join(os.path.dirname(__file__), "..", "examples", "data", "mf4")
    for name in sorted(os.listdir(shipped)):
        if name.endswith(".MF4"):
            with open(os.path.join(shipped, name), "rb") as f:
                data = f.read()
            for mode in range(4):
                write(f"{out}/mf4", f"{name}-{mode}", bytes([mode]) + data)

    # MF4 LIN and Ethernet groups (with CAN and FlexRay ones), read with bit 2 set.
    sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests"))
    import mdfbuild as mb

    lin = mb.Group([mb.Field("BusChannel", 8, 0, 8), mb.Field("ID", 9, 0, 6),
                    mb.Field("Dir", 9, 7, 1), mb.Field("DataLength", 10, 0, 8),
                    mb.Field("Checksum", 11, 0, 8), mb.Field("DataBytes", 12, 0, 64, 10)], 20,
                   [struct.pack("<QBBBB", 10 * k, 1, k, k % 12, k) + bytes(range(k, k + 8))
                    for k in range(6)], record_id=1, kind="LIN_Frame", bus=3)
    wake = mb.Group([mb.Field("BusChannel", 0, 0, 0, cn_type=6, conversion=(1, (2.0, 0.0)))], 8,
                    [struct.pack("<Q", 15)], record_id=2, kind="LIN_WakeUp", bus=3)
    eth = mb.Group([mb.Field("BusChannel", 8, 0, 8), mb.Field("Dir", 9, 0, 1),
                    mb.Field("Destination", 10, 0, 48, 10), mb.Field("Source", 16, 0, 48, 10),
                    mb.Field("EtherType", 22, 0, 16), mb.Field("DataLength", 24, 0, 16),
                    mb.Field("DataBytes", 26, 0, 8 * 30, 10)], 56,
                   [struct.pack("<QBB", 7 * k, 1, k & 1) + bytes(range(14))
                    + struct.pack("<H", 10 * k) + bytes(30) for k in range(5)],
                   record_id=3, kind="ETH_Frame", bus=7)
    flx = mb.Group([mb.Field("FrameID", 8, 0, 11)], 10, [bytes(10)], record_id=4,
                   kind="FLX_Frame", bus=5)
    for i, (groups, rec_id, how) in enumerate([([lin, wake, eth, flx], 1, "DT"),
                                              ([lin, eth], 2, "DZ"), ([eth], 0, "DL"),
                                              ([lin], 0, "DT")]):
        write(f"{out}/mf4", f"buses{i}", bytes([4 | i & 3])
              + mb.build(groups, rec_id_size=rec_id, data=how, piece=45))

    # pcapng: a count, a stride step, then records (each followed by a word
    # whose bit 0 asks for a payload location within reach) and the payload.
    for i, (count, step) in enumerate([(0, 0), (3, 0), (5, 1), (12, 2)]):
        body = b""
        for k in range(count):
            rec = struct.pack("<qHHHBBQ", 10**18 + k * 1000, k % 3, 0, 60 + k, 0x04 * (k % 2), 120,
                              k * 16 | (16 + k) << 48)
            body += rec + struct.pack("<H", 1 | (k * 8) << 1 | (16 + k) << 7)
        write(f"{out}/pcapng", f"seed{i}", bytes([count, step]) + body + bytes(range(256)) * 2)


TEXT_ASC_RELATIVE = """date Mon Sep 30 03:06:13.500 PM 2019
base hex  timestamps relative
   0.100000 1  1 Rx d 0
Begin Triggerblock Tue Oct 1 08:00:00 2019
   0.000001 CANFD 3 Tx 1x Name 1 1 f 64 """ + " ".join(["AB"] * 64) + "\n"

# A headerless event file: another bus first, CANFD lines whose flags column
# says FD, BRS, ESI and remote, times that overflow once the date is added.
TEXT_ASC_FLAGS = """   0.1 L1 Rx 23 Header 2 data 00
   0.2 CANFD 1 Rx 123 0 0 0  0 0 0 1000 0
   0.3 CANFD 1 Rx 123 1 1 2  2 01 02 0 0 7000 0
   0.4 CANFD 2 Tx 123 1 0 a  8 01 02 03 04 05 06 07 08 0 0 2000 0
   0.5 CANFD 3 Tx 50005x 0 1 5 0 140000 73 200050 7a60 0
   0.6 CANFD 1 Rx 123 Name 1 0 3 0
date Thu Feb 1 10:00:00 2024
 9223372036.854775 1 1 Rx d 0
Begin Triggerblock Fri Feb 30 10:00:00 2024
"""

TEXT_CANDUMP_ODD = """# candump -l
(1.0) vcan0 FFF#00
(1.1) vcan0 7FF#R9
(1.2) vcan0 123#R15 T
(1.3) vcan0 123#R16
"""

TEXT_TRC_FAR = """;$FILEVERSION=2.0
;$STARTTIME=45000
;$COLUMNS=N,O,T,I,d,l,D
 1 1.0 DT 0100 Rx 0
 2 9000000000000.0 DT 0100 Rx 0
;$STARTTIME=140000.5
"""


if __name__ == "__main__":
    main(sys.argv[1])
