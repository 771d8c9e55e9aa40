"""Logs written by python-can's BLFWriter read back frame for frame."""

import io

import numpy as np
import pytest

import korvel.korvel as k

can = pytest.importorskip("can")


class KeepOpen(io.BytesIO):
    def close(self):  # BLFWriter closes its file; keep the bytes readable
        pass


def make_messages(n=6000):
    rng = np.random.default_rng(7)
    t0 = 1_700_000_000.0
    msgs = []
    for i in range(n):
        kind = i % 10
        common = {"timestamp": t0 + i * 0.000731, "channel": int(i % 3), "is_rx": bool(i % 4)}
        if kind == 7:
            size = int(rng.choice([0, 5, 8, 12, 20, 32, 48, 64]))
            msgs.append(can.Message(arbitration_id=int(rng.integers(0, 1 << 29)), is_fd=True,
                                    is_extended_id=True, bitrate_switch=bool(i % 3),
                                    error_state_indicator=bool(i % 5 == 0),
                                    data=rng.integers(0, 256, size, dtype=np.uint8).tobytes(),
                                    **common))
        elif kind == 8:
            msgs.append(can.Message(arbitration_id=int(rng.integers(0, 0x800)),
                                    is_error_frame=True, is_extended_id=False, dlc=0, **common))
        elif kind == 9:
            msgs.append(can.Message(arbitration_id=0x7DF, is_remote_frame=True, dlc=4,
                                    is_extended_id=False, **common))
        else:
            ext = kind == 3
            ident = int(rng.integers(0, 1 << 29 if ext else 1 << 11))
            size = int(rng.integers(0, 9))
            msgs.append(can.Message(arbitration_id=ident, is_extended_id=ext,
                                    data=rng.integers(0, 256, size, dtype=np.uint8).tobytes(),
                                    **common))
    return msgs


@pytest.fixture(scope="module")
def python_can_log():
    f = KeepOpen()
    writer = can.BLFWriter(f)
    for m in make_messages():
        writer.on_message_received(m)
    writer.stop()
    return f.getvalue()


def test_python_can_log_reads_frame_for_frame(python_can_log):
    idx, chk = k.read(io.BytesIO(python_can_log))
    ref = list(can.BLFReader(io.BytesIO(python_can_log)))
    assert len(idx) == len(ref) > 0
    t_first = idx["timestamp"][0]
    for rec, m in zip(idx, ref):
        assert rec["can_id"] == m.arbitration_id
        assert rec["channel"] == m.channel + 1  # BLF channels count from 1
        flags = int(rec["flags"])
        assert bool(flags & 0x40) == m.is_extended_id
        assert bool(flags & 0x20) == m.is_remote_frame
        assert bool(flags & 0x10) == m.is_error_frame
        assert bool(flags & 0x08) == m.is_fd
        if not m.is_error_frame:  # error frame objects carry no direction
            assert bool(flags & 0x04) == m.is_rx
        assert bool(flags & 0x02) == m.bitrate_switch
        assert bool(flags & 0x01) == m.error_state_indicator
        assert rec["is64"] == int(m.is_fd)
        assert rec["len"] == m.dlc
        off, cnt = int(rec["loc"]) & 0xFFFFFFFFFFFF, int(rec["loc"]) >> 48
        if not m.is_remote_frame:
            assert chk[off:off + cnt].tobytes() == bytes(m.data)
        rel_ns = int(rec["timestamp"] - t_first)
        assert abs(rel_ns * 1e-9 - (m.timestamp - ref[0].timestamp)) < 1e-6


def test_python_can_log_from_a_real_file(python_can_log, tmp_path):
    path = tmp_path / "log.blf"
    path.write_bytes(python_can_log)
    with open(path, "rb") as f:
        a = k.read(f)
        assert f.read() == b""  # the whole stream was consumed
    b = k.read(io.BytesIO(python_can_log))
    assert a[0].tobytes() == b[0].tobytes() and a[1].tobytes() == b[1].tobytes()


def vblf_log(n=3000):
    """A log written by vblf: objects aligned to 8 bytes inside containers
    and in the file, CAN FD 64 objects of odd sizes, several containers."""
    vblf_writer = pytest.importorskip("vblf.writer")
    from vblf.can import CanFdMessage64, CanMessage
    from vblf.constants import CanFdFlags, Compression, ObjFlags, ObjType
    from vblf.general import ObjectHeader, ObjectHeaderBase

    rng = np.random.default_rng(11)
    f = KeepOpen()
    expected = []
    with vblf_writer.BlfWriter(f, compression_level=Compression.DEFAULT,
                               buffer_size=4096) as w:
        for i in range(n):
            ts = i * 1000
            if i % 3 == 0:
                ident = int(rng.integers(0, 1 << 29))
                data = rng.integers(0, 256, int(rng.integers(0, 65)), dtype=np.uint8).tobytes()
                size = ObjectHeader.SIZE + CanFdMessage64._FORMAT.size + len(data)
                base = ObjectHeaderBase(signature=b"LOBJ", header_size=ObjectHeader.SIZE,
                                        header_version=1, object_size=size,
                                        object_type=ObjType.CAN_FD_MESSAGE_64)
                head = ObjectHeader(base=base, object_flags=ObjFlags.TIME_ONE_NANS,
                                    client_index=0, object_version=0, object_time_stamp=ts)
                w.write(CanFdMessage64(head, 2, 15, len(data), 0, ident | 0x80000000, 0,
                                       CanFdFlags(0x1000), 0, 0, 0, 0, 0, 0, 0, 0, data, 0, 0))
                expected.append((ident, 2, data))
            else:
                ident = int(rng.integers(0, 0x800))
                data = rng.integers(0, 256, int(rng.integers(0, 9)), dtype=np.uint8).tobytes()
                w.write(CanMessage.new(ObjFlags.TIME_ONE_NANS, ts, 1, 0, len(data), ident, data))
                expected.append((ident, 1, data))
    return f.getvalue(), expected


def test_vblf_log_reads_frame_for_frame():
    data, expected = vblf_log()
    assert data.count(b"LOBJ") > 10  # several containers
    idx, chk = k.read(io.BytesIO(data), verbose=False)
    assert len(idx) == len(expected)
    for rec, (ident, channel, payload) in zip(idx, expected):
        off, cnt = int(rec["loc"]) & 0xFFFFFFFFFFFF, int(rec["loc"]) >> 48
        assert (rec["can_id"], rec["channel"], chk[off:off + cnt].tobytes()) == (
            ident, channel, payload)
    assert (np.diff(idx["timestamp"]) > 0).all()
