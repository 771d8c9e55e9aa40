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
