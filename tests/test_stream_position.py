"""Where a failed read leaves the stream: read on one thread, it stands at the end
of the top-level object that failed (a threaded read may have gone further)."""

import io
import zlib

import blfbuild as bb
import pytest

import korvel.korvel as k


def corrupt_zlib(c):
    c = bytearray(c)
    c[40:44] = b"\xff\xff\xff\xff"
    return bytes(c)


def without_lobj_signature(c):
    return b"XOBJ" + c[4:]


@pytest.mark.parametrize(
    "spoil, error",
    [(corrupt_zlib, zlib.error), (without_lobj_signature, k.BLFError)],
)
def test_single_threaded_failure_leaves_stream_at_failing_object(spoil, error):
    good = bb.container(bb.can_msg(0x10, b"\x01\x02") * 20)
    head = bb.file_header(object_count=1000)
    bad = spoil(good)
    data = head + good + bad + good * 40
    stream = io.BytesIO(data)
    with pytest.raises(error):
        k.read(stream, threads=1)
    # Past the good container, not beyond the failing one.
    assert len(head) + len(good) < stream.tell() <= len(head) + len(good) + len(bad)
    assert stream.tell() < len(data)
