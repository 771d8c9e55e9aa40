"""korvel decode: every signal of the databases into one file per message."""

from __future__ import annotations

import argparse
import os
import sys
from typing import Any, Callable

import numpy as np

from .databases import DBC_HELP, dbc_arg, plan_of
from .protocols import add_options, carriers, engine, transport_arg
from .session import (
    PROG,
    SAMPLES,
    Damaged,
    Failure,
    Session,
    exc_text,
    j1939_mode,
    need,
    readable,
)
from .times import duration


class _Files:
    """One <Message>.<format> file per message in the output directory, each piece
    a row group (or CSV batch) of its own, so nothing piles up."""

    def __init__(self, directory: str, fmt: str):
        self.directory, self.fmt = directory, fmt
        mod = need("pyarrow.parquet" if fmt == "parquet" else "pyarrow.csv", "cli")
        self.writer_of = mod.ParquetWriter if fmt == "parquet" else mod.CSVWriter
        self.open: dict[str, tuple[Any, Any, Any]] = {}  # message -> (file, writer, schema)
        self.rows: dict[str, int] = {}

    def target(self, name: str) -> str:
        return os.path.join(self.directory, f"{name}.{self.fmt}")

    def add(self, tables: dict[str, Any]) -> None:
        for name, out in tables.items():
            if name not in self.open:
                # Opened here: any name the file system takes, as bytes or not.
                f = open(self.target(name), "wb")  # noqa: SIM115 - closed in close()
                self.open[name] = (f, self.writer_of(f, out.schema), out.schema)
                self.rows[name] = 0
            _, writer, schema = self.open[name]
            writer.write_table(out if out.schema.equals(schema) else out.cast(schema))
            self.rows[name] += out.num_rows

    def close(self) -> None:
        for f, writer, _ in self.open.values():
            writer.close()
            f.close()


class _Stdout:
    """CSV on standard output: one message's table as it is; several messages'
    rows in time order with the columns message, timestamp, channel and every
    signal of the selection (empty where a message has no such signal)."""

    def __init__(self, plan: Any, choices: bool, several_logs: bool):
        self.pa = need("pyarrow", "cli")
        self.csv = need("pyarrow.csv", "cli")
        self.compute = need("pyarrow.compute", "cli")
        self.merged = len(plan.messages) > 1
        self.writer: Any = None
        self.schema: Any = None
        self.rows: dict[str, int] = {}
        pa = self.pa
        # A column is text where any selected message labels that signal.
        kinds: dict[str, Any] = {}
        for m in plan.messages:
            for sig in m.signals:
                labelled = choices and bool(sig.choices) and not sig.is_float
                if labelled or sig.name not in kinds:
                    kinds[sig.name] = pa.string() if labelled else pa.float64()
        head = [("log", pa.string())] if several_logs else []
        addresses = dict.fromkeys(a for m in plan.messages for a in m.address_columns())
        self.columns = [*head, ("message", pa.string()), ("timestamp", pa.int64()),
                        ("channel", pa.uint8()), *((a, pa.uint8()) for a in addresses),
                        *kinds.items()]

    def add(self, tables: dict[str, Any]) -> None:
        pa = self.pa
        for name, out in tables.items():
            self.rows[name] = self.rows.get(name, 0) + out.num_rows
        if not tables:
            return
        if not self.merged:
            (out,) = tables.values()
            self._write(out)
            return
        parts = []
        for name, out in tables.items():
            n = out.num_rows
            arrays = []
            for col, kind in self.columns:
                if col == "message":
                    arrays.append(pa.array([name] * n, pa.string()))
                elif col in out.column_names:
                    a = out.column(col).combine_chunks()
                    if pa.types.is_dictionary(a.type):
                        a = a.dictionary_decode()
                    arrays.append(a.cast(kind))
                else:
                    arrays.append(pa.nulls(n, kind))
            parts.append(pa.Table.from_arrays(arrays, schema=pa.schema(self.columns)))
        merged = pa.concat_tables(parts)
        order = self.compute.sort_indices(merged, sort_keys=[("timestamp", "ascending")])
        self._write(merged.take(order))

    def _write(self, table: Any) -> None:
        if self.writer is None:
            self.schema = table.schema
            self.writer = self.csv.CSVWriter(sys.stdout.buffer, self.schema)
        self.writer.write_table(table if table.schema.equals(self.schema) else
                                table.cast(self.schema))

    def close(self) -> None:
        if self.writer is not None:
            self.writer.close()
        sys.stdout.flush()


def _nothing_decoded(args: argparse.Namespace, plan: Any, channels: set[int],
                     messages: list[str] | None) -> str:
    """Why no row was written, in one line."""
    have = ", ".join(map(str, sorted(channels))) or "none"
    for channel, path in args.dbc:
        if channel is not None and channel not in channels:
            return (f"channel {channel} of --dbc {channel}:{path} is not in the logs "
                    f"(their channels: {have})")
    if messages:
        names = ", ".join(m.name for m in plan.messages)
        return f"no frame of the logs belongs to the messages {names}"
    return "no frame of the logs belongs to a message of the databases"


def _with_transfers(piece: Any, engine: Any, carried: np.ndarray,
                    payload_offset: int = 0) -> tuple[np.ndarray, np.ndarray]:
    """A piece's frames, without those that carry transfers under their
    messages' identifiers, and the complete transfers that ended in it (one
    frame each, timed by its last frame, with `payload_offset` zero bytes in
    front of its payload), in time order."""
    from ..tables import shift_payloads
    from ..transfers import as_frames

    records, payload, _ = engine.feed(piece[0], piece[1])
    extra, extra_chunk = as_frames((records, payload))
    if payload_offset:
        extra, extra_chunk = shift_payloads(extra, extra_chunk, payload_offset)
    kept = piece[0][~carried] if carried.any() else piece[0]
    if not len(extra):
        return kept, piece[1]
    extra["loc"] += np.uint64(len(piece[1]))  # the offsets, past the piece's payload
    index = np.concatenate([kept, extra])
    order = np.argsort(index["timestamp"], kind="stable")
    return index[order], np.concatenate([piece[1], extra_chunk])


def _check_grid(step: int, pieces: list[Any]) -> None:
    """--align STEP over the logs' span: a usage error (one line, exit status 2)
    where the grid would pass ALIGN_MAX_INSTANTS, before anything is decoded."""
    from ..tables import ALIGN_MAX_INSTANTS

    times = [p[0]["timestamp"] for p in pieces if len(p[0])]
    if not times:
        return
    lo, hi = min(int(t.min()) for t in times), max(int(t.max()) for t in times)
    instants = (hi - lo) // step + 1
    if instants > ALIGN_MAX_INSTANTS:
        least = -(-(hi - lo) // (ALIGN_MAX_INSTANTS - 1))
        print(f"{PROG} decode: error: argument --align: a step of {step} ns over the logs' "
              f"{(hi - lo) / 1e9:.6g} s makes {instants:,} instants, more than "
              f"{ALIGN_MAX_INSTANTS:,}: give a step of at least {least} ns", file=sys.stderr)
        raise SystemExit(2)


def _run_aligned(args: argparse.Namespace, session: Session, plan: Any, j1939: Any,
                 messages: list[str] | None) -> None:
    """--align / --align-on: the logs' frames joined and decoded at once, then
    every signal on one time axis, as one table."""
    from .. import korvel as kv
    from ..tables import _split_sender, decode

    need("pyarrow", "cli")  # before a long read
    joined = []
    channels: set[int] = set()
    for path in args.logs:
        try:
            (frames,) = session.read(path, None)
        except Damaged as e:
            session.damaged(e)
            continue
        channels.update(np.unique(frames[0]["channel"]).tolist())
        if args.transport:
            carried = carriers(frames[0], *args.transport, args)
            frames = _with_transfers(frames, engine(*args.transport, args), carried,
                                     args.payload_offset)
        joined.append(frames)
    if not joined:
        return  # every log failed, each with its line
    if args.align is not None:
        _check_grid(args.align, joined)
    frames = joined[0] if len(joined) == 1 else kv.concat(joined)
    tables = decode(frames, plan, choices=args.choices, threads=args.threads, j1939=j1939,
                    j1939_na=args.j1939_na)
    if not len(tables):
        raise Failure(None, _nothing_decoded(args, plan, channels, messages))
    on = _split_sender(args.align_on)[0] if args.align_on is not None else None
    if on is not None and on not in tables:
        known = {m.name for m in plan.messages}
        why = "has no frames in the logs" if on in known else "is no message of the databases"
        raise Failure(None, f"--align-on {args.align_on}: {why}")
    if args.align_on is not None:
        try:
            tables._sender_of(args.align_on, {}, "--align-on")
        except ValueError as e:  # a sender the message does not have
            raise Failure(None, str(e)) from None
    aligned = tables.align(step=args.align, on=args.align_on, method=args.align_method,
                           timeout=args.align_timeout).to_arrow()
    if args.output == "-":
        csv = need("pyarrow.csv", "cli")
        csv.write_csv(aligned, sys.stdout.buffer)
        sys.stdout.flush()
        return
    fmt = args.format or "parquet"
    target = os.path.join(args.output, f"aligned.{fmt}")
    if fmt == "parquet":
        need("pyarrow.parquet", "cli").write_table(aligned, target)
    else:
        need("pyarrow.csv", "cli").write_csv(aligned, target)
    if not args.quiet:
        print(f"aligned  {aligned.num_rows} rows, {aligned.num_columns - 1} signals  {target}")


def run(args: argparse.Namespace, session: Session) -> None:
    from ..tables import decode

    pa = need("pyarrow", "cli")
    to_stdout = args.output == "-"
    if to_stdout and args.format == "parquet":
        raise Failure(None, "Parquet cannot go to standard output: use --format csv, or -o DIR")
    if args.fast_packet and (args.transport or ("",))[0] != "j1939":
        raise Failure(None, "--fast-packet needs --transport j1939")
    if args.payload_offset and not args.transport:
        raise Failure(None, "--payload-offset needs --transport")
    messages = [n for group in args.messages for n in group] if args.messages else None
    j1939 = j1939_mode(args)
    plan = plan_of(args.dbc, messages).matching(j1939)
    if (args.align_method != "hold" or args.align_timeout) and not (args.align or args.align_on):
        raise Failure(None, "--align-method and --align-timeout need --align or --align-on")
    if not to_stdout:
        try:
            os.makedirs(args.output, exist_ok=True)
        except OSError as e:
            raise Failure(args.output, e.strerror or exc_text(e)) from None
    if args.align or args.align_on:
        _run_aligned(args, session, plan, j1939, messages)
        return
    several = len(args.logs) > 1
    if to_stdout:
        sink: Any = _Stdout(plan, args.choices, several)
    else:
        sink = _Files(args.output, args.format or "parquet")

    channels: set[int] = set()
    read_any = False
    try:
        for path in args.logs:
            log_name = pa.array([readable(path)])
            # Sessions carry over from piece to piece, not from log to log.
            reassembler = engine(*args.transport, args) if args.transport else None
            try:
                for piece in session.read(path, args.piece_frames):
                    read_any = True
                    channels.update(np.unique(piece[0]["channel"]).tolist())
                    if reassembler is not None:
                        carried = carriers(piece[0], *args.transport, args)
                        piece = _with_transfers(piece, reassembler, carried,
                                                args.payload_offset)
                    tables = {}
                    for name, table in decode(piece, plan, choices=args.choices,
                                              threads=args.threads, j1939=j1939,
                                              j1939_na=args.j1939_na).items():
                        out = table.to_arrow()
                        if several:
                            codes = pa.array(np.zeros(out.num_rows, np.int32))
                            out = out.add_column(
                                0, "log", pa.DictionaryArray.from_arrays(codes, log_name)
                            )
                        tables[name] = out
                    sink.add(tables)
            except Damaged as e:
                session.damaged(e)
    finally:
        sink.close()

    if not any(sink.rows.values()):
        if read_any:
            raise Failure(None, _nothing_decoded(args, plan, channels, messages))
        return  # every log failed, each with its line
    if not args.quiet and not to_stdout:
        width = max(map(len, sink.rows))
        for name, n in sink.rows.items():
            print(f"{name:<{width}}  {n:>9} rows  {sink.target(name)}")


EXAMPLE = """examples:
  korvel decode drive.blf --dbc vehicle.dbc -o tables/
  korvel decode drive.blf --dbc vehicle.dbc --messages EngineData,Transmission \\
      --choices -o - | head
  korvel decode day1/*.blf --dbc pt.dbc --dbc 2:body.dbc --format csv -o tables/
  korvel decode drive.blf --dbc vehicle.dbc --align 10ms -o tables/

""" + SAMPLES


def _offset(text: str) -> int:
    try:
        n = int(text, 0)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number of bytes: {text!r}") from None
    if not 0 <= n <= 0xFFFF:
        raise argparse.ArgumentTypeError(f"must be 0 to 65535 (got {n})")
    return n


def names_arg(text: str) -> list[str]:
    return [n.strip() for n in text.split(",") if n.strip()]


def register(command: Callable[..., argparse.ArgumentParser]) -> None:
    p = command("decode", "Decode every signal of the databases into one file per message.",
                ["common", "several", "pieces", "errors", "j1939"], EXAMPLE)
    p.add_argument("logs", nargs="+", metavar="LOG")
    p.add_argument("--dbc", type=dbc_arg, action="append", required=True, metavar="[CH:]DB",
                   help=DBC_HELP)
    p.add_argument("--messages", type=names_arg, action="append", metavar="NAME,...",
                   help="only these messages")
    p.add_argument("--choices", action="store_true",
                   help="value-table signals as their labels instead of numbers")
    p.add_argument("-o", "--output", required=True, metavar="OUT",
                   help="directory for <Message>.parquet or <Message>.csv (several logs "
                   "share the files, told apart by a 'log' column), or - for CSV on standard "
                   "output: one message's table, or the rows of several in time order with a "
                   "'message' column")
    p.add_argument("--format", choices=("parquet", "csv"),
                   help="file format in OUT (default: parquet; csv with -o -)")
    p.add_argument("--transport", type=transport_arg, metavar="j1939|isotp[:IDS]",
                   help="reassemble multi-frame messages first and decode them with the single "
                   "frames, in one table per message: j1939 (transport protocol BAM, RTS/CTS "
                   "and ETP, and NMEA 2000 fast packets of --fast-packet), or isotp (ISO-TP on "
                   "the standard diagnostic identifiers, or on IDS: ID,... and LOW-HIGH ranges)")
    p.add_argument("--payload-offset", type=_offset, default=0, metavar="N",
                   help="decode the reassembled messages as if N bytes preceded each payload "
                   "(databases written for decoders that keep the first frame's length byte, "
                   "as many public UDS DBCs are, need 1)")
    add_options(p)
    axis = p.add_mutually_exclusive_group()
    axis.add_argument("--align", type=duration, metavar="STEP",
                      help="instead of a table per message, one table of every signal (columns "
                      "Message.Signal, Message.Signal[SENDER] for each channel and J1939 source "
                      "of a message sent by several) on a regular time grid of STEP (10ms, 1s): "
                      "each value the last sample at or before the instant; written as "
                      "aligned.<format> in OUT (the logs are decoded whole; at most 100,000,000 "
                      "instants)")
    axis.add_argument("--align-on", metavar="MESSAGE",
                      help="as --align, on the timestamps of MESSAGE (of one sender: "
                      "MESSAGE[SENDER], as the columns name them)")
    p.add_argument("--align-method", choices=("hold", "linear"), default="hold",
                   help="linear: interpolate the signals whose values need not be integers "
                   "(default: hold)")
    p.add_argument("--align-timeout", type=duration, metavar="SPAN",
                   help="leave a value out where its sample is older than SPAN")
    p.set_defaults(run=run)
