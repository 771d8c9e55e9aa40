"""korvel transfers: the multi-packet messages of a log, one line each."""

from __future__ import annotations

import argparse
from typing import Any, Callable

import numpy as np

from .protocols import add_options, engine, id_list
from .session import SAMPLES, Damaged, Failure, Session

# Payload bytes shown per transfer.
SHOWN_BYTES = 8


def _rows(records: np.ndarray, payload: np.ndarray, start: int, protocol: str
          ) -> dict[str, list[Any]]:
    from ..j1939 import pgn
    from ..transfers import PROTOCOL_NAMES, STATUS_NAMES

    first = []
    for offset, received in zip(records["offset"].tolist(), records["received"].tolist()):
        shown = payload[offset:offset + min(received, SHOWN_BYTES)].tobytes().hex(" ")
        first.append(shown + (" ..." if received > SHOWN_BYTES else ""))
    if protocol == "j1939":
        what = {"pgn": [f"0x{p:05X}" for p in np.atleast_1d(pgn(records["can_id"])).tolist()]}
    else:
        what = {"id": [f"0x{i:03X}" if not f & 0x40 else f"0x{i:08X}"
                       for i, f in zip(records["can_id"].tolist(), records["flags"].tolist())]}
    return {
        "time": ((records["start"] - start) / 1e9).tolist(),
        "channel": records["channel"].tolist(),
        **what,
        "source": [f"0x{a:02X}" for a in records["source"].tolist()],
        "destination": [f"0x{a:02X}" for a in records["destination"].tolist()],
        "protocol": [PROTOCOL_NAMES.get(p, str(p)) for p in records["protocol"].tolist()],
        "size": records["size"].tolist(),
        "received": records["received"].tolist(),
        "status": [STATUS_NAMES.get(s, str(s)) for s in records["status"].tolist()],
        "data": first,
    }


def _write_csv(path: str, records: np.ndarray, payload: np.ndarray, rows: dict) -> None:
    """Every field as a number (times in ns), the whole payload in hex."""
    import csv

    full = [payload[o:o + n].tobytes().hex() for o, n in
            zip(records["offset"].tolist(), records["received"].tolist())]
    columns = {"start": records["start"].tolist(), "stop": records["stop"].tolist(),
               "channel": rows["channel"], "can_id": [f"0x{i:08X}" for i in
                                                      records["can_id"].tolist()],
               **({"pgn": rows["pgn"]} if "pgn" in rows else {}), "source": rows["source"],
               "destination": rows["destination"], "protocol": rows["protocol"],
               "size": rows["size"], "received": rows["received"], "status": rows["status"],
               "data": full}
    with open(path, "w", newline="", encoding="utf-8") as f:
        out = csv.writer(f)
        out.writerow(columns)
        out.writerows(zip(*columns.values()))


def run(args: argparse.Namespace, session: Session) -> None:
    from ..transfers import concat

    path = args.log
    if args.fast_packet and args.protocol != "j1939":
        raise Failure(None, "--fast-packet is for --protocol j1939")
    if args.ids is not None and args.protocol != "isotp":
        raise Failure(None, "--ids is for --protocol isotp")
    reassembler = engine(args.protocol, args.ids, args)
    parts = []
    first = None
    try:
        for index, chunk in session.read(path, args.piece_frames):
            if first is None and len(index):
                first = int(index["timestamp"][0])
            parts.append(reassembler.feed(index, chunk))
    except Damaged as e:
        session.damaged(e)
    parts.append(reassembler.finish())
    records, payload = concat(parts)
    header = session.header(path) if first is not None else {"start": 0}
    start = int(header["start"]) if int(header["start"]) > 0 else (first or 0)
    rows = _rows(records, payload, start, args.protocol)
    if args.output is not None:
        try:
            _write_csv(args.output, records, payload, rows)
        except OSError as e:
            raise Failure(args.output, e.strerror or str(e)) from None
        if not args.quiet:
            print(f"{len(records)} transfers -> {args.output}")
        return
    if not len(records):
        if not args.quiet:
            print("no transfers")
        return
    names = list(rows)
    text = [[f"{v:.6f}" if n == "time" else str(v) for v in rows[n]] for n in names]
    widths = [max(len(n), *(len(v) for v in col)) for n, col in zip(names, text)]
    left = {"protocol", "status", "data"}

    def cell(n: str, v: str, w: int) -> str:
        return v.ljust(w) if n in left else v.rjust(w)
    print("  ".join(cell(n, n, w) for n, w in zip(names, widths)).rstrip())
    for i in range(len(records)):
        print("  ".join(cell(n, col[i], w) for n, col, w in zip(names, text, widths)).rstrip())


EXAMPLE = """examples:
  korvel transfers truck.blf --protocol j1939
  korvel transfers boat.blf --protocol j1939 --fast-packet 0x1F805,0x1F201 -o transfers.csv
  korvel transfers service.blf --protocol isotp --ids 0x7E0-0x7EF,0x18DAF110

time: seconds from the log's start to the transfer's first frame. status: complete,
aborted, gap (a packet missing), interrupted (announced again before the end) or
cut (the log ended first).

""" + SAMPLES


def register(command: Callable[..., argparse.ArgumentParser]) -> None:
    p = command("transfers", "List the multi-frame messages of a log (J1939 transport "
                "protocol and NMEA 2000 fast packets, or ISO-TP): time, channel, PGN or "
                "identifier, source, destination, size, status and the first bytes.",
                ["common", "pieces", "errors"], EXAMPLE)
    p.add_argument("log", metavar="LOG")
    p.add_argument("--protocol", choices=("j1939", "isotp"), required=True,
                   help="the protocol to reassemble")
    p.add_argument("--ids", type=id_list, metavar="ID,...",
                   help="isotp: the identifiers that carry it, ID and LOW-HIGH items "
                   "(default: 0x7DF, 0x7E0-0x7EF, 0x18DAxxxx, 0x18DBxxxx)")
    add_options(p)
    p.add_argument("-o", "--output", metavar="FILE",
                   help="write CSV to FILE (times in ns, whole payloads in hex) instead of "
                   "the table")
    p.set_defaults(run=run)

