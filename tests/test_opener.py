"""One opener for every log: korvel.read_log and iter_log, and the functions
that take frames (reassemblers, statistics, decode) take a log of any format,
a homogeneous array, and say what they take when given anything else."""

from pathlib import Path

import numpy as np
import pytest

import korvel
import korvel.korvel as kv
from korvel import isotp, j1939, stats

DATA = Path(__file__).resolve().parents[1] / "examples" / "data"
TRUCK, DIAG = str(DATA / "truck.blf"), str(DATA / "diag.blf")


@pytest.fixture(scope="module")
def truck_asc(tmp_path_factory):
    path = tmp_path_factory.mktemp("opener") / "truck.asc"
    kv.write_asc(str(path), kv.read(TRUCK, verbose=False), verbose=False)
    return str(path)


def _payloads(pair):
    index, chunk = pair
    return [bytes(chunk[(loc := int(r["loc"])) & ((1 << 48) - 1):][:loc >> 48]) for r in index]


def _same(a, b):
    assert np.array_equal(a[0], b[0]) and np.array_equal(a[1], b[1])


@pytest.mark.parametrize("call", [
    lambda f: j1939.transfers(f),
    lambda f: stats.cycles(f)["period"],
    lambda f: stats.frame_bits(f),
    lambda f: korvel.decode(f, str(DATA / "truck.dbc"))["EEC1"]["EngSpeed"],
])
def test_every_form_of_a_log_gives_one_answer(truck_asc, call):
    pair = kv.read_asc(truck_asc, verbose=False)
    want = call(pair)
    homo = kv.to_homo(pair, verbose=False)
    with open(truck_asc, "rb") as stream:
        forms = [truck_asc, Path(truck_asc), homo, stream]
        for form in forms:
            got = call(form)
            if isinstance(want, tuple):
                _same(got, want)
            else:
                assert np.array_equal(got, want, equal_nan=True)


def test_isotp_transfers_of_a_text_log(tmp_path):
    asc = tmp_path / "diag.asc"
    kv.write_asc(str(asc), kv.read(DIAG, verbose=False), verbose=False)
    got = isotp.transfers(str(asc))
    want = isotp.transfers(DIAG)
    assert np.array_equal(got[0]["status"], want[0]["status"])
    assert isotp.payloads(got) == isotp.payloads(want)


@pytest.mark.parametrize("value, words", [
    (None, "got NoneType"),
    (b"abc", "got bytes"),
    (42, "got int"),
    ((None, np.zeros(3, np.uint8)), "two NumPy arrays"),
])
@pytest.mark.parametrize("call", [j1939.transfers, isotp.transfers, stats.frame_bits,
                                  lambda f: stats.busload(f, 500_000),
                                  lambda f: korvel.decode(f, str(DATA / "truck.dbc"))])
def test_wrong_types_say_what_is_taken(call, value, words):
    with pytest.raises(TypeError, match=words) as e:
        call(value)
    if "got" in words:
        assert "a frames pair (index, chunk), a DT64 array, a path or a binary stream" in str(
            e.value)


def test_read_log_windows_and_options_on_a_text_log(truck_asc):
    whole = korvel.read_log(truck_asc, verbose=False)
    ts = whole[0]["timestamp"]
    mid = int(ts[len(ts) // 2])
    part = korvel.read_log(truck_asc, verbose=False, start=np.datetime64(mid, "ns"))
    assert np.array_equal(part[0], whole[0][ts >= mid])
    pieces = list(korvel.iter_log(truck_asc, 1000, verbose=False, stop=mid))
    assert np.array_equal(kv.concat(pieces)[0], whole[0][ts < mid])
    # The BLF log of the same frames reads the same through the opener.
    blf = korvel.read_log(TRUCK, verbose=False, exact_time=True)
    assert np.array_equal(blf[0]["can_id"], whole[0]["can_id"])
    with pytest.raises(ValueError, match="outside the int64 nanosecond range"):
        korvel.read_log(truck_asc, verbose=False, start=np.datetime64("2300-01-01"))
    with pytest.raises(ValueError, match="outside the int64 nanosecond range"):
        korvel.read_log(truck_asc, verbose=False, stop=np.datetime64("1600-01-01", "D"))
    with pytest.raises(ValueError, match="BLF logs only"):
        korvel.read_log(truck_asc, verbose=False, containers=(0, 1))
    with pytest.raises(ValueError, match="format must be one of"):
        korvel.read_log(truck_asc, format="mdf", verbose=False)


@pytest.fixture(scope="module")
def one_log_three_ways(tmp_path_factory):
    """drive.blf's frames as BLF, ASC and MF4 files, each with its own whole read."""
    d = tmp_path_factory.mktemp("formats")
    pair = kv.read(str(DATA / "drive.blf"), verbose=False, exact_time=True)
    paths = {"blf": d / "x.blf", "asc": d / "x.asc", "mf4": d / "x.mf4"}
    kv.write(str(paths["blf"]), pair, verbose=False, exact_time=True)
    kv.write_asc(str(paths["asc"]), pair, verbose=False)
    kv.write_mf4(str(paths["mf4"]), pair, verbose=False)
    return {fmt: (str(p), korvel.read_log(str(p), verbose=False, exact_time=True))
            for fmt, p in paths.items()}


@pytest.mark.parametrize("fmt", ["blf", "asc", "mf4"])
@pytest.mark.parametrize("frac", [(None, 0.3), (0.25, 0.75), (0.5, None), (0.6, 0.6),
                                  (-1.0, 0.01), (0.999, 2.0)])
@pytest.mark.parametrize("as_datetime", [False, True])
def test_windows_of_every_format_are_the_masked_whole_read(one_log_three_ways, fmt, frac,
                                                          as_datetime):
    path, whole = one_log_three_ways[fmt]
    ts = whole[0]["timestamp"]
    lo, hi = int(ts[0]), int(ts[-1])

    def bound(f):
        if f is None:
            return None
        t = lo + int((hi - lo) * f) + 1  # between frames, not on one
        return np.datetime64(t, "ns") if as_datetime else t

    start, stop = bound(frac[0]), bound(frac[1])
    keep = np.ones(len(ts), bool)
    if start is not None:
        keep &= ts >= int(np.int64(start.astype("int64") if as_datetime else start))
    if stop is not None:
        keep &= ts < int(np.int64(stop.astype("int64") if as_datetime else stop))
    got = korvel.read_log(path, verbose=False, exact_time=True, start=start, stop=stop)
    index = got[0]
    assert np.array_equal(index[["timestamp", "can_id", "flags", "channel", "len"]],
                          whole[0][keep][["timestamp", "can_id", "flags", "channel", "len"]])
    assert _payloads(got) == _payloads((whole[0][keep], whole[1]))
    pieces = list(korvel.iter_log(path, 997, verbose=False, exact_time=True, start=start,
                                  stop=stop))
    assert all(len(p[0]) <= 997 for p in pieces)
    assert [len(p[0]) for p in pieces].count(0) == 0
    assert np.array_equal(np.concatenate([p[0]["timestamp"] for p in pieces] or [ts[:0]]),
                          index["timestamp"])
    assert [b for p in pieces for b in _payloads(p)] == _payloads(got)


def test_every_format_holds_the_same_frames(one_log_three_ways):
    blf = one_log_three_ways["blf"][1]
    for fmt in ("asc", "mf4"):
        other = one_log_three_ways[fmt][1]
        for field in ("can_id", "flags", "channel", "len"):
            assert np.array_equal(other[0][field], blf[0][field]), (fmt, field)
        step = 1000 if fmt == "asc" else 1  # ASC keeps microseconds
        assert np.array_equal(other[0]["timestamp"] // step, (blf[0]["timestamp"] + step // 2) // step)
