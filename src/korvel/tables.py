"""One table of decoded signals per message: korvel.decode, Table and Tables.

The database is boiled down once to a DecodePlan (plain numbers and strings,
picklable), and the native ``_decode_tables`` does the work: one pass groups
the frames by message, then each message's payloads are gathered once and all
of its signals extracted from them, with the interpreter lock released.
pandas and pyarrow are imported only by the ``to_*`` methods, cantools only to
load a database from a path.
"""

from __future__ import annotations

import numbers
import os
from collections.abc import Iterator, Mapping, Sequence
from dataclasses import dataclass, field, replace
from typing import Any

import numpy as np

from . import korvel as _k

__all__ = [
    "DecodePlan", "MessagePlan", "SignalPlan", "Table", "Tables", "decode", "decode_plan", "plan",
]


# --- the compact decode plan ---------------------------------------------------------


@dataclass(frozen=True)
class SignalPlan:
    """One signal: its bit layout, scaling, multiplexer condition and value table."""

    name: str
    start: int
    length: int
    big_endian: bool
    is_signed: bool
    is_float: bool
    scale: int | float  # exact when the database gives an integer
    offset: int | float
    unit: str = ""
    # Index (in the message's signals) of the multiplexer that selects this
    # signal, -1 for none, and the raw multiplexer values that select it.
    mux: int = -1
    mux_ids: tuple[int, ...] = ()
    # Value table: (raw value, label) pairs.
    choices: tuple[tuple[int, str], ...] = ()
    # How an unlabelled raw value reads as text, as cantools scales it:
    # an integer (integer scale and offset) or a float.
    int_text: bool = True

    def number_text(self, raw: int) -> str:
        if self.int_text:
            return str(raw * int(self.scale) + int(self.offset))
        # As cantools: an int scale multiplies exactly, a float one as floats do.
        return str(raw * self.scale + self.offset)

    def exact(self) -> tuple[Any, ...]:
        """How the native loop computes an integer scale exactly, as cantools
        does: (kind, *scale, *offset), each as _binary gives it; kind 1 for an
        integer offset, 2 for a float one. () where doubles do as cantools
        does (a float scale, a float signal), and where an integer has more
        than 128 significant bits (computed in doubles)."""
        if self.is_float:
            return ()
        if self.int_text:
            kind, scale, offset = 1, int(self.scale), int(self.offset)
        elif isinstance(self.scale, int):
            kind, scale, offset = 2, self.scale, 0
        else:
            return ()
        parts = (_binary(scale), _binary(offset))
        if None in parts:
            return ()
        return (kind, *parts[0], *parts[1])


@dataclass(frozen=True)
class MessagePlan:
    """One message: its identifier (without the extended bit), the channels it is
    read from (empty: every channel), its signals in database order, and whether
    its identifier is extended (29-bit): it takes data frames of that kind only.
    None reads an identifier above 0x7FF as extended."""

    name: str
    can_id: int
    signals: tuple[SignalPlan, ...]
    channels: tuple[int, ...] = ()
    extended: bool | None = None
    # The database marks it as a J1939 parameter group; whether frames are
    # matched to it by PGN is decided per decode (by_pgn).
    j1939: bool = False
    by_pgn: bool = False
    # The database's cycle time (GenMsgCycleTime) in ms, None where it gives none.
    cycle_time: int | float | None = None

    @property
    def is_extended(self) -> bool:
        return self.can_id > 0x7FF if self.extended is None else bool(self.extended)

    @property
    def pdu1(self) -> bool:
        """A J1939 destination-specific format (PDU format below 240)."""
        return ((self.can_id >> 16) & 0xFF) < 240

    def address_columns(self) -> tuple[str, ...]:
        """The columns between ``channel`` and the signals."""
        if not self.by_pgn:
            return ()
        return ("source", "destination") if self.pdu1 else ("source",)


@dataclass(frozen=True)
class DecodePlan:
    """What decode needs of a database, and nothing else."""

    messages: tuple[MessagePlan, ...] = field(default_factory=tuple)

    def select(self, names: Sequence[str] | None) -> DecodePlan:
        """Only the named messages (KeyError for a name not among them)."""
        if names is None:
            return self
        if isinstance(names, str):
            names = [names]
        known = {m.name for m in self.messages}
        for name in names:
            if name not in known:
                raise KeyError(name)
        wanted = set(names)
        return DecodePlan(tuple(m for m in self.messages if m.name in wanted))

    def matching(self, j1939: bool | str = "auto") -> DecodePlan:
        """The plan with each message's PGN matching decided: "auto" for the
        messages the database marks as J1939, True for every extended one,
        False for none."""
        _j1939_arg(j1939)
        return DecodePlan(
            tuple(
                replace(m, by_pgn=m.is_extended and (m.j1939 if j1939 == "auto" else bool(j1939)))
                for m in self.messages
            )
        )

    def native(self, choices: bool, j1939_na: str = "nan") -> list[tuple[Any, ...]]:
        """The argument of _decode_tables."""
        _j1939_na_arg(j1939_na)

        def mux_ids(m: MessagePlan, s: SignalPlan) -> tuple[int, ...]:
            # Raw values are compared as the native loop holds them: int64, an
            # unsigned 64-bit multiplexer's as its two's complement.
            mux = m.signals[s.mux] if 0 <= s.mux < len(m.signals) else None
            if mux is not None and mux.length == 64 and not mux.is_signed:
                return tuple(i - (1 << 64) if i >= 1 << 63 else i
                             for i in s.mux_ids if 0 <= i < 1 << 64)
            return tuple(i for i in s.mux_ids if -(1 << 63) <= i < 1 << 63)

        return [
            (
                m.can_id,
                m.is_extended,
                m.channels,
                [
                    (
                        s.start,
                        s.length,
                        s.big_endian,
                        s.is_signed,
                        s.is_float,
                        s.scale,
                        s.offset,
                        s.mux,
                        mux_ids(m, s),
                        choices and bool(s.choices) and not s.is_float,
                        _missing_from(s) if m.by_pgn and j1939_na == "nan" else 0,
                        s.exact(),
                    )
                    for s in m.signals
                ],
                m.by_pgn,
            )
            for m in self.messages
        ]


# J1939's error-indicator and not-available ranges: raw values from these up,
# by signal length.
_J1939_MISSING = {2: 2, 8: 0xFE, 16: 0xFE00, 32: 0xFE000000}


def _missing_from(s: SignalPlan) -> int:
    if s.is_signed or s.is_float:
        return 0
    return _J1939_MISSING.get(s.length, 0)


def _j1939_arg(j1939: Any) -> None:
    if isinstance(j1939, bool):
        return
    if not isinstance(j1939, str):
        raise TypeError(f"j1939 must be 'auto', True or False, got {type(j1939).__name__}")
    if j1939 != "auto":
        raise ValueError(f"j1939 must be 'auto', True or False (got {j1939!r})")


def _j1939_na_arg(j1939_na: Any) -> None:
    if not isinstance(j1939_na, str):
        raise TypeError(f"j1939_na must be 'nan' or 'keep', got {type(j1939_na).__name__}")
    if j1939_na not in ("nan", "keep"):
        raise ValueError(f"j1939_na must be 'nan' or 'keep' (got {j1939_na!r})")


def _binary(value: int) -> tuple[bool, int, int, int] | None:
    """An integer as (negative, low word, high word, exponent): the magnitude
    (high * 2**64 + low) * 2**exponent, below 2**128 but for the power of
    two (None where it is not)."""
    mag = abs(value)
    exp = (mag & -mag).bit_length() - 1 if mag else 0
    mag >>= exp
    if mag >= 1 << 128:
        return None
    # Beyond 2**4096 a double is infinite anyway.
    return value < 0, mag & (1 << 64) - 1, mag >> 64, min(exp, 4096)


def _exact(value: Any) -> int | float:
    """A DBC number as the database holds it: integers stay exact (labels of
    unlabelled values are computed from them, as cantools does)."""
    return int(value) if isinstance(value, int) else float(value)


def _is_integral(value: Any) -> bool:
    return isinstance(value, int) or (isinstance(value, float) and value.is_integer())


def _signal_plan(sig: Any, index: Mapping[str, int]) -> SignalPlan:
    mux_name = getattr(sig, "multiplexer_signal", None)
    mux_ids = getattr(sig, "multiplexer_ids", None) or ()
    choices = getattr(sig, "choices", None) or {}
    return SignalPlan(
        name=sig.name,
        start=int(sig.start),
        length=int(sig.length),
        big_endian=sig.byte_order == "big_endian",
        is_signed=bool(sig.is_signed),
        is_float=bool(sig.is_float),
        scale=_exact(sig.scale),
        offset=_exact(sig.offset),
        unit=sig.unit or "",
        mux=index[mux_name] if mux_name is not None and mux_ids else -1,
        mux_ids=tuple(int(i) for i in mux_ids) if mux_name is not None else (),
        choices=tuple((int(raw), str(label)) for raw, label in choices.items()),
        int_text=not sig.is_float and _is_integral(sig.scale) and _is_integral(sig.offset),
    )


def _message_plan(msg: Any, channels: tuple[int, ...] = ()) -> MessagePlan:
    index = {s.name: i for i, s in enumerate(msg.signals)}
    extended = getattr(msg, "is_extended_frame", None)
    cycle = getattr(msg, "cycle_time", None)
    return MessagePlan(
        name=msg.name,
        can_id=int(msg.frame_id) & 0x1FFFFFFF,
        signals=tuple(_signal_plan(s, index) for s in msg.signals),
        channels=channels,
        extended=None if extended is None else bool(extended),
        j1939=getattr(msg, "protocol", None) == "j1939",
        cycle_time=_exact(cycle) if isinstance(cycle, numbers.Real) and cycle else None,
    )


def _load(db: Any) -> list[Any]:
    """A database, a path, or a list of them -> the cantools databases."""
    if isinstance(db, (str, os.PathLike)):
        import cantools  # only when a path must be loaded

        path = os.fspath(db)
        try:
            if os.path.splitext(path)[1].lower() != ".dbc":
                return [cantools.database.load_file(path)]
            # cantools' strict check, on bit masks: a quarter of its load.
            # A file it may reject is loaded strictly, for cantools' verdict.
            loose = cantools.database.load_file(path, strict=False)
            return [loose if _strictly_sound(loose) else cantools.database.load_file(path)]
        except Exception as e:
            if path not in str(e):
                e.args = (f"{path}: {e.args[0] if e.args else e}", *e.args[1:])
            raise
    if isinstance(db, (list, tuple)):
        return [d for item in db for d in _load(item)]
    if not hasattr(db, "messages"):
        raise TypeError(
            f"db must be a cantools database, a path, a list of those or a dict of them "
            f"by channel, got {type(db).__name__}"
        )
    return [db]


def _strictly_sound(db: Any) -> bool:
    """Whether a strict cantools load accepts every message of `db` (loaded
    loosely): each signal inside its message and none overlapping another,
    the groups of a multiplexer checked apart from one another, with the
    bits laid out as cantools lays them. False for anything unusual."""
    for msg in db.messages:
        size = 8 * int(msg.length)
        by_name = {s.name: s for s in msg.signals}

        def place(used: int, name: str, size: int = size, by_name: dict = by_name) -> int:
            sig = by_name[name]
            n, start = int(sig.length), int(sig.start)
            if n < 0 or start < 0:
                raise ValueError
            if sig.byte_order == "big_endian":
                first = 8 * (start // 8) + 7 - start % 8
                if first + n > size:
                    raise ValueError
                mask = ((1 << n) - 1) << first
            else:
                # Bits [size - n - start, size - start) of the message read
                # with its bytes in reverse order.
                if n + start > size:
                    raise ValueError
                lo, hi = size - n - start, size - start
                mask = 0
                for byte in range(lo // 8, (hi + 7) // 8):
                    a, b = max(lo, 8 * byte), min(hi, 8 * byte + 8)
                    bits = ((1 << (b - a)) - 1) << (a - 8 * byte)
                    mask |= bits << (8 * (size // 8 - 1 - byte))
            if used & mask:
                raise ValueError
            return used | mask

        def tree(used: int, nodes: Any, place: Any = place) -> int:
            for node in nodes:
                if isinstance(node, dict):
                    name, groups = next(iter(node.items()))
                    used = place(used, name)
                    before = used
                    for mux_id in sorted(groups):
                        used |= tree(before, groups[mux_id])
                else:
                    used = place(used, node)
            return used

        try:
            tree(0, msg.signal_tree)
        except (ValueError, KeyError, TypeError, StopIteration):
            return False
    return True


def _plans_of(db: Any, wanted: set[str] | None = None) -> list[MessagePlan]:
    """The message plans of a database, a path (from the plan cache when it
    holds the file's content) or a list of those, in database order. wanted:
    the message names needed (None: all); databases given as objects compile
    only those, a path's whole plan is cached."""
    if isinstance(db, (str, os.PathLike)):
        from . import _plancache

        path = os.fspath(db)
        try:
            return _plancache.cached(path, lambda: _merged(_load(path)), _to_json, _from_json)
        except OSError as e:
            if path not in str(e):  # cantools' own message names it
                e.args = (f"{path}: {e.args[0] if e.args else e}", *e.args[1:])
            raise
    if isinstance(db, DecodePlan):
        return list(db.messages)
    if isinstance(db, (list, tuple)):
        return [m for item in db for m in _plans_of(item, wanted)]
    return [m for d in _load(db) for m in _merged([d], wanted=wanted)]


def _merged(dbs: list[Any], channels: tuple[int, ...] = (),
            wanted: set[str] | None = None) -> list[MessagePlan]:
    """The messages of several databases (only the `wanted` names when given);
    a later message of the same name replaces an earlier one in its place."""
    out: dict[str, MessagePlan] = {}
    for d in dbs:
        for msg in d.messages:
            if wanted is None or msg.name in wanted:
                out[msg.name] = _message_plan(msg, channels)
    return list(out.values())


def _merged_plans(plans: list[MessagePlan], channels: tuple[int, ...] | None = None
                  ) -> list[MessagePlan]:
    """As _merged, for message plans (bound to `channels` when given)."""
    out: dict[str, MessagePlan] = {}
    for m in plans:
        bound = channels is not None and m.channels != channels
        out[m.name] = replace(m, channels=channels) if bound else m
    return list(out.values())


# The plan cache's JSON: one list per message, one per signal, in field order.
def _to_json(plans: list[MessagePlan]) -> list[Any]:
    return [
        [m.name, m.can_id, m.extended, m.j1939, m.cycle_time,
         [[s.name, s.start, s.length, s.big_endian, s.is_signed, s.is_float, s.scale, s.offset,
           s.unit, s.mux, list(s.mux_ids), [list(c) for c in s.choices], s.int_text]
          for s in m.signals]]
        for m in plans
    ]


def _from_json(data: list[Any]) -> list[MessagePlan]:
    def number(x: Any) -> int | float:
        if isinstance(x, bool) or not isinstance(x, (int, float)):
            raise TypeError("not a number")
        return x

    if not isinstance(data, list):
        raise TypeError("not a list of messages")
    out = []
    for name, can_id, extended, j1939, cycle, signals in data:
        sigs = tuple(
            SignalPlan(str(n), int(start), int(length), bool(be), bool(signed), bool(flt),
                       number(scale), number(offset), str(unit), int(mux),
                       tuple(int(i) for i in ids), tuple((int(r), str(t)) for r, t in choices),
                       bool(int_text))
            for (n, start, length, be, signed, flt, scale, offset, unit, mux, ids, choices,
                 int_text) in signals
        )
        out.append(MessagePlan(str(name), int(can_id), sigs, (),
                               None if extended is None else bool(extended), bool(j1939),
                               cycle_time=None if cycle is None else number(cycle)))
    return out


def plan(db: Any, messages: Sequence[str] | None = None) -> DecodePlan:
    """The decode plan of a database: what korvel.decode needs of it, for
    decoding many logs with one database (korvel.decode, korvel.dask.decode
    and korvel.lake.ingest take it as their db).

    db: anything korvel.decode takes as a CAN database. A path is read from
        the plan cache when an earlier call compiled a file of the same
        content (with the same cantools), else loaded by cantools and its
        plan kept there: a folder of the user's cache (the environment
        variable KORVEL_CACHE names another; off disables the cache).
    messages: only these messages (KeyError for a name the database lacks).
    """
    return decode_plan(db, messages)


def decode_plan(db: Any, messages: Sequence[str] | None = None) -> DecodePlan:
    """The DecodePlan of `db` (anything decode takes), with only `messages` when given."""
    if isinstance(db, DecodePlan):
        return db.select(messages)
    if not isinstance(db, Mapping):
        # Compiling a message costs about 0.1 ms: a few of a large database
        # need not pay for the rest.
        if messages is not None:
            messages = [messages] if isinstance(messages, str) else list(messages)
        wanted = None if messages is None else set(messages)
        return DecodePlan(tuple(_merged_plans(_plans_of(db, wanted)))).select(messages)

    per_channel: list[tuple[int, list[MessagePlan]]] = []
    for channel, item in db.items():
        if not isinstance(channel, numbers.Integral) or isinstance(channel, bool):
            raise TypeError(f"channel keys must be int, got {type(channel).__name__}")
        if not 0 <= int(channel) <= 255:
            raise ValueError(f"channel {channel} is outside 0..255")
        per_channel.append((int(channel), _merged_plans(_plans_of(item), (int(channel),))))
    # One message on several channels with one definition is one table whose
    # channel column tells them apart; differing definitions are Name@channel.
    by_name: dict[str, list[MessagePlan]] = {}
    for _, plans in per_channel:
        for plan in plans:
            by_name.setdefault(plan.name, []).append(plan)
    out = []
    for name, plans in by_name.items():
        first = plans[0]
        same = all(
            (s.can_id, s.is_extended, s.signals) == (first.can_id, first.is_extended, first.signals)
            for s in plans[1:]
        )
        if same:
            channels = tuple(c for s in plans for c in s.channels)
            out.append(replace(first, channels=channels))
        else:
            out.extend(replace(s, name=f"{name}@{s.channels[0]}") for s in plans)
    plan = DecodePlan(tuple(out))
    if messages is None:
        return plan
    if isinstance(messages, str):
        messages = [messages]
    # A name selects its table, or every Name@channel of it.
    names = [m.name for m in plan.messages]
    chosen = []
    for wanted in messages:
        hits = [n for n in names if n == wanted or n.rsplit("@", 1)[0] == wanted]
        if not hits:
            raise KeyError(wanted)
        chosen.extend(hits)
    return plan.select(chosen)


# --- tables ----------------------------------------------------------------------------


def _need(module: str) -> Any:
    try:
        return __import__(module)
    except ImportError as e:
        raise ImportError(
            f"{module} is needed for this; install it with: pip install 'korvel[tables]'"
        ) from e


@dataclass(frozen=True)
class _Labels:
    """A value-table column: codes into categories, -1 where there is no value."""

    codes: np.ndarray
    categories: tuple[str, ...]

    def text(self) -> np.ndarray:
        lookup = np.array([*self.categories, None], dtype=object)
        return lookup[self.codes]


class Table(Mapping):
    """One message's decoded frames: column name -> one-dimensional NumPy array.

    Columns: ``timestamp`` (int64 ns), ``channel`` (uint8), then each signal in
    database order, float64 with NaN where the frame has no value for it (its
    multiplexer selects another group, or the stored payload is too short).
    With choices=True a signal with a value table is text (an object array of
    labels, None where there is no value).
    """

    def __init__(
        self,
        name: str,
        columns: dict[str, np.ndarray],
        units: dict[str, str],
        labels: dict[str, _Labels] | None = None,
        *,
        plan: MessagePlan | None = None,
        raws: dict[str, tuple[np.ndarray, np.ndarray]] | None = None,
    ):
        self.name = name
        self.units = units
        self._columns = columns
        self._labels = labels or {}
        self._text: dict[str, np.ndarray] = {}
        # What align needs: the message's signals, and for labelled
        # multiplexers the raw values behind the labels (codes, distinct raws).
        self._plan = plan
        self._raws = raws or {}

    def __getitem__(self, key: str) -> np.ndarray:
        if key in self._labels:
            if key not in self._text:
                self._text[key] = self._labels[key].text()
            return self._text[key]
        return self._columns[key]

    def __iter__(self) -> Iterator[str]:
        return iter(self._columns)

    def __len__(self) -> int:
        return len(self._columns)

    @property
    def num_rows(self) -> int:
        """The number of rows (frames of the message)."""
        return len(self._columns["timestamp"])

    def __repr__(self) -> str:
        if self._plan is not None:
            signals = len(self._plan.signals)
        else:  # an aligned table: the timestamp, then signals
            signals = sum(c not in _NOT_SIGNALS for c in self._columns)
        noun = "signal" if signals == 1 else "signals"
        return f"<korvel.Table {self.name}: {self.num_rows} rows, {signals} {noun}>"

    def to_pandas(self) -> Any:
        """A pandas DataFrame; value-table columns as Categorical."""
        pd = _need("pandas")
        data = {}
        for name, col in self._columns.items():
            lab = self._labels.get(name)
            data[name] = (
                pd.Categorical.from_codes(lab.codes, categories=list(lab.categories))
                if lab is not None
                else col
            )
        return pd.DataFrame(data, copy=False)

    def to_arrow(self) -> Any:
        """A pyarrow.Table: numeric columns without a copy, value-table columns
        dictionary-encoded (null where there is no value); units as field
        metadata."""
        _need("pyarrow")
        import pyarrow as pa

        kinds = {"d": pa.float64(), "q": pa.int64(), "l": pa.int64(), "B": pa.uint8()}
        fields, arrays = [], []
        for name, col in self._columns.items():
            lab = self._labels.get(name)
            if lab is None:
                # The column's own memory, wrapped (the columns are contiguous).
                array = pa.Array.from_buffers(
                    kinds[col.dtype.char], len(col), [None, pa.py_buffer(col)]
                )
            else:
                codes = pa.array(lab.codes, mask=lab.codes < 0)
                array = pa.DictionaryArray.from_arrays(codes, pa.array(lab.categories, pa.string()))
            unit = self.units.get(name)
            fields.append(pa.field(name, array.type, metadata={"unit": unit} if unit else None))
            arrays.append(array)
        return pa.Table.from_arrays(arrays, schema=pa.schema(fields))


_NOT_SIGNALS = ("timestamp", "channel", "source", "destination")

# The most instants an aligned table may have (8 bytes each, per column).
ALIGN_MAX_INSTANTS = 100_000_000


class Tables(Mapping):
    """Message name -> Table, in database order; messages without frames left out."""

    def __init__(self, tables: dict[str, Table]):
        self._tables = tables

    def __getitem__(self, key: str) -> Table:
        return self._tables[key]

    def __iter__(self) -> Iterator[str]:
        return iter(self._tables)

    def __len__(self) -> int:
        return len(self._tables)

    def __repr__(self) -> str:
        return f"<korvel.Tables: {len(self)} messages>"

    def to_pandas(self) -> dict[str, Any]:
        """A dict of DataFrames, one per message."""
        return {name: t.to_pandas() for name, t in self._tables.items()}

    def align(
        self,
        *,
        step: int | None = None,
        on: str | None = None,
        signals: Sequence[str] | None = None,
        method: str = "hold",
        timeout: int | None = None,
        threads: int | None = None,
    ) -> Table:
        """Signals of several messages on one time axis: one Table with a
        ``timestamp`` column and one column per signal, named Message.Signal.

        Senders stay apart: where a message's table holds frames of several
        channels or (J1939) source addresses, each signal has a column per
        sender, Message.Signal[SENDER], SENDER naming what differs among
        them: the channel as chN, the source as 0xNN, or both as chN,0xNN
        (EEC1.EngSpeed[0x00], EngineData.EngineSpeed[ch2]). Messages of one
        sender keep the plain name.

        The axis is a regular grid of `step` ns from the first to the last
        sample of the chosen signals (at most ALIGN_MAX_INSTANTS instants),
        or the timestamps of message `on` (one of the two; Message[SENDER]
        takes those of one sender). A signal's samples are the frames that
        carry it: every frame of its message (of its sender), or for a
        multiplexed signal the frames whose multiplexer selects its group; a
        carried but missing value (J1939 not available) is a missing sample,
        and held as such.

        method: "hold" gives each instant the last sample at or before it (NaN
        before the first sample); "linear" interpolates between neighbouring
        samples the signals whose values need not be integers (floats, or a
        scale or offset that is not an integer) and holds the others
        (integer-valued and value-table signals) and after the last sample.
        timeout: NaN where the sample held is older than this (ns).
        signals: the columns as "Message.Signal" (every sender's column) or
            "Message.Signal[SENDER]" (default: every signal).
        threads: native threads (all usable cores when None).

        For signals that are not multiplexed, "hold" equals pandas'
        merge_asof(direction="backward", tolerance=timeout) of each message's
        table (of each sender, sorted by time) onto the axis.

        Raises ValueError for a non-positive step or timeout, an unknown
        method, message, sender or signal, for neither or both of step and
        on, and for a grid of more than ALIGN_MAX_INSTANTS instants.
        """
        if method not in ("hold", "linear"):
            raise ValueError(f"method must be 'hold' or 'linear' (got {method!r})")
        if (step is None) == (on is None):
            raise ValueError("give one of step (ns) and on (a message name)")
        if step is not None and (not isinstance(step, numbers.Integral) or step <= 0):
            raise ValueError(f"step must be a positive number of ns (got {step!r})")
        if timeout is not None and (not isinstance(timeout, numbers.Integral) or timeout <= 0):
            raise ValueError(f"timeout must be a positive number of ns (got {timeout!r})")
        shared: dict[Any, Any] = {}
        if on is not None:
            table, sender = self._sender_of(on, shared, "on")
            times = table["timestamp"] if sender.rows is None else table["timestamp"][sender.rows]
        chosen = self._align_columns(signals, shared)
        samples = [_Samples(t, sig, sender, shared) for t, sig, sender in chosen]
        if on is not None:
            grid = np.array(times, np.int64)  # a copy: the result owns it
        else:
            firsts = [s.times[0] for s in samples if len(s.times)]
            if not firsts:
                grid = np.zeros(0, np.int64)
            else:
                lo = min(firsts)
                hi = max(int(s.times[-1]) for s in samples if len(s.times))
                instants = (hi - lo) // int(step) + 1
                if instants > ALIGN_MAX_INSTANTS:
                    raise ValueError(
                        f"a step of {step} ns over the {(hi - lo) / 1e9:.6g} s of samples makes "
                        f"{instants:,} instants; at most {ALIGN_MAX_INSTANTS:,} instants (a step "
                        f"of at least {-(-(hi - lo) // (ALIGN_MAX_INSTANTS - 1))} ns)")
                grid = lo + np.arange(instants, dtype=np.int64) * int(step)
        grid = np.ascontiguousarray(grid)
        # Signals that share their samples' times go to the native pass together.
        groups: dict[int, list[int]] = {}
        for i, smp in enumerate(samples):
            groups.setdefault(id(smp.times), []).append(i)
        # The columns are cut from one block: a large one comes from the pages
        # of results dropped before, where columns of their own would be
        # fresh pages once the allocator has trimmed its heap.
        sizes = [len(grid) * (4 if smp.codes is not None else 8) for smp in samples]
        block = _k._block(sum((n + 7) & ~7 for n in sizes))
        results: dict[int, np.ndarray] = {}
        at = 0
        for i, smp in enumerate(samples):
            results[i] = block[at:at + sizes[i]].view(np.int32 if smp.codes is not None
                                                      else np.float64)
            at += (sizes[i] + 7) & ~7
        work = []
        for members in groups.values():
            jobs = []
            for i in members:
                smp, sig = samples[i], chosen[i][1]
                values = smp.codes if smp.codes is not None else smp.values
                linear = method == "linear" and not sig.int_text and not sig.choices
                jobs.append((np.ascontiguousarray(values), linear, results[i]))
            work.append((samples[members[0]].times, jobs))
        _k._align(grid, timeout or 0, work, threads)
        columns: dict[str, np.ndarray] = {"timestamp": grid}
        units, labels = {}, {}
        for i, (table, sig, sender) in enumerate(chosen):
            name = f"{table.name}.{sig.name}{sender.suffix}"
            columns[name] = results[i]
            if samples[i].codes is not None:
                labels[name] = _Labels(results[i], table._labels[sig.name].categories)
            units[name] = table.units.get(sig.name, "")
        return Table("aligned", columns, units, labels)

    def _senders(self, table: Table, shared: dict[Any, Any]) -> list[_Sender]:
        """The senders of a message's frames: one (every row) when its table
        holds one channel and source, else one per channel and source."""
        key = ("senders", table.name)
        if key in shared:
            return shared[key]
        channel = np.asarray(table["channel"])
        source = table._columns.get("source")
        who = channel.astype(np.int64) if source is None else (
            channel.astype(np.int64) << 8 | np.asarray(source, np.int64))
        keys, inverse = np.unique(who, return_inverse=True)
        if len(keys) <= 1:
            out = [_Sender("", None)]
        else:
            by_channel = len(np.unique(keys >> 8 if source is not None else keys)) > 1
            by_source = source is not None and len(np.unique(keys & 0xFF)) > 1
            out = []
            for k, key_value in enumerate(keys.tolist()):
                ch = key_value >> 8 if source is not None else key_value
                parts = ([f"ch{ch}"] if by_channel else []) + (
                    [f"0x{key_value & 0xFF:02X}"] if by_source else [])
                out.append(_Sender(f"[{','.join(parts)}]", np.flatnonzero(inverse.ravel() == k)))
        shared[key] = out
        return out

    def _sender_of(self, text: str, shared: dict[Any, Any], what: str) -> tuple[Table, _Sender]:
        """Message or Message[SENDER] -> its table and sender."""
        name, suffix = _split_sender(text)
        table = self._tables.get(name)
        if table is None:
            raise ValueError(f"{what}: no message {name!r} among the tables")
        if not suffix:
            return table, _Sender("", None)  # every frame of the message
        senders = self._senders(table, shared)
        for sender in senders:
            if sender.suffix == suffix:
                return table, sender
        names = ", ".join(f"{name}{s.suffix}" for s in senders)
        raise ValueError(f"{what}: {text!r} names no sender of {name} (its senders: {names})")

    def _align_columns(self, signals: Sequence[str] | None, shared: dict[Any, Any]
                       ) -> list[tuple[Table, SignalPlan, _Sender]]:
        if signals is None:
            return [(t, s, sender) for t in self._tables.values() if t._plan is not None
                    for s in t._plan.signals for sender in self._senders(t, shared)]
        if isinstance(signals, str):
            signals = [signals]
        out = []
        for text in signals:
            bare, suffix = _split_sender(text)
            message, _, signal = bare.rpartition(".")
            table = self._tables.get(message)
            plan = table._plan if table is not None else None
            found = [s for s in plan.signals if s.name == signal] if plan is not None else []
            if not found:
                raise ValueError(f"signals: no signal {text!r} (names are Message.Signal)")
            senders = self._senders(table, shared)
            if suffix:
                picked = [s for s in senders if s.suffix == suffix]
                if not picked:
                    names = ", ".join(f"{bare}{s.suffix}" for s in senders)
                    raise ValueError(f"signals: {text!r} names no sender of {message} (its "
                                     f"columns: {names})")
                senders = picked
            out.extend((table, found[0], sender) for sender in senders)
        return out

    def to_parquet(self, directory: str | os.PathLike) -> None:
        """Writes one <Message>.parquet file per message into `directory`."""
        _need("pyarrow")
        import pyarrow.parquet as pq

        os.makedirs(directory, exist_ok=True)
        for name, t in self._tables.items():
            pq.write_table(t.to_arrow(), os.path.join(directory, f"{name}.parquet"))


# --- align ---------------------------------------------------------------------------------


@dataclass(frozen=True)
class _Sender:
    """One sender of a message: the column names' suffix ("" for a message of
    one sender) and its rows of the table (None: every row)."""

    suffix: str
    rows: np.ndarray | None = field(compare=False)


def _split_sender(text: str) -> tuple[str, str]:
    """"EEC1.EngSpeed[0x00]" -> ("EEC1.EngSpeed", "[0x00]")."""
    if text.endswith("]") and "[" in text:
        at = text.rindex("[")
        return text[:at], text[at:]
    return text, ""


class _Samples:
    """One signal's samples in time order: times, and values or label codes.
    `shared` keeps, per table, sender and multiplexer group, the frames that
    carry the group and their time order, so that the signals of a group
    share one times array (and one search on the axis)."""

    def __init__(self, table: Table, sig: SignalPlan, sender: _Sender, shared: dict[Any, Any]):
        key = (table.name, sender.suffix, _group(table, sig))
        if key not in shared:
            keep = _selected(table, sig, shared)
            times = np.ascontiguousarray(table["timestamp"], np.int64)
            if sender.rows is not None:
                keep = sender.rows if keep is None else sender.rows[keep[sender.rows]]
            if keep is not None:
                times = times[keep]
            order = None
            if len(times) > 1 and not np.all(times[1:] >= times[:-1]):
                order = np.argsort(times, kind="stable")
                times = times[order]
            shared[key] = times, keep, order
        times, keep, order = shared[key]

        def arranged(col: np.ndarray) -> np.ndarray:
            col = col[keep] if keep is not None else col
            return col[order] if order is not None else col

        self.times = times
        lab = table._labels.get(sig.name)
        self.codes = arranged(lab.codes) if lab is not None else None
        self.values = None if lab is not None else arranged(table._columns[sig.name])


def _group(table: Table, sig: SignalPlan) -> tuple[Any, ...]:
    """The multiplexer chain that selects a signal: (multiplexer, ids) pairs,
    innermost first; empty for a signal every frame carries."""
    plan = table._plan
    chain: list[Any] = []
    while plan is not None and 0 <= sig.mux < len(plan.signals) and len(chain) < 64:
        chain.append((sig.mux, sig.mux_ids))
        sig = plan.signals[sig.mux]
    return tuple(chain)


def _raw_values(table: Table, sig: SignalPlan) -> tuple[np.ndarray, np.ndarray]:
    """A signal's raw values per frame, and where it has one."""
    if sig.name in table._raws:
        codes, raws = table._raws[sig.name]
        have = codes >= 0
        return np.where(have, np.asarray(raws, np.int64)[np.maximum(codes, 0)], 0), have
    value = table._columns[sig.name]
    have = ~np.isnan(value)
    if sig.scale == 1 and sig.offset == 0:
        raw = np.where(have, value, 0)
    else:
        raw = np.where(have, np.rint((value - float(sig.offset)) / float(sig.scale)), 0)
    return raw.astype(np.int64), have


def _selected(table: Table, sig: SignalPlan, shared: dict[Any, Any]) -> np.ndarray | None:
    """The frames whose multiplexers select the signal's group (None: every
    frame carries it)."""
    chosen = None
    plan = table._plan
    for mux_index, ids in _group(table, sig):
        key = ("raw", table.name, mux_index)
        if key not in shared:
            shared[key] = _raw_values(table, plan.signals[mux_index])
        raw, have = shared[key]
        here = have & np.isin(raw, np.array(ids, np.int64))
        chosen = here if chosen is None else chosen & here
    return chosen


# --- decode ------------------------------------------------------------------------------


def _errors_arg(errors: str) -> None:
    if errors not in ("raise", "skip"):
        raise ValueError(f"errors must be 'raise' or 'skip' (got {errors!r})")


def _labels(plan: SignalPlan, codes: np.ndarray, raws: np.ndarray, missing_from: int = 0) -> _Labels:
    if plan.length == 64 and not plan.is_signed:
        raws = raws.view(np.uint64)
    table = dict(plan.choices)
    texts: list[str | None] = []
    for r in raws.tolist():
        text = table.get(r)
        if text is None and not (missing_from and r >= missing_from):
            text = plan.number_text(r)
        texts.append(text)  # None: not available, and no label says otherwise
    # Two raw values may read alike (a shared label, a label spelling another
    # value's number): one category each.
    first: dict[str, int] = {}
    remap = [-1 if t is None else first.setdefault(t, len(first)) for t in texts]
    if len(first) != len(texts):
        codes = np.append(np.array(remap, np.int32), np.int32(-1))[codes]
    return _Labels(codes, tuple(first))


def decode(
    frames: Any,
    db: Any,
    *,
    messages: Sequence[str] | None = None,
    choices: bool = False,
    threads: int | None = None,
    errors: str = "raise",
    j1939: bool | str = "auto",
    j1939_na: str = "nan",
    payload_offset: int = 0,
) -> Tables:
    """Every signal of a database, one Table per message.

    A data frame belongs to a message when its identifier equals the message's
    and both are extended (29-bit) or both base (11-bit); remote and error
    frames carry no values. Each Table holds ``timestamp`` (int64 ns),
    ``channel`` (uint8) and every signal in database order (float64, NaN where a
    frame has no value: payload too short, or its multiplexer selects another
    group), as cantools decodes them.

    J1939 messages are matched by parameter group number (PGN): an extended
    frame that no message has the identifier of goes to the first message of
    its PGN and source address, failing that to the first of its PGN. Their
    tables have a ``source`` column (uint8) after ``channel``, and a
    ``destination`` column for destination-specific (PDU1) messages.

    frames: a frames pair, a transfers pair (korvel.j1939.transfers: the
        complete transfers decode as messages of their full length, timed by
        their last frame), or a path or a binary stream, read quietly (what the
        reader would print comes as a korvel.korvel.BLFWarning). Paths ending in
        .asc, .log (candump) and .trc, and files whose first line is one of
        those formats', are read by their text reader (lines it skips come as a
        korvel.korvel.TextWarning).
    db: an LDF file (a path ending in .ldf, or an ldfparser LDF): frames is
        then a LIN pair or a log whose LIN frames are decoded, one Table per
        LIN frame (see korvel.lin); else a cantools database, a path cantools loads, a list of those (merged; a
        later message of the same name replaces an earlier one), a dict
        {channel: database, path or list} (frames on other channels are left
        out), or a DecodePlan (korvel.plan). A path's plan comes from the
        plan cache when an earlier call compiled a file of the same content;
        else cantools parses the file while the log is read (threads not 1).
    messages: the names of the messages to decode (all when None).
    choices: signals with a value table as labels (text, None where there is
        no value); an unlabelled raw value keeps its number as text.
    threads: native threads grouping ranges of the frames and decoding
        messages in parallel (all usable cores when None); the tables are
        those of one thread, bit for bit.
    errors: "raise", or "skip" to read past damaged parts of a log given as a
        path or stream (a BLFWarning for each region skipped).
    j1939: "auto" matches the messages the database marks as J1939 (cantools'
        protocol "j1939") by PGN, True every extended message, False none.
    j1939_na: "nan" reads the unsigned 2, 8, 16 and 32-bit signals of
        PGN-matched messages in J1939's error and not-available ranges as
        missing (NaN; with choices a label still names such a value, else
        None); "keep" decodes them as any other value.
    payload_offset: decode as if this many bytes (zeros) preceded each payload:
        for databases written for a decoder that keeps the first frame's length
        byte in front of a transfer's payload (common UDS DBCs need 1). Meant
        for transfers pairs; frames pairs and logs are shifted alike.

    Returns a korvel.Tables: message name -> Table, in database order, without
    the messages that have no frames.

    Raises KeyError for a name in messages that the database lacks, TypeError
    for a db of another kind, cantools' error (naming the path) for a database
    it cannot load, ValueError for a bad errors, j1939 or j1939_na value, a
    negative payload_offset or payload offsets outside the payload array,
    TypeError for a j1939, j1939_na or payload_offset of another type, and what
    korvel.korvel.read raises for a log.
    """
    _errors_arg(errors)
    _offset_arg(payload_offset)
    _j1939_na_arg(j1939_na)
    from .lin import decode_lin, is_ldf

    if is_ldf(db):
        return decode_lin(frames, db, messages=messages, choices=choices, threads=threads,
                          errors=errors)
    from ._logs import frames_of, read_beside

    def compiled() -> DecodePlan:
        return decode_plan(db, messages).matching(j1939)

    if _loads_files(db):
        # A database to parse: cantools holds the interpreter while the read
        # does not, so the two go side by side.
        plan, pair = read_beside(frames, compiled, threads=threads, errors=errors)
    else:
        plan = compiled()
        pair = frames_of(frames, threads=threads, errors=errors)
    index, chunk = _as_frames(pair)
    if payload_offset:
        index, chunk = shift_payloads(index, chunk, payload_offset)
    results = _k._decode_tables(index, chunk, plan.native(bool(choices), j1939_na), threads)
    tables = {}
    for msg, res in zip(plan.messages, results):
        if res is None:
            continue
        timestamps, channels, values, codes, sources, destinations = res
        columns: dict[str, np.ndarray] = {"timestamp": timestamps, "channel": channels}
        if sources is not None:
            columns["source"] = sources
        if destinations is not None:
            columns["destination"] = destinations
        labels, raws = {}, {}
        muxes = {s.mux for s in msg.signals}
        for i, sig in enumerate(msg.signals):
            columns[sig.name] = values[i]
            if i in codes:
                missing = _missing_from(sig) if msg.by_pgn and j1939_na == "nan" else 0
                labels[sig.name] = _labels(sig, *codes[i], missing)
                if i in muxes:
                    raws[sig.name] = codes[i]
        units = {s.name: s.unit for s in msg.signals}
        tables[msg.name] = Table(msg.name, columns, units, labels, plan=msg, raws=raws)
    return Tables(tables)


def _loads_files(db: Any) -> bool:
    """Whether a db names a database file (alone, in a list or by channel)."""
    if isinstance(db, (str, os.PathLike)):
        return True
    if isinstance(db, Mapping):
        return any(_loads_files(v) for v in db.values())
    return isinstance(db, (list, tuple)) and any(_loads_files(v) for v in db)


def _as_frames(frames: Any) -> tuple[np.ndarray, np.ndarray]:
    """A frames pair as it is; a transfers pair as the frames its complete
    transfers would be (timed by their last frame)."""
    index, chunk = frames[0], frames[1]
    if getattr(index, "dtype", None) == _k._TRANSFER:
        from .transfers import as_frames

        return as_frames((index, chunk))
    return index, chunk


def _offset_arg(payload_offset: Any) -> None:
    if isinstance(payload_offset, bool) or not isinstance(payload_offset, numbers.Integral):
        raise TypeError(f"payload_offset must be an int, got {type(payload_offset).__name__}")
    if not 0 <= payload_offset <= 0xFFFF:
        raise ValueError(f"payload_offset must be 0 to 65535 (got {payload_offset})")


def shift_payloads(index: np.ndarray, chunk: np.ndarray, n: int) -> tuple[np.ndarray, np.ndarray]:
    """The frames with `n` zero bytes in front of each payload (``len`` and the
    stored count grown by `n`, capped at 255 and 65535)."""
    mask = np.uint64((1 << 48) - 1)
    loc = index["loc"]
    counts = (loc >> np.uint64(48)).astype(np.int64)
    offsets = (loc & mask).astype(np.int64)
    grown = np.minimum(counts + n, 0xFFFF)
    kept = grown - n  # bytes of each payload that still fit the stored count
    starts = np.cumsum(grown) - grown
    out = np.zeros(int(grown.sum()), np.uint8)
    if kept.sum():
        before = np.cumsum(kept) - kept
        step = np.arange(int(kept.sum()))
        out[np.repeat(starts + n - before, kept) + step] = np.asarray(chunk)[
            np.repeat(offsets - before, kept) + step]
    shifted = index.copy()
    shifted["loc"] = starts.astype(np.uint64) | (grown.astype(np.uint64) << np.uint64(48))
    shifted["len"] = np.minimum(index["len"].astype(np.int64) + n, 255)
    return shifted, out
