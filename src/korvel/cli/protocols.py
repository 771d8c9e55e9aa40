"""--transport and --protocol: which reassembler reads a log's multi-frame
messages, made fresh for each log."""

from __future__ import annotations

import argparse
from typing import Any

import numpy as np

from .. import korvel as _k


def number(text: str) -> int:
    try:
        return int(text.strip(), 0)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None


def pgn_list(text: str) -> list[int]:
    """PGN,... in decimal or 0x hexadecimal."""
    out = []
    for item in filter(None, (i.strip() for i in text.split(","))):
        pgn = number(item)
        if not 0 <= pgn <= 0x3FFFF:
            raise argparse.ArgumentTypeError(f"PGN {item} is outside 0..0x3FFFF")
        out.append(pgn)
    return out


def id_list(text: str) -> list[Any]:
    """ID,... and LOW-HIGH ranges, decimal or 0x hexadecimal, as korvel.isotp takes them."""
    from ..isotp import id_ranges

    out: list[Any] = []
    for item in filter(None, (i.strip() for i in text.split(","))):
        low, dash, high = item.partition("-")
        out.append((number(low), number(high)) if dash else number(item))
    try:
        id_ranges(out)
    except (TypeError, ValueError) as e:
        raise argparse.ArgumentTypeError(str(e)) from None
    return out


def transport_arg(text: str) -> tuple[str, list[Any] | None]:
    """j1939, isotp or isotp:IDS."""
    name, colon, ids = text.partition(":")
    if name == "j1939" and not colon:
        return name, None
    if name == "isotp":
        return name, id_list(ids) if colon else None
    raise argparse.ArgumentTypeError(f"expected j1939, isotp or isotp:IDS, got {text!r}")


def add_options(p: argparse.ArgumentParser) -> None:
    p.add_argument("--fast-packet", type=pgn_list, metavar="PGN,...",
                   help="j1939: PGNs sent as NMEA 2000 fast packets (decimal or 0x hexadecimal)")
    p.add_argument("--addressing", choices=("normal", "extended", "mixed"), default="normal",
                   help="isotp: normal (default), extended (byte 0 the target address) or "
                   "mixed (byte 0 the address extension)")


def engine(protocol: str, ids: list[Any] | None, args: argparse.Namespace) -> Any:
    """A native reassembler fed a log's frames piece by piece."""
    if protocol == "j1939":
        return _k._J1939Transfers(args.fast_packet or [], None)
    from ..isotp import engine as isotp_engine

    return isotp_engine(ids, args.addressing)


def carriers(index: np.ndarray, protocol: str, ids: list[Any] | None,
             args: argparse.Namespace) -> np.ndarray:
    """The data frames that carry the protocol under the identifier of the
    messages they build (ISO-TP frames, NMEA 2000 fast packets): decoded as
    frames they would give made-up values, so their transfers stand in for
    them. J1939 transport frames have identifiers of their own and stay."""
    flags = index["flags"]
    data = (flags & 0x30) == 0
    extended = (flags & 0x40) != 0
    can_id = index["can_id"] & np.uint32(0x1FFFFFFF)
    if protocol == "j1939":
        if not args.fast_packet:
            return np.zeros(len(index), bool)
        from ..j1939 import pgn

        return data & extended & np.isin(pgn(can_id), args.fast_packet)
    from ..isotp import id_ranges

    ranges = id_ranges(ids) or [(0x7DF, 0x7EF, 1, False), (0x18DA0000, 0x18DBFFFF, 1, True)]
    hit = np.zeros(len(index), bool)
    for lo, hi, step, ext in ranges:
        inside = (extended == ext) & (can_id >= lo) & (can_id <= hi)
        if step > 1:
            inside &= (can_id - np.uint32(lo)) % np.uint32(step) == 0
        hit |= inside
    return data & hit
