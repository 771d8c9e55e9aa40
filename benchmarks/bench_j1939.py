"""J1939: decoding matched by PGN, transport-protocol reassembly, and asammdf.

The case: a J1939 DBC of 17 parameter groups (14 broadcast, 3 PDU1 ones sent
to a destination; 110 signals), every message marked J1939PG so that
cantools gives it protocol "j1939", identifiers with source address 0xFE.
The log: 1,000,000 frames in which each parameter group comes from 2-4
senders (source addresses at their own priorities; PDU1 groups to one or two
destinations, one sender at two priorities), values as a vehicle sends them:
rolling counters, states that hold, slowly moving measurements, parameters a
sender lacks (not available throughout) and short error and not-available
dropouts.

  (a) korvel.decode(frames, db) matching by PGN against the exact-identifier
      decode of the same log with its identifiers rewritten to the DBC's own
      (j1939=False), frames in memory; a sample of frames against cantools.
  (b) korvel.j1939.transfers on a log where about 5% of the frames are TP
      sessions (BAM broadcasts, RTS/CTS connections), every transfer checked.
  (c) the whole path against asammdf's extract_bus_logging on the same frames
      as an MDF4 CAN bus log, and what asammdf's J1939 grouping does to the
      samples.

Times are medians of several runs; ratios use the medians of the same run.

    python benchmarks/bench_j1939.py [--runs R]
"""

from __future__ import annotations

import argparse
import math
import os
import re
import statistics
import sys
import time
from collections import Counter

import cantools
import numpy as np
from bench_tables import write_mf4  # the same MDF4 bus log as the tables benchmark
from loggen import CACHE
from timing import median_time

import korvel
import korvel.j1939
from korvel import korvel as k

N_FRAMES = 1_000_000
TP_SHARE = 0.05
T0_NS = 1_700_000_000_000_000_000
DBC_PATH = CACHE / "j1939.dbc"
BLF_PATH = CACHE / "j1939.blf"
MF4_PATH = CACHE / "j1939.mf4"
TP_PATH = CACHE / "j1939_tp.blf"

DBC_SOURCE = 0xFE
SAMPLE = 20_000  # frames checked against cantools

# --- the database ----------------------------------------------------------------------

# name, PGN, DBC priority, period (s), signals, streams.
# signal: name, start, length, scale, offset, kind ("u", "s" or "f"), unit.
# stream: (source, priority, destination); destination None for PDU2 groups.
MESSAGES = [
    ("EEC1", 0xF004, 3, 0.01, [
        ("EngTorqueMode", 0, 4, 1, 0, "u", ""),
        ("ActEngPctTorqueFine", 4, 4, 0.125, 0, "u", "%"),
        ("DrvDemandEngPctTorque", 8, 8, 1, -125, "u", "%"),
        ("ActEngPctTorque", 16, 8, 1, -125, "u", "%"),
        ("EngSpeed", 24, 16, 0.125, 0, "u", "rpm"),
        ("CtrlDeviceSource", 40, 8, 1, 0, "u", ""),
        ("EngStarterMode", 48, 4, 1, 0, "u", ""),
        ("EngDemandPctTorque", 56, 8, 1, -125, "u", "%"),
    ], [(0x00, 3, None), (0x01, 3, None), (0x0F, 6, None)]),
    ("EEC2", 0xF003, 3, 0.05, [
        ("AccelPedalLowIdle", 0, 2, 1, 0, "u", ""),
        ("AccelPedalKickdown", 2, 2, 1, 0, "u", ""),
        ("RoadSpeedLimitStatus", 4, 2, 1, 0, "u", ""),
        ("AccelPedal2LowIdle", 6, 2, 1, 0, "u", ""),
        ("AccelPedalPos", 8, 8, 0.4, 0, "u", "%"),
        ("EngPctLoad", 16, 8, 1, 0, "u", "%"),
        ("RemoteAccelPedalPos", 24, 8, 0.4, 0, "u", "%"),
        ("AccelPedal2Pos", 32, 8, 0.4, 0, "u", "%"),
        ("AccelRateLimitStatus", 40, 2, 1, 0, "u", ""),
        ("MaxPowerEnableFeedback", 42, 2, 1, 0, "u", ""),
        ("ActMaxAvailTorque", 48, 8, 0.4, 0, "u", "%"),
    ], [(0x00, 3, None), (0x01, 3, None)]),
    ("ETC2", 0xF005, 6, 0.1, [
        ("SelectedGear", 0, 8, 1, -125, "u", ""),
        ("ActGearRatio", 8, 16, 0.001, 0, "u", ""),
        ("CurrentGear", 24, 8, 1, -125, "u", ""),
        ("RequestedRange", 32, 16, 1, 0, "u", ""),
        ("CurrentRange", 48, 16, 1, 0, "u", ""),
    ], [(0x03, 6, None), (0x05, 6, None)]),
    ("CCVS1", 0xFEF1, 6, 0.1, [
        ("TwoSpeedAxleSwitch", 0, 2, 1, 0, "u", ""),
        ("ParkingBrakeSwitch", 2, 2, 1, 0, "u", ""),
        ("CruisePauseSwitch", 4, 2, 1, 0, "u", ""),
        ("ParkBrakeInhibitRq", 6, 2, 1, 0, "u", ""),
        ("WheelSpeed", 8, 16, 0.00390625, 0, "u", "km/h"),
        ("CruiseActive", 24, 2, 1, 0, "u", ""),
        ("CruiseEnableSwitch", 26, 2, 1, 0, "u", ""),
        ("BrakeSwitch", 28, 2, 1, 0, "u", ""),
        ("ClutchSwitch", 30, 2, 1, 0, "u", ""),
        ("CruiseSetSpeed", 40, 8, 1, 0, "u", "km/h"),
        ("PtoGovernorState", 48, 5, 1, 0, "u", ""),
        ("CruiseStates", 53, 3, 1, 0, "u", ""),
        ("IdleIncrementSwitch", 56, 2, 1, 0, "u", ""),
        ("IdleDecrementSwitch", 58, 2, 1, 0, "u", ""),
    ], [(0x00, 6, None), (0x17, 6, None), (0x21, 3, None)]),
    ("ET1", 0xFEEE, 6, 1.0, [
        ("CoolantTemp", 0, 8, 1, -40, "u", "degC"),
        ("FuelTemp", 8, 8, 1, -40, "u", "degC"),
        ("OilTemp", 16, 16, 0.03125, -273, "u", "degC"),
        ("TurboOilTemp", 32, 16, 0.03125, -273, "u", "degC"),
        ("IntercoolerTemp", 48, 8, 1, -40, "u", "degC"),
        ("IntercoolerThermostat", 56, 8, 0.4, 0, "u", "%"),
    ], [(0x00, 6, None), (0x01, 6, None)]),
    ("EFL_P1", 0xFEEF, 6, 0.5, [
        ("FuelDeliveryPressure", 0, 8, 4, 0, "u", "kPa"),
        ("BlowbyPressure", 8, 8, 0.05, 0, "u", "kPa"),
        ("OilLevel", 16, 8, 0.4, 0, "u", "%"),
        ("OilPressure", 24, 8, 4, 0, "u", "kPa"),
        ("CrankcasePressure", 32, 16, 0.0078125, -250, "u", "kPa"),
        ("CoolantPressure", 48, 8, 2, 0, "u", "kPa"),
        ("CoolantLevel", 56, 8, 0.4, 0, "u", "%"),
    ], [(0x00, 6, None), (0x01, 6, None)]),
    ("LFE1", 0xFEF2, 6, 0.1, [
        ("FuelRate", 0, 16, 0.05, 0, "u", "L/h"),
        ("InstFuelEconomy", 16, 16, 0.001953125, 0, "u", "km/L"),
        ("AvgFuelEconomy", 32, 16, 0.001953125, 0, "u", "km/L"),
        ("ThrottleValve1Pos", 48, 8, 0.4, 0, "u", "%"),
        ("ThrottleValve2Pos", 56, 8, 0.4, 0, "u", "%"),
    ], [(0x00, 6, None), (0x01, 6, None)]),
    ("AMB", 0xFEF5, 6, 1.0, [
        ("BarometricPressure", 0, 8, 0.5, 0, "u", "kPa"),
        ("CabTemp", 8, 16, 0.03125, -273, "u", "degC"),
        ("AmbientTemp", 24, 16, 0.03125, -273, "u", "degC"),
        ("AirInletTemp", 40, 8, 1, -40, "u", "degC"),
        ("RoadSurfaceTemp", 48, 16, 0.03125, -273, "u", "degC"),
    ], [(0x00, 6, None), (0x17, 6, None), (0x31, 6, None)]),
    ("VEP1", 0xFEF7, 6, 1.0, [
        ("NetBatteryCurrent", 0, 8, 1, -125, "u", "A"),
        ("AlternatorCurrent", 8, 8, 1, 0, "u", "A"),
        ("ChargingPotential", 16, 16, 0.05, 0, "u", "V"),
        ("BatteryPotential", 32, 16, 0.05, 0, "u", "V"),
        ("KeyswitchPotential", 48, 16, 0.05, 0, "u", "V"),
    ], [(0x00, 6, None), (0x03, 6, None), (0x21, 6, None)]),
    ("HOURS", 0xFEE5, 6, 1.0, [
        ("EngTotalHours", 0, 32, 0.05, 0, "u", "h"),
        ("EngTotalRevolutions", 32, 32, 1000, 0, "u", "r"),
    ], [(0x00, 6, None), (0x01, 6, None)]),
    ("VDHR", 0xFEC1, 6, 1.0, [
        ("TotalDistance", 0, 32, 5, 0, "u", "m"),
        ("TripDistance", 32, 32, 5, 0, "u", "m"),
    ], [(0x0F, 6, None), (0x17, 6, None)]),
    ("IC1", 0xFEF6, 6, 0.5, [
        ("DpfInletPressure", 0, 8, 0.5, 0, "u", "kPa"),
        ("BoostPressure", 8, 8, 2, 0, "u", "kPa"),
        ("IntakeManifoldTemp", 16, 8, 1, -40, "u", "degC"),
        ("AirInletPressure", 24, 8, 2, 0, "u", "kPa"),
        ("AirFilterDiffPressure", 32, 8, 0.05, 0, "u", "kPa"),
        ("ExhaustTemp", 40, 16, 0.03125, -273, "u", "degC"),
        ("CoolantFilterDiffPressure", 56, 8, 0.5, 0, "u", "kPa"),
    ], [(0x00, 6, None), (0x01, 6, None)]),
    ("PropB_Sensors", 0xFF10, 6, 0.02, [
        ("AxleLoad", 0, 16, 0.5, 0, "s", "kg"),
        ("PitchRate", 16, 8, 0.25, 0, "s", "deg/s"),
        ("LevelRaw", 24, 12, 1, 0, "u", ""),
        ("LevelState", 36, 2, 1, 0, "u", ""),
        ("ValveFlag", 38, 1, 1, 0, "u", ""),
        ("Pressure", 40, 20, 0.01, 0, "u", "kPa"),
        ("Counter", 60, 4, 1, 0, "u", ""),
    ], [(0x2F, 6, None), (0x30, 6, None)]),
    ("PropB_Flow", 0xFF11, 6, 0.05, [
        ("FlowRate", 0, 32, 1, 0, "f", "L/min"),
        ("FlowCounter", 32, 16, 1, 0, "u", ""),
        ("FlowStatus", 48, 8, 1, 0, "u", ""),
    ], [(0x2F, 6, None), (0x30, 6, None)]),
    ("TSC1", 0x0000, 3, 0.01, [
        ("OverrideCtrlMode", 0, 2, 1, 0, "u", ""),
        ("SpeedCtrlConditions", 2, 2, 1, 0, "u", ""),
        ("OverrideCtrlPriority", 4, 2, 1, 0, "u", ""),
        ("RequestedSpeed", 8, 16, 0.125, 0, "u", "rpm"),
        ("RequestedTorque", 24, 8, 1, -125, "u", "%"),
        ("TransitionRate", 32, 3, 1, 0, "u", ""),
        ("ControlPurpose", 35, 5, 1, 0, "u", ""),
        ("RequestedTorqueFine", 40, 3, 0.125, 0, "u", "%"),
        ("MessageCounter", 56, 4, 1, 0, "u", ""),
        ("MessageChecksum", 60, 4, 1, 0, "u", ""),
    ], [(0x03, 3, 0x00), (0x03, 3, 0x0F), (0x0B, 3, 0x00), (0x27, 3, 0x00)]),
    ("XBR", 0x0400, 3, 0.02, [
        ("ExtAccelDemand", 0, 16, 0.00048828125, -15.687, "u", "m/s2"),
        ("EbiMode", 16, 2, 1, 0, "u", ""),
        ("XbrPriority", 18, 2, 1, 0, "u", ""),
        ("XbrCtrlMode", 20, 2, 1, 0, "u", ""),
        ("XbrUrgency", 24, 8, 0.4, 0, "u", "%"),
        ("XbrCounter", 56, 4, 1, 0, "u", ""),
        ("XbrChecksum", 60, 4, 1, 0, "u", ""),
    ], [(0x2A, 3, 0x0B), (0x2A, 4, 0x0B), (0x03, 3, 0x0B)]),
    ("PropA_Body", 0xEF00, 6, 0.1, [
        ("BodyWord", 0, 16, 1, 0, "u", ""),
        ("BodyByte", 16, 8, 1, 0, "u", ""),
        ("BodyOffset", 24, 16, 0.1, 0, "s", ""),
        ("BodyLevel", 40, 12, 0.5, 0, "u", ""),
        ("BodyState", 52, 2, 1, 0, "u", ""),
        ("BodyNibble", 56, 4, 1, 0, "u", ""),
    ], [(0x21, 6, 0xFF), (0x21, 6, 0x17), (0x31, 6, 0x21)]),
]
# The destination of the DBC's own identifier for the PDU1 groups.
DBC_DESTINATION = {"TSC1": 0x00, "XBR": 0x0B, "PropA_Body": 0xFF}


def pdu1(pgn):
    return (pgn >> 8) & 0xFF < 240


def dbc_id(name, pgn, priority):
    """The 29-bit identifier the DBC gives the message (source 0xFE)."""
    ps = DBC_DESTINATION[name] if pdu1(pgn) else 0
    return priority << 26 | (pgn | ps) << 8 | DBC_SOURCE


def log_id(pgn, priority, source, destination):
    return priority << 26 | (pgn | (destination if pdu1(pgn) else 0)) << 8 | source


def pgn_of(can_id):
    """PGN of 29-bit identifiers, the destination byte of PDU1 groups cleared."""
    p = (np.asarray(can_id, np.uint32) >> 8) & 0x3FFFF
    return np.where((p >> 8) & 0xFF < 240, p & 0x3FF00, p)


def make_dbc():
    lines = ['VERSION ""', "", "NS_ :", "", "BS_:", "", "BU_: Engine Trans Brakes Body", ""]
    valtypes, attrs = [], []
    for name, pgn, prio, _, sigs, _ in MESSAGES:
        frame_id = dbc_id(name, pgn, prio) | 0x80000000
        lines.append(f"BO_ {frame_id} {name}: 8 Engine")
        for sig, start, length, scale, offset, kind, unit in sigs:
            sign = "+" if kind == "u" else "-"
            lines.append(
                f' SG_ {sig} : {start}|{length}@1{sign} ({scale},{offset}) [0|0] "{unit}" Body'
            )
            if kind == "f":
                valtypes.append(f"SIG_VALTYPE_ {frame_id} {sig} : 1;")
        lines.append("")
        attrs.append(f'BA_ "VFrameFormat" BO_ {frame_id} 3;')
    lines += [
        'BA_DEF_ BO_ "VFrameFormat" ENUM "StandardCAN","ExtendedCAN","reserved","J1939PG";',
        'BA_DEF_DEF_ "VFrameFormat" "ExtendedCAN";',
        *attrs,
        *valtypes,
    ]
    return "\n".join(lines) + "\n"


# --- the log -------------------------------------------------------------------------------


def streams():
    """(message index, identifier, period) of every stream in the log."""
    out = []
    for m, (_, pgn, _, period, _, srcs) in enumerate(MESSAGES):
        for source, priority, destination in srcs:
            out.append((m, log_id(pgn, priority, source, destination or 0), period))
    return out


def raw_values(rng, sig, n):
    """n raw values of a signal from one sender, as a vehicle sends them:
    counters roll, states hold for a while, measured values move slowly. A
    sender that lacks the parameter sends not available throughout; others
    have short runs of error and not-available values (and rarely reserved
    ones) as sensors drop out."""
    name, _, length, _, _, kind, _ = sig
    full = (1 << length) - 1
    seq = np.arange(n)
    wave = np.sin(seq / rng.uniform(100, 2000) + rng.uniform(0, 6.3))
    if kind == "f":
        value = 50 + 40 * wave + rng.normal(0, 0.5, n)
        return value.astype(np.float32).view(np.uint32).astype(np.uint64)
    if "Counter" in name:
        return (seq + int(rng.integers(0, 16))).astype(np.uint64) & np.uint64(full)
    if "Checksum" in name:
        return rng.integers(0, full + 1, n, dtype=np.uint64)
    if kind == "s":
        value = np.round(0.4 * (1 << (length - 1)) * wave + rng.normal(0, 2, n))
        return value.astype(np.int64).astype(np.uint64) & np.uint64(full)
    if rng.random() < 0.15:  # not supported by this sender
        return np.full(n, full, np.uint64)
    if length <= 5:  # a state: 0/1 for two bits, a few values otherwise
        states = 2 if length == 2 else min(full + 1, 8)
        change = np.cumsum(rng.random(n) < 0.003)
        value = rng.integers(0, states, change[-1] + 1, dtype=np.uint64)[change]
    else:
        top = {8: 0xFA, 16: 0xFAFF, 32: 0xFAFFFFFF}.get(length, full * 49 // 50)
        value = top * (0.5 + 0.4 * wave) + rng.normal(0, top / 500, n)
        value = np.clip(np.round(value), 0, top).astype(np.uint64)
    # Dropouts in blocks of 64 frames: error (2 of a 2-bit state), not available.
    block = rng.random(n // 64 + 1)[seq // 64]
    shift = length - 8 if length >= 8 else 0
    error = (2 if length == 2 else 0xFE << shift) if length in (2, 8, 16, 32) else full - 1
    value[block < 0.01] = error
    value[(block >= 0.01) & (block < 0.02)] = full
    if length in (8, 16, 32):
        value[(block >= 0.02) & (block < 0.0225)] = 0xFB << shift
    return value


def payloads(rng, m, n):
    """n payloads of message m from one sender, unused bits set as J1939 sends them."""
    word = np.full(n, np.uint64(0xFFFFFFFFFFFFFFFF))
    for sig in MESSAGES[m][4]:
        start, length = sig[1], sig[2]
        mask = np.uint64(((1 << length) - 1) << start)
        raw = raw_values(rng, sig, n)
        word = (word & ~mask) | ((raw << np.uint64(start)) & mask)
    return word.view(np.uint8).reshape(n, 8)


def traffic(n, seed):
    """n frames of the streams: (timestamps ns, identifiers, payloads uint8[n, 8])."""
    rng = np.random.default_rng(seed)
    plan = streams()
    rates = np.array([1 / p for _, _, p in plan])
    counts = np.floor(rates / rates.sum() * n).astype(int)
    counts[np.argmax(counts)] += n - counts.sum()
    ts, ids, data = [], [], []
    for (m, can_id, period), count in zip(plan, counts):
        period_ns = int(period * 1e9)
        phase = int(rng.integers(0, period_ns))
        jitter = rng.integers(-period_ns // 50, period_ns // 50 + 1, count)
        ts.append(T0_NS + phase + np.arange(count, dtype=np.int64) * period_ns + jitter)
        ids.append(np.full(count, can_id, np.uint32))
        data.append(payloads(rng, m, count))
    ts, ids, data = np.concatenate(ts), np.concatenate(ids), np.concatenate(data)
    order = np.argsort(ts, kind="stable")
    return ts[order], ids[order], data[order]


def frames_pair(ts, ids, data):
    """Extended 8-byte data frames on channel 1 as a frames pair."""
    n = len(ts)
    index = np.zeros(n, k.DT)
    index["timestamp"] = ts
    index["can_id"] = ids
    index["channel"] = 1
    index["len"] = 8
    index["flags"] = 0x04 | 0x40
    index["loc"] = np.arange(n, dtype=np.uint64) * np.uint64(8) + (np.uint64(8) << np.uint64(48))
    return index, np.ascontiguousarray(data).reshape(-1)


# Transport protocol: the lanes that carry sessions one after another
# (one BAM per source, one connection per source and destination at a time).
BAM_LANES = [0x00, 0x01, 0x03, 0x0F, 0x17, 0x21]
CMDT_LANES = [(0xF9, 0x00), (0xF9, 0x03), (0x00, 0x3D), (0x03, 0x0B)]
BAM_PGNS = [0xFECA, 0xFEE3, 0xFEDA, 0xFEEB, 0xEF00]
CMDT_PGNS = [0xFECB, 0xFEDA, 0xEF00, 0xFEE3]
TP_CM = 0x1CEC0000
TP_DT = 0x1CEB0000


def pgn_bytes(pgn):
    return [pgn & 0xFF, (pgn >> 8) & 0xFF, pgn >> 16]


def cm(control, a, b, c, pgn):
    """A TP.CM payload: control byte, three bytes, 0xFF, the PGN."""
    return [control, a, b, c, 0xFF, *pgn_bytes(pgn)]


def session(rng, bam, source, destination):
    """One session: its frames as (offset ns, identifier, 8 bytes), and what
    its transfer record should hold."""
    pgn = int(rng.choice(BAM_PGNS if bam else CMDT_PGNS))
    size = int(rng.integers(9, 121 if bam else 601))
    body = rng.integers(0, 256, size).astype(np.uint8).tobytes()
    packets = -(-size // 7)
    padded = body + b"\xff" * (packets * 7 - size)
    fwd = TP_CM | destination << 8 | source  # originator -> receiver
    back = TP_CM | source << 8 | destination
    dt_id = TP_DT | destination << 8 | source
    frames = []
    t = 0
    if bam:
        frames.append((t, fwd, cm(0x20, size & 0xFF, size >> 8, packets, pgn)))
        for p in range(1, packets + 1):
            t += 50_000_000
            frames.append((t, dt_id, [p, *padded[(p - 1) * 7 : p * 7]]))
    else:
        frames.append((t, fwd, cm(0x10, size & 0xFF, size >> 8, packets, pgn)))
        p = 1
        while p <= packets:
            count = min(int(rng.integers(1, 17)), packets - p + 1)
            t += 2_000_000
            frames.append((t, back, [0x11, count, p, 0xFF, 0xFF, *pgn_bytes(pgn)]))
            for q in range(p, p + count):
                t += 1_000_000
                frames.append((t, dt_id, [q, *padded[(q - 1) * 7 : q * 7]]))
            p += count
        t += 2_000_000
        frames.append((t, back, cm(0x13, size & 0xFF, size >> 8, packets, pgn)))
    can_id = (fwd & 0x1C000000) | pgn << 8 | source
    if pdu1(pgn):
        can_id |= destination << 8
    expected = {
        "protocol": korvel.j1939.BAM if bam else korvel.j1939.CMDT,
        "can_id": can_id,
        "size": size,
        "bytes": body,
        "duration": t,
    }
    return frames, expected


def tp_log(n, seed=23):
    """n frames, about TP_SHARE of them TP sessions laid over the traffic:
    (frames pair, expected transfers). Each expected transfer names its
    first and last frame by position, since the times are the log's to say."""
    rng = np.random.default_rng(seed)
    lanes = [(True, s, 0xFF) for s in BAM_LANES] + [(False, s, d) for s, d in CMDT_LANES]
    share = int(n * TP_SHARE) // len(lanes)
    lane_sessions = []
    for bam, source, destination in lanes:
        got, sessions = 0, []
        while got < share:
            sessions.append(session(rng, bam, source, destination))
            got += len(sessions[-1][0])
        lane_sessions.append(sessions)
    n_tp = sum(len(f) for sessions in lane_sessions for f, _ in sessions)
    ts, ids, data = traffic(n - n_tp, seed)
    span = int(ts[-1] - ts[0])
    tp_ts, tp_ids, tp_data = [], [], []
    expected = []
    for (_, source, destination), sessions in zip(lanes, lane_sessions):
        slot = span // len(sessions)
        for i, (frames, want) in enumerate(sessions):
            assert want["duration"] < slot, "sessions of one lane would overlap"
            start = int(ts[0]) + i * slot + int(rng.integers(0, slot - want["duration"]))
            first = len(ts) + len(tp_ts)
            for offset, can_id, payload in frames:
                tp_ts.append(start + offset)
                tp_ids.append(can_id)
                tp_data.append(payload)
            expected.append({**want, "source": source, "destination": destination,
                             "first": first, "last": first + len(frames) - 1})
    ts = np.concatenate([ts, np.array(tp_ts, np.int64)])
    ids = np.concatenate([ids, np.array(tp_ids, np.uint32)])
    data = np.concatenate([data, np.array(tp_data, np.uint8)])
    order = np.argsort(ts, kind="stable")
    position = np.empty_like(order)
    position[order] = np.arange(len(order))
    for want in expected:
        want["first"], want["last"] = int(position[want["first"]]), int(position[want["last"]])
    return frames_pair(ts[order], ids[order], data[order]), expected


def prepare():
    CACHE.mkdir(parents=True, exist_ok=True)
    if not DBC_PATH.exists():
        DBC_PATH.write_text(make_dbc())
    db = cantools.database.load_file(DBC_PATH)
    if not BLF_PATH.exists() or not MF4_PATH.exists():
        print("generating the logs (cached in benchmarks/.cache) ...", flush=True)
        k.write(BLF_PATH, frames_pair(*traffic(N_FRAMES, seed=17)), verbose=False)
        # The frames as read back: the same timestamps for both peers.
        write_mf4(k.read(BLF_PATH, verbose=False), MF4_PATH)
    return db


def message_of(index):
    """Each frame's message (by PGN; -1 for none) and its row in that message's table."""
    pgns = pgn_of(index["can_id"])
    lookup = {pgn: m for m, (_, pgn, *_) in enumerate(MESSAGES)}
    msg = np.full(len(index), -1, np.int64)
    for pgn, m in lookup.items():
        msg[pgns == pgn] = m
    row = np.zeros(len(index), np.int64)
    for m in range(len(MESSAGES)):
        sel = msg == m
        row[sel] = np.arange(sel.sum())
    return msg, row


def timed(fn):
    t0 = time.perf_counter()
    fn()
    return time.perf_counter() - t0


def in_turns(paths, runs):
    """Median seconds of each path, the paths taken in turns."""
    times = {name: [] for name in paths}
    for _ in range(runs):
        for name, fn in paths.items():
            times[name].append(timed(fn))
    return {name: statistics.median(t) for name, t in times.items()}


# --- (a) PGN-matched decode ----------------------------------------------------------------


def na_from(length, kind):
    """The first raw value korvel reads as J1939 error or not available (0: none)."""
    return {2: 2, 8: 0xFE, 16: 0xFE00, 32: 0xFE000000}.get(length, 0) if kind == "u" else 0


def bench_decode(db, frames, runs):
    index, chunk = frames
    msg, row = message_of(index)
    own = np.array([dbc_id(name, pgn, prio) for name, pgn, prio, *_ in MESSAGES], np.uint32)
    rewritten = index.copy()
    rewritten["can_id"] = own[msg]
    rewritten = (rewritten, chunk)

    # The DBC's own identifiers with j1939="auto" find every frame at the first
    # look-up yet still give the address columns and read not-available values
    # as NaN: it separates the cost of the PGN look-ups from the rest.
    variants = {
        "by PGN": (frames, {}),
        "by PGN, j1939_na='keep'": (frames, {"j1939_na": "keep"}),
        "DBC identifiers, j1939='auto'": (rewritten, {}),
        "DBC identifiers, j1939=False": (rewritten, {"j1939": False}),
    }
    paths = {}
    for name, (fr, kw) in variants.items():
        paths[name, None] = lambda fr=fr, kw=kw: korvel.decode(fr, db, **kw)
        paths[name, 1] = lambda fr=fr, kw=kw: korvel.decode(fr, db, threads=1, **kw)
    med = in_turns(paths, 2 * runs)
    exact = "DBC identifiers, j1939=False"
    print(
        f"\n(a) korvel.decode, {len(index)} frames in memory, median ms and x the exact decode "
        f"({2 * runs} runs):\n  {'':32s} {'all threads':>16s} {'threads=1':>16s}"
    )
    for name in variants:
        cells = [
            f"{med[name, th] * 1e3:8.1f} {med[name, th] / med[exact, th]:5.2f}x" for th in (None, 1)
        ]
        print(f"  {name:32s} {cells[0]:>16s} {cells[1]:>16s}")
    ratio = med["by PGN", None] / med[exact, None]
    print(f"  by PGN / exact: {ratio:.2f}x (target at most 1.2x)")

    tables = korvel.decode(frames, db)
    kept = korvel.decode(frames, db, j1939_na="keep")
    plain = korvel.decode(rewritten, db, j1939=False)

    # Rows, addresses, and the values of both decodes, every frame.
    bad_rows = bad_addr = bad_exact = 0
    for m, (name, pgn, _, _, sigs, _) in enumerate(MESSAGES):
        sel = np.flatnonzero(msg == m)
        t = tables[name]
        bad_rows += t.num_rows != len(sel) or not np.array_equal(
            t["timestamp"], index["timestamp"][sel]
        )
        ids = index["can_id"][sel]
        bad_addr += int(np.count_nonzero(t["source"] != (ids & 0xFF)))
        if pdu1(pgn):
            bad_addr += int(np.count_nonzero(t["destination"] != ((ids >> 8) & 0xFF)))
        for s in sigs:
            a, b = kept[name][s[0]], plain[name][s[0]]
            bad_exact += int(np.count_nonzero((a != b) & ~(np.isnan(a) & np.isnan(b))))
    print(
        f"  every frame: {bad_rows} messages with wrong rows, {bad_addr} wrong source or "
        f"destination, {bad_exact} values unlike the exact-identifier decode (j1939_na='keep')"
    )

    # A sample against cantools.
    rng = np.random.default_rng(3)
    sample = np.sort(rng.choice(len(index), SAMPLE, replace=False))
    by_name = {m.name: m for m in db.messages}
    wrong_keep = wrong_nan = checked = nan_seen = 0
    for f in sample.tolist():
        m = int(msg[f])
        name, sigs = MESSAGES[m][0], MESSAGES[m][4]
        message = by_name[name]
        data = chunk[8 * f : 8 * f + 8].tobytes()
        want = db.decode_message(message.frame_id, data, decode_choices=False)
        raw = db.decode_message(message.frame_id, data, decode_choices=False, scaling=False)
        r = int(row[f])
        for sig, _, length, _, _, kind, _ in sigs:
            checked += 1
            w = float(want[sig])
            wrong_keep += kept[name][sig][r] != w
            got = tables[name][sig][r]
            limit = na_from(length, kind)
            if limit and raw[sig] >= limit:
                nan_seen += 1
                wrong_nan += not math.isnan(got)
            else:
                wrong_nan += got != w
    print(
        f"  against cantools, {len(sample)} frames ({checked} values): "
        f"{wrong_keep} mismatches with j1939_na='keep', {wrong_nan} with the default "
        f"('nan': {nan_seen} values not available)"
    )
    return ratio, wrong_keep + wrong_nan


# --- (b) transport protocol ------------------------------------------------------------------


def bench_transfers(runs):
    frames, sessions = tp_log(N_FRAMES)
    if not TP_PATH.exists():
        k.write(TP_PATH, frames, verbose=False)
    frames = k.read(TP_PATH, verbose=False)
    index = frames[0]
    ts = index["timestamp"]
    expected = {
        (int(ts[s["first"]]), s["source"], s["destination"]): {**s, "stop": int(ts[s["last"]])}
        for s in sessions
    }
    tp = np.isin(pgn_of(index["can_id"]), [0xEC00, 0xEB00])

    # A scan takes milliseconds: more runs for a steady median.
    t = median_time(lambda: korvel.j1939.transfers(frames), 4 * runs)
    records, payload = korvel.j1939.transfers(frames)
    rate = len(index) / t
    print(
        f"\n(b) korvel.j1939.transfers, {len(index)} frames in memory ({tp.mean():.1%} TP, "
        f"{len(expected)} sessions), one thread, {4 * runs} runs: median {t * 1e3:.1f} ms, "
        f"{rate / 1e6:.1f} M frames/s (target at least 30)"
    )

    status = Counter(records["status"].tolist())
    wrong = 0
    seen = set()
    for rec, body in zip(records, korvel.j1939.payloads((records, payload))):
        key = (int(rec["start"]), int(rec["source"]), int(rec["destination"]))
        want = expected.get(key)
        seen.add(key)
        wrong += (
            want is None
            or int(rec["status"]) != korvel.j1939.COMPLETE
            or int(rec["protocol"]) != want["protocol"]
            or int(rec["can_id"]) != want["can_id"]
            or int(rec["size"]) != want["size"]
            or int(rec["stop"]) != want["stop"]
            or body != want["bytes"]
        )
    missing = len(set(expected) - seen)
    names = {korvel.transfers.STATUS_NAMES[s]: c for s, c in sorted(status.items())}
    print(
        f"  {len(records)} transfers {names}: {wrong} wrong (status, protocol, identifier, "
        f"size, end or bytes), {missing} sessions missing"
    )
    return rate, wrong + missing + len(records) - status[korvel.j1939.COMPLETE]


# --- (c) asammdf -------------------------------------------------------------------------------


def run_korvel():
    db = cantools.database.load_file(DBC_PATH)
    return korvel.decode(BLF_PATH, db).to_pandas()


def extract_asammdf():
    from asammdf import MDF

    with MDF(MF4_PATH) as mdf:
        return mdf.extract_bus_logging({"CAN": [(str(DBC_PATH), 0)]})


def run_asammdf():
    out = extract_asammdf()
    return [out.get_group(i) for i in range(len(out.groups))]


def compare_asammdf(frames, tables):
    """asammdf's series against korvel's tables, frame by frame.

    asammdf makes one series per identifier it meets, but fills it with every
    frame of that PGN and source address: frames of another priority or
    destination from the same source are merged in (and so appear in each of
    those series). Its J1939 invalidation drops raw values above 0xFA,
    0xFAFF, ... (by signal length rounded up to 4, 8, 10, 12, 16, 20, 24, 28,
    32 bits; two-bit signals left out), and get_group fills the dropped
    samples by interpolation.
    """
    index, _ = frames
    ids = index["can_id"]
    pgns = pgn_of(ids)
    t_rel = (index["timestamp"] - index["timestamp"][0]) / 1e9
    msg, row = message_of(index)
    names = [m[0] for m in MESSAGES]
    out = extract_asammdf()

    held = np.zeros(len(index), bool)  # in a series of its own identifier
    per_msg = {name: Counter() for name in names}
    per_sig = {name: {s[0]: Counter() for s in MESSAGES[m][4]} for m, name in enumerate(names)}
    pattern = r"ID=0x([0-9A-F]+) (\S+) PGN=0x[0-9A-F]+ SA=0x[0-9A-F]+"

    for i, group in enumerate(out.groups):
        found = re.search(pattern, group.channel_group.comment)
        can_id, name = int(found[1], 16), found[2]
        sel = np.flatnonzero((pgns == pgn_of(can_id)) & ((ids & 0xFF) == (can_id & 0xFF)))
        own = ids[sel] == can_id
        held[sel[own]] = True
        c = per_msg[name]
        c["series"] += 1
        c["samples"] += group.channel_group.cycles_nr
        c["merged"] += int(np.count_nonzero(~own))
        table = tables[name]
        frame_df = out.get_group(i, time_from_zero=False)
        for j, channel in enumerate(group.channels[1:], 1):
            s = out.get(channel.name, group=i, index=j, ignore_invalidation_bits=True)
            if not np.array_equal(s.timestamps, t_rel[sel]):
                c["misaligned"] += 1
                continue
            ours = table[channel.name][row[sel]][own]
            theirs = np.asarray(s.samples, np.float64)[own]
            bits = s.invalidation_bits
            dropped = (np.zeros(len(sel), bool) if bits is None else np.asarray(bits))[own]
            k_has, a_has = ~np.isnan(ours), ~dropped
            both = k_has & a_has
            sc = per_sig[name][channel.name]
            sc["both"] += int(both.sum())
            sc["equal"] += int(np.count_nonzero(both & (ours == theirs)))
            sc["korvel only"] += int(np.count_nonzero(k_has & dropped))
            sc["asammdf only"] += int(np.count_nonzero(~k_has & a_has))
            sc["neither"] += int(np.count_nonzero(~k_has & dropped))
            if np.array_equal(frame_df.index.to_numpy(), t_rel[sel]):
                shown = ~np.isnan(frame_df[channel.name].to_numpy(np.float64))[own]
                sc["invalid"] += int(np.count_nonzero(dropped))
                sc["interpolated"] += int(np.count_nonzero(dropped & shown))
            else:
                c["misaligned"] += 1
    for m, name in enumerate(names):
        per_msg[name]["frames"] = int(np.count_nonzero(msg == m))
        per_msg[name]["dropped frames"] = int(np.count_nonzero((msg == m) & ~held))
    return per_msg, per_sig


def bench_asammdf(frames, runs):
    med = in_turns({"korvel": run_korvel, "asammdf": run_asammdf}, runs)
    ratio = med["asammdf"] / med["korvel"]
    print(
        "\n(c) whole path (DBC load, read, decode, pandas tables), median seconds:\n"
        f"  korvel.decode(blf).to_pandas()        {med['korvel']:8.3f}\n"
        f"  asammdf extract_bus_logging+get_group {med['asammdf']:8.3f}\n"
        f"  asammdf / korvel: {ratio:.1f}x (target at least 3x)"
    )

    tables = korvel.decode(frames, cantools.database.load_file(DBC_PATH))
    per_msg, per_sig = compare_asammdf(frames, tables)
    print(
        "\n  per message: korvel rows | asammdf series, samples; of those merged in from "
        "another identifier of the same source; frames in no series of their own identifier"
    )
    total = Counter()
    for name, c in per_msg.items():
        print(
            f"  {name:14s} {c['frames']:7d} | {c['series']:2d} series {c['samples']:7d} samples, "
            f"{c['merged']:6d} merged, {c['dropped frames']:d} dropped"
            + (f", {c['misaligned']} signals misaligned" if c["misaligned"] else "")
        )
        total.update(c)
    print(
        "\n  per signal, the frames of each series' own identifier: equal / both decode | "
        "korvel only | asammdf only | neither | asammdf invalid, shown interpolated by get_group"
    )
    for name, sigs in per_sig.items():
        print(f"  {name}")
        for sig, c in sigs.items():
            print(
                f"    {sig:28s} {c['equal']:7d} / {c['both']:7d} | {c['korvel only']:6d} | "
                f"{c['asammdf only']:6d} | {c['neither']:6d} | {c['invalid']:6d}, "
                f"{c['interpolated']:6d}"
            )
            total.update(c)
    print(
        f"\n  totals: {total['equal']} of {total['both']} values equal where both decode "
        f"({total['both'] - total['equal']} differ); korvel only {total['korvel only']}, "
        f"asammdf only {total['asammdf only']}, neither {total['neither']}; "
        f"{total['interpolated']} of {total['invalid']} invalid values shown interpolated "
        f"by get_group.\n  asammdf merged {total['merged']} of its {total['samples']} samples "
        f"in from other identifiers and dropped {total['dropped frames']} frames"
        + (f"; {total['misaligned']} signals misaligned" if total["misaligned"] else "")
    )
    return ratio, total["both"] - total["equal"]


# --- main ------------------------------------------------------------------------------------


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--runs", type=int, default=5)
    args = ap.parse_args()

    db = prepare()
    n_pdu1 = sum(pdu1(m[1]) for m in MESSAGES)
    print(
        f"{len(db.messages)} J1939 messages ({n_pdu1} PDU1), "
        f"{sum(len(m.signals) for m in db.messages)} signals, "
        f"{sum(m.protocol == 'j1939' for m in db.messages)} with protocol 'j1939'; "
        f"{len(streams())} streams"
    )
    frames = k.read(BLF_PATH, verbose=False)
    print(f"{len(frames[0])} frames")

    ratio_a, wrong_a = bench_decode(db, frames, args.runs)
    rate_b, wrong_b = bench_transfers(args.runs)
    ratio_c, wrong_c = bench_asammdf(frames, args.runs)

    print("\ntargets:")
    print(f"  PGN matching at most 1.2x exact decode:   {ratio_a:.2f}x")
    print(f"  transfers at least 30 M frames/s:         {rate_b / 1e6:.1f} M frames/s")
    print(f"  at least 3x faster than asammdf:          {ratio_c:.1f}x")
    print(
        f"  mismatches: cantools {wrong_a}, transfers {wrong_b}, asammdf where both decode "
        f"{wrong_c}"
    )


if __name__ == "__main__":
    sys.path.insert(0, os.path.dirname(__file__))
    main()
