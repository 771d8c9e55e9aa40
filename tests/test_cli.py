"""The command line, run as `python -m korvel` in child processes; every output
read back and compared with the library's own results."""

import io
import json
import os
import struct
import subprocess
import sys
from pathlib import Path

import cantools
import numpy as np
import pytest

import korvel
import korvel.korvel as kv
from korvel.dravum import Query

DATA = Path(__file__).resolve().parents[1] / "examples" / "data"
DRIVE, DBC = str(DATA / "drive.blf"), str(DATA / "vehicle.dbc")
ENV = {**os.environ, "MPLBACKEND": "Agg"}
ENV.pop("DISPLAY", None)
ENV.pop("WAYLAND_DISPLAY", None)


def korvel_cli(*args, cwd=None, code=None):
    """Runs the command line; `code` runs it through main() after some setup."""
    cmd = [sys.executable, "-m", "korvel", *args]
    if code is not None:
        run = f"from korvel.cli import main; import sys; sys.exit(main({list(args)!r}))"
        cmd = [sys.executable, "-c", f"{code}; {run}"]
    return subprocess.run(cmd, capture_output=True, text=True, env=ENV, cwd=cwd, check=False,
                          timeout=600)


@pytest.fixture(scope="module")
def logs(tmp_path_factory):
    """drive.blf's copy, a log of every frame kind on three channels, and damaged logs."""
    d = tmp_path_factory.mktemp("logs")
    raw = Path(DRIVE).read_bytes()
    (d / "copy.blf").write_bytes(raw)
    (d / "cut.blf").write_bytes(raw[:70000])
    (d / "notblf.blf").write_bytes(b"not a log" * 20)
    corrupt = bytearray(raw)
    corrupt[1000:1010] = b"\xff" * 10  # inside the first container's deflate stream
    (d / "corrupt.blf").write_bytes(bytes(corrupt))
    (d / "bad.dbc").write_text("this is no database\n")

    a = np.zeros(9, kv.DT64)
    a["timestamp"] = 1_735_000_000_000_000_000 + np.arange(9) * 10_000_000
    a["can_id"] = [0x100, 0x100, 0x100, 0x1234567, 0x200, 0, 0x300, 0x1234567, 0x100]
    a["flags"] = [0, 0x04, 0x0C, 0x40, 0x20, 0x10, 0x0A, 0x44, 0x08]
    a["len"] = [8, 8, 64, 8, 0, 0, 12, 8, 16]
    a["channel"] = [1, 1, 2, 2, 1, 3, 3, 2, 1]
    a["data"][:, :8] = np.arange(8)
    kv.write(str(d / "kinds.blf"), a, verbose=False)
    return d


def errors(proc):
    assert "Traceback" not in proc.stderr
    return proc.stderr.strip().splitlines()


# --- info ------------------------------------------------------------------------------


def test_info_json_matches_library(logs):
    paths = [DRIVE, str(logs / "kinds.blf")]
    proc = korvel_cli("info", "--json", "--piece-frames", "1000", *paths)
    assert proc.returncode == 0 and proc.stderr == ""
    records = [json.loads(line) for line in proc.stdout.splitlines()]
    assert [r["path"] for r in records] == paths
    for path, r in zip(paths, records):
        index, _ = kv.read(path, verbose=False)
        header = kv.info(path, verbose=False)
        flags = index["flags"]
        error = flags & 0x10 != 0
        remote = ~error & (flags & 0x20 != 0)
        fd = ~error & ~remote & (flags & 0x08 != 0)
        assert r["frames"] == len(index)
        assert r["by_kind"] == {"classic": int((~error & ~remote & ~fd).sum()), "fd": int(fd.sum()),
                                "error": int(error.sum()), "remote": int(remote.sum())}
        assert r["channels"] == np.unique(index["channel"]).tolist()
        ids, counts = np.unique(index["can_id"][~error], return_counts=True)
        assert r["identifiers"] == len(ids)
        assert (r["start"], r["stop"]) == (header["start"], header["stop"])
        busiest = sorted(zip(counts.tolist(), ids.tolist()), key=lambda c: (-c[0], c[1]))[:10]
        assert [(b["frames"], b["can_id"]) for b in r["busiest"]] == busiest
        top = r["busiest"][0]
        t = index["timestamp"][(index["can_id"] == top["can_id"]) & ~error]
        assert top["mean_period"] == pytest.approx((t.max() - t.min()) / (len(t) - 1) / 1e9)
    assert records[1]["by_kind"] == {"classic": 4, "fd": 3, "error": 1, "remote": 1}


def test_info_text():
    proc = korvel_cli("info", DRIVE)
    assert proc.returncode == 0
    assert DRIVE in proc.stdout
    assert "10320 (9720 classic, 600 CAN FD, 0 error, 0 remote)" in proc.stdout
    assert "0x18FECA15 ext" in proc.stdout and "10.000 ms" in proc.stdout


# --- decode ----------------------------------------------------------------------------


@pytest.mark.parametrize("fmt, choices", [("parquet", False), ("parquet", True), ("csv", True)])
def test_decode_matches_library(tmp_path, fmt, choices):
    pd = pytest.importorskip("pandas")
    flags = ["--choices"] if choices else []
    proc = korvel_cli("decode", DRIVE, "--dbc", DBC, "-o", str(tmp_path), "--format", fmt,
                      "--piece-frames", "700", *flags)
    assert proc.returncode == 0, proc.stderr
    want = korvel.decode(DRIVE, DBC, choices=choices)
    assert sorted(p.name for p in tmp_path.iterdir()) == sorted(f"{m}.{fmt}" for m in want)
    for name, table in want.items():
        path = tmp_path / f"{name}.{fmt}"
        got = pd.read_parquet(path) if fmt == "parquet" else pd.read_csv(path)
        expected = table.to_pandas()
        assert list(got.columns) == list(expected.columns)
        for col in expected.columns:
            if isinstance(expected[col].dtype, pd.CategoricalDtype):
                assert got[col].astype(str).tolist() == expected[col].astype(str).tolist()
            else:
                np.testing.assert_array_equal(got[col].to_numpy(), expected[col].to_numpy())


def test_decode_several_logs_share_files(tmp_path, logs):
    pq = pytest.importorskip("pyarrow.parquet")
    paths = [DRIVE, str(logs / "corrupt.blf"), str(logs / "copy.blf")]
    args = ["decode", *paths, "--dbc", f"1:{DBC}", "--messages", "Transmission,BodyStatus"]

    proc = korvel_cli(*args, "-o", str(tmp_path / "all"))
    lines = errors(proc)
    assert proc.returncode == 1 and len(lines) == 1 and "corrupt.blf" in lines[0]
    want = korvel.decode(DRIVE, {1: DBC}, messages=["Transmission", "BodyStatus"])
    assert sorted(p.name for p in (tmp_path / "all").iterdir()) == [
        "BodyStatus.parquet", "Transmission.parquet"]
    table = pq.read_table(tmp_path / "all" / "Transmission.parquet").to_pandas()
    assert table["log"].astype(str).tolist() == [DRIVE] * 600 + [paths[2]] * 600
    for _, part in table.groupby("log", observed=True):
        np.testing.assert_array_equal(part["GearActual"], want["Transmission"]["GearActual"])
        np.testing.assert_array_equal(part["timestamp"], want["Transmission"]["timestamp"])

    # --strict: the damaged log stops the run; what came before it stays written.
    proc = korvel_cli(*args, "-o", str(tmp_path / "strict"), "--strict")
    assert proc.returncode == 1 and len(errors(proc)) == 1
    table = pq.read_table(tmp_path / "strict" / "Transmission.parquet")
    assert set(table.column("log").to_pylist()) == {DRIVE}

    # A database bound to another channel decodes nothing.
    proc = korvel_cli("decode", DRIVE, "--dbc", f"2:{DBC}", "-o", str(tmp_path / "none"))
    assert proc.returncode == 1 and not list((tmp_path / "none").iterdir())
    line = f"korvel: channel 2 of --dbc 2:{DBC} is not in the logs (their channels: 1)"
    assert errors(proc) == [line]


# --- filter ----------------------------------------------------------------------------


@pytest.mark.parametrize("expr", [
    "(signals.EngineSpeed(frames) > 2500) & ~is_fd(frames)",
    'signal_contains_and_value_eq(frames, "GearActual", 3) | is_fd(frames)',
    # Fails on no frames (the maximum of nothing), works on the log's.
    "~is_fd(frames) | (signals.EngineSpeed(frames).max() > 0)",
])
def test_filter_matches_query(tmp_path, expr):
    out = tmp_path / "out.blf"
    proc = korvel_cli("filter", DRIVE, "--dbc", DBC, "--expr", expr, "-o", str(out))
    assert proc.returncode == 0 and proc.stderr == ""
    q = Query()
    q.addDatabase(cantools.database.load_file(DBC))
    # The command line reads and writes exact times.
    selected = q.filter(kv.read(DRIVE, verbose=False, exact_time=True), expr)
    assert proc.stdout.startswith(f"{len(selected[0])} of 10320 frames")
    kv.write(str(tmp_path / "lib.blf"), selected, verbose=False, exact_time=True)
    got = kv.read(str(out), verbose=False, exact_time=True)
    want = kv.read(str(tmp_path / "lib.blf"), verbose=False, exact_time=True)
    np.testing.assert_array_equal(got[0]["timestamp"], selected[0]["timestamp"])
    assert 0 < len(got[0]) < 10320
    np.testing.assert_array_equal(got[0], want[0])
    np.testing.assert_array_equal(got[1], want[1])


# --- plot ------------------------------------------------------------------------------


@pytest.mark.parametrize("name, magic, signals", [
    ("p.png", b"\x89PNG\r\n\x1a\n", ["EngineSpeed", "WheelSpeedFL", "WheelSpeedFR", "GearActual"]),
    ("p.svg", b"<?xml", ["Transmission.GearActual", "BatteryFD.PackVoltage"]),
    ("p.pdf", b"%PDF", ["YawRate"]),
])
def test_plot_writes_image(tmp_path, name, magic, signals):
    out = tmp_path / name
    proc = korvel_cli("plot", DRIVE, "--dbc", DBC, *signals, "-o", str(out))
    assert proc.returncode == 0, proc.stderr
    data = out.read_bytes()
    assert data.startswith(magic) and len(data) > 5000
    if name.endswith(".png"):
        width, height = np.frombuffer(data[16:24], ">u4")
        assert width > 300 and height > 300


# --- bad input -------------------------------------------------------------------------


@pytest.mark.parametrize("args, code, words", [
    (["info", "{d}/corrupt.blf"], 1, ["corrupt.blf", "byte offset 44676"]),
    (["info", "{d}/notblf.blf"], 1, ["notblf.blf", "byte offset 0"]),
    (["info", "{d}/cut.blf"], 1, ["cut.blf", "truncated at byte offset 70000"]),
    (["info", "{d}/missing.blf"], 1, ["missing.blf", "No such file"]),
    (["decode", DRIVE, "--dbc", "{d}/bad.dbc", "-o", "{d}/o"], 1, ["bad.dbc", "does not load"]),
    (["decode", DRIVE, "--dbc", "{d}/no.dbc", "-o", "{d}/o"], 1, ["no.dbc"]),
    (["decode", DRIVE, "--dbc", DBC, "--messages", "Nope", "-o", "{d}/o"], 1, ["vehicle.dbc", "Nope"]),
    (["plot", DRIVE, "--dbc", DBC, "NoSuchSignal", "-o", "{d}/p.png"], 1,
     ["vehicle.dbc", "NoSuchSignal"]),
    (["plot", "{d}/corrupt.blf", "--dbc", DBC, "YawRate", "-o", "{d}/p.png"], 1, ["corrupt.blf"]),
    (["plot", DRIVE, "--dbc", DBC, "YawRate"], 1, ["display", "-o"]),
    (["filter", DRIVE, "--dbc", DBC, "--expr", "signals.Nope(frames) > 1", "-o", "{d}/f.blf"], 1,
     ["bad expression", "Nope"]),
    (["filter", DRIVE, "--expr", "is_fd(frames", "-o", "{d}/f.blf"], 1, ["bad expression"]),
    (["filter", DRIVE, "--expr", "is_error_frame(frames)", "-o", "{d}/f.blf"], 1, ["no frame"]),
    (["filter", "{d}/cut.blf", "--expr", "is_fd(frames)", "-o", "{d}/f.blf"], 1, ["cut.blf"]),
    (["decode", DRIVE, "--dbc", f"300:{DBC}", "-o", "{d}/o"], 2, ["300"]),
    (["filter", DRIVE, "--dbc", f"1:{DBC}", "--expr", "is_fd(frames)", "-o", "{d}/f.blf"], 2, []),
    (["plot", DRIVE, "YawRate"], 2, ["--dbc"]),
    ([], 2, ["COMMAND"]),
])
def test_bad_input_one_line(logs, args, code, words):
    proc = korvel_cli(*[a.format(d=logs) for a in args])
    assert proc.returncode == code
    lines = errors(proc)
    if code == 1:
        assert len(lines) == 1 and lines[0].startswith("korvel: ")
    for word in words:
        assert word in lines[-1]


def test_several_logs_one_damaged(logs):
    paths = [DRIVE, str(logs / "notblf.blf"), str(logs / "copy.blf")]
    proc = korvel_cli("info", "--json", *paths)
    assert proc.returncode == 1 and len(errors(proc)) == 1
    assert [json.loads(line)["path"] for line in proc.stdout.splitlines()] == paths[::2]
    proc = korvel_cli("info", "--json", "--strict", *paths)
    assert proc.returncode == 1 and len(errors(proc)) == 1
    assert [json.loads(line)["path"] for line in proc.stdout.splitlines()] == paths[:1]


@pytest.mark.parametrize("module, extra, args", [
    ("matplotlib", "plot", ["plot", DRIVE, "--dbc", DBC, "YawRate", "-o", "p.png"]),
    ("pyarrow", "cli", ["decode", DRIVE, "--dbc", DBC, "-o", "out"]),
    ("cantools", "cli", ["filter", DRIVE, "--dbc", DBC, "--expr", "is_fd(frames)", "-o", "f.blf"]),
])
def test_missing_extra_is_named(tmp_path, module, extra, args):
    proc = korvel_cli(*args, cwd=tmp_path, code=f"import sys; sys.modules[{module!r}] = None")
    assert proc.returncode == 1
    need = f"korvel: {module} is needed for this; install it with: pip install 'korvel[{extra}]'"
    assert errors(proc) == [need]


# --- help and progress -----------------------------------------------------------------


@pytest.mark.parametrize("command", ["info", "decode", "filter", "cut", "split", "plot"])
def test_help_shows_an_example(command):
    proc = korvel_cli(command, "--help")
    assert proc.returncode == 0
    # The sample files it names, and where a pip user finds them.
    assert f"examples:\n  korvel {command} drive.blf" in proc.stdout
    assert "examples/data/ of\nkorvel's source distribution" in proc.stdout


def test_import_leaves_the_command_line_out():
    code = ("import sys, korvel; print([m for m in ('korvel.cli', 'argparse', 'tqdm', "
            "'matplotlib', 'pyarrow', 'pandas', 'cantools') if m in sys.modules])")
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=False)
    assert proc.stdout.strip() == "[]"


@pytest.mark.parametrize("quiet", [False, True])
def test_progress_bar_on_a_terminal_only(logs, quiet):
    pytest.importorskip("tqdm")
    many = [str(logs / "copy.blf")] * 10
    if quiet:  # and not on a pipe either
        proc = korvel_cli("info", *many)
        assert proc.returncode == 0 and proc.stderr == ""
    termios = pytest.importorskip("termios")
    import fcntl

    master, slave = os.openpty()
    # A fresh pseudo-terminal is 0 columns wide: the bar would be empty.
    fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 100, 0, 0))
    args = ["info", *many] + (["--quiet"] if quiet else [])
    child = subprocess.Popen([sys.executable, "-m", "korvel", *args], env=ENV,
                             stdout=subprocess.DEVNULL, stderr=slave)
    os.close(slave)
    shown = b""
    while True:
        try:
            chunk = os.read(master, 65536)
        except OSError:  # the child closed its end
            break
        if not chunk:
            break
        shown += chunk
    os.close(master)
    assert child.wait() == 0
    assert (b"B/s" in shown) != quiet


# --- answers a user can rely on ----------------------------------------------------------

TWO_SPEEDS = """VERSION ""
BO_ 256 EngineData: 8 ECM
 SG_ EngineSpeed : 0|16@1+ (0.25,0) [0|0] "rpm" GW
BO_ 291 WheelSpeeds: 8 ABS
 SG_ EngineSpeed : 7|16@0+ (0.01,0) [0|0] "km/h" GW
BO_ 1962 Absent: 8 ABS
 SG_ Nothing : 0|8@1+ (1,0) [0|0] "" GW
"""


@pytest.fixture(scope="module")
def damaged(tmp_path_factory):
    """drive.blf with one byte of its second container flipped, and a database
    with a signal name in two messages and a message without frames."""
    d = tmp_path_factory.mktemp("damaged")
    data = bytearray(Path(DRIVE).read_bytes())
    data[44716] ^= 0xFF
    (d / "damaged.blf").write_bytes(bytes(data))
    (d / "two.dbc").write_text(TWO_SPEEDS)
    return d


def test_decode_writes_csv_to_standard_output(tmp_path):
    pd = pytest.importorskip("pandas")
    proc = korvel_cli("decode", DRIVE, "--dbc", DBC, "--messages", "Transmission", "--choices",
                      "-o", "-")
    assert proc.returncode == 0 and proc.stderr == ""
    want = korvel.decode(DRIVE, DBC, messages=["Transmission"], choices=True)["Transmission"]
    got = pd.read_csv(io.StringIO(proc.stdout))
    assert list(got.columns) == list(want) and got["GearActual"].tolist() == list(
        want["GearActual"])
    proc = korvel_cli("decode", DRIVE, "--dbc", DBC, "--messages", "Transmission,BodyStatus",
                      "--piece-frames", "3000", "-o", "-")
    rows = pd.read_csv(io.StringIO(proc.stdout))
    assert list(rows.columns) == ["message", "timestamp", "channel", "GearActual", "GearTarget",
                                  "OilTemp", "AmbientTemp", "DoorsOpen"]
    tables = korvel.decode(DRIVE, DBC, messages=["Transmission", "BodyStatus"])
    for name, table in tables.items():
        mine = rows[rows["message"] == name]
        assert mine["timestamp"].tolist() == table["timestamp"].tolist()
        for sig in list(table)[2:]:
            assert np.allclose(mine[sig], table[sig])
        assert mine.drop(columns=list(table) + ["message"]).isna().all().all()
    # Time order within each piece read.
    for piece in np.array_split(rows["timestamp"].to_numpy(), 4):
        assert (np.diff(piece) >= 0).all() or len(piece) < 2
    assert not list(tmp_path.iterdir())


@pytest.mark.parametrize("args, line", [
    (["--dbc", "{d}/two.dbc", "--messages", "Absent"],
     "korvel: no frame of the logs belongs to the messages Absent"),
    (["--dbc", f"3:{DBC}"], f"korvel: channel 3 of --dbc 3:{DBC} is not in the logs (their channels: 1)"),
    (["--dbc", "{d}/absent.dbc"], ("korvel: no frame of the logs belongs to a message of the "
                                   "databases")),
])
def test_decode_says_why_nothing_was_decoded(damaged, tmp_path, args, line):
    (damaged / "absent.dbc").write_text(TWO_SPEEDS.split("BO_ 256")[0] +
                                        "BO_ 1962" + TWO_SPEEDS.split("BO_ 1962")[1])
    proc = korvel_cli("decode", DRIVE, *[a.format(d=damaged) for a in args], "-o",
                      str(tmp_path / "out"))
    assert proc.returncode == 1 and errors(proc) == [line] and proc.stdout == ""


@pytest.mark.parametrize("command, args, answer", [
    ("info", [], "frames       6471 (6095 classic, 376 CAN FD, 0 error, 0 remote)"),
    ("decode", ["--dbc", DBC, "-o", "{o}"], "EngineData         3763 rows"),
    ("filter", ["--expr", "is_fd(frames)", "-o", "{o}.blf"], "376 of 6471 frames"),
    ("plot", ["--dbc", DBC, "YawRate", "-o", "{o}.png"], "1 signal -> "),
])
def test_errors_skip_reads_past_damage_everywhere(damaged, tmp_path, command, args, answer):
    log = str(damaged / "damaged.blf")
    args = [a.format(o=tmp_path / "out") for a in args]
    proc = korvel_cli(command, log, *args)
    assert proc.returncode == 1 and len(errors(proc)) == 1 and "byte offset" in errors(proc)[0]
    proc = korvel_cli(command, "--errors", "skip", log, *args)
    assert proc.returncode == 1 and answer in proc.stdout
    assert errors(proc) == [(f"korvel: {log}: skipped the log container at byte offset 44676 "
                             "to 88814 (container 1): Error -3 while decompressing data: "
                             "invalid code lengths set")]
    proc = korvel_cli(command, "--errors", "skip", "-q", DRIVE, *args)
    assert proc.returncode == 0 and proc.stderr == ""
    assert (proc.stdout != "") == (command == "info")  # -q: the answer stays, summaries go


def test_info_of_a_log_damaged_after_its_header(damaged):
    log = str(damaged / "damaged.blf")
    proc = korvel_cli("info", log)
    assert proc.returncode == 1 and "frames" not in proc.stdout
    assert proc.stdout.splitlines()[1:5] == [
        "  application  CANape 0.0.0", "  start        2024-12-24 00:26:40.000+00:00",
        "  stop         2024-12-24 00:27:39.990+00:00", "  duration     59.990 s"]
    record = json.loads(korvel_cli("info", "--json", log).stdout)
    assert record["objects"] == 10320 and "corrupt compressed data" in record["error"]


def test_plot_patterns_and_time_window(tmp_path):
    out = str(tmp_path / "p.png")
    cases = [
        (["WheelSpeed*", "Transmission.*"], 0, "5 signals -> "),
        (["EngineData.Engine*", "--start", "10", "--stop", "12.5"], 0, "3 signals -> "),
        (["YawRate", "--start", "100"], 1, "none of the signals has samples in this log from 100 s"),
        (["Engine.Speed"], 1, "no message 'Engine'"),
        (["*Nothing*"], 1, "no signal matches '*Nothing*'"),
        (["YawRate", "--start", "5", "--stop", "5"], 1, "--stop 5 is not after --start 5"),
    ]
    for args, code, text in cases:
        proc = korvel_cli("plot", DRIVE, "--dbc", DBC, *args, "-o", out)
        assert proc.returncode == code and text in (proc.stdout + proc.stderr), args


def test_filter_names_the_messages_of_an_ambiguous_signal(damaged, tmp_path):
    dbc, out = str(damaged / "two.dbc"), str(tmp_path / "f.blf")
    proc = korvel_cli("filter", DRIVE, "--dbc", dbc, "--expr",
                      "signals.EngineSpeed(frames) > 2500", "-o", out)
    assert proc.returncode == 1 and len(errors(proc)) == 1
    assert "'EngineSpeed' is in several messages (EngineData, WheelSpeeds)" in errors(proc)[0]
    proc = korvel_cli("filter", DRIVE, "--dbc", dbc, "--expr",
                      "signals.EngineData.EngineSpeed(frames) > 2500", "-o", out)
    assert proc.returncode == 0 and proc.stdout.startswith("3281 of 10320 frames")


def test_file_names_that_are_not_utf8(tmp_path):
    base = os.fsencode(tmp_path)
    log, dbc = base + b"/dr\xffive.blf", base + b"/v\xfe.dbc"
    with open(log, "wb") as f:
        f.write(Path(DRIVE).read_bytes())
    with open(dbc, "wb") as f:
        f.write(Path(DBC).read_bytes())
    runs = [[b"info", log], [b"decode", log, b"--dbc", dbc, b"-o", base + b"/out\xfd"],
            [b"filter", log, b"--dbc", dbc, b"--expr", b"is_fd(frames)", b"-o",
             base + b"/f\xfc.blf"],
            [b"plot", log, b"--dbc", dbc, b"YawRate", b"-o", base + b"/p\xfb.png"]]
    for args in runs:
        proc = subprocess.run([sys.executable, "-m", "korvel", *args], capture_output=True,
                              env=ENV, check=False)
        assert proc.returncode == 0 and proc.stderr == b"", (args, proc.stderr)
    assert b"dr\xffive.blf\n" in subprocess.run(
        [sys.executable, "-m", "korvel", "info", log], capture_output=True, env=ENV,
        check=False).stdout
    made = set(os.listdir(base))
    assert {b"out\xfd", b"f\xfc.blf", b"p\xfb.png"} <= made
    assert len(os.listdir(base + b"/out\xfd")) == 5


# --- usage errors before any work, outputs by suffix -----------------------------------


@pytest.mark.parametrize("args, words", [
    (["split", DRIVE, "--frames", "-1", "-o", "{d}/parts"], ["--frames", "at least 1"]),
    (["split", DRIVE, "--frames", "0", "-o", "{d}/parts"], ["--frames", "at least 1"]),
    (["split", DRIVE, "--every", "-5s", "-o", "{d}/parts"], ["--every", "positive"]),
    (["split", DRIVE, "--every", "5s", "-o", "{d}/parts.asc"], ["directory", "--format"]),
    (["cut", DRIVE, "--start", "inf", "-o", "{d}/c.blf"], ["--start", "finite"]),
    (["cut", DRIVE, "--start", "nan", "-o", "{d}/c.blf"], ["--start", "finite"]),
    (["cut", DRIVE, "--start", "1e30", "-o", "{d}/c.blf"], ["--start", "beyond"]),
    (["cut", DRIVE, "--stop", "2400-01-01T00:00:00", "-o", "{d}/c.blf"], ["--stop", "outside"]),
    (["cut", DRIVE, "--start", "1", "-o", "{d}/c.trc"], ["-o", ".blf and .asc"]),
    (["filter", DRIVE, "--expr", "is_fd(frames)", "-o", "{d}/f.log"], ["-o", ".blf and .asc"]),
    (["plot", DRIVE, "--dbc", DBC, "YawRate", "--start", "nan", "-o", "{d}/p.png"],
     ["--start", "finite"]),
])
def test_usage_errors_exit_2_before_any_work(tmp_path, args, words):
    proc = korvel_cli(*[a.format(d=tmp_path) for a in args])
    assert proc.returncode == 2
    last = errors(proc)[-1]
    assert last.startswith(f"korvel {args[0]}: error: ")
    for word in words:
        assert word in last
    assert not list(tmp_path.iterdir())


@pytest.mark.parametrize("command, args", [
    ("cut", ["--start", "10", "--stop", "20"]),
    ("filter", ["--expr", "is_fd(frames) | is_remote_frame(frames)"]),
])
def test_outputs_named_asc_are_asc(tmp_path, command, args):
    out = tmp_path / "out.asc"
    proc = korvel_cli(command, DRIVE, *args, "-o", str(out))
    assert proc.returncode == 0, proc.stderr
    assert out.read_bytes().startswith(b"date ")
    index, _ = kv.read_asc(str(out), verbose=False)
    blf = tmp_path / "out.blf"
    assert korvel_cli(command, DRIVE, *args, "-o", str(blf)).returncode == 0
    expected, _ = kv.read(str(blf), verbose=False, exact_time=True)
    assert len(index) == len(expected) > 0
    assert np.array_equal(index["can_id"], expected["can_id"])
    # ASC holds microseconds, to the nearest.
    assert np.array_equal(index["timestamp"] // 1000, (expected["timestamp"] + 500) // 1000)


def test_split_asc_parts_join_to_the_whole(tmp_path):
    proc = korvel_cli("split", DRIVE, "--every", "20s", "--format", "asc", "-o", str(tmp_path))
    assert proc.returncode == 0, proc.stderr
    names = sorted(p.name for p in tmp_path.iterdir())
    assert names == ["drive_0001.asc", "drive_0002.asc", "drive_0003.asc"]
    joined = kv.concat([kv.read_asc(str(tmp_path / n), verbose=False) for n in names])
    whole, _ = kv.read(DRIVE, verbose=False, exact_time=True)
    assert np.array_equal(joined[0]["can_id"], whole["can_id"])


def test_split_names_sort_in_file_order_past_the_fourth_digit(tmp_path):
    from argparse import Namespace

    from korvel.cli.split import _Parts

    frames = kv.read(DRIVE, verbose=False)
    parts = _Parts(Namespace(log="drive.blf", format="blf", output=str(tmp_path), threads=1))
    parts.width = 1  # widens at the tenth part as it would at the 10,000th
    for k in range(12):
        parts.add((frames[0][k:k + 1], frames[1]))
        parts.close()
    names = sorted(os.listdir(tmp_path))
    assert names == [f"drive_{k:02d}.blf" for k in range(1, 13)]
    firsts = [int(kv.read(str(tmp_path / n), verbose=False)[0]["can_id"][0]) for n in names]
    assert firsts == frames[0]["can_id"][:12].tolist()


def test_info_of_a_text_log_names_its_format(tmp_path):
    asc = tmp_path / "drive.asc"
    kv.write_asc(str(asc), kv.read(DRIVE, verbose=False), verbose=False)
    proc = korvel_cli("info", str(asc))
    assert proc.returncode == 0
    assert "  format       ASC log" in proc.stdout.splitlines()
    assert "application" not in proc.stdout
    record = json.loads(korvel_cli("info", "--json", str(asc)).stdout)
    assert record["format"] == "ASC" and record["application"] is None


def test_plot_draws_a_lone_sample(tmp_path):
    out = tmp_path / "one.svg"
    proc = korvel_cli("plot", DRIVE, "--dbc", DBC, "EngineSpeed", "--start", "10",
                      "--stop", "10.005", "-o", str(out))
    assert proc.returncode == 0, proc.stderr
    svg = out.read_text()
    # A line of one point draws nothing; its marker is a <use> of a defined path.
    assert "<use " in svg


def test_commands_say_what_they_leave_out_of_a_multi_bus_log(tmp_path):
    """Commands that read CAN frames from a BLF log with LIN, FlexRay and
    Ethernet objects say so, as they do for an MF4 log's other groups; info,
    which lists every bus, does not; a CAN-only log says nothing."""
    buses = str(DATA / "buses.blf")
    line = ("650 objects of other buses left out (500 LIN, 50 FLEXRAY, 100 ETHERNET): "
            "this command reads CAN frames")
    for args in (["convert", buses, str(tmp_path / "o.asc")],
                 ["split", buses, "--frames", "200", "-o", str(tmp_path / "parts")]):
        proc = korvel_cli(*args)
        assert proc.returncode == 0 and line in proc.stderr, proc.stderr
    proc = korvel_cli("cut", buses, "--stop", "1", "-o", str(tmp_path / "c.blf"))
    assert proc.returncode == 0 and "(50 LIN, 5 FLEXRAY, 10 ETHERNET)" in proc.stderr
    for args in (["info", buses], ["convert", DRIVE, str(tmp_path / "d.blf")],
                 ["convert", "-q", buses, str(tmp_path / "q.blf")]):
        proc = korvel_cli(*args)
        assert proc.returncode == 0 and "left out" not in proc.stderr, proc.stderr
