"""to_homo, to_index_chunk and concat."""

import numpy as np
import pytest

import korvel.korvel as k

MASK48 = (1 << 48) - 1


def pair_of(payloads, lens=None, gap=0):
    """A frames pair whose i-th record stores payloads[i]; `gap` unused bytes between."""
    idx = np.zeros(len(payloads), k.DT)
    chunk = bytearray()
    for i, p in enumerate(payloads):
        chunk += bytes([0xEE] * gap)
        idx[i] = (1000 + i, 0x100 + i, i % 2, i % 3, len(p) if lens is None else lens[i],
                  0x04 | (0x08 if len(p) > 8 else 0), len(chunk) + (len(p) << 48))
        chunk += p
    return idx, np.frombuffer(bytes(chunk), np.uint8).copy()


def payload(index, chunk, i):
    loc = int(index[i]["loc"])
    off, n = loc & MASK48, loc >> 48
    return chunk[off : off + n].tobytes()


HEADER = ("timestamp", "can_id", "is64", "channel", "len", "flags")


# --- to_homo ------------------------------------------------------------------


@pytest.mark.parametrize(
    "payloads, dtype, datas, line",
    [([bytes(range(1, 9)), b"\xab\xcd", b""], k.newType(8),
      [bytes(range(1, 9)), b"\xab\xcd" + bytes(6), bytes(8)], "to_homo: tot_mem=72\n"),
     ([bytes(64), b"\x01"], k.DT64, [bytes(64), b"\x01" + bytes(63)], "to_homo: tot_mem=160\n")],
)
def test_to_homo(payloads, dtype, datas, line, capsys):
    pair = pair_of(payloads, gap=3)
    h = k.to_homo(pair)
    assert h.dtype == dtype and [bytes(d) for d in h["data"]] == datas
    for name in HEADER:
        np.testing.assert_array_equal(h[name], pair[0][name])
    assert capsys.readouterr().out == line


@pytest.mark.parametrize(
    "view",
    [lambda idx, ch: (idx[::2], ch), lambda idx, ch: (idx[::-1], ch),
     lambda idx, ch: (idx, np.repeat(ch, 2)[::2])],
    ids=["strided-index", "reversed-index", "strided-chunk"],
)
def test_to_homo_walks_strided_inputs(view):
    idx, ch = pair_of([bytes([i] * (i % 9)) for i in range(21)], gap=1)
    got = k.to_homo(view(idx, ch))
    want = k.to_homo((np.ascontiguousarray(view(idx, ch)[0]), ch.copy()))
    assert got.tobytes() == want.tobytes()


def test_to_homo_stored_count_cut_and_zero_filled():
    # Stored count 100 > 64: only 64 bytes are taken. Stored 1 < len 5: zeros after.
    idx, ch = pair_of([bytes(range(100)), b"\x07"], lens=[64, 5])
    h = k.to_homo((idx, ch))
    assert bytes(h[0]["data"]) == bytes(range(64))
    assert bytes(h[1]["data"]) == b"\x07" + bytes(63)


@pytest.mark.parametrize("bad_loc", [(3 << 48) + 9, (1 << 48) + 10, (1 << 48) + MASK48])
def test_to_homo_payload_past_the_end(bad_loc, capsys):
    idx, ch = pair_of([b"\x01\x02", b"\x03" * 8])  # chunk of 10 bytes
    idx[1]["loc"] = bad_loc
    with pytest.raises(ValueError, match="Frame record 1 "):
        k.to_homo((idx, ch))
    assert capsys.readouterr().out == ""


# --- to_index_chunk ------------------------------------------------------------


def test_index_chunk_restores_the_pair(capsys):
    payloads = [bytes([i] * (i * 7 % 65)) for i in range(30)]
    idx, ch = pair_of(payloads, gap=2)
    index, chunk = k.to_index_chunk(k.to_homo((idx, ch)))
    for name in HEADER:
        np.testing.assert_array_equal(index[name], idx[name])
    assert [payload(index, chunk, i) for i in range(30)] == payloads
    assert len(chunk) == sum(map(len, payloads))  # dense, gaps gone
    total = sum(map(len, payloads))
    assert capsys.readouterr().out.splitlines()[-1] == f"to_index_chunk: tot_mem=(720 + {total}) Bytes"


def test_index_chunk_offsets(capsys):
    h = np.zeros(5, k.DT64)
    h["len"] = [0, 0, 64, 3, 4]
    h["data"][2] = np.arange(64)
    h["data"][3:, :3] = [1, 2, 3]  # the last record's fourth byte is zero
    index, chunk = k.to_index_chunk(h)
    assert [int(x) for x in index["loc"]] == [0, 0, 64 << 48, 64 + (3 << 48), 67 + (4 << 48)]
    assert chunk.tobytes() == bytes(range(64)) + b"\x01\x02\x03" + b"\x01\x02\x03\x00"
    empty = k.to_index_chunk(np.zeros(0, k.DT64))
    assert empty[0].dtype == k.DT and len(empty[0]) == len(empty[1]) == 0
    assert capsys.readouterr().out == ("to_index_chunk: tot_mem=(120 + 71) Bytes\n"
                                       "to_index_chunk: tot_mem=(0 + 0) Bytes\n")


@pytest.mark.parametrize(
    "convert",
    [lambda h: h.astype(k.newType(8)), lambda h: np.repeat(h, 3)[1::3],
     lambda h: h.astype([(n.upper(), h.dtype[n]) for n in h.dtype.names]),
     lambda h: h.astype(k.newType(100))],
    ids=["newType8", "strided", "renamed-fields", "wider"],
)
def test_index_chunk_equivalent_inputs(convert):
    h = np.zeros(5, k.DT64)
    h["timestamp"] = np.arange(5) * 7
    h["len"] = [8, 0, 3, 8, 1]
    h["data"][:, :8] = np.arange(40).reshape(5, 8)
    ref = k.to_index_chunk(h)
    got = k.to_index_chunk(convert(h))
    assert got[0].tobytes() == ref[0].tobytes() and got[1].tobytes() == ref[1].tobytes()


def test_index_chunk_len_above_width_is_cut():
    h = np.zeros(2, k.newType(4))
    h[0] = (1, 2, 0, 0, 8, 0, [1, 2, 3, 4])
    h[1] = (1, 2, 0, 0, 2, 0, [5, 6, 7, 8])
    index, chunk = k.to_index_chunk(h)
    assert list(index["len"]) == [8, 2]
    assert [int(x) for x in index["loc"]] == [4 << 48, 4 + (2 << 48)]
    assert chunk.tobytes() == b"\x01\x02\x03\x04\x05\x06"


# --- concat --------------------------------------------------------------------


def test_concat_rebases_and_leaves_inputs_alone():
    a = pair_of([b"\x01" * 4, b"\x02" * 6])  # 10 bytes
    b = pair_of([b"\x03" * 8, b"\x04" * 12], gap=0)  # 20 bytes
    saved = [x.copy() for x in (*a, *b)]
    index, chunk = k.concat([a, b])
    assert index.dtype == k.DT and len(index) == 4 and len(chunk) == 30
    np.testing.assert_array_equal(index["loc"][2:], b[0]["loc"] + 10)
    np.testing.assert_array_equal(index["loc"][2:] >> 48, b[0]["loc"] >> 48)
    assert [payload(index, chunk, i) for i in range(4)] == [
        b"\x01" * 4, b"\x02" * 6, b"\x03" * 8, b"\x04" * 12]
    for name in HEADER:
        np.testing.assert_array_equal(index[name], np.concatenate([a[0][name], b[0][name]]))
    for x, y in zip((*a, *b), saved):
        assert x.tobytes() == y.tobytes()


def test_concat_single_pair_is_a_copy():
    a = pair_of([b"\x01\x02", b"\x03"])
    index, chunk = k.concat([a])
    assert index.tobytes() == a[0].tobytes() and chunk.tobytes() == a[1].tobytes()
    assert not np.shares_memory(index, a[0]) and not np.shares_memory(chunk, a[1])


def test_concat_empty_records_with_bytes_and_generator():
    empty_records = (np.zeros(0, k.DT), np.arange(5, dtype=np.uint8))
    a = pair_of([b"\x09\x08"])
    assert [len(x) for x in k.concat([])] == [0, 0]
    index, chunk = k.concat(p for p in [a, empty_records, a])
    assert len(index) == 2 and len(chunk) == 2 + 5 + 2
    assert int(index[1]["loc"]) == int(a[0][0]["loc"]) + 7
    assert payload(index, chunk, 1) == b"\x09\x08"
    assert chunk[2:7].tobytes() == bytes(range(5))


def test_concat_strided_and_foreign_layouts():
    a = pair_of([bytes([i]) for i in range(6)])
    strided = (a[0][::2], np.repeat(a[1], 2)[::2])
    # An index with the DT fields under a non-native layout goes through NumPy.
    aligned = (a[0].astype(np.dtype(k.DT.descr, align=True)), a[1])
    index, chunk = k.concat([strided, aligned])
    assert len(index) == 9 and len(chunk) == 12
    assert [payload(index, chunk, i) for i in range(9)] == [
        b"\x00", b"\x02", b"\x04"] + [bytes([i]) for i in range(6)]
