"""What a quiet read says about missing data, and what a read with
errors="skip" gets back from behind an object that can never be finished."""

import io
import struct
import warnings

import blfbuild as bb
import numpy as np
import pytest

import korvel.korvel as k

FRAMES = 30
OBJECTS = [bb.can_msg(0x100 + i, bytes([i]) * 8, timestamp=i) for i in range(FRAMES)]
SIZE = len(OBJECTS[0])
# Six containers, each cutting the object at its start.
CUTS = [5 * SIZE + 10, 10 * SIZE + 20, 15 * SIZE + 5, 20 * SIZE + 30, 25 * SIZE + 7]


def log(damaged=None, methods=None, types=None, cuts=CUTS):
    """The 30-frame log; `damaged`: an object whose object_size gains bit 20 (it
    then reaches past the end); `methods`, `types`: per container, a compression
    method or a top-level object type other than the container's."""
    stream = bytearray(b"".join(OBJECTS))
    if damaged is not None:
        at = damaged * SIZE + 8
        struct.pack_into("<I", stream, at, struct.unpack_from("<I", stream, at)[0] | 1 << 20)
    bounds = [0, *cuts, len(stream)]
    body = b""
    for i, (a, b) in enumerate(zip(bounds, bounds[1:])):
        c = bytearray(bb.container(bytes(stream[a:b]), method=(methods or {}).get(i, 2)))
        if types and i in types:
            struct.pack_into("<I", c, 12, types[i])
        body += bytes(c)
    return bb.file_header(object_count=FRAMES) + body


def read(data, **kw):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        index, _ = k.read(io.BytesIO(data), verbose=False, **kw)
    return (index["can_id"] - 0x100).tolist(), [str(w.message) for w in caught
                                                if w.category is k.BLFWarning]


NOTICES = {
    "truncated": (bb.blf(OBJECTS)[:-100], "log truncated at byte offset "),
    "compression": (bb.file_header(2) + bb.container(bb.can_msg(1), method=5)
                    + bb.container(bb.can_msg(2)), "Unknown compression method 5"),
    "version": (bb.blf([bb.can_msg(1), bb.OBJ_BASE.pack(b"LOBJ", 32, 3, 36, 1) + bytes(20)]),
                "Unknown object header version 3"),
    "carried": (log(damaged=4), ("log truncated inside the log container at byte offset 144: "
                                 "the inner object at offset 192 of its data declares 1048624 "
                                 "bytes, 1248 are present; those 1248 bytes were not read")),
}


@pytest.mark.parametrize("kind", NOTICES)
def test_quiet_reads_warn_with_the_printed_text(kind, capsys):
    data, text = NOTICES[kind]
    k.read(io.BytesIO(data))  # verbose: the printed line, no warning (filterwarnings=error)
    printed = [line for line in capsys.readouterr().out.splitlines()
               if not line.startswith("load blf cost ")]
    assert len(printed) == 1 and printed[0].removeprefix("load blf: ").startswith(text)
    for quiet in (lambda: k.read(io.BytesIO(data), verbose=False),
                  lambda: list(k.iter_read(io.BytesIO(data), 7, verbose=False))):
        with pytest.warns(k.BLFWarning) as caught:
            quiet()
        assert [str(w.message) for w in caught] == [printed[0].removeprefix("load blf: ")]
    assert capsys.readouterr().out == ""


@pytest.mark.parametrize("threads", [1, 3])
def test_a_damaged_object_size_does_not_swallow_the_log(threads):
    ids, notices = read(log(damaged=4), threads=threads, _scan_ahead=True)
    assert ids == [0, 1, 2, 3] and notices == [NOTICES["carried"][1]]
    # Skipping: the walk goes on at the next object of its container, even one
    # cut into the next container.
    ids, notices = read(log(damaged=4), errors="skip", threads=threads, _scan_ahead=True)
    assert ids == [0, 1, 2, 3, *range(5, FRAMES)]
    assert notices == [("skipped bytes 192 to 240 of the data of the log container at byte "
                        "offset 144 (container 0): the inner object at offset 192 of the data "
                        "of the log container at byte offset 144 declares 1048624 bytes, more "
                        "than the 1248 left in the log")]
    pieces = list(k.iter_read(io.BytesIO(log(damaged=4)), 4, errors="skip", verbose=False,
                              _notices=[]))
    assert (k.concat(pieces)[0]["can_id"] - 0x100).tolist() == ids


@pytest.mark.parametrize("cuts", [[], [13 * SIZE], [7 * SIZE + 3, 14 * SIZE + 40], CUTS])
@pytest.mark.parametrize("damaged", [0, 4, 12, 27, 29])
def test_salvage_keeps_every_other_frame_whatever_the_containers(cuts, damaged):
    ids, notices = read(log(damaged=damaged, cuts=cuts), errors="skip")
    assert ids == [i for i in range(FRAMES) if i != damaged] and len(notices) == 1
    parts = [read(log(damaged=damaged, cuts=cuts), errors="skip", containers=(c, c + 1))[0]
             for c in range(len(cuts) + 1)]
    assert [i for part in parts for i in part] == ids


@pytest.mark.parametrize("damaged", [0, 27, 29])
def test_damage_in_the_first_or_last_container(damaged):
    # Only the last object, with nothing after it, leaves the log truncated.
    ids, notices = read(log(damaged=damaged), errors="skip")
    assert ids == [i for i in range(FRAMES) if i != damaged]
    assert notices[0].startswith("log truncated inside " if damaged == FRAMES - 1 else
                                 "skipped bytes ")


def fd_log(payload):
    """Five frames, a CAN FD frame with `payload` cut by the end of the first
    container (which is damaged), five frames after it."""
    objs = [bb.can_msg(0x100 + i, bytes(8), timestamp=i) for i in range(5)]
    objs += [bb.can_fd(0x200, payload, timestamp=5)]
    objs += [bb.can_msg(0x300 + i, bytes(8), timestamp=6 + i) for i in range(5)]
    data = bytearray(bb.blf(objs, split=[5 * SIZE + 40]))
    data[144 + 32 + 5] ^= 0xFF
    return bytes(data)


FAKE = bb.can_msg(0x7AB, b"FAKEDATA", timestamp=99)


@pytest.mark.parametrize("fake_size", [200, 1000, 1 << 20])
def test_resynchronising_invents_no_frame(fake_size):
    # Payload bytes that look like an object header, whose size does not meet the
    # walk cleanly: never taken for an object.
    fake = bytearray(FAKE)
    struct.pack_into("<I", fake, 8, fake_size)
    index, _ = k.read(io.BytesIO(fd_log(bytes(3) + bytes(fake) + bytes(13))), verbose=False,
                      errors="skip", _notices=[])
    assert index["can_id"].tolist() == [0x300 + i for i in range(5)]


@pytest.mark.parametrize("how", ["compression", "type"])
def test_skipped_container_drops_only_the_object_cut_into_it(how):
    damage = {"methods": {2: 5}} if how == "compression" else {"types": {2: 77}}
    ids, notices = read(log(**damage), errors="skip")
    # Container 2 holds frames 10..14 and the beginning of 15.
    assert ids == [*range(10), *range(16, FRAMES)]
    assert notices[-1].startswith("skipped byte offset ") and "is cut by a log container that " \
        "is not read" in notices[-1]
    # Read as the format says, the garbage behind the cut never reads as frames.
    if how == "compression":
        with pytest.raises(k.BLFError):
            read(log(**damage))


def test_a_range_does_not_reach_past_its_end_to_salvage():
    data = log(damaged=22)  # in container 4
    whole, _ = read(data, errors="skip")
    parts = [read(data, errors="skip", containers=r)[0] for r in ((0, 2), (2, 5), (5, 6))]
    assert [i for part in parts for i in part] == whole == [*range(22), *range(23, FRAMES)]


@pytest.mark.parametrize("bad, word", [(b"log.blf", "bytes"), (5, "int"), (None, "NoneType")])
@pytest.mark.parametrize("fn", [k.read, k.info, lambda f: next(k.iter_read(f))])
def test_neither_path_nor_stream(fn, bad, word):
    with pytest.raises(TypeError, match=f"path \\(str or os.PathLike\\) or a binary stream with "
                                        f"read\\(n\\), not {word}"):
        fn(bad)


def test_help_shows_signatures_without_private_switches():
    import inspect
    import pydoc

    import korvel

    for fn in (k.read, k.iter_read, k.info, k.write, k.to_homo, k.concat, korvel.decode):
        params = inspect.signature(fn).parameters
        assert not [p for p in params if p.startswith("_")]
        text = pydoc.render_doc(fn, renderer=pydoc.plaintext)
        assert "pybind11" not in text and "Raises" in text
    assert list(inspect.signature(k.read).parameters) == [
        "file", "threads", "verbose", "containers", "errors", "start", "stop", "exact_time",
        "all_errors"]
    assert np.array_equal(k.read(io.BytesIO(bb.blf(OBJECTS)), verbose=False)[0]["can_id"],
                          0x100 + np.arange(FRAMES))


def random_damaged_log(rng):
    """Frames of both kinds in containers of 64 to 763 bytes, one object_size damaged."""
    objs = [bb.can_fd(rng.integers(0, 0x800), bytes(int(rng.integers(0, 65))), timestamp=i)
            if rng.random() < 0.3 else
            bb.can_msg(rng.integers(0, 0x800), bytes(int(rng.integers(0, 9))), timestamp=i)
            for i in range(int(rng.integers(2, 40)))]
    stream = bytearray(b"".join(objs))
    at = sum(map(len, objs[: int(rng.integers(0, len(objs)))])) + 8
    struct.pack_into("<I", stream, at, struct.unpack_from("<I", stream, at)[0] | 0x10000000)
    bounds = [0]
    while bounds[-1] + 64 < len(stream):
        bounds.append(min(len(stream), bounds[-1] + 64 + int(rng.integers(0, 700))))
    bounds[-1] = len(stream)
    body = b"".join(bb.container(bytes(stream[a:b])) for a, b in zip(bounds, bounds[1:]))
    return bb.file_header(object_count=len(objs)) + body, len(bounds) - 1


@pytest.mark.parametrize("seed", range(4))
def test_ranges_salvage_as_the_whole_read(seed):
    # An object that swallows a range's own objects is followed past the range's end.
    rng = np.random.default_rng(seed)
    for _ in range(40):
        data, n = random_damaged_log(rng)
        whole = k.read(io.BytesIO(data), verbose=False, errors="skip", _notices=[])[0]
        joined, a = [], 0
        while a < n:
            b = min(n, a + 1 + int(rng.integers(0, 4)))
            joined.append(k.read(io.BytesIO(data), verbose=False, errors="skip",
                                 containers=(a, b), _notices=[]))
            a = b
        got = k.concat(joined)[0]
        assert got["timestamp"].tolist() == whole["timestamp"].tolist()
