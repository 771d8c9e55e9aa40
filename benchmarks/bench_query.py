"""Query.filter against the same selection computed by hand.

A generated log of 1,000,000 frames (four DBC messages, random payloads and
flags); the filter expression uses two signals and a flag. The hand-written
side calls the same decoders and flag bits directly with NumPy, then selects
the frames. The query machinery (rewrite, namespace copy, eval, lookups, the
result check) must add no more than 10% plus one millisecond.

    python benchmarks/bench_query.py [--frames N] [--runs R]
"""

import argparse
import statistics
import time

import cantools
import numpy as np
from timing import median_time

import korvel
from korvel import dravum
from korvel import korvel as kv

DBC = '''VERSION ""
NS_ :
BS_:
BU_: VCU BMS
BO_ 35 VCU_Status: 8 VCU
 SG_ Speed : 15|16@0+ (0.1,0) [0|6553.5] "km/h" BMS
 SG_ Gear : 32|4@1+ (1,0) [0|15] "" BMS
BO_ 291 BMS_Info: 8 BMS
 SG_ Temp : 0|8@1- (1,-40) [-168|87] "C" VCU
BO_ 1024 GW_Diag: 8 BMS
 SG_ DiagCode : 0|8@1+ (1,0) [0|255] "" VCU
'''

EXPR = "(signals.Speed(frames) > 3000) & ~is_rx(frames) | (signals.Temp(frames) < -100)"


def generate(n, seed=1):
    rng = np.random.default_rng(seed)
    index = np.zeros(n, dtype=kv.DT)
    index["timestamp"] = 1_700_000_000_000_000_000 + np.arange(n, dtype=np.int64) * 100_000
    index["can_id"] = rng.choice(np.array([35, 291, 1024, 0x7FF], np.uint32), n)
    index["len"] = 8
    index["channel"] = rng.integers(1, 3, n)
    index["flags"] = rng.integers(0, 128, n)
    index["loc"] = np.arange(n, dtype=np.uint64) * np.uint64(8) + (np.uint64(8) << np.uint64(48))
    chunk = rng.integers(0, 256, n * 8, dtype=np.uint8)
    return index, chunk


def median_ms(fn, runs):
    return median_time(fn, runs) * 1e3


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--frames", type=int, default=1_000_000)
    ap.add_argument("--runs", type=int, default=101)
    args = ap.parse_args()

    db = cantools.database.load_string(DBC, "dbc")
    frames = generate(args.frames)
    q = dravum.Query()
    q.addDatabase(db)

    speed_sig, temp_sig = q.sig_dict["Speed"], q.sig_dict["Temp"]

    def decoder(s):
        return korvel.signal_decoder(s.can_id, s.start, s.length, s.byte_order == "big_endian",
                                     s.is_signed, s.is_float, s.scale, s.offset)

    speed, temp = decoder(speed_sig), decoder(temp_sig)

    def by_hand():
        mask = ((speed(frames) > 3000) & ~korvel.flag_test(frames[0], 4)) | (temp(frames) < -100)
        return frames[0][mask], frames[1]

    def by_query():
        return q.filter(frames, EXPR)

    want, got = by_hand(), by_query()
    assert np.array_equal(want[0], got[0]) and got[1] is frames[1]
    # Decoders match cantools on a sample of frames.
    for i in range(0, args.frames, max(1, args.frames // 200)):
        cid = int(frames[0]["can_id"][i])
        if cid in (35, 291):
            data = bytes(frames[1][i * 8:(i + 1) * 8])
            values = db.get_message_by_frame_id(cid).decode(data, decode_choices=False)
            name = "Speed" if cid == 35 else "Temp"
            assert q.map(frames, f"signals.{name}(frames)")[i] == values[name]

    # Alternate the two sides run by run, so that drifts of the machine hit
    # both alike; compare medians and the median of the paired differences.
    hand, query = [], []
    for i in range(args.runs):
        for side, out in ((by_hand, hand), (by_query, query))[:: 1 if i % 2 else -1]:
            t0 = time.perf_counter()
            side()
            out.append((time.perf_counter() - t0) * 1e3)
    h, qm = statistics.median(hand), statistics.median(query)
    diff = statistics.median(b - a for a, b in zip(hand, query))
    limit = h * 1.10 + 1.0
    print(f"frames={args.frames} selected={len(want[0])} runs={args.runs} expr={EXPR!r}")
    print(f"by hand (decoders + NumPy): median {h:8.3f} ms")
    print(f"Query.filter:               median {qm:8.3f} ms")
    print(f"overhead {qm - h:+.3f} ms ({(qm / h - 1) * 100:+.1f}%), median paired difference "
          f"{diff:+.3f} ms, limit {limit:.3f} ms: " + ("OK" if qm <= limit else "OVER"))

    # The fixed cost of the machinery alone, on a 16-frame log.
    small = generate(16)
    fixed_hand = median_ms(lambda: ((speed(small) > 3000) & ~korvel.flag_test(small[0], 4))
                           | (temp(small) < -100), 2001)
    fixed_query = median_ms(lambda: q.filter(small, EXPR), 2001)
    print(f"16 frames: by hand {fixed_hand * 1e3:.1f} us, Query.filter {fixed_query * 1e3:.1f} us "
          f"(machinery {(fixed_query - fixed_hand) * 1e3:.1f} us)")


if __name__ == "__main__":
    main()
