"""Worker-thread paths give exactly what the single-threaded paths give."""

import contextlib
import io
import os
import subprocess
import sys
import threading
import zlib

import blfbuild as bb
import numpy as np
import pytest

import korvel.korvel as k


@pytest.fixture(params=["libdeflate", "zlib"])
def inflater(request):
    if request.param == "libdeflate" and k.INFLATER != "libdeflate":
        pytest.skip("built without libdeflate")
    return {"_libdeflate": request.param == "libdeflate"}


# Containers are scanned early only when a worker would otherwise idle, which
# depends on timing; "early" forces it for every container, so that stitching
# early scans into the output (and copying them while the arrays grow) is
# checked on every run.
@pytest.fixture(params=["auto", "early"])
def scan_mode(request):
    return {"_scan_ahead": request.param == "early"}


@pytest.fixture
def opts(inflater, scan_mode):
    return {**inflater, **scan_mode}


def many_container_log(n=20000, seed=3):
    rng = np.random.default_rng(seed)
    objs = []
    for i in range(n):
        if i % 7 == 0:
            objs.append(bb.can_fd(int(rng.integers(0, 1 << 29)), bytes(rng.integers(
                0, 256, int(rng.choice([8, 12, 64])), dtype=np.uint8)), extended=True,
                timestamp=i * 1000))
        else:
            objs.append(bb.can_msg(int(rng.integers(0, 0x800)), bytes([i % 256, i // 256 % 256]),
                                   timestamp=i * 1000, version=1 + i % 2))
    total = sum(map(len, objs))
    # Containers of uneven sizes that cut objects and headers anywhere.
    cuts = sorted({int(c) for c in rng.integers(1, total, 60)})
    return objs, bb.blf(objs, split=cuts)


def read_all(data, threads, **opts):
    out = io.StringIO()
    with contextlib.redirect_stdout(out):
        idx, chk = k.read(io.BytesIO(data), threads=threads, **opts)
    lines = [ln for ln in out.getvalue().splitlines() if not ln.startswith("load blf cost")]
    return idx, chk, lines


@pytest.mark.parametrize("threads", [2, 3, 8])
def test_threaded_read_equals_single_threaded(opts, threads):
    objs, data = many_container_log()
    a = read_all(data, 1, **opts)
    b = read_all(data, threads, **opts)
    assert len(a[0]) == len(objs)
    assert a[0].tobytes() == b[0].tobytes() and a[1].tobytes() == b[1].tobytes()
    assert a[2] == b[2]


def test_threaded_read_keeps_printed_lines_in_order(opts):
    odd = bb.OBJ_BASE.pack(b"LOBJ", 32, 9, 36, bb.CAN_MESSAGE) + bytes(20)
    data = bb.file_header(0)
    for i in range(30):
        data += bb.container(bb.can_msg(i) + (odd if i % 4 == 0 else b""),
                             method=7 if i % 5 == 0 else 2)
    a = read_all(data, 1, **opts)
    b = read_all(data, 4, **opts)
    assert a[2] == b[2] and len(a[2]) > 6
    assert a[0].tobytes() == b[0].tobytes()


@pytest.mark.parametrize("threads", [1, 4])
def test_corrupt_container_in_the_middle(opts, threads, capsys):
    data = bb.file_header(0)
    for i in range(40):
        blob = bb.container(bb.can_msg(i, bytes(8)) * 50)
        if i == 17:
            blob = bytearray(blob)
            blob[40:50] = b"\xff" * 10
            blob = bytes(blob)
        data += blob
    data += b"LOBJ" + bytes(12)  # a top-level fault after the corrupt container
    with pytest.raises(zlib.error) as e:
        k.read(io.BytesIO(data), threads=threads, **opts)
    ref = e.value.args
    with pytest.raises(zlib.error) as e:
        k.read(io.BytesIO(data), threads=1, _libdeflate=False)
    assert e.value.args == ref


@pytest.mark.parametrize("threads", [1, 4])
def test_first_of_two_corrupt_containers_wins(opts, threads, capsys):
    # Containers after the first corrupt one are never reached by one thread:
    # neither a later container's line nor its different error may show.
    odd = bb.OBJ_BASE.pack(b"LOBJ", 32, 9, 36, bb.CAN_MESSAGE) + bytes(20)
    frames = bb.can_msg(1, bytes(8)) * 50
    cut_stream = zlib.compress(frames)[:-9]
    data = bb.file_header(0)
    for i in range(40):
        if i == 17:
            blob = bytearray(bb.container(frames))
            blob[32] ^= 0xFF  # the stream's header byte
            data += bytes(blob)
        elif i == 25:
            data += bb.container(frames + odd)
        elif i == 30:
            data += bb.top_object(bb.LOG_CONTAINER, bb.CONTAINER.pack(2, len(frames)) + cut_stream)
        else:
            data += bb.container(frames)
    capsys.readouterr()
    with pytest.raises(zlib.error, match="incorrect header check"):
        k.read(io.BytesIO(data), threads=threads, **opts)
    assert "Unknown object header version" not in capsys.readouterr().out


def test_threaded_write_equals_single_threaded():
    _, data = many_container_log(60000)
    with contextlib.redirect_stdout(io.StringIO()):
        pair = k.read(io.BytesIO(data))
        files = []
        for threads in (1, 2, 5):
            f = io.BytesIO()
            k.write(f, pair, threads=threads)
            files.append(f.getvalue())
    assert files[0] == files[1] == files[2]
    assert files[0].count(b"LOBJ") > 10  # many containers


def test_several_threads_read_different_logs_at_once():
    logs = [many_container_log(3000, seed=s)[1] for s in range(6)]
    with contextlib.redirect_stdout(io.StringIO()):
        expected = [k.read(io.BytesIO(d), threads=1) for d in logs]
    results = [None] * len(logs)
    errors = []

    def work(i):
        try:
            results[i] = k.read(io.BytesIO(logs[i]))
        except Exception as e:  # noqa: BLE001 - reported below
            errors.append(e)

    with contextlib.redirect_stdout(io.StringIO()):
        ts = [threading.Thread(target=work, args=(i,)) for i in range(len(logs))]
        for t in ts:
            t.start()
        for t in ts:
            t.join()
    assert not errors
    for (ei, ec), (ri, rc) in zip(expected, results):
        assert ei.tobytes() == ri.tobytes() and ec.tobytes() == rc.tobytes()


@pytest.mark.parametrize("bad", [0, -1])
def test_thread_count_must_be_positive(bad):
    with pytest.raises(ValueError):
        k.read(io.BytesIO(bb.file_header()), threads=bad)


def test_decoders_run_in_parallel_threads():
    rng = np.random.default_rng(5)
    n = 200_000
    index = np.zeros(n, k.DT)
    index["can_id"] = rng.integers(0, 4, n)
    index["flags"] = rng.integers(0, 256, n)
    index["loc"] = np.arange(n, dtype=np.uint64) * 8 + (np.uint64(8) << np.uint64(48))
    chunk = rng.integers(0, 256, n * 8, dtype=np.uint8)
    decoders = [k.signal_decoder(c, 7, 16) for c in range(4)]
    expected = [d((index, chunk)) for d in decoders]
    got = [None] * 4

    def work(i):
        for _ in range(5):
            got[i] = (decoders[i]((index, chunk)), k.flag_test(index, 1 << i))

    ts = [threading.Thread(target=work, args=(i,)) for i in range(4)]
    for t in ts:
        t.start()
    for t in ts:
        t.join()
    for i in range(4):
        np.testing.assert_array_equal(got[i][0], expected[i])
        assert (got[i][1] == ((index["flags"] & (1 << i)) != 0)).all()


def test_threaded_read_is_not_misled_by_headers_inside_payloads(opts):
    # Workers guess where a container's first whole object starts; a frame
    # whose payload holds an object header, cut so that the header opens a
    # container, must not be taken for a real object.
    decoy = bb.can_msg(0x55, b"\x11\x22", timestamp=9)  # 48 bytes, valid on its own
    fd = bb.can_fd(0x77, decoy + bytes(16), timestamp=5)  # decoy inside the payload
    objs = [bb.can_msg(i, bytes([i]), timestamp=i) for i in range(30)]
    objs[10] = fd
    offsets = np.cumsum([0] + [len(o) for o in objs])
    payload_at = int(offsets[10]) + 32 + 20  # start of the FD frame's data field
    # Unaligned objects too: padding in front of a header that a cut lands on.
    padded = [o + b"\0\0" if i == 20 else o for i, o in enumerate(objs)]
    for stream_objs, cuts in ((objs, [payload_at, payload_at + 40]),
                              (padded, [int(offsets[21]) + 1, int(offsets[21]) + 60])):
        data = bb.blf(stream_objs, split=cuts)
        a = read_all(data, 1, **opts)
        b = read_all(data, 4, **opts)
        assert len(a[0]) == 30
        assert a[0]["can_id"].tolist()[10] == 0x77
        assert a[0].tobytes() == b[0].tobytes() and a[1].tobytes() == b[1].tobytes()
        assert a[2] == b[2]


@pytest.mark.parametrize("count", [0, 1, 5000, 0xFFFFFFFF])
def test_threaded_read_while_arrays_grow(opts, count):
    # Header counts below, at and far above the truth: the arrays grow (and
    # move) while workers are still copying frames into them.
    objs, _ = many_container_log(n=30000, seed=5)
    rng = np.random.default_rng(1)
    total = sum(map(len, objs))
    cuts = sorted({int(c) for c in rng.integers(1, total, 200)})
    data = bb.blf(objs, split=cuts, object_count=count)
    a = read_all(data, 1, **opts)
    b = read_all(data, 2, **opts)
    assert len(a[0]) == 30000
    assert a[0].tobytes() == b[0].tobytes() and a[1].tobytes() == b[1].tobytes()


def test_threaded_read_in_a_forked_child():
    # Worker pools are kept across calls; a forked child has none of the
    # parent's threads and must make its own instead of waiting forever.
    import os
    import signal
    import time

    _, data = many_container_log(n=3000)
    expected = read_all(data, 2)[0].tobytes()
    pid = os.fork()
    if pid == 0:  # pragma: no cover - the child reports by exit status
        try:
            ok = read_all(data, 2)[0].tobytes() == expected
            os._exit(0 if ok else 1)
        except BaseException:  # noqa: BLE001 - any failure is an exit status
            os._exit(2)
    deadline = time.monotonic() + 120
    while True:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            break
        if time.monotonic() > deadline:
            os.kill(pid, signal.SIGKILL)
            os.waitpid(pid, 0)
            raise AssertionError("threaded read in a forked child hung")
        time.sleep(0.05)
    assert os.WIFEXITED(status) and os.WEXITSTATUS(status) == 0, status


NO_THREADS_CHILD = r"""
import contextlib, io, resource, sys
sys.path.insert(0, sys.argv[1])
import blfbuild as bb
import korvel.korvel as k
objs = [bb.can_msg(i % 2048, bytes([i % 256]) * 8, timestamp=i) for i in range(3000)]
total = sum(map(len, objs))
data = bb.blf(objs, split=list(range(5000, total, 5000)))
with contextlib.redirect_stdout(io.StringIO()):
    ref = k.read(io.BytesIO(data), threads=1)
    k.read(io.BytesIO(data), threads=1)
# No room left for a thread's stack: the pool of this thread count cannot start.
vm = [int(ln.split()[1]) * 1024 for ln in open("/proc/self/status") if ln.startswith("VmSize")][0]
resource.setrlimit(resource.RLIMIT_AS, (vm + (4 << 20), resource.RLIM_INFINITY))
with contextlib.redirect_stdout(io.StringIO()):
    got = k.read(io.BytesIO(data), threads=3)
print(got[0].tobytes() == ref[0].tobytes() and got[1].tobytes() == ref[1].tobytes())
"""


@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="address limits do not mix with AddressSanitizer")
def test_threaded_read_when_worker_threads_cannot_start():
    # The calling thread does the work itself instead of waiting forever.
    here = os.path.dirname(os.path.abspath(__file__))
    proc = subprocess.run([sys.executable, "-c", NO_THREADS_CHILD, here], capture_output=True,
                          text=True, timeout=120, check=False)
    assert proc.returncode == 0, proc.stderr[-2000:]
    assert proc.stdout.strip() == "True"
