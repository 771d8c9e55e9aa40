"""ISO-TP: korvel.isotp.transfers against a plain Python reassembler.

The log: 1,000,000 classic CAN frames on channel 1, about 10 % of them
diagnostics on the standard identifiers: a tester reading identifiers
(single frames [3, 0x22, DID] on 0x7E0) and ECUs answering on 0x7E8-0x7EF,
with single frames (positive answers, negative ones, "response pending")
and multi-frame answers of 8 to 200 bytes (first frame, flow control from
0x7E0, consecutive frames, padded with 0xAA). A few answers from two ECUs
interleave; a few lose a consecutive frame (gap) or start over (interrupted),
and the log ends inside one (cut). The other 90 % is ordinary traffic on
other identifiers.

  (a) korvel.isotp.transfers(frames), frames in memory, in frames per second
      (it runs on one thread).
  (b) the same against the reassembler users write today over python-can
      messages (built once, outside the timing): a dict of open sessions per
      channel and identifier, single, first, consecutive and flow-control
      frames, the sequence number checked. Every transfer compared.
  (c) the whole road from the BLF file: python-can's BLFReader feeding that
      reassembler, against korvel.isotp.transfers(path).

korvel is also checked against the transfers the log was generated with.
Times are medians of several runs, the two taken in turns; ratios use the
medians of the same run.

    python benchmarks/bench_isotp.py [--runs R]
"""

from __future__ import annotations

import argparse
import os
import statistics
import sys

import can
import numpy as np
from loggen import CACHE, classic_frames
from timing import median_time

import korvel.isotp as it
from korvel import korvel as k

N_FRAMES = 1_000_000
DIAG_SHARE = 0.10
T0_NS = 1_700_000_000_000_000_000
BLF_PATH = CACHE / "isotp.blf"

TESTER = 0x7E0
ECUS = list(range(0x7E8, 0x7F0))
DIAG_IDS = {0x7DF, *range(0x7E0, 0x7F0)}  # what transfers() reads by default
PAD = 0xAA
FIRST, LAST = 1, 2  # a frame's role in its expected transfer


# --- the log ---------------------------------------------------------------------------------


class Expected:
    """A transfer as generated: its first and last accepted frame number
    among the diagnostic frames, what it carries and how it ends."""

    __slots__ = ("can_id", "data", "first", "last", "protocol", "status")

    def __init__(self, can_id, protocol, status, data):
        self.can_id, self.protocol, self.status, self.data = can_id, protocol, status, data
        self.first = self.last = -1


def padded(values):
    return bytes(values) + bytes([PAD]) * (8 - len(values))


def single(can_id, body):
    """A single frame: (can_id, 8 bytes, expected transfer, role)."""
    exp = Expected(can_id, it.ISOTP_SINGLE, it.COMPLETE, bytes(body))
    return [(can_id, padded([len(body), *body]), exp, FIRST | LAST)]


def multi(rng, can_id, body, fault=None):
    """A multi-frame answer with the tester's flow control. fault: "gap" (a
    consecutive frame other than the last is lost) or "interrupted" (the ECU
    stops partway)."""
    size = len(body)
    pieces = [body[i:i + 7] for i in range(6, size, 7)]
    sent = len(pieces)
    lost = -1
    if fault == "gap":
        lost = int(rng.integers(0, sent - 1))
    elif fault == "interrupted":
        sent = int(rng.integers(0, sent))
    kept = lost if lost >= 0 else sent  # consecutive frames that count
    status = {None: it.COMPLETE, "gap": it.GAP, "interrupted": it.INTERRUPTED}[fault]
    exp = Expected(can_id, it.ISOTP_MULTI, status, bytes(body[:6 + 7 * kept]))
    out = [(can_id, padded([0x10 | size >> 8, size & 0xFF, *body[:6]]), exp,
            FIRST | (LAST if kept == 0 else 0)),
           (TESTER, padded([0x30, 0, 0]), None, 0)]
    for i, piece in enumerate(pieces[:sent]):
        if i != lost:
            out.append((can_id, padded([0x20 | ((i + 1) & 0xF), *piece]), exp,
                        LAST if i + 1 == kept else 0))
    return out


def answer(rng, did, size):
    """A positive answer to reading `did`: size bytes."""
    return bytes([0x62, did >> 8, did & 0xFF]) + rng.integers(0, 256, size - 3,
                                                              np.uint8).tobytes()


def exchange(rng):
    """A request and what answers it."""
    did = int(rng.choice([0xF190, 0xF18C, 0xF187, 0xF40D, 0x0100, 0x2002, 0xDD01, 0xF1A0]))
    out = single(TESTER, [0x22, did >> 8, did & 0xFF])
    ecu = int(rng.choice(ECUS))
    roll = rng.random()
    if roll < 0.03:  # two ECUs answer at once, their frames interleaved
        a, b = rng.choice(ECUS, 2, replace=False)
        fa = multi(rng, int(a), answer(rng, did, int(rng.integers(8, 201))))
        fb = multi(rng, int(b), answer(rng, did, int(rng.integers(8, 201))))
        turns = rng.permutation([0] * len(fa) + [1] * len(fb))
        queues = [iter(fa), iter(fb)]
        out += [next(queues[t]) for t in turns]
    elif roll < 0.25:
        out += single(ecu, answer(rng, did, int(rng.integers(4, 8))))
    elif roll < 0.30:
        out += single(ecu, [0x7F, 0x22, int(rng.choice([0x31, 0x33, 0x13]))])
    else:
        if roll < 0.34:
            out += single(ecu, [0x7F, 0x22, 0x78])  # response pending, the answer follows
        fault = None
        if rng.random() < 0.02:
            fault = "gap" if rng.random() < 0.6 else "interrupted"
        body = answer(rng, did, int(rng.integers(22 if fault else 8, 201)))
        out += multi(rng, ecu, body, fault)
        if fault == "interrupted":  # the ECU starts over
            out += multi(rng, ecu, body)
    return out


def diagnostics(n, seed=7):
    """About n diagnostic frames as (can_id, 8 bytes), and the transfers they
    carry, in order of their first frame."""
    rng = np.random.default_rng(seed)
    frames = []
    while len(frames) < n - 40:
        frames += exchange(rng)
    # The log ends inside an answer: first frame, flow control and two more.
    frames += single(TESTER, [0x22, 0xF1, 0x90])
    cut = multi(rng, ECUS[0], answer(rng, 0xF190, 150))[:4]
    exp = cut[0][2]
    exp.status, exp.data = it.CUT, exp.data[:6 + 2 * 7]
    frames += cut[:3] + [(*cut[3][:3], LAST)]
    expected = []
    for i, (_, _, exp, role) in enumerate(frames):
        if role & FIRST:
            exp.first = i
            expected.append(exp)
        if role & LAST:
            exp.last = i
    return [(f[0], f[1]) for f in frames], expected


def make_log(diag, seed=11):
    """The diagnostic frames at random places among ordinary traffic: a
    frames pair of N_FRAMES classic frames on channel 1."""
    rng = np.random.default_rng(seed)
    n_ordinary = N_FRAMES - len(diag)
    _, ids, dlc, payload, _ = classic_frames(n_ordinary, seed=3)
    is_diag = np.zeros(N_FRAMES, bool)
    is_diag[rng.choice(N_FRAMES, len(diag), replace=False)] = True
    can_id = np.empty(N_FRAMES, np.uint32)
    lens = np.empty(N_FRAMES, np.uint8)
    data = np.empty((N_FRAMES, 8), np.uint8)
    can_id[~is_diag], lens[~is_diag], data[~is_diag] = ids, dlc, payload
    can_id[is_diag] = [f[0] for f in diag]
    lens[is_diag] = 8
    data[is_diag] = np.frombuffer(b"".join(f[1] for f in diag), np.uint8).reshape(-1, 8)

    index = np.zeros(N_FRAMES, k.DT)
    index["timestamp"] = T0_NS + np.cumsum(rng.integers(40_000, 160_000, N_FRAMES))
    index["can_id"] = can_id
    index["channel"] = 1
    index["len"] = lens
    index["flags"] = 0x04
    offsets = np.concatenate([[0], np.cumsum(lens, dtype=np.uint64)[:-1]]).astype(np.uint64)
    index["loc"] = offsets + (lens.astype(np.uint64) << np.uint64(48))
    chunk = data[np.arange(8) < lens[:, None]]  # row by row: each frame's bytes in turn
    return index, chunk


def diag_rows(frames):
    index = frames[0]
    base = (index["flags"] & 0x40) == 0
    return np.flatnonzero(base & np.isin(index["can_id"], sorted(DIAG_IDS)))


def same_diagnostics(frames, diag):
    index, chunk = frames
    rows = diag_rows(frames)
    if len(rows) != len(diag):
        return False
    offs = (index["loc"][rows] & np.uint64((1 << 48) - 1)).astype(np.int64)
    got = chunk[offs[:, None] + np.arange(8)].tobytes()
    return (index["can_id"][rows].tolist() == [f[0] for f in diag]
            and got == b"".join(f[1] for f in diag))


def prepare():
    """The log read back from its cache (written again if it no longer
    holds the diagnostics generated now), and the expected transfers."""
    diag, expected = diagnostics(int(N_FRAMES * DIAG_SHARE))
    CACHE.mkdir(parents=True, exist_ok=True)
    if BLF_PATH.exists():
        frames = k.read(BLF_PATH, verbose=False)
        if same_diagnostics(frames, diag):
            return frames, expected
    print("generating the log (cached in benchmarks/.cache) ...", flush=True)
    k.write(BLF_PATH, make_log(diag), verbose=False)
    frames = k.read(BLF_PATH, verbose=False)
    assert same_diagnostics(frames, diag)
    return frames, expected


def messages_of(frames):
    """The frames as python-can messages, as a BLF reader gives them."""
    index, chunk = frames
    offs = (index["loc"] & np.uint64((1 << 48) - 1)).astype(np.int64).tolist()
    lens = (index["loc"] >> np.uint64(48)).astype(np.int64).tolist()
    raw = chunk.tobytes()
    ts = (index["timestamp"] / 1e9).tolist()
    ids = index["can_id"].tolist()
    ext = ((index["flags"] & 0x40) != 0).tolist()
    channels = index["channel"].tolist()
    return [
        can.Message(timestamp=t, arbitration_id=i, is_extended_id=x, channel=c, is_rx=True,
                    data=raw[o:o + n])
        for t, i, x, c, o, n in zip(ts, ids, ext, channels, offs, lens)
    ]


# --- the plain Python reassembler --------------------------------------------------------------


class Session:
    __slots__ = ("can_id", "data", "frame", "next", "size", "start", "stop")

    def __init__(self, msg, size, frame):
        self.start = self.stop = msg.timestamp
        self.can_id = msg.arbitration_id
        self.size = size
        self.data = bytearray(msg.data[2:2 + size])
        self.next = 1
        self.frame = frame

    def closed(self, status):
        return (self.start, self.stop, self.can_id, status, bytes(self.data), self.frame)


def python_transfers(messages, ids=DIAG_IDS):
    """ISO-TP messages as (start, stop, can_id, status, bytes, frame number),
    in order of start."""
    sessions = {}
    out = []
    for n, msg in enumerate(messages):
        if msg.is_extended_id or msg.arbitration_id not in ids:
            continue
        if msg.is_error_frame or msg.is_remote_frame or not msg.data:
            continue
        data = msg.data
        key = (msg.channel, msg.arbitration_id)
        kind = data[0] >> 4
        if kind == 0:  # single frame
            size = data[0] & 0x0F
            if size == 0 or size >= len(data):
                continue
            if key in sessions:
                out.append(sessions.pop(key).closed(it.INTERRUPTED))
            t = msg.timestamp
            out.append((t, t, msg.arbitration_id, it.COMPLETE, bytes(data[1:1 + size]), n))
        elif kind == 1:  # first frame
            if len(data) < 2:
                continue
            size = (data[0] & 0x0F) << 8 | data[1]
            if size < 8:  # would have fitted a single frame
                continue
            if key in sessions:
                out.append(sessions.pop(key).closed(it.INTERRUPTED))
            sessions[key] = Session(msg, size, n)
        elif kind == 2:  # consecutive frame
            s = sessions.get(key)
            if s is None:
                continue
            if data[0] & 0x0F != s.next:
                out.append(sessions.pop(key).closed(it.GAP))
                continue
            s.data += data[1:1 + s.size - len(s.data)]
            s.stop = msg.timestamp
            s.next = (s.next + 1) & 0x0F
            if len(s.data) == s.size:
                out.append(sessions.pop(key).closed(it.COMPLETE))
        # Flow control (3) carries no payload.
    out += [s.closed(it.CUT) for s in sessions.values()]
    out.sort(key=lambda r: (r[0], r[5]))
    return out


# --- checks ----------------------------------------------------------------------------------


def mismatches_python(pair, theirs):
    """Transfers that differ in can_id, status, bytes, or start and stop by
    1 us or more (python-can keeps float seconds), plus the count difference."""
    records = pair[0]
    data = it.payloads(pair)
    bad = abs(len(records) - len(theirs))
    rows = zip(records["start"].tolist(), records["stop"].tolist(), records["can_id"].tolist(),
               records["status"].tolist(), data, theirs)
    for start, stop, can_id, status, got, t in rows:
        bad += not (can_id == t[2] and status == t[3] and got == t[4]
                    and abs(start / 1e9 - t[0]) < 1e-6 and abs(stop / 1e9 - t[1]) < 1e-6)
    return bad


def mismatches_expected(frames, pair, expected):
    """Transfers that differ from the generated ones in any field korvel fills."""
    ts = frames[0]["timestamp"][diag_rows(frames)].tolist()
    records = pair[0]
    data = it.payloads(pair)
    bad = abs(len(records) - len(expected))
    for r, got, want in zip(records.tolist(), data, expected):
        rec = dict(zip(records.dtype.names, r))
        bad += not (rec["can_id"] == want.can_id and rec["protocol"] == want.protocol
                    and rec["status"] == want.status and got == want.data
                    and rec["start"] == ts[want.first] and rec["stop"] == ts[want.last]
                    and rec["channel"] == 1 and rec["received"] == len(want.data))
    return bad


# --- main ------------------------------------------------------------------------------------


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--runs", type=int, default=5)
    args = ap.parse_args()

    frames, expected = prepare()
    n = len(frames[0])
    n_diag = len(diag_rows(frames))
    counts = {name: sum(e.status == s for e in expected) for s, name in
              ((it.COMPLETE, "complete"), (it.GAP, "gap"), (it.INTERRUPTED, "interrupted"),
               (it.CUT, "cut"))}
    n_multi = sum(e.protocol == it.ISOTP_MULTI for e in expected)
    print(f"{n} frames, {n_diag} diagnostic ({n_diag / n:.1%}); {len(expected)} transfers "
          f"({n_multi} multi-frame): " + ", ".join(f"{v} {s}" for s, v in counts.items()))

    messages = messages_of(frames)

    def run_korvel():
        return it.transfers(frames)

    def run_python():
        return python_transfers(messages)

    # korvel takes milliseconds: each round times it 5 times (median), then
    # the Python reassembler once.
    kt, pt = [], []
    for _ in range(args.runs):
        kt.append(median_time(run_korvel, 5))
        pt.append(median_time(run_python, 1))
    t_k, t_p = statistics.median(kt), statistics.median(pt)
    rate = n / t_k

    pair = run_korvel()
    theirs = run_python()
    bad_python = mismatches_python(pair, theirs)
    bad_expected = mismatches_expected(frames, pair, expected)

    print(f"\n(a) korvel.isotp.transfers, frames in memory, one thread, {args.runs} rounds: "
          f"median {t_k * 1e3:.2f} ms = {rate / 1e6:.1f} M frames/s")
    print(f"(b) plain Python over python-can messages: median {t_p * 1e3:.0f} ms = "
          f"{n / t_p / 1e6:.2f} M frames/s; korvel {t_p / t_k:.0f}x faster")
    print(f"    transfers: korvel {len(pair[0])}, Python {len(theirs)}; "
          f"{bad_python} mismatches")
    print(f"    korvel against the transfers as generated: {bad_expected} mismatches")

    # The whole road from the file, as users take it: python-can's BLFReader
    # into the same reassembler, against korvel reading the path itself.
    def run_korvel_path():
        return it.transfers(BLF_PATH)

    def run_python_path():
        with can.BLFReader(str(BLF_PATH)) as reader:
            return python_transfers(list(reader))

    kp, pp = [], []
    for _ in range(max(1, args.runs // 2)):
        kp.append(median_time(run_korvel_path, 3))
        pp.append(median_time(run_python_path, 1))
    t_kp, t_pp = statistics.median(kp), statistics.median(pp)
    bad_path = mismatches_python(run_korvel_path(), run_python_path())
    print(f"(c) from the BLF file: korvel median {t_kp * 1e3:.0f} ms, python-can's BLFReader and "
          f"the Python reassembler {t_pp * 1e3:.0f} ms: korvel {t_pp / t_kp:.0f}x faster, "
          f"{bad_path} mismatches")

    print("\ntargets:")
    print(f"  transfers at least 30 M frames/s:      {rate / 1e6:.1f} M frames/s")
    print(f"  at least 50x faster than plain Python: {t_p / t_k:.0f}x over messages in memory, "
          f"{t_pp / t_kp:.0f}x from the file")
    print(f"  mismatches against Python:             {bad_python}")


if __name__ == "__main__":
    sys.path.insert(0, os.path.dirname(__file__))
    main()
