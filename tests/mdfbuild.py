"""Builds small MF4 bus logs of any layout for the tests: one data group of
CAN channel groups, sorted or with record ids, records in DT blocks, a DL
list, an LD list or DZ blocks, fields with conversions."""

from __future__ import annotations

import struct
import zlib
from dataclasses import dataclass, field


@dataclass
class Field:
    name: str  # "ID", "DataBytes", ...
    byte: int
    bit: int
    bits: int
    data_type: int = 0  # 0 uint LE, 2 int LE, 4 float LE, 10 bytes
    cn_type: int = 0  # 0 fixed, 6 virtual (no bits)
    conversion: tuple | None = None  # (cc type, values) or (7, {value: text})


@dataclass
class Group:
    fields: list[Field]
    record_size: int
    records: list[bytes]
    record_id: int = 0
    kind: str = "CAN_DataFrame"
    bus: int = 2  # SI bus type: 2 CAN, 3 LIN, 7 Ethernet
    master: Field = field(default_factory=lambda: Field("Timestamp", 0, 0, 64, 0, 2,
                                                        (1, (0.0, 1e-9))))


class _File:
    def __init__(self):
        self.b = bytearray(64)
        self.b[:8] = b"MDF     "
        self.b[8:16] = b"4.20    "
        struct.pack_into("<H", self.b, 28, 420)

    def block(self, kind: str, links: int, data: bytes) -> int:
        at = len(self.b)
        length = 24 + 8 * links + len(data)
        self.b += b"##" + kind.encode() + bytes(4) + struct.pack("<QQ", length, links)
        self.b += bytes(8 * links) + data
        self.b += bytes(-len(self.b) % 8)
        return at

    def link(self, at: int, i: int, to: int) -> None:
        struct.pack_into("<Q", self.b, at + 24 + 8 * i, to)

    def text(self, s: str) -> int:
        return self.block("TX", 0, s.encode() + b"\0")

    def conversion(self, conv: tuple) -> int:
        kind, values = conv
        if kind == 7:  # value to text: a value per text, then the default
            texts = [self.text(t) for t in values.values()]
            at = self.block("CC", 4 + len(texts) + 1, struct.pack(
                "<BBHHHdd", 7, 0, 0, len(texts) + 1, len(texts), 0, 0)
                + struct.pack(f"<{len(values)}d", *values.keys()))
            for i, t in enumerate(texts):
                self.link(at, 4 + i, t)
            return at
        return self.block("CC", 4, struct.pack("<BBHHHdd", kind, 0, 0, 0, len(values), 0, 0)
                          + struct.pack(f"<{len(values)}d", *values))

    def channel(self, name: str, f: Field) -> int:
        data = struct.pack("<BBBBIIIIBBH", f.cn_type, 1 if f.cn_type == 2 else 0, f.data_type,
                           f.bit, f.byte, f.bits, 0, 0, 0, 0, 0) + bytes(48)
        at = self.block("CN", 8, data)
        self.link(at, 2, self.text(name))
        if f.conversion:
            self.link(at, 4, self.conversion(f.conversion))
        return at


def build(groups: list[Group], *, rec_id_size: int = 0, data: str = "DT",
          start_ns: int = 1_700_000_000_000_000_000, time_flags: int = 2,
          piece: int = 50) -> bytes:
    """data: "DT" (one block), "DL" (DT blocks of `piece` bytes, equal
    length), "DLO" (the same listed by offsets), "LD", "DZ" (deflate) or
    "DZT" (transposed; sorted groups only), "HL" (DZ blocks under HL/DL)."""
    f = _File()
    hd = f.block("HD", 6, struct.pack("<QhhBBBBdd", start_ns, 60, 0, time_flags, 0, 0, 0, 0, 0))
    dg = f.block("DG", 4, struct.pack("<B7x", rec_id_size))
    f.link(hd, 0, dg)
    prev = None
    stream = bytearray()
    for g in groups:
        cg = f.block("CG", 6, struct.pack("<QQHHIII", g.record_id, len(g.records), 0x6, 0x2E, 0,
                                          g.record_size, 0))
        f.link(dg if prev is None else prev, 1 if prev is None else 0, cg)
        prev = cg
        f.link(cg, 2, f.text(g.kind))
        si = f.block("SI", 3, struct.pack("<BBB5x", 2, g.bus, 0))
        f.link(cg, 3, si)
        master = f.channel("Timestamp", g.master)
        f.link(cg, 1, master)
        frame = f.channel(g.kind, Field(g.kind, 8, 0, (g.record_size - 8) * 8, 10))
        f.link(master, 0, frame)
        last = None
        for fl in g.fields:
            c = f.channel(f"{g.kind}.{fl.name}", fl)
            f.link(frame if last is None else last, 1 if last is None else 0, c)
            last = c
    # Records in file order: interleaved by the callers' order of `records`.
    order = sorted(((i, k, r) for k, g in enumerate(groups) for i, r in enumerate(g.records)),
                   key=lambda x: (x[0], x[1]))
    for _, k, r in order:
        stream += groups[k].record_id.to_bytes(rec_id_size, "little") if rec_id_size else b""
        stream += r
    f.link(dg, 2, _data(f, bytes(stream), data, piece, groups[0].record_size))
    return bytes(f.b)


def _dz(f: _File, chunk: bytes, transpose: int = 0) -> int:
    if transpose:
        rows = len(chunk) // transpose
        body = bytes(chunk[r * transpose + c] for c in range(transpose) for r in range(rows))
        chunk = body + chunk[rows * transpose:]
    z = zlib.compress(chunk)
    return f.block("DZ", 0, b"DT" + bytes([1 if transpose else 0, 0])
                   + struct.pack("<IQQ", transpose, len(chunk), len(z)) + z)


def _data(f: _File, stream: bytes, how: str, piece: int, record: int) -> int:
    if how == "DT":
        return f.block("DT", 0, stream)
    if how in ("DZ", "DZT"):
        return _dz(f, stream, record if how == "DZT" else 0)
    chunks = [stream[i:i + piece] for i in range(0, len(stream), piece)]
    if how == "LD":
        blocks = [f.block("DT", 0, c) for c in chunks]
        ld = f.block("LD", 1 + len(blocks), struct.pack("<II", 0, len(blocks))
                     + bytes(8 * len(blocks)))
        for i, b in enumerate(blocks):
            f.link(ld, 1 + i, b)
        return ld
    blocks = [_dz(f, c) if how == "HL" else f.block("DT", 0, c) for c in chunks]
    if how == "DLO":
        tail = struct.pack(f"<{len(blocks)}Q", *range(0, len(stream), piece))
        dl = f.block("DL", 1 + len(blocks), struct.pack("<B3xI", 0, len(blocks)) + tail)
    else:
        dl = f.block("DL", 1 + len(blocks), struct.pack("<B3xIQ", 1, len(blocks), piece))
    for i, b in enumerate(blocks):
        f.link(dl, 1 + i, b)
    if how == "HL":
        hl = f.block("HL", 1, struct.pack("<HB5x", 1, 0))
        f.link(hl, 0, dl)
        return hl
    return dl
