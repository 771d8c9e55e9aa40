"""korvel.lake and `korvel lake`: a lake of several logs read back through
pyarrow.dataset, DuckDB and Polars equals korvel.decode of each log; appends,
repeats, two writers at once, Dask, and bad input."""

import re
import subprocess
import sys
from pathlib import Path

import blfbuild as bb
import cantools
import numpy as np
import pytest
from test_cli import korvel_cli
from test_tables import DBC, payload

import korvel
import korvel.korvel as kv

pa = pytest.importorskip("pyarrow")
ds = pytest.importorskip("pyarrow.dataset")
kl = pytest.importorskip("korvel.lake")

MESSAGES = ["Plain", "Muxed", "Nested", "ExtFd"]


def objects(seed, n, ids=(100, 200, 300, 512, 0x7FF), step=1_000_000):
    """Frames of the test database's messages, one every `step` ns, on channels 1-3."""
    rng = np.random.default_rng(seed)
    out = []
    for i, can_id in enumerate(rng.choice(ids, n).tolist()):
        make = bb.can_fd64 if can_id == 512 else bb.can_msg
        out.append(make(can_id, payload(rng, can_id), channel=i % 3 + 1, timestamp=step * i,
                        extended=can_id == 512))
    return out


@pytest.fixture(scope="module")
def db():
    return cantools.database.load_string(DBC, "dbc")


@pytest.fixture(scope="module")
def fleet(tmp_path_factory):
    """Two vehicles' logs: one crossing midnight in 30 containers, one without
    Plain frames, and a text log."""
    d = tmp_path_factory.mktemp("fleet")
    (d / "van1").mkdir()
    (d / "van2").mkdir()
    night = objects(1, 3000)
    cuts = list(range(1500, sum(map(len, night)), 3000))
    (d / "van1" / "night.blf").write_bytes(
        bb.blf(night, split=cuts, start=(2024, 12, 2, 24, 23, 59, 58, 500)))
    (d / "van2" / "day.blf").write_bytes(
        bb.blf(objects(2, 500, (200, 300, 512)), start=(2024, 12, 4, 26, 8, 0, 0, 0)))
    index, chunk = kv.read(str(d / "van2" / "day.blf"), verbose=False)
    index["timestamp"] += 86_400 * 10**9  # a day later, to the microsecond
    index["timestamp"] -= index["timestamp"] % 1000
    kv.write_asc(str(d / "van2" / "later.asc"), (index[:300], chunk), verbose=False)
    return [str(d / "van1" / "night.blf"), str(d / "van2" / "day.blf"),
            str(d / "van2" / "later.asc")]


def files(root):
    return sorted(p for p in Path(root).rglob("*") if p.is_file())


def log_ids(rows):
    return dict(zip(rows.column("path").to_pylist(), rows.column("log").to_pylist()))


def same_rows(got, want, log_id):
    """One log's rows of a message as an engine read them back, against
    korvel.decode's table (labels as text)."""
    got = got.filter(pa.compute.equal(got["log"].cast(pa.string()), log_id))
    got = got.take(pa.compute.sort_indices(got, [("timestamp", "ascending")]))
    assert got.num_rows == want.num_rows
    ts = got["timestamp"].cast(pa.timestamp("ns", "UTC")).cast(pa.int64()).to_numpy()
    assert np.array_equal(ts, want["timestamp"])
    for name in want:
        if name == "timestamp":
            continue
        col = got[name]
        if pa.types.is_dictionary(col.type) or pa.types.is_string(col.type) or \
                pa.types.is_large_string(col.type):
            assert col.cast(pa.string()).to_pylist() == list(want[name]), name
        else:
            np.testing.assert_array_equal(col.to_numpy(), want[name], err_msg=name)


def read_back(root, message):
    """A message's rows across devices and dates, through three engines."""
    import duckdb
    import polars as pl

    pattern = f"{root}/*/message={message}/**/*.parquet"
    paths = sorted(str(p) for p in Path(root).glob(f"*/message={message}/*/*.parquet"))
    rel = duckdb.sql(f"select * from read_parquet('{pattern}', hive_partitioning=true)")
    return {
        "pyarrow": ds.dataset(paths, format="parquet", partitioning="hive",
                              partition_base_dir=str(root)).to_table(),
        "duckdb": rel.to_arrow_table() if hasattr(rel, "to_arrow_table") else rel.arrow(),
        "polars": pl.scan_parquet(pattern, hive_partitioning=True).collect().to_arrow(),
    }


def check_lake(root, fleet, db, ids):
    for message in MESSAGES:
        engines = read_back(root, message)
        for engine, got in engines.items():
            assert "date" in got.column_names and "device" in got.column_names, engine
            for path in fleet:
                want = korvel.decode(path, db, choices=True)
                if message in want:
                    same_rows(got, want[message], ids[path])
                else:
                    assert ids[path] not in got["log"].cast(pa.string()).to_pylist()


def test_lake_equals_decode_of_each_log(tmp_path, fleet, db):
    root = tmp_path / "lake"
    rows = kl.write(fleet, db, root, device=-2)
    assert rows.column("status").to_pylist() == ["added"] * 3
    ids = log_ids(rows)
    check_lake(root, fleet, db, ids)
    # The night log's rows are split at midnight, UTC.
    night = ids[fleet[0]]
    dates = sorted(p.parent.name for p in root.glob(f"device=van1/message=Plain/*/{night}.parquet"))
    assert dates == ["date=2024-12-24", "date=2024-12-25"]
    # One schema per message, whatever the file.
    for message in MESSAGES:
        schemas = {pa.parquet.read_schema(p).remove_metadata()
                   for p in root.glob(f"*/message={message}/*/*.parquet")}
        assert len(schemas) == 1
    plain = pa.parquet.read_schema(next(root.glob("*/message=Plain/*/*.parquet")))
    assert plain.field("timestamp").type == pa.timestamp("ns", "UTC")
    assert plain.field("Mode").type == pa.dictionary(pa.int32(), pa.string())
    assert plain.field("Speed").metadata == {b"unit": b"km/h"}
    # The manifest: a trip summary per log.
    trips = kl.logs(root)
    times = {c: trips[c].cast(pa.int64()).to_pylist() for c in ("start", "stop")}
    for i, (path, trip) in enumerate(zip(fleet, trips.to_pylist())):
        index, _ = korvel.read_log(path, verbose=False)
        assert (trip["path"], trip["frames"], trip["device"]) == (path, len(index),
                                                                 Path(path).parent.name)
        assert times["start"][i] == index["timestamp"].min()
        assert times["stop"][i] == index["timestamp"].max()
        assert trip["rows"] == sum(t.num_rows for t in korvel.decode(path, db).values())
        assert all((root / f).exists() for f in trip["files"])
        assert trip["sha256"].startswith(trip["log"]) and trip["size"] == Path(path).stat().st_size


def test_appends_write_new_files_and_repeats_change_nothing(tmp_path, fleet, db):
    root = tmp_path / "lake"
    kl.write(fleet[:2], db, root)
    before = {p: (p.stat().st_ino, p.stat().st_mtime_ns, p.read_bytes()) for p in files(root)}
    copy = tmp_path / "renamed.blf"
    copy.write_bytes(Path(fleet[0]).read_bytes())
    rows = kl.write([fleet[1], fleet[2], str(copy)], db, root)
    assert rows.column("status").to_pylist() == ["present", "added", "present"]
    after = files(root)
    for p, (ino, mtime, data) in before.items():
        assert (p.stat().st_ino, p.stat().st_mtime_ns, p.read_bytes()) == (ino, mtime, data)
    new = set(after) - set(before)
    later = log_ids(rows)[fleet[2]]
    assert all(later in p.name or "_korvel" in p.parts for p in new) and len(new) > 1
    kl.write(fleet, db, root)  # a repeat: no file written, none replaced
    assert files(root) == after
    assert kl.logs(root).column("path").to_pylist() == fleet
    check_lake_flat(root, fleet, db)


def check_lake_flat(root, fleet, db):
    """A lake without device folders equals decode of each log (pyarrow alone)."""
    ids = log_ids(kl.logs(root))
    for message in MESSAGES:
        got = ds.dataset(root / f"message={message}", format="parquet",
                         partitioning="hive").to_table()
        for path in fleet:
            want = korvel.decode(path, db, choices=True)
            if message in want:
                same_rows(got, want[message], ids[path])


WRITER = """
import sys, cantools, korvel.lake
db = cantools.database.load_file(sys.argv[1])
korvel.lake.write(sys.argv[3:], db, sys.argv[2])
"""


def test_two_writers_at_once(tmp_path, fleet, db):
    dbc = tmp_path / "test.dbc"
    dbc.write_text(DBC)
    root = tmp_path / "lake"
    procs = [subprocess.Popen([sys.executable, "-c", WRITER, str(dbc), str(root), *order],
                              stderr=subprocess.PIPE, text=True)
             for order in (fleet, fleet[::-1])]
    for p in procs:
        _, err = p.communicate(timeout=300)
        assert p.returncode == 0, err
    assert sorted(kl.logs(root).column("path").to_pylist()) == sorted(fleet)
    assert not [p for p in files(root) if p.name.endswith(".tmp")]
    check_lake_flat(root, sorted(fleet), db)


def test_bad_input(tmp_path, fleet, db):
    good, damaged = fleet[1], tmp_path / "damaged.blf"
    raw = bytearray(Path(fleet[0]).read_bytes())
    containers = kv.info(fleet[0], verbose=False)["containers"]
    offset = int(containers[len(containers) // 2]["offset"])
    raw[offset + 40: offset + 80] = bytes(40)
    damaged.write_bytes(bytes(raw))
    missing = str(tmp_path / "missing.blf")
    root = tmp_path / "lake"
    # errors="raise": stops naming the log; the log before it stays, nothing of it.
    with pytest.raises(Exception, match=re.escape(str(damaged))) as e:
        kl.write([good, str(damaged), fleet[2]], db, root, threads=1)  # one log at a time
    with pytest.raises(type(e.value)):
        korvel.decode(str(damaged), db)
    assert kl.logs(root).column("path").to_pylist() == [good]
    kept = [p for p in files(root) if "_korvel" not in p.parts]
    assert {p.stem for p in kept} == set(kl.logs(root).column("log").to_pylist())
    assert not [p for p in files(root) if p.name.startswith(".")]
    # errors="skip": recorded as failed with the reason, the others added.
    rows = kl.write([str(damaged), missing, fleet[2]], db, root, errors="skip")
    assert rows.column("status").to_pylist() == ["failed", "failed", "added"]
    trips = {t["path"]: t for t in kl.logs(root).to_pylist()}
    assert trips[str(damaged)]["status"] == "failed"
    assert trips[str(damaged)]["reason"].startswith(f"{damaged}: ")
    assert "No such file" in trips[missing]["reason"]
    assert not [p for p in files(root) if p.name.endswith(".tmp")]
    # A database for a channel the log lacks, another database's message, the layout.
    with pytest.raises(ValueError, match=r"bound to channel 7, not in the log \(its channels: "
                                         r"1, 2, 3\)"):
        kl.write(fleet[0], {7: db}, tmp_path / "other")
    changed = cantools.database.load_string(DBC.replace("SG_ Temp", "SG_ Temp2"), "dbc")
    with pytest.raises(ValueError, match="message Plain: the database gives it the columns"):
        kl.write(fleet[0], changed, root)
    with pytest.raises(ValueError, match="give no device"):
        kl.write(fleet[0], db, root, device="van1")
    for bad in ("a/b", "", ".."):
        with pytest.raises(ValueError, match="cannot name a partition folder"):
            kl.write(fleet[0], db, tmp_path / "dev", device=bad)


@pytest.mark.parametrize("case", ["not a lake", "unwritable", "channel", "damaged", "skip"])
def test_cli_one_line_each(tmp_path, fleet, case):
    dbc = tmp_path / "test.dbc"
    dbc.write_text(DBC)
    root = tmp_path / "lake"
    logs, dbcs = fleet[:2], ["--dbc", str(dbc)]
    if case == "not a lake":
        root.mkdir()
        (root / "notes.txt").write_text("mine")
    elif case == "unwritable":
        (tmp_path / "file").write_text("")
        root = tmp_path / "file" / "lake"
    elif case == "channel":
        dbcs = ["--dbc", f"9:{dbc}"]
    else:
        (tmp_path / "bad.blf").write_bytes(b"LOGG" + bytes(200))
        logs = [str(tmp_path / "bad.blf"), *logs]
    extra = ["--errors", "skip"] if case == "skip" else []
    proc = korvel_cli("lake", *logs, *dbcs, "-o", str(root), *extra)
    lines = proc.stderr.strip().splitlines()
    assert proc.returncode == 1 and len(lines) == 1 and "Traceback" not in proc.stderr
    want = {"not a lake": f"korvel: {root}: not a korvel lake (no _korvel/lake.json) and not "
                          "empty; give a new or empty folder",
            "unwritable": f"korvel: {root}: Not a directory",
            "channel": "the databases are bound to channel 9, not in the log",
            "damaged": f"korvel: {tmp_path / 'bad.blf'}: ",
            "skip": f"korvel: {tmp_path / 'bad.blf'}: "}[case]
    if case == "channel":
        # Both logs fail, read at once: the line names the one that failed first.
        assert any(lines[0].startswith(f"korvel: {log}: {want}") for log in logs), lines
    else:
        assert lines[0].startswith(want), lines
    if case == "skip":
        files = sum(len(f or ()) for f in kl.logs(root).column("files").to_pylist())
        assert proc.stdout == (f"2 logs added (3500 frames, {files} files), 0 already there, "
                               f"1 failed -> {root}\n")
        again = korvel_cli("lake", *fleet[:2], *dbcs, "-o", str(root))
        assert again.returncode == 0 and again.stdout.startswith("0 logs added")


# --- Dask ---------------------------------------------------------------------------------


@pytest.fixture(scope="module")
def cluster():
    distributed = pytest.importorskip("distributed")
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=":0") as c:
        yield c


def test_on_dask_pieces_equal_the_plain_loop(tmp_path, fleet, db, cluster):
    root = tmp_path / "lake"
    rows = kl.write(fleet, db, root, device=-2, split=7, scheduler=cluster.scheduler_address)
    assert rows.column("status").to_pylist() == ["added"] * 3
    night = log_ids(rows)[fleet[0]]
    count = len(kv.info(fleet[0], verbose=False)["containers"])
    pieces = {p.name for p in root.glob(f"device=van1/message=Plain/*/{night}*")}
    assert pieces == {f"{night}-c{a}.parquet" for a in range(0, count, 7)} and len(pieces) > 3
    check_lake(root, fleet, db, log_ids(rows))
    assert kl.logs(root).column("frames").to_pylist() == kl.write(
        fleet, db, tmp_path / "plain", device=-2).column("frames").to_pylist()


def test_on_dask_a_failure_leaves_nothing_half_written(tmp_path, fleet, db, cluster):
    damaged = tmp_path / "damaged.blf"
    raw = bytearray(Path(fleet[0]).read_bytes())
    offset = int(kv.info(fleet[0], verbose=False)["containers"][-3]["offset"])
    raw[offset + 40: offset + 80] = bytes(40)
    damaged.write_bytes(bytes(raw))
    root = tmp_path / "lake"
    with pytest.raises(Exception, match=re.escape(f"{damaged}, containers=(")):
        kl.write([str(damaged), *fleet[1:]], db, root, split=4,
                 scheduler=cluster.scheduler_address)
    recorded = {t["log"]: t["files"] for t in kl.logs(root).to_pylist()}
    written = {str(p.relative_to(root)) for p in files(root) if "_korvel" not in p.parts}
    assert written == {f for fs in recorded.values() for f in fs}
    assert not [p for p in files(root) if p.name.startswith(".")]
    rows = kl.write([str(damaged), *fleet[1:]], db, root, errors="skip", workers=1)
    assert rows.column("status").to_pylist()[0] == "failed"
    assert set(rows.column("status").to_pylist()[1:]) <= {"added", "present"}


def test_optional_libraries_name_the_extra(tmp_path, fleet):
    code = ("import sys\nsys.modules['pyarrow'] = sys.modules['distributed'] = None\n"
            "import korvel.lake\n"
            f"try:\n    korvel.lake.write({fleet[0]!r}, 'x.dbc', {str(tmp_path)!r})\n"
            "except ImportError as e:\n    print(e)")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                         check=True)
    assert out.stdout == "korvel.lake needs pyarrow; install it with: pip install 'korvel[lake]'\n"


def test_transport_as_decode_has_it(tmp_path):
    """J1939 transfers (DM1 in BAM sessions) land in the lake as `korvel decode
    --transport j1939` writes them."""
    data = Path(__file__).resolve().parents[1] / "examples" / "data"
    truck, dbc = str(data / "truck.blf"), str(data / "truck.dbc")
    rows = kl.write(truck, dbc, tmp_path / "lake", transport="j1939")
    proc = korvel_cli("decode", truck, "--dbc", dbc, "--transport", "j1939", "--choices", "-o",
                      str(tmp_path / "tables"))
    assert proc.returncode == 0, proc.stderr
    for message in ("DM1", "EEC1"):
        want = pa.parquet.read_table(tmp_path / "tables" / f"{message}.parquet")
        got = ds.dataset(tmp_path / "lake" / f"message={message}", format="parquet",
                         partitioning="hive").to_table()
        assert got.num_rows == want.num_rows > 0
        for name in want.column_names:  # NaN where a signal has no value, in both
            np.testing.assert_array_equal(got[name].cast(want[name].type).to_numpy(),
                                          want[name].to_numpy(), err_msg=name)
    assert set(got["log"].cast(pa.string()).to_pylist()) == set(rows["log"].to_pylist())
    with pytest.raises(ValueError, match="split cannot go with transport"):
        kl.write(truck, dbc, tmp_path / "lake", transport="j1939", split=2)
    with pytest.raises(ValueError, match="not a korvel lake"):
        kl.logs(tmp_path / "tables")
