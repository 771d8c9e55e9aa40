"""Text logs wherever a log is taken: korvel.decode, korvel.dask.decode and the
command line (korvel convert among its commands), by suffix or by content."""

import logging
import os
import shutil
import subprocess
import sys
from pathlib import Path

import can
import numpy as np
import pytest
from text_samples import every_kind

import korvel
import korvel.korvel as kv

DATA = Path(__file__).resolve().parents[1] / "examples" / "data"
DRIVE, DBC = str(DATA / "drive.blf"), str(DATA / "vehicle.dbc")


@pytest.fixture(scope="module")
def logs(tmp_path_factory):
    """drive.blf as ASC (write_asc), candump and PCAN trace (python-can's
    writers), and the ASC again under a name that says nothing."""
    d = tmp_path_factory.mktemp("text")
    kv.write_asc(d / "drive.asc", kv.read(DRIVE, verbose=False), verbose=False)
    shutil.copy(d / "drive.asc", d / "drive.txt")
    logging.disable(logging.WARNING)
    try:
        msgs = list(can.BLFReader(DRIVE))
        for name, cls in (("drive.log", can.CanutilsLogWriter), ("drive.trc", can.TRCWriter)):
            with cls(str(d / name)) as w:
                for m in msgs:
                    w.on_message_received(m)
    finally:
        logging.disable(logging.NOTSET)
    return d


def same_tables(a, b, messages=None, slack_us=0):
    names = messages or list(a)
    assert names and all(n in b for n in names)
    for name in names:
        ta, tb = a[name], b[name]
        assert ta.num_rows == tb.num_rows, name
        gap = np.abs(ta["timestamp"] // 1000 - tb["timestamp"] // 1000)
        assert gap.max(initial=0) <= slack_us, name
        for column in ta:
            if column != "timestamp":
                np.testing.assert_array_equal(ta[column], tb[column], err_msg=f"{name}.{column}")


@pytest.mark.parametrize("name", ["drive.asc", "drive.txt", "drive.log", "drive.trc"])
def test_decode_reads_text_logs(logs, name):
    ours = korvel.decode(logs / name, DBC)
    whole = korvel.decode(DRIVE, DBC)
    # Times to the microsecond: write_asc's nearest, python-can's writers' floats.
    if name == "drive.trc":  # python-can's trace writer leaves CAN FD out
        assert "BatteryFD" not in ours
        same_tables(ours, whole, [m for m in whole if m != "BatteryFD"], slack_us=1)
    else:  # candump: interface can0 is channel 1, as the log's channel was
        same_tables(ours, whole, slack_us=1)
    with open(logs / name, "rb") as f:  # a stream: by its first bytes
        same_tables(korvel.decode(f, DBC), ours)


def test_dask_decode_reads_text_logs(logs):
    kd = pytest.importorskip("korvel.dask")
    fleet = kd.decode([DRIVE, str(logs / "drive.asc")], DBC, messages=["EngineData"], split=2)
    df = fleet["EngineData"].compute(scheduler="synchronous")
    a, b = df[df["log"] == 0], df[df["log"] == 1]
    assert len(a) == len(b) == 6000
    np.testing.assert_array_equal(a["EngineSpeed"], b["EngineSpeed"])
    health = kd.scan([str(logs / "drive.trc")]).compute(scheduler="synchronous")
    assert health["frames"].tolist() == [9720] and health["notices"][0] == []


def cli(*args):
    return subprocess.run(
        [sys.executable, "-m", "korvel", *map(str, args)],
        capture_output=True,
        text=True,
        check=False,
    )


def test_convert_both_ways_with_exact_times(logs, tmp_path):
    asc, blf = tmp_path / "d.asc", tmp_path / "d.blf"
    r = cli("convert", DRIVE, asc)
    assert (r.returncode, r.stdout) == (0, f"10320 frames -> {asc}\n")
    assert cli("convert", asc, blf).returncode == 0
    src = kv.read(DRIVE, verbose=False, exact_time=True)
    back = kv.read(blf, verbose=False, exact_time=True)
    # ASC keeps the nearest microseconds, BLF then every nanosecond of them.
    np.testing.assert_array_equal(back[0]["timestamp"], (src[0]["timestamp"] + 500) // 1000 * 1000)
    for field in ("can_id", "flags", "channel", "len"):
        np.testing.assert_array_equal(back[0][field], src[0][field])
    np.testing.assert_array_equal(back[1], src[1])
    for name in ("drive.log", "drive.trc"):
        out = tmp_path / (name + ".asc")
        assert cli("convert", logs / name, out).returncode == 0
        assert len(kv.read_asc(out, verbose=False)[0]) == len(
            READERS[name[-3:]](logs / name, verbose=False)[0]
        )


READERS = {"log": kv.read_candump, "trc": kv.read_trc, "asc": kv.read_asc}


def test_convert_blf_asc_blf_gives_back_every_frame_kind(tmp_path):
    index, chunk = every_kind()
    blf, asc, back = tmp_path / "k.blf", tmp_path / "k.asc", tmp_path / "back.blf"
    # Error frames without the FD flag, the one kv.write stores.
    kv.write(blf, (index[index["flags"] != 0x1C], chunk), verbose=False, exact_time=True)
    assert cli("convert", blf, asc).returncode == cli("convert", asc, back).returncode == 0
    src, got = (kv.to_homo(kv.read(p, verbose=False, exact_time=True), verbose=False)
                for p in (blf, back))
    src["timestamp"] = (src["timestamp"] + 500) // 1000 * 1000  # the nearest microsecond
    np.testing.assert_array_equal(got, src)


def test_commands_take_text_logs(logs, tmp_path):
    r = cli("info", "--json", logs / "drive.txt", logs / "drive.log")
    assert r.returncode == 0, r.stderr
    assert '"frames": 10320' in r.stdout.splitlines()[0]
    assert '"format": "candump"' in r.stdout.splitlines()[1]
    r = cli("decode", logs / "drive.trc", "--dbc", DBC, "--messages", "EngineData", "-o", "-")
    assert r.returncode == 0 and len(r.stdout.splitlines()) == 6001
    # Lines the reader skipped are a note, not damage.
    noted = tmp_path / "noted.asc"
    noted.write_text(
        (logs / "drive.asc")
        .read_text()
        .replace("Begin Triggerblock", "// a comment\nBegin Triggerblock")
    )
    r = cli("filter", noted, "--expr", "is_fd(frames)", "-o", tmp_path / "fd.blf")
    assert r.returncode == 0 and "1 line of the asc log skipped" in r.stderr
    assert (
        "skipped"
        not in cli(
            "filter", "-q", noted, "--expr", "is_fd(frames)", "-o", tmp_path / "fd2.blf"
        ).stderr
    )


@pytest.mark.parametrize(
    "args, message",
    [
        (["convert", "{bad}", "{tmp}/x.blf"], "bad.asc: line 2: not a line of an ASC log"),
        (["convert", DRIVE, "{tmp}/x.txt"], "x.txt: the output must end in .blf or .asc"),
    ],
)
def test_command_faults(tmp_path, args, message):
    bad = tmp_path / "bad.asc"
    bad.write_text("\nhello\n")
    r = cli(*[a.format(bad=bad, tmp=tmp_path) for a in args])
    assert r.returncode == 1 and message in r.stderr
    assert not os.path.exists(tmp_path / "x.blf")


def test_info_on_a_text_log_that_is_no_log(tmp_path):
    bad = tmp_path / "bad.asc"
    bad.write_text("hello\n")
    proc = subprocess.run([sys.executable, "-m", "korvel", "info", str(bad)], capture_output=True,
                          text=True, check=False)
    # One line naming the file and the line; no header made up before it.
    assert proc.returncode == 1 and proc.stdout == ""
    assert "line 1" in proc.stderr
