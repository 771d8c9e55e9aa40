"""korvel.dask.decode on a two-worker LocalCluster, and Query objects on workers."""

import pickle
import subprocess
import sys
import warnings
from collections import Counter
from dataclasses import replace
from pathlib import Path

import blfbuild as bb
import cantools
import numpy as np
import pandas as pd
import pytest

# The test extra installs them wherever Python is 3.10 or newer.
dask = pytest.importorskip("dask")
distributed = pytest.importorskip("distributed")

from dask.base import collections_to_expr, tokenize
from distributed import Client, LocalCluster
from distributed.protocol import serialize, to_serialize
from test_tables import DBC, payload

import korvel
import korvel.dask as kd
import korvel.korvel as kv
from korvel import dravum as dv
from korvel.tables import DecodePlan, decode_plan


@pytest.fixture(scope="module")
def client():
    with LocalCluster(
        n_workers=2, threads_per_worker=1, processes=True, dashboard_address=":0"
    ) as cluster, Client(cluster) as c:
        yield c


@pytest.fixture(scope="module")
def db():
    return cantools.database.load_string(DBC, "dbc")


def objects(seed, n, ids=(100, 200, 300, 512, 0x7FF)):
    """Frames of the test database's messages as BLF objects (512 as 64-byte CAN FD
    with an extended identifier)."""
    rng = np.random.default_rng(seed)
    out = []
    for i, can_id in enumerate(rng.choice(ids, n).tolist()):
        make = bb.can_fd64 if can_id == 512 else bb.can_msg
        out.append(make(can_id, payload(rng, can_id), channel=i % 3 + 1, timestamp=1000 * i,
                        extended=can_id == 512))
    return out


@pytest.fixture(scope="module")
def logs(tmp_path_factory):
    """Three one-container logs, the second without any frame of Plain, and a log
    whose 40-odd containers cut objects (and one object header) apart."""
    folder = tmp_path_factory.mktemp("fleet")
    logs = [objects(1, 3000), objects(2, 500, (200, 300, 512)), objects(3, 2000)]
    cut = objects(4, 600)
    cuts = sorted([*range(997, sum(map(len, cut)), 1009), len(cut[0]) + 5])
    paths = [str(folder / f"log{i}.blf") for i in range(4)]
    for path, data in zip(paths, [*(bb.blf(objs) for objs in logs), bb.blf(cut, split=cuts)]):
        Path(path).write_bytes(data)
    return paths


def per_log(df, log, index):
    part = df[(df.index if index else df["log"]) == log]
    return part.reset_index(drop=True) if index else part.drop(columns="log").reset_index(drop=True)


@pytest.mark.parametrize("choices, index", [(False, False), (True, True)])
def test_equals_decode_log_by_log(client, db, logs, choices, index):
    logs = logs[:3]
    out = kd.decode(logs, db, choices=choices, index=index)
    assert list(out) == ["Plain", "Muxed", "Nested", "ExtFd"]
    computed = dict(zip(out, dask.compute(*out.values())))
    for name, df in computed.items():
        assert list(df.columns) == list(out[name].columns)
        assert (df.dtypes.astype(str) == out[name].dtypes.astype(str)).all()
        for log, path in enumerate(logs):
            want = korvel.decode(path, db, choices=choices)
            got = per_log(df, log, index)
            if name not in want:
                assert len(got) == 0 and (log, name) == (1, "Plain")
                continue
            # Categories come in the order each log meets them.
            pd.testing.assert_frame_equal(got, want[name].to_pandas(), check_categorical=False)
    if index:
        assert out["Plain"].divisions == (0, 1, 2, 2)
        assert out["Plain"].loc[2].compute().index.unique().tolist() == [2]


def test_split_pieces_equal_whole_logs(client, db, logs):
    cut_log = logs[3]
    whole = korvel.decode(cut_log, db)
    for split in (1, 7):
        out = kd.decode([logs[1], cut_log], db, split=split, messages=["Muxed", "ExtFd"])
        containers = len(kv.info(cut_log, verbose=False)["containers"])
        assert out["Muxed"].npartitions == 1 + -(-containers // split)
        for name, df in zip(out, dask.compute(*out.values())):
            pd.testing.assert_frame_equal(per_log(df, 1, False), whole[name].to_pandas())


def test_messages_computed_together_read_each_piece_once(db, logs):
    out = kd.decode(logs[:3], db, messages=["Plain", "Nested"], split=1)
    graph = collections_to_expr(list(out.values()), optimize_graph=True).__dask_graph__()
    # A read per piece (one container per log) and a frame per piece and
    # message: no other task rides along.
    kinds = Counter(str(k[0]).rsplit("-", 1)[0] for k in graph)
    assert kinds == {"korvel-read": 3, "_message_frame": 6}


def test_graph_names_follow_the_plan(db):
    plan = decode_plan(db, ["Nested", "Plain"])
    assert tokenize(plan) == tokenize(decode_plan(db, ["Nested", "Plain"]))
    # A change deep inside (one signal's scale) names another graph.
    first = plan.messages[0]
    changed = replace(first, signals=(*first.signals[:-1],
                                      replace(first.signals[-1], scale=3.0)))
    assert tokenize(DecodePlan((changed, *plan.messages[1:]))) != tokenize(plan)


@pytest.mark.parametrize("split", [None, 2])
def test_errors_name_the_log(client, db, logs, tmp_path, split):
    data = bytearray(Path(logs[3]).read_bytes())
    offset = int(kv.info(logs[3], verbose=False)["containers"][-1]["offset"])
    data[offset + 40 : offset + 80] = bytes(40)  # garbles the last container's stream
    bad = tmp_path / "damaged.blf"
    bad.write_bytes(bytes(data))
    with pytest.raises(Exception) as local:
        korvel.decode(bad, db)
    with pytest.raises(type(local.value)) as remote:
        kd.decode([logs[0], bad], db, messages=["Plain"], split=split)["Plain"].compute()
    where = str(bad) if split is None else f"{bad}, containers=("
    assert where in str(remote.value) and str(local.value) in str(remote.value)
    with pytest.raises(FileNotFoundError, match="missing.blf"):
        kd.decode([tmp_path / "missing.blf"], db, split=split)["Plain"].compute()


def test_pickled_graph_is_small():
    """64 logs of a 1000-message database: the graph ships the selected messages only."""
    lines = ['VERSION ""', "NS_ :", "BS_:", "BU_: ECU GW"]
    for i in range(1000):
        lines.append(f"BO_ {i} Msg{i}: 8 ECU")
        lines += [f' SG_ Msg{i}_S{j} : {8 * j}|8@1+ (0.5,{j}) [0|0] "V" GW' for j in range(8)]
    big = cantools.database.load_string("\n".join(lines), "dbc")
    paths = [f"/fleet/day1/vehicle{i:03d}.blf" for i in range(64)]
    out = kd.decode(paths, big, messages=["Msg3", "Msg500", "Msg999"])
    expr = collections_to_expr(list(out.values()), optimize_graph=True)
    # What the client sends the scheduler, and the tasks the scheduler makes of it.
    _, frames = serialize(to_serialize(expr), on_error="raise")
    shipped = b"".join(bytes(f) for f in frames)
    tasks = pickle.dumps(dict(expr.__dask_graph__()))
    assert len(shipped) < 100_000 and len(tasks) < 100_000, (len(shipped), len(tasks))
    assert b"cantools" not in shipped and b"cantools" not in tasks


def test_queries_run_on_workers(client, db, logs):
    q = dv.Query()
    q.addDatabase(db)

    def work(q, path):
        frames = kv.read(path, verbose=False)
        return q.map(frames, "signals.A(frames)"), q.filter(frames, "signals.S4(frames) > 0")[0]

    a, sel = client.submit(work, q, logs[0]).result()
    frames = kv.read(logs[0], verbose=False)
    assert np.array_equal(a, q.signals.A(frames), equal_nan=True)
    assert np.array_equal(sel, q.filter(frames, "signals.S4(frames) > 0")[0])
    assert np.isnan(a).sum() > (frames[0]["can_id"] != 200).sum()  # multiplexed on the worker too


def test_dask_is_optional():
    code = (
        "import sys, korvel, korvel.dravum\n"
        "print(sorted({'dask', 'distributed'} & set(sys.modules)))\n"
        "sys.modules['dask'] = None\n"
        "try:\n    import korvel.dask\nexcept ImportError as e:\n    print(e)"
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.startswith("[]\n") and "pip install 'korvel[dask]'" in out.stdout


@pytest.mark.parametrize("split", [None, 3])
def test_scan_reports_each_logs_health_with_decode(client, db, logs, tmp_path, split):
    """Intact, cut and damaged logs: scan's rows say what the quiet reads of the
    same pieces warn about, and decode with errors="skip" gives what korvel.decode
    gives; both in one dask.compute."""
    raw = Path(logs[3]).read_bytes()
    (tmp_path / "cut.blf").write_bytes(raw[: len(raw) - 500])
    damaged = bytearray(raw)
    damaged[int(kv.info(logs[3], verbose=False)["containers"][5]["offset"]) + 40] ^= 0xFF
    (tmp_path / "damaged.blf").write_bytes(bytes(damaged))
    paths = [logs[3], str(tmp_path / "cut.blf"), str(tmp_path / "damaged.blf")]
    health, muxed = dask.compute(
        kd.scan(paths, split=split, errors="skip"),
        kd.decode(paths, db, messages=["Muxed"], split=split, errors="skip")["Muxed"])
    rows = health.groupby("log").agg(frames=("frames", "sum"), truncated=("truncated", "any"),
                                     skipped=("skipped", "sum"), bytes=("skipped_bytes", "sum"))
    for log, path in enumerate(paths):
        notices = []
        index, _ = kv.read(path, verbose=False, errors="skip", _notices=notices)
        row = rows.loc[log]
        assert row["frames"] == len(index)
        assert row["truncated"] == (log == 1) and row["skipped"] == (log == 2)
        assert row["bytes"] == sum(b - a for kind, _, a, b in notices if kind == "skipped")
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", kv.BLFWarning)
            want = korvel.decode(path, db, messages=["Muxed"], errors="skip")["Muxed"]
        pd.testing.assert_frame_equal(per_log(muxed, log, False), want.to_pandas())
    texts = [t for row in health[health["log"] == 2]["notices"] for t in row]
    assert any(t.startswith("skipped the log container at byte offset") for t in texts), texts
    assert health["start"].dtype == "Int64" and health["start"].notna().all()
    with pytest.raises(ValueError, match="'raise' or 'skip'"):
        kd.scan(paths, errors="ignore")
