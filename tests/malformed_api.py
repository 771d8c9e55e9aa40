"""Feeds wrong and extreme arguments to every public function of korvel.korvel
(damaged logs are malformed_read.py's) and korvel.dravum; run as a script in a
child process.

Every case must end in a result or in an allowed exception: BLFError,
zlib.error, TypeError, ValueError, and OverflowError (an integer argument
outside the range of its C conversion). The query module adds AssertionError,
since its argument checks are assertions, and AttributeError where it reads a
named attribute of a record-like object the caller hands in (the suite pins
that for _lolist). Exceptions raised by the caller's own callbacks, file
objects and expressions pass through and are allowed case by case. Where the
right answer is plain, the result is checked too, and some cases must raise.

Each case's name goes to stderr before it runs, so the last one names the
culprit of a crash; the address space is capped so that an absurd allocation
fails as a MemoryError instead of swapping.
"""

import io
import math
import os
import random
import resource
import sys
import tempfile
import warnings
import zlib

import numpy as np
import portion as P

import korvel.korvel as k
from korvel import dravum as dv

T0 = 1_700_000_000_000_000_000
MASK48 = (1 << 48) - 1
IDS = (0x10, 0x20, 0x7FF)
SCALE, OFFSET = 0.5, -3.0


class Boom(Exception):
    """What the callbacks and file objects of the cases raise."""


BASE = (k.BLFError, zlib.error, TypeError, ValueError, OverflowError)
QUERY = BASE + (AssertionError,)
WRONG = (TypeError, ValueError)  # what a rejected argument must raise

CASES = []


def case(name, fn, allowed=BASE, want=None, must_raise=None):
    """`want(result)` is true for a right result; `must_raise` is the kind a result
    would hide (a payload past the end read anyway, say)."""
    CASES.append((name, fn, allowed, want, must_raise))


def same(a, b):
    """Equal shapes and elements, NaN equal to NaN."""
    a, b = np.asarray(a), np.asarray(b)
    if a.shape != b.shape:
        return False
    if a.dtype.kind == "f" or b.dtype.kind == "f":
        return bool(np.all((a == b) | (np.isnan(a) & np.isnan(b))))
    return bool(np.all(a == b))


def same_pair(a, b):
    return a[0].tobytes() == b[0].tobytes() and a[1].tobytes() == b[1].tobytes()


def readonly(a):
    a = a.copy()
    a.flags.writeable = False
    return a


def retyped(h, dtype):
    """Records of `h` in another inline layout, copied field by field (NumPy's own
    cast into a zero-width data field crashes, which is none of ours)."""
    out = np.zeros(h.shape, dtype)
    for name in ("timestamp", "can_id", "is64", "channel", "len", "flags"):
        out[name] = h[name]
    width = min(out["data"].shape[-1], h["data"].shape[-1]) if out.ndim else 0
    out["data"][..., :width] = h["data"][..., :width]
    return out


def embedded(a):
    """A field view of `a`'s records inside wider, unaligned outer records."""
    outer = np.zeros(len(a), [("pad", "u1"), ("rec", a.dtype), ("tail", "u2")])
    outer["rec"] = a
    return outer["rec"]


# --- data ---------------------------------------------------------------------------


def make_pair(n=12, seed=0, gap=1, max_size=8):
    """A frames pair: identifiers cycle through IDS, payloads of 0..max_size bytes
    with `gap` unused bytes before each."""
    rng = np.random.default_rng(seed)
    idx = np.zeros(n, k.DT)
    chunk = bytearray()
    for i in range(n):
        size = int(rng.integers(0, max_size + 1))
        chunk += bytes(gap)
        idx[i] = (T0 + 1000 * i, IDS[i % 3], 0, 1, size, 0x04, len(chunk) | size << 48)
        chunk += rng.bytes(size)
    return idx, np.frombuffer(bytes(chunk), np.uint8).copy()


def ref_values(index, chunk, can_id):
    """The little-endian unsigned 16-bit signal at bit 0, decoded by hand."""
    out = np.full(len(index), np.nan)
    for i, r in enumerate(index):
        loc = int(r["loc"])
        off, n = loc & MASK48, loc >> 48
        if int(r["can_id"]) == can_id and n >= 2:
            out[i] = (int(chunk[off]) | int(chunk[off + 1]) << 8) * SCALE + OFFSET
    return out


def ref_flags(index, mask):
    return (index["flags"] & (mask & 0xFF)) != 0


LE16 = np.array([0, 255, 48, 1, 255, 56], np.int32)  # its triples; rshift 48


def decode16(pair):
    return k.sig_values(pair[0], pair[1], LE16, IDS[0], 0, 48, SCALE, OFFSET, 0)


PAIR = make_pair()
IDX, CHUNK = PAIR


VIEW_IDX, VIEW_CHUNK = make_pair(30, seed=3)


def valid_index_views():
    """Frame arrays the functions must walk correctly, all over VIEW_CHUNK:
    name -> array."""
    idx = VIEW_IDX
    masked = np.ma.masked_array(idx)
    return {
        "contiguous": idx, "reversed": idx[::-1], "step 2": idx[::2], "step -3": idx[::-3],
        "read-only": readonly(idx), "field view": embedded(idx), "empty": idx[:0],
        "one": idx[4:5], "masked array": masked,
        "stride 0": np.broadcast_to(idx[7:8], (5,)),
    }


def bad_index_objects():
    """Objects that are not a one-dimensional DT array: name -> object."""
    idx = IDX
    renamed = np.dtype([(n.upper(), idx.dtype[n]) for n in idx.dtype.names])
    wrong_fields = np.dtype([("a", "<f8"), ("b", "<f8"), ("c", "<u8")])
    extra = np.dtype(k.DT.descr + [("more", "u1")])
    return {
        "None": None, "int": 7, "str": "index", "bytes": idx.tobytes(), "list": idx.tolist(),
        "memoryview": memoryview(idx.tobytes()), "0-d": np.zeros((), k.DT),
        "2-d": np.zeros((3, 4), k.DT), "float64": np.zeros(len(idx)),
        "int64": np.zeros(len(idx), np.int64), "uint64 view": idx.view(np.uint64),
        "object": np.array(list(idx), dtype=object), "DT64": np.zeros(len(idx), k.DT64),
        "V24": idx.view("V24"), "same size, other fields": idx.view(wrong_fields),
        "renamed fields": idx.view(renamed), "big-endian": idx.astype(k.DT.newbyteorder(">")),
        "extra field": np.zeros(len(idx), extra), "record": idx[0],
    }


def bad_chunk_objects():
    return {
        "None": None, "list": CHUNK.tolist(), "bytes": CHUNK.tobytes(),
        "bytearray": bytearray(CHUNK.tobytes()), "int8": CHUNK.astype(np.int8),
        "uint16": CHUNK.astype(np.uint16), "float64": CHUNK.astype(float),
        "object": CHUNK.astype(object), "2-d": CHUNK[: len(CHUNK) // 2 * 2].reshape(2, -1),
        "0-d": np.array(1, np.uint8), "str": "chunk",
    }


def valid_chunk_views():
    """Equal payload bytes laid out differently: name -> array."""
    doubled = np.repeat(CHUNK, 2)
    back = CHUNK[::-1].copy()
    return {"step 2": doubled[::2], "reversed": back[::-1], "read-only": readonly(CHUNK),
            "odd offset": np.concatenate([[7], CHUNK])[1:]}


def bad_locs(chunk_size):
    """(name, loc, len) of payloads that reach past a chunk of chunk_size bytes."""
    return [
        ("offset at end, 1 byte", chunk_size | 1 << 48, 1),
        ("offset past end", (chunk_size + 1) | 1 << 48, 1),
        ("count past end", (chunk_size - 1) | 2 << 48, 2),
        ("count 0xFFFF", (chunk_size - 10) | 0xFFFF << 48, 8),
        ("offset 2**48-1", MASK48 | 1 << 48, 1),
        ("offset+count wrap", MASK48 | 0xFFFF << 48, 8),
        ("all ones", 2**64 - 1, 255),
        ("offset 2**47", 1 << 47 | 8 << 48, 8),
    ]


def good_locs(chunk_size):
    """(name, loc, len) of payloads inside the chunk (or empty)."""
    return [
        ("empty at end", chunk_size, 0),
        ("empty far away", MASK48, 0),
        ("last byte", (chunk_size - 1) | 1 << 48, 1),
        ("count 0 len 64", 0, 64),
        ("len 255, 2 stored", 0 | 2 << 48, 255),
        ("len 0, 8 stored", 0 | 8 << 48, 0),
    ]


def with_record(pair, i, loc, length, can_id=None):
    idx = pair[0].copy()
    idx[i]["loc"] = loc
    idx[i]["len"] = length
    if can_id is not None:
        idx[i]["can_id"] = can_id
    return idx, pair[1]


# --- korvel.korvel: decoding and flags -----------------------------------------------


def sig_values_cases():
    good = [IDX, CHUNK, LE16, IDS[0], 0, 48, SCALE, OFFSET, 0]
    want = ref_values(IDX, CHUNK, IDS[0])
    case("sig_values good", lambda: k.sig_values(*good), want=lambda r: same(r, want))

    for name, view in valid_index_views().items():
        ref = ref_values(np.asarray(view), VIEW_CHUNK, IDS[0])
        case(f"sig_values index {name}",
             lambda v=view: k.sig_values(v, VIEW_CHUNK, *good[2:]),
             want=lambda r, ref=ref: same(r, ref))
    for name, view in valid_chunk_views().items():
        case(f"sig_values chunk {name}", lambda v=view: k.sig_values(IDX, v, *good[2:]),
             want=lambda r: same(r, want))
    for pos, objs in ((0, bad_index_objects()), (1, bad_chunk_objects())):
        for name, obj in objs.items():
            args = list(good)
            args[pos] = obj
            case(f"sig_values arg{pos} {name}", lambda a=args: k.sig_values(*a),
                 must_raise=WRONG)

    ims_variants = {
        "list": ([0, 255, 48], WRONG), "int64": (LE16.astype(np.int64), WRONG),
        "float": (LE16.astype(float), WRONG), "2-d": (LE16.reshape(2, 3), WRONG),
        "0-d": (np.array(0, np.int32), WRONG), "length 4": (LE16[:4], WRONG),
        "byte -1": (np.array([-1, 255, 0], np.int32), WRONG),
        "byte -2**31": (np.array([-(2**31), 255, 0], np.int32), WRONG),
        "mask -1": (np.array([0, -1, 0], np.int32), WRONG),
        "mask 256": (np.array([0, 256, 0], np.int32), WRONG),
        "shift 64": (np.array([0, 255, 64], np.int32), WRONG),
        "shift -64": (np.array([0, 255, -64], np.int32), WRONG),
        "shift 2**31-1": (np.array([0, 255, 2**31 - 1], np.int32), WRONG),
        "uint32": (LE16.astype(np.uint32), WRONG), "None": (None, WRONG),
    }
    for name, (ims, must) in ims_variants.items():
        case(f"sig_values ims {name}",
             lambda ims=ims: k.sig_values(IDX, CHUNK, ims, *good[3:]), must_raise=must)
    # A byte index no stored payload reaches: every frame lacks the signal.
    case("sig_values ims byte 2**31-1",
         lambda: k.sig_values(IDX, CHUNK, np.array([2**31 - 1, 255, 0], np.int32), *good[3:]),
         want=lambda r: np.isnan(r).all())
    case("sig_values ims empty",
         lambda: k.sig_values(IDX, CHUNK, np.zeros(0, np.int32), *good[3:]),
         want=lambda r: same(r, np.where(IDX["can_id"] == IDS[0], OFFSET, np.nan)))
    reversed_ims = LE16[::-1].copy()[::-1]
    stepped_ims = np.repeat(LE16, 2)[::2]
    for name, ims in (("reversed", reversed_ims), ("step 2", stepped_ims),
                      ("read-only", readonly(LE16)), ("field view", embedded(LE16))):
        case(f"sig_values ims {name}", lambda ims=ims: k.sig_values(IDX, CHUNK, ims, *good[3:]),
             want=lambda r: same(r, want))
    for shift in (-63, 63):
        for valtype in (0, 1, 2, 3, -1, 99):
            case(f"sig_values extreme shifts {shift} valtype {valtype}",
                 lambda s=shift, v=valtype: k.sig_values(
                     IDX, CHUNK, np.array([0, 255, s, 1, 128, s], np.int32), IDS[0], v, 0,
                     1.0, 0.0, 0))

    # Scalar arguments at and past the ends of their range, and of wrong types:
    # position -> (value, what it must raise or None).
    scalars = {
        3: [(-1, None), (0, None), (2**31 - 1, None), (-(2**31), None), (2**31, OverflowError),
            (2**32, OverflowError), (2**64, OverflowError), (-(2**63), OverflowError),
            (5.0, TypeError), ("5", TypeError), (None, TypeError), (True, None),
            (np.int64(16), None), (np.uint64(2**63), OverflowError)],
        4: [(-1, None), (0, None), (1, None), (2, None), (3, None), (4, None), (99, None),
            (2**31 - 1, None), (-(2**31), None), (2**31, OverflowError), (1.0, TypeError),
            (None, TypeError)],
        5: [(-64, ValueError), (-63, None), (-1, None), (0, None), (63, None), (64, ValueError),
            (2**31 - 1, ValueError), (-(2**31), ValueError), (2**40, OverflowError),
            (0.5, TypeError), ("0", TypeError), (None, TypeError)],
        6: [(math.nan, None), (math.inf, None), (-math.inf, None), (1e308, None), (-0.0, None),
            (5e-324, None), (10**400, OverflowError), ("1", TypeError), (None, TypeError),
            (1j, TypeError), (np.float32(2.0), None), (True, None)],
        7: [(math.nan, None), (math.inf, None), (-math.inf, None), (1e308, None),
            (10**400, OverflowError), ("1", TypeError), (None, TypeError), (1j, TypeError),
            (np.float16(1.5), None)],
        8: [(-1, None), (0, None), (1, None), (2, None), (2**31, OverflowError),
            (-(2**31) - 1, OverflowError), (1.0, TypeError), (None, TypeError),
            ("1", TypeError), (np.int8(1), None)],
    }
    for pos, values in scalars.items():
        for value, must in values:
            args = list(good)
            args[pos] = value
            case(f"sig_values arg{pos} {value!r}", lambda a=args: k.sig_values(*a),
                 must_raise=must)
    # rshift at the ends of its range for the two integer kinds; the unsigned one
    # has no left shift.
    for unsigned in (False, True):
        for rshift in (-63, -1, 0, 1, 63):
            must = ValueError if unsigned and rshift < 0 else None
            case(f"sig_values unsigned {unsigned} rshift {rshift}",
                 lambda u=unsigned, s=rshift: k.sig_values(IDX, CHUNK, LE16, IDS[0], 0, s, 1.0,
                                                           0.0, 1, unsigned=u), must_raise=must)

    # Payload locators: a matching frame past the end is an error, another frame's
    # locator is never read.
    for name, loc, length in bad_locs(len(CHUNK)):
        bad = with_record(PAIR, 3, loc, length, can_id=IDS[0])
        case(f"sig_values loc {name}", lambda b=bad: decode16(b), must_raise=ValueError)
        other = with_record(PAIR, 3, loc, length, can_id=0x555)
        ref = ref_values(other[0], other[1], IDS[0])
        case(f"sig_values other frame's loc {name}", lambda o=other: decode16(o),
             want=lambda r, ref=ref: same(r, ref))
        for pad in (0, 1):
            case(f"sig_values loc {name} pad {pad}",
                 lambda b=bad, p=pad: k.sig_values(b[0][::-1], b[1], LE16, IDS[0], 0, 48, 1.0,
                                                   0.0, p), must_raise=ValueError)
    for name, loc, length in good_locs(len(CHUNK)):
        ok = with_record(PAIR, 3, loc, length, can_id=IDS[0])
        ref = ref_values(ok[0], ok[1], IDS[0])
        case(f"sig_values good loc {name}", lambda o=ok: decode16(o),
             want=lambda r, ref=ref: same(r, ref))
    empty_chunk = (IDX.copy(), np.zeros(0, np.uint8))
    empty_chunk[0]["loc"] = 0
    case("sig_values empty chunk, counts 0", lambda: decode16(empty_chunk),
         want=lambda r: np.isnan(r).all())

    # Argument binding.
    case("sig_values no args", lambda: k.sig_values(), must_raise=TypeError)
    case("sig_values 10 args", lambda: k.sig_values(*good, 0), must_raise=TypeError)
    case("sig_values unknown kw", lambda: k.sig_values(*good[:8], pad=0, x=1),
         must_raise=TypeError)
    case("sig_values twice", lambda: k.sig_values(*good, index=IDX), must_raise=TypeError)
    case("sig_values all keywords",
         lambda: k.sig_values(**dict(zip(["index", "chunk", "ims", "can_id", "valtype",
                                          "rshift", "scale", "offset", "pad"], good))),
         want=lambda r: same(r, want))
    case("sig_values keyword with a NUL", lambda: k.sig_values(*good[:8], **{"pad\0": 0}),
         must_raise=TypeError)


def decoder_cases():
    # (args, must) for building.
    builds = [
        ((IDS[0], 0, 16, False, False, False, SCALE, OFFSET), None),
        ((IDS[0], 0, 0), ValueError), ((IDS[0], 0, 65), ValueError),
        ((IDS[0], -1, 8), ValueError), ((IDS[0], 0, -(2**31)), ValueError),
        ((IDS[0], 2**31 - 1, 64), None), ((IDS[0], 2**31 - 8, 64, False), None),
        ((IDS[0], 2**31, 8), OverflowError), ((2**31, 0, 8), OverflowError),
        ((-1, 0, 8), None), ((-(2**31), 0, 8), None),
        ((IDS[0], 0, 8, np.zeros(2)), ValueError), ((IDS[0], 0, 8, None, None, None), None),
        ((IDS[0], 0, 8, True, False, False, math.nan, math.inf), None),
        ((IDS[0], 0, 8, True, False, False, -math.inf, -0.0), None),
        ((IDS[0], 0, 8, True, False, False, 5e-324, 1e308), None),
        ((IDS[0], 0, 8, True, False, False, 10**400), OverflowError),
        ((IDS[0], 0, 8, True, False, False, "1"), TypeError),
        ((IDS[0], 0, 8, True, False, False, 1.0, None), TypeError),
        ((IDS[0], 0.0, 8), TypeError), (("1", 0, 8), TypeError), ((None, 0, 8), TypeError),
        ((IDS[0], 0, 32, False, True, True), None), ((IDS[0], 0, 7, False, True, True), None),
        ((IDS[0], 63, 64, True, True, True), None), ((IDS[0], 7, 64, True, False), None),
        ((IDS[0],), TypeError), ((IDS[0], 0, 8, 1, 2, 3, 4, 5, 6), TypeError),
    ]
    for args, must in builds:
        case(f"signal_decoder{args!r}", lambda a=args: k.signal_decoder(*a), must_raise=must)

    class BadBool:
        def __bool__(self):
            raise Boom("truth")

    for pos in (3, 4, 5):
        args = [IDS[0], 0, 8, True, False, False]
        args[pos] = BadBool()
        case(f"signal_decoder flag {pos} raises", lambda a=args: k.signal_decoder(*a),
             allowed=BASE + (Boom,), must_raise=Boom)
    case("signal_decoder unknown kw", lambda: k.signal_decoder(1, 0, 8, endian=1),
         must_raise=TypeError)
    case("signal_decoder twice", lambda: k.signal_decoder(1, 0, 8, start=0),
         must_raise=TypeError)

    le16 = k.signal_decoder(IDS[0], 0, 16, False, False, False, SCALE, OFFSET)
    want = ref_values(IDX, CHUNK, IDS[0])
    case("decoder good", lambda: le16(PAIR), want=lambda r: same(r, want))
    case("decoder list pair", lambda: le16([IDX, CHUNK]), want=lambda r: same(r, want))
    # A frames pair is anything indexable by 0 and 1.
    case("decoder 3-tuple", lambda: le16((IDX, CHUNK, CHUNK)), want=lambda r: same(r, want))
    case("decoder dict", lambda: le16({0: IDX, 1: CHUNK}), want=lambda r: same(r, want))
    case("decoder generator pair", lambda: le16(x for x in PAIR), must_raise=TypeError)
    for name, view in valid_index_views().items():
        ref = ref_values(np.asarray(view), VIEW_CHUNK, IDS[0])
        case(f"decoder index {name}", lambda v=view: le16((v, VIEW_CHUNK)),
             want=lambda r, ref=ref: same(r, ref))
    frames_bad = {
        "None": None, "index only": IDX, "str": "ab", "int": 3, "swapped": (CHUNK, IDX),
    }
    for name, frames in frames_bad.items():
        case(f"decoder frames {name}", lambda f=frames: le16(f), must_raise=WRONG)
    # Too few items: the error of the indexing itself.
    for name, frames in {"empty tuple": (), "1-tuple": (IDX,), "dict without 1": {0: IDX}}.items():
        case(f"decoder frames {name}", lambda f=frames: le16(f),
             allowed=BASE + (IndexError, KeyError), must_raise=(IndexError, KeyError))
    for name, obj in bad_index_objects().items():
        case(f"decoder index {name}", lambda o=obj: le16((o, CHUNK)), must_raise=WRONG)
    for name, obj in bad_chunk_objects().items():
        case(f"decoder chunk {name}", lambda o=obj: le16((IDX, o)), must_raise=WRONG)
    for pad in (0, 1, -1, True, 2**31, None, "1", 1.5):
        case(f"decoder pad {pad!r}", lambda p=pad: le16(PAIR, p))
    case("decoder pad keyword", lambda: le16(PAIR, pad=1))
    case("decoder no args", lambda: le16(), must_raise=TypeError)
    case("decoder 3 args", lambda: le16(PAIR, 0, 0), must_raise=TypeError)

    # A start far past any stored payload: nothing decodes.
    far = k.signal_decoder(IDS[0], 2**31 - 1, 64)
    case("decoder start 2**31-1", lambda: far(PAIR), want=lambda r: np.isnan(r).all())
    # Every layout kind over payloads of any size, walked backwards.
    for flags in ((True, True, False), (False, False, False), (True, False, True)):
        for length in (1, 7, 8, 9, 31, 32, 33, 63, 64):
            wide = make_pair(40, seed=length, max_size=64)
            for start in (0, 7, 63, 64, 511):
                dec = k.signal_decoder(IDS[1], start, length, *flags)

                def run(index, chunk, d=dec):
                    return d((index, chunk))

                args = [wide[0][::-1], wide[1]]
                case(f"decoder {flags} length {length} start {start}",
                     lambda a=args, f=run: f(*a), want=agrees(run, args, same))
    for name, loc, length in bad_locs(len(CHUNK)):
        bad = with_record(PAIR, 0, loc, length)
        case(f"decoder loc {name}", lambda b=bad: le16(b), must_raise=ValueError)


def flag_test_cases():
    for name, view in valid_index_views().items():
        for mask in (0, 1, 0x44, 0xFF, 0x100, -1, 2**31 - 1, -(2**31)):
            case(f"flag_test {name} mask {mask}", lambda v=view, m=mask: k.flag_test(v, m),
                 want=lambda r, v=view, m=mask: same(r, ref_flags(np.asarray(v), m)))
    for name, obj in bad_index_objects().items():
        case(f"flag_test index {name}", lambda o=obj: k.flag_test(o, 1), must_raise=WRONG)
    for mask in (2**31, -(2**31) - 1, 2**64, 1.0, "1", None, [1], np.float64(1)):
        case(f"flag_test mask {mask!r}", lambda m=mask: k.flag_test(IDX, m), must_raise=(
            TypeError, OverflowError))
    case("flag_test mask np.uint8", lambda: k.flag_test(IDX, np.uint8(4)),
         want=lambda r: same(r, ref_flags(IDX, 4)))
    case("flag_test no args", lambda: k.flag_test(), must_raise=TypeError)
    case("flag_test keyword", lambda: k.flag_test(mask=4, index=IDX),
         want=lambda r: same(r, ref_flags(IDX, 4)))
    case("flag_test unknown kw", lambda: k.flag_test(IDX, 1, m=2), must_raise=TypeError)


# --- korvel.korvel: types and pad ------------------------------------------------------


def type_cases():
    for n in (0, 1, 8, 63, 65, 255, 1000):
        case(f"newType {n}", lambda n=n: k.newType(n),
             want=lambda r, n=n: r.itemsize == 16 + n and r.names == k.DT64.names)
    case("newType 64", lambda: k.newType(64), want=lambda r: r == k.DT64)
    for value in (-1, 2**31, 2**63, 2**64, 1.5, math.nan, None, "x", "", [8], (2, 2), b"8",
                  "8,8", "-1", object()):
        case(f"newType {value!r}", lambda v=value: k.newType(v))


def pad_cases():
    values = [1.0, np.nan, np.nan, 2.0, np.nan]
    filled = [1.0, 1.0, 1.0, 2.0, 2.0]
    case("pad float64", lambda: k.pad(np.array(values)), want=lambda r: same(r, filled))
    case("pad leading nan", lambda: k.pad(np.array([np.nan, 3.0])),
         want=lambda r: same(r, [np.nan, 3.0]))
    case("pad reversed", lambda: k.pad(np.array(values[::-1])[::-1]),
         want=lambda r: same(r, filled))
    base = np.zeros(10)
    base[::2] = values
    case("pad step 2 leaves the gaps", lambda: (k.pad(base[::2]), base)[1],
         want=lambda r: same(r[::2], filled) and not r[1::2].any())
    case("pad field view", lambda: k.pad(embedded(np.array(values))),
         want=lambda r: same(r, filled))
    case("pad list", lambda: k.pad(list(values)), want=lambda r: same(r, filled))
    case("pad float32", lambda: k.pad(np.array(values, np.float32)),
         want=lambda r: same(r, filled))
    case("pad read-only, no nan", lambda: k.pad(readonly(np.arange(3.0))),
         want=lambda r: same(r, [0.0, 1.0, 2.0]))
    case("pad read-only with nan", lambda: k.pad(readonly(np.array(values))),
         must_raise=ValueError)
    case("pad empty", lambda: k.pad(np.zeros(0)), want=lambda r: r.shape == (0,))
    case("pad all nan", lambda: k.pad(np.full(3, np.nan)), want=lambda r: np.isnan(r).all())
    case("pad int64", lambda: k.pad(np.arange(3)), want=lambda r: same(r, [0, 1, 2]))
    case("pad tuple without nan", lambda: k.pad((1.0, 2.0)))
    case("pad tuple with nan", lambda: k.pad((1.0, np.nan)), must_raise=TypeError)
    for name, obj in {"None": None, "int": 3, "str": "ab", "2-d": np.full((2, 2), np.nan),
                      "0-d": np.array(np.nan), "object": np.array([1.0, None], object),
                      "dict": {1: np.nan}, "dict 0": {0: 1.0, 1: np.nan}, "set": {1.0},
                      "list of str": ["a"], "complex": np.array([1j, np.nan]),
                      "generator": (x for x in values), "bytes": b"ab"}.items():
        case(f"pad {name}", lambda o=obj: k.pad(o))


# --- korvel.korvel: reshaping -----------------------------------------------------------


def to_homo_cases():
    ref = k.to_homo(PAIR)
    case("to_homo good", lambda: k.to_homo(PAIR),
         want=lambda r: r.dtype == k.newType(8) and same(r["len"], IDX["len"]))
    case("to_homo list", lambda: k.to_homo([IDX, CHUNK]), want=lambda r: r.tobytes() ==
         ref.tobytes())
    for name, view in valid_index_views().items():
        if len(view) == 0:
            case(f"to_homo index {name}", lambda v=view: k.to_homo((v, VIEW_CHUNK)),
                 must_raise=ValueError)
            continue
        want = k.to_homo((np.ascontiguousarray(view), VIEW_CHUNK)).tobytes()
        case(f"to_homo index {name}", lambda v=view: k.to_homo((v, VIEW_CHUNK)),
             want=lambda r, w=want: r.tobytes() == w)
    for name, view in valid_chunk_views().items():
        case(f"to_homo chunk {name}", lambda v=view: k.to_homo((IDX, v)),
             want=lambda r: r.tobytes() == ref.tobytes())
    for name, obj in bad_index_objects().items():
        case(f"to_homo index {name}", lambda o=obj: k.to_homo((o, CHUNK)), must_raise=WRONG)
    for name, obj in bad_chunk_objects().items():
        case(f"to_homo chunk {name}", lambda o=obj: k.to_homo((IDX, o)), must_raise=WRONG)
    for name, obj in {"None": None, "int": 1, "1-tuple": (IDX,), "3-tuple": (IDX, CHUNK, CHUNK),
                      "index": IDX, "str": "ab", "dict": {"i": IDX, "c": CHUNK}}.items():
        case(f"to_homo {name}", lambda o=obj: k.to_homo(o), must_raise=WRONG)
    for name, loc, length in bad_locs(len(CHUNK)):
        bad = with_record(PAIR, 5, loc, length)
        case(f"to_homo loc {name}", lambda b=bad: k.to_homo(b), must_raise=ValueError)
    for name, loc, length in good_locs(len(CHUNK)):
        ok = with_record(PAIR, 5, loc, length)
        width = max(int(ok[0]["len"].max()), 0)
        stored = min(loc >> 48, 64, width)
        off = loc & MASK48
        data = CHUNK[off: off + stored].tobytes() if stored else b""
        case(f"to_homo good loc {name}", lambda o=ok: k.to_homo(o),
             want=lambda r, w=width, d=data: r.dtype.itemsize == 16 + w and bytes(
                 r[5]["data"].reshape(-1)) == d + bytes(w - len(d)))
    for length in (0, 8, 9, 64, 65, 255):
        idx = IDX.copy()
        idx["len"] = length
        case(f"to_homo all len {length}", lambda i=idx: k.to_homo((i, CHUNK)),
             want=lambda r, n=length: r.dtype.itemsize == 16 + n)
    # A stored count past the chunk's end from offset 0: only the first 64 bytes
    # are taken, and those lie inside.
    long_pair = make_pair(30, seed=3)
    huge = with_record(long_pair, 0, 0xFFFF << 48, 64)
    case("to_homo count 0xFFFF cut to 64", lambda: k.to_homo(huge),
         want=lambda r: bytes(r[0]["data"]) == long_pair[1][:64].tobytes())
    case("write count 0xFFFF cut to 64", lambda: read_bytes(write_to_bytes(huge)),
         want=lambda r: r[1][:8].tobytes() == long_pair[1][:8].tobytes())
    case("sig_values count 0xFFFF from offset 0", lambda: decode16(
        with_record(long_pair, 0, 0xFFFF << 48, 64, can_id=IDS[0])), must_raise=ValueError)
    wide = make_pair(6, seed=5, max_size=64)
    wide[0]["loc"] += 100 << 48  # stored counts above 64 are cut to 64
    case("to_homo stored count above 64", lambda: k.to_homo(
        (wide[0], np.concatenate([wide[1], np.zeros(200, np.uint8)]))))


def to_index_chunk_cases():
    h = k.to_homo(make_pair(20, seed=9, max_size=64)).astype(k.DT64)
    ref = k.to_index_chunk(h)
    valid = {"reversed": h[::-1], "step 2": h[::2], "field view": embedded(h),
             "read-only": readonly(h), "empty": h[:0], "masked array": np.ma.masked_array(h)}
    for name, view in valid.items():
        want = k.to_index_chunk(np.ascontiguousarray(view))
        case(f"to_index_chunk {name}", lambda v=view: k.to_index_chunk(v),
             want=lambda r, w=want: same_pair(r, w))
    for width in (0, 1, 8, 63, 65, 255):
        arr = retyped(h, k.newType(width))
        arr["len"] = 255
        stored = min(width, 64)
        case(f"to_index_chunk newType {width}, len 255",
             lambda a=arr: k.to_index_chunk(a),
             want=lambda r, n=stored: len(r[1]) == len(h) * n and all(
                 int(x) >> 48 == n for x in r[0]["loc"]))
    renamed = h.astype([(n.upper(), h.dtype[n]) for n in h.dtype.names])
    case("to_index_chunk renamed", lambda: k.to_index_chunk(renamed),
         want=lambda r: same_pair(r, ref))
    big = h.astype([(n, h.dtype[n].newbyteorder(">")) for n in h.dtype.names])
    case("to_index_chunk big-endian", lambda: k.to_index_chunk(big),
         want=lambda r: same_pair(r, ref))
    for name, obj in {"None": None, "int": 1, "list": [1, 2], "str": "x", "pair": PAIR,
                      "0-d": np.zeros((), k.DT64), "2-d": np.zeros((2, 2), k.DT64),
                      "object": np.array([None, 1], object), "bytes": b"x" * 80,
                      "V80": h.view("V80"), "dict": {"data": 1}}.items():
        case(f"to_index_chunk {name}", lambda o=obj: k.to_index_chunk(o), must_raise=WRONG)
    for name, obj in {"float": np.zeros(3), "DT": IDX, "uint8": CHUNK,
                      "newType(2,2)": np.zeros(2, k.newType((2, 2))),
                      "data 2-d": np.zeros(2, k.newType("8,8"))}.items():
        case(f"to_index_chunk {name}", lambda o=obj: k.to_index_chunk(o))


def concat_cases():
    a = make_pair(5, seed=1)
    b = make_pair(7, seed=2)
    ab = k.concat([a, b])
    good = {
        "empty list": ([], lambda r: len(r[0]) == len(r[1]) == 0),
        "generator": ((p for p in (a, b)), lambda r: same_pair(r, ab)),
        "lists": ([list(a), list(b)], lambda r: same_pair(r, ab)),
        "reversed index": ([(a[0][::-1], a[1])], lambda r: same(r[0], a[0][::-1])),
        "field view": ([(embedded(a[0]), a[1]), b], lambda r: same_pair(r, ab)),
        "step-2 chunk": ([a, (b[0], np.repeat(b[1], 2)[::2])], lambda r: same_pair(r, ab)),
        "empty index": ([(a[0][:0], a[1]), b], lambda r: len(r[0]) == 7),
        "big-endian index": ([a, (b[0].astype(k.DT.newbyteorder(">")), b[1])],
                             lambda r: same_pair(r, ab)),
        "float chunk": ([a, (b[0], b[1].astype(float))], lambda r: same_pair(r, ab)),
    }
    for name, (pairs, want) in good.items():
        case(f"concat {name}", lambda p=pairs: k.concat(p), want=want)
    for name, loc, length in bad_locs(len(a[1])):
        bad = with_record(a, 1, loc, length)
        case(f"concat loc {name}", lambda x=bad: k.concat([x, b]))
    bad_items = {
        "None": None, "int": 5, "str": "ab", "pair itself": a, "dict": {1: 2},
        "None item": [a, None], "int item": [a, 3], "str item": [a, "xy"],
        "1-tuple": [(a[0],)], "3-tuple": [(a[0], a[1], a[1])], "empty tuple": [()],
        "(None, None)": [(None, None)], "(index, None)": [(a[0], None)],
        "(None, chunk)": [(None, a[1])], "(index, list)": [(a[0], a[1].tolist())],
        "(list, chunk)": [(a[0].tolist(), a[1])], "(index, bytes)": [(a[0], a[1].tobytes())],
        "0-d index": [(np.zeros((), k.DT), a[1])], "0-d chunk": [(a[0], np.array(1, np.uint8))],
        "2-d index": [(np.zeros((2, 3), k.DT), a[1])], "2-d chunk": [(a[0], a[1].reshape(1, -1))],
        "float index": [(np.zeros(3), a[1])], "object index": [(np.array([None] * 3), a[1])],
        "str index": [(np.array(["a"] * 3), a[1])], "int64 index": [(np.arange(3), a[1])],
        "DT64 index": [(np.zeros(3, k.DT64), a[1])], "V24 index": [(a[0].view("V24"), a[1])],
        "index without loc": [(np.zeros(3, [("x", "u8")]), a[1])],
        "object chunk": [(a[0], np.array([None] * 3, object))],
        "str chunk": [(a[0], np.array(["a", "b"]))], "swapped": [(a[1], a[0])],
        "mixed": [a, (b[0], None), b], "record index": [(a[0][0], a[1])],
    }
    for name, pairs in bad_items.items():
        case(f"concat {name}", lambda p=pairs: k.concat(p), must_raise=WRONG)


# --- korvel.korvel: write -------------------------------------------------------------


def write_to_bytes(arr, **kw):
    f = io.BytesIO()
    k.write(f, arr, **kw)
    return f.getvalue()


def read_bytes(blob):
    return k.read(io.BytesIO(blob))


def same_frames(got, pair):
    """Read-back records and payloads equal to the written pair's."""
    index, chunk = got
    want = k.to_index_chunk(k.to_homo(pair))
    fields = ("can_id", "channel", "len")
    if any(not same(index[n], want[0][n]) for n in fields):
        return False
    for r, w in zip(index, want[0]):
        n = int(w["loc"]) >> 48
        if n and bytes(chunk[int(r["loc"]) & MASK48:][:n]) != bytes(
                want[1][int(w["loc"]) & MASK48:][:n]):
            return False
    return True


class Sink(io.BytesIO):
    """A stream whose methods can be swapped for ones that misbehave."""

    def __init__(self, **methods):
        super().__init__()
        for name, fn in methods.items():
            setattr(self, name, fn)


def boom(*args):
    raise Boom("file")


def write_cases():
    blob = write_to_bytes(PAIR)
    case("write good", lambda: read_bytes(write_to_bytes(PAIR)),
         want=lambda r: same_frames(r, PAIR))
    for name, view in valid_index_views().items():
        pair = (view, VIEW_CHUNK)
        if len(view) == 0:
            case(f"write index {name}", lambda p=pair: write_to_bytes(p), must_raise=ValueError)
            continue
        case(f"write index {name}", lambda p=pair: read_bytes(write_to_bytes(p)),
             want=lambda r, p=pair: same_frames(r, (np.ascontiguousarray(p[0]), p[1])))
    for name, view in valid_chunk_views().items():
        case(f"write chunk {name}", lambda v=view: write_to_bytes((IDX, v)),
             want=lambda r: r == blob)
    h = k.to_homo(PAIR)
    for name, arr in {"homo reversed": h[::-1], "homo field view": embedded(h),
                      "homo read-only": readonly(h), "homo DT64": h.astype(k.DT64),
                      "homo newType(0)": retyped(h, k.newType(0)),
                      "homo masked": np.ma.masked_array(h)}.items():
        case(f"write {name}", lambda a=arr: read_bytes(write_to_bytes(a)))
    for name, obj in bad_index_objects().items():
        case(f"write index {name}", lambda o=obj: write_to_bytes((o, CHUNK)), must_raise=WRONG)
    for name, obj in bad_chunk_objects().items():
        case(f"write chunk {name}", lambda o=obj: write_to_bytes((IDX, o)), must_raise=WRONG)
    arrs = {
        "None": (None, TypeError), "int": (1, TypeError), "str": ("ab", TypeError),
        "list pair": ([IDX, CHUNK], TypeError), "1-tuple": ((IDX,), TypeError),
        "3-tuple": ((IDX, CHUNK, CHUNK), TypeError), "empty tuple": ((), TypeError),
        "dict": ({"a": 1}, TypeError), "bytes": (b"\0" * 80, TypeError),
        "float": (np.zeros(3), WRONG), "object": (np.array([None] * 3), WRONG),
        "uint8": (CHUNK, WRONG), "V80": (h.astype(k.DT64).view("V80"), WRONG),
        "0-d DT64": (np.zeros((), k.DT64), ValueError),
        "2-d DT64": (np.zeros((2, 2), k.DT64), ValueError),
        "empty DT64": (np.zeros(0, k.DT64), ValueError),
        "newType(65)": (np.zeros(2, k.newType(65)), k.BLFError),
        "DT": (IDX, None), "newType(2,2)": (np.zeros(2, k.newType((2, 2))), None),
        "one field": (np.zeros(2, [("x", "u1")]), None),
    }
    for name, (arr, must) in arrs.items():
        case(f"write arr {name}", lambda a=arr: write_to_bytes(a), must_raise=must)
    for name, loc, length in bad_locs(len(CHUNK)):
        bad = with_record(PAIR, 2, loc, length)
        case(f"write loc {name}", lambda b=bad: write_to_bytes(b), must_raise=ValueError)
    for length in (0, 8, 9, 64):
        for flags in (0x00, 0x08, 0x10, 0x7F):
            idx = IDX.copy()
            idx["len"] = length
            idx["flags"] = flags
            case(f"write len {length} flags {flags:#x}",
                 lambda i=idx: read_bytes(write_to_bytes((i, CHUNK))),
                 want=lambda r: len(r[0]) == len(IDX))
    for length in (65, 255):
        idx = IDX.copy()
        idx["len"] = length
        case(f"write len {length}", lambda i=idx: write_to_bytes((i, CHUNK)),
             must_raise=k.BLFError)
    for ts in (0, -1, 2**63 - 1, -(2**63), 9 * 10**18):
        idx = IDX.copy()
        idx["timestamp"][::2] = ts
        case(f"write timestamp {ts}", lambda i=idx: write_to_bytes((i, CHUNK)))
    idx = IDX.copy()
    idx["can_id"] = [0, 0xFFFFFFFF, 0x1FFFFFFF, 0x80000000] * 3
    case("write extreme ids", lambda: write_to_bytes((idx, CHUNK)))

    for threads in (1, 2, 3, 300, True, np.int64(2), 2**70):
        case(f"write threads {threads!r}", lambda t=threads: write_to_bytes(PAIR, threads=t),
             want=lambda r: r == blob)
    for threads in (0, -1, -(2**70), "2", 2.0, [2], object()):
        case(f"write threads {threads!r}", lambda t=threads: write_to_bytes(PAIR, threads=t),
             must_raise=WRONG)
    for threads in ("2", 2.0, -(2**70)):
        case(f"read threads {threads!r}", lambda t=threads: k.read(io.BytesIO(blob), threads=t),
             must_raise=WRONG)
    case("read threads 2**70", lambda: k.read(io.BytesIO(blob), threads=2**70),
         want=lambda r: same_frames(r, PAIR))

    class NoSeekable:
        def __init__(self):
            self.parts = []

        def write(self, b):
            self.parts.append(bytes(b))

    class WriteOnly:
        write = None

    with tempfile.TemporaryDirectory() as d:
        path = os.path.join(d, "f.blf")
        with open(path, "wb") as f:
            f.write(b"x")
        reader = open(path, "rb")  # noqa: SIM115 - closed by the case list's end
        OPENED.append(reader)
    closed = io.BytesIO()
    closed.close()
    files = {
        "None": (None, WRONG), "int": (3, WRONG),
        "path in a missing folder": (os.path.join(path, "no", "out.blf"), FileNotFoundError),
        "bytearray": (bytearray(), WRONG), "read-only file": (reader, WRONG),
        "closed": (closed, ValueError), "no seekable": (NoSeekable(), k.BLFError),
        "write None": (WriteOnly(), WRONG),
        "unseekable": (Sink(seekable=lambda: False), k.BLFError),
        "seekable 'yes'": (Sink(seekable=lambda: "yes"), None),
        "seekable array": (Sink(seekable=lambda: np.ones(2)), ValueError),
        "write raises": (Sink(write=boom), Boom), "seek raises": (Sink(seek=boom), Boom),
        "tell raises": (Sink(tell=boom), Boom), "seekable raises": (Sink(seekable=boom), Boom),
        "write returns str": (Sink(write=lambda b: "x"), None),
        "tell str": (Sink(tell=lambda: "5"), TypeError),
        "tell None": (Sink(tell=lambda: None), TypeError),
        "tell float": (Sink(tell=lambda: 5.0), TypeError),
        "tell 2**70": (Sink(tell=lambda: 2**70), OverflowError),
        "tell -1": (Sink(tell=lambda: -1), None),
        "tell numpy": (Sink(tell=lambda: np.int64(9)), None),
        "seek missing": (Sink(seek=None), TypeError),
        "write missing": (type("W", (), {"seekable": lambda s: True})(), TypeError),
    }
    for name, (f, must) in files.items():
        case(f"write file {name}", lambda f=f: k.write(f, PAIR),
             allowed=BASE + (Boom, FileNotFoundError), must_raise=must)
    case("write file 2 threads, write raises",
         lambda: k.write(Sink(write=boom), make_pair(3000, seed=4), threads=2),
         allowed=BASE + (Boom,), must_raise=Boom)

    def fail_later():
        calls = []

        def write(b):
            calls.append(len(b))
            if len(calls) > 6:
                raise Boom("disk full")
        return Sink(write=write)

    for threads in (1, 2, 8):
        case(f"write file fails midway, threads {threads}",
             lambda t=threads: k.write(fail_later(), make_pair(20000, seed=6), threads=t),
             allowed=BASE + (Boom,), must_raise=Boom)

    def meddling(records, **changes):
        """A stream whose write() changes the records still to be encoded."""
        def write(b):
            for name, value in changes.items():
                records[name] = value
        return Sink(write=write)

    big = make_pair(9000, seed=8)
    homo = k.to_homo(big)
    def write_meddled(changes):
        index = big[0].copy()
        k.write(meddling(index, **changes), (index, big[1]), threads=1)

    def write_meddled_inline():
        records = homo.copy()
        k.write(meddling(records, len=255, flags=0x18), records, threads=1)

    for name, changes in {"locators past the end": {"loc": 2**64 - 1},
                          "len 255 as FD": {"len": 255, "flags": 0x08},
                          "stored 0xFFFF": {"loc": 0xFFFF << 48}}.items():
        case(f"write file's write() sets {name} midway", lambda c=changes: write_meddled(c))
    case("write file's write() changes inline records midway", write_meddled_inline)

    def pairs_then_boom():
        yield PAIR
        raise Boom("generator")

    case("concat generator raises", lambda: k.concat(pairs_then_boom()), allowed=BASE + (Boom,),
         must_raise=Boom)
    case("write no args", lambda: k.write(), must_raise=TypeError)
    case("write threads positional", lambda: k.write(io.BytesIO(), PAIR, 2),
         must_raise=TypeError)


OPENED = []


# --- korvel.korvel: private calendar hooks --------------------------------------------


def calendar_cases():
    for st in ([2024, 1, 1, 1, 0, 0, 0, 0], [0] * 8, [65535] * 8, [1, 13, 0, 32, 25, 61, 61, 999],
               [2024, 2, 4, 30, 0, 0, 0, 0], [1] * 7, [-1] * 8, [70000] * 8, None, "x" * 8,
               [1.5] * 8):
        case(f"_systemtime_to_timestamp {st!r}", lambda s=st: k._systemtime_to_timestamp(s))
    for ts in (0, -1, 2**63 - 1, -(2**63), 2**63, None, 1.5):
        case(f"_timestamp_to_systemtime {ts!r}", lambda t=ts: k._timestamp_to_systemtime(t))


# --- korvel.dravum: utilities ---------------------------------------------------------


def dravum_util_cases():
    arr = np.array([0.5, 1.0, 2.0, 3.0, np.nan])
    intervals = {
        "closed": (P.closed(1, 2), [False, True, True, False, False]),
        "open": (P.open(1, 3), [False, False, True, False, False]),
        "empty": (P.empty(), [False] * 5),
        "degenerate open": (P.open(1, 1), [False] * 5),
        "singleton": (P.singleton(2), [False, False, True, False, False]),
        "everything": (P.open(-P.inf, P.inf), [True, True, True, True, False]),
        "union": (P.closed(0, 1) | P.closed(3, 4), [True, True, False, False, False]),
        "nan bound": (P.closed(math.nan, 1), [False] * 5),
    }
    # A union counts by its first atomic interval, as the suite pins.
    for name, (interval, want) in intervals.items():
        case(f"isin float {name}", lambda i=interval: dv.isin(arr, i), allowed=QUERY,
             want=lambda r, w=want: same(r, w))
        case(f"isin uint8 {name}",
             lambda i=interval: dv.isin(np.array([0.5, 1, 2, 3, 255]).astype(np.uint8), i),
             allowed=QUERY, want=lambda r, w=want, n=name: same(r, w[:4] + [n == "everything"]))
    case("isin reversed float", lambda: dv.isin(arr[::-1], P.closed(1, 2)),
         allowed=QUERY, want=lambda r: same(r, [False, False, True, True, False]))
    stamps = np.array([dv.dt2ts("2023-01-01"), dv.dt2ts("2023-06-01")], np.int64)
    dates = {
        "good": ["2023-01-01", "2023-02-01"], "garbage": ["x", "y"], "one": ["2023-01-01"],
        "ints": [1, 2], "None": None, "tuple": ("2023", "2024"), "nones": [None, None],
        "year 0": ["0000-01-01", "2023"], "huge": ["9" * 30, "2023"],
    }
    for name, value in dates.items():
        case(f"isin int64 {name}", lambda v=value: dv.isin(stamps, v), allowed=QUERY)
    for dtype in ("int8", "uint8", "int16", "uint16", "int32", "uint32"):
        small = np.arange(5).astype(dtype)
        for name, value in {"list": [1, 3], "empty list": [], "floats": [1.5], "None": None,
                            "interval": P.closed(1, 2), "mixed": [1, "a"], "str": "13",
                            "big ints": [2**70, -(2**70)]}.items():
            case(f"isin {dtype} {name}", lambda s=small, v=value: dv.isin(s, v), allowed=QUERY)
    for name, value in {"None": None, "list": [1.0, 2.0], "int": 3, "str": "abc",
                        "0-d": np.array(1.5), "2-d": np.zeros((2, 2)), "bool": np.ones(2, bool),
                        "object": np.array([1.0], object), "DT": IDX, "empty": np.zeros(0),
                        "float32": np.zeros(2, np.float32), "int64 0-d": np.int64(1)}.items():
        case(f"isin arr {name}", lambda v=value: dv.isin(v, P.closed(0, 1)), allowed=QUERY,
             must_raise=TypeError if name in ("None", "list", "int", "str") else None)
    case("isin no args", lambda: dv.isin(), allowed=QUERY, must_raise=TypeError)

    case("interp good", lambda: dv.interp(np.array([0.0, np.nan, 2.0])), allowed=QUERY,
         want=lambda r: same(r, [0.0, 1.0, 2.0]))
    base = np.array([4.0, 9.0, np.nan, 9.0, 0.0])
    case("interp reversed view fills in place", lambda: (dv.interp(base[::-2]), base)[1],
         allowed=QUERY, want=lambda r: same(r, [4.0, 9.0, 2.0, 9.0, 0.0]))
    for name, value in {"None": None, "list": [1.0, np.nan, 2.0], "str": "abc", "int": 3,
                        "all nan": np.full(3, np.nan), "empty": np.zeros(0),
                        "0-d": np.array(np.nan), "2-d": np.array([[1.0, np.nan], [3.0, 4.0]]),
                        "read-only": readonly(np.array([1.0, np.nan, 2.0])),
                        "ints": np.arange(3), "object": np.array([1.0, None, 2.0], object),
                        "inf": np.array([-np.inf, np.nan, np.inf]), "DT": IDX}.items():
        case(f"interp {name}", lambda v=value: dv.interp(v), allowed=QUERY)

    for value in ("2023-01-03 15:30:10", "", "garbage", "9" * 40, "9999-12-31 23:59:59",
                  "0001-01-01", "2023-13-45", "2023-01-01T00:00:00+25:00", None, 5, b"2023",
                  ["2023"], "\0", "1" * 5000):
        case(f"dt2ts {value!r:.40}", lambda v=value: dv.dt2ts(v), allowed=QUERY)

    for value in ("Abc", "", [], ["A", "b"], ("X",), None, 5, [1], ["a", None], {"K": 1},
                  iter(["Q"]), b"ab"):
        # Non-str items have no lower(): AttributeError, as the suite pins.
        case(f"_lolist {value!r}", lambda v=value: dv._lolist(v),
             allowed=QUERY + (AttributeError,))
    for value in ("frames['can_id'] == 1", "frames[\"len\"]", "frames['x']", "frames[]",
                  "frames[0]", "frames['can_id'", "message_contains(", "(" * 1000, "", None, 5,
                  b"frames", "frames['can_id']" * 500):
        # A bracket other than an allowed field is a KeyError naming it.
        case(f"_exp_repair {value!r:.40}", lambda v=value: dv._exp_repair(v),
             allowed=QUERY + (KeyError,))


# --- korvel.dravum: records and queries -------------------------------------------------


def record_cases():
    for args in ((), (1,), (1, "m"), (1, "m", ["a"], ["b"], "c"), (1, "m", None, None, None),
                 (1, "m", [], [], "", "extra")):
        case(f"Message{args!r}", lambda a=args: dv.Message(*a), allowed=QUERY)
    for args in ((), (1, "s", 0), (1, "s", 0, 8), (1, "s", -5, 100, math.nan, math.inf),
                 ([1], "s", 0, 8), (None, None, None, None)):
        case(f"Signal{args!r}", lambda a=args: dv.Signal(*a), allowed=QUERY)
    s = dv.Signal(1, "s", 0, 8)
    for other in (s, dv.Signal(1, "s", 8, 8), 5, None, "1|s", dv.Message(1, "s")):
        case(f"Signal == {other!r:.30}", lambda o=other: s == o, allowed=QUERY)
    for sig in (dv.Signal([1], "s", 0, 8), dv.Signal(1, object(), 0, 8)):
        case(f"hash {sig!r:.40}", lambda g=sig: hash(g), allowed=QUERY)

    class BadFormat:
        def __format__(self, fmt):
            raise Boom("format")

    case("hash with a raising field", lambda: hash(dv.Signal(BadFormat(), "s", 0, 8)),
         allowed=QUERY + (Boom,), must_raise=Boom)
    case("LazySignals no query", lambda: dv.LazySignals(None).Speed,
         allowed=QUERY + (AttributeError,))
    case("LazySignals no args", lambda: dv.LazySignals(), allowed=QUERY, must_raise=TypeError)


def query_with(signals, messages=()):
    q = dv.Query()
    q.addMessages(list(messages))
    q.addSignals(list(signals))
    return q


class Db:
    """A database object with whatever messages it is given."""

    def __init__(self, messages):
        self.messages = messages


class Msg:
    def __init__(self, frame_id=1, name="M", signals=(), **kw):
        self.frame_id, self.name, self.signals = frame_id, name, list(signals)
        self.senders, self.receivers, self.comment = kw.get("senders", []), [], None


class Sig:
    def __init__(self, name="S", start=0, length=8, **kw):
        self.name, self.start, self.length = name, start, length
        self.scale, self.offset, self.byte_order = 1, 0, "little_endian"
        self.is_signed = self.is_float = False
        self.unit, self.receivers, self.comment = "", None, None
        self.__dict__.update(kw)


def loading_cases():
    for name, msgs in {"None": None, "int": 5, "ints": [1, 2], "str": "ab",
                       "dict": {"a": dv.Message(1, "a")},
                       "unhashable name": [dv.Message(1, ["x"])],
                       "unhashable id": [dv.Message([1], "x")]}.items():
        case(f"addMessages {name}", lambda m=msgs: dv.Query().addMessages(m),
             allowed=QUERY + (AttributeError,))
    for name, sigs in {"None": None, "int": 5, "ints": [1], "str": "ab",
                       "unhashable id": [dv.Signal([1], "x", 0, 8)],
                       "receivers int": [dv.Signal(1, "x", 0, 8, receivers=5)]}.items():
        case(f"addSignals {name}", lambda s=sigs: dv.Query().addSignals(s),
             allowed=QUERY + (AttributeError,))

    def raising():
        yield dv.Message(1, "a")
        raise Boom("generator")

    case("addMessages generator raises", lambda: dv.Query().addMessages(raising()),
         allowed=QUERY + (Boom,), must_raise=Boom)
    for name, db in {"None": None, "empty": Db([]), "messages None": Db(None),
                     "messages ints": Db([1]),
                     "fake": Db([Msg(1, "A", [Sig("X"), Sig("Y", 4, 4)])]),
                     "signal without fields": Db([Msg(1, "A", [object()])])}.items():
        case(f"addDatabase {name}", lambda d=db: dv.Query().addDatabase(d),
             allowed=QUERY + (AttributeError,))


def query_cases():
    frames = make_pair(60, seed=11)
    sigs = [dv.Signal(IDS[0], "Low", 0, 16, SCALE, OFFSET, "little_endian"),
            dv.Signal(IDS[1], "High", 7, 8, comment="speed"),
            dv.Signal(0x99, "Absent", 0, 8)]
    msgs = [dv.Message(IDS[0], "First", ["A"], ["B"], "lower"),
            dv.Message(IDS[1], "Second", ["C"]), dv.Message(0x99, "Nowhere")]
    q = query_with(sigs, msgs)
    want_low = ref_values(frames[0], frames[1], IDS[0])

    case("map signal", lambda: q.map(frames, "signals.Low(frames)"), allowed=QUERY,
         want=lambda r: same(r, want_low))
    case("filter flags", lambda: q.filter(frames, "is_rx(frames)"), allowed=QUERY,
         want=lambda r: same(r[0], frames[0]) and r[1] is frames[1])
    for name, view in valid_index_views().items():
        pair = (view, VIEW_CHUNK)
        case(f"map index {name}", lambda p=pair: q.map(p, "signals.Low(frames)"),
             allowed=QUERY, want=lambda r, p=pair: same(r, ref_values(np.asarray(p[0]), p[1],
                                                                      IDS[0])))
        case(f"message_contains index {name}", lambda p=pair: q.message_contains(p, "first"),
             allowed=QUERY, want=lambda r, p=pair: same(r, np.asarray(p[0])["can_id"] == IDS[0]))

    unknown = make_pair(20, seed=12)
    unknown[0]["can_id"] = 0x3FF
    empty = (frames[0][:0], frames[1][:0])
    bad_frames = {
        "None": None, "empty tuple": (), "1-tuple": (frames[0],),
        "index only": frames[0], "str": "ab", "int": 5, "(None, None)": (None, None),
        "float index": (np.zeros(3), frames[1]), "int index": (np.arange(3), frames[1]),
        "list index": (frames[0].tolist(), frames[1]),
        "0-d index": (np.zeros((), k.DT), frames[1]), "record index": (frames[0][0], frames[1]),
        "swapped": (frames[1], frames[0]),
        "2-d index": (np.zeros((2, 2), k.DT), frames[1]), "V24 index": (frames[0].view("V24"),
                                                                        frames[1]),
    }
    # Frames that are odd but may still give a result.
    # A frames pair is anything indexable by 0 and 1; a too short one fails at
    # that indexing (IndexError).
    odd_frames = {"unknown ids": unknown, "empty": empty, "list": list(frames),
                  "dict": {0: frames[0], 1: frames[1]}, "3-tuple": (*frames, 1),
                  "DT64 index": (np.zeros(3, k.DT64), frames[1])}
    for loc_name, loc, length in bad_locs(len(frames[1]))[:4]:
        odd_frames[f"loc {loc_name}"] = with_record(frames, 0, loc, length)

    exprs = {
        "flag": "is_fd(frames)", "signal": "signals.Low(frames) > 0",
        "field": "frames['can_id'] == 16", "query": "message_contains(frames, 'first')",
        "value query": "signal_contains_and_value_eq(frames, 'low', [1, 2])",
        "syntax": "(((", "name": "nothing(frames)", "unknown signal": "signals.Nope(frames)",
        "raises": "1 / 0", "python bool": "True", "None": "None", "int": "1",
        "str": "'abc'", "list": "[True]", "frames": "frames", "float array": "np.zeros(3)",
        "short mask": "np.ones(1, bool)", "2-d mask": "np.ones((1, 1), bool)",
        "disallowed field": "frames['loc'] > 0", "empty": "", "bytes": b"is_fd(frames)",
        "not a str": None, "number": 5,
    }
    # The expression's own errors pass through; a KeyError names a field access that is
    # not allowed, or a signal the query does not know; a result without a dtype fails
    # its check with AttributeError.
    expr_errors = QUERY + (SyntaxError, NameError, ZeroDivisionError, KeyError, AttributeError,
                           IndexError)
    for fname in ("filter", "map"):
        for ename, expr in exprs.items():
            case(f"{fname} expr {ename}", lambda f=fname, e=expr: getattr(q, f)(frames, e),
                 allowed=expr_errors)
        for frname, fr in {**bad_frames, **odd_frames}.items():
            for ename in ("flag", "signal", "field", "query", "value query"):
                case(f"{fname} frames {frname} expr {ename}",
                     lambda f=fname, fr=fr, e=exprs[ename]: getattr(q, f)(fr, e),
                     allowed=expr_errors,
                     must_raise=WRONG + (AssertionError, IndexError) if frname in bad_frames else None)
    case("filter unknown ids", lambda: q.filter(unknown, "signals.Low(frames) > 0"),
         allowed=QUERY, want=lambda r: len(r[0]) == 0)
    case("filter empty frames", lambda: q.filter(empty, "is_fd(frames) | ~is_fd(frames)"),
         allowed=QUERY, want=lambda r: len(r[0]) == 0)

    def callback_raises(*a):
        raise Boom("callback")

    class BadTruth:
        def __bool__(self):
            raise Boom("truth")

    callbacks = {"raises": callback_raises, "None": None, "int": 5, "returns array":
                 lambda m: np.ones(2), "returns bad truth": lambda m: BadTruth(),
                 "no args": lambda: True, "all": lambda m: True}
    patterns = {"str": "first", "list": ["a", "B"], "empty": [], "None": None, "int": 5,
                "ints": [1], "mixed": ["a", None], "bytes": [b"a"], "empty str": "",
                "tuple": ("speed",)}
    values = {"int": 1, "list": [1, 2], "None": None, "nan": math.nan, "str": "a",
              "mixed": [1, "a"], "nested": [[1], [2]], "array": np.arange(3), "empty": []}
    for frname, fr in {**bad_frames, **odd_frames, "good": frames}.items():
        must = WRONG + (AssertionError, IndexError) if frname in bad_frames else None
        # The message and signal record queries read frames[0] alone.
        must_index = None if frname == "1-tuple" else must
        for cname, cb in callbacks.items():
            for method in ("message_matches", "signal_matches"):
                case(f"{method} frames {frname} callback {cname}",
                     lambda m=method, fr=fr, cb=cb: getattr(q, m)(fr, cb),
                     allowed=QUERY + (Boom, IndexError), must_raise=must_index)
        for pname, pat in patterns.items():
            for method in ("message_contains", "senders_contains", "receivers_contains",
                           "signal_contains"):
                # Items without lower() fail before the frames are looked at.
                case(f"{method} frames {frname} pattern {pname}",
                     lambda m=method, fr=fr, p=pat: getattr(q, m)(fr, p),
                     allowed=QUERY + (AttributeError, IndexError),
                     must_raise=None if pname in ("ints", "mixed") else must_index)
        for vname, val in values.items():
            for method in ("signal_contains_and_value_eq", "signal_contains_and_value_ne"):
                case(f"{method} frames {frname} values {vname}",
                     lambda m=method, fr=fr, v=val: getattr(q, m)(fr, "low", v),
                     allowed=QUERY + (IndexError,), must_raise=must)
        for cname, cb in callbacks.items():
            case(f"signal_value_matches frames {frname} signal_cb {cname}",
                 lambda fr=fr, cb=cb: q.signal_value_matches(fr, cb, lambda v, x: x > 0),
                 allowed=QUERY + (Boom, IndexError), must_raise=must)
            case(f"signal_value_matches frames {frname} value_cb {cname}",
                 lambda fr=fr, cb=cb: q.signal_value_matches(fr, lambda s: 1, cb),
                 allowed=QUERY + (Boom, IndexError), must_raise=must)
    case("message_contains unknown ids", lambda: q.message_contains(unknown, ""),
         allowed=QUERY, want=lambda r: not r.any() and r.shape == (20,))
    case("signal_contains_and_value_eq empty", lambda: q.signal_contains_and_value_eq(
        empty, "low", 1), allowed=QUERY, want=lambda r: r.shape == (0,))
    for rname, result in {"short": np.ones(3), "floats": np.ones(60), "None": None,
                          "2-d": np.ones((60, 2)), "list": [True] * 60, "str": "x"}.items():
        case(f"signal_value_matches value_cb returns {rname}",
             lambda res=result: q.signal_value_matches(frames, lambda s: 1, lambda v, x: res),
             allowed=QUERY)

    # Signals whose layout the decoder rejects, found through a query.
    broken = query_with([dv.Signal(1, "Long", 0, 65), dv.Signal(1, "Neg", -1, 8),
                         dv.Signal(2**40, "Huge", 0, 8), dv.Signal(1, "Name", 0, 8, "x"),
                         dv.Signal(1, "Str", "0", 8), dv.Signal(1, "Order", 0, 8,
                                                              byte_order=None)])
    for name in ("Long", "Neg", "Huge", "Name", "Str", "Order"):
        case(f"broken signal {name}", lambda n=name: broken.map(frames, f"signals.{n}(frames)"),
             allowed=QUERY)
    case("broken signals in a value query",
         lambda: broken.signal_contains_and_value_eq(frames, "", 1), allowed=QUERY)
    for attr in ("nothing", "frames", "_glob", "__self__", "signals"):
        case(f"Query attribute {attr}", lambda a=attr: getattr(q, a),
             allowed=QUERY + (AttributeError,))
    bare = dv.Query.__new__(dv.Query)
    for method in ("filter", "map"):
        case(f"bare Query {method}", lambda m=method: getattr(bare, m)(frames, "is_fd(frames)"),
             allowed=QUERY + (AttributeError,))
    case("bare Query message_contains", lambda: bare.message_contains(frames, "x"),
         allowed=QUERY + (AttributeError,))


# --- seeded random sweep -----------------------------------------------------------------


def random_pair(rng, n):
    """A pair with random records: any id, flags, len and timestamp, locators mostly
    inside the chunk, some anywhere."""
    size = rng.randrange(0, 300)
    idx = np.zeros(n, k.DT)
    for i in range(n):
        if rng.random() < 0.8 and size:
            off = rng.randrange(size)
            cnt = rng.randrange(0, min(size - off, 80) + 1)
        else:
            off = rng.choice([0, size, size + 1, MASK48, rng.randrange(1 << 48)])
            cnt = rng.choice([0, 1, 64, 65, 0xFFFF, rng.randrange(1 << 16)])
        idx[i] = (rng.choice([0, T0, -(2**63), 2**63 - 1, rng.randrange(-(2**63), 2**63)]),
                  rng.choice(IDS + (0, 0xFFFFFFFF, rng.randrange(1 << 32))),
                  rng.randrange(256), rng.randrange(256), rng.randrange(256), rng.randrange(256),
                  off | cnt << 48)
    chunk = np.frombuffer(rng.randbytes(size), np.uint8).copy()
    return idx, chunk


def random_view(rng, a):
    kind = rng.randrange(5)
    if kind == 0:
        return a[::-1]
    if kind == 1:
        return a[:: rng.choice([2, 3, -2])]
    if kind == 2:
        return embedded(a)
    if kind == 3:
        return readonly(a)
    return a


def agrees(fn, args, equal):
    """A check: the result equals fn's over contiguous copies of the array arguments
    (a view must not change what is computed)."""
    plain = [np.ascontiguousarray(a) if isinstance(a, np.ndarray) else a for a in args]
    return lambda r: equal(r, fn(*plain))


def same_bytes(a, b):
    return a.tobytes() == b.tobytes()


def random_cases(count=1500):
    rng = random.Random(20240601)
    for i in range(count):
        pair = random_pair(rng, rng.randrange(0, 40))
        index = random_view(rng, pair[0])
        chunk = pair[1]
        ims = np.array([rng.choice([0, 1, 7, 63, 64, 2**31 - 1, -1, rng.randrange(-99, 99)])
                        for _ in range(3 * rng.randrange(0, 4))], np.int32)
        args = [index, chunk, ims, rng.choice(IDS + (-1, 0)), rng.choice([0, 1, 2, 3, 7]),
                rng.randrange(-70, 70), rng.choice([1.0, math.nan, math.inf, -2.5]),
                rng.choice([0.0, -math.inf, 1e300]), rng.randrange(2)]
        case(f"random {i} sig_values", lambda a=args: k.sig_values(*a),
             want=agrees(k.sig_values, args, same))

        dec_args = (rng.choice(IDS + (-1,)), rng.randrange(-2, 600), rng.randrange(-1, 67),
                    rng.random() < 0.5, rng.random() < 0.5, rng.random() < 0.3)

        def decode(index, chunk, pad, a=dec_args):
            return k.signal_decoder(*a)((index, chunk), pad)

        dargs = [index, chunk, rng.randrange(2)]
        case(f"random {i} decoder {dec_args}", lambda a=dargs, f=decode: f(*a),
             want=agrees(decode, dargs, same))
        mask = rng.randrange(-300, 300)
        case(f"random {i} flag_test", lambda ix=index, m=mask: k.flag_test(ix, m),
             want=lambda r, ix=index, m=mask: same(r, ref_flags(ix, m)))

        def homo_of(index, chunk):
            return k.to_homo((index, chunk))

        case(f"random {i} to_homo", lambda a=(index, chunk): homo_of(*a),
             want=agrees(homo_of, [index, chunk], same_bytes))

        def written(index, chunk, threads):
            return read_bytes(write_to_bytes((index, chunk), threads=threads))

        wargs = [index, chunk, rng.choice([1, 2])]
        case(f"random {i} write", lambda a=wargs: written(*a),
             want=agrees(written, wargs, same_pair))

        def joined(index, chunk, other):
            return k.concat([(index, chunk), other, (index, chunk)])

        cargs = [index, chunk, pair]
        case(f"random {i} concat", lambda a=cargs: joined(*a),
             want=agrees(joined, cargs, same_pair))
        homo = np.zeros(len(pair[0]), k.newType(rng.choice([0, 8, 64, 100])))
        for name in ("timestamp", "can_id", "len", "flags"):
            homo[name] = pair[0][name]
        homo["data"] = rng.randrange(256)
        view = [random_view(rng, homo)]
        case(f"random {i} to_index_chunk", lambda v=view: k.to_index_chunk(*v),
             want=agrees(k.to_index_chunk, view, same_pair))


# --- runner ----------------------------------------------------------------------------


def table_cases():
    """korvel.decode's native half with broken plans, and decode with odd arguments."""
    sig = (0, 16, False, False, False, SCALE, OFFSET, -1, (), False)
    good = [(IDS[0], False, (), [sig, (8, 8, True, True, False, 1.0, 0.0, 0, (1, 2), True)])]
    case("_decode_tables good", lambda: k._decode_tables(IDX, CHUNK, good),
         want=lambda r: same(r[0][2][0], ref_values(IDX, CHUNK, IDS[0])[IDX["can_id"] == IDS[0]]))
    plans = {
        "no messages": [], "None": None, "int": 5, "message of 2": [(IDS[0], ())],
        "can_id -1": [(-1, False, (), [])], "can_id 2**32": [(2**32, False, (), [])],
        "channel 256": [(IDS[0], False, (256,), [])], "channel None": [(IDS[0], False, (None,), [])],
        "mixed channels": [(IDS[0], False, (1,), []), (IDS[1], False, (), [])],
        "signal of 3": [(IDS[0], False, (), [(0, 8, False)])],
        "length 0": [(IDS[0], False, (), [(0, 0, *sig[2:])])],
        "length 65": [(IDS[0], False, (), [(0, 65, *sig[2:])])],
        "start -1": [(IDS[0], False, (), [(-1, 8, *sig[2:])])],
        "start 2**31-1": [(IDS[0], False, (), [(2**31 - 1, 8, *sig[2:])])],
        "mux out of range": [(IDS[0], False, (), [(*sig[:7], 3, (1,), False)])],
        "mux of itself": [(IDS[0], False, (), [(*sig[:7], 0, (1,), False)])],
        "mux cycle": [(IDS[0], False, (), [(*sig[:7], 1, (1,), False), (*sig[:7], 0, (1,), False)])],
        "float mux": [(IDS[0], False, (), [(0, 32, False, False, True, 1.0, 0.0, -1, (), False),
                                    (*sig[:7], 0, (1,), False)])],
        "mux ids not ints": [(IDS[0], False, (), [sig, (*sig[:7], 0, ("a",), False)])],
        "mux ids 2**64": [(IDS[0], False, (), [sig, (*sig[:7], 0, (2**64,), False)])],
        "scale str": [(IDS[0], False, (), [(*sig[:5], "1", *sig[6:])])],
        "codes on a float": [(IDS[0], False, (), [(0, 64, False, False, True, 1.0, 0.0, -1, (), True)])],
        "duplicate messages": [good[0], good[0]],
    }
    for name, plan in plans.items():
        case(f"_decode_tables {name}", lambda p=plan: k._decode_tables(IDX, CHUNK, p))
    for name, obj in bad_index_objects().items():
        case(f"_decode_tables index {name}", lambda o=obj: k._decode_tables(o, CHUNK, good),
             must_raise=WRONG)
    for name, obj in bad_chunk_objects().items():
        case(f"_decode_tables chunk {name}", lambda o=obj: k._decode_tables(IDX, o, good),
             must_raise=WRONG)
    for name, loc, length in bad_locs(len(CHUNK)):
        bad = with_record(PAIR, 3, loc, length, can_id=IDS[0])
        case(f"_decode_tables loc {name}", lambda b=bad: k._decode_tables(b[0], b[1], good),
             must_raise=ValueError)
    for threads in (0, -1, 1, 2, 2**40, None, "2", 1.5):
        case(f"_decode_tables threads {threads!r}",
             lambda t=threads: k._decode_tables(IDX, CHUNK, good, t))
    for name, view in valid_index_views().items():
        case(f"_decode_tables index {name}", lambda v=view: k._decode_tables(v, VIEW_CHUNK, good))

    import korvel

    for name, frames in {"None": None, "int": 3, "1-tuple": (IDX,), "dict": {0: IDX, 1: CHUNK},
                         "missing path": "/nonexistent.blf", "bytes stream": io.BytesIO(b"xx")}.items():
        case(f"decode frames {name}", lambda f=frames: korvel.decode(f, []),
             allowed=BASE + (IndexError, KeyError, OSError))
    for name, db in {"None": None, "int": 1, "dict str key": {"1": []}, "dict bool key": {True: []},
                     "dict channel 300": {300: []}, "list of ints": [1], "empty": []}.items():
        case(f"decode db {name}", lambda d=db: korvel.decode(PAIR, d))
    case("decode unknown message", lambda: korvel.decode(PAIR, [], messages=["x"]),
         allowed=BASE + (KeyError,), must_raise=KeyError)


def reading_cases():
    """The reading functions besides read's damaged logs: wrong files, piece
    sizes, container ranges and error modes."""
    blob = write_to_bytes(PAIR)
    n = len(k.info(io.BytesIO(blob))["containers"])
    text = io.TextIOWrapper(io.BytesIO(blob), encoding="latin-1")
    files = {"None": None, "int": 3, "bytes": blob, "list": [blob], "no read": object(),
             "text": text, "missing path": "/nonexistent/x.blf", "null in path": "a\0b",
             "directory": tempfile.gettempdir()}
    for name, f in files.items():
        for fn_name, fn in (("iter_read", lambda f: list(k.iter_read(f))), ("info", k.info),
                            ("read", k.read)):
            case(f"{fn_name} file {name}", lambda f=f, fn=fn: fn(f),
                 allowed=BASE + (OSError, AttributeError), must_raise=Exception)
    for frames in (0, -1, 1, 2**70, 1.5, "2", None, np.int64(3), True):
        case(f"iter_read frames {frames!r}",
             lambda x=frames: list(k.iter_read(io.BytesIO(blob), x, verbose=False)),
             want=lambda r: same_frames(k.concat(r), PAIR))
    for rng in ((0, n), (n, n), (0, 0), (1, 0), (0, n + 1), (-1, 1), (2**70, 2**71), (0,),
                (0, 1, 2), "ab", None, 5, (0.0, 1.0), (np.int64(0), np.int64(n))):
        case(f"read containers {rng!r}",
             lambda r=rng: k.read(io.BytesIO(blob), containers=r, verbose=False))
    for errors in ("raise", "skip", "Skip", "", None, 1, b"skip"):
        for fn_name, fn in (("read", k.read), ("iter_read", lambda *a, **kw: list(
                k.iter_read(*a, **kw)))):
            case(f"{fn_name} errors {errors!r}",
                 lambda e=errors, fn=fn: fn(io.BytesIO(blob), errors=e, verbose=False))


def all_cases():
    for build in (sig_values_cases, decoder_cases, flag_test_cases, type_cases, pad_cases,
                  to_homo_cases, to_index_chunk_cases, concat_cases, write_cases,
                  calendar_cases, dravum_util_cases, record_cases, loading_cases, query_cases,
                  table_cases, reading_cases, random_cases):
        build()
    return CASES


def cap_memory():
    # Far above what any case needs; an allocation past it is a finding.
    # (Not under AddressSanitizer: its shadow memory is terabytes of address
    # space, and it reports oversized allocations itself.)
    limit = 6 << 30
    if "libasan" not in os.environ.get("LD_PRELOAD", ""):
        try:
            resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
        except (ValueError, OSError):
            pass


def main():
    warnings.simplefilter("ignore")
    cap_memory()
    failures = 0
    cases = all_cases()
    for name, fn, allowed, want, must_raise in cases:
        print(f"CASE {name}", file=sys.stderr, flush=True)
        problem = None
        try:
            result = fn()
        except Exception as e:  # noqa: BLE001 - every kind is judged below
            if must_raise is not None and not isinstance(e, must_raise):
                problem = f"raised {type(e).__name__}: {e}, expected {must_raise}"
            elif not isinstance(e, allowed):
                problem = f"{type(e).__name__}: {e}"
        else:
            if must_raise is not None:
                problem = f"gave a result, expected {must_raise}"
            elif want is not None:
                try:
                    ok = want(result)
                except Exception as e:  # noqa: BLE001 - a result the check cannot read
                    ok = False
                    problem = f"wrong result ({type(e).__name__}: {e})"
                if not ok and problem is None:
                    problem = "wrong result"
        if problem:
            failures += 1
            print(f"FAIL {name}: {problem}"[:600], file=sys.stderr, flush=True)
    for f in OPENED:
        f.close()
    print(f"CASES {len(cases)} FAILURES {failures}", file=sys.stderr)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
