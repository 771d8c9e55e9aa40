"""A fleet's logs as a Parquet lake: korvel.lake.write and korvel.lake.logs.

Layout under the root (Hive partitions, readable by DuckDB, Polars, pyarrow):

    [device=<id>/]message=<Name>/date=<YYYY-MM-DD>/<log id>.parquet
    _korvel/lake.json           what the lake is (and whether it has devices)
    _korvel/schemas/<Name>      each message's Arrow schema, fixed by its first write
    _korvel/manifest/*.jsonl    one segment per write: a row per log added or failed

A log's id is the first 16 hexadecimal digits of the SHA-256 of its bytes, so
one log always lands in the same files: adding it again, from any writer and
under any name, can only put the very same files in place. Each log is one
task (or one task per range of containers, and a last one that renames them
into place): it reads, decodes and writes its files under temporary names,
then renames them; the caller only collects the manifest rows and writes them
once the files are in place. Without Dask the same tasks run in a loop here.

pyarrow is imported by the functions that need it, distributed only for
workers= or scheduler=.
"""

from __future__ import annotations

import contextlib
import hashlib
import json
import numbers
import os
import time
import uuid
from collections.abc import Callable, Sequence
from dataclasses import dataclass, field
from types import SimpleNamespace
from typing import Any, NamedTuple

import numpy as np

from . import korvel as _k
from ._logs import log_format, read_log
from .tables import DecodePlan, MessagePlan, _errors_arg, _j1939_na_arg, decode_plan
from .tables import decode as _decode

__all__ = ["logs", "write"]

MARK = "_korvel"
FORMAT = "korvel lake"
VERSION = 1
NS_PER_DAY = 86_400 * 10**9
ID_DIGITS = 16
# Characters that would break a partition folder's name or its reading.
_UNSAFE = ("/", "\\", "\0", "%")


def _need(module: str, what: str = "korvel.lake") -> Any:
    import importlib

    try:
        return importlib.import_module(module)
    except ImportError as e:
        raise ImportError(
            f"{what} needs {module.split('.')[0]}; install it with: pip install 'korvel[lake]'"
        ) from e


# --- the lake on disk -------------------------------------------------------------------


def _atomic_bytes(path: str, data: bytes, *, exclusive: bool = False) -> bool:
    """Writes a file under a temporary name and renames it into place. With
    exclusive, an existing file wins (False is returned) and is never replaced."""
    tmp = f"{os.path.join(os.path.dirname(path), '.' + os.path.basename(path))}.{uuid.uuid4().hex}.tmp"
    with open(tmp, "wb") as f:
        f.write(data)
    try:
        if not exclusive:
            os.replace(tmp, path)
            return True
        try:
            os.link(tmp, path)  # fails where a file is: first come, first kept
            return True
        except FileExistsError:
            return False
        except OSError:  # no hard links here: a racy check is the best left
            if os.path.exists(path):
                return False
            os.replace(tmp, path)
            return True
    finally:
        with contextlib.suppress(FileNotFoundError):
            os.unlink(tmp)


class _Lake:
    """A lake's root: its marker, its schemas and its manifest."""

    def __init__(self, root: Any, *, device: bool | None = None, create: bool = False):
        self.shown = os.fsdecode(os.fspath(root))  # for messages: as given
        self.root = os.path.abspath(self.shown)
        self.meta = os.path.join(self.root, MARK)
        marker = os.path.join(self.meta, "lake.json")
        if os.path.exists(self.root) and not os.path.isdir(self.root):
            raise NotADirectoryError(20, "Not a directory", self.shown)
        if not os.path.exists(marker):
            if not create:
                raise ValueError(f"{self.shown}: not a korvel lake (no {MARK}/lake.json)")
            # (A writer making the same lake at the same time may have made MARK.)
            if os.path.isdir(self.root) and set(os.listdir(self.root)) - {MARK}:
                raise ValueError(f"{self.shown}: not a korvel lake (no {MARK}/lake.json) and not "
                                 "empty; give a new or empty folder")
            for sub in ("manifest", "schemas"):
                os.makedirs(os.path.join(self.meta, sub), exist_ok=True)
            text = json.dumps({"format": FORMAT, "version": VERSION, "device": bool(device)})
            _atomic_bytes(marker, text.encode(), exclusive=True)
        try:
            with open(marker, "rb") as f:
                info = json.loads(f.read())
            if info.get("format") != FORMAT:
                raise ValueError
        except (ValueError, AttributeError):
            raise ValueError(f"{self.shown}: not a korvel lake ({marker} is not a lake's "
                             "marker)") from None
        if info.get("version") != VERSION:
            raise ValueError(f"{self.shown}: a korvel lake of version {info.get('version')}, "
                             f"this korvel writes version {VERSION}")
        self.device = bool(info.get("device"))
        if device is not None and bool(device) != self.device:
            raise ValueError(
                f"{self.shown}: this lake's files are "
                + ("under device=<id>/ folders: give a device" if self.device else
                   "not under device folders: give no device")
            )

    def probe(self) -> None:
        """Raises the OSError (naming the folder) that writing here would raise."""
        folder = os.path.join(self.meta, "manifest")
        path = os.path.join(folder, f".probe.{uuid.uuid4().hex}.tmp")
        try:
            with open(path, "wb"):
                pass
        except OSError as e:
            raise type(e)(e.errno, e.strerror, folder) from None
        os.unlink(path)

    def schemas(self, plan: DecodePlan) -> dict[str, Any]:
        """The lake's schema of each message of the plan: the one stored, or
        the plan's, stored now. A message whose columns differ from the
        lake's raises ValueError."""
        pa = _need("pyarrow")
        out = {}
        for msg in plan.messages:
            _safe_name(msg.name, "message")
            want = _schema(msg)
            path = os.path.join(self.meta, "schemas", _quote(msg.name))
            if not os.path.exists(path):
                _atomic_bytes(path, want.serialize().to_pybytes(), exclusive=True)
            with open(path, "rb") as f:
                have = pa.ipc.read_schema(pa.py_buffer(f.read()))
            if not have.equals(want, check_metadata=False):
                raise ValueError(f"{self.shown}: message {msg.name}: the database gives it the "
                                 f"columns {_columns(want)}, the lake holds {_columns(have)}")
            out[msg.name] = have
        return out

    def rows(self) -> list[dict[str, Any]]:
        """Every manifest row, in the order the segments were written."""
        folder = os.path.join(self.meta, "manifest")
        out = []
        for name in sorted(os.listdir(folder)):
            if not name.endswith(".jsonl") or name.startswith("."):
                continue
            with open(os.path.join(folder, name), encoding="utf-8") as f:
                out.extend(json.loads(line) for line in f if line.strip())
        return out

    def record(self, rows: list[dict[str, Any]]) -> None:
        """A manifest segment of its own: writers never touch each other's."""
        if not rows:
            return
        now = time.time_ns()
        text = "".join(json.dumps({**r, "added": now}) + "\n" for r in rows)
        name = f"{now:020d}-{os.getpid()}-{uuid.uuid4().hex[:8]}.jsonl"
        _atomic_bytes(os.path.join(self.meta, "manifest", name), text.encode())

    def stop_file(self, token: str) -> str:
        return os.path.join(self.meta, f".stop.{token}")


def _quote(name: str) -> str:
    from urllib.parse import quote

    return quote(name, safe="")


def _safe_name(text: str, what: str) -> str:
    if not text or text in (".", "..") or any(c in text for c in _UNSAFE):
        raise ValueError(f"{what} {text!r} cannot name a partition folder (no /, \\, % or NUL, "
                         "not empty, . or ..)")
    return text


def _columns(schema: Any) -> str:
    return ", ".join(f"{f.name} {f.type}" for f in schema)


def _schema(msg: MessagePlan) -> Any:
    """A message's columns in the lake: log, timestamp (UTC ns), channel, its
    address columns, then every signal (float64, or dictionary strings where
    the signal has a value table). Units as field metadata, as to_arrow has them."""
    pa = _need("pyarrow")
    text = pa.dictionary(pa.int32(), pa.string())
    fields = [
        pa.field("log", text),
        pa.field("timestamp", pa.timestamp("ns", tz="UTC")),
        pa.field("channel", pa.uint8()),
        *(pa.field(a, pa.uint8()) for a in msg.address_columns()),
    ]
    for s in msg.signals:
        kind = text if s.choices and not s.is_float else pa.float64()
        fields.append(pa.field(s.name, kind, metadata={"unit": s.unit} if s.unit else None))
    return pa.schema(fields)


# --- what runs per log (in this process or on a worker) ----------------------------------


@dataclass
class _Job:
    """What every task of one write needs; sent to each worker once."""

    root: str
    plan: DecodePlan
    schemas: dict[str, Any]
    device: bool
    known: set[str]
    token: str
    threads: int | None
    j1939: bool | str = "auto"
    j1939_na: str = "nan"
    transport: tuple[str, Any] | None = None
    options: dict[str, Any] = field(default_factory=dict)  # fast_packet, addressing
    stop: str | None = None  # a file whose presence stops the tasks not yet done

    def stopped(self) -> bool:
        return self.stop is not None and os.path.exists(self.stop)


def _digest(path: str) -> tuple[str, int]:
    h = hashlib.sha256()
    size = 0
    with open(path, "rb") as f:
        while True:
            block = f.read(1 << 20)
            if not block:
                break
            h.update(block)
            size += len(block)
    return h.hexdigest(), size


def _naming(e: BaseException, where: str) -> BaseException:
    """The same kind of error with `where` first in its message (a RuntimeError
    when that kind cannot be made from a message)."""
    if isinstance(e, OSError) and e.errno is not None:
        args: tuple[Any, ...] = (e.errno, f"{where}: {e.strerror}")
        if e.filename is not None:
            args += (e.filename,)
    else:
        args = (f"{where}: {e}",)
    try:
        named = type(e)(*args)
        if where in str(named):
            return named
    except (TypeError, ValueError):
        pass
    return RuntimeError(f"{where}: {type(e).__name__}: {e}")


def _where(path: str, span: tuple[int, int] | None) -> str:
    return path if span is None else f"{path}, containers={span}"


class _Log(NamedTuple):
    """A log to add: where to read it, how messages name it, its device."""

    path: str  # absolute, for every worker and the manifest
    name: str  # as given
    device: str | None


def _ident_task(job: _Job, log: _Log) -> dict[str, Any]:
    try:
        digest, size = _digest(log.path)
    except Exception as e:  # noqa: BLE001 - recorded as the log's failure
        return {"failed": _naming(e, log.name)}
    return {"sha256": digest, "size": size}


def _date(day: int) -> str:
    return str(np.datetime64(int(day), "D"))


def _files(job: _Job, device: str | None, log_id: str, span: tuple[int, int] | None,
           frames: Any, result: dict[str, Any]) -> None:
    """Decodes a piece's frames and writes each message's rows, a file per
    date, under temporary names (listed in result["temps"])."""
    pa = _need("pyarrow")
    pq = _need("pyarrow.parquet")
    tables = _decode(frames, job.plan, choices=True, threads=job.threads, j1939=job.j1939,
                     j1939_na=job.j1939_na)
    stem = log_id if span is None else f"{log_id}-c{span[0]}"
    top = job.root if device is None else os.path.join(job.root, f"device={device}")
    log_name = pa.array([log_id], pa.string())
    for name, table in tables.items():
        n = table.num_rows
        out = table.to_arrow()
        cols = out.columns
        log = pa.DictionaryArray.from_arrays(pa.array(np.zeros(n, np.int32)), log_name)
        ts = pa.Array.from_buffers(pa.timestamp("ns", tz="UTC"), n,
                                   [None, pa.py_buffer(table["timestamp"])])
        whole = pa.Table.from_arrays([log, ts, *cols[1:]], schema=job.schemas[name])
        days = table["timestamp"] // NS_PER_DAY
        lo, hi = (int(days.min()), int(days.max())) if n else (0, 0)
        parts = [(lo, whole)] if lo == hi else [
            (int(d), whole.filter(pa.array(days == d))) for d in np.unique(days)
        ]
        for day, part in parts:
            folder = os.path.join(top, f"message={name}", f"date={_date(day)}")
            os.makedirs(folder, exist_ok=True)
            final = os.path.join(folder, f"{stem}.parquet")
            tmp = os.path.join(folder, f".{stem}.parquet.{job.token}.tmp")
            result["temps"].append((tmp, final))
            pq.write_table(part, tmp)
        result["messages"].add(name)
        result["rows"] += n


def _piece_task(job: _Job, ident: dict[str, Any], log: _Log,
                span: tuple[int, int] | None) -> dict[str, Any]:
    """Reads, decodes and writes one piece of a log (span None: the whole
    log), its files under temporary names. Never raises: a failure is in
    result["failed"], its temporary files removed."""
    result: dict[str, Any] = {"temps": [], "frames": 0, "error_frames": 0, "start": None,
                              "stop": None, "messages": set(), "rows": 0, "notices": [],
                              "channels": set(), "failed": None}
    if "failed" in ident or ident["sha256"] in job.known or job.stopped():
        return result
    notices: list[Any] = []
    try:
        frames = read_log(log.path, verbose=False, threads=job.threads, _notices=notices,
                          **({} if span is None else {"containers": span}))
        index = frames[0]
        if len(index):
            ts = index["timestamp"]
            result.update(frames=len(index), start=int(ts.min()), stop=int(ts.max()),
                          error_frames=int(np.count_nonzero(index["flags"] & 0x10)))
            result["channels"] = set(np.unique(index["channel"]).tolist())
        if job.transport is not None:
            frames = _reassembled(job, frames)
        _files(job, log.device, ident["sha256"][:ID_DIGITS], span, frames, result)
        result["notices"] = [text for _, text, *_ in notices]
    except Exception as e:  # noqa: BLE001 - recorded as the log's failure
        _discard(result["temps"])
        result["temps"] = []
        result["failed"] = _naming(e, _where(log.name, span))
    return result


def _reassembled(job: _Job, frames: Any) -> Any:
    """The frames with the complete transfers of the transport protocol in
    place of the frames that carry them under their messages' identifiers,
    as korvel decode --transport has them."""
    from .cli.decode import _with_transfers
    from .cli.protocols import carriers, engine

    name, ids = job.transport  # type: ignore[misc]
    opts = SimpleNamespace(**job.options)
    carried = carriers(frames[0], name, ids, opts)
    return _with_transfers(frames, engine(name, ids, opts), carried)


def _discard(temps: list[tuple[str, str]]) -> None:
    for tmp, _ in temps:
        with contextlib.suppress(FileNotFoundError):
            os.unlink(tmp)


def _unfit(job: _Job, channels: set[int]) -> str:
    """Why a log's frames gave no row."""
    bound = sorted({c for m in job.plan.messages for c in m.channels})
    have = ", ".join(map(str, sorted(channels))) or "none"
    if bound and all(m.channels for m in job.plan.messages) and not channels & set(bound):
        return (f"the databases are bound to channel{'s' if len(bound) > 1 else ''} "
                f"{', '.join(map(str, bound))}, not in the log (its channels: {have})")
    return "no frame of the log belongs to a message of the databases"


def _finish_task(job: _Job, ident: dict[str, Any], log: _Log,
                 pieces: list[dict[str, Any]]) -> dict[str, Any]:
    """Puts a log's files in place, all or none, and makes its manifest row."""
    row: dict[str, Any] = {"path": log.path, "device": log.device}
    if "failed" in ident:
        return {**row, "status": "failed", "error": ident["failed"]}
    digest = ident["sha256"]
    row.update(log=digest[:ID_DIGITS], sha256=digest, size=ident["size"])
    temps = [t for p in pieces for t in p["temps"]]
    if digest in job.known:
        return {**row, "status": "present"}
    failed = next((p["failed"] for p in pieces if p["failed"] is not None), None)
    frames = sum(p["frames"] for p in pieces)
    rows = sum(p["rows"] for p in pieces)
    if failed is None and frames and not rows:
        channels = set().union(*(p["channels"] for p in pieces))
        failed = ValueError(f"{log.name}: {_unfit(job, channels)}")
    if failed is None and job.stopped():
        _discard(temps)
        return {**row, "status": "stopped"}
    if failed is not None:
        _discard(temps)
        return {**row, "status": "failed", "error": failed}
    done: list[str] = []
    try:
        for tmp, final in temps:
            os.replace(tmp, final)  # a file left by a write that never made the manifest
            done.append(final)
    except Exception as e:  # noqa: BLE001 - nothing of the log stays
        for final in done:
            with contextlib.suppress(FileNotFoundError):
                os.unlink(final)
        _discard(temps)
        return {**row, "status": "failed", "error": _naming(e, log.name)}
    starts = [p["start"] for p in pieces if p["start"] is not None]
    stops = [p["stop"] for p in pieces if p["stop"] is not None]
    return {
        **row,
        "status": "added",
        "frames": frames,
        "error_frames": sum(p["error_frames"] for p in pieces),
        "start": min(starts) if starts else None,
        "stop": max(stops) if stops else None,
        "messages": len(set().union(*(p["messages"] for p in pieces))),
        "rows": rows,
        "files": [os.path.relpath(final, job.root) for _, final in temps],
        "notices": [n for p in pieces for n in p["notices"]],
    }


def _log_task(job: _Job, log: _Log, spans: list[tuple[int, int] | None]) -> dict[str, Any]:
    """One log from end to end: its pieces one after another."""
    if job.stopped():
        return {"path": log.path, "device": log.device, "status": "stopped"}
    ident = _ident_task(job, log)
    pieces = []
    for span in spans:
        pieces.append(_piece_task(job, ident, log, span))
        if pieces[-1]["failed"] is not None:
            break
    return _finish_task(job, ident, log, pieces)


# --- write ------------------------------------------------------------------------------


def _names(logs: Any) -> list[str]:
    if isinstance(logs, (str, bytes, os.PathLike)):
        logs = [logs]
    names = [os.fsdecode(p) for p in logs]
    if not names:
        raise ValueError("logs is empty: there is no log to add")
    return names


def _device_of(device: Any, path: str) -> str | None:
    if device is None:
        return None
    if callable(device):
        got = device(path)
        if not isinstance(got, str):
            raise TypeError(f"device({path!r}) must give a str, got {type(got).__name__}")
        return _safe_name(got, "device")
    if isinstance(device, numbers.Integral) and not isinstance(device, bool):
        parts = path.split(os.sep)[1:]  # the absolute path's parts below the root folder
        try:
            return _safe_name(parts[int(device)], "device")
        except IndexError:
            raise ValueError(f"device={device}: {path} has no such part") from None
    if isinstance(device, str):
        return _safe_name(device, "device")
    raise TypeError(f"device must be a str, an int (a part of each log's path) or a function "
                    f"of the path, got {type(device).__name__}")


def _positive(value: Any, what: str) -> int | None:
    if value is not None and (
        not isinstance(value, numbers.Integral) or isinstance(value, bool) or value < 1
    ):
        raise ValueError(f"{what} must be a positive whole number, got {value!r}")
    return value


def _spans(path: str, split: int | None) -> list[tuple[int, int] | None]:
    """The container ranges of a log's pieces ([None]: the log in one piece)."""
    if split is None or log_format(path) != "blf":
        return [None]
    # A cut log is reported by the read of its last piece.
    count = len(_k.info(path, verbose=False, _notices=[])["containers"])
    return [(a, min(a + split, count)) for a in range(0, count, split)] or [None]


def _transport(transport: Any, fast_packet: Any, addressing: str) -> tuple[Any, dict]:
    if transport is None:
        if fast_packet:
            raise ValueError("fast_packet needs transport='j1939'")
        return None, {"fast_packet": [], "addressing": addressing}
    import argparse

    from .cli.protocols import transport_arg

    if not isinstance(transport, str):
        raise TypeError(f"transport must be a str, got {type(transport).__name__}")
    try:
        name, ids = transport_arg(transport)
    except argparse.ArgumentTypeError as e:
        raise ValueError(f"transport: {e}") from None
    fast = [int(p) for p in (fast_packet or ())]
    if fast and name != "j1939":
        raise ValueError("fast_packet needs transport='j1939'")
    options = {"fast_packet": fast, "addressing": addressing}
    from .cli.protocols import engine

    engine(name, ids, SimpleNamespace(**options))  # refuses bad PGNs, ids and addressing here
    return (name, ids), options


def write(
    logs: Any,
    db: Any,
    root: str | os.PathLike[str],
    *,
    device: str | int | Callable[[str], str] | None = None,
    messages: Sequence[str] | None = None,
    split: int | None = None,
    workers: int | None = None,
    scheduler: str | None = None,
    errors: str = "raise",
    threads: int | None = None,
    j1939: bool | str = "auto",
    j1939_na: str = "nan",
    transport: str | None = None,
    fast_packet: Sequence[int] | None = None,
    addressing: str = "normal",
) -> Any:
    """Adds logs to the Parquet lake at `root` (made when missing or empty).

    Each message's rows go to
    ``root/[device=<id>/]message=<Name>/date=<YYYY-MM-DD>/<log id>.parquet``
    (the UTC date of each row), with the columns ``log`` (the log id),
    ``timestamp`` (UTC, ns), ``channel``, the address columns of J1939
    messages, then every signal: float64, or dictionary strings (the labels,
    as korvel.decode's choices=True gives them) for a value-table signal.
    A message's files all have one schema, fixed by its first write.

    logs: paths of logs of any format korvel reads.
    db: what korvel.decode takes (a database, a path, a list, a dict by
        channel, a DecodePlan); messages: only these.
    device: the vehicle's id: a str for every log, an int for that part of
        each log's absolute path (-2: the folder holding it), or a function
        of the path. A lake has device folders or not, from its first write.
    split: containers per task (BLF logs): one log in several tasks, for
        large logs; None is one task per log.
    workers: run on a local Dask cluster of that many single-threaded worker
        processes (started and closed here); scheduler: the address of a
        running one. Logs and root must be at the same paths for the workers.
    errors: "raise" stops at a log that fails (the logs completed before it
        stay added); "skip" records it in the manifest as failed, with the
        reason, and goes on.
    threads: without Dask, the threads to work on (all usable cores by
        default): that many logs are read, decoded and written at once, the
        threads to spare going to each log's reading and decoding; on Dask,
        native threads per task (1 by default).
    j1939, j1939_na: as for korvel.decode. transport: "j1939", "isotp" or
        "isotp:IDS" reassembles multi-frame messages first, as korvel decode
        --transport does (fast_packet: PGNs; addressing: for ISO-TP).

    A log already in the lake (by the SHA-256 of its bytes) is left as it is.
    Returns a pyarrow.Table of this call's logs: the columns of logs() with
    status "added", "present" or "failed".
    """
    _errors_arg(errors)
    _j1939_na_arg(j1939_na)
    _need("pyarrow")
    _positive(split, "split")
    _positive(workers, "workers")
    if workers is not None and scheduler is not None:
        raise ValueError("give workers or scheduler, not both")
    if threads is not None:
        _positive(threads, "threads")
    names = _names(logs)
    paths = [os.path.abspath(n) for n in names]
    devices = [_device_of(device, p) for p in paths]
    plan = decode_plan(db, messages).matching(j1939)
    protocol, options = _transport(transport, fast_packet, addressing)
    if protocol is not None and split is not None:
        raise ValueError("split cannot go with transport: transfers cross the pieces")
    lake = _Lake(root, device=device is not None, create=True)
    lake.probe()
    known = {r["sha256"] for r in lake.rows() if r.get("status") == "added"}
    on_dask = workers is not None or scheduler is not None
    job = _Job(root=lake.root, plan=plan, schemas=lake.schemas(plan), device=device is not None,
               known=known, token=uuid.uuid4().hex[:12], threads=1 if on_dask and threads is None
               else threads, j1939=j1939, j1939_na=j1939_na, transport=protocol, options=options)
    items = []
    failures: list[dict[str, Any]] = []
    for log in map(_Log, paths, names, devices):
        try:
            items.append((log, _spans(log.path, split)))
        except Exception as e:  # noqa: BLE001 - that log's failure
            failures.append({"path": log.path, "device": log.device, "status": "failed",
                             "error": _naming(e, log.name)})
            if errors == "raise":
                break
    rows = failures if failures and errors == "raise" else failures + (
        _on_dask(job, lake, items, errors, workers, scheduler) if on_dask
        else _on_threads(job, lake, items, errors, threads))
    return _close(lake, rows, errors)


def _cores() -> int:
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:  # pragma: no cover - not on Linux
        return os.cpu_count() or 1


def _on_threads(job: _Job, lake: _Lake, items: list[Any], errors: str,
                threads: int | None) -> list[dict[str, Any]]:
    """The tasks on this machine: as many logs at once as there are threads
    (the reading, decoding and Parquet writing release the interpreter
    lock), the threads left over going to each log's reading and decoding."""
    import concurrent.futures as cf

    cores = threads or _cores()
    width = max(1, min(cores, len(items)))
    job.threads = max(1, cores // width)
    job.stop = lake.stop_file(job.token)
    rows: list[Any] = [None] * len(items)

    def done(i: int, row: dict[str, Any]) -> None:
        rows[i] = row
        if row["status"] == "added":
            job.known.add(row["sha256"])  # the same bytes again later in the list
        elif row["status"] == "failed" and errors == "raise" and not job.stopped():
            open(job.stop, "wb").close()  # the logs not yet begun are left alone

    try:
        if width == 1:
            for i, (log, spans) in enumerate(items):
                done(i, _log_task(job, log, spans))
        else:
            with cf.ThreadPoolExecutor(width, thread_name_prefix="korvel-lake") as pool:
                futures = {pool.submit(_log_task, job, *item): i for i, item in enumerate(items)}
                for f in cf.as_completed(futures):
                    done(futures[f], f.result())
    finally:
        _discard([(job.stop, "")])
    return [r for r in rows if r is not None]


def _on_dask(job: _Job, lake: _Lake, items: list[Any], errors: str, workers: int | None,
             scheduler: str | None) -> list[dict[str, Any]]:
    distributed = _need("distributed", "korvel.lake.write(workers=..., scheduler=...)")
    with contextlib.ExitStack() as stack:
        if scheduler is not None:
            client = stack.enter_context(distributed.Client(scheduler))
        else:
            import dask

            # Workers that keep freed memory for the next log rather than give
            # it back at once (distributed's default 64 KiB trim threshold
            # faults every log's arrays in afresh).
            with dask.config.set({"distributed.nanny.pre-spawn-environ.MALLOC_TRIM_THRESHOLD_":
                                  None}):
                cluster = stack.enter_context(distributed.LocalCluster(
                    n_workers=workers, threads_per_worker=1, processes=True,
                    dashboard_address=":0"))
            client = stack.enter_context(distributed.Client(cluster))
        job.stop = lake.stop_file(job.token)
        stack.callback(lambda: _discard([(job.stop, "")]))
        shared = client.scatter(job, broadcast=True, hash=False)
        futures = {}
        for i, (log, spans) in enumerate(items):
            if len(spans) == 1:
                f = client.submit(_log_task, shared, log, spans, pure=False,
                                  key=f"korvel-lake-{job.token}-{i}")
            else:
                ident = client.submit(_ident_task, shared, log, pure=False)
                pieces = [client.submit(_piece_task, shared, ident, log, s, pure=False)
                          for s in spans]
                f = client.submit(_finish_task, shared, ident, log, pieces, pure=False,
                                  key=f"korvel-lake-{job.token}-{i}")
            futures[f] = i
        rows: list[Any] = [None] * len(items)
        for f in distributed.as_completed(list(futures)):
            i = futures[f]
            try:
                row = f.result()
            except Exception as e:  # noqa: BLE001 - a worker lost, a task cancelled
                log = items[i][0]
                row = {"path": log.path, "device": log.device, "status": "failed",
                       "error": _naming(e, log.name)}
            rows[i] = row
            if row["status"] == "failed" and errors == "raise" and not os.path.exists(job.stop):
                open(job.stop, "wb").close()  # the tasks not yet done leave the lake as it is
        return rows


def _close(lake: _Lake, rows: list[dict[str, Any]], errors: str) -> Any:
    """Records the logs added (and, with errors="skip", those that failed),
    then raises the first failure with errors="raise"."""
    seen: set[str] = set()
    for row in rows:
        if row["status"] == "added":
            if row["sha256"] in seen:
                row["status"] = "present"  # the same bytes twice in one call: one set of files
            seen.add(row["sha256"])
    failed = [r for r in rows if r["status"] == "failed"]
    keep = [r for r in rows if r["status"] == "added" or (r["status"] == "failed"
                                                           and errors == "skip")]
    lake.record([_manifest_row(r) for r in keep])
    if failed and errors == "raise":
        raise failed[0]["error"]
    return _table([_manifest_row(r) for r in rows if r["status"] != "stopped"])


def _manifest_row(row: dict[str, Any]) -> dict[str, Any]:
    out = {c: row.get(c) for c in _COLUMNS if c not in ("status", "reason", "added")}
    out["status"] = row["status"]
    error = row.get("error")
    out["reason"] = None if error is None else " ".join(str(error).split())
    return out


# --- logs ---------------------------------------------------------------------------------


_COLUMNS = ("log", "path", "device", "status", "reason", "start", "stop", "frames",
            "error_frames", "messages", "rows", "notices", "size", "sha256", "files", "added")


def _table(rows: list[dict[str, Any]]) -> Any:
    pa = _need("pyarrow")
    when = pa.timestamp("ns", tz="UTC")
    text, count, texts = pa.string(), pa.int64(), pa.list_(pa.string())
    kinds = {"log": text, "path": text, "device": text, "status": text, "reason": text,
             "start": when, "stop": when, "frames": count, "error_frames": count,
             "messages": count, "rows": count, "notices": texts, "size": count, "sha256": text,
             "files": texts, "added": when}
    # Times as int64 first, then viewed: timestamps from Python objects would
    # import pandas, a second of start-up for a command.
    return pa.table({c: pa.array([r.get(c) for r in rows], pa.int64()).view(when)
                     if kinds[c] == when else pa.array([r.get(c) for r in rows], kinds[c])
                     for c in _COLUMNS})


def logs(root: str | os.PathLike[str]) -> Any:
    """The lake's manifest as a pyarrow.Table, a row per log: ``log`` (its
    id), ``path`` (where it was read), ``device``, ``status`` ("added", or
    "failed" for a log that failed with errors="skip" and was not added
    since), ``reason`` (why it failed), ``start`` and ``stop`` (its first and
    last frame's time, UTC), ``frames``, ``error_frames``, ``messages``
    (decoded, with rows), ``rows``, ``notices`` (what the reader said: a log
    cut short, lines skipped), ``size`` and ``sha256`` of its bytes, ``files``
    (under root) and ``added`` (when). Raises ValueError for a root that is
    not a lake."""
    lake = _Lake(root)
    added: dict[str, dict[str, Any]] = {}
    failed: dict[str, dict[str, Any]] = {}
    for row in lake.rows():
        if row.get("status") == "added":
            added.setdefault(row["sha256"], row)  # two writers of one log: the first
        else:
            failed[row.get("sha256") or row["path"]] = row  # the latest try
    paths = {r["path"] for r in added.values()}
    late = [r for key, r in failed.items() if key not in added and r["path"] not in paths]
    rows = sorted([*added.values(), *late], key=lambda r: r["added"])
    return _table(rows)
