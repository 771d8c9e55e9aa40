"""korvel quick start: read a BLF log, decode DBC signals, query, write.

Runs on the shipped examples/data/drive.blf (60 s of a small vehicle network
written by korvel) and examples/data/vehicle.dbc.
"""

import io
import tempfile
import time
from contextlib import contextmanager, redirect_stdout
from pathlib import Path

import cantools
import numpy as np

import korvel
import korvel.korvel as kv
from korvel.dravum import Query

DATA = Path(__file__).parent / "data"


@contextmanager
def step(title):
    quiet = io.StringIO()  # the library's own diagnostic lines
    t = time.perf_counter()
    with redirect_stdout(quiet):
        yield
    print(f"[{(time.perf_counter() - t) * 1e3:7.2f} ms] {title}")


def main():
    with step("read drive.blf"), open(DATA / "drive.blf", "rb") as f:
        frames = kv.read(f)
    index, chunk = frames
    span = (index["timestamp"].max() - index["timestamp"].min()) * 1e-9
    print(f"    {len(index)} frames over {span:.1f} s, {len(chunk)} payload bytes, "
          f"{np.count_nonzero(kv.flag_test(index, 0x08))} CAN FD")

    db = cantools.database.load_file(str(DATA / "vehicle.dbc"))
    q = Query()
    with step("load vehicle.dbc into a Query"):
        q.addDatabase(db)
    print(f"    {len(q.msg_dict)} messages, {len(q.sig_dict)} signals")

    with step("decode EngineSpeed and WheelSpeedFL over every frame"):
        rpm = q.map(frames, "signals.EngineSpeed(frames)")
        wheel = q.signals.WheelSpeedFL(frames, 1)  # pad=1: carry the last value
    print(f"    EngineSpeed: {np.count_nonzero(~np.isnan(rpm))} values, "
          f"max {np.nanmax(rpm):.0f} rpm; WheelSpeedFL carried to all "
          f"{np.count_nonzero(~np.isnan(wheel))} frames")

    # Same values as cantools gives, frame by frame.
    first = int(np.flatnonzero(index["can_id"] == 256)[0])
    loc = int(index["loc"][first])
    payload = chunk[loc & 0xFFFFFFFFFFFF:][: loc >> 48].tobytes()
    ref = db.decode_message(256, payload, decode_choices=False)["EngineSpeed"]
    print(f"    first EngineSpeed: korvel {rpm[first]} / cantools {ref}")

    with step("every signal of the database into one table per message"):
        tables = korvel.decode(frames, db, choices=True)
    for name, table in tables.items():
        print(f"    {name}: {len(table['timestamp'])} rows, signals {', '.join(list(table)[2:])}")
    gears = tables["Transmission"]["GearActual"]  # value-table labels with choices=True
    print(f"    GearActual labels seen: {sorted(set(gears.tolist()) - {None})}")

    with step("message and signal queries"):
        from_abs = q.senders_contains(frames, "ABS")
        to_tcm = q.receivers_contains(frames, ["TCM"])
        gear_d3 = q.signal_contains_and_value_eq(frames, "GearActual", 3)
    print(f"    sent by ABS: {from_abs.sum()}, received by TCM: {to_tcm.sum()}, "
          f"in gear 3: {gear_d3.sum()}")

    expr = "(signals.EngineSpeed(frames) > 2500) | (signals.YawRate(frames) < -10) & ~is_fd(frames)"
    with step(f"filter {expr!r}"):
        selected = q.filter(frames, expr)
    print(f"    selected {len(selected[0])} of {len(index)} frames")

    with tempfile.TemporaryDirectory() as tmp:
        out = Path(tmp) / "selection.blf"
        with step("write the selection as a new BLF log"), open(out, "wb") as f:
            kv.write(f, selected)
        with step("read it back"), open(out, "rb") as f:
            back = kv.read(f)
        same = back[0]["can_id"].tolist() == selected[0]["can_id"].tolist()
        print(f"    {out.stat().st_size} bytes, {len(back[0])} frames, same identifiers: {same}")


if __name__ == "__main__":
    main()
