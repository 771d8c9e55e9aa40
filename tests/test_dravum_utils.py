"""korvel.dravum array utilities: isin, interp, dt2ts, _lolist."""

import subprocess
import sys
from datetime import datetime

import numpy as np
import portion as P
import pytest

from korvel import dravum as dv

VALUES = np.array([1.0, 1.5, 3.0, 5.5, 7.0, np.nan])


@pytest.mark.parametrize(
    "interval, want",
    [
        (P.closedopen(1.5, 5.5), [False, True, True, False, False, False]),
        (P.closed(1.5, 5.5), [False, True, True, True, False, False]),
        (P.open(1.5, 5.5), [False, False, True, False, False, False]),
        (P.openclosed(1.5, 5.5), [False, False, True, True, False, False]),
        (P.closed(0, 1.5) | P.closed(5, 6), [True, True, False, False, False, False]),
        (P.closed(5.5, P.inf), [False, False, False, True, True, False]),
    ],
)
def test_isin_float_interval(interval, want):
    assert dv.isin(VALUES, interval).tolist() == want


@pytest.mark.parametrize("dtype", [np.int8, np.uint8, np.int16, np.uint16, np.int32, np.uint32])
def test_isin_small_integers_take_lists_or_intervals(dtype):
    arr = np.array([0, 1, 2, 3, 4, 100], dtype=dtype)
    assert np.array_equal(dv.isin(arr, [2, 3]), np.isin(arr, [2, 3]))
    assert dv.isin(arr, P.closed(2, 3)).tolist() == [False, False, True, True, False, False]
    assert dv.isin(arr, P.open(1, 100)).tolist() == [False, False, True, True, True, False]


def test_isin_timestamps_is_half_open_range():
    start, end = dv.dt2ts("2023/01/03 15:30:00"), dv.dt2ts("20230103153010")
    ts = np.array([start - 1, start, end - 1, end], dtype=np.int64)
    got = dv.isin(ts, ["2023/01/03 15:30:00", "20230103153010"])
    assert got.tolist() == [False, True, True, False]


@pytest.mark.parametrize("arr", [np.array([1], np.uint64), np.array([True]), np.array([1.0], np.float32)])
def test_isin_other_element_types_give_none(arr):
    assert dv.isin(arr, [1]) is None


@pytest.mark.parametrize(
    "arr, arg",
    [
        (np.array([1.0]), [1.0]),
        (np.array([1], np.int64), ("2023/01/03", "2023/01/04")),
        (np.array([1], np.int64), ["2023/01/03"]),
        (np.array([1], np.int64), ["2023/01/03", 5]),
        (np.array([1], np.uint8), [2, True]),
        (np.array([1], np.uint8), (2, 3)),
    ],
)
def test_isin_argument_checks_are_assertions(arr, arg):
    with pytest.raises(AssertionError):
        dv.isin(arr, arg)


def test_checks_are_skipped_with_assertions_disabled():
    code = (
        "import numpy as np\n"
        "from korvel import dravum as dv\n"
        "frames = (np.zeros(3, dv.fb.korvel.DT), np.zeros(0, np.uint8))\n"
        "frames[0]['can_id'] = [10, 11, 12]\n"
        "q = dv.Query()\n"
        "print(q.map(frames, 'frames[\"can_id\"]').dtype)\n"
        "print(q.filter(frames, 'np.array([2, 0])')[0]['can_id'].tolist())\n"
        "try:\n"
        "    dv.isin(np.array([1.0]), [1.0])\n"
        "except Exception as e:\n"
        "    print(type(e).__name__)\n"
    )
    out = subprocess.run([sys.executable, "-O", "-c", code], capture_output=True, text=True,
                         check=True).stdout
    # map hands back the integer array, filter indexes by position, and the
    # list reaches portion unchecked.
    assert out.splitlines() == ["uint32", "[12, 10]", "AttributeError"]


def test_interp_fills_in_place():
    arr = np.array([np.nan, 1.0, np.nan, 3.0, np.nan])
    assert dv.interp(arr) is arr
    assert arr.tolist() == [1.0, 1.0, 2.0, 3.0, 3.0]
    empty = np.array([np.nan, np.nan])
    with pytest.raises(ValueError):
        dv.interp(empty)
    assert np.isnan(empty).all()


def test_dt2ts_reads_local_time():
    want = int(datetime(2023, 1, 3, 15, 30, 10).timestamp() * 1e9)
    assert dv.dt2ts("20230103153010") == dv.dt2ts("2023/01/03 15:30:10") == want
    assert dv.dt2ts("2023-01-03T15:30:10.5") == want + 500_000_000
    with pytest.raises(ValueError):
        dv.dt2ts("not a time")


class Text(str):
    pass


@pytest.mark.parametrize(
    "arg, want",
    [("ABC", ["abc"]), (["A", "bC"], ["a", "bc"]), (("X",), ["x"]), ("", [""]),
     (Text("Ab"), ["a", "b"]), ([], [])],
)
def test_lolist(arg, want):
    assert dv._lolist(arg) == want


def test_lolist_errors():
    with pytest.raises(TypeError):
        dv._lolist(5)
    with pytest.raises(AttributeError):
        dv._lolist([1])
