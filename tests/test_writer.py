"""write(): object bytes, container framing, the file header, read-back through
korvel and python-can."""

import io
import struct
import zlib
from datetime import datetime

import can
import numpy as np
import pytest

import korvel.korvel as k

T0 = 1_700_000_000_123_456_789  # an earliest frame timestamp, ns
FD_LENGTHS = [0, 1, 2, 3, 4, 5, 6, 7, 8, 12, 16, 20, 24, 32, 48, 64]
MASK48 = (1 << 48) - 1


def make_pair(frames):
    """frames: (timestamp, can_id, channel, flags, data[, len]) tuples -> frames pair."""
    idx = np.zeros(len(frames), k.DT)
    chunk = bytearray()
    for i, (ts, ident, ch, fl, data, *ln) in enumerate(frames):
        idx[i] = (ts, ident, fl >> 3 & 1, ch, ln[0] if ln else len(data), fl,
                  len(chunk) + (len(data) << 48))
        chunk += data
    return idx, np.frombuffer(bytes(chunk), np.uint8).copy()


def sample_frames(n=50, seed=1):
    rng = np.random.default_rng(seed)
    out = []
    for _ in range(n):
        fl = int(rng.choice([0x00, 0x04, 0x40, 0x44, 0x24, 0x08, 0x0C, 0x0E, 0x0F, 0x4B, 0x10]))
        length = int(rng.choice(FD_LENGTHS if fl & 0x08 else FD_LENGTHS[:9]))
        out.append((T0 + int(rng.integers(-10**9, 10**9)),
                    int(rng.integers(0, 1 << 29 if fl & 0x40 else 1 << 11)),
                    int(rng.integers(1, 4)), fl, rng.bytes(length)))
    return out


def write_bytes(arr, stream=None):
    f = stream or io.BytesIO()
    k.write(f, arr)
    return f.getvalue()


def parse(blob):
    """Header fields and containers, decoded straight from the format tables."""
    h = struct.unpack_from("<4sI8BqqII8H8H", blob)
    header = {"filesize": h[10], "uncompressed_size": h[11], "object_count": h[12],
              "objects_read": h[13], "start": h[14:22], "stop": h[22:30]}
    containers, pos = [], 144
    while pos < len(blob):
        head = struct.unpack_from("<4sHHIIH6xI4x", blob, pos)
        osize = head[3]
        containers.append({"head": head, "data": blob[pos + 32 : pos + osize],
                           "padding": blob[pos + osize : pos + osize + osize % 4]})
        pos += osize + osize % 4
    assert pos == len(blob)
    return header, containers


def inner_objects(blob):
    """(type, relative timestamp, body) of every inner object."""
    stream = b"".join(zlib.decompress(c["data"]) for c in parse(blob)[1])
    out, pos = [], 0
    while pos < len(stream):
        sig, hsize, hver, osize, otype, tflags, client, over, ts = struct.unpack_from(
            "<4sHHIIIHHQ", stream, pos)
        assert (sig, hsize, hver, tflags, client, over) == (b"LOBJ", 32, 1, 2, 0, 0)
        out.append((otype, ts, stream[pos + 32 : pos + osize]))
        pos += osize
    return out


def read_back(blob):
    return k.read(io.BytesIO(blob))


def test_classic_object_byte_image():
    pair = make_pair([(T0, 0x7FF, 0, 0x04, b""), (T0 + 1000, 0x123, 1, 0x04, b"\xab\xcd")])
    objects = zlib.decompress(parse(write_bytes(pair))[1][0]["data"])
    assert objects[48:96] == bytes.fromhex(
        "4C4F424A 20000100 30000000 01000000 02000000 00000000 E8030000 00000000"
        "01000002 23010000 ABCD0000 00000000")


def test_file_header_and_summary_line(capsys):
    frames = [(T0 + i * 1_000_000, i, 1, 0, bytes([i % 256] * 8)) for i in range(300)]
    blob = write_bytes(make_pair(frames))
    header, containers = parse(blob)
    assert blob[:16] == bytes.fromhex("4C4F4747 90000000 05000000 02060801")
    assert blob[72:144] == bytes(72)
    assert (header["filesize"], header["object_count"], header["objects_read"]) == (len(blob),
                                                                                   300, 0)
    assert header["uncompressed_size"] == 144 + sum(32 + c["head"][6] for c in containers)
    for rec, ts in ((header["start"], T0), (header["stop"], T0 + 299_000_000)):
        d = datetime.fromtimestamp(ts * 1e-9)  # local time, milliseconds rounded
        assert rec == (d.year, d.month, d.isoweekday() % 7, d.day, d.hour, d.minute, d.second,
                       round(d.microsecond / 1000))
    assert capsys.readouterr().out.splitlines()[-1] == (
        f"korvel.write: fsize={len(blob)}, uncomp={header['uncompressed_size']}, objcnt=300, "
        f"start={T0 * 1e-9!r}, end={(T0 + 299_000_000) * 1e-9!r}")


def test_containers_are_zlib_compress_with_remainder_padding():
    residues = set()
    for n in range(1, 60):
        for c in parse(write_bytes(make_pair(sample_frames(n, seed=n))))[1]:
            raw = zlib.decompress(c["data"])
            assert c["head"] == (b"LOBJ", 16, 1, 32 + len(c["data"]), 10, 2, len(raw))
            assert c["data"] == zlib.compress(raw)
            assert c["padding"] == bytes(len(c["data"]) % 4)
            residues.add(len(c["data"]) % 4)
    assert residues == {0, 1, 2, 3}


@pytest.mark.parametrize("n, sizes", [(4166, [199968]), (4167, [199968, 48])])
def test_container_split(n, sizes):
    arr = np.zeros(n, k.DT64)
    arr["timestamp"] = T0 + np.arange(n)
    arr["len"] = 8
    blob = write_bytes(arr)
    assert [c["head"][6] for c in parse(blob)[1]] == sizes
    assert len(read_back(blob)[0]) == n


# (flags, len) -> object type, bytes checked at body offsets, flags read back
@pytest.mark.parametrize(
    "flags, length, otype, body, read_flags",
    [(0x44, 2, 1, {2: 0x00, 3: 2, 7: 0x80}, 0x44),  # extended, received
     (0x40, 2, 1, {2: 0x01, 3: 2, 7: 0x80}, 0x40),
     (0x24, 0, 1, {2: 0x80, 3: 0, 7: 0x00}, 0x24),  # remote, received
     (0x23, 3, 1, {2: 0x81, 3: 3}, 0x20),  # BRS/ESI dropped without FD
     (0x0B, 12, 100, {2: 0x01, 3: 9, 13: 0x07, 14: 12}, 0x0B),
     (0x4C, 64, 100, {2: 0x00, 3: 15, 13: 0x01, 14: 64, 7: 0x80}, 0x4C),
     (0x18, 8, 73, {10: 8, 19: 0x00, 20: 0x00}, 0x10),  # error wins over FD
     (0x74, 4, 73, {10: 4, 19: 0x80, 20: 0x20}, 0x54)],  # remote dropped, rx kept for errors
)
def test_flag_round_trip(flags, length, otype, body, read_flags):
    data = bytes(range(1, length + 1))
    blob = write_bytes(make_pair([(T0, 0x123, 3, flags, data)]))
    [(t, ts, b)] = inner_objects(blob)
    id_at, data_at = {1: (4, 8), 73: (16, 24), 100: (4, 20)}[otype]
    size = {1: 16, 73: 32, 100: 84}[otype]
    assert (t, ts, len(b), b[0], b[id_at : id_at + 2]) == (otype, 0, size, 3, b"\x23\x01")
    assert {i: b[i] for i in body} == body
    assert b[data_at:] == data + bytes(len(b) - data_at - length)
    index, chunk = read_back(blob)
    assert (index[0]["flags"], index[0]["can_id"], index[0]["len"]) == (read_flags, 0x123, length)
    assert chunk.tobytes() == data


@pytest.mark.parametrize(
    "length, code",
    [(0, 0), (8, 8), (9, 9), (12, 9), (13, 10), (16, 10), (17, 11), (20, 11), (21, 12), (24, 12),
     (25, 13), (32, 13), (33, 14), (48, 14), (49, 15), (64, 15)],
)
def test_fd_length_code(length, code):
    blob = write_bytes(make_pair([(T0, 1, 0, 0x08, b"\x5a" * length)]))
    [(_, _, body)] = inner_objects(blob)
    assert (body[3], body[14]) == (code, length)
    index, chunk = read_back(blob)
    assert index[0]["len"] == FD_LENGTHS[code] and chunk.tobytes() == b"\x5a" * length


@pytest.mark.parametrize("flags, field, room, dlc_at", [(0x00, 8, 8, 3), (0x10, 24, 8, 10),
                                                        (0x08, 20, 64, 14)])
def test_len_beyond_the_body_is_cut(flags, field, room, dlc_at):
    """len goes into the DLC / valid-bytes byte as given; the copy stops at the body's
    data field and at the record's data width."""
    arr = np.zeros(1, k.DT64)
    arr[0] = (T0, 5, 0, 0, 200, flags, np.arange(64))
    narrow = np.zeros(1, k.newType(3))
    narrow[0] = (T0, 5, 0, 0, 8, flags, [7, 8, 9])
    blob = write_bytes(arr)
    [(_, _, body)] = inner_objects(blob)
    assert body[dlc_at] == 200 and body[field : field + room] == bytes(range(room))
    [(_, _, body)] = inner_objects(write_bytes(narrow))
    assert body[field : field + room] == bytes([7, 8, 9]) + bytes(room - 3)
    if flags == 0:  # a classic DLC above 8 reads back with its len and 8 stored bytes
        index, chunk = read_back(blob)
        assert index[0]["len"] == 200 and int(index[0]["loc"]) >> 48 == 8
        assert chunk.tobytes() == bytes(range(8))


def test_pair_equals_to_homo_of_pair(capsys):
    pair = make_pair(sample_frames())
    direct = write_bytes(pair)
    lines_direct = capsys.readouterr().out.splitlines()
    assert direct == write_bytes(k.to_homo(pair))
    assert lines_direct == capsys.readouterr().out.splitlines()
    assert lines_direct[0].startswith("to_homo: tot_mem=")


@pytest.mark.parametrize(
    "convert",
    [lambda a: a.astype(k.newType(int(a["len"].max()))),
     lambda a: np.repeat(a, 2)[::2],
     lambda a: np.repeat(a, 2)[1::2],
     lambda a: a.astype([(n if n != "flags" else "f", a.dtype[n]) for n in a.dtype.names])],
    ids=["newType", "strided", "strided-odd", "renamed-field"],
)
def test_equivalent_inputs_write_the_same_bytes(convert):
    arr = k.to_homo(make_pair(sample_frames())).astype(k.DT64)
    assert write_bytes(convert(arr)) == write_bytes(arr)


def test_read_back_by_korvel_and_python_can():
    frames = sample_frames(400, seed=3)
    pair = make_pair(frames)
    blob = write_bytes(pair)
    index, chunk = read_back(blob)
    for name in ("can_id", "channel", "len", "flags", "is64"):
        np.testing.assert_array_equal(index[name], pair[0][name], err_msg=name)
    first = np.argmin(pair[0]["timestamp"])
    rel_in = pair[0]["timestamp"] - pair[0]["timestamp"][first]
    # The reader adds in double precision (256 ns steps at today's dates).
    assert np.abs(index["timestamp"] - index["timestamp"][first] - rel_in).max() <= 512
    for i, f in enumerate(frames):
        off = int(index[i]["loc"]) & MASK48
        assert chunk[off : off + len(f[4])].tobytes() == f[4]

    msgs = list(can.BLFReader(io.BytesIO(blob)))
    assert len(msgs) == len(frames)
    for (ts, ident, ch, fl, data), m in zip(frames, msgs):
        assert m.timestamp - msgs[first].timestamp == pytest.approx(
            (ts - frames[first][0]) * 1e-9, abs=2e-6)
        assert m.is_error_frame == bool(fl & 0x10)
        if fl & 0x10:
            continue
        assert (m.arbitration_id, m.channel, m.dlc) == (ident, ch - 1, len(data))
        assert (m.is_extended_id, m.is_remote_frame, m.is_fd, m.is_rx) == (
            bool(fl & 0x40), bool(fl & 0x20), bool(fl & 0x08), bool(fl & 0x04))
        assert not m.is_fd or (m.bitrate_switch, m.error_state_indicator) == (
            bool(fl & 0x02), bool(fl & 0x01))
        assert m.is_remote_frame or bytes(m.data) == data


def test_error_frames_store_their_direction_as_vblf_reads_it():
    from vblf.can import CanErrorFrameExt
    from vblf.reader import BlfReader

    blob = write_bytes(make_pair([(T0 + i, 0x100 + i, 1, fl, b"\x01")
                                  for i, fl in enumerate([0x10, 0x14, 0x54])]))
    objs = list(BlfReader(io.BytesIO(blob)))
    assert all(isinstance(o, CanErrorFrameExt) for o in objs)
    assert [o.flags_ext & 0x20 for o in objs] == [0, 0x20, 0x20]  # bit 5: received
    assert read_back(blob)[0]["flags"].tolist() == [0x10, 0x14, 0x54]


def test_python_can_file_round_trips_through_korvel(tmp_path):
    """python-can writes, korvel reads and rewrites, python-can reads the same messages."""
    path = tmp_path / "peer.blf"
    sent = [can.Message(timestamp=1_700_000_000.5 + i * 0.001, arbitration_id=0x100 + i,
                        is_extended_id=i % 2 == 1, data=bytes([i] * (i % 9)), is_rx=i % 3 != 0)
            for i in range(40)]
    sent.append(can.Message(timestamp=1_700_000_000.6, arbitration_id=0x42, is_fd=True,
                            bitrate_switch=True, data=bytes(range(48))))
    with can.BLFWriter(str(path)) as w:
        for m in sent:
            w.on_message_received(m)
    with open(path, "rb") as fh:
        again = list(can.BLFReader(io.BytesIO(write_bytes(k.read(fh)))))
    assert len(again) == len(sent)
    for a, b in zip(sent, again):
        assert (b.arbitration_id, b.is_extended_id, b.is_fd, b.is_rx, bytes(b.data)) == (
            a.arbitration_id, a.is_extended_id, a.is_fd, a.is_rx, bytes(a.data))
        assert b.timestamp - again[0].timestamp == pytest.approx(
            a.timestamp - sent[0].timestamp, abs=2e-6)


@pytest.mark.parametrize(
    "arr, printed",
    [(np.zeros(2, k.newType(65)), ""),
     (make_pair([(T0, 1, 0, 0, b"\x01", 65)]), "to_homo: tot_mem=81\n")],
    ids=["array", "pair"],
)
def test_wide_data_field_rejected_before_writing(arr, printed, capsys):
    f = io.BytesIO()
    with pytest.raises(k.BLFError) as e:
        k.write(f, arr)
    assert e.value.args == (("Data field length exceeds 64 bytes. J1939 reassembled packets "
                             "require segmentation prior to export."),)
    assert f.getvalue() == b"" and capsys.readouterr().out == printed


@pytest.mark.parametrize("arr", [np.zeros(0, k.DT64), (np.zeros(0, k.DT), np.zeros(0, np.uint8))])
def test_empty_input(arr, capsys):
    f = io.BytesIO()
    with pytest.raises(ValueError, match="zero-size array"):
        k.write(f, arr)
    assert f.getvalue() == b"" and capsys.readouterr().out == ""


def test_unseekable_stream(capsys):
    class Unseekable(io.BytesIO):
        def seekable(self):
            return False

    f = Unseekable()
    with pytest.raises(k.BLFError) as e:
        k.write(f, make_pair(sample_frames(10)))
    assert e.value.args == (
        "The file stream does not support random access; the file header cannot be modified.",)
    assert f.getvalue()[:144] == bytes(144) and len(f.getvalue()) > 144
    assert "korvel.write" not in capsys.readouterr().out


def test_sizes_past_4_gib_are_carried_in_64_bits(capsys):
    shift = 5 << 30

    class FarStream(io.BytesIO):  # as if 5 GiB had been written before
        def tell(self):
            return super().tell() + shift

    blob = write_bytes(make_pair(sample_frames(5)), FarStream())
    assert parse(blob)[0]["filesize"] == len(blob) + shift
    assert f"fsize={len(blob) + shift}," in capsys.readouterr().out


@pytest.mark.parametrize("stored, length", [(5, 12), (12, 12), (16, 12), (0, 64), (64, 64)])
def test_fd_pair_keeps_its_stored_count(stored, length):
    """A CAN FD frame read with fewer (or more) bytes than its length is written
    with those bytes as valid, and reads back alike here and in python-can; the
    inline array (whose records hold len bytes) keeps writing len."""
    data = bytes(range(1, stored + 1))
    pair = make_pair([(T0, 0x321, 1, 0x0C, data, length)])
    index, chunk = k.read(io.BytesIO(write_bytes(pair)), verbose=False)
    assert (index[0]["len"], int(index[0]["loc"]) >> 48) == (length, stored)
    assert chunk.tobytes() == data
    (msg,) = can.BLFReader(io.BytesIO(write_bytes(pair)))
    assert bytes(msg.data) == data and msg.is_fd
    inline, _ = k.read(io.BytesIO(write_bytes(k.to_homo(pair, verbose=False))), verbose=False)
    assert int(inline[0]["loc"]) >> 48 == length
