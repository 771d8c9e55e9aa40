import io
import re
import struct
import zlib
from datetime import datetime
from time import mktime

import blfbuild as bb
import numpy as np
import pytest

import korvel.korvel as k

DATE_2024 = (2024, 3, 5, 12, 8, 30, 15, 250)  # 12 March 2024 08:30:15.250, a Tuesday


def read_bytes(data):
    return k.read(io.BytesIO(data))


def start_ns(st):
    """The start timestamp as the format defines it, computed in Python."""
    secs = mktime(datetime(st[0], st[1], st[3], st[4], st[5], st[6], 0).timetuple())
    return int(secs * 1e9 + st[7] * 1e6)


def test_record_types_and_module_names():
    assert k.DT.itemsize == 24 and k.DT64.itemsize == 80
    names = ["timestamp", "can_id", "is64", "channel", "len", "flags"]
    for t in (k.DT, k.DT64):
        assert list(t.names[:6]) == names
        assert [t.fields[n][1] for n in names] == [0, 8, 12, 13, 14, 15]
    assert k.DT.fields["loc"][1] == 16 and k.DT64.fields["data"][1] == 16
    before = list(k.DT64_def)
    assert k.newType(8).itemsize == 24
    assert k.newType(64) == k.DT64
    assert k.DT64_def == before
    assert issubclass(k.BLFError, Exception) and issubclass(k.Continuable, Exception)
    assert k.BLFError.__doc__ == "BLF file could not be processed correctly."
    assert k.Continuable.__doc__ == "A expected situation, the loop is continuable"
    for name in ("datetime", "mktime", "time", "zlib", "np"):
        assert hasattr(k, name)


@pytest.mark.parametrize("kind", ["array", "strided", "list"])
def test_pad_forward_fills_in_place(kind):
    values = [np.nan, 1.0, np.nan, np.nan, 2.0, np.nan]
    if kind == "array":
        arr = np.array(values)
    elif kind == "strided":
        arr = np.array([v for v in values for _ in range(2)])[::2]
    else:
        arr = list(values)
    assert k.pad(arr) is arr
    out = np.asarray(arr, dtype=float)
    assert np.isnan(out[0])
    assert out[1:].tolist() == [1.0, 1.0, 1.0, 2.0, 2.0]


def test_byte_image_frame_is_decoded():
    image = bytes.fromhex(
        "4C4F424A200001003000000001000000"
        "0200000000000000E803000000000000"
        "01000002230100 00ABCD000000000000".replace(" ", "")
    )
    idx, chk = read_bytes(bb.blf([image], start=DATE_2024))
    t = start_ns(DATE_2024)
    rec = idx[0]
    assert int(rec["timestamp"]) == int(float(t) + 1000.0) == t + 1024
    assert (rec["can_id"], rec["is64"], rec["channel"], rec["len"], rec["flags"]) == (
        0x123, 0, 1, 2, 0x04)
    assert int(rec["loc"]) == 2 << 48
    assert chk.tobytes() == b"\xab\xcd"
    assert idx.dtype == k.DT and chk.dtype == np.uint8


@pytest.mark.parametrize("ts_flags,factor", [(1, 10000), (2, 1), (0, 1), (3, 1)])
def test_timestamp_units(ts_flags, factor):
    raw = 123
    idx, _ = read_bytes(bb.blf([bb.can_msg(1, timestamp=raw, ts_flags=ts_flags)],
                               start=DATE_2024))
    assert int(idx["timestamp"][0]) == int(raw * float(factor) + float(start_ns(DATE_2024)))


def test_zero_start_date_gives_epoch_base():
    idx, _ = read_bytes(bb.blf([bb.can_msg(1, timestamp=5, ts_flags=1)]))
    assert idx["timestamp"].tolist() == [50000]


def test_header_version_2_equals_version_1():
    a = read_bytes(bb.blf([bb.can_fd(0x55, bytes(range(12)), version=1, timestamp=77)]))
    b = read_bytes(bb.blf([bb.can_fd(0x55, bytes(range(12)), version=2, timestamp=77)]))
    assert a[0].tobytes() == b[0].tobytes() and a[1].tobytes() == b[1].tobytes()


def sample_objects():
    return [
        bb.can_msg(0x10, b"\x01\x02\x03", timestamp=1),
        bb.can_fd(0x1ABCDEF, bytes(range(20)), extended=True, fd_flags=3, timestamp=2),
        bb.can_error(0x7FF, b"\xee", timestamp=3),
        bb.can_fd64(0x300, bytes(range(100, 112)), timestamp=4, version=2),
        bb.can_msg(0x11, b"", timestamp=5, obj_type=bb.CAN_MESSAGE2, extra=bytes(8)),
    ]


def test_objects_split_at_every_offset_decode_once():
    objs = sample_objects()
    ref_idx, ref_chk = read_bytes(bb.blf(objs))
    assert len(ref_idx) == 5
    total = sum(map(len, objs))
    for cut in range(1, total):
        idx, chk = read_bytes(bb.blf(objs, split=[cut]))
        assert idx.tobytes() == ref_idx.tobytes(), cut
        assert chk.tobytes() == ref_chk.tobytes(), cut
    # Many tiny containers, headers cut in several places.
    idx, chk = read_bytes(bb.blf(objs, split=list(range(7, total, 7))))
    assert idx.tobytes() == ref_idx.tobytes() and chk.tobytes() == ref_chk.tobytes()


@pytest.mark.parametrize("gap", [0, 1, 2, 3])
def test_padding_between_inner_objects(gap):
    a, b = bb.can_msg(1, b"\x01"), bb.can_msg(2, b"\x02")
    idx, _ = read_bytes(bb.blf([a + bytes(gap), b]))
    assert idx["can_id"].tolist() == [1, 2]


def test_four_bytes_of_garbage_raise():
    a, b = bb.can_msg(1, b"\x01"), bb.can_msg(2, b"\x02")
    with pytest.raises(k.BLFError, match="^Next log object not found.$"):
        read_bytes(bb.blf([a + b"\xff" * 4, b]))


@pytest.mark.parametrize("trailing", range(1, 8))
def test_trailing_bytes_are_dropped(trailing):
    idx, _ = read_bytes(bb.blf([bb.can_msg(1), b"\x07" * trailing]))
    assert len(idx) == 1


def test_uncompressed_and_unknown_compression(capsys):
    objs = sample_objects()
    ref = read_bytes(bb.blf(objs))
    plain = read_bytes(bb.blf(objs, method=0))
    assert plain[0].tobytes() == ref[0].tobytes() and plain[1].tobytes() == ref[1].tobytes()
    capsys.readouterr()
    data = (bb.file_header(2) + bb.container(bb.can_msg(1), method=0)
            + bb.container(bb.can_msg(9), method=5) + bb.container(bb.can_msg(2), method=2))
    idx, _ = read_bytes(data)
    assert idx["can_id"].tolist() == [1, 2]
    lines = capsys.readouterr().out.splitlines()
    assert lines[0] == "Unknown compression method 5"
    assert lines[1].startswith("load blf cost ")


def test_unknown_header_version_is_skipped(capsys):
    odd = bb.OBJ_BASE.pack(b"LOBJ", 32, 3, 36, bb.CAN_MESSAGE) + bytes(20)
    idx, _ = read_bytes(bb.blf([bb.can_msg(1), odd, bb.can_msg(2)]))
    assert idx["can_id"].tolist() == [1, 2]
    assert capsys.readouterr().out.splitlines()[0] == "Unknown object header version 3"


def test_other_object_types_are_skipped():
    other_inner = bb.obj(65, bytes(24))
    data = (bb.file_header(3) + bb.top_object(72, bytes(13))
            + bb.container(bb.can_msg(1) + other_inner + bb.can_msg(2))
            + bb.top_object(5, bytes(30)))
    idx, _ = read_bytes(data)
    assert idx["can_id"].tolist() == [1, 2]


@pytest.mark.parametrize(
    "objs,expect",
    [
        # (can_id, is64, len, flags)
        ([bb.can_msg(0x123, b"\x01", flags=0x81)], (0x123, 0, 1, 0x20)),
        ([bb.can_msg(0x1234567, b"", flags=0x00, extended=True)], (0x1234567, 0, 0, 0x44)),
        ([bb.can_msg(0x5, b"", flags=0x01)], (0x5, 0, 0, 0x00)),
        ([bb.can_error(0x5, b"\x01\x02")], (0x5, 0, 2, 0x10)),
        ([bb.can_error(0x5, extended=True)], (0x5, 0, 0, 0x50)),
        ([bb.can_error(0x5, flags_ext=0x20)], (0x5, 0, 0, 0x14)),  # direction: received
        ([bb.can_fd(0x7, bytes(32), dlc=13, fd_flags=7, flags=1)], (0x7, 1, 32, 0x0B)),
        ([bb.can_fd(0x7, bytes(12), dlc=9, fd_flags=1)], (0x7, 1, 12, 0x0C)),
        ([bb.can_fd(0x7, bytes(0), dlc=0, fd_flags=0, flags=0x80)], (0x7, 1, 0, 0x24)),
        ([bb.can_fd(0x7, bytes(64), dlc=16)], (0x7, 1, 64, 0x0C)),
        ([bb.can_fd64(0x1FFFFFFF, bytes(8), extended=True, direction=0)],
         (0x1FFFFFFF, 1, 8, 0x4C)),
        ([bb.can_fd64(0x10, bytes(48), flags=0x7010, direction=1)], (0x10, 1, 48, 0x2B)),
    ],
)
def test_record_fields_by_object_type(objs, expect):
    idx, _ = read_bytes(bb.blf(objs))
    rec = idx[0]
    assert (int(rec["can_id"]), int(rec["is64"]), int(rec["len"]), int(rec["flags"])) == expect


def error_objects():
    """Frames around every kind of error frame object, in file order."""
    return [
        bb.can_msg(0x100, b"\x01", timestamp=1),
        bb.can_error_plain(channel=2, length=40, timestamp=2),
        bb.can_error(0x5, b"\x01\x02", timestamp=3),
        bb.can_fd_error64(0x1ABCDEF, bytes(range(12)), channel=3, ext_flags=0xE0,
                          extended=True, timestamp=4),
        bb.can_fd_error64(0x12, b"\x07\x08", dlc=2, ext_flags=0, channel=4, timestamp=5),
        bb.can_error_plain(channel=1, length=0x1234, timestamp=6),
        bb.can_msg(0x200, b"\x02", timestamp=7),
    ]


def test_error_objects_are_skipped_by_default():
    idx, _ = read_bytes(bb.blf(error_objects()))
    assert idx["can_id"].tolist() == [0x100, 0x5, 0x200]


@pytest.mark.parametrize("split", [None, "everywhere"])
def test_all_errors_reads_every_error_object(split):
    objs = error_objects()
    stream = b"".join(objs)
    cuts = list(range(7, len(stream), 29)) if split else None
    data = bb.blf(objs, split=cuts)
    fields = ("timestamp", "can_id", "is64", "channel", "len", "flags")
    expect = [
        (1, 0x100, 0, 1, 1, 0x04),
        (2, 0, 0, 2, 40, 0x10),
        (3, 0x5, 0, 1, 2, 0x10),
        (4, 0x1ABCDEF, 1, 3, 12, 0x10 | 0x40 | 0x08 | 0x02 | 0x01),
        (5, 0x12, 1, 4, 2, 0x10),
        (6, 0, 0, 1, 255, 0x10),  # a length beyond a record's byte saturates
        (7, 0x200, 0, 1, 1, 0x04),
    ]
    payloads = [b"\x01", b"", b"\x01\x02", bytes(range(12)), b"\x07\x08", b"", b"\x02"]
    for threads, ahead in [(1, False), (2, True)]:
        idx, chk = k.read(io.BytesIO(data), all_errors=True, threads=threads,
                          _scan_ahead=ahead, verbose=False)
        assert idx[list(fields)].tolist() == expect
        got = [chk[int(r) & (2**48 - 1):][: int(r) >> 48].tobytes() for r in idx["loc"]]
        assert got == payloads
        pieces = list(k.iter_read(io.BytesIO(data), 2, all_errors=True, verbose=False))
        assert [len(p[0]) for p in pieces] == [2, 2, 2, 1]
        assert np.array_equal(k.concat(pieces)[0], idx)


def test_all_errors_reads_the_direction_of_fd_error_frames():
    objs = [bb.can_fd_error64(0x12, b"\x07", error_code_ext=ext, timestamp=t)
            for t, ext in enumerate([0x20, 0x00, 0x7FF])]
    idx, _ = k.read(io.BytesIO(bb.blf(objs)), all_errors=True, verbose=False)
    assert idx["flags"].tolist() == [0x1C, 0x18, 0x1C]


def test_channels_above_255_are_told(capsys):
    objs = [bb.can_msg(1, channel=300, timestamp=1), bb.can_msg(2, channel=44, timestamp=2),
            bb.can_fd(3, bytes(12), channel=0x1111, timestamp=3),
            bb.can_error(4, channel=300, timestamp=4), bb.can_msg(5, channel=255, timestamp=5)]
    data = bb.blf(objs, split=[60])
    text = ("3 frames are on channels above 255 (stored: 300, 4369); their channel field holds "
            "the stored number modulo 256")
    idx, _ = k.read(io.BytesIO(data))  # verbose: the line, no warning (filterwarnings=error)
    assert idx["channel"].tolist() == [44, 44, 0x11, 44, 255]
    assert "load blf: " + text in capsys.readouterr().out.splitlines()
    for quiet in (lambda: k.read(io.BytesIO(data), verbose=False),
                  lambda: list(k.iter_read(io.BytesIO(data), 2, verbose=False))):
        with pytest.warns(k.BLFWarning) as caught:
            quiet()
        assert [str(w.message) for w in caught] == [text]
    # A window counts the frames it keeps.
    with pytest.warns(k.BLFWarning, match="^2 frames are on channels above 255 .stored: 300, "
                                          "4369."):
        k.read(io.BytesIO(data), verbose=False, start=3)
    stream = io.BytesIO(data)
    ch = k.info(stream, verbose=False, channels=True)["channels"]
    stream.close()  # walked already
    assert dict(zip(ch["channel"].tolist(), ch["objects"].tolist())) == {
        44: 1, 255: 1, 300: 2, 4369: 1}
    assert "channels" not in dict(k.info(io.BytesIO(data), verbose=False))


def test_all_errors_skips_error_objects_too_short_for_their_fields():
    short = [bb.obj(bb.CAN_ERROR, b"\x01\x00"), bb.obj(bb.CAN_FD_ERROR_64, bytes(43)),
             bb.can_msg(0x300)]
    idx, _ = k.read(io.BytesIO(bb.blf(short)), all_errors=True, verbose=False)
    assert idx["can_id"].tolist() == [0x300]


@pytest.mark.parametrize(
    "obj,length,stored",
    [
        (bb.can_msg(1, bytes(range(8)), dlc=12), 12, 8),
        (bb.can_error(1, bytes(range(8)), dlc=15), 15, 8),
        (bb.can_fd(1, bytes(range(64)), valid=200), 64, 64),
        # Declares 64 valid bytes but carries 48.
        (bb.can_fd64(1, bytes(range(48)), dlc=15, valid=64), 64, 48),
    ],
)
def test_payload_never_read_beyond_the_object(obj, length, stored):
    idx, chk = read_bytes(bb.blf([obj, bb.can_msg(2, b"\xaa")]))
    assert int(idx["len"][0]) == length
    assert int(idx["loc"][0]) >> 48 == stored
    assert chk[:stored].tolist() == list(range(stored))
    assert int(idx["loc"][1]) == stored + (1 << 48) and chk[stored] == 0xAA


def test_payload_offsets_are_dense():
    objs = [bb.can_msg(i, bytes([i]) * (i % 9)) for i in range(40)]
    idx, chk = read_bytes(bb.blf(objs))
    loc = idx["loc"].astype(np.uint64)
    counts = (loc >> np.uint64(48)).astype(int)
    offsets = (loc & np.uint64(0xFFFFFFFFFFFF)).astype(int)
    assert offsets[0] == 0
    assert (offsets[1:] == offsets[:-1] + counts[:-1]).all()
    assert len(chk) == counts.sum()


@pytest.mark.parametrize("declared", [0, 3, 0xFFFFFFFF])
def test_object_count_is_only_a_hint(declared):
    objs = [bb.can_fd(i % 2048, bytes([i % 256]) * 64) for i in range(5000)]
    idx, chk = read_bytes(bb.blf(objs, object_count=declared, split=[100000, 200000]))
    assert len(idx) == 5000 and len(chk) == 5000 * 64
    assert idx["can_id"].tolist() == [i % 2048 for i in range(5000)]
    assert (chk.reshape(5000, 64)[:, 0] == np.arange(5000) % 256).all()


def test_larger_header_is_skipped():
    idx, _ = read_bytes(bb.blf([bb.can_msg(3)], header_size=300))
    assert idx["can_id"].tolist() == [3]


def test_empty_log(capsys):
    idx, chk = read_bytes(bb.file_header(0))
    assert idx.dtype == k.DT and len(idx) == 0 and len(chk) == 0 and chk.dtype == np.uint8
    line = capsys.readouterr().out.strip()
    assert re.fullmatch(
        r"load blf cost \d+\.\d\dms, obj_cnt=0, frm_cnt=0, idx_mem=0, chk_mem=0, tot_mem=0", line)


def test_diagnostic_line(capsys):
    read_bytes(bb.blf([bb.can_msg(1, b"\x01\x02"), bb.can_fd(2, bytes(12))], object_count=9))
    line = capsys.readouterr().out.strip()
    assert re.fullmatch(
        r"load blf cost \d+\.\d\dms, obj_cnt=9, frm_cnt=2, idx_mem=48, chk_mem=14, tot_mem=62",
        line)


UNSUPPORTED = ("Unsupported file format. This tool only accepts Vector BLF "
               "(Binary Logging Format) files.")


@pytest.mark.parametrize("data", [b"", b"LOG", b"LOBJ" + bytes(100), b"GGOL" + bytes(140)])
def test_not_a_blf_file(data):
    with pytest.raises(k.BLFError) as e:
        read_bytes(data)
    assert e.value.args == (UNSUPPORTED,)


def test_format_errors():
    good = bb.blf([bb.can_msg(1)])
    with pytest.raises(k.BLFError, match="header.*72"):
        read_bytes(good[:40])
    with pytest.raises(k.BLFError, match="header_size 50"):
        read_bytes(bb.file_header(header_size=50) + good[144:])
    with pytest.raises(k.BLFError) as e:
        read_bytes(good[:144] + b"XOBJ" + good[148:])
    assert e.value.args == ()
    bad_top = bb.file_header() + bb.OBJ_BASE.pack(b"LOBJ", 16, 1, 8, 10) + bytes(64)
    with pytest.raises(k.BLFError, match="byte offset 144.*object_size 8"):
        read_bytes(bad_top)


@pytest.mark.parametrize(
    "size,obj_type,version", [(0, 1, 1), (16, 1, 1), (31, 65, 1), (39, 86, 2), (40, 1, 1),
                              (60, 73, 1), (100, 100, 1), (71, 101, 1), (4, 1, 7)])
def test_undersized_inner_objects_raise(size, obj_type, version):
    bad = bb.OBJ_BASE.pack(b"LOBJ", 32, version, size, obj_type) + bytes(120)
    with pytest.raises(k.BLFError, match=f"object_size {size}, less than"):
        read_bytes(bb.blf([bb.can_msg(1), bad]))


def test_corrupt_zlib_raises_zlib_error():
    data = bytearray(bb.blf([bb.can_msg(i, bytes(8)) for i in range(50)]))
    data[144 + 32 + 2:144 + 32 + 12] = b"\xff" * 10
    with pytest.raises(zlib.error):
        read_bytes(bytes(data))


def test_read_must_return_bytes():
    class Bad:
        def read(self, n):
            return "LOGG"
    with pytest.raises(TypeError):
        k.read(Bad())


def test_truncated_last_object_keeps_earlier_frames(capsys):
    objs = [bb.can_msg(i, bytes([i % 256]) * 8) for i in range(3000)]
    data = bb.blf(objs, split=[48 * 1000, 48 * 2000], method=0)
    cut = len(data) - 48 * 500 - 10  # inside the last container
    idx, _chk = read_bytes(data[:cut])
    assert 1000 <= len(idx) < 3000
    assert idx["can_id"].tolist() == list(range(len(idx)))
    out = capsys.readouterr().out.splitlines()
    assert out[0].startswith(f"load blf: log truncated at byte offset {cut}")
    assert out[1].startswith("load blf cost ")
    # Compressed: the frames inflated before the cut are kept too.
    zdata = bb.blf(objs, split=[48 * 1000, 48 * 2000])
    idx, _ = read_bytes(zdata[:len(zdata) - 200])
    assert 2000 <= len(idx) < 3000
    assert idx["can_id"].tolist() == list(range(len(idx)))


def test_partial_top_level_header_at_end(capsys):
    data = bb.blf([bb.can_msg(1)]) + b"LOBJ\x10\x00"
    idx, _ = read_bytes(data)
    assert len(idx) == 1
    assert "log truncated" in capsys.readouterr().out


# Calendar conversions -------------------------------------------------------

def test_calendar_to_timestamp_rules():
    assert k._systemtime_to_timestamp([0] * 8) == 0
    assert k._systemtime_to_timestamp([2024, 2, 0, 30, 0, 0, 0, 0]) == 0  # no 30 February
    wrong_weekday = list(DATE_2024)
    wrong_weekday[2] = 6
    assert k._systemtime_to_timestamp(wrong_weekday) == k._systemtime_to_timestamp(DATE_2024)
    assert k._systemtime_to_timestamp(DATE_2024) == start_ns(DATE_2024)
    full = [2024, 3, 2, 12, 8, 30, 15, 1000]
    nxt = [2024, 3, 2, 12, 8, 30, 16, 0]
    assert abs(k._systemtime_to_timestamp(full) - k._systemtime_to_timestamp(nxt)) <= 512


def local_ns(*args):
    return int(mktime(datetime(*args).timetuple())) * 10**9


@pytest.mark.parametrize(
    "frac_us,ms", [(999600, 1000), (123400, 123), (122500, 122), (123500, 124), (0, 0)])
def test_timestamp_to_calendar_milliseconds(frac_us, ms):
    ts = local_ns(2024, 6, 9, 10, 20, 30) + frac_us * 1000
    st = k._timestamp_to_systemtime(ts)
    assert st[7] == ms
    assert st[:7] == (2024, 6, 0, 9, 10, 20, 30)  # 9 June 2024 is a Sunday


def test_timestamp_to_calendar_weekday_and_round_trip():
    sat = k._timestamp_to_systemtime(local_ns(2024, 6, 15, 1, 2, 3))
    assert sat[2] == 6
    ts = local_ns(2023, 11, 14, 22, 13, 20) + 123_456_789
    back = k._systemtime_to_timestamp(list(k._timestamp_to_systemtime(ts)))
    assert abs(back - (ts // 10**6) * 10**6) <= 512


def test_header_start_date_is_the_time_base():
    st = k._timestamp_to_systemtime(local_ns(2021, 1, 2, 3, 4, 5) + 678_000_000)
    idx, _ = read_bytes(bb.blf([bb.can_msg(1, timestamp=0)], start=st))
    assert int(idx["timestamp"][0]) == k._systemtime_to_timestamp(list(st))


def test_fd64_struct_layout_matches_builder():
    # The builder's fixed part is 40 bytes, as the format's table says.
    assert bb.CAN_FD_MSG64.size == 40 and bb.CAN_FD_MSG.size == 84
    assert bb.CAN_ERR_EXT.size == 32 and struct.calcsize("<4sI8BqqII8H8H") == 72


def test_all_errors_reads_error_objects_that_vblf_writes():
    vblf_writer = pytest.importorskip("vblf.writer")
    from vblf.can import CanErrorFrame, CanFdErrorFrame64, CanMessage
    from vblf.constants import Compression, ObjFlags, ObjType
    from vblf.general import ObjectHeader, ObjectHeaderBase
    from vblf.reader import BlfReader

    def header(kind, body, ts):
        base = ObjectHeaderBase(signature=b"LOBJ", header_size=ObjectHeader.SIZE,
                                header_version=1, object_size=ObjectHeader.SIZE + body,
                                object_type=kind)
        return ObjectHeader(base=base, object_flags=ObjFlags.TIME_ONE_NANS, client_index=0,
                            object_version=0, object_time_stamp=ts)

    class KeepOpen(io.BytesIO):
        def close(self):
            pass

    rng = np.random.default_rng(4)
    f = KeepOpen()
    with vblf_writer.BlfWriter(f, compression_level=Compression.DEFAULT, buffer_size=2048) as w:
        for i in range(300):
            ts = i * 1000
            if i % 3 == 0:
                w.write(CanErrorFrame(header(ObjType.CAN_ERROR, 8, ts), i % 4, i, 0))
            elif i % 3 == 1:
                data = rng.integers(0, 256, int(rng.integers(0, 65)), dtype=np.uint8).tobytes()
                ident = int(rng.integers(0, 1 << 29)) | (0x80000000 if i % 2 else 0)
                w.write(CanFdErrorFrame64(
                    header(ObjType.CAN_FD_ERROR_64, CanFdErrorFrame64._FORMAT.size + len(data),
                           ts),
                    i % 4, bb.fd_dlc(len(data)), len(data), 0, 0, 0, int(rng.integers(0, 256)),
                    CanFdErrorFrame64._FORMAT.size, 0, ident, 0, 0, 0, 0, 0, 0, 0, 0, data, 0, 0))
            else:
                w.write(CanMessage.new(ObjFlags.TIME_ONE_NANS, ts, 1, 0, 2, 0x123, b"\x01\x02"))
    idx, chk = k.read(io.BytesIO(f.getvalue()), all_errors=True, verbose=False)
    objects = list(BlfReader(io.BytesIO(f.getvalue())))
    assert len(idx) == len(objects) == 300
    for rec, obj in zip(idx.tolist(), objects):
        _, can_id, is64, channel, length, flags, loc = rec
        stored = chk[loc & (2**48 - 1):][: loc >> 48].tobytes()
        if isinstance(obj, CanErrorFrame):
            assert (can_id, channel, length, flags, stored) == (
                0, obj.channel, min(obj.length, 255), 0x10, b"")
        elif isinstance(obj, CanFdErrorFrame64):
            fd = obj.ext_flags & 0x80
            # The extended flags' bits as they are (0x80 FD, 0x40 BRS, 0x20 ESI).
            want_flags = (0x10 | (0x08 if fd else 0) | (obj.ext_flags & 0x40) >> 5
                          | (obj.ext_flags & 0x20) >> 5 | (0x40 if obj.frame_id >> 31 else 0))
            want_len = bb.FD_LENGTHS[obj.dlc] if fd else obj.dlc
            assert (can_id, is64, channel, length, stored) == (
                obj.frame_id & 0x1FFFFFFF, 1, obj.channel, want_len, obj.data)
            assert flags == want_flags
        else:
            assert (can_id, flags & 0x10) == (0x123, 0)
