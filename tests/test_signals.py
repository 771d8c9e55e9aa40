"""Signal decoding: worked layouts, frame selection, argument handling, and a
property test against cantools on random DBC signals and payloads."""

import math

import cantools
import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import korvel
from korvel import korvel as k


def frames_pair(frames):
    """(can_id, payload bytes) pairs -> (index, chunk), payloads back to back."""
    index = np.zeros(len(frames), k.DT)
    chunk = np.frombuffer(b"".join(bytes(p) for _, p in frames), np.uint8).copy()
    offset = 0
    for i, (can_id, payload) in enumerate(frames):
        index[i]["can_id"] = can_id
        index[i]["len"] = min(len(payload), 255)
        index[i]["loc"] = offset + (len(payload) << 48)
        offset += len(payload)
    return index, chunk


def same(a, b):
    """Element-wise equality where NaN equals NaN."""
    a, b = np.asarray(a, np.float64), np.asarray(b, np.float64)
    return a.shape == b.shape and bool(np.all((a == b) | (np.isnan(a) & np.isnan(b))))


ABCDEF = bytes.fromhex("ABCDEF")


@pytest.mark.parametrize(
    "args, payload, triples, expected",
    [
        ((291, 4, 12, False), ABCDEF, (0, 0xF0, 48, 1, 0xFF, 56), 3290.0),
        ((291, 7, 12), ABCDEF, (0, 0xFF, 56, 1, 0xF0, 48), 2748.0),
        ((291, 7, 12, True, True), ABCDEF, (0, 0xFF, 56, 1, 0xF0, 48), -1348.0),
        ((291, 3, 6), ABCDEF, (0, 0x0F, 60, 1, 0xC0, 52), 47.0),
        ((291, 7, 12, True, False, False, 0.5, 10.0), ABCDEF, None, 1384.0),
        ((291, 0, 9), bytes.fromhex("0180"), (0, 0x01, 63, 1, 0xFF, 55), 384.0),
        ((291, 0, 32, False, False, True), bytes.fromhex("0000803F"), None, 1.0),
        ((291, 0, 32, False, False, True, 2.0, 1.0), bytes.fromhex("0000803F"), None, 3.0),
        # is_signed has no effect on floats; any float length but 32 is double
        ((291, 0, 32, False, True, True), bytes.fromhex("000080BF"), None, -1.0),
        ((291, 0, 64, False, True, True), np.float64(-2.5).tobytes(), None, -2.5),
        # 64-bit integers: two's complement when signed, positive when unsigned
        ((291, 0, 64, False, True), b"\xff" * 8, None, -1.0),
        ((291, 0, 64, False, False), b"\xff" * 8, None, float(2**64 - 1)),
        ((291, 7, 64, True, True), b"\x80" + b"\x00" * 7, None, float(-(2**63))),
    ],
)
def test_worked_layouts(args, payload, triples, expected):
    decode = k.signal_decoder(*args)
    other = (292, payload)
    values = decode(frames_pair([(291, payload), other, (291, payload)]))
    assert values.dtype == np.float64
    assert same(values, [expected, math.nan, expected])
    if triples is not None:
        # The decoder is evaluated from text; its triple list is a constant.
        assert triples in decode.__code__.co_consts


def test_decoder_text_constants_and_independence():
    d1 = k.signal_decoder(291, 7, 12, True, True, False, 0.5, 10.0)
    d2 = k.signal_decoder(291, 7, 12, True, True, False, 0.5, 10.0)
    consts = d1.__code__.co_consts
    for c in (291, -52, 0.5, 10.0):
        assert c in consts
    assert d1 is not d2
    frames = frames_pair([(291, ABCDEF)])
    assert same(d1(frames), d2(frames))
    assert same(d1(frames), [-1348 * 0.5 + 10.0])


def test_keyword_arguments_and_defaults():
    d = korvel.signal_decoder(can_id=291, start=7, length=12, offset=1.0)
    frames = frames_pair([(291, ABCDEF)])
    assert same(d(frames), [2749.0])
    assert same(d(arr=frames, pad=1), [2749.0])


@pytest.mark.parametrize(
    "ids, pad, expected",
    [
        ([5, 291, 5, 5, 291, 5], 0, [math.nan, 1, math.nan, math.nan, 2, math.nan]),
        ([5, 291, 5, 5, 291, 5], 1, [math.nan, 1, 1, 1, 2, 2]),
        ([5, 6, 7], 1, [math.nan] * 3),
        ([], 1, []),
    ],
)
def test_other_frames_nan_or_carried(ids, pad, expected):
    decode = k.signal_decoder(291, 0, 8, False)
    counter = iter(range(1, 100))
    frames = frames_pair([(i, bytes([next(counter) if i == 291 else 0xEE])) for i in ids])
    values = decode(frames, pad)
    assert values.shape == (len(ids),) and values.dtype == np.float64
    assert same(values, expected)


@pytest.mark.parametrize("pad", [0, 1])
def test_short_payload_counts_as_frame_without_signal(pad):
    decode = k.signal_decoder(7, 8, 8, False)  # needs byte 1
    index, chunk = frames_pair([(7, b"\x00\x05"), (7, b"\x09"), (7, b"\x00\x06")])
    values = decode((index, chunk), pad)
    # The short frame must not read the first byte of the next frame (0x00).
    assert same(values, [5, 5 if pad else math.nan, 6])


def test_payload_beyond_chunk_is_an_error():
    decode = k.signal_decoder(7, 0, 8, False)
    index, chunk = frames_pair([(7, b"\x01"), (7, b"\x02\x03")])
    index[1]["loc"] = 2 + (2 << 48)  # one byte past the end
    with pytest.raises(ValueError, match="beyond"):
        decode((index, chunk))
    index[1]["loc"] = 4 + (0 << 48)  # offset alone past the end
    with pytest.raises(ValueError, match="beyond"):
        decode((index, chunk))
    # Frames of other identifiers are not looked at.
    index[1]["can_id"] = 8
    assert same(decode((index, chunk)), [1, math.nan])


@pytest.mark.parametrize("view", [slice(None, None, 2), slice(None, None, -1), slice(5, 1, -3)])
def test_strided_frame_arrays(view):
    rng = np.random.default_rng(1)
    frames = [(int(rng.integers(1, 4)), rng.integers(0, 256, 8, dtype=np.uint8)) for _ in range(9)]
    index, chunk = frames_pair(frames)
    decode = k.signal_decoder(2, 13, 20, True, True)
    strided = index[view]
    assert not strided.flags.c_contiguous or len(strided) < 2
    assert same(decode((strided, chunk)), decode((np.ascontiguousarray(strided), chunk)))
    assert same(decode((strided, chunk[::-1][::-1])), decode((index, chunk))[view])


@pytest.mark.parametrize("scale, offset", [(math.inf, 0.0), (1.0, -math.inf), (math.nan, 1.0)])
def test_non_finite_scale_and_offset(scale, offset):
    decode = k.signal_decoder(1, 0, 8, False, False, False, scale, offset)
    values = decode(frames_pair([(1, b"\x02"), (2, b"\x02")]))
    assert same(values, [2 * scale + offset, math.nan])


@pytest.mark.parametrize(
    "args, error",
    [
        ((1, 0, 0), ValueError),
        ((1, 0, 65), ValueError),
        ((1, 0, -3), ValueError),
        ((1, -1, 8), ValueError),
        ((1, 0, 2**31), OverflowError),
        ((1, 0.5, 8), TypeError),
        ((1, 0, 8, True, False, False, "x"), TypeError),
        ((1, 2), TypeError),
        ((1, 0, 8, True, False, False, 1.0, 0.0, 9), TypeError),
    ],
)
def test_signal_decoder_rejects(args, error):
    with pytest.raises(error):
        k.signal_decoder(*args)


def test_argument_count_messages():
    with pytest.raises(TypeError, match=r"at least 3 positional arguments \(2 given\)"):
        k.signal_decoder(1, 2)
    with pytest.raises(TypeError, match=r"exactly 9 positional arguments \(8 given\)"):
        k.sig_values(*range(8))
    with pytest.raises(TypeError, match="multiple values"):
        k.signal_decoder(1, 2, 3, can_id=1)


def good_args():
    index, chunk = frames_pair([(1, b"\x01\x02")])
    return [index, chunk, np.array([0, 255, 56], np.int32), 1, 0, 56, 1.0, 0.0, 0]


@pytest.mark.parametrize(
    "position, value, error",
    [
        (0, None, TypeError),
        (0, np.zeros(1, k.DT64), ValueError),
        (0, np.zeros((1, 1), k.DT), ValueError),
        (0, np.zeros(3, np.uint64), ValueError),
        (1, None, TypeError),
        (1, np.zeros(2, np.int8), ValueError),
        (2, [0, 255, 56], TypeError),
        (2, np.array([0, 255, 56], np.int64), ValueError),
        (2, np.array([0, 255], np.int32), ValueError),
        (2, np.array([0, 256, 0], np.int32), ValueError),
        (2, np.array([-1, 255, 0], np.int32), ValueError),
        (2, np.array([0, 255, 64], np.int32), ValueError),
        (5, 64, ValueError),
        (3, 2**32, OverflowError),
        (6, "1", TypeError),
    ],
)
def test_sig_values_rejects(position, value, error):
    args = good_args()
    args[position] = value
    with pytest.raises(error):
        k.sig_values(*args)


def test_sig_values_empty_triples_give_offset():
    index, chunk = frames_pair([(1, b""), (2, b"")])
    values = k.sig_values(index, chunk, np.array([], np.int32), 1, 0, 0, 3.0, 4.5, 0)
    assert same(values, [4.5, math.nan])


def test_sig_values_keywords_and_id_compare_is_32_bit():
    index, chunk = frames_pair([(0xFFFFFFFF, b"\x07")])
    values = k.sig_values(
        pad=0,
        offset=0.0,
        scale=1.0,
        rshift=56,
        valtype=0,
        can_id=-1,
        ims=np.array([0, 255, 56], np.int32),
        chunk=chunk,
        index=index,
    )
    assert same(values, [7.0])


MINUS_2_5 = np.float64(-2.5).tobytes()
LE64 = np.array([i for b in range(8) for i in (b, 255, 8 * b)], np.int32)


@pytest.mark.parametrize(
    "payload, valtype, rshift, unsigned, expected",
    [
        # Any valtype but 0 and 1 reads the word as a double; rshift plays no part.
        (MINUS_2_5, 2, 0, False, -2.5),
        (MINUS_2_5, 3, 0, False, -2.5),
        (MINUS_2_5, 3, -7, False, -2.5),
        (MINUS_2_5, -1, 5, False, -2.5),
        (MINUS_2_5, 2**31 - 1, 0, True, -2.5),
        # The integer kind: signed at rshift 0 unless asked for unsigned.
        (b"\xff" * 8, 0, 0, False, -1.0),
        (b"\xff" * 8, 0, 0, True, float(2**64 - 1)),
        (b"\xff" * 8, 0, 8, True, float(2**56 - 1)),
    ],
)
def test_sig_values_value_kinds(payload, valtype, rshift, unsigned, expected):
    index, chunk = frames_pair([(9, payload)])
    values = k.sig_values(index, chunk, LE64, 9, valtype, rshift, 1.0, 0.0, 0, unsigned=unsigned)
    assert same(values, [expected])
    with pytest.raises(TypeError):  # keyword-only
        k.sig_values(index, chunk, LE64, 9, valtype, rshift, 1.0, 0.0, 0, unsigned)


# ---------------------------------------------------------------------------
# Property test against cantools.


@st.composite
def dbc_signals(draw):
    size = draw(st.sampled_from([8, 64]))
    is_float = draw(st.integers(0, 3)) == 0
    lengths = st.sampled_from([1, 8, 9, 32, 33, 57, 63, 64, 64]) | st.integers(1, 64)
    length = draw(st.sampled_from([32, 64])) if is_float else draw(lengths)
    big_endian = draw(st.booleans())
    # Position along the signal's own bit order, so that every layout fits.
    pos = draw(st.integers(0, 8 * size - length))
    start = 8 * (pos // 8) + 7 - pos % 8 if big_endian else pos
    is_signed = draw(st.booleans())
    kind = draw(st.sampled_from(["identity", "linear", "integer"]))
    if kind == "identity":
        scale, offset = "1", "0"
    elif kind == "linear":
        scale = repr(draw(st.floats(1e-6, 1e3) | st.sampled_from([0.1, 0.5, 1e-5, 0.25])))
        offset = repr(draw(st.floats(-1e6, 1e6)))
        if draw(st.booleans()):
            scale = "-" + scale
    else:
        # cantools computes integer scales in exact integer arithmetic; the
        # decoder in doubles. They agree while values stay below 2**53.
        length = min(length, 32)
        pos = min(pos, 8 * size - length)
        start = 8 * (pos // 8) + 7 - pos % 8 if big_endian else pos
        scale = str(draw(st.integers(-1000, 1000)))
        offset = str(draw(st.integers(-(10**6), 10**6)))
    frame_id = draw(st.integers(1, 0x7FF))
    lines = [
        'VERSION ""',
        "",
        "NS_ :",
        "",
        "BS_:",
        "",
        "BU_: ECU",
        "",
        f"BO_ {frame_id} MSG: {size} ECU",
        (
            f" SG_ S : {start}|{length}@{0 if big_endian else 1}{'-' if is_signed else '+'}"
            f' ({scale},{offset}) [0|0] "" ECU'
        ),
        "",
    ]
    if is_float:
        lines.append(f"SIG_VALTYPE_ {frame_id} S : {1 if length == 32 else 2};")
    return cantools.database.load_string("\n".join(lines) + "\n", "dbc", strict=False)


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(db=dbc_signals(), data=st.data())
def test_decoder_matches_cantools(db, data):
    msg = db.messages[0]
    sig = msg.signals[0]
    payload = st.binary(min_size=msg.length, max_size=msg.length)
    n = data.draw(st.integers(1, 6))
    frames = []
    for _ in range(n):
        other = data.draw(st.sampled_from([None, msg.frame_id + 1, msg.frame_id ^ 0x400]))
        frames.append((msg.frame_id if other is None else other, data.draw(payload)))
    expected = [
        float(msg.decode(p, decode_choices=False)[sig.name]) if cid == msg.frame_id else math.nan
        for cid, p in frames
    ]
    # The call the query layer makes for a cantools signal.
    decode = korvel.signal_decoder(
        msg.frame_id,
        sig.start,
        sig.length,
        sig.byte_order == "big_endian",
        sig.is_signed,
        sig.is_float,
        sig.scale,
        sig.offset,
    )
    assert same(decode(frames_pair(frames)), expected)


# Raw values past 2**53 with an integer scale: cantools computes in Python
# integers and rounds once; doubles round the raw value first.
@pytest.mark.parametrize("length, is_signed, scale, offset, raw", [
    (57, False, 1, 1, 2**54 + 2),
    (64, False, 3, -7, 2**64 - 1),
    (63, True, 5, 0.5, -(2**62) + 3),
    (64, True, -1, 2**60 + 1, -(2**63)),
    (60, False, 1, 0, 2**59 + 1),  # scale 1, offset 0: doubles already agree
])
def test_decoder_integer_scale_past_2_53_equals_cantools(length, is_signed, scale, offset, raw):
    import pickle

    db = cantools.database.load_string(
        'VERSION ""\nBU_: ECU\nBO_ 1 M: 8 ECU\n'
        f' SG_ S : 0|{length}@1{"-" if is_signed else "+"} ({scale},{offset}) [0|0] "" ECU\n',
        "dbc", strict=False)
    payload = (raw & (2**length - 1)).to_bytes(8, "little")
    want = float(db.messages[0].decode(payload, decode_choices=False)["S"])
    decode = korvel.signal_decoder(1, 0, length, False, is_signed, False, scale, offset)
    frames = frames_pair([(1, payload)])
    assert decode(frames)[0] == want
    # A decoder rebuilt from its pickled name scales as exactly.
    assert pickle.loads(pickle.dumps(decode))(frames)[0] == want


@pytest.mark.parametrize("share", [0.0005, 0.3])
def test_long_arrays_across_blocks(share):
    # Long enough for the loop's internal blocks, sparse enough that a gap
    # with no frame of the identifier spans a whole block.
    rng = np.random.default_rng(3)
    n = 9000
    ids = np.where(rng.random(n) < share, 0x55, 0x56)
    frames = [(int(i), rng.integers(0, 256, 2, dtype=np.uint8)) for i in ids]
    index, chunk = frames_pair(frames)
    decode = k.signal_decoder(0x55, 0, 16, False)
    plain, padded = decode((index, chunk)), decode((index, chunk), pad=1)
    match = ids == 0x55
    offsets = (index["loc"] & np.uint64(0xFFFFFFFFFFFF)).astype(np.int64)
    expected = chunk[offsets] + 256.0 * chunk[offsets + 1]
    assert same(plain[match], expected[match]) and np.isnan(plain[~match]).all()
    assert same(padded, k.pad(plain.copy()))
