"""korvel.dravum: module frame, Message/Signal records, LazySignals and the tables."""

import dataclasses
import re

import numpy as np
import pytest
from dravum_frames import load_db, make_frames, random_frames

import korvel
from korvel import dravum as dv


def test_module_binds_names_in_order():
    names = [k for k in vars(dv) if not k.startswith("__")]
    assert names == [
        "time", "re", "Iterable", "np", "P", "parse", "fb", "List", "dataclass", "field",
        "Message", "Signal", "interp", "isin", "dt2ts", "LazySignals", "_lolist",
        "FLAG_MASKS", "FLAG_FUNCS", "QUERY_FUNCS", "QUERY_FUNCS_PTN", "_exp_repair", "Query",
    ]
    assert dv.fb is korvel


@pytest.mark.parametrize(
    "cls, fields",
    [
        (dv.Message, [("can_id", "int"), ("name", "str"), ("senders", "List[str]"),
                      ("receivers", "List[str]"), ("comment", "str")]),
        (dv.Signal, [("can_id", "int"), ("name", "str"), ("start", "int"), ("length", "int"),
                     ("scale", "float"), ("offset", "float"), ("byte_order", "str"),
                     ("is_signed", "bool"), ("is_float", "bool"), ("unit", "str"),
                     ("receivers", "List[str]"), ("comment", "str")]),
    ],
)
def test_records_are_dataclasses_with_text_annotations(cls, fields):
    assert dataclasses.is_dataclass(cls)
    assert [(f.name, f.type) for f in dataclasses.fields(cls)] == fields


def test_record_defaults_repr_and_equality():
    a, b = dv.Message(1, "M"), dv.Message(2, "N")
    assert a.senders == [] and a.senders is not b.senders and a.comment == ""
    assert repr(a) == "Message(can_id=1, name='M', senders=[], receivers=[], comment='')"
    assert dv.Message(1, "M", ["A"]) == dv.Message(can_id=1, name="M", senders=["A"])
    assert dv.Message(1, "M") != dv.Message(1, "M", comment="x")
    with pytest.raises(TypeError):
        hash(a)
    s = dv.Signal(5, "S", 0, 8)
    assert (s.scale, s.offset, s.byte_order, s.is_signed, s.is_float, s.unit, s.comment) == (
        1.0, 0.0, "big_endian", False, False, "", "")
    assert s.receivers == [] and s.receivers is not dv.Signal(5, "S", 0, 8).receivers
    assert dv.Message.__doc__ == "消息（帧）数据类"
    assert dv.Signal.__doc__ == "信号数据类"


def test_signal_identity_is_can_id_and_name():
    a = dv.Signal(256, "A", 0, 8, scale=2.0)
    b = dv.Signal(0x100, "A", 7, 1)
    assert a == b and hash(a) == hash(b) == hash("256|A")
    kept = {a, b}
    assert len(kept) == 1 and next(iter(kept)).start == 0
    assert a != dv.Signal(256, "B", 0, 8)
    assert a != dv.Signal(257, "A", 0, 8)
    assert a != dv.Message(256, "A")

    class Sub(dv.Signal):
        pass

    assert a.__eq__(Sub(256, "A", 0, 8)) is False


def test_lazy_signals_builds_each_decoder_once():
    q = dv.Query()
    q.addDatabase(load_db())
    signals = q._glob["signals"]
    assert type(signals).__doc__ == "懒加载的信号解码器容器，可用signals.SignalName方式获取信号的解码函数"
    with pytest.raises(KeyError) as err:
        _ = signals.Nope
    assert err.value.args == ("Nope",)
    with pytest.raises(KeyError):
        hasattr(signals, "Nope")
    first = signals.Speed
    assert signals.Speed is first and signals._cache == {"Speed": first}
    # A later replacement of the record does not change the cached decoder.
    q.addSignals([dv.Signal(35, "Speed", 0, 8)])
    assert signals.Speed is first
    assert signals._qry is q  # instance attributes win over signal names


@pytest.mark.parametrize("byte_order", ["little_endian", "Big_endian", " big_endian"])
def test_byte_order_other_than_big_endian_text_decodes_little_endian(byte_order):
    frames = make_frames([7], [bytes([0x12, 0x34])])
    q = dv.Query()
    q.addSignals([dv.Signal(7, "X", 0, 16, byte_order=byte_order)])
    assert q.map(frames, "signals.X(frames)").tolist() == [float(0x3412)]


def test_flag_tables():
    assert list(dv.FLAG_MASKS.items()) == [
        ("is_extended_id", 64), ("is_remote_frame", 32), ("is_error_frame", 16),
        ("is_fd", 8), ("is_rx", 4)]
    assert list(dv.FLAG_FUNCS) == list(dv.FLAG_MASKS)
    frames, _ = random_frames(load_db(), 500)
    for name, mask in dv.FLAG_MASKS.items():
        got = dv.FLAG_FUNCS[name](frames)
        assert np.array_equal(got, (frames[0]["flags"] & mask) != 0), name
        assert dv.FLAG_FUNCS[name].__name__ == "<lambda>"


def test_query_funcs_pattern():
    assert dv.QUERY_FUNCS == [
        "message_contains", "senders_contains", "receivers_contains", "signal_contains",
        "signal_contains_and_value_eq", "signal_contains_and_value_ne"]
    assert dv.QUERY_FUNCS_PTN == "(" + "|".join(dv.QUERY_FUNCS) + r")\("
    m = re.search(dv.QUERY_FUNCS_PTN, "x | signal_contains_and_value_eq(frames, 'a', 1)")
    assert m.group(1) == "signal_contains_and_value_eq"
