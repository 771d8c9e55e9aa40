"""Text logs: read_asc, read_candump, read_trc, iter_text and write_asc, frame
for frame against python-can's readers on files python-can writes and on
hand-written files of the lines real logs hold."""

import calendar
import datetime
import io
import logging
import random
import subprocess
import sys
import time
import warnings
from pathlib import Path

import can
import numpy as np
import pytest
from text_samples import ASC, ASC_DEC, CANDUMP, MALFORMED, TRC, every_kind

import korvel.korvel as kv

LOG = str(Path(__file__).resolve().parents[1] / "examples" / "data" / "drive.blf")
READ = {"asc": kv.read_asc, "log": kv.read_candump, "trc": kv.read_trc}


@pytest.fixture(autouse=True)
def _quiet_python_can():
    logging.disable(logging.WARNING)  # python-can logs a line per frame it cannot write
    yield
    logging.disable(logging.NOTSET)


def ours(pair, names=None):
    """(time in us, id, flags, len, data, channel) per frame; error frames by
    time, flag and channel only, as python-can keeps nothing else of them."""
    index, chunk = pair
    out = []
    for r in index:
        loc = int(r["loc"])
        data = bytes(chunk[loc & (2**48 - 1) :][: loc >> 48])
        ch = names[r["channel"] - 1] if names else int(r["channel"])
        ts = int(r["timestamp"]) // 1000
        if r["flags"] & 0x10:
            out.append((ts, "error"))
        else:
            out.append((ts, int(r["can_id"]), int(r["flags"]), int(r["len"]), data, ch))
    return out


def theirs(messages, channel=lambda c: c):
    out = []
    for m in messages:
        ts = round(m.timestamp * 1e6)
        if m.is_error_frame:
            out.append((ts, "error"))
            continue
        flags = (
            m.is_fd << 3
            | m.is_rx << 2
            | m.is_extended_id << 6
            | m.bitrate_switch << 1
            | m.error_state_indicator
            | m.is_remote_frame << 5
        )
        length = len(m.data) if m.is_fd and not m.is_remote_frame else m.dlc
        out.append((ts, m.arbitration_id, flags, length, bytes(m.data), channel(m.channel)))
    return out


def python_can_reader(kind, path):
    if kind == "asc":
        return list(can.ASCReader(str(path), relative_timestamp=False))
    return list({"log": can.CanutilsLogReader, "trc": can.TRCReader}[kind](str(path)))


def random_messages(n, seed, fd=True, special=True):
    rng = random.Random(seed)
    t = 1_733_000_000.5
    out = []
    for _ in range(n):
        t += rng.random() * 0.01
        is_fd = fd and rng.random() < 0.3
        ext = rng.random() < 0.5
        remote = special and not is_fd and rng.random() < 0.05
        error = special and rng.random() < 0.02
        size = rng.choice([1, 8, 12, 20, 64]) if is_fd else rng.randint(0, 8)
        out.append(
            can.Message(
                timestamp=round(t, 6),
                arbitration_id=rng.randrange(1 << (29 if ext else 11)),
                is_extended_id=ext,
                is_fd=is_fd,
                is_remote_frame=remote,
                is_error_frame=error,
                bitrate_switch=is_fd and rng.random() < 0.5,
                error_state_indicator=is_fd and rng.random() < 0.5,
                data=b"" if remote or error else bytes(rng.randrange(256) for _ in range(size)),
                dlc=3 if remote else size,
                channel=rng.randrange(3),
                is_rx=rng.random() < 0.7,
            )
        )
    return out


WRITERS = {"asc": can.ASCWriter, "log": can.CanutilsLogWriter, "trc": can.TRCWriter}


@pytest.mark.parametrize("kind", ["asc", "log", "trc"])
@pytest.mark.parametrize("as_stream", [False, True])
def test_files_python_can_writes(tmp_path, kind, as_stream):
    path = tmp_path / f"log.{kind}"
    with WRITERS[kind](str(path)) as w:
        for m in random_messages(3000, seed=len(kind)):
            w.on_message_received(m)
    expected = python_can_reader(kind, path)
    with open(path, "rb") as f, warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        pair = READ[kind](f if as_stream else path, verbose=False)
    # python-can's ASC files open with a "Start of measurement" event.
    assert [str(w.message)[:6] for w in caught] == (["1 line"] if kind == "asc" else [])
    if kind == "log":
        names = kv.candump_interfaces(path)
        assert names == list(dict.fromkeys(m.channel for m in expected if not m.is_error_frame))
        assert ours(pair, names) == theirs(expected)
    elif kind == "asc":  # python-can counts channels from 0
        assert ours(pair) == theirs(expected, lambda c: c + 1)
    else:
        assert ours(pair) == theirs(expected)
    assert len(pair[0]) > 1500




def local_ns(y, mo, d, h, mi, s, ms=0):
    """The BLF reader's reading of a header date (whole seconds), plus the
    milliseconds exactly."""
    return kv._systemtime_to_timestamp([y, mo, 0, d, h, mi, s, 0]) + ms * 1_000_000


@pytest.mark.parametrize("text", [ASC, ASC_DEC])
def test_asc_lines_as_python_can_reads_them(tmp_path, text):
    path = tmp_path / "hand.asc"
    path.write_text(text)
    with pytest.warns(kv.TextWarning, match="line") if "Statistic" in text else _nothing():
        pair = kv.read_asc(path, verbose=False)
    assert ours(pair) == theirs(python_can_reader("asc", path), lambda c: c + 1)


class _nothing:
    def __enter__(self):
        return self

    def __exit__(self, *exc):
        return False


def test_asc_details(tmp_path, capsys):
    path = tmp_path / "hand.asc"
    path.write_text(ASC)
    index, _ = kv.read_asc(path)
    line = capsys.readouterr().out
    assert "line_cnt=20, frm_cnt=9, skip_cnt=6," in line  # comment, start, 4 other lines
    base = local_ns(2026, 12, 9, 17, 30, 42, 123)
    assert index["timestamp"][0] == base + 1_000_000
    kinds = [
        (int(r["flags"]), int(r["len"]), int(r["loc"]) >> 48, int(r["channel"])) for r in index
    ]
    assert kinds == [
        (0x04, 8, 8, 1),
        (0x40, 3, 3, 2),
        (0x24, 0, 0, 1),
        (0x24, 4, 0, 1),
        (0x10, 0, 0, 1),
        (0x0E, 12, 12, 1),
        (0x49, 8, 8, 2),
        (0x1C, 0, 0, 1),
        (0x04, 16, 8, 1),  # a classic DLC above 8: python-can's length, the 8 bytes written
    ]
    assert index["is64"].tolist() == [0, 0, 0, 0, 0, 1, 1, 1, 0]
    with pytest.warns(kv.TextWarning, match=r"^6 lines of the asc log skipped .* line 4$"):
        kv.read_asc(path, verbose=False)


def test_asc_relative_timestamps_and_time_bases(tmp_path):
    text = (
        "date Mon Sep 30 03:06:13.500 PM 2019\nbase hex  timestamps relative\n"
        "   0.100000 1  1 Rx d 0\n   0.200000 1  2 Rx d 0\n"
        "Begin Triggerblock Tue Oct 1 08:00:00 2019\n   0.000001 1  3 Rx d 0\n"
    )
    path = tmp_path / "rel.asc"
    path.write_text(text)
    ts = kv.read_asc(path, verbose=False)[0]["timestamp"].tolist()
    first = local_ns(2019, 9, 30, 15, 6, 13, 500)
    assert ts == [first + 100_000_000, first + 300_000_000, local_ns(2019, 10, 1, 8, 0, 0) + 1000]
    # Without any date the times count from the epoch.
    path.write_text("base hex  timestamps absolute\n   2.5 1  1 Rx d 0\n")
    assert kv.read_asc(path, verbose=False)[0]["timestamp"].tolist() == [2_500_000_000]


@pytest.mark.parametrize(
    "date, fields",
    [
        ("Wed Dec 9 05:30:42.123 pm 2026", (2026, 12, 9, 17, 30, 42, 123)),
        ("Wed Dec 09 12:00:00 am 2026", (2026, 12, 9, 0, 0, 0, 0)),
        ("Sun Mar 1 12:59:59.999 PM 2020", (2020, 3, 1, 12, 59, 59, 999)),
        ("Thu Jan 2 23:00:01 2020", (2020, 1, 2, 23, 0, 1, 0)),
        ("Mo Mai 4 10:00:00.000 2020", (2020, 5, 4, 10, 0, 0, 0)),
    ],
)
def test_asc_date_forms(tmp_path, date, fields):
    path = tmp_path / "d.asc"
    # python-can drops the line after the header unless "internal events" ends it.
    path.write_text(f"date {date}\ninternal events logged\n   0.000000 1  1 Rx d 0\n")
    assert kv.read_asc(path, verbose=False)[0]["timestamp"][0] == local_ns(*fields)
    if not date.startswith("Mo "):  # python-can reads English names with a weekday
        assert round(python_can_reader("asc", path)[0].timestamp * 1e6) == local_ns(*fields) // 1000




@pytest.mark.parametrize("bom", ["", "\ufeff"])
def test_candump_lines(tmp_path, bom):
    path = tmp_path / "c.log"
    path.write_text(bom + CANDUMP, encoding="utf-8")
    plain = tmp_path / "plain.log"  # python-can does not read past a byte order mark
    plain.write_text(CANDUMP)
    pair = kv.read_candump(path, verbose=False)
    names = kv.candump_interfaces(path)
    assert names == ["vcan0", "vcan1", "can-bus.2"]
    assert ours(pair, names) == theirs(python_can_reader("log", plain))
    index = pair[0]
    assert index["channel"].tolist() == [1, 2, 1, 1, 2, 2, 1, 3]
    err = index[6]
    assert (err["flags"], err["can_id"], err["len"]) == (0x14, 0x80, 8)  # class and data kept
    assert index["flags"][5] == 0x0B and index["len"][5] == 0  # FD, BRS and ESI, no data




@pytest.mark.parametrize("version", sorted(TRC))
def test_trc_versions(tmp_path, version):
    path = tmp_path / "t.trc"
    path.write_text(TRC[version])
    # Each holds one line of another kind (bus information, warning, status, event).
    with pytest.warns(kv.TextWarning, match="^1 line of the trc log skipped"):
        pair = kv.read_trc(path, verbose=False)
    index = pair[0]
    expected = theirs(python_can_reader("trc", path))
    # python-can reads the start time as UTC, korvel as local time.
    start = datetime.datetime(2021, 12, 20, 14, 28, 7)
    shift = (
        0
        if version == "1.0"
        else round((time.mktime(start.timetuple()) - calendar.timegm(start.timetuple())) * 1e6)
    )
    got = [(f[0] - shift,) + f[1:] for f in ours(pair) if f[1] != "error"]
    assert got == expected
    if version == "2.0":  # ER lines are error frames
        assert index["flags"][-1] & 0x10 and len(index) == len(expected) + 1


def test_trc_fd_types(tmp_path):
    # PCAN's types: FB bit rate switch, FE error state indicator, BI both (python-can
    # reads FE as both and BI as ESI alone).
    rows = "".join(
        f" {i} {i}.0 {t} 0400 Rx 1 0{i}\n" for i, t in enumerate(["FD", "FB", "FE", "BI"])
    )
    path = tmp_path / "fd.trc"
    path.write_text(";$FILEVERSION=2.0\n;$STARTTIME=0\n;$COLUMNS=N,O,T,I,d,l,D\n" + rows)
    index = kv.read_trc(path, verbose=False)[0]
    assert index["flags"].tolist() == [0x0C, 0x0E, 0x0D, 0x0F]
    assert index["timestamp"][1] - index["timestamp"][0] == 1_000_000




@pytest.mark.parametrize("kind", sorted(MALFORMED))
def test_malformed_lines_are_skipped_and_counted(tmp_path, kind, capsys):
    head, lines = MALFORMED[kind]
    path = tmp_path / f"bad.{kind}"
    first_bad = head.count("\n") + 1
    path.write_text(head + "\n".join(lines) + "\n" + head.splitlines()[-1] + "\n")
    index, _ = READ[kind](path)
    assert len(index) == 2
    assert f"skip_cnt={len(lines)}," in capsys.readouterr().out
    with pytest.warns(kv.TextWarning, match=f"^{len(lines)} lines .* at line {first_bad}$"):
        READ[kind](path, verbose=False)
    if kind == "log":
        assert kv.candump_interfaces(path) == ["vcan0"]  # bad lines name no interface


@pytest.mark.parametrize("kind", ["asc", "log", "trc"])
@pytest.mark.parametrize(
    "text, line, quote",  # bytes that are no UTF-8, a NUL: replacement characters
    [("hello,world\n1,2\n", 1, "hello,world"), ("\n\n\x00\x01binary", 3, "binary"),
     ("timestamp;id\n", 1, "timestamp;id"), ("\xd3\xff junk", 1, "\ufffd\ufffd junk"),
     ("\nhello\x00world\n", 2, "hello\ufffdworld"), (LOG, 1, "LOGG\ufffd")],
)
def test_not_a_log_raises_naming_the_line(tmp_path, kind, text, line, quote):
    if kind == "trc" and text.startswith("timestamp;"):
        text = quote = "timestamp,id"
    path = tmp_path / f"x.{kind}"
    path.write_bytes(Path(LOG).read_bytes()[:9999] if text == LOG else text.encode("latin-1"))
    message = f"^line {line}: not a line of .*: '{quote}"
    with pytest.raises(kv.TextError, match=message):
        READ[kind](path, verbose=False)
    with pytest.raises(kv.TextError, match=message):
        list(kv.iter_text(path, format={"log": "candump"}.get(kind, kind), verbose=False))


@pytest.mark.parametrize(
    "text, message",
    [
        ("date 2026-12-09 10:00:00\n", "line 1: a date in an unknown form"),
        ("// x\nbase oct\n", "line 2: an unknown number base"),
        ("date Wed Dec 9 25:00:00 2026\n", "line 1: a date in an unknown form"),
        ("date Fri Feb 30 10:00:00 2024\n 1.0 1 1 Rx d 0\n", "line 1: an impossible date"),
        ("// x\nBegin Triggerblock Sat Mar 2 10:00:60 2024\n", "line 2: an impossible date"),
        ("date Fri Feb 2 10:00:00 2426\n", "line 1: a date out of range"),
        (";$FILEVERSION=1.1\n;$STARTTIME=140000.5\n", "line 2: a start time out of range"),
    ],
)
def test_header_faults(tmp_path, text, message):
    path = tmp_path / "h.asc"
    path.write_text(text)
    with pytest.raises(kv.TextError, match=f"^{message}"):
        (kv.read_trc if text[0] == ";" else kv.read_asc)(path, verbose=False)


def test_bad_arguments(tmp_path):
    with pytest.raises(TypeError, match="binary mode"):
        kv.read_asc(io.StringIO("date"), verbose=False)
    with pytest.raises(TypeError):
        kv.read_trc(b"bytes", verbose=False)
    with pytest.raises(FileNotFoundError):
        kv.read_candump(tmp_path / "missing.log")
    with pytest.raises(ValueError, match="frames must be at least 1"):
        kv.iter_text(tmp_path / "x.asc", 0)
    with pytest.raises(ValueError, match="cannot tell"):
        kv.iter_text(tmp_path / "missing.bin")


@pytest.mark.parametrize("kind", ["asc", "log"])
def test_iter_text_pieces_equal_the_whole(tmp_path, kind, capsys):
    # Over 1 MiB, so lines cross the blocks the reader refills.
    path = tmp_path / f"big.{kind}"
    with WRITERS[kind](str(path)) as w:
        for m in random_messages(25000, seed=7, special=False):
            w.on_message_received(m)
    warnings.simplefilter("ignore", kv.TextWarning)  # python-can's "Start of measurement"
    whole = READ[kind](path, verbose=False)
    for frames in (1, 977, 10**7):
        pieces = list(kv.iter_text(path, frames, verbose=False))
        assert all(len(p[0]) == frames for p in pieces[:-1]) and len(pieces[-1][0]) <= frames
        joined = kv.concat(pieces)
        assert np.array_equal(joined[0], whole[0]) and np.array_equal(joined[1], whole[1])
    with open(path, "rb") as f:
        pieces = list(kv.iter_text(f, 5000, format="candump" if kind == "log" else kind))
    assert capsys.readouterr().out.startswith(f"load {'candump' if kind == 'log' else 'asc'}")
    assert np.array_equal(kv.concat(pieces)[0], whole[0])


def test_iter_text_by_content(tmp_path):
    path = tmp_path / "noext"
    path.write_text(CANDUMP)
    assert len(kv.concat(list(kv.iter_text(path, verbose=False)))[0]) == 8
    assert kv._sniff_text(b"\n;$FILEVERSION=2.1") == "trc"
    assert kv._sniff_text(b"date Wed Dec 9") == "asc"
    assert kv._sniff_text(b"     1)      1841  0001 8") == "trc"
    assert kv._sniff_text(b"LOGG\x90") == ""
    assert kv._sniff_text(b"# candump -l\n(1.0) can0 1#00") == "candump"


def test_write_asc_reads_back_frame_for_frame(tmp_path):
    hand = tmp_path / "hand.asc"
    hand.write_text(ASC)
    with pytest.warns(kv.TextWarning):
        special = kv.read_asc(hand, verbose=False)
    for name, pair in (("drive", kv.read(LOG, verbose=False)), ("special", special)):
        path = tmp_path / f"{name}.asc"
        kv.write_asc(path, pair, verbose=False)
        back = kv.read_asc(path, verbose=False)  # no line skipped: no warning
        rounded = pair[0].copy()  # to the nearest microsecond
        rounded["timestamp"] = (rounded["timestamp"] + 500) // 1000 * 1000
        assert ours(back) == ours((rounded, pair[1]))
        assert ours(back) == theirs(python_can_reader("asc", path), lambda c: c + 1)
        stream = io.BytesIO()
        kv.write_asc(stream, pair, verbose=False)
        assert stream.getvalue() == path.read_bytes()
    index, chunk = special
    bad = (index.copy(), chunk[:10])
    with pytest.raises(ValueError, match="frame 1 lies outside"):
        kv.write_asc(tmp_path / "bad.asc", bad, verbose=False)
    assert not (tmp_path / "bad.asc").exists()


def test_write_asc_gives_back_every_frame_kind(tmp_path):
    pair, path = every_kind(), tmp_path / "kinds.asc"
    kv.write_asc(path, pair, verbose=False)
    back = kv.read_asc(path, verbose=False)
    # Times to the nearest microsecond, everything else exactly.
    assert (back[0]["timestamp"] == (pair[0]["timestamp"] + 500) // 1000 * 1000).all()
    assert [f[1:] for f in ours(back)] == [f[1:] for f in ours(pair)]
    # python-can reads a CANFD line without data bytes as a remote frame.
    fd0 = [f[:2] + (f[2] | 0x20,) + f[3:] if len(f) > 2 and f[2] & 0x28 == 8 and not f[3] else f
           for f in ours(back)]
    assert theirs(python_can_reader("asc", path), lambda c: c + 1) == fd0


@pytest.mark.parametrize(
    "line, kind",  # the flags column: EDL 0x1000, BRS 0x2000, ESI 0x4000, remote 0x10
    [("CANFD 1 Rx 123 0 0 2  2 01 02 0 0 327000 0", (0x0F, 2, 2)),  # columns yield to flags
     ("CANFD 2 Tx 123 1 0 3  3 01 02 03 0 0 2000 0", (0x00, 3, 3)),  # no EDL: classic
     ("CANFD 3 Tx 50005x 0 1 5 0 140000 73 200050 7a60", (0x60, 5, 0)),  # classic remote
     ("CANFD 1 Rx 123 Name 1 0 0 0", (0x0E, 0, 0)),  # no flags column: FD, BRS as written
     ("CANFD 1 Rx 123 0 0 3 0", (0x2C, 3, 0))],  # a DLC, no bytes: python-can's FD remote
)
def test_asc_canfd_flags_column(tmp_path, line, kind):
    path = tmp_path / "fd.asc"
    path.write_text(f"   0.5 {line}\n")
    (r,), chunk = kv.read_asc(path, verbose=False)
    assert (r["flags"], r["len"], r["loc"] >> 48, r["is64"]) == kind + (1,)
    assert bytes(chunk) == bytes(range(1, kind[2] + 1))


@pytest.mark.parametrize(
    "kind, text, notice",
    [  # other buses, events, comments, malformed lines and times that overflow once the
        # base or running time is added: skipped wherever they stand, the first line too
        ("asc", " 0.0 Start of measurement\n 0.1 L1 Rx 23 Header\n 0.2 1 12 Rx d 0\n", "2 1"),
        ("log", "# candump -l\n(1.0) vcan0\n(1.0) vcan0 123#00\n", "2 1"),
        ("trc", " 1) x 0001 1 00\n 2) 1.0 0001 1 00\n", "1 1"),
        ("asc", "date Feb 1 10:00:00 2024\n 1 1 1 Rx d 0\n 9223372036.8 1 1 Rx d 0\n", "1 3"),
        ("asc", "base hex timestamps relative\n" + " 5000000000.0 1 1 Rx d 0\n" * 3, "2 3"),
        ("trc", ";$STARTTIME=45000\n 1) 1.0 0100 0\n 2) 9000000000000.0 0100 0\n", "1 3"),
    ],
)
def test_lines_skipped_wherever_they_stand(tmp_path, kind, text, notice):
    path, (count, first) = tmp_path / f"x.{kind}", notice.split()
    path.write_text(text)
    with pytest.warns(kv.TextWarning, match=f"^{count} lines? .* at line {first}$"):
        ts = READ[kind](path, verbose=False)[0]["timestamp"]
    assert len(ts) == 1 and ts.min() > 0


def test_write_asc_in_the_repeated_hour(tmp_path):
    # A fresh process in Berlin, a log from 02:30 CEST as summer time ends.
    path, start = str(tmp_path / "dst.asc"), 1729989000
    code = f"""import os, time; os.environ["TZ"] = "Europe/Berlin"; time.tzset()
import can, numpy as np, korvel.korvel as kv
idx = np.zeros(2, kv.DT); idx["timestamp"] = [{start}_250_000_000, {start + 3600}_000_001_000]
kv.write_asc({path!r}, (idx, np.zeros(0, np.uint8)), verbose=False)
print(kv.read_asc({path!r}, verbose=False)[0]["timestamp"].tolist(),
      [round(m.timestamp * 1e6) for m in can.ASCReader({path!r}, relative_timestamp=False)])"""
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    us = [f"{start}250000", f"{start + 3600}000001"]
    assert out.stdout == f"[{us[0]}000, {us[1]}000] [{us[0]}, {us[1]}]\n"
