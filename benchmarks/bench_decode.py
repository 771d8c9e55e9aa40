"""Signal decoding and flag tests on a generated 1,000,000-frame log.

Peers, measured in the same run:
  - cantools: Database.decode_message frame by frame, given only the frames
    of the message (pre-selected, so the selection is not counted);
  - NumPy: index['can_id'] == x, one pass over the records (the floor);
  - NumPy: (index['flags'] & mask) != 0 for flag_test.
Every time is the median of several runs; ratios use those medians.

    python benchmarks/bench_decode.py [--frames N] [--runs R]
"""

import argparse

import cantools
import numpy as np
from timing import median_time

import korvel
from korvel import korvel as k

N_IDS = 50
RARE_ID, COMMON_ID = 0x123, 0x1A0  # about 2% and 20% of the frames


def make_log(n, seed=7):
    """A frames pair of classic CAN frames: ~50 identifiers with skewed
    rates, mostly 8-byte payloads, timestamps at ~1 kHz per bus."""
    rng = np.random.default_rng(seed)
    others = rng.choice(np.setdiff1d(np.arange(0x100, 0x700), [RARE_ID, COMMON_ID]),
                        N_IDS - 2, replace=False)
    weights = rng.pareto(1.5, N_IDS - 2) + 1
    weights = weights / weights.sum() * 0.78
    ids = np.concatenate([[RARE_ID, COMMON_ID], others]).astype(np.uint32)
    probs = np.concatenate([[0.02, 0.20], weights])
    can_id = rng.choice(ids, n, p=probs / probs.sum())
    lengths = np.where(rng.random(n) < 0.9, 8, rng.integers(0, 9, n)).astype(np.uint64)
    lengths[np.isin(can_id, [RARE_ID, COMMON_ID])] = 8

    index = np.zeros(n, k.DT)
    index["timestamp"] = 1_700_000_000_000_000_000 + np.cumsum(rng.integers(200_000, 1_800_000, n))
    index["can_id"] = can_id
    index["channel"] = rng.integers(1, 3, n)
    index["len"] = lengths
    index["flags"] = np.where(rng.random(n) < 0.5, 0x04, 0) | np.where(can_id > 0x600, 0x40, 0)
    offsets = np.concatenate([[0], np.cumsum(lengths)[:-1]]).astype(np.uint64)
    index["loc"] = offsets + (lengths << np.uint64(48))
    chunk = rng.integers(0, 256, int(lengths.sum()), dtype=np.uint8)
    return index, chunk


DBC = """VERSION ""
NS_ :
BS_:
BU_: ECU
BO_ {rare} RARE: 8 ECU
 SG_ Speed : 7|16@0- (0.01,-50) [0|0] "km/h" ECU
BO_ {common} COMMON: 8 ECU
 SG_ Torque : 12|14@1+ (0.5,-1000) [0|0] "Nm" ECU
"""


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--frames", type=int, default=1_000_000)
    ap.add_argument("--runs", type=int, default=15)
    ap.add_argument("--cantools-runs", type=int, default=3)
    args = ap.parse_args()

    index, chunk = frames = make_log(args.frames)
    db = cantools.database.load_string(DBC.format(rare=RARE_ID, common=COMMON_ID), "dbc")
    print(f"{args.frames} frames, {len(np.unique(index['can_id']))} identifiers; "
          f"median of {args.runs} runs ({args.cantools_runs} for cantools)")
    print(f"{'':28}{'frames':>9}{'korvel':>11}{'cantools':>11}{'numpy':>11}"
          f"{'x cantools':>12}{'x numpy':>9}")

    for name in ("RARE", "COMMON"):
        msg = db.get_message_by_name(name)
        sig = msg.signals[0]
        decode = korvel.signal_decoder(msg.frame_id, sig.start, sig.length,
                                       sig.byte_order == "big_endian", sig.is_signed,
                                       sig.is_float, sig.scale, sig.offset)
        # Check once that both sides agree before timing them.
        values = decode(frames)
        sel = np.nonzero(index["can_id"] == msg.frame_id)[0]
        payloads = [chunk[int(loc) & 0xFFFFFFFFFFFF:][:8].tobytes() for loc in index["loc"][sel]]
        ref = [db.decode_message(msg.frame_id, p, decode_choices=False)[sig.name]
               for p in payloads[:2000]]
        assert np.array_equal(values[sel[:2000]], ref)

        t_korvel = median_time(lambda decode=decode: decode(frames), args.runs)
        frame_id, dm = msg.frame_id, db.decode_message

        def run_cantools(payloads=payloads, dm=dm, frame_id=frame_id):
            for p in payloads:
                dm(frame_id, p, decode_choices=False)

        t_cantools = median_time(run_cantools, args.cantools_runs)
        can_ids = index["can_id"]
        t_numpy = median_time(lambda can_ids=can_ids, frame_id=frame_id: can_ids == frame_id,
                              args.runs)
        share = len(sel) / len(index)
        print(f"decode {sig.name:<10} ({share:5.1%})  {len(sel):>9}"
              f"{t_korvel * 1e3:>9.2f}ms{t_cantools * 1e3:>9.0f}ms{t_numpy * 1e3:>9.2f}ms"
              f"{t_cantools / t_korvel:>11.0f}x{t_korvel / t_numpy:>8.2f}x")

    for mask in (0x04, 0x40):
        t_flag = median_time(lambda mask=mask: korvel.flag_test(index, mask), args.runs)
        t_np = median_time(lambda mask=mask: (index["flags"] & mask) != 0, args.runs)
        print(f"flag_test mask 0x{mask:02x}: korvel {t_flag * 1e3:.2f}ms, "
              f"numpy {t_np * 1e3:.2f}ms, korvel/numpy {t_flag / t_np:.2f}x")


if __name__ == "__main__":
    main()
