"""MF4 bus logs of random frames, both ways: what python-can's MF4Writer writes
(asammdf underneath) read_mf4 reads as python-can's MF4Reader does, and what
write_mf4 writes both read back frame for frame."""

import warnings

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import korvel.korvel as kv

can = pytest.importorskip("can")
pytest.importorskip("asammdf")
pytestmark = pytest.mark.filterwarnings("ignore::DeprecationWarning",
                                        "ignore::UserWarning:asammdf", "ignore::UserWarning:can")

FD_LENGTHS = [0, 1, 2, 3, 4, 5, 6, 7, 8, 12, 16, 20, 24, 32, 48, 64]


@st.composite
def frame(draw):
    kind = draw(st.sampled_from(["classic", "fd", "remote", "error"]))
    extended = draw(st.booleans())
    can_id = draw(st.integers(0, 0x1FFFFFFF if extended else 0x7FF))
    if kind == "fd":
        data = draw(st.binary(min_size=0, max_size=64).map(
            lambda b: b.ljust(next(n for n in FD_LENGTHS if n >= len(b)), b"\0")))
    elif kind == "classic":
        data = draw(st.binary(max_size=8))
    else:
        data = b""
    return {"kind": kind, "extended": extended, "can_id": can_id, "data": data,
                "dlc": draw(st.integers(0, 8)) if kind == "remote" else len(data),
                "channel": draw(st.integers(1, 4)), "rx": draw(st.booleans()),
                "brs": kind == "fd" and draw(st.booleans()), "esi": kind == "fd" and draw(st.booleans()),
                "step": draw(st.integers(1000, 10**9))}  # apart in float seconds too


def times(frames, start=1_700_000_000 * 10**9):
    return np.cumsum([start] + [f["step"] for f in frames])[1:]


def messages(frames):
    out = []
    for f, t in zip(frames, times(frames)):
        out.append(can.Message(
            timestamp=int(t) / 1e9, arbitration_id=f["can_id"], is_extended_id=f["extended"],
            is_remote_frame=f["kind"] == "remote", is_error_frame=f["kind"] == "error",
            is_fd=f["kind"] == "fd", bitrate_switch=f["brs"], error_state_indicator=f["esi"],
            dlc=f["dlc"], data=f["data"], channel=f["channel"], is_rx=f["rx"]))
    return out


def as_python_can(pair):
    index, chunk = pair
    rows = []
    for r in index:
        loc = int(r["loc"])
        off, n = loc & ((1 << 48) - 1), loc >> 48
        fl = int(r["flags"])
        rows.append((int(r["timestamp"]), int(r["can_id"]), bool(fl & 0x40), bool(fl & 0x20),
                     bool(fl & 0x10), bool(fl & 0x08), bool(fl & 0x02), bool(fl & 0x01),
                     int(r["channel"]), bool(fl & 0x04), bytes(chunk[off:off + n])))
    return rows


def read_back(path):
    with can.MF4Reader(str(path)) as reader:
        msgs = sorted(reader, key=lambda m: m.timestamp)
    return [(round(m.timestamp * 1e6), m.arbitration_id, m.is_extended_id, m.is_remote_frame,
             m.is_error_frame, m.is_fd, m.bitrate_switch, m.error_state_indicator, m.channel,
             m.is_rx, b"" if m.is_remote_frame else bytes(m.data)) for m in msgs]


def in_us(rows):
    return [(round(r[0] / 1e3), *r[1:]) for r in rows]


def assert_same(ours, theirs):
    """Frame for frame; times to the µs python-can's float seconds keep."""
    assert [r[1:] for r in ours] == [r[1:] for r in theirs]
    assert all(abs(a[0] - b[0]) <= 1 for a, b in zip(ours, theirs))


def our_read(path):
    with warnings.catch_warnings():
        warnings.simplefilter("error", kv.BLFWarning)  # a CAN-only file has nothing to skip
        return kv.read_mf4(str(path), verbose=False)


@settings(max_examples=25, deadline=None,
          suppress_health_check=[HealthCheck.function_scoped_fixture, HealthCheck.too_slow])
@given(st.lists(frame(), min_size=1, max_size=40))
def test_python_can_files_read_as_python_can_reads_them(tmp_path, frames):
    path = tmp_path / "pc.mf4"
    with can.MF4Writer(str(path)) as w:
        for m in messages(frames):
            w.on_message_received(m)
    pair = our_read(path)
    assert_same(in_us(as_python_can(pair)), read_back(path))
    with can.MF4Reader(str(path)) as reader:
        dlcs = [m.dlc for m in sorted(reader, key=lambda m: m.timestamp)]
    assert pair[0]["len"].tolist() == dlcs


@settings(max_examples=25, deadline=None,
          suppress_health_check=[HealthCheck.function_scoped_fixture, HealthCheck.too_slow])
@given(st.lists(frame(), min_size=1, max_size=40))
def test_write_mf4_reads_back_here_and_in_python_can(tmp_path, frames):
    msgs = messages(frames)
    index = np.zeros(len(msgs), kv.DT)
    chunk, at = bytearray(), 0
    for i, (m, f, t) in enumerate(zip(msgs, frames, times(frames))):
        flags = (0x40 * m.is_extended_id | 0x20 * m.is_remote_frame | 0x10 * m.is_error_frame
                 | 0x08 * m.is_fd | 0x04 * m.is_rx | 0x02 * m.bitrate_switch
                 | 0x01 * m.error_state_indicator)
        index[i] = (t, m.arbitration_id,
                    int(m.is_fd), m.channel, f["dlc"], flags, at | len(m.data) << 48)
        chunk += m.data
        at += len(m.data)
    pair = (index, np.frombuffer(bytes(chunk), np.uint8).copy())
    path = tmp_path / "ours.mf4"
    kv.write_mf4(str(path), pair, verbose=False)
    back = our_read(path)
    assert as_python_can(back) == as_python_can(pair)  # times already ascend
    assert back[0]["len"].tolist() == index["len"].tolist()
    assert_same(in_us(as_python_can(pair)), read_back(path))
