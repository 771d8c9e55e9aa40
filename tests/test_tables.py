"""korvel.decode: one table per message, every sample checked against cantools."""

import io
import math
import pickle
import struct
import subprocess
import sys
import warnings

import cantools
import numpy as np
import pytest
from dravum_frames import make_frames
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import korvel
import korvel.korvel as kv
from korvel import dravum as dv
from korvel.tables import decode_plan

# Multiplexing (simple and nested, with SG_MUL_VAL_ ranges), value tables with
# unlabelled raw values, floats, an extended identifier and a 64-byte message.
DBC = """VERSION ""

NS_ :

BS_:

BU_: ECU GW

BO_ 100 Plain: 8 ECU
 SG_ Speed : 7|16@0+ (0.01,0) [0|655.35] "km/h" GW
 SG_ Temp : 16|8@1- (1,-40) [-168|87] "C" GW
 SG_ Mode : 24|3@1+ (1,0) [0|7] "" GW
 SG_ Ratio : 32|32@1- (1,0) [0|0] "" GW

BO_ 200 Muxed: 8 ECU
 SG_ Mux M : 0|8@1+ (1,0) [0|255] "" GW
 SG_ A m0 : 8|16@1+ (0.5,0) [0|0] "" GW
 SG_ B m1 : 8|8@1- (1,0) [0|0] "" GW
 SG_ C m1 : 23|16@0+ (1,0) [0|0] "" GW
 SG_ Common : 56|8@1+ (1,0) [0|0] "" GW

BO_ 300 Nested: 8 ECU
 SG_ S0 M : 0|4@1+ (1,0) [0|0] "" GW
 SG_ S1 m0M : 4|4@1+ (1,0) [0|0] "" GW
 SG_ S2 m1 : 8|8@1+ (1,0) [0|0] "" GW
 SG_ S3 m2 : 8|16@1+ (1,0) [0|0] "" GW
 SG_ S4 m3 : 8|8@1- (2,1) [0|0] "" GW
 SG_ S5 : 40|8@1+ (0.5,0) [0|0] "" GW

BO_ 2147484160 ExtFd: 64 ECU
 SG_ Wide : 0|64@1+ (1,0) [0|0] "" GW
 SG_ F64 : 64|64@1- (1,0) [0|0] "" GW
 SG_ Far : 500|12@1+ (1,0) [0|0] "" GW
 SG_ BigFar : 487|16@0- (0.25,-3) [0|0] "" GW

VAL_ 100 Mode 0 "Off" 1 "On" 2 "Fault" ;
VAL_ 200 Mux 0 "Alpha" 1 "Beta" ;
VAL_ 300 S5 3 "6" 4 "Four" ;
VAL_ 2147484160 Far 4095 "Max" 7 "Max" ;
SIG_VALTYPE_ 100 Ratio : 1;
SIG_VALTYPE_ 2147484160 F64 : 2;
SG_MUL_VAL_ 300 S1 S0 0-0;
SG_MUL_VAL_ 300 S2 S0 1-1;
SG_MUL_VAL_ 300 S3 S1 2-2;
SG_MUL_VAL_ 300 S4 S1 3-4;
"""


@pytest.fixture(scope="module")
def db():
    return cantools.database.load_string(DBC, "dbc")


def payload(rng, can_id):
    """Random bytes with valid multiplexer values; some frames cut short."""
    data = bytearray(rng.integers(0, 256, 64 if can_id == 512 else 8, dtype=np.uint8).tobytes())
    if can_id == 200:
        data[0] = rng.integers(0, 2)
    elif can_id == 300:
        s0 = int(rng.integers(0, 2))
        data[0] = s0 | (int(rng.integers(2, 5)) << 4 if s0 == 0 else data[0] & 0xF0)
        data[5] = rng.choice([3, 4, 5, data[5]])
    elif can_id == 512 and rng.random() < 0.5:
        data[62:64] = b"\xff\xff" if rng.random() < 0.5 else data[62:64]
    if rng.random() < 0.1:
        data = data[: int(rng.integers(0, len(data)))]
    return bytes(data)


@pytest.fixture(scope="module")
def log():
    rng = np.random.default_rng(3)
    ids = rng.choice([100, 200, 300, 512, 0x7FF], 4000)
    payloads = [payload(rng, int(i)) for i in ids]
    channels = rng.integers(1, 4, len(ids))
    flags = np.where(ids == 512, 0x40, 0)  # ExtFd's identifier is extended
    return make_frames(ids, payloads, channels=channels, flags=flags), payloads


def expected(db, msg_name, payloads, ids, choices):
    """cantools' value of every signal on every frame of the message (None: no value)."""
    msg = db.get_message_by_name(msg_name)
    out = {s.name: [] for s in msg.signals}
    for cid, data in zip(ids, payloads):
        if cid != msg.frame_id:
            continue
        got = msg.decode(data, decode_choices=choices, scaling=True, allow_truncated=True)
        for name, values in out.items():
            values.append(got.get(name))
    return out


def same_value(got, want, choices):
    if want is None:
        return got is None or (isinstance(got, float) and math.isnan(got))
    if choices and isinstance(got, str):
        return got == str(want)
    return got == float(want) or (math.isnan(got) and math.isnan(float(want)))


@pytest.mark.parametrize("choices", [False, True])
@pytest.mark.parametrize("threads", [1, 3])
def test_every_sample_equals_cantools(db, log, choices, threads):
    frames, payloads = log
    ids = frames[0]["can_id"].tolist()
    tables = korvel.decode(frames, db, choices=choices, threads=threads)
    assert list(tables) == ["Plain", "Muxed", "Nested", "ExtFd"]
    for name, table in tables.items():
        msg = db.get_message_by_name(name)
        mine = frames[0]["can_id"] == msg.frame_id
        assert list(table) == ["timestamp", "channel", *(s.name for s in msg.signals)]
        assert np.array_equal(table["timestamp"], frames[0]["timestamp"][mine])
        assert np.array_equal(table["channel"], frames[0]["channel"][mine])
        assert table["channel"].dtype == np.uint8 and table["timestamp"].dtype == np.int64
        for sig, want in expected(db, name, payloads, ids, choices).items():
            got = table[sig].tolist()
            assert len(got) == len(want)
            bad = [(g, w) for g, w in zip(got, want) if not same_value(g, w, choices)]
            assert not bad, (name, sig, bad[:5])
            labelled = choices and db.get_message_by_name(name).get_signal_by_name(sig).choices
            assert table[sig].dtype == (object if labelled else np.float64)


def test_multiplexed_samples_only_where_selected(db, log):
    """Nothing extra, nothing missing: the samples of each multiplexed signal are
    exactly those cantools decodes."""
    frames, payloads = log
    ids = frames[0]["can_id"].tolist()
    tables = korvel.decode(frames, db)
    for name in ("Muxed", "Nested"):
        for sig, want in expected(db, name, payloads, ids, False).items():
            has = ~np.isnan(tables[name][sig])
            assert has.tolist() == [w is not None for w in want], sig
            assert 0 < has.sum() < len(has) or sig in ("Mux", "S0", "Common", "S5")


def test_multiplexer_selecting_no_group(db):
    # Mux 7 selects nothing: A, B, C have no value, Common has.
    frames = make_frames(
        [200, 200], [bytes([7, 1, 2, 3, 4, 5, 6, 9]), bytes([0, 4, 0, 0, 0, 0, 0, 1])]
    )
    t = korvel.decode(frames, db, messages=["Muxed"])["Muxed"]
    assert np.isnan([t["A"][0], t["B"][0], t["C"][0]]).all()
    assert t["Common"].tolist() == [9.0, 1.0] and t["A"][1] == 2.0 and t["Mux"][0] == 7.0


def test_choices_labels_and_numbers_as_text(db):
    ids = [100] * 5 + [300] * 3
    payloads = [bytes([0, 0, 0, m, 0, 0, 0, 0]) for m in (0, 1, 2, 5, 7)] + [
        bytes([1, 0, 0, 0, 0, v, 0, 0]) for v in (3, 4, 6)
    ]
    t = korvel.decode(make_frames(ids, payloads), db, choices=True)
    assert t["Plain"]["Mode"].tolist() == ["Off", "On", "Fault", "5", "7"]
    # S5 scales by 0.5: raw 6 reads "3.0"; raw 3 is labelled "6".
    assert t["Nested"]["S5"].tolist() == ["6", "Four", "3.0"]
    df = t["Plain"].to_pandas()
    assert df["Mode"].dtype == "category" and df["Mode"].tolist() == [
        "Off",
        "On",
        "Fault",
        "5",
        "7",
    ]
    arrow = t["Plain"].to_arrow()
    assert (
        str(arrow.schema.field("Mode").type)
        == "dictionary<values=string, indices=int32, ordered=0>"
    )
    assert arrow.column("Mode").to_pylist() == ["Off", "On", "Fault", "5", "7"]


def test_shared_labels_and_missing_values(db):
    # Far: raws 7 and 4095 share the label "Max"; short frames have no value.
    data = [bytes(62) + b"\x70\x00", bytes(62) + b"\xf0\xff", bytes(8), bytes(62) + b"\x10\x00"]
    t = korvel.decode(make_frames([512] * 4, data, flags=[0x40] * 4), db, choices=True)["ExtFd"]
    assert t["Far"].tolist() == ["Max", "Max", None, "1"]
    assert t.to_pandas()["Far"].cat.categories.tolist() == ["1", "Max"]
    assert t.to_arrow().column("Far").to_pylist() == ["Max", "Max", None, "1"]


def test_arrow_is_zero_copy_and_parquet_round_trips(db, log, tmp_path):
    pq = pytest.importorskip("pyarrow.parquet")
    tables = korvel.decode(log[0], db)
    plain = tables["Plain"]
    arrow = plain.to_arrow()
    for name in plain:
        assert arrow.column(name).chunks[0].buffers()[1].address == plain[name].ctypes.data
    assert arrow.schema.field("Speed").metadata == {b"unit": b"km/h"}
    frames = tables.to_pandas()
    assert list(frames) == list(tables) and frames["Plain"]["Speed"].equals(
        arrow.to_pandas()["Speed"]
    )
    tables.to_parquet(tmp_path / "out")
    back = pq.read_table(tmp_path / "out" / "Nested.parquet")
    assert back.schema.equals(tables["Nested"].to_arrow().schema)
    assert back.to_pandas().equals(tables["Nested"].to_pandas())
    assert sorted(p.name for p in (tmp_path / "out").iterdir()) == sorted(
        f"{n}.parquet" for n in tables
    )


@pytest.mark.parametrize("module", ["pandas", "pyarrow"])
def test_missing_extra_names_it(db, log, monkeypatch, module):
    monkeypatch.setitem(sys.modules, module, None)
    table = korvel.decode(log[0], db)["Plain"]
    call = table.to_pandas if module == "pandas" else table.to_arrow
    with pytest.raises(ImportError, match=r"korvel\[tables\]"):
        call()


def test_import_loads_no_optional_library():
    code = "import sys, korvel; print([m for m in ('pandas', 'pyarrow', 'cantools') if m in sys.modules])"
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.strip() == "[]"


def test_paths_streams_lists_and_channels(db, log, tmp_path, capsys):
    frames, _ = log
    blf = tmp_path / "log.blf"
    with open(blf, "wb") as f:
        kv.write(f, frames)
    dbc = tmp_path / "n.dbc"
    dbc.write_text(DBC)
    capsys.readouterr()
    want = korvel.decode(kv.read(io.BytesIO(blf.read_bytes())), db)
    capsys.readouterr()
    for got in (
        korvel.decode(blf, str(dbc)),
        korvel.decode(io.BytesIO(blf.read_bytes()), [dbc]),
        korvel.decode(str(blf), decode_plan(db)),
    ):
        assert list(got) == list(want)
        for name in want:
            for col in want[name]:
                assert np.array_equal(got[name][col], want[name][col], equal_nan=True)
    assert capsys.readouterr().out == ""

    # One database per channel: other channels left out; the same definition on
    # two channels is one table.
    by_channel = korvel.decode(frames, {1: db, 3: [dbc]}, messages=["Plain"])
    assert list(by_channel) == ["Plain"]
    ch = frames[0]["channel"][frames[0]["can_id"] == 100]
    assert np.array_equal(by_channel["Plain"]["channel"], ch[ch != 2])
    assert np.array_equal(
        by_channel["Plain"]["Temp"], want["Plain"]["Temp"][ch != 2], equal_nan=True
    )


def test_plan_is_small_and_picklable(db):
    plan = decode_plan(db, ["Nested"])
    again = pickle.loads(pickle.dumps(plan))
    assert again == plan and [m.name for m in again.messages] == ["Nested"]
    s4 = again.messages[0].signals[4]
    assert (s4.name, s4.mux, s4.mux_ids, s4.scale, s4.offset) == ("S4", 1, (3, 4), 2.0, 1.0)


@pytest.mark.parametrize("names, as_iter", [
    ("Nested", False), (["ExtFd", "Plain"], False), (("Muxed",), False),
    (["Plain", "Nested"], True), (None, False),
])
def test_plan_of_some_messages_equals_the_whole_plans_selection(db, names, as_iter):
    messages = iter(names) if as_iter else names  # names taken once
    want = decode_plan(db).select(names)
    assert decode_plan(db, messages) == want
    # Of several databases a later message of the same name replaces the earlier.
    other = cantools.database.load_string(DBC.replace("(0.01,0)", "(0.02,0)"), "dbc")
    assert decode_plan([db, other], names) == decode_plan([db, other]).select(names)


@pytest.mark.parametrize(
    "call, error, text",
    [
        (lambda fr, db: korvel.decode(fr, db, messages=["Plain", "Nope"]), KeyError, "Nope"),
        (lambda fr, db: korvel.decode(fr, db, messages=iter(["Nope"])), KeyError, "Nope"),
        (lambda fr, db: korvel.decode(fr, {"1": db}), TypeError, "int"),
        (lambda fr, db: korvel.decode(fr, {1.0: db}), TypeError, "int"),
        (lambda fr, db: korvel.decode(fr, "/nowhere/x.dbc"), OSError, "/nowhere/x.dbc"),
        (lambda fr, db: korvel.decode(fr, 5), TypeError, "cantools database"),
    ],
)
def test_bad_arguments(db, log, call, error, text):
    with pytest.raises(error, match=text):
        call(log[0], db)


def test_bad_database_file_names_the_path(tmp_path, log):
    bad = tmp_path / "broken.dbc"
    bad.write_text('VERSION ""\nBO_ x X: 8 A\n')
    with pytest.raises(cantools.database.UnsupportedDatabaseFormatError, match="broken.dbc"):
        korvel.decode(log[0], bad)


@pytest.mark.parametrize("offset, count", [(10**6, 8), (12, 8), (2**48 - 1, 1), (16, 1)])
def test_payload_outside_chunk_is_refused(db, offset, count):
    frames = make_frames([100, 100], [bytes(8), bytes(8)])
    frames[0]["loc"][1] = offset + (count << 48)
    with pytest.raises(ValueError, match="frame 1"):
        korvel.decode(frames, db)
    frames[0]["can_id"][1] = 0x7FF  # not a message: its payload is never read
    assert len(korvel.decode(frames, db)["Plain"]["Speed"]) == 1


# --- the query decoders respect the multiplexer ------------------------------------------


def test_query_decoders_follow_multiplexers(db, log):
    frames = log[0]
    q = dv.Query()
    q.addDatabase(db)
    tables = korvel.decode(frames, db)
    for msg, sig in (
        ("Muxed", "A"),
        ("Muxed", "C"),
        ("Nested", "S3"),
        ("Nested", "S4"),
        ("Nested", "S1"),
        ("Plain", "Speed"),
    ):
        mine = frames[0]["can_id"] == db.get_message_by_name(msg).frame_id
        values = q.signals.__getattr__(sig)(frames)
        assert np.array_equal(values[mine], tables[msg][sig], equal_nan=True), sig
        assert np.isnan(values[~mine]).all()
    # With pad, frames without the signal (another group selected) repeat its last value.
    a = tables["Muxed"]["A"]
    padded = q.signals.A(frames, 1)
    last = padded[frames[0]["can_id"] == 200]
    filled = a.copy()
    for i in range(1, len(filled)):
        if np.isnan(filled[i]):
            filled[i] = filled[i - 1]
    assert np.array_equal(last, filled, equal_nan=True)
    # Filters and value queries see only real values.
    sel = q.filter(frames, "signals.B(frames) > -1000")
    assert len(sel[0]) == (~np.isnan(tables["Muxed"]["B"])).sum()
    ne = q.signal_contains_and_value_ne(frames, "s4", [1e9])
    assert ne.sum() == (~np.isnan(tables["Nested"]["S4"])).sum()


# --- which frames carry values --------------------------------------------------------

KINDS_DBC = """VERSION ""
BO_ 384 Base: 8 E
 SG_ Rpm : 0|16@1+ (0.25,0) [0|0] "rpm" E
BO_ 2147484032 Ext: 8 E
 SG_ Load : 0|8@1+ (1,0) [0|0] "%" E
"""


@pytest.mark.parametrize("entry", ["decode", "decode_path", "query"])
def test_only_data_frames_of_the_identifiers_kind_carry_values(entry, tmp_path):
    """0x180 as a base data frame, a remote request, an error frame, and as an
    extended data frame; the base message takes only the first, the extended
    message (same number) only the last, each equal to cantools."""
    db = cantools.database.load_string(KINDS_DBC, "dbc")
    data = bytes([0x10, 0x27, 50, 0, 0, 0, 0, 0])
    flags = [0x04, 0x24, 0x10, 0x44]
    frames = make_frames([0x180] * 4, [data] * 4, flags=flags)
    if entry == "query":
        # The query layer keeps matching by identifier alone, remote frames included.
        q = dv.Query()
        q.addDatabase(db)
        assert np.isnan(q.signals.Rpm(frames)).tolist() == [False, False, False, False]
        keep = q.filter(frames, "~is_remote_frame(frames) & ~is_error_frame(frames)")
        assert keep[0]["flags"].tolist() == [0x04, 0x44]
        return
    if entry == "decode_path":
        path = tmp_path / "kinds.blf"
        kv.write(path, frames, verbose=False)
        frames = str(path)
    tables = korvel.decode(frames, db)
    want = {m.name: m.decode(data) for m in db.messages}
    assert tables["Base"]["Rpm"].tolist() == [want["Base"]["Rpm"]]
    assert tables["Ext"]["Load"].tolist() == [want["Ext"]["Load"]]
    assert tables["Base"].num_rows == tables["Ext"].num_rows == 1


EDGE_DBC = """VERSION ""
BO_ 100 Big: 8 E
 SG_ Huge : 0|16@1+ (12345678901234567891,3) [0|0] "" E
 SG_ Times : 16|48@1+ (3,0) [0|0] "" E
BO_ 101 Mux64: 8 E
 SG_ Sel M : 0|64@1+ (1,0) [0|0] "" E
 SG_ A m18446744073709551615 : 0|8@1+ (1,0) [0|0] "" E
BO_ 102 Flt: 8 E
 SG_ F : 0|64@1- (1,0) [0|0] "" E
VAL_ 100 Huge 1 "one" ;
VAL_ 100 Times 1 "one" ;
SIG_VALTYPE_ 102 F : 2;
"""


def test_decode_at_its_edges_equals_cantools():
    """Labels of unlabelled values beyond 2**53 from exact integers, a float's
    -0.0 kept, and a 64-bit multiplexer value of 2**64 - 1."""
    db = cantools.database.load_string(EDGE_DBC, "dbc", strict=False)
    payloads = [bytes([5, 0]) + (2**48 - 1).to_bytes(6, "little"), b"\xff" * 8,
                struct.pack("<d", -0.0), bytes(8)]
    frames = make_frames([100, 101, 102, 101], payloads)
    got = korvel.decode(frames, db, choices=True)
    for name, rows in (("Big", [0]), ("Mux64", [1]), ("Flt", [2])):
        msg = db.get_message_by_name(name)
        for sig in msg.signals:
            want = [msg.decode(payloads[r], decode_choices=True).get(sig.name) for r in rows]
            column = got[name][sig.name][: len(rows)]
            if column.dtype == object:  # labels, and numbers as cantools writes them
                assert column.tolist() == [str(w) for w in want], (name, sig.name)
            else:
                assert column.tolist() == [float(w) for w in want], (name, sig.name)
    assert math.copysign(1, got["Flt"]["F"][0]) == -1
    assert math.isnan(got["Mux64"]["A"][1])  # the multiplexer selects no group there


# Scales and offsets as a DBC writes them: integers (cantools computes those
# exactly, however large), integral floats (which it makes integers), floats.
SCALES = (st.integers(-1000, 1000).map(str) | st.sampled_from(
    ["3", "-7", "3.0", "1e20", "-2.5e19", "100000000000000000001", "12345678901234567891", "0.1",
     "1e-3", "4096", "1e300", "0.5"]) | st.floats(1e-9, 1e9).map(repr)).filter(
    lambda t: float(t) != 0)
OFFSETS = st.integers(-(10**6), 10**6).map(str) | st.sampled_from(
    ["0", "0.5", "-1e6", "9007199254740993", "1e20", "-0.25", "123456789012345678901"]) | st.floats(
    -1e12, 1e12).map(repr)


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(length=st.sampled_from([64, 63, 60, 54, 53, 33, 16]) | st.integers(1, 64),
       at=st.integers(0, 63), big_endian=st.booleans(), signed=st.booleans(), scale=SCALES,
       offset=OFFSETS,
       payloads=st.lists(st.binary(min_size=8, max_size=8) | st.sampled_from(
           [b"\xff" * 8, b"\x00" * 8, b"\x7f" + b"\xff" * 7, b"\x80" + b"\x00" * 7]),
           min_size=1, max_size=6))
def test_values_and_number_labels_equal_cantools_bit_for_bit(
        length, at, big_endian, signed, scale, offset, payloads):
    """Raw values or results beyond 2**53, integer scales with float offsets,
    large scales, anywhere in the payload: each value is cantools' own,
    rounded once where it rounds."""
    at = min(at, 64 - length)  # the first bit in payload order
    start = at // 8 * 8 + 7 - at % 8 if big_endian else at
    text = (f'BO_ 100 M: 8 E\n SG_ S : {start}|{length}@{0 if big_endian else 1}'
            f'{"-" if signed else "+"} ({scale},{offset}) [0|0] "" E\nVAL_ 100 S 1 "one" ;\n')
    db = cantools.database.load_string('VERSION ""\n' + text, "dbc", strict=False)
    msg = db.messages[0]
    frames = make_frames([100] * len(payloads), payloads)
    values = korvel.decode(frames, db)["M"]["S"]
    labels = korvel.decode(frames, db, choices=True)["M"]["S"]
    for data, value, label in zip(payloads, values.tolist(), labels.tolist()):
        want = msg.decode(data, decode_choices=False)["S"]
        try:
            number = float(want)
        except OverflowError:  # an int beyond every double: infinite, with its sign
            number = math.inf if want > 0 else -math.inf
        assert value == number and math.copysign(1, value) == math.copysign(1, number), want
        assert label == str(msg.decode(data)["S"])


WORD = 2**64 - 1


@pytest.mark.parametrize("scale", [WORD, 2**63 + 1, -WORD, WORD * 2**100, -(2**127 - 1) * 8])
@pytest.mark.parametrize("offset", [0, WORD, -WORD, -(2**127 - 1), 0.5, 2**900 + 1])
def test_exact_values_at_the_extremes(scale, offset):
    # Products and sums far beyond 2**64, of both signs, at every raw extreme.
    payloads = [b"\xff" * 8, b"\xfe" + b"\xff" * 7, b"\x01" + bytes(7), bytes(8),
                b"\xff" * 7 + b"\x7f", bytes(7) + b"\x80"]
    for sign in "+-":
        db = cantools.database.load_string(
            f'VERSION ""\nBO_ 100 M: 8 E\n SG_ S : 0|64@1{sign} ({scale},{offset}) [0|0] "" E\n',
            "dbc", strict=False)
        got = korvel.decode(make_frames([100] * len(payloads), payloads), db)["M"]["S"]
        want = [db.messages[0].decode(p, decode_choices=False)["S"] for p in payloads]
        assert got.tolist() == [float(w) for w in want]


def test_version_is_the_installed_one():
    from importlib.metadata import version

    assert korvel.__version__ == version("korvel")


def big_mixed_log(n=300_000, seed=9):
    """Frames of every kind of message above and J1939 ones from several
    sources, some cut short, remote or unknown: enough for several row ranges."""
    rng = np.random.default_rng(seed)
    ids = rng.choice([100, 200, 300, 512, 0x0CF00400, 0x0CF00417, 0x18FEF1FE, 0x7FF], n)
    index = np.zeros(n, kv.DT)
    index["can_id"] = ids
    index["timestamp"] = np.arange(n) * 1000
    index["channel"] = rng.integers(1, 4, n)
    wide = ids == 512
    ext = wide | (ids > 0x7FF)
    index["flags"] = np.where(ext, 0x40, 0) | np.where(rng.random(n) < 0.01, 0x20, 0)
    lengths = np.where(wide, 64, 8) - np.where(rng.random(n) < 0.05, rng.integers(1, 8, n), 0)
    index["len"] = lengths
    offsets = np.cumsum(lengths) - lengths
    index["loc"] = offsets.astype(np.uint64) | lengths.astype(np.uint64) << np.uint64(48)
    chunk = rng.integers(0, 256, int(lengths.sum()), dtype=np.uint8)
    mux = offsets[ids == 200]
    chunk[mux] = rng.integers(0, 3, len(mux))  # 2 selects no group
    nested = offsets[ids == 300]
    chunk[nested] = rng.integers(0, 256, len(nested)) & 0x31
    return index, chunk


@pytest.mark.parametrize("by_channel", [False, True])
def test_threads_give_one_threads_tables_bit_for_bit(by_channel):
    from test_stats import J1939_DBC

    frames = big_mixed_log()
    dbs = [cantools.database.load_string(DBC, "dbc"),
           cantools.database.load_string(J1939_DBC, "dbc")]
    db = {1: dbs, 3: dbs[::-1]} if by_channel else dbs
    one = korvel.decode(frames, db, choices=True, threads=1)
    assert {"Muxed", "Nested", "EEC1"} <= set(one)
    assert "source" in one["EEC1"] and len(set(one["EEC1"]["source"].tolist())) == 2
    for threads in (None, 3):
        many = korvel.decode(frames, db, choices=True, threads=threads)
        assert list(many) == list(one)
        for name, table in one.items():
            assert list(many[name]) == list(table)
            for col, want in table.items():
                got = many[name][col]
                if want.dtype == np.float64:
                    got, want = got.view(np.uint64), want.view(np.uint64)
                assert np.array_equal(got, want), (name, col)
    # A payload beyond the chunk late in the log: the same first frame named.
    index, chunk = frames
    index = index.copy()
    index["loc"][[-5000, -3]] = np.uint64(len(chunk)) | np.uint64(8) << np.uint64(48)
    index["flags"][[-5000, -3]] = 0
    index["can_id"][[-5000, -3]] = 200
    messages = []
    for threads in (1, None):
        with pytest.raises(ValueError, match="lies beyond") as e:
            korvel.decode((index, chunk), db, threads=threads)
        messages.append(str(e.value))
    assert messages[0] == messages[1] and f"frame {len(index) - 5000}:" in messages[0]


def outcome(call):
    """What a call gives: (tables or the exception's type and text, warnings)."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            got = call()
        except Exception as e:  # noqa: BLE001 - compared below
            got = (type(e), str(e))
    said = [(w.category, str(w.message)) for w in caught
            if w.category in (kv.BLFWarning, kv.TextWarning)]
    if isinstance(got, korvel.Tables):
        got = {name: {col: np.asarray(a).tobytes() for col, a in t.items()}
               for name, t in got.items()}
    return got, said


@pytest.mark.parametrize("database", ["good", "broken"])
@pytest.mark.parametrize("kind", ["whole", "truncated", "not a log", "asc"])
def test_database_parsed_beside_the_read_gives_one_after_the_other(db, log, tmp_path, kind,
                                                                   database):
    # A database file is parsed while the log is read (unless one thread is
    # asked for); warnings, errors and tables must be those of the plan first,
    # then the read.
    from text_samples import ASC

    frames, _ = log
    buf = io.BytesIO()
    kv.write(buf, frames, verbose=False)
    data = {"whole": buf.getvalue(), "truncated": buf.getvalue()[:-300],
            "not a log": b"LOGG" + bytes(300), "asc": ASC.encode()}[kind]
    path = tmp_path / ("log.asc" if kind == "asc" else "log.blf")
    path.write_bytes(data)
    dbc = tmp_path / "db.dbc"
    dbc.write_text(DBC if database == "good" else 'VERSION ""\nBO_ x X: 8 A\n')
    one = outcome(lambda: korvel.decode(path, dbc, threads=1))
    both = outcome(lambda: korvel.decode(path, dbc))
    assert both == one
    if database == "broken":
        assert one[0][0] is cantools.database.UnsupportedDatabaseFormatError and not one[1]
    elif kind == "not a log":
        assert one[0][0] is kv.BLFError
    elif kind != "whole":
        assert one[1] and isinstance(one[0], dict)


@st.composite
def dbc_messages(draw):
    """DBC text of one message whose signals may stick out or overlap, some
    multiplexed (nested too)."""
    size = draw(st.sampled_from([1, 2, 3, 8, 12, 64]))
    lines = ['VERSION ""', "", "BU_: A", f"BO_ 100 M: {size} A"]
    selectors = [""]
    if draw(st.booleans()):
        lines.append(f' SG_ Mux M : {draw(st.integers(0, 8))}|4@1+ (1,0) [0|0] "" A')
        selectors += ["m0 ", "m1 ", "m2 "]
        if draw(st.booleans()):
            lines.append(f' SG_ Sub m1M : {draw(st.integers(4, 16))}|4@1+ (1,0) [0|0] "" A')
    for i in range(draw(st.integers(1, 8))):
        order = draw(st.sampled_from("01"))
        start = draw(st.integers(0, 8 * size + 8))
        length = draw(st.integers(1, 24))
        sel = draw(st.sampled_from(selectors))
        lines.append(f' SG_ S{i} {sel}: {start}|{length}@{order}+ (1,0) [0|0] "" A')
    return "\n".join(lines) + "\n"


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(dbc_messages())
def test_the_strict_check_on_bit_masks_agrees_with_cantools(text):
    from korvel.tables import _strictly_sound

    try:
        loose = cantools.database.load_string(text, "dbc", strict=False)
    except Exception:  # noqa: BLE001 - rejected whatever the check: nothing to compare
        return
    try:
        cantools.database.load_string(text, "dbc")
        strict = True
    except cantools.database.UnsupportedDatabaseFormatError:
        strict = False
    assert _strictly_sound(loose) == strict, text


def test_a_database_cantools_rejects_strictly_raises_its_error(tmp_path, log):
    path = tmp_path / "overlap.dbc"
    path.write_text(DBC.replace(" SG_ Temp : 16|8@1-", " SG_ Temp : 12|8@1-"))
    with pytest.raises(cantools.database.UnsupportedDatabaseFormatError) as want:
        cantools.database.load_file(path)
    assert "overlapping" in str(want.value)
    with pytest.raises(type(want.value), match="overlap") as got:
        korvel.decode(log[0], path)
    assert str(got.value) == f"{path}: {want.value}" or str(got.value) == str(want.value)
