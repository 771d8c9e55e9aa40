"""J1939: messages matched by PGN (checked against cantools), not-available
values, and multi-packet messages reassembled from hand-built sessions."""

import csv
import os
import subprocess
import sys
from pathlib import Path

import cantools
import numpy as np
import pytest
from dravum_frames import make_frames

import korvel
import korvel.j1939 as j
import korvel.korvel as kv

DBC = """VERSION ""

NS_ :

BS_:

BU_: Engine Tool

BO_ 2364540158 EEC1: 8 Engine
 SG_ Mode : 0|4@1+ (1,0) [0|15] "" Tool
 SG_ Torque : 8|8@1+ (1,-125) [-125|125] "%" Tool
 SG_ Speed : 24|16@1+ (0.125,0) [0|8031.875] "rpm" Tool
 SG_ Two : 52|2@1+ (1,0) [0|3] "" Tool
 SG_ Signed : 56|8@1- (1,0) [0|0] "" Tool

BO_ 2364540175 EEC1_Retarder: 8 Engine
 SG_ Speed : 24|16@1+ (0.125,0) [0|8031.875] "rpm" Tool

BO_ 2348810494 TSC1: 8 Tool
 SG_ Override : 0|2@1+ (1,0) [0|3] "" Engine
 SG_ Request : 8|16@1+ (0.125,0) [0|8031.875] "rpm" Engine
 SG_ Wide : 24|32@1+ (1,0) [0|0] "" Engine

BO_ 2566834942 DM1: 14 Engine
 SG_ Lamps : 0|8@1+ (1,0) [0|255] "" Tool
 SG_ SPN1 : 16|19@1+ (1,0) [0|524287] "" Tool
 SG_ FMI1 : 35|5@1+ (1,0) [0|31] "" Tool
 SG_ SPN2 : 48|19@1+ (1,0) [0|524287] "" Tool
 SG_ FMI2 : 67|5@1+ (1,0) [0|31] "" Tool

BO_ 2566844926 Other: 8 Engine
 SG_ Byte : 0|8@1+ (1,0) [0|255] "" Tool

BO_ 1234 Plain: 8 Engine
 SG_ X : 0|8@1+ (1,0) [0|255] "" Tool

BA_DEF_ BO_ "VFrameFormat" ENUM "StandardCAN","ExtendedCAN","reserved","J1939PG";
BA_ "VFrameFormat" BO_ 2364540158 3;
BA_ "VFrameFormat" BO_ 2364540175 3;
BA_ "VFrameFormat" BO_ 2348810494 3;
BA_ "VFrameFormat" BO_ 2566834942 3;
BA_ "VFrameFormat" BO_ 1234 0;
VAL_ 2364540158 Mode 14 "Error" 0 "Idle" ;
VAL_ 2348810494 Override 3 "NotAvailable" ;
"""
EXT = 0x40


@pytest.fixture(scope="module")
def db():
    return cantools.database.load_string(DBC, "dbc")


def expected_message(db, can_id, extended, mode="auto"):
    """The message a frame belongs to, by the matching rules written out plainly."""
    msgs = db.messages
    for m in msgs:
        if m.frame_id == can_id and m.is_extended_frame == extended:
            return m
    if not extended:
        return None
    by_pgn = [m for m in msgs if m.is_extended_frame
              and (m.protocol == "j1939" if mode == "auto" else mode)]
    same = [m for m in by_pgn if j.pgn(m.frame_id) == j.pgn(can_id)]
    for m in same:
        if m.frame_id & 0xFF == can_id & 0xFF:
            return m
    return same[0] if same else None


@pytest.mark.parametrize("mode", ["auto", True, False])
def test_pgn_matching_equals_cantools(db, mode):
    rng = np.random.default_rng(3)
    pgns = [0x0CF00400, 0x18FECA00, 0x0C000000, 0x18FEF100, 0x18FEFC00]
    ids, flags, payloads = [], [], []
    for _ in range(3000):
        base = pgns[rng.integers(len(pgns))]
        ident = (base & 0x03FFFF00) | int(rng.integers(0, 8)) << 26 | int(rng.choice([0, 3, 0xF, 0xFE]))
        if base & 0xFF0000 == 0:  # PDU1: a destination in the PDU-specific byte
            ident |= int(rng.choice([0, 3, 0xFF])) << 8
        extended = rng.random() > 0.05
        if not extended:
            ident = int(rng.choice([1234, 0x4FE, 0x400]))
        ids.append(ident)
        flags.append(EXT if extended else 0)
        payloads.append(rng.integers(0, 256, 8, dtype=np.uint8).tobytes())
    frames = make_frames(ids, payloads, flags=flags)
    tables = korvel.decode(frames, db, j1939=mode, j1939_na="keep")
    rows = {name: 0 for name in tables}
    for i, (ident, fl, data) in enumerate(zip(ids, flags, payloads)):
        m = expected_message(db, ident, bool(fl & EXT), mode)
        if m is None:
            continue
        t = tables[m.name]
        r = rows[m.name]
        rows[m.name] += 1
        assert t["timestamp"][r] == frames[0]["timestamp"][i]
        by_pgn = m.is_extended_frame and (m.protocol == "j1939" if mode == "auto" else mode)
        assert ("source" in t) == by_pgn
        if by_pgn:
            assert t["source"][r] == ident & 0xFF
            assert ("destination" in t) == ((m.frame_id >> 16) & 0xFF < 240)
            if "destination" in t:
                assert t["destination"][r] == (ident >> 8) & 0xFF
        want = db.decode_message(m.frame_id, data, decode_choices=False, allow_truncated=True)
        got = {s.name: t[s.name][r] for s in m.signals}
        assert {k: v for k, v in got.items() if not np.isnan(v)} == pytest.approx(want)
    assert rows == {name: t.num_rows for name, t in tables.items()}


def test_not_available_values(db):
    # EEC1 from the engine: Mode 14 is labelled, Two 3 and Speed 0xFE01 are not.
    data = bytes([0x0E, 0xFF, 0, 0x01, 0xFE, 0, 0x30, 0x80])
    frames = make_frames([0x0CF00400, 0x0CF00400], [data, bytes(8)], flags=[EXT, EXT])
    t = korvel.decode(frames, db)["EEC1"]
    assert np.isnan(t["Speed"][0]) and np.isnan(t["Two"][0]) and np.isnan(t["Torque"][0])
    assert t["Mode"][0] == 14 and t["Signed"][0] == -128  # 4-bit and signed: as they are
    assert t["Speed"][1] == 0 and t["Two"][1] == 0
    labels = korvel.decode(frames, db, choices=True)["EEC1"]
    assert list(labels["Mode"]) == ["Error", "Idle"]
    tsc1 = make_frames([0x0C000003] * 2, [bytes([3, 0, 0, 0, 0, 0, 0xFE, 0]),
                                          bytes([2, 0, 0, 0, 0, 0, 0, 0])], flags=[EXT, EXT])
    t = korvel.decode(tsc1, db, choices=True)["TSC1"]
    assert list(t["Override"]) == ["NotAvailable", None]
    assert np.isnan(t["Wide"][0]) and t["Wide"][1] == 0
    kept = korvel.decode(frames, db, j1939_na="keep")["EEC1"]
    assert kept["Speed"][0] == 0xFE01 * 0.125 and kept["Two"][0] == 3


@pytest.mark.parametrize(("kwargs", "error"), [
    ({"j1939": "yes"}, ValueError), ({"j1939": 1}, TypeError), ({"j1939": None}, TypeError),
    ({"j1939_na": "drop"}, ValueError), ({"j1939_na": False}, TypeError),
])
def test_bad_arguments(db, kwargs, error):
    frames = make_frames([1], [bytes(8)])
    with pytest.raises(error):
        korvel.decode(frames, db, **kwargs)


# --- multi-packet messages -----------------------------------------------------------------


def cm(control, src, dst, body, pgn, prio=7, etp=False):
    ident = prio << 26 | (0xC8 if etp else 0xEC) << 16 | dst << 8 | src
    return ident, bytes([control, *body, pgn & 0xFF, (pgn >> 8) & 0xFF, pgn >> 16])


def dt(seq, src, dst, data, etp=False):
    ident = 7 << 26 | (0xC7 if etp else 0xEB) << 16 | dst << 8 | src
    return ident, bytes([seq]) + data.ljust(7, b"\xff")


def packets(src, dst, message, first=1, etp=False):
    return [dt(first + i if not etp else i + 1, src, dst, message[k:k + 7], etp)
            for i, k in enumerate(range(0, len(message), 7))]


def bam(src, pgn, message, prio=6):
    n = (len(message) + 6) // 7
    return [cm(0x20, src, 0xFF, [len(message) & 0xFF, len(message) >> 8, n, 0xFF], pgn, prio),
            *packets(src, 0xFF, message)]


def rts(src, dst, pgn, message):
    n = (len(message) + 6) // 7
    return cm(0x10, src, dst, [len(message) & 0xFF, len(message) >> 8, n, 0xFF], pgn)


def eoma(src, dst, pgn, message):
    n = (len(message) + 6) // 7
    return cm(0x13, dst, src, [len(message) & 0xFF, len(message) >> 8, n, 0xFF], pgn)


def run(frames, **kw):
    ids = [f[0] for f in frames]
    index, chunk = make_frames(ids, [f[1] for f in frames], flags=[EXT] * len(ids),
                               channels=[f[2] if len(f) > 2 else 1 for f in frames])
    records, payload = j.transfers((index, chunk), **kw)
    return records, j.payloads((records, payload))


MSG = bytes(range(1, 21))  # 20 bytes: 3 packets


def test_sessions_interleave_and_end_as_they_should():
    a, b = bam(0x00, 0xFECA, MSG), bam(0x0F, 0xFECA, MSG[:9])
    cts = cm(0x11, 0x03, 0x21, [3, 1, 0xFF, 0xFF], 0xEF00)
    conn = [rts(0x21, 0x03, 0xEF00, MSG), cts, *packets(0x21, 0x03, MSG),
            eoma(0x21, 0x03, 0xEF00, MSG)]
    frames = [a[0], conn[0], b[0], conn[1], a[1], b[1], conn[2], a[2], conn[3], b[2], conn[4],
              a[3], conn[5]]
    records, data = run(frames)
    assert list(records["protocol"]) == [j.BAM, j.CMDT, j.BAM]
    assert list(records["status"]) == [j.COMPLETE] * 3
    assert data == [MSG, MSG, MSG[:9]]
    assert list(records["source"]) == [0x00, 0x21, 0x0F]
    assert list(records["destination"]) == [0xFF, 0x03, 0xFF]
    # As a single frame would carry it: priority of the announcement, PGN, source.
    assert list(records["can_id"]) == [0x18FECA00, 0x1CEF0321, 0x18FECA0F]
    assert list(records["stop"]) == [11000, 12000, 9000]  # last packet; the acknowledgement
    assert list(records["size"]) == list(records["received"]) == [20, 20, 9]


def test_retransmission_abort_gap_interrupted_cut():
    # A CTS asking again for packet 2 rewinds; the acknowledgement completes it.
    p = packets(0x21, 0x03, MSG)
    again = cm(0x11, 0x03, 0x21, [2, 2, 0xFF, 0xFF], 0xEF00)
    records, data = run([rts(0x21, 0x03, 0xEF00, MSG), *p, again, p[1], p[2],
                         eoma(0x21, 0x03, 0xEF00, MSG)])
    assert list(records["status"]) == [j.COMPLETE] and data == [MSG]
    broken = [
        # the receiver aborts (PGN must match; another PGN's abort is not ours)
        rts(0x21, 0x03, 0xEF00, MSG), p[0], cm(0xFF, 0x03, 0x21, [1, 0xFF, 0xFF, 0xFF], 0xEE00),
        cm(0xFF, 0x03, 0x21, [1, 0xFF, 0xFF, 0xFF], 0xEF00),
        # a packet lost: the session ends at the gap, its bytes kept
        *bam(0x05, 0xFECA, MSG)[:2], bam(0x05, 0xFECA, MSG)[3],
        # a new announcement before the end
        *bam(0x06, 0xFECA, MSG)[:2], *bam(0x06, 0xFECA, MSG[:9]),
        # the log ends
        *bam(0x07, 0xFECA, MSG)[:3],
    ]
    records, data = run(broken)
    assert [(int(r["source"]), int(r["status"])) for r in records] == [
        (0x21, j.ABORTED), (0x05, j.GAP), (0x06, j.INTERRUPTED), (0x06, j.COMPLETE),
        (0x07, j.CUT)]
    assert data == [MSG[:7], MSG[:7], MSG[:7], MSG[:9], MSG[:14]]
    assert records["stop"][0] == 3000  # the abort


@pytest.mark.parametrize("etp", [False, True])
def test_selective_retransmission_keeps_the_packets_held(etp):
    # RTS(7) · CTS(5 from 1) · DT1-5 · CTS(1 from 3) · DT3 · CTS(2 from 6) · DT6-7 · EoMA
    message = bytes(range(100, 149))  # 49 bytes: 7 packets
    p = packets(0x21, 0x03, message)

    def cts(count, first):
        body = [count, first, 0xFF, 0xFF] if not etp else [count, first, 0, 0]
        return cm(0x15 if etp else 0x11, 0x03, 0x21, body, 0xEF00, etp=etp)

    def data(first, count):  # ETP numbers packets from the data packet offset
        if not etp:
            return p[first - 1:first - 1 + count]
        dpo = cm(0x16, 0x21, 0x03, [count, first - 1, 0, 0], 0xEF00, etp=True)
        return [dpo, *(dt(i + 1, 0x21, 0x03, message[(first - 1 + i) * 7:][:7], etp=True)
                       for i in range(count))]

    size = [49, 0, 7, 0xFF] if not etp else [49, 0, 0, 0]
    frames = [cm(0x14 if etp else 0x10, 0x21, 0x03, size, 0xEF00, etp=etp),
              cts(5, 1), *data(1, 5), cts(1, 3), *data(3, 1), cts(2, 6), *data(6, 2),
              cm(0x17 if etp else 0x13, 0x03, 0x21, size, 0xEF00, etp=etp)]
    records, got = run(frames)
    assert list(records["status"]) == [j.COMPLETE] and got == [message]


def test_fd_flag_only_from_frames_that_carried_data():
    # Connection management on CAN FD frames, the data packets classic.
    conn = [rts(0x21, 0x03, 0xEF00, MSG), cm(0x11, 0x03, 0x21, [3, 1, 0xFF, 0xFF], 0xEF00),
            *packets(0x21, 0x03, MSG), eoma(0x21, 0x03, 0xEF00, MSG)]
    fd = [EXT | 0x08, EXT | 0x08, EXT, EXT, EXT, EXT | 0x08]
    pair = make_frames([f[0] for f in conn], [f[1] for f in conn], flags=fd)
    assert list(j.transfers(pair)[0]["flags"]) == [0x40]
    fd[3] |= 0x08  # a data packet on CAN FD
    pair = make_frames([f[0] for f in conn], [f[1] for f in conn], flags=fd)
    assert list(j.transfers(pair)[0]["flags"]) == [0x48]


@pytest.mark.parametrize("announce", [
    cm(0x20, 1, 0xFF, [8, 0, 2, 0xFF], 0xFECA),  # below 9 bytes
    cm(0x20, 1, 0xFF, [0xFA, 0x06, 255, 0xFF], 0xFECA),  # 1786: above the limit
    cm(0x20, 1, 0xFF, [20, 0, 4, 0xFF], 0xFECA),  # a packet count that does not fit
    cm(0x20, 1, 0x03, [20, 0, 3, 0xFF], 0xFECA),  # a broadcast to one node
    cm(0x10, 1, 0xFF, [20, 0, 3, 0xFF], 0xFECA),  # a connection to everyone
])
def test_invalid_announcements_start_nothing(announce):
    records, _ = run([announce, *packets(1, announce[0] >> 8 & 0xFF, MSG)])
    assert len(records) == 0


def test_extended_transport_and_fast_packet():
    big = bytes(i % 251 for i in range(2000))
    n = (len(big) + 6) // 7
    size = len(big).to_bytes(4, "little")
    frames = [cm(0x14, 0x21, 0x03, size, 0xEF00, etp=True),
              cm(0x15, 0x03, 0x21, [255, 1, 0, 0], 0xEF00, etp=True)]
    for first in range(0, n, 255):  # each run of packets behind its data packet offset
        count = min(255, n - first)
        frames.append(cm(0x16, 0x21, 0x03, [count, *first.to_bytes(3, "little")], 0xEF00,
                         etp=True))
        frames += [dt(i + 1, 0x21, 0x03, big[(first + i) * 7:(first + i + 1) * 7], etp=True)
                   for i in range(count)]
    frames.append(cm(0x17, 0x03, 0x21, size, 0xEF00, etp=True))
    # NMEA 2000 fast packet, sequence counter 2: 6 bytes, then 7 per frame.
    fp_id = 0x09F80502
    fast = bytes(range(40, 57))
    frames += [(fp_id, bytes([0x40, len(fast)]) + fast[:6]), (fp_id, bytes([0x41]) + fast[6:13]),
               (fp_id, bytes([0x42]) + fast[13:].ljust(7, b"\xff"))]
    records, data = run(frames, fast_packet=[0x1F805])
    assert list(records["protocol"]) == [j.ETP, j.FAST_PACKET]
    assert list(records["status"]) == [j.COMPLETE, j.COMPLETE]
    assert data == [big, fast]
    assert records["can_id"][1] == fp_id and records["destination"][1] == 0xFF
    # Without the PGN listed, the fast packets are plain frames.
    assert len(run(frames)[0]) == 1


def test_channels_pieces_and_decode(db, tmp_path):
    dm1 = bytes([1, 0xFF, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14])
    frames = [(*f, 1) for f in bam(0x00, 0xFECA, dm1)] + [(*f, 2) for f in bam(0x00, 0xFECA, dm1)]
    frames.insert(2, (0x18FECA0F, dm1[:8], 1))  # the same message in one frame
    assert len(run(frames, channels=[2])[0]) == 1
    ids = [f[0] for f in frames]
    pair = make_frames(ids, [f[1] for f in frames], flags=[EXT] * len(ids),
                       channels=[f[2] for f in frames])
    path = tmp_path / "dm1.blf"
    with open(path, "wb") as f:
        kv.write(f, pair, verbose=False)
    whole = j.transfers(pair)
    # Read in pieces of two frames: sessions carry across them.
    code = ("import korvel.j1939 as j, sys; j.PIECE_FRAMES = 2; r, p = j.transfers(sys.argv[1]);"
            "print(r.tolist(), p.tobytes().hex(), sep='|')")
    out = subprocess.run([sys.executable, "-c", code, str(path)], capture_output=True, text=True,
                         check=True).stdout.strip().split("|")
    assert out == [str(whole[0].tolist()), whole[1].tobytes().hex()]
    t = korvel.decode(whole, db)["DM1"]
    want = db.decode_message("DM1", dm1, decode_choices=False)
    assert t.num_rows == 2 and list(t["channel"]) == [1, 2]
    assert {s: t[s][0] for s in want} == pytest.approx(want)
    assert list(t["timestamp"]) == list(whole[0]["stop"])
    # Broken transfers are never decoded.
    cut = j.transfers(make_frames(ids[:2], [f[1] for f in frames[:2]], flags=[EXT, EXT]))
    assert cut[0]["status"][0] == j.CUT and "DM1" not in korvel.decode(cut, db)

    # The command line: single-frame and reassembled DM1 in one table, in time order.
    env = {**os.environ}
    dbc = tmp_path / "j.dbc"
    dbc.write_text(DBC)
    proc = subprocess.run([sys.executable, "-m", "korvel", "decode", str(path), "--dbc", str(dbc),
                           "--transport", "j1939", "--messages", "DM1", "-o", "-"],
                          capture_output=True, text=True, env=env, check=True)
    rows = list(csv.DictReader(proc.stdout.splitlines()))
    assert [int(r["timestamp"]) for r in rows] == [2000, 3000, 6000]
    assert [r["SPN2"] for r in rows] == ["nan", str(want["SPN2"]), str(want["SPN2"])]
    listing = subprocess.run([sys.executable, "-m", "korvel", "transfers", str(path),
                              "--protocol", "j1939"], capture_output=True, text=True, env=env,
                             check=True).stdout.splitlines()
    assert len(listing) == 3 and listing[1].split()[1:7] == [
        "1", "0x0FECA", "0x00", "0xFF", "BAM", "14"]
    assert "complete" in listing[1] and "01 ff 03 04 05 06 07 08 ..." in listing[1]


@pytest.mark.parametrize(("kwargs", "error"), [
    ({"fast_packet": 0x1F805}, TypeError), ({"fast_packet": ["0x1F805"]}, TypeError),
    ({"fast_packet": [1 << 18]}, ValueError), ({"channels": [256]}, ValueError),
])
def test_bad_transfer_arguments(kwargs, error):
    with pytest.raises(error):
        j.transfers(make_frames([1], [bytes(8)]), **kwargs)


@pytest.mark.parametrize("mode", ["auto", False])
def test_dask_decode_matches(mode):
    dask = pytest.importorskip("korvel.dask")
    data = Path(__file__).resolve().parents[1] / "examples" / "data"
    log, dbc = str(data / "truck.blf"), str(data / "truck.dbc")
    got = dask.decode(log, dbc, j1939=mode)
    want = korvel.decode(log, dbc, j1939=mode)
    assert set(got) == {"EEC1", "ET1", "CCVS1", "DM1"}
    for name, frame in got.items():
        df = frame.compute(scheduler="sync")
        if name not in want:
            assert len(df) == 0 and ("source" in df) == (mode == "auto")
            continue
        assert list(df.columns) == ["log", *want[name]]
        for column in want[name]:
            np.testing.assert_array_equal(df[column].to_numpy(), want[name][column])


def test_fast_packets_decode_as_their_messages(tmp_path):
    # NMEA 2000 fast packet PGN 0x1F805 from source 2: each message once, never its frames.
    dbc = tmp_path / "n2k.dbc"
    position = ('BO_ 2314733054 Position: 17 Engine\n SG_ Sid : 0|8@1+ (1,0) [0|255] "" Tool\n'
                ' SG_ Tail : 120|16@1+ (1,0) [0|0] "" Tool\n\n')
    dbc.write_text(DBC.replace("BO_ 1234 Plain", position + "BO_ 1234 Plain")
                   + 'BA_ "VFrameFormat" BO_ 2314733054 3;\n')
    fast = bytes(range(40, 57))
    ident = 0x09F80502
    frames = []
    for seq in (1, 2):
        frames += [(ident, bytes([seq << 5, len(fast)]) + fast[:6]),
                   (ident, bytes([seq << 5 | 1]) + fast[6:13]),
                   (ident, bytes([seq << 5 | 2]) + fast[13:].ljust(7, b"\xff"))]
    pair = make_frames([f[0] for f in frames], [f[1] for f in frames], flags=[EXT] * 6)
    path = tmp_path / "n2k.blf"
    with open(path, "wb") as f:
        kv.write(f, pair, verbose=False)
    base = [sys.executable, "-m", "korvel", "decode", str(path), "--dbc", str(dbc),
            "--messages", "Position", "-o", "-"]
    rows = list(csv.DictReader(subprocess.run(
        [*base, "--transport", "j1939", "--fast-packet", "0x1F805"], capture_output=True,
        text=True, check=True).stdout.splitlines()))
    assert [(r["timestamp"], r["Sid"], r["Tail"]) for r in rows] == [
        ("2000", "40", str(fast[15] | fast[16] << 8)), ("5000", "40", str(fast[15] | fast[16] << 8))]
    # Without reassembly every frame would pass for a message.
    plain = subprocess.run(base, capture_output=True, text=True, check=True).stdout.splitlines()
    assert len(plain) == 7
