"""Transfers pairs: messages that travelled in several frames, reassembled.

A transfers pair ``(records, payload)`` is to protocol messages what a frames
pair is to frames: one ``TRANSFER`` record per message (or broken attempt at
one) and its bytes in ``payload`` at ``offset`` (``received`` bytes), records
in order of ``start``. korvel.j1939.transfers and korvel.isotp.transfers make
them; korvel.decode decodes their complete transfers.
"""

from __future__ import annotations

from typing import Any

import numpy as np

from . import korvel as _k

__all__ = [
    "ABORTED",
    "BAM",
    "CMDT",
    "COMPLETE",
    "CUT",
    "ETP",
    "FAST_PACKET",
    "GAP",
    "INTERRUPTED",
    "ISOTP_MULTI",
    "ISOTP_SINGLE",
    "PROTOCOL_NAMES",
    "STATUS_NAMES",
    "TRANSFER",
    "as_frames",
    "concat",
    "payloads",
    "reassemble",
]

#: start, stop (int64 ns), can_id (uint32), channel, flags, protocol, status,
#: source, destination (uint8), size, received (uint32), offset (uint64).
TRANSFER: np.dtype = _k._TRANSFER

# status: how the transfer ended.
COMPLETE = 0  # every byte, and the end the protocol asks for
ABORTED = 1  # a connection abort ended it
GAP = 2  # a packet went missing (or broke the protocol)
INTERRUPTED = 3  # a new announcement for the same session came first
CUT = 4  # the log ended first

# protocol: what carried it.
BAM = 1  # J1939 broadcast announce
CMDT = 2  # J1939 RTS/CTS connection
ETP = 3  # J1939 extended transport protocol
FAST_PACKET = 4  # NMEA 2000 fast packet
ISOTP_SINGLE = 5
ISOTP_MULTI = 6

STATUS_NAMES = {COMPLETE: "complete", ABORTED: "aborted", GAP: "gap",
                INTERRUPTED: "interrupted", CUT: "cut"}
PROTOCOL_NAMES = {BAM: "BAM", CMDT: "CMDT", ETP: "ETP", FAST_PACKET: "fast-packet",
                  ISOTP_SINGLE: "ISO-TP-single", ISOTP_MULTI: "ISO-TP-multi"}


def _check(transfers: Any) -> tuple[np.ndarray, np.ndarray]:
    records, payload = transfers[0], transfers[1]
    if getattr(records, "dtype", None) != TRANSFER:
        raise TypeError("expected a transfers pair (TRANSFER records, uint8 payload)")
    return records, np.asarray(payload, np.uint8)


def payloads(transfers: Any) -> list[bytes]:
    """Each transfer's bytes (the received ones), in record order."""
    records, payload = _check(transfers)
    ends = records["offset"] + records["received"]
    return [payload[a:b].tobytes() for a, b in zip(records["offset"].tolist(), ends.tolist())]


def as_frames(transfers: Any) -> tuple[np.ndarray, np.ndarray]:
    """The complete transfers as a frames pair: one DT record each, timed by
    its last frame (``stop``), in time order, its payload the whole message
    (the payload array is shared). Broken transfers are left out."""
    records, payload = _check(transfers)
    done = records[records["status"] == COMPLETE]
    done = done[np.argsort(done["stop"], kind="stable")]
    index = np.zeros(len(done), _k.DT)
    index["timestamp"] = done["stop"]
    index["can_id"] = done["can_id"]
    index["channel"] = done["channel"]
    index["flags"] = done["flags"]
    index["is64"] = (done["flags"] & 0x08) != 0
    index["len"] = np.minimum(done["size"], 255)
    # A payload locator counts 16 bits of bytes; no DBC message is longer.
    count = np.minimum(done["received"].astype(np.uint64), 0xFFFF)
    index["loc"] = done["offset"] | (count << np.uint64(48))
    return index, payload


def concat(parts: Any) -> tuple[np.ndarray, np.ndarray]:
    """Transfers found piece by piece, as one transfers pair: ``parts`` holds
    (records, payload, first_frames) triples, first_frames numbering each
    transfer's first frame in the whole log. Records come in order of start,
    ties in log order, and the payload follows them."""
    parts = [p for p in parts if len(p[0])]
    if len(parts) == 1:  # each part comes ordered
        return parts[0][0], parts[0][1]
    records = np.concatenate([p[0] for p in parts]) if parts else np.empty(0, TRANSFER)
    sizes = [len(p[1]) for p in parts]
    if len(parts) > 1:
        base = np.repeat(np.cumsum([0, *sizes[:-1]]).astype(np.uint64), [len(p[0]) for p in parts])
        records["offset"] += base
    payload = np.concatenate([p[1] for p in parts]) if parts else np.empty(0, np.uint8)
    first = np.concatenate([p[2] for p in parts]) if parts else np.empty(0, np.uint64)
    order = np.lexsort((first, records["start"]))
    if np.array_equal(order, np.arange(len(order))):
        return records, payload
    records = records[order]
    lengths = records["received"].astype(np.int64)
    starts = records["offset"].astype(np.int64)
    new_starts = np.cumsum(lengths) - lengths
    # Byte k of the new payload comes from its transfer's old place.
    gather = np.repeat(starts - new_starts, lengths) + np.arange(int(lengths.sum()))
    records["offset"] = new_starts.astype(np.uint64)
    return records, payload[gather]


def reassemble(engine: Any, frames: Any, piece_frames: int) -> tuple[np.ndarray, np.ndarray]:
    """A native reassembler's transfers pair over `frames`: a frames pair, or a
    path or binary stream read quietly in pieces of `piece_frames` (open
    sessions carry over, so memory stays bounded however long the log)."""
    from ._logs import frames_of, is_source, iter_log

    if is_source(frames):
        parts = [engine.feed(index, chunk)
                 for index, chunk in iter_log(frames, piece_frames, verbose=False)]
    else:
        parts = [engine.feed(*frames_of(frames))]
    parts.append(engine.finish())
    return concat(parts)
