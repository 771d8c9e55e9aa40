"""korvel decode: every signal of the databases into one file per message."""

from __future__ import annotations

import argparse
import os
from typing import Any, Callable

import numpy as np

from .databases import DBC_HELP, dbc_arg, plan_of
from .session import Damaged, Failure, Session, exc_text, need


def run(args: argparse.Namespace, session: Session) -> None:
    from ..tables import decode

    pa = need("pyarrow", "cli")
    if args.format == "parquet":
        writer_of = need("pyarrow.parquet", "cli").ParquetWriter
    else:
        writer_of = need("pyarrow.csv", "cli").CSVWriter
    messages = [n for group in args.messages for n in group] if args.messages else None
    plan = plan_of(args.dbc, messages)
    try:
        os.makedirs(args.output, exist_ok=True)
    except OSError as e:
        raise Failure(args.output, e.strerror or exc_text(e)) from None

    several = len(args.logs) > 1
    writers: dict[str, tuple[Any, Any]] = {}  # message -> (writer, schema)
    rows: dict[str, int] = {}
    try:
        for path in args.logs:
            log_name = pa.array([path])
            try:
                for piece in session.read(path, args.piece_frames):
                    tables = decode(piece, plan, choices=args.choices, threads=args.threads)
                    for name, table in tables.items():
                        out = table.to_arrow()
                        if several:
                            codes = pa.array(np.zeros(out.num_rows, np.int32))
                            out = out.add_column(
                                0, "log", pa.DictionaryArray.from_arrays(codes, log_name)
                            )
                        if name not in writers:
                            target = os.path.join(args.output, f"{name}.{args.format}")
                            writers[name] = (writer_of(target, out.schema), out.schema)
                            rows[name] = 0
                        writer, schema = writers[name]
                        if not out.schema.equals(schema):
                            out = out.cast(schema)
                        # One row group (or CSV batch) per piece: nothing piles up.
                        writer.write_table(out)
                        rows[name] += out.num_rows
            except Damaged as e:
                session.damaged(e)
    finally:
        for writer, _ in writers.values():
            writer.close()

    if not writers:
        session.say("no frame of the logs belongs to a message of the databases")
    elif not args.quiet:
        width = max(map(len, rows))
        for name, n in rows.items():
            target = os.path.join(args.output, f"{name}.{args.format}")
            print(f"{name:<{width}}  {n:>9} rows  {target}")


EXAMPLE = """example:
  korvel decode examples/data/drive.blf --dbc examples/data/vehicle.dbc -o tables/
  korvel decode day1/*.blf --dbc pt.dbc --dbc 2:body.dbc --messages EngineData,Doors \\
      --choices --format csv -o tables/"""


def names_arg(text: str) -> list[str]:
    return [n.strip() for n in text.split(",") if n.strip()]


def register(command: Callable[..., argparse.ArgumentParser]) -> None:
    p = command("decode", "Decode every signal of the databases into one file per message.",
                ["common", "several", "pieces"], EXAMPLE)
    p.add_argument("logs", nargs="+", metavar="LOG")
    p.add_argument("--dbc", type=dbc_arg, action="append", required=True, metavar="[CH:]DB",
                   help=DBC_HELP)
    p.add_argument("--messages", type=names_arg, action="append", metavar="NAME,...",
                   help="only these messages")
    p.add_argument("--choices", action="store_true",
                   help="value-table signals as their labels instead of numbers")
    p.add_argument("-o", "--output", required=True, metavar="OUT",
                   help="directory for <Message>.parquet or <Message>.csv "
                   "(several logs share the files, told apart by a 'log' column)")
    p.add_argument("--format", choices=("parquet", "csv"), default="parquet")
    p.set_defaults(run=run)
