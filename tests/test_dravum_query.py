"""korvel.dravum Query: loading, namespace, filter/map and the message and signal queries."""

import pickle
import subprocess
import sys
import types

import cantools
import numpy as np
import pytest
from dravum_frames import cantools_values, load_db, make_frames, random_frames

import korvel
from korvel import dravum as dv

GLOB_KEYS = [
    "__self__",
    "np",
    "P",
    "isin",
    "interp",
    "dt2ts",
    "signals",
    "is_extended_id",
    "is_remote_frame",
    "is_error_frame",
    "is_fd",
    "is_rx",
    "message_contains",
    "senders_contains",
    "receivers_contains",
    "signal_contains",
    "signal_contains_and_value_eq",
    "signal_contains_and_value_ne",
]


@pytest.fixture(scope="module")
def db():
    return load_db()


@pytest.fixture(scope="module")
def q(db):
    query = dv.Query()
    query.addDatabase(db)
    return query


@pytest.fixture(scope="module")
def log(db):
    return random_frames(db, 3000, seed=7)


@pytest.fixture(scope="module")
def frames(log):
    return log[0]


def decoded(db, log, name):
    return cantools_values(db, log[0], log[1], name)


# --- construction, loading, attribute fallback ---------------------------------------


def test_new_query_tables_and_namespace():
    class Sub(dv.Query):
        pass

    for query in (dv.Query(), Sub()):
        assert query.msg_dict == query.msg_idx == query.sig_dict == query.sig_idx == {}
        assert list(query._glob) == GLOB_KEYS
        assert query._glob["__self__"] is query
        assert query._glob["signals"]._qry is query
        for k in dv.QUERY_FUNCS:
            assert query._glob[k] is dv.Query.__dict__[k]
        assert query._glob["is_fd"] is dv.FLAG_FUNCS["is_fd"]


def test_add_database_tables_and_merged_receivers(q):
    assert list(q.msg_dict) == ["VCU_Status", "BMS_Info", "GW_Diag", "ECU_Ext"]
    assert sorted(q.msg_idx) == [35, 291, 1024, 0x19000000]
    expected = {
        "VCU_Status": {"BMS", "ECU"},
        "BMS_Info": {"VCU", "GW"},
        "GW_Diag": {"VCU"},
        "ECU_Ext": {"GW"},
    }
    for name, receivers in expected.items():
        m = q.msg_dict[name]
        assert isinstance(m.receivers, list) and sorted(m.receivers) == sorted(receivers)
    bms = q.msg_dict["BMS_Info"]
    assert (bms.can_id, bms.senders, bms.comment) == (291, ["BMS"], "Battery management info")
    speed = q.sig_dict["Speed"]
    assert (
        speed.can_id,
        speed.start,
        speed.length,
        speed.scale,
        speed.byte_order,
        speed.unit,
        speed.comment,
    ) == (35, 7 + 8, 16, 0.1, "big_endian", "km/h", "vehicle speed over ground")
    assert {s.name for s in q.sig_idx[291]} == {"Temp", "Mode", "Current"}
    assert q.sig_dict["Temp"].is_signed and q.sig_dict["Temp"].byte_order == "little_endian"


def test_same_names_and_identifiers():
    query = dv.Query()
    query.addMessages([dv.Message(1, "M"), dv.Message(2, "M")])
    assert query.msg_dict["M"].can_id == 2 and sorted(query.msg_idx) == [1, 2]
    first, second = dv.Signal(1, "S", 0, 8), dv.Signal(1, "S", 8, 8)
    query.addSignals([first, dv.Signal(2, "S", 0, 4), second])
    assert query.sig_dict["S"] is second
    assert next(iter(query.sig_idx[1])) is first
    assert next(iter(query.sig_idx[2])).length == 4


def test_receivers_merge_rules():
    query = dv.Query()
    query.addMessages([dv.Message(1, "A", receivers=["X", "X"]), dv.Message(2, "B")])
    query.addSignals(
        [
            dv.Signal(1, "s1", 0, 1, receivers=None),
            dv.Signal(2, "s2", 0, 1, receivers=["Y", "Z"]),
            dv.Signal(9, "s9", 0, 1, receivers=["W"]),
        ]
    )
    assert query.msg_dict["A"].receivers == ["X"]
    assert sorted(query.msg_dict["B"].receivers) == ["Y", "Z"]
    late = dv.Message(2, "C", receivers=["K", "K"])
    query.addMessages([late])
    assert late.receivers == ["K", "K"]  # untouched until the next addSignals
    query.addSignals([])
    assert late.receivers == ["K"] and sorted(query.msg_dict["B"].receivers) == ["Y", "Z"]


def test_attribute_fallback(q):
    assert q.is_fd is dv.FLAG_FUNCS["is_fd"] and q.np is np and q.signals is q._glob["signals"]
    assert q.message_contains.__self__ is q
    for name in ("foo", "frames"):
        with pytest.raises(AttributeError) as err:
            getattr(q, name)
        assert str(err.value) == f'查询器中没有"{name}"属性'
    bare = dv.Query.__new__(dv.Query)  # no constructor: no _glob, and no recursion
    with pytest.raises(AttributeError):
        _ = bare.signals
    with pytest.raises(AttributeError):
        _ = bare._glob


# --- expression rewriting ---------------------------------------------------------------


@pytest.mark.parametrize(
    "expr, want",
    [
        ("frames['can_id'] == 35", "frames[0]['can_id'] == 35"),
        ('frames["len"] > 4', "frames[0]['len'] > 4"),
        (
            "(frames['channel'] == 1) & is_fd(frames) & signal_contains(frames, 'Speed')",
            "(frames[0]['channel'] == 1) & is_fd(frames) & __self__.signal_contains(frames, 'Speed')",
        ),
        (
            "signal_contains_and_value_eq(frames, 'A', 1)",
            "__self__.signal_contains_and_value_eq(frames, 'A', 1)",
        ),
        ("xframes['timestamp']", "xframes[0]['timestamp']"),
        ("q.message_contains(frames, 'x')", "q.__self__.message_contains(frames, 'x')"),
        ("message_contains (frames, 'x')", "message_contains (frames, 'x')"),
        ("signals.Speed(frames) > 3", "signals.Speed(frames) > 3"),
    ],
)
def test_exp_repair(expr, want):
    assert dv._exp_repair(expr) == want


@pytest.mark.parametrize(
    "expr, key",
    [
        ("frames['flags'] > 0", "'flags'"),
        ('frames["loc"]', '"loc"'),
        ("frames[0]", "0"),
        ("frames[\"can_id']", "\"can_id'"),
        ("frames['can_id'] + frames[1]", "1"),
        # Any code point, lone surrogates included, comes out whole in the KeyError.
        ("frames['\ud800']", "'\ud800'"),
        ("frames[\udcff]", "\udcff"),
        ("frames['can_id\ud800']", "'can_id\ud800'"),
        ("frames['\u00e9']", "'\u00e9'"),
    ],
)
def test_exp_repair_rejects_other_accesses(expr, key, q, frames):
    with pytest.raises(KeyError) as err:
        dv._exp_repair(expr)
    assert err.value.args == (key,)
    with pytest.raises(KeyError):
        q.filter(frames, expr)


# --- filter and map ---------------------------------------------------------------------


@pytest.mark.parametrize("kind", ["3-tuple", "dict", "list"])
def test_frames_are_read_by_index_0_and_1(q, frames, kind):
    """A frames pair is anything indexable by 0 and 1."""
    other = {
        "3-tuple": (frames[0], frames[1], "meta"),
        "dict": {0: frames[0], 1: frames[1]},
        "list": [frames[0], frames[1]],
    }[kind]
    expr = "(signals.Speed(frames) > 1000) | message_contains(frames, 'diag')"
    want = q.filter(frames, expr)
    got = q.filter(other, expr)
    assert isinstance(got, tuple) and len(got) == 2 and got[1] is frames[1]
    assert np.array_equal(got[0], want[0]) and len(want[0]) > 0
    assert np.array_equal(
        q.map(other, "signals.Temp(frames)"), q.map(frames, "signals.Temp(frames)"), equal_nan=True
    )
    for method, arg in (
        ("message_contains", "bms"),
        ("signal_contains", "gear"),
        ("senders_contains", "gw"),
    ):
        assert np.array_equal(getattr(q, method)(other, arg), getattr(q, method)(frames, arg))
    assert np.array_equal(q.signals.Gear(other), q.signals.Gear(frames), equal_nan=True)


@pytest.mark.parametrize("method", ["filter", "map"])
@pytest.mark.parametrize("expr", ["True", "1.0", "[True, True]", "None", "frames"])
def test_result_without_dtype_fails_its_check_with_attribute_error(q, frames, method, expr):
    with pytest.raises(AttributeError):
        getattr(q, method)(frames, expr)


def test_filter_matches_a_hand_computed_mask(db, q, log, frames):
    expr = (
        "(frames['can_id'] == 35) & (signals.Speed(frames) > 1000) "
        "& ~is_rx(frames) | (signals.Temp(frames) < -100)"
    )
    mask = (
        (frames[0]["can_id"] == 35)
        & (decoded(db, log, "Speed") > 1000)
        & ((frames[0]["flags"] & 4) == 0)
    ) | (decoded(db, log, "Temp") < -100)
    got = q.filter(frames, expr)
    assert mask.any() and not mask.all()
    assert isinstance(got, tuple) and got[1] is frames[1]
    assert np.array_equal(got[0], frames[0][mask])


def test_filter_quotes_flags_and_extremes(q, frames):
    a = q.filter(frames, "frames['can_id'] == 35")
    b = q.filter(frames, 'frames["can_id"] == 35')
    assert np.array_equal(a[0], b[0]) and len(a[0]) > 0
    fd = q.filter(frames, "is_fd(frames)")[0]
    assert np.array_equal(fd, frames[0][(frames[0]["flags"] & 8) != 0])
    none = q.filter(frames, "frames['len'] > 8")
    assert len(none[0]) == 0 and none[1] is frames[1]
    everything = q.filter(frames, "frames['len'] >= 0")
    assert np.array_equal(everything[0], frames[0]) and everything[0] is not frames[0]


@pytest.mark.parametrize(
    "expr", ["frames['can_id']", "np.ones(3, bool)", "(frames['can_id'] == 35).reshape(-1, 1)"]
)
def test_filter_result_check(q, frames, expr):
    with pytest.raises(AssertionError):
        q.filter(frames, expr)


def test_map_values_equal_cantools(db, q, log, frames):
    for name in (
        "VCUMyTestSig1",
        "Speed",
        "Gear",
        "Temp",
        "Mode",
        "Current",
        "DiagCode",
        "ExtCounter",
    ):
        got = q.map(frames, f"signals.{name}(frames)")
        assert np.array_equal(got, decoded(db, log, name), equal_nan=True), name
    speed = q.map(frames, "interp(signals.Speed(frames))")
    assert not np.isnan(speed).any()
    assert q.map(frames, "frames['timestamp'] / 1e9").dtype == np.float64
    assert q.map(frames, "np.zeros(2)").shape == (2,)


@pytest.mark.parametrize(
    "expr", ["frames['can_id']", "np.zeros(3, np.float32)", "np.zeros((2, 2))"]
)
def test_map_result_check(q, frames, expr):
    with pytest.raises(AssertionError):
        q.map(frames, expr)


@pytest.mark.parametrize(
    "expr, error",
    [
        ("signals.Missing(frames)", KeyError),
        ("nothing(frames)", NameError),
        ("frames[", SyntaxError),
        ("message_contains (frames, 'x')", TypeError),
    ],
)
def test_expression_errors_propagate(q, frames, expr, error):
    with pytest.raises(error):
        q.filter(frames, expr)


# --- message queries --------------------------------------------------------------------


def ids_mask(frames, *ids):
    return np.isin(frames[0]["can_id"], list(ids))


@pytest.mark.parametrize(
    "method, patterns, ids",
    [
        ("message_contains", "VCU_", [35]),
        ("message_contains", "MANAGEMENT", [291]),  # comment, any case
        ("message_contains", ["diag", "ext"], [1024, 0x19000000]),
        ("message_contains", [], []),
        ("message_contains", "", [35, 291, 1024, 0x19000000]),
        ("message_contains", "nomatch", []),
        ("senders_contains", "bms", [291]),
        ("senders_contains", ["gw", "ecu"], [1024, 0x19000000]),
        ("receivers_contains", "gw", [291, 0x19000000]),
        ("receivers_contains", ("ecu",), [35]),
    ],
)
def test_message_pattern_queries(q, frames, method, patterns, ids):
    got = getattr(q, method)(frames, patterns)
    assert got.dtype == bool and np.array_equal(got, ids_mask(frames, *ids))


def test_message_queries_inside_expressions(q, frames):
    got = q.filter(frames, "message_contains(frames, 'status') & is_extended_id(frames)")[0]
    want = frames[0][ids_mask(frames, 35) & ((frames[0]["flags"] & 0x40) != 0)]
    assert len(want) and np.array_equal(got, want)


def test_message_matches_and_identifier_link():
    query = dv.Query()
    query.addMessages(
        [dv.Message(5, "A", comment=None), dv.Message(5, "B", comment="xyz"), dv.Message(6, "C")]
    )
    frames = make_frames([5, 6, 5, 7], [b"\0"] * 4, flags=[0x40, 0, 0, 0], channels=[1, 2, 3, 4])
    assert query.message_matches(frames, lambda m: m.name == "B").tolist() == [
        True,
        False,
        True,
        False,
    ]
    assert query.message_contains(frames, "XYZ").tolist() == [True, False, True, False]

    # A str subclass is iterated: each character is a pattern.
    class Text(str):
        pass

    assert query.message_contains(frames, Text("cq")).tolist() == [False, True, False, False]
    assert not dv.Query().message_contains(frames, "").any()
    with pytest.raises(AssertionError):
        query.message_matches(frames, "not callable")
    # Node lists are searched as one "|"-joined text.
    query.addMessages([dv.Message(7, "D", senders=["ab", "cd"])])
    assert query.senders_contains(frames, "B|C").tolist() == [False, False, False, True]


# --- signal queries ---------------------------------------------------------------------


def test_signal_contains_and_matches(q, frames):
    assert np.array_equal(q.signal_contains(frames, "speed"), ids_mask(frames, 35))
    assert np.array_equal(q.signal_contains(frames, "OVER GROUND"), ids_mask(frames, 35))
    assert np.array_equal(q.signal_contains(frames, ["state", "diag"]), ids_mask(frames, 291, 1024))
    assert np.array_equal(q.signal_matches(frames, lambda s: s.is_signed), ids_mask(frames, 291))
    assert not q.signal_contains(frames, "zzz").any()
    with pytest.raises(AssertionError):
        q.signal_matches(frames, None)


@pytest.mark.parametrize(
    "pattern, values",
    [
        ("mode", [1, 2]),
        ("MODE", 3),
        ("gear", (0, 15)),
        ("temp", np.array([-40.0, 0.0])),
        (["gear", "mode"], [5]),
        ("speed", []),
    ],
)
def test_value_queries_equal_cantools(db, q, log, frames, pattern, values, capsys):
    wanted = [
        s for s in q.sig_dict.values() if any(p in s.name.lower() for p in dv._lolist(pattern))
    ]
    vals = values if np.iterable(values) else [values]
    eq = np.zeros(len(frames[0]), bool)
    ne = np.zeros(len(frames[0]), bool)
    for s in wanted:
        v = decoded(db, log, s.name)
        eq |= np.isin(v, vals)
        ne |= ~np.isnan(v) & ~np.isin(v, vals)
    assert np.array_equal(q.signal_contains_and_value_eq(frames, pattern, values), eq)
    assert np.array_equal(q.signal_contains_and_value_ne(frames, pattern, values), ne)
    expr = f"signal_contains_and_value_eq(frames, {pattern!r}, {list(vals)!r})"
    assert np.array_equal(q.filter(frames, expr)[0], frames[0][eq])
    lines = capsys.readouterr().out.splitlines()
    assert (
        all(
            line.startswith(f">>signal_value_matches: num_signals={len(wanted)}, tm1=")
            for line in lines
        )
        and len(lines) == 3
    )


def test_signal_value_matches_callbacks(q, frames, capsys):
    seen = []

    def signal_cb(s):
        return False if s.name in ("Gear", "Mode") else None

    def value_cb(v, values):
        seen.append(v)
        return values == 3

    got = q.signal_value_matches(frames, signal_cb, value_cb)
    gear = q.map(frames, "signals.Gear(frames)")
    mode = q.map(frames, "signals.Mode(frames)")
    assert seen == [False, False]
    assert np.array_equal(got, (gear == 3) | (mode == 3))
    line = capsys.readouterr().out
    assert line.startswith(">>signal_value_matches: num_signals=2, tm1=")
    assert ", tm2=" in line and ", tm3=" in line


def test_signal_value_matches_without_signals_prints_zeros(frames, capsys):
    got = dv.Query().signal_value_matches(frames, lambda s: s, lambda v, x: x > 0)
    assert got.dtype == bool and not got.any() and got.shape == frames[0].shape
    assert capsys.readouterr().out == ">>signal_value_matches: num_signals=0, tm1=0, tm2=0, tm3=0\n"


def test_signal_value_matches_errors(q, frames, capsys):
    with pytest.raises(AssertionError):
        q.signal_value_matches(frames, None, lambda v, x: x)
    with pytest.raises(ValueError):
        q.signal_value_matches((frames[0],), lambda s: s, lambda v, x: x)
    with pytest.raises(ZeroDivisionError):
        q.signal_value_matches(frames, lambda s: s, lambda v, x: 1 / 0)
    assert capsys.readouterr().out == ""


def test_float_signal_nan_is_never_selected():
    query = dv.Query()
    query.addSignals([dv.Signal(9, "F", 0, 32, byte_order="little_endian", is_float=True)])
    nan = np.array([np.nan], np.float32).tobytes()
    one = np.array([1.0], np.float32).tobytes()
    frames = make_frames([9, 9, 8], [nan, one, one])
    assert query.signal_contains_and_value_ne(frames, "f", [2.0]).tolist() == [False, True, False]
    assert query.signal_contains_and_value_eq(frames, "f", 1.0).tolist() == [False, True, False]


# --- pickling --------------------------------------------------------------------------


class TaggedQuery(dv.Query):
    def __init__(self, tag):
        super().__init__()
        self.tag = tag


def test_query_round_trips_through_pickle(db, frames):
    for query in (dv.Query(), TaggedQuery("fleet")):
        query.addDatabase(db)
        speed = query.signals.Speed  # built before pickling: travels with the query
        again = pickle.loads(pickle.dumps(query))
        assert type(again) is type(query) and again.__dict__.keys() == query.__dict__.keys()
        assert list(again._glob) == GLOB_KEYS and again._glob["__self__"] is again
        assert again.signals._qry is again and again.signals._cache == {"Speed": speed}
        assert again.msg_dict == query.msg_dict and again.sig_idx == query.sig_idx
        for expr in ("(signals.Speed(frames) > 500) & ~is_fd(frames)", "message_contains(frames, 'BMS')"):
            assert np.array_equal(again.filter(frames, expr)[0], query.filter(frames, expr)[0])
        expr = "signals.Current(frames) * 2"
        assert np.array_equal(again.map(frames, expr), query.map(frames, expr), equal_nan=True)
        again.addSignals([dv.Signal(35, "Extra", 0, 8)])
        assert "Extra" not in query.sig_dict  # the copy has tables of its own


CHILD = """import pickle, sys
decoders, frames = pickle.load(sys.stdin.buffer)
pickle.dump(([d(frames) for d in decoders], pickle.dumps(decoders)), sys.stdout.buffer)
"""


def test_decoders_pickle_by_reference_and_rebuild_in_another_process(frames):
    chain = [(0, 4, False, False, [1, 3])]
    decoders = [
        korvel.signal_decoder(35, 15, 16, True, False, False, 0.1, 0.0),
        korvel.signal_decoder(35, 15, 16, True, False, False, 0.1, 0.0),  # same arguments
        korvel.signal_decoder(291, 16, 16, False, True, False, float("inf"), float("nan")),
        korvel.signal_decoder(291, 8, 64, False, False, True, 2.5, -1.0, multiplexers=chain),
        korvel.signal_decoder(291, 8, 4, False, multiplexers=chain),
    ]
    assert pickle.loads(pickle.dumps(decoders)) == decoders  # the very objects, here
    child = [sys.executable, "-c", CHILD]
    run = subprocess.run(child, input=pickle.dumps((decoders, frames)), capture_output=True, check=True)
    values, again = pickle.loads(run.stdout)
    for d, got in zip(decoders, values):
        assert np.array_equal(got, d(frames), equal_nan=True)
    # Rebuilt under the names they were saved with, they pickle back as the same ones.
    assert pickle.loads(again) == decoders
    assert all(type(d) is types.FunctionType and d.__name__ == "<lambda>" for d in decoders)


def test_signals_of_one_message():
    """signals.Message.Signal picks the message where two define a name; a name
    that is both a message and a signal stays the signal; the decoders pickle."""
    db = cantools.database.load_string('''VERSION ""
BO_ 16 Front: 8 E
 SG_ Speed : 0|16@1+ (0.5,0) [0|0] "" E
BO_ 32 Rear: 8 E
 SG_ Speed : 16|16@1+ (2,0) [0|0] "" E
 SG_ Gear : 0|8@1+ (1,0) [0|0] "" E
BO_ 48 Gear: 8 E
 SG_ Level : 0|8@1+ (1,0) [0|0] "" E
''', "dbc")
    query = dv.Query()
    query.addDatabase(db)
    data = bytes([3, 0, 7, 0, 0, 0, 0, 0])
    pair = make_frames([16, 32], [data, data])
    front, rear = (query.signals.Front.Speed(pair), query.signals.Rear.Speed(pair))
    want = [db.get_message_by_name(m).decode(data)["Speed"] for m in ("Front", "Rear")]
    assert front[0] == want[0] and np.isnan(front[1]) and rear[1] == want[1]
    assert np.array_equal(query.signals.Speed(pair), rear, equal_nan=True)  # the last loaded
    assert query.signals.Gear(pair).tolist()[1] == 3.0  # the signal Rear.Gear, not the message
    assert query.filter(pair, "signals.Front.Speed(frames) > 1")[0]["can_id"].tolist() == [16]
    with pytest.raises(KeyError, match="Rear.Nope"):
        _ = query.signals.Rear.Nope
    again = pickle.loads(pickle.dumps(query))
    assert np.array_equal(again.signals.Rear.Speed(pair), rear, equal_nan=True)
