"""korvel.plan and the plan cache: a database file compiled once, by its content."""

import os
import threading

import numpy as np
import pytest
from test_stats import EXT, J1939_DBC, frames_of
from test_tables import DBC

import korvel
import korvel.tables as kt
from korvel import stats

DATABASES = {"tables": DBC, "j1939": J1939_DBC}


def entries(folder):
    return sorted(os.listdir(folder))


@pytest.fixture
def cache(tmp_path, monkeypatch):
    folder = tmp_path / "cache"
    monkeypatch.setenv("KORVEL_CACHE", str(folder))
    return folder


@pytest.mark.parametrize("name", DATABASES)
def test_second_plan_skips_cantools_and_equals_the_first(cache, tmp_path, monkeypatch, name):
    path = tmp_path / f"{name}.dbc"
    path.write_text(DATABASES[name])
    first = korvel.plan(path)
    assert first.messages == tuple(kt._merged(kt._load(str(path))))
    assert len(entries(cache)) == 1
    monkeypatch.setattr(kt, "_load", None)  # cantools is not asked again
    assert korvel.plan(str(path)) == first
    assert korvel.plan({2: path}).messages[0].channels == (2,)
    if name == "j1939":  # cycle times come from the cached plan
        frames = frames_of({(0x0CF00400, EXT): np.arange(0, 10**9, 10**8)})
        assert stats.cycles(frames, db=path)["expected"].tolist() == [20e6]


def test_changed_database_is_never_served_a_stale_plan(cache, tmp_path):
    path = tmp_path / "db.dbc"
    path.write_text(DBC)
    stat = os.stat(path)
    assert korvel.plan(path).messages[0].signals[0].name == "Speed"
    # Same size and times: only the content tells.
    path.write_text(DBC.replace(" SG_ Speed ", " SG_ Sped_ "))
    os.utime(path, ns=(stat.st_atime_ns, stat.st_mtime_ns))
    assert korvel.plan(path).messages[0].signals[0].name == "Sped_"
    assert len(entries(cache)) == 2


@pytest.mark.parametrize("damage", [b"", b"{\"key\": \"", b"{}", b"[[1, 2]]", b"\xff\xfe",
                                    b"{\"key\": \"0\", \"data\": []}"])
def test_damaged_entry_is_parsed_again_and_replaced(cache, tmp_path, damage):
    path = tmp_path / "db.dbc"
    path.write_text(DBC)
    want = korvel.plan(path)
    (entry,) = entries(cache)
    (cache / entry).write_bytes(damage)
    assert korvel.plan(path) == want
    assert entries(cache) == [entry] and (cache / entry).read_bytes() != damage


@pytest.mark.parametrize("off", ["off", "0", "no"])
def test_cache_off_writes_nothing(tmp_path, monkeypatch, off):
    monkeypatch.setenv("KORVEL_CACHE", off)
    path = tmp_path / "db.dbc"
    path.write_text(DBC)
    korvel.plan(path)
    assert entries(tmp_path) == ["db.dbc"] and not os.path.exists(off)


def test_concurrent_writers_leave_one_whole_entry(cache, tmp_path):
    path = tmp_path / "db.dbc"
    path.write_text(DBC)
    got = []
    threads = [threading.Thread(target=lambda: got.append(korvel.plan(path))) for _ in range(6)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert len(got) == 6 and all(g == got[0] for g in got)
    assert len(entries(cache)) == 1 and entries(cache)[0].endswith(".json")



def test_the_cache_keeps_the_most_recently_used_entries(cache, tmp_path, monkeypatch):
    """Beyond its limits the folder drops the least recently used plans (a
    plan read counts as used) and temporary files a killed writer left."""
    from korvel import _plancache

    monkeypatch.setattr(_plancache, "MAX_ENTRIES", 2)
    paths = []
    for i in range(3):
        paths.append(tmp_path / f"db{i}.dbc")
        paths[-1].write_text(DBC.replace(" SG_ Speed ", f" SG_ Speed{i} "))
    cache.mkdir()
    stale = cache / ".plan-killed.tmp"
    stale.write_text("{")
    os.utime(stale, (1, 1))
    korvel.plan(paths[0])
    first = entries(cache)[0]
    os.utime(cache / first, (1, 1))
    korvel.plan(paths[1])
    korvel.plan(paths[0])  # read: db0's entry is now the more recent
    korvel.plan(paths[2])
    kept = entries(cache)
    assert len(kept) == 2 and first in kept and ".plan-killed.tmp" not in kept
    monkeypatch.setattr(kt, "_load", None)  # db0 and db2 come from the cache
    assert korvel.plan(paths[0]).messages[0].signals[0].name == "Speed0"
    assert korvel.plan(paths[2]).messages[0].signals[0].name == "Speed2"
