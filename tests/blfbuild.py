"""Builds BLF bytes from the format's tables, independently of the library.

Every layout is written with ``struct`` straight from the field tables, so the
tests check the reader against the format, not against its own code.
"""

from __future__ import annotations

import struct
import zlib

# Object types
CAN_MESSAGE = 1
CAN_ERROR = 2
LOG_CONTAINER = 10
CAN_ERROR_EXT = 73
CAN_MESSAGE2 = 86
CAN_FD_MESSAGE = 100
CAN_FD_MESSAGE_64 = 101
CAN_FD_ERROR_64 = 104

# FileHeader_t, first 72 bytes: signature, header_size, 8 version bytes,
# filesize, uncompressed_size, object_count, objects_read, two date records.
FILE_HEADER = struct.Struct("<4sI8BqqII8H8H")
OBJ_BASE = struct.Struct("<4sHHII")  # signature, header_size, version, object_size, type
OBJ_V1 = struct.Struct("<IHHQ")  # flags, client index, object version, timestamp
OBJ_V2 = struct.Struct("<IBBHQQ")  # flags, ts status, reserved, version, timestamp, orig ts
CONTAINER = struct.Struct("<H6xI4x")  # compression method, uncompressed size
CAN_MSG = struct.Struct("<HBBI8s")  # channel, flags, dlc, id, data
CAN_ERR_EXT = struct.Struct("<H8xB5xIH2x8s")  # channel, dlc, id, ext flags (0x20: received), data
CAN_FD_MSG = struct.Struct("<HBBI5xBB5x64s")  # channel, flags, dlc, id, fd_flags, valid, data
CAN_FD_MSG64 = struct.Struct("<BBBxI4xI18xB5x")  # channel, dlc, valid, id, flags, direction
CAN_ERR = struct.Struct("<HH")  # channel, length
# channel, dlc, valid, ecc, flags, error code ext, ext flags, ext data offset, id, frame
# length, two bit timings, BRS and CRC delimiter time offsets, crc, error position
CAN_FD_ERR64 = struct.Struct("<BBBBHHHBxIIIIIIIH2x")

ZERO_DATE = (0,) * 8


def file_header(
    object_count=0,
    start=ZERO_DATE,
    stop=ZERO_DATE,
    header_size=144,
    filesize=0,
    uncompressed_size=0,
):
    head = FILE_HEADER.pack(
        b"LOGG", header_size, 5, 0, 0, 0, 2, 6, 8, 1,
        filesize, uncompressed_size, object_count, 0, *start, *stop,
    )
    return head + bytes(max(header_size - 72, 0))


def obj(obj_type, body, timestamp=0, ts_flags=2, version=1, object_size=None):
    """One inner object with a version 1 or 2 header."""
    if version == 2:
        ext = OBJ_V2.pack(ts_flags, 0, 0, 0, timestamp, 0)
    else:
        ext = OBJ_V1.pack(ts_flags, 0, 0, timestamp)
    hsize = 16 + len(ext)
    size = hsize + len(body) if object_size is None else object_size
    return OBJ_BASE.pack(b"LOBJ", hsize, version, size, obj_type) + ext + body


def can_msg(can_id, data=b"", channel=1, flags=0, dlc=None, extended=False, obj_type=CAN_MESSAGE,
            extra=b"", **kw):
    ident = can_id | (0x80000000 if extended else 0)
    dlc = len(data) if dlc is None else dlc
    body = CAN_MSG.pack(channel, flags, dlc, ident, data.ljust(8, b"\0")) + extra
    return obj(obj_type, body, **kw)


def can_error(can_id, data=b"", channel=1, dlc=None, extended=False, flags_ext=0, **kw):
    ident = can_id | (0x80000000 if extended else 0)
    dlc = len(data) if dlc is None else dlc
    body = CAN_ERR_EXT.pack(channel, dlc, ident, flags_ext, data.ljust(8, b"\0"))
    return obj(CAN_ERROR_EXT, body, **kw)


def can_error_plain(channel=1, length=0, **kw):
    """CAN_ERROR: a channel and a length, nothing of the frame."""
    return obj(CAN_ERROR, CAN_ERR.pack(channel, length), **kw)


def can_fd_error64(can_id, data=b"", channel=1, dlc=None, valid=None, ext_flags=0x80,
                   extended=False, error_code_ext=0, **kw):
    ident = can_id | (0x80000000 if extended else 0)
    valid = len(data) if valid is None else valid
    dlc = fd_dlc(len(data)) if dlc is None else dlc
    body = CAN_FD_ERR64.pack(channel, dlc, valid, 0, 0, error_code_ext, ext_flags, 44, ident,
                             0, 0, 0, 0, 0, 0, 0) + data
    return obj(CAN_FD_ERROR_64, body, **kw)


def can_fd(can_id, data=b"", channel=1, flags=0, dlc=None, fd_flags=1, valid=None,
           extended=False, **kw):
    ident = can_id | (0x80000000 if extended else 0)
    valid = len(data) if valid is None else valid
    dlc = fd_dlc(len(data)) if dlc is None else dlc
    body = CAN_FD_MSG.pack(channel, flags, dlc, ident, fd_flags, valid, data.ljust(64, b"\0"))
    return obj(CAN_FD_MESSAGE, body, **kw)


def can_fd64(can_id, data=b"", channel=1, dlc=None, valid=None, flags=0x1000, direction=0,
             extended=False, **kw):
    ident = can_id | (0x80000000 if extended else 0)
    valid = len(data) if valid is None else valid
    dlc = fd_dlc(len(data)) if dlc is None else dlc
    body = CAN_FD_MSG64.pack(channel, dlc, valid, ident, flags, direction) + data
    return obj(CAN_FD_MESSAGE_64, body, **kw)


FD_LENGTHS = [0, 1, 2, 3, 4, 5, 6, 7, 8, 12, 16, 20, 24, 32, 48, 64]


def fd_dlc(n):
    return next(code for code, length in enumerate(FD_LENGTHS) if length >= n)


def top_object(obj_type, payload):
    """A top-level object followed by object_size mod 4 padding bytes."""
    size = 16 + len(payload)
    return OBJ_BASE.pack(b"LOBJ", 16, 1, size, obj_type) + payload + bytes(size % 4)


def container(data, method=2, uncompressed_size=None, level=-1):
    stored = zlib.compress(data, level) if method == 2 else data
    usize = len(data) if uncompressed_size is None else uncompressed_size
    return top_object(LOG_CONTAINER, CONTAINER.pack(method, usize) + stored)


def blf(objects=(), *, split=None, object_count=None, start=ZERO_DATE, method=2, **header):
    """A whole file: header plus containers holding the inner objects.

    ``split`` lists byte offsets of the joined inner stream at which a new
    container starts (objects and even headers may be cut).
    """
    stream = b"".join(objects)
    cuts = [0, *(split or []), len(stream)]
    body = b"".join(
        container(stream[a:b], method=method) for a, b in zip(cuts, cuts[1:]) if b > a
    )
    count = len(objects) if object_count is None else object_count
    return file_header(object_count=count, start=start, **header) + body
