"""Frames pairs and a DBC database for the korvel.dravum tests."""

import cantools
import numpy as np

from korvel import korvel as kv

DBC_TEXT = '''VERSION ""

NS_ :

BS_:

BU_: VCU BMS ECU GW

BO_ 35 VCU_Status: 8 VCU
 SG_ VCUMyTestSig1 : 7|8@0+ (1,0) [0|255] "" BMS
 SG_ Speed : 15|16@0+ (0.1,0) [0|6553.5] "km/h" BMS,ECU
 SG_ Gear : 32|4@1+ (1,0) [0|15] "" ECU

BO_ 291 BMS_Info: 8 BMS
 SG_ Temp : 0|8@1- (1,-40) [-168|87] "C" VCU
 SG_ Mode : 8|4@1+ (1,0) [0|15] "" VCU,GW
 SG_ Current : 16|16@1- (0.5,0) [-16384|16383.5] "A" VCU

BO_ 1024 GW_Diag: 8 GW
 SG_ DiagCode : 0|8@1+ (1,0) [0|255] "" VCU

BO_ 2566914048 ECU_Ext: 8 ECU
 SG_ ExtCounter : 0|8@1+ (1,0) [0|255] "" GW

CM_ BO_ 291 "Battery management info";
CM_ SG_ 35 Speed "vehicle speed over ground";
CM_ SG_ 291 Mode "operating STATE";
'''


def load_db():
    return cantools.database.load_string(DBC_TEXT, "dbc")


def make_frames(can_ids, payloads, flags=None, channels=None, timestamps=None):
    """A frames pair from per-frame identifiers and payload bytes."""
    n = len(can_ids)
    index = np.zeros(n, dtype=kv.DT)
    index["can_id"] = can_ids
    index["len"] = [len(p) for p in payloads]
    index["is64"] = 0
    if flags is not None:
        index["flags"] = flags
    if channels is not None:
        index["channel"] = channels
    index["timestamp"] = np.arange(n) * 1000 if timestamps is None else timestamps
    offsets = np.concatenate([[0], np.cumsum([len(p) for p in payloads])[:-1]]).astype(np.uint64)
    index["loc"] = offsets + (np.array([len(p) for p in payloads], np.uint64) << np.uint64(48))
    chunk = np.frombuffer(b"".join(bytes(p) for p in payloads), dtype=np.uint8).copy()
    return index, chunk


def random_frames(db, n, seed=0):
    """n frames of the database's messages plus an unknown identifier, random payloads."""
    rng = np.random.default_rng(seed)
    ids = [m.frame_id for m in db.messages] + [0x7FF]
    can_ids = rng.choice(ids, size=n)
    payloads = [rng.integers(0, 256, 8, dtype=np.uint8).tobytes() for _ in range(n)]
    flags = rng.integers(0, 128, n, dtype=np.uint8)
    return make_frames(can_ids, payloads, flags=flags), payloads


def cantools_values(db, frames, payloads, signal_name):
    """The physical values cantools decodes, NaN on frames of other messages."""
    msg = next(m for m in db.messages if any(s.name == signal_name for s in m.signals))
    out = np.full(len(payloads), np.nan)
    for i, (cid, data) in enumerate(zip(frames[0]["can_id"], payloads)):
        if cid == msg.frame_id:
            out[i] = msg.decode(data, decode_choices=False)[signal_name]
    return out
