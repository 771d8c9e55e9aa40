"""Ways into a log beyond one stream read: paths, pieces, container ranges,
header facts, quiet calls, and the padding that real writers leave."""

import io
import os
import zlib

import blfbuild as bb
import numpy as np
import pytest

import korvel.korvel as k


def frames_log(n=4000, seed=3, cuts=60):
    """Mixed frames in containers of uneven sizes that cut objects anywhere."""
    rng = np.random.default_rng(seed)
    objs = []
    for i in range(n):
        if i % 7 == 0:
            size = int(rng.choice([0, 8, 12, 64]))
            objs.append(bb.can_fd(int(rng.integers(0, 1 << 29)), bytes(
                rng.integers(0, 256, size, dtype=np.uint8)), extended=True, timestamp=i))
        elif i % 11 == 0:
            objs.append(bb.can_fd64(int(rng.integers(0, 0x800)), bytes(
                rng.integers(0, 256, int(rng.integers(0, 65)), dtype=np.uint8)), timestamp=i))
        else:
            objs.append(bb.can_msg(int(rng.integers(0, 0x800)), bytes([i % 256, i // 256 % 256]),
                                   timestamp=i, version=1 + i % 2))
    total = sum(map(len, objs))
    return bb.blf(objs, split=sorted({int(c) for c in rng.integers(1, total, cuts)}))


def same(a, b):
    return a[0].tobytes() == b[0].tobytes() and a[1].tobytes() == b[1].tobytes()


@pytest.fixture(scope="module")
def log_file(tmp_path_factory):
    data = frames_log()
    path = tmp_path_factory.mktemp("logs") / "drive.blf"
    path.write_bytes(data)
    return path, data, k.read(io.BytesIO(data), verbose=False)


@pytest.mark.parametrize("as_path", [str, os.fspath, lambda p: p])
@pytest.mark.parametrize("threads", [1, 3])
def test_path_reads_like_the_stream(log_file, as_path, threads, capsys):
    path, data, ref = log_file
    k.read(io.BytesIO(data), threads=threads)
    stream_line = capsys.readouterr().out
    got = k.read(as_path(path), threads=threads)
    assert same(got, ref)
    line = capsys.readouterr().out
    assert line.split("ms,")[1] == stream_line.split("ms,")[1]


@pytest.mark.parametrize("target, error", [("missing.blf", FileNotFoundError),
                                           ("", IsADirectoryError)])
def test_paths_that_cannot_be_read(tmp_path, target, error):
    for fn in (k.read, k.info, lambda p: next(k.iter_read(p))):
        with pytest.raises(error):
            fn(tmp_path / target)


def test_write_to_a_path(log_file, tmp_path):
    _, _, ref = log_file
    k.write(tmp_path / "out.blf", ref, verbose=False)
    stream = io.BytesIO()
    k.write(stream, ref, verbose=False)
    assert (tmp_path / "out.blf").read_bytes() == stream.getvalue()
    bad = tmp_path / "no" / "out.blf"
    with pytest.raises(FileNotFoundError):
        k.write(bad, ref, verbose=False)
    # A failure after opening leaves no half-written log behind.
    wide = (ref[0][:1].copy(), np.zeros(100, np.uint8))
    wide[0]["len"] = 100
    with pytest.raises(k.BLFError):
        k.write(tmp_path / "wide.blf", wide, verbose=False)
    assert not (tmp_path / "wide.blf").exists()


def test_verbose_false_prints_nothing(log_file, capsys):
    path, data, ref = log_file
    truncated = io.BytesIO(data[: len(data) // 2])
    with pytest.warns(k.BLFWarning, match="^log truncated at byte offset"):
        k.read(truncated, verbose=False)
    list(k.iter_read(path, 1000, verbose=False))
    k.info(path, verbose=False)
    homo = k.to_homo(ref, verbose=False)
    k.to_index_chunk(homo, verbose=False)
    k.write(io.BytesIO(), ref, verbose=False)
    assert capsys.readouterr().out == ""


@pytest.mark.parametrize("frames", [1, 7, 999, 4000, 10**9])
@pytest.mark.parametrize("threads", [1, 3])
def test_iter_read_pieces_join_to_the_whole_read(log_file, frames, threads):
    path, _, ref = log_file
    pieces = list(k.iter_read(path, frames, threads=threads, verbose=False, _scan_ahead=True))
    assert all(len(p[0]) == frames for p in pieces[:-1]) and 0 < len(pieces[-1][0]) <= frames
    assert same(k.concat(pieces), ref)


def test_iter_read_of_cut_and_damaged_logs(log_file, capsys):
    _, data, _ = log_file
    cut = data[: len(data) * 2 // 3]
    ref = k.read(io.BytesIO(cut))
    ref_lines = capsys.readouterr().out.splitlines()
    it = k.iter_read(io.BytesIO(cut), 500)
    first = next(it)
    assert capsys.readouterr().out == ""  # the line comes after the frames before the cut
    pieces = [first, *it]
    lines = capsys.readouterr().out.splitlines()
    assert same(k.concat(pieces), ref)
    assert lines[0] == ref_lines[0] and lines[0].startswith("load blf: log truncated at")

    damaged = bytearray(data)
    damaged[len(data) // 2] ^= 0xFF  # inside a container's deflate stream
    with pytest.raises((zlib.error, k.BLFError)) as expected:
        k.read(io.BytesIO(bytes(damaged)), verbose=False)
    got = []
    with pytest.raises(type(expected.value)) as raised:
        got.extend(k.iter_read(io.BytesIO(bytes(damaged)), 300, verbose=False))
    assert str(raised.value) == str(expected.value)
    assert sum(len(p[0]) for p in got) > 300


def test_info_lists_every_container(log_file):
    path, data, _ = log_file
    info = k.info(path, verbose=False)
    table = info["containers"]
    assert info["object_count"] == 4000 and len(table) == 61
    assert info["application"]["id"] == 5
    for row in table:
        off = int(row["offset"])
        base = bb.OBJ_BASE.unpack_from(data, off)
        assert base[0] == b"LOBJ" and base[3] == row["size"] and base[4] == bb.LOG_CONTAINER
        method, usize = bb.CONTAINER.unpack_from(data, off + 16)
        assert (method, usize) == (row["method"], row["uncompressed_size"])
    assert info == k.info(io.BytesIO(data), verbose=False) | {"containers": table}


def test_container_ranges_partition_the_log(log_file):
    path, _, ref = log_file
    n = len(k.info(path)["containers"])
    rng = np.random.default_rng(4)
    for trial in range(12):
        cuts = sorted({0, n, *rng.integers(0, n + 1, trial % 6 + 1).tolist()})
        parts = [k.read(path, containers=(a, b), threads=1 + trial % 3, verbose=False)
                 for a, b in zip(cuts, cuts[1:])]
        assert same(k.concat(parts), ref), cuts


@pytest.mark.parametrize("bad, error", [((3, 2), ValueError), ((0, 10**6), ValueError),
                                        ((-1, 2), ValueError), ((1,), TypeError),
                                        ((0.5, 2), TypeError), (5, TypeError)])
def test_container_range_arguments(log_file, bad, error):
    with pytest.raises(error):
        k.read(log_file[0], containers=bad, verbose=False)


@pytest.mark.parametrize("frames, error", [(0, ValueError), (-5, ValueError), (1.5, TypeError)])
def test_iter_read_piece_size(log_file, frames, error):
    with pytest.raises(error):
        k.iter_read(log_file[0], frames)


def objects_padded(pads):
    objs = [bb.can_fd64(0x100 + i, bytes(range(i % 9)), timestamp=i) for i in range(len(pads) + 1)]
    return b"".join(o + p for o, p in zip(objs, [*pads, b""]))


@pytest.mark.parametrize("pads, tail, frames", [
    ([bytes(n) for n in range(8)], b"", 9),  # zeros before the next object
    ([b"\x01\x02\x03"], b"", 2),  # up to 3 bytes of anything
    ([], bytes(26), 1),  # zeros after the last object of the log
    ([], bytes(5) + b"LO", 1),  # a signature cut by the end of the log
    ([b"\x00\x00\x00\x01"], b"", "Next log object not found."),
    ([bytes(8)], b"", "Next log object not found."),
    ([], bytes(20) + b"\x01" + bytes(9), "Next log object not found."),
])
@pytest.mark.parametrize("split", [False, True])
def test_padding_between_and_after_objects(pads, tail, frames, split):
    stream = objects_padded(pads) + tail
    # A second container that begins inside the last object.
    log = bb.blf([stream], split=[len(stream) - len(tail) - 50] if split else None)
    if isinstance(frames, str):
        with pytest.raises(k.BLFError, match=frames):
            k.read(io.BytesIO(log), verbose=False)
    else:
        assert len(k.read(io.BytesIO(log), verbose=False)[0]) == frames


def test_zero_alignment_between_top_level_objects():
    stream = objects_padded([bytes(3)] * 30)
    pieces = [stream[i:i + 100] for i in range(0, len(stream), 100)]
    log = bb.file_header(0)
    for piece in pieces:  # every container at a file offset that is a multiple of 8
        log += bytes(-len(log) % 8) + bb.container(piece)[:16 + 16 + len(zlib.compress(piece))]
    assert len(k.read(io.BytesIO(log), verbose=False)[0]) == 31
    assert len(k.info(io.BytesIO(log))["containers"]) == len(pieces)


ENTRY_POINTS = {
    "read": lambda f: k.read(f, verbose=False),
    "iter_read": lambda f: list(k.iter_read(f, verbose=False)),
    "info": lambda f: k.info(f, verbose=False),
}


@pytest.mark.parametrize("entry", ENTRY_POINTS)
def test_header_cut_inside_its_declared_size(entry):
    with pytest.raises(k.BLFError, match="100 bytes present at byte offset 0, 144 needed"):
        ENTRY_POINTS[entry](io.BytesIO(bb.file_header(0)[:100]))


@pytest.mark.parametrize("entry", [*ENTRY_POINTS, "write"])
def test_text_mode_streams_are_refused(log_file, tmp_path, entry):
    path, _, ref = log_file
    with pytest.raises(TypeError, match=r"binary mode \('[rw]b'\) or given as a path"):
        if entry == "write":
            with open(tmp_path / "t.blf", "w") as f:
                k.write(f, ref, verbose=False)
        else:
            with open(path) as f:
                ENTRY_POINTS[entry](f)

    class TextReader:  # a stream of its own make whose read() gives str
        def read(self, n):
            return "LOGG"

    if entry != "write":
        with pytest.raises(TypeError, match="binary mode"):
            ENTRY_POINTS[entry](TextReader())


def test_path_reads_in_parallel_threads(log_file, capsys):
    import threading

    path, _, ref = log_file
    results = []
    threads = [threading.Thread(target=lambda: results.append(k.read(path, verbose=False)))
               for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert len(results) == 4 and all(same(r, ref) for r in results)
    assert capsys.readouterr().out == ""


def damaged_log(victims, top_level=()):
    """A log whose objects cross container boundaries, with the deflate
    streams of some containers (and the top-level headers of others)
    damaged; also what a reader that skips the damage must give back."""
    objs = [bb.can_msg(i % 2000, bytes([i % 256]) * (i % 9), timestamp=i) for i in range(3000)]
    starts = np.cumsum([0] + [len(o) for o in objs])
    cuts = [int(c) for c in np.linspace(0, starts[-1], 41)[1:-1]] + [int(starts[-1]) - 5]
    data = bytearray(bb.blf(objs, split=cuts))
    table = k.info(io.BytesIO(bytes(data)))["containers"]
    bounds = [0, *cuts, int(starts[-1])]
    keep = np.ones(len(objs), bool)
    for v in victims:
        data[int(table[v]["offset"]) + 40] ^= 0xFF
        lo, hi = bounds[v], bounds[v + 1]
        keep &= ~(((starts[:-1] >= lo) & (starts[:-1] < hi)) |
                  ((starts[:-1] < lo) & (starts[1:] > lo)))
    for v in top_level:
        data[int(table[v]["offset"])] = 0
        lo, hi = bounds[v], bounds[v + 1]
        keep &= ~(((starts[:-1] >= lo) & (starts[:-1] < hi)) |
                  ((starts[:-1] < lo) & (starts[1:] > lo)))
    return bytes(data), keep


@pytest.mark.parametrize("victims, top_level", [([0], []), ([7, 8, 30], []), ([40], []),
                                                ([], [12]), ([3], [20, 25])])
@pytest.mark.parametrize("threads", [1, 3])
def test_skip_reads_past_damage(victims, top_level, threads):
    data, keep = damaged_log(victims, top_level)
    whole = k.read(io.BytesIO(bb.blf(
        [bb.can_msg(i % 2000, bytes([i % 256]) * (i % 9), timestamp=i) for i in range(3000)])),
        verbose=False)
    with pytest.raises((zlib.error, k.BLFError)):
        k.read(io.BytesIO(data), verbose=False)
    with pytest.warns(k.BLFWarning) as caught:
        got = k.read(io.BytesIO(data), errors="skip", threads=threads, verbose=False,
                     _scan_ahead=True)
    assert len(caught) == len(victims) + len(top_level)
    texts = " ".join(str(w.message) for w in caught)
    for v in victims:
        assert f"(container {v}): Error -3 while decompressing data" in texts
    for i, v in enumerate(top_level):  # damaged headers are not counted as containers
        assert f"(before container {v - i}): no log object header" in texts
    assert got[0]["timestamp"].tolist() == whole[0]["timestamp"][keep].tolist()
    with pytest.warns(k.BLFWarning):
        pieces = list(k.iter_read(io.BytesIO(data), 250, errors="skip", verbose=False))
    assert same(k.concat(pieces), got)


def test_skipped_regions_are_printed_and_can_be_errors(capsys):
    import warnings

    data, _ = damaged_log([5])
    with pytest.warns(k.BLFWarning):
        k.read(io.BytesIO(data), errors="skip")
    lines = capsys.readouterr().out.splitlines()
    assert lines[0].startswith("load blf: skipped the log container at byte offset ")
    assert lines[1].startswith("load blf cost ")
    with warnings.catch_warnings():
        warnings.simplefilter("error", k.BLFWarning)
        with pytest.raises(k.BLFWarning, match=r"container 5\)"):
            k.read(io.BytesIO(data), errors="skip", verbose=False)


@pytest.mark.parametrize("entry", [k.read, k.iter_read])
def test_errors_takes_two_values(entry):
    with pytest.raises(ValueError, match="'raise' or 'skip'"):
        entry(io.BytesIO(bb.blf([])), errors="ignore")
