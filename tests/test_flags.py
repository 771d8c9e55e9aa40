"""flag_test against NumPy's own bit test, on contiguous and strided arrays."""

import numpy as np
import pytest

import korvel
from korvel import korvel as k


def frame_array(flags):
    index = np.zeros(len(flags), k.DT)
    index["flags"] = flags
    # Noise in every other field: only the flags byte may count.
    index["can_id"] = np.arange(len(flags)) * 7919
    index["len"] = 0xFF
    index["loc"] = np.uint64(0xFFFF_FFFF_FFFF_FFFF)
    index["timestamp"] = -1
    return index


ALL_FLAGS = np.arange(256, dtype=np.uint8)


@pytest.mark.parametrize("mask", [0, 1, 4, 8, 0x40, 0x44, 0x7F, 0xFF, 256, 0x104, -1, -256])
@pytest.mark.parametrize(
    "view", [slice(None), slice(None, None, 3), slice(None, None, -1), slice(200, 10, -7)]
)
def test_matches_numpy_bit_test(mask, view):
    index = frame_array(ALL_FLAGS)[view]
    out = korvel.flag_test(index, mask)
    expected = (index["flags"].astype(np.int64) & mask) != 0
    assert out.dtype == np.bool_ and out.shape == index.shape
    np.testing.assert_array_equal(out, expected)


def test_field_view_stride_is_honoured():
    # A DT array taken out of a wider structured array: stride 32, not 24.
    wide = np.zeros(5, [("rec", k.DT), ("pad", "u8")])
    wide["rec"]["flags"] = [1, 0, 8, 0, 9]
    out = k.flag_test(wide["rec"], 8)
    np.testing.assert_array_equal(out, [False, False, True, False, True])


def test_empty_and_keywords():
    out = k.flag_test(mask=8, index=np.zeros(0, k.DT))
    assert out.dtype == np.bool_ and out.shape == (0,)


@pytest.mark.parametrize(
    "args, error",
    [
        ((None, 1), TypeError),
        (([1, 2], 1), TypeError),
        ((np.zeros(2, k.DT64), 1), ValueError),
        ((np.zeros(2, np.uint8), 1), ValueError),
        ((np.zeros((2, 2), k.DT), 1), ValueError),
        ((np.zeros(2, k.DT), 2**31), OverflowError),
        ((np.zeros(2, k.DT), 1.0), TypeError),
        ((np.zeros(2, k.DT),), TypeError),
        ((np.zeros(2, k.DT), 1, 2), TypeError),
    ],
)
def test_rejects(args, error):
    with pytest.raises(error):
        k.flag_test(*args)


def test_error_messages():
    with pytest.raises(TypeError, match=r"Argument 'index' has incorrect type .*NoneType"):
        k.flag_test(None, 1)
    with pytest.raises(TypeError, match=r"exactly 2 positional arguments \(1 given\)"):
        k.flag_test(np.zeros(2, k.DT))
