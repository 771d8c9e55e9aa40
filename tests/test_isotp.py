"""ISO-TP: transfers reassembled from hand-built frame sequences, UDS
responses decoded as cantools decodes them, and the command line."""

import csv
import subprocess
import sys

import cantools
import numpy as np
import pytest
from dravum_frames import make_frames

import korvel
import korvel.isotp as it
import korvel.korvel as kv

UDS = """VERSION ""

NS_ :

BS_:

BU_: Tester ECU

BO_ 2024 Response: 4095 ECU
 SG_ Service M : 7|8@0+ (1,0) [0|255] "" Tester
 SG_ DID m98M : 15|16@0+ (1,0) [0|65535] "" Tester
 SG_ SoC m4660 : 31|16@0+ (0.01,0) [0|100] "%" Tester
 SG_ Far m4660 : 32700|16@1+ (1,0) [0|0] "" Tester
 SG_ Odometer m61840 : 31|32@0+ (0.1,0) [0|0] "km" Tester
 SG_ NRC m127 : 23|8@0+ (1,0) [0|255] "" Tester

SG_MUL_VAL_ 2024 DID Service 98-98;
SG_MUL_VAL_ 2024 SoC DID 4660-4660;
SG_MUL_VAL_ 2024 Far DID 4660-4660;
SG_MUL_VAL_ 2024 Odometer DID 61840-61840;
SG_MUL_VAL_ 2024 NRC Service 127-127;
"""


def split(message, a=b"", width=8):
    """ISO-TP frames carrying `message` (a: the address byte, if any)."""
    room = width - len(a)
    if len(message) <= room - 1 and width == 8:
        return [a + bytes([len(message)]) + message]
    if len(message) <= room - 2 and width > 8:
        return [a + bytes([0, len(message)]) + message]
    if len(message) > 0xFFF:
        head = a + bytes([0x10, 0]) + len(message).to_bytes(4, "big")
    else:
        head = a + bytes([0x10 | len(message) >> 8, len(message) & 0xFF])
    first = width - len(head)
    out = [head + message[:first]]
    for n, k in enumerate(range(first, len(message), room - 1), 1):
        out.append(a + bytes([0x20 | n & 0xF]) + message[k:k + room - 1])
    return out


def run(frames, flags=0, **kw):
    """frames: (can_id, data) or (can_id, data, channel)."""
    index, chunk = make_frames([f[0] for f in frames], [f[1] for f in frames],
                               flags=[flags | (0x40 if f[0] > 0x7FF else 0) for f in frames],
                               channels=[f[2] if len(f) > 2 else 1 for f in frames])
    records, payload = it.transfers((index, chunk), **kw)
    return records, it.payloads((records, payload))


LONG = bytes(range(256)) * 2  # 512 bytes: the sequence numbers wrap many times
FC = bytes([0x30, 0, 0, 0, 0, 0, 0, 0])


def test_request_and_responses():
    frames = [(0x7E0, bytes([2, 0x10, 0x03, 0, 0, 0, 0, 0]))]
    resp = split(LONG)
    frames += [(0x7E8, resp[0]), (0x7E0, FC)] + [(0x7E8, f) for f in resp[1:]]
    frames += [(0x7E9, f) for f in split(b"\x50\x03\x00\x32\x01\xf4")]  # the last one counts too
    records, data = run(frames)
    assert data == [bytes([0x10, 0x03]), LONG, b"\x50\x03\x00\x32\x01\xf4"]
    assert list(records["protocol"]) == [it.ISOTP_SINGLE, it.ISOTP_MULTI, it.ISOTP_SINGLE]
    assert list(records["status"]) == [it.COMPLETE] * 3
    assert list(records["can_id"]) == [0x7E0, 0x7E8, 0x7E9]
    assert records["stop"][1] == (len(frames) - 2) * 1000  # its last consecutive frame
    assert list(records["size"]) == [2, 512, 6]


def test_broken_transfers():
    resp = split(LONG[:40])  # first frame and 5 consecutive frames
    frames = [(0x7E8, f) for f in resp[:3]] + [(0x7E8, resp[4])]  # one missing: gap
    frames += [(0x7E9, f) for f in resp[:2]] + [(0x7E9, split(b"\x01")[0])]  # interrupted
    frames += [(0x7EA, resp[0]), (0x7EA, bytes([0x40, 1, 2])), (0x7EA, resp[1])]  # unknown type
    frames += [(0x7EB, bytes([0x00, 1])), (0x7EB, bytes([0x05, 1, 2])),  # no length, too long
               (0x7EB, bytes([0x10, 5, 1, 2, 3, 4, 5, 6]))]  # a first frame below the minimum
    frames += [(0x7EC, bytes([0x10, 0, 0xFF, 0xFF, 0xFF, 0xFF, 9, 9])),  # 4 GB announced
               (0x7EC, bytes([0x21, 1, 2, 3, 4, 5, 6, 7]))]
    frames += [(0x7ED, f) for f in resp[:2]]  # the log ends
    records, data = run(frames)
    got = [(int(r["can_id"]), int(r["status"])) for r in records]
    assert got == [(0x7E8, it.GAP), (0x7E9, it.INTERRUPTED), (0x7E9, it.COMPLETE),
                   (0x7EA, it.CUT), (0x7EC, it.CUT), (0x7ED, it.CUT)]
    assert data[:3] == [LONG[:20], LONG[:13], b"\x01"]
    assert data[3] == LONG[:13]  # the unknown frame type left the transfer as it was
    assert records["size"][4] == 0xFFFFFFFF and data[4] == bytes([9, 9, 1, 2, 3, 4, 5, 6, 7])


@pytest.mark.parametrize("width", [8, 64])
def test_short_first_or_middle_frames_are_gaps(width):
    # Segmentation is fixed: the first frame fills its frame, every
    # consecutive frame but the last carries the first frame's length.
    resp = split(LONG[:150], width=width)
    last = resp[-1]
    resp[-1] = last.ljust(width, b"\xaa")  # padding, which bytes missing before would take
    short_first = [resp[0][:-2], *resp[1:]]
    short_middle = [resp[0], resp[1][:-1], *resp[2:]]
    long_middle = [resp[0], resp[1] + b"\x55", *resp[2:]]
    short_last = [*resp[:-1], last[:-1]]
    frames = [(0x7E8, f) for f in short_first] + [(0x7E9, f) for f in short_middle]
    frames += [(0x7EA, f) for f in long_middle] + [(0x7EB, f) for f in short_last]
    frames += [(0x7EC, f) for f in resp]
    records, data = run(frames, flags=0x08 if width > 8 else 0)
    got = [(int(r["can_id"]), int(r["status"])) for r in records]
    assert got == [(0x7E8, it.GAP), (0x7E9, it.GAP), (0x7EA, it.GAP), (0x7EB, it.GAP),
                   (0x7EC, it.COMPLETE)]
    assert data[-1] == LONG[:150] and all(LONG.startswith(d) for d in data)


@pytest.mark.parametrize("addressing", ["extended", "mixed"])
def test_address_byte_keys_and_fixed_addressing(addressing):
    a, b = split(LONG[:30], b"\xf1"), split(LONG[30:60], b"\xf2")
    frames = [(0x600, f) for pair in zip(a, b) for f in pair] + [(0x600, a[0], 2)]
    records, data = run(frames, ids=[0x600], addressing=addressing)
    assert data == [LONG[:30], LONG[30:60], LONG[:5]]
    assert list(records["destination"]) == [0xF1, 0xF2, 0xF1]
    assert list(records["status"]) == [it.COMPLETE, it.COMPLETE, it.CUT]
    # Normal fixed addressing: target and source from the identifier.
    records, _ = run([(0x18DAF110, f) for f in split(b"\x22\xf1\x90")])
    assert (records["destination"][0], records["source"][0], records["flags"][0]) == (
        0xF1, 0x10, 0x40)


def test_can_fd_escapes():
    mid = LONG[:40]  # a single frame beyond 8 bytes: length escape
    big = bytes(range(200)) * 25  # 5000 bytes: 32-bit first frame length
    frames = [(0x7E8, f) for f in split(mid, width=64)] + [(0x7E9, f) for f in
                                                          split(big, width=64)]
    records, data = run(frames, flags=0x08)
    assert data == [mid, big]
    assert list(records["flags"]) == [0x08, 0x08]
    assert list(records["status"]) == [it.COMPLETE] * 2


def test_ids_and_channels():
    frames = [(0x123, split(b"\x01\x02")[0]), (0x7FF, split(b"\x03")[0]),
              (0x800, split(b"\x04")[0]), (0x1000, split(b"\x05")[0], 2),
              (0x7DF, split(b"\x06")[0])]
    _, data = run(frames, ids=[0x123, (0x7F0, 0x800), range(0x1000, 0x2000, 0x800)])
    assert data == [b"\x01\x02", b"\x03", b"\x04", b"\x05"]
    _, data = run(frames, ids=[0x123, (0x7F0, 0x800), range(0x1000, 0x2000, 0x800)],
                  channels=[2])
    assert data == [b"\x05"]
    assert run(frames)[1] == [b"\x06"]  # the standard diagnostic identifiers
    # An identifier up to 0x7FF names a base frame, above it an extended one.
    index, chunk = make_frames([0x7E8], [split(b"\x07")[0]], flags=[0x40])
    assert len(it.transfers((index, chunk))[0]) == 0


@pytest.mark.parametrize(("kwargs", "error"), [
    ({"ids": [-1]}, ValueError), ({"ids": [0x20000000]}, ValueError),
    ({"ids": [(5, 1)]}, ValueError), ({"ids": ["0x7E0"]}, TypeError),
    ({"ids": [(1, 2, 3)]}, TypeError), ({"ids": 0x7E0}, TypeError), ({"ids": [True]}, TypeError),
    ({"addressing": "fixed"}, ValueError), ({"addressing": 1}, TypeError),
    ({"channels": [300]}, ValueError),
])
def test_bad_arguments(kwargs, error):
    with pytest.raises(error):
        it.transfers(make_frames([1], [bytes(8)]), **kwargs)


def test_uds_decode_equals_cantools(tmp_path):
    db = cantools.database.load_string(UDS, "dbc")
    rng = np.random.default_rng(1)
    big = bytes([0x62, 0x12, 0x34]) + rng.integers(0, 256, 4092, dtype=np.uint8).tobytes()
    odo = bytes([0x62, 0xF1, 0x90, 0, 1, 0x86, 0xA0])
    messages = [big, odo, bytes([0x7F, 0x22, 0x31]), bytes([0x62, 0x12, 0x34, 0x27])]
    frames = [(0x7E8, f) for m in messages for f in split(m)]
    index, chunk = make_frames([f[0] for f in frames], [f[1] for f in frames])
    pair = it.transfers((index, chunk))
    t = korvel.decode(pair, db)["Response"]
    assert t.num_rows == 4
    for r, message in enumerate(messages):
        want = db.decode_message("Response", message, decode_choices=False, allow_truncated=True)
        got = {s.name: t[s.name][r] for s in db.messages[0].signals}
        assert {k: v for k, v in got.items() if not np.isnan(v)} == pytest.approx(want)

    # The command line: decode on chosen identifiers, and the listing.
    path, dbc = tmp_path / "uds.blf", tmp_path / "uds.dbc"
    with open(path, "wb") as f:
        kv.write(f, (index, chunk), verbose=False)
    dbc.write_text(UDS)
    proc = subprocess.run([sys.executable, "-m", "korvel", "decode", str(path), "--dbc", str(dbc),
                           "--transport", "isotp:0x7E0-0x7EF", "-o", "-"], capture_output=True,
                          text=True, check=True)
    rows = list(csv.DictReader(proc.stdout.splitlines()))
    assert [r["Service"] for r in rows] == ["98", "98", "127", "98"]
    assert float(rows[1]["Odometer"]) == 10000.0 and float(rows[0]["Far"]) == t["Far"][0]
    listing = subprocess.run([sys.executable, "-m", "korvel", "transfers", str(path),
                              "--protocol", "isotp", "--ids", "0x7E8"], capture_output=True,
                             text=True, check=True).stdout.splitlines()
    assert listing[1].split()[1:7] == ["0", "0x7E8", "0x00", "0x00", "ISO-TP-multi", "4095"]
    assert "4095" in listing[1] and "62 12 34" in listing[1] and len(listing) == 5
