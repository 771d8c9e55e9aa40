"""MF4 bus logs: read_mf4 against asammdf's reading of real logger files and of
files that asammdf, python-can and write_mf4 wrote; write_mf4 read back by
read_mf4, asammdf and python-can; damaged files; payload_offset."""

import io
import os
import struct
import subprocess
import sys
import warnings
from pathlib import Path

import mdfbuild as mb
import numpy as np
import pytest

import korvel
import korvel.korvel as kv

asammdf = pytest.importorskip("asammdf")
can = pytest.importorskip("can")

DATA = Path(__file__).resolve().parents[1] / "examples" / "data"
REAL = [DATA / "mf4" / "uds_kona_canedge.MF4", DATA / "mf4" / "j1939_canedge_pergroup.MF4"]
pytestmark = pytest.mark.filterwarnings("ignore::DeprecationWarning",
                                        "ignore::UserWarning:asammdf", "ignore::UserWarning:can")


def quiet(file, **kw):
    """read_mf4 without the notice of the real files' LIN group."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", kv.BLFWarning)
        return kv.read_mf4(file, verbose=False, **kw)


def asammdf_groups(path, kinds, first_only=False):
    """(start in s, group index, kind, signal) of each group holding one of
    `kinds` (structure channel names), as asammdf reads the file; with
    first_only, a group's first kind only."""
    mdf = asammdf.MDF(str(path))
    start = mdf.header.start_time.timestamp()
    for g, group in enumerate(mdf.groups):
        names = {c.name for c in group.channels}
        for kind in kinds:
            if kind in names:
                yield start, g, kind, mdf.get(kind, group=g)
                if first_only:
                    break


CAN_KINDS = {"CAN_DataFrame": 0, "CAN_RemoteFrame": 0x20, "CAN_ErrorFrame": 0x10}


def asammdf_frames(path):
    """(time in µs as float, group, id, flags, channel, len, data) of every CAN
    frame as asammdf reads it, in time order with ties in group order."""
    rows = []
    for start, g, kind, sig in asammdf_groups(path, CAN_KINDS, first_only=True):
        kind_flag = CAN_KINDS[kind]
        s, fields = sig.samples, sig.samples.dtype.names

        def col(name, default=0, s=s, fields=fields, kind=kind):
            full = f"{kind}.{name}"
            if full not in fields:
                return np.full(len(s), default)
            if s[full].dtype.kind == "S":  # a value-to-text conversion: Dir as "Rx"/"Tx"
                return (s[full] != b"Rx").astype(np.int64)
            return s[full].astype(np.int64)

        fd, dlc, dlen = col("EDL"), col("DLC"), col("DataLength")
        flags = (kind_flag | np.where(col("Dir") == 0, 0x04, 0) | np.where(fd != 0, 0x08, 0)
                 | np.where(col("BRS") != 0, 0x02, 0) | np.where(col("ESI") != 0, 0x01, 0)
                 | np.where(col("IDE") != 0, 0x40, 0))
        data = s[f"{kind}.DataBytes"] if f"{kind}.DataBytes" in fields else None
        ids, channels = col("ID") & 0x1FFFFFFF, col("BusChannel")
        for i in range(len(s)):
            payload = b"" if data is None or kind_flag == 0x20 else bytes(data[i])[:dlen[i]]
            length = dlen[i] if fd[i] and kind_flag != 0x20 else dlc[i]
            rows.append(((start + float(sig.timestamps[i])) * 1e6, g, int(ids[i]),
                         int(flags[i]), int(channels[i]), int(length), payload))
    rows.sort(key=lambda r: (r[0], r[1]))
    return rows


def frames_of(pair):
    index, chunk = pair
    out = []
    for r in index:
        loc = int(r["loc"])
        off, n = loc & ((1 << 48) - 1), loc >> 48
        out.append((int(r["timestamp"]), int(r["can_id"]), int(r["flags"]), int(r["channel"]),
                    int(r["len"]), bytes(chunk[off:off + n])))
    return out


def assert_like_asammdf(path, pair):
    ref, ours = asammdf_frames(path), frames_of(pair)
    assert len(ours) == len(ref)
    for a, b in zip(ref, ours):
        assert abs(a[0] - b[0] / 1e3) < 1, (a, b)
        assert a[2:] == b[1:], (a, b)


@pytest.fixture(scope="module")
def drive():
    return kv.read(str(DATA / "drive.blf"), verbose=False, exact_time=True, all_errors=True)


def mixed_frames():
    """FD with BRS/ESI, extended, remote, error and Tx frames on two channels."""
    rows = [(0x123, 0, 8, 0x04, bytes(range(8))), (0x1ABCDEF, 1, 64, 0x4A, bytes(range(64))),
            (0x55, 0, 12, 0x09, bytes(range(12))), (0x7FF, 0, 4, 0x24, b""),
            (0x10, 1, 3, 0x10, b"\xee\x01\x02"), (0x200, 1, 5, 0x00, b"\x01\x02\x03\x04\x05")]
    index = np.zeros(len(rows) * 50, kv.DT)
    chunk, at = bytearray(), 0
    for k in range(len(index)):
        cid, ch, ln, fl, data = rows[k % len(rows)]
        index[k] = (1_700_000_000_123_456_789 + k * 1_234_567, cid, (fl & 8) >> 3, ch, ln, fl,
                    at | len(data) << 48)
        chunk += data
        at += len(data)
    return index, np.frombuffer(bytes(chunk), np.uint8)


@pytest.fixture(scope="module")
def written(tmp_path_factory, drive):
    d = tmp_path_factory.mktemp("mf4")
    kv.write_mf4(str(d / "drive.mf4"), drive, verbose=False)
    kv.write_mf4(str(d / "mixed.mf4"), mixed_frames(), verbose=False)
    msgs = list(can.BLFReader(str(DATA / "drive.blf")))
    for level in (0, 2):  # plain DT blocks, transposed DZ blocks
        with can.MF4Writer(str(d / f"python-can{level}.mf4"), compression_level=level) as w:
            for m in msgs:
                w.on_message_received(m)
    for real in REAL:  # asammdf's own sorted copies: SD blocks, DZ, HL/DL lists
        asammdf.MDF(str(real)).save(str(d / f"asammdf-{real.stem}.mf4"), compression=2)
    return d


def test_real_logger_files_read_as_asammdf_reads_them():
    for path in REAL:
        assert_like_asammdf(path, quiet(str(path)))


@pytest.mark.parametrize("name", ["drive", "mixed", "python-can0", "python-can2",
                                  "asammdf-uds_kona_canedge", "asammdf-j1939_canedge_pergroup"])
def test_written_files_read_as_asammdf_reads_them(written, name):
    path = written / f"{name}.mf4"
    pair = quiet(str(path))
    assert_like_asammdf(path, pair)
    with open(path, "rb") as f:  # a stream reads as the path does
        same = quiet(f)
    assert np.array_equal(same[0], pair[0]) and np.array_equal(same[1], pair[1])


@pytest.mark.parametrize("threads", [1, 2])
def test_round_trips_are_exact(tmp_path, drive, threads):
    for pair in (drive, mixed_frames()):
        kv.write_mf4(str(tmp_path / "x.mf4"), pair, verbose=False, threads=threads)
        back = kv.read_mf4(str(tmp_path / "x.mf4"), verbose=False, threads=threads)
        order = np.argsort(pair[0]["timestamp"], kind="stable")  # groups of kinds merge by time
        written = frames_of(pair)
        assert frames_of(back) == [written[i] for i in order]
        assert np.array_equal(back[0]["is64"], pair[0]["is64"][order])


def test_python_can_reads_what_write_mf4_writes(written):
    index, chunk = mixed_frames()
    with can.MF4Reader(str(written / "mixed.mf4")) as reader:
        msgs = list(reader)
    msgs.sort(key=lambda m: m.timestamp)
    assert len(msgs) == len(index)
    for m, f in zip(msgs, frames_of((index, chunk))):
        assert abs(m.timestamp * 1e6 - f[0] / 1e3) < 1
        assert (m.arbitration_id, m.channel, m.is_extended_id, m.is_rx) == (
            f[1], f[3], bool(f[2] & 0x40), bool(f[2] & 0x04))
        assert (m.is_error_frame, m.is_remote_frame) == (bool(f[2] & 0x10), bool(f[2] & 0x20))
        if not m.is_remote_frame:
            assert (bytes(m.data), m.is_fd, m.bitrate_switch) == (f[5], bool(f[2] & 8), bool(f[2] & 2))


def test_extract_bus_logging_decodes_what_write_mf4_writes(written):
    out = asammdf.MDF(str(written / "drive.mf4")).extract_bus_logging(
        {"CAN": [(str(DATA / "vehicle.dbc"), 0)]})
    ours = korvel.decode(quiet(str(written / "drive.mf4")), str(DATA / "vehicle.dbc"))["EngineData"]
    assert np.array_equal(out.get("EngineSpeed").samples, ours["EngineSpeed"])


def test_verbose_line_and_other_buses(capsys):
    kv.read_mf4(str(REAL[0]))
    line = capsys.readouterr().out
    assert line.startswith("load mf4 cost ") and line.endswith(
        "ms, grp_cnt=1, frm_cnt=2010, skip_grp=1, idx_mem=48240, chk_mem=16080, tot_mem=64320\n")
    with pytest.warns(kv.BLFWarning, match=r"^1 channel group of another bus left out \(LIN_Frame\)"):
        kv.read_mf4(str(REAL[0]), verbose=False)


# --- damage -------------------------------------------------------------------------


def blocks(data):
    """(offset, id) of the blocks write_mf4 lays out one after another."""
    at, out = 64, []
    while at + 24 <= len(data):
        length = struct.unpack_from("<Q", data, at + 8)[0]
        out.append((at, data[at + 2:at + 4].decode()))
        at += (length + 7) & ~7
    return out


def first(data, kind):
    return next(o for o, k in blocks(data) if k == kind)


def link(data, at, i, to):
    struct.pack_into("<Q", data, at + 24 + 8 * i, to)


def cn_named(data, name):
    for o, k in blocks(data):
        if k == "CN":
            tx = struct.unpack_from("<Q", data, o + 24 + 16)[0]
            if data[tx + 24:tx + 24 + len(name) + 1] == name + b"\0":
                return o
    raise KeyError(name)


def _outside(d):
    dg = first(d, "DG")
    link(d, dg, 2, len(d) + 800)
    return (rf"the DG block at byte offset {dg} has link 2 to byte offset {len(d) + 800}, "
            rf"outside the file of {len(d)} bytes")


def _loop(d):
    cg = first(d, "CG")
    link(d, cg, 1, cn_named(d, b"Timestamp"))
    ts = cn_named(d, b"Timestamp")
    link(d, ts, 0, ts)
    return rf"the CN block at byte offset {ts} links back to byte offset {ts}"


def _unknown(d):
    hl = first(d, "HL")
    d[hl + 2:hl + 4] = b"ZZ"
    return (rf"the ZZ block at byte offset {hl} \(linked from the DG block at byte offset "
            r"\d+\) is not a DT/DZ/DL/LD/HL block")


def _inflate(d):
    dz = first(d, "DZ")
    d[dz + 60:dz + 70] = b"\xff" * 10
    return rf"the DZ block at byte offset {dz} does not inflate: Error -3"


def _fit(d):
    cn = cn_named(d, b"CAN_DataFrame.ID")
    struct.pack_into("<I", d, cn + 24 + 64 + 4, 200)
    return (rf"the CN block at byte offset {cn} \(channel 'CAN_DataFrame.ID'\) places 29 bits "
            r"at byte 200 bit 0, which do not fit")


def _conversion(d):
    cc = first(d, "CC")
    d[cc + 24 + 32] = 3  # an algebraic formula on the master
    return (rf"the CC block at byte offset {cc} \(the conversion of channel 'Timestamp'.* is "
            r"of type 3, which gives no number")


def _truncated(d):
    del d[first(d, "DZ") + 40:]
    return r"the DZ block at byte offset \d+ declares a length of \d+ bytes, but \d+ bytes are left"


@pytest.mark.parametrize("damage", [_outside, _loop, _unknown, _inflate, _fit, _conversion,
                                    _truncated])
def test_damage_raises_blferror_naming_the_block(written, damage):
    data = bytearray((written / "drive.mf4").read_bytes())
    message = damage(data)
    with pytest.raises(kv.BLFError, match="^MF4: " + message):
        kv.read_mf4(io.BytesIO(bytes(data)), verbose=False)


@pytest.mark.parametrize("head, message", [
    (b"LOGG" + bytes(200), r"^MF4: not an MDF 4 file"),
    (b"MDF     3.30    " + bytes(100),
     r"^MF4: the ID block at byte offset 0 declares MDF version '3.30': only MDF 4"),
    (b"MDF     4.10", r"^MF4: the ID block at byte offset 0 is cut short: 12 bytes of 64")])
def test_not_mf4(head, message):
    with pytest.raises(kv.BLFError, match=message):
        kv.read_mf4(io.BytesIO(head), verbose=False)


def test_skip_leaves_out_a_damaged_block_and_reads_on(tmp_path, drive):
    index = np.concatenate([drive[0]] * 10)
    index["timestamp"] += np.repeat(np.arange(10) * 10**11, len(drive[0]))
    index["loc"] += np.repeat(np.arange(10, dtype=np.uint64) * np.uint64(len(drive[1])),
                              len(drive[0]))
    pair = (index, np.concatenate([drive[1]] * 10))
    kv.write_mf4(str(tmp_path / "big.mf4"), pair, verbose=False)
    data = bytearray((tmp_path / "big.mf4").read_bytes())
    dz = [o for o, k in blocks(data) if k == "DZ"]
    record = struct.unpack_from("<I", data, first(data, "CG") + 24 + 48 + 24)[0]
    per = struct.unpack_from("<Q", data, dz[0] + 32)[0] // record  # records of a block
    assert len(dz) > 3
    data[dz[1] + 80:dz[1] + 90] = b"\xff" * 10
    with pytest.warns(kv.BLFWarning, match=(
            rf"skipped the DZ block at byte offset {dz[1]} of the data group at byte offset "
            rf"\d+: the DZ block at byte offset {dz[1]} does not inflate")):
        back = kv.read_mf4(io.BytesIO(bytes(data)), verbose=False, errors="skip")
    keep = np.r_[0:per, 2 * per:len(index)]
    whole = frames_of(pair)
    assert frames_of(back) == [whole[i] for i in keep]
    with pytest.raises(ValueError, match="errors must be 'raise' or 'skip'"):
        kv.read_mf4(io.BytesIO(bytes(data)), errors="ignore")


# --- payload_offset ---------------------------------------------------------------------


def test_payload_offset_decodes_public_uds_dbcs():
    from korvel import isotp

    transfers = isotp.transfers(quiet(str(REAL[0])))
    dbc = str(DATA / "mf4" / "tp_uds.dbc")
    soc = korvel.decode(transfers, dbc, payload_offset=1)["Battery"][
        "M_SID_0x220101_StateOfChargeBMS"]
    assert len(soc) == 120 and set(soc.tolist()) == {50.0}
    unshifted = korvel.decode(transfers, dbc)["Battery"]
    assert np.isnan(unshifted["M_SID_0x220101_StateOfChargeBMS"]).all()
    for bad, error in ((-1, ValueError), (True, TypeError), ("1", TypeError)):
        with pytest.raises(error, match="payload_offset"):
            korvel.decode(transfers, dbc, payload_offset=bad)


def test_cli_payload_offset(tmp_path):
    from korvel.cli import main

    kv.write(str(tmp_path / "uds.blf"), quiet(str(REAL[0])), verbose=False, exact_time=True)
    out = tmp_path / "t"
    main(["decode", str(tmp_path / "uds.blf"), "--dbc", str(DATA / "mf4" / "tp_uds.dbc"),
          "--transport", "isotp", "--payload-offset", "1", "-q", "-o", str(out)])
    pq = pytest.importorskip("pyarrow.parquet")
    soc = pq.read_table(out / "Battery.parquet").column("M_SID_0x220101_StateOfChargeBMS")
    assert soc.to_pylist() == [50.0] * 120


# --- every entry point takes MF4 logs ---------------------------------------------------


@pytest.fixture
def uds(tmp_path):
    """The logger file under a name in upper case, one without a suffix, and
    a compressed logger file (.MFC) that must be decompressed first."""
    for real, stem in zip(REAL, ("uds", "j1939")):
        for suffix in (".MF4", "", ".MFC"):
            (tmp_path / (stem + suffix)).write_bytes(real.read_bytes())
    return tmp_path


WINDOW = (1608041700 * 10**9, 1608041800 * 10**9)


@pytest.mark.parametrize("stem, call, takes_frames", [
    ("uds", lambda log: korvel.decode(log, str(DATA / "mf4" / "tp_uds.dbc"))["Temperature"][
        "service"], True),
    ("uds", lambda log: korvel.isotp.transfers(log)[0]["status"], True),
    ("j1939", lambda log: korvel.j1939.transfers(log)[0], True),
    ("j1939", lambda log: korvel.stats.frame_bits(log), True),
    ("uds", lambda log: korvel.read_log(log, start=WINDOW[0], stop=WINDOW[1])[0], False),
    ("j1939", lambda log: kv.concat(list(korvel.iter_log(log, 700, verbose=False)))[0], False),
])
@pytest.mark.parametrize("suffix", [".MF4", ""])
def test_functions_take_mf4_logs(uds, stem, call, takes_frames, suffix):
    name = stem + suffix
    import korvel.isotp
    import korvel.j1939
    import korvel.stats  # noqa: F401

    with warnings.catch_warnings():
        warnings.simplefilter("ignore", kv.BLFWarning)
        from_path = call(str(uds / name))
        with open(uds / name, "rb") as f:
            from_stream = call(f)
        real = REAL[0] if stem == "uds" else REAL[1]
        whole = quiet(str(real))
    ts = whole[0]["timestamp"]
    expected = call(whole) if takes_frames else whole[0][
        (ts >= WINDOW[0]) & (ts < WINDOW[1]) if stem == "uds" else slice(None)]
    assert np.array_equal(from_path, from_stream)
    assert np.array_equal(from_path, expected)
    with pytest.raises(kv.BLFError, match=rf"{stem}.MFC is a compressed MF4 log \(MFC\): "
                                          r"decompress it first"):
        call(str(uds / f"{stem}.MFC"))


def test_dask_takes_mf4_logs(uds):
    pytest.importorskip("dask")
    import korvel.dask

    with warnings.catch_warnings():
        warnings.simplefilter("ignore", kv.BLFWarning)
        frames = korvel.dask.decode([str(uds / "uds.MF4")], str(DATA / "mf4" / "tp_uds.dbc"))
        table = frames["Temperature"].compute(scheduler="sync")
        scan = korvel.dask.scan([str(uds / "uds.MF4")]).compute(scheduler="sync")
    assert len(table) == 900 and int(scan["frames"].iloc[0]) == 2010


@pytest.mark.parametrize("command, args, answer", [
    ("info", [], "frames       2010 (2010 classic, 0 CAN FD, 0 error, 0 remote)"),
    ("decode", ["--dbc", "{dbc}", "-o", "{o}"], "Temperature        900 rows"),
    ("filter", ["--expr", "~is_fd(frames)", "-o", "{o}.mf4"], "2010 of 2010 frames"),
    ("cut", ["--start", "60", "-o", "{o}.mf4"], "1559 frames over 238.997 s -> "),
    ("split", ["--every", "100s", "-o", "{o}"], "2010 frames -> 3 parts in "),
    ("convert", ["{o}.mf4"], "2010 frames -> "),
    ("plot", ["--dbc", "{dbc}", "Temperature.service", "-o", "{o}.png"], "1 signal -> "),
    ("transfers", ["--protocol", "isotp"], "ISO-TP-multi"),
    ("stats", ["--bitrate", "500k"], "0x7EC"),
])
def test_commands_take_mf4_logs(uds, tmp_path, capsys, command, args, answer):
    from korvel.cli import main

    args = [a.format(o=tmp_path / "out", dbc=DATA / "mf4" / "tp_uds.dbc") for a in args]
    assert main([command, str(uds / "uds.MF4"), *args]) == 0
    out, err = capsys.readouterr()
    assert answer in out
    assert "1 channel group of another bus left out (LIN_Frame)" in err
    if args and args[-1].endswith(".mf4"):  # written by suffix, read back
        assert len(quiet(args[-1])[0]) > 0
    args = [a.replace("out", "again") for a in args]
    assert main([command, str(uds / "uds.MFC"), *args]) == 1
    assert "decompress it first" in capsys.readouterr().err


def test_unsorted_records_across_pieces(tmp_path, monkeypatch):
    """A logger file of many of the MiB pieces the reader takes at once: records
    and VLSD entries cut between pieces read as asammdf reads them."""
    import sys

    sys.path.insert(0, str(DATA.parents[1] / "benchmarks"))
    import bench_mf4
    import loggen

    monkeypatch.setattr(loggen, "CACHE", tmp_path)
    path = bench_mf4.logger_layout(130_000)
    assert Path(path).stat().st_size > 4 << 20
    assert_like_asammdf(path, quiet(path, threads=2))
    # Walked on one thread while another decodes, or all on one: the same arrays.
    one, many = quiet(path, threads=1), quiet(path, threads=3)
    assert all(np.array_equal(a, b) for a, b in zip(one, many))

    # A record pointing at a VLSD entry pieces later (its group's records wait
    # for it), and one pointing outside the signal data.
    data = bytearray(Path(path).read_bytes())
    at, ones = data.index(b"##DT") + 24, []
    while at < len(data):
        rid = data[at]
        ones += [at] if rid == 1 else []
        at += {1: 23, 3: 20}.get(rid) or 5 + struct.unpack_from("<I", data, at + 1)[0]
    offset = [struct.unpack_from("<Q", data, a + 15)[0] for a in ones]
    struct.pack_into("<Q", data, ones[10] + 15, offset[100_000])
    whole = frames_of(quiet(path))
    for threads in (1, 2):
        back = frames_of(quiet(io.BytesIO(bytes(data)), threads=threads))
        n = len(back[10][-1])
        assert back[10][-1] == whole[100_000][-1][:n] and back[10][:-1] == whole[10][:-1]
        assert back[:10] == whole[:10] and back[11:] == whole[11:]
    struct.pack_into("<Q", data, ones[10] + 15, offset[10])
    struct.pack_into("<Q", data, ones[20] + 15, 1 << 40)
    with pytest.raises(kv.BLFError, match=r"points outside its signal data in 1 record$"):
        quiet(io.BytesIO(bytes(data)))
    with warnings.catch_warnings():
        warnings.filterwarnings("ignore", "1 channel group of another bus", kv.BLFWarning)
        with pytest.warns(kv.BLFWarning, match="left out the records whose data cannot be"):
            back = frames_of(kv.read_mf4(io.BytesIO(bytes(data)), verbose=False, errors="skip"))
    assert back == whole[:20] + whole[21:]


def logger_file(n, how, entry=1000):
    """The shipped logger file's layout holding n frames of its first record,
    each with an `entry`-byte VLSD entry (a counter, then zeros) after it, as
    loggers write them, in DZ blocks (how="HL") or one DT block ("DT")."""
    src = bytearray((DATA / "mf4" / "uds_kona_canedge.MF4").read_bytes())
    dg = src.index(b"##DG")
    frame = bytearray(src[src.index(b"##DT") + 24:][:23])  # id 1: time, frame, VLSD offset
    assert frame[0] == 1
    out, offset = bytearray(), 0
    for k in range(n):
        struct.pack_into("<d", frame, 1, 1e9 + 1e6 * k)
        struct.pack_into("<Q", frame, 15, offset)
        data = k.to_bytes(8, "little").ljust(entry, b"\0")
        out += frame + b"\2" + struct.pack("<I", entry) + data
        offset += 4 + entry
    f = mb._File()
    f.b = src
    struct.pack_into("<Q", f.b, dg + 24 + 16, mb._data(f, bytes(out), how, 1 << 14, 0))
    return bytes(f.b)


def test_signal_data_outgrowing_its_room_while_decoded(tmp_path):
    """DZ blocks inflating to far more than the file's size: the signal data
    outgrows the room reserved for it while workers decode earlier pieces
    from it (in a child process keeping no pages, so that it must grow)."""
    packed, plain = tmp_path / "dz.mf4", tmp_path / "dt.mf4"
    packed.write_bytes(logger_file(20_000, "HL"))
    plain.write_bytes(logger_file(20_000, "DT"))
    # Room for the file's size times 8 and a MiB, rounded up to a power of
    # two: the signal data outgrows it twice or more.
    assert 2 << (packed.stat().st_size * 8 + (1 << 20)).bit_length() < 20_000 * 1004
    ref = quiet(str(plain), threads=1)
    assert_like_asammdf(plain, ref)
    child = f"""
import warnings, numpy as np, korvel.korvel as kv
warnings.simplefilter("ignore", kv.BLFWarning)
ref = kv.read_mf4({str(plain)!r}, verbose=False, threads=1)
for threads in (1, 2, 3) * 5:
    got = kv.read_mf4({str(packed)!r}, verbose=False, threads=threads)
    assert all(np.array_equal(a, b) for a, b in zip(got, ref)), threads
print(len(ref[0]))
"""
    env = {**os.environ, "KORVEL_KEEP_MB": "0"}
    run = subprocess.run([sys.executable, "-c", child], env=env, capture_output=True, text=True,
                         check=False)
    assert run.returncode == 0, run.stderr
    assert run.stdout.split() == ["20000"] and len(ref[0]) == 20_000


# --- layouts and conversions, built to order -----------------------------------------------

STD = [mb.Field("BusChannel", 8, 0, 8), mb.Field("ID", 9, 0, 29), mb.Field("IDE", 12, 5, 1),
       mb.Field("Dir", 12, 6, 1), mb.Field("EDL", 12, 7, 1), mb.Field("DLC", 13, 0, 4),
       mb.Field("BRS", 13, 4, 1), mb.Field("ESI", 13, 5, 1), mb.Field("DataLength", 14, 0, 8),
       mb.Field("DataBytes", 15, 0, 64, 10)]


def record(t, can_id, length, data, channel=1, ide=0, tx=0, fd=0, brs=0, esi=0, dlc=None):
    dlc = length if dlc is None else dlc
    word = can_id | ide << 29 | tx << 30 | fd << 31
    return (struct.pack("<QBIBB", t, channel, word, dlc | brs << 4 | esi << 5, len(data))
            + data.ljust(8, b"\0"))


def two_groups(ties):
    """Two interleaved groups (record ids 7 and 9), times equal when `ties`."""
    a = [record(1000 * i, 0x100 + i, 3, bytes([i, 1, 2]), tx=i % 2) for i in range(40)]
    b = [record(1000 * i + (0 if ties else 500), 0x1ABCD00 + i, 8, bytes(range(i, i + 8)),
                ide=1, channel=2) for i in range(40)]
    return [mb.Group(STD, 23, a, record_id=7), mb.Group(STD, 23, b, record_id=9)]


@pytest.mark.parametrize("data", ["DT", "DL", "DLO", "DZ", "HL"])
@pytest.mark.parametrize("rec_id_size", [1, 2, 4, 8])
def test_unsorted_layouts_read_as_asammdf_reads_them(tmp_path, data, rec_id_size):
    path = tmp_path / "x.mf4"
    path.write_bytes(mb.build(two_groups(ties=rec_id_size % 2 == 0), rec_id_size=rec_id_size,
                              data=data, piece=37))
    pair = kv.read_mf4(str(path), verbose=False, threads=2)
    assert_like_asammdf(path, pair)
    assert len(pair[0]) == 80


@pytest.mark.parametrize("data", ["DT", "DL", "DLO", "DZ", "DZT", "HL", "LD"])
def test_sorted_layouts(tmp_path, data):
    group = two_groups(ties=False)[1]
    path = tmp_path / "x.mf4"
    path.write_bytes(mb.build([group], data=data, piece=41))
    plain = tmp_path / "plain.mf4"
    plain.write_bytes(mb.build([group]))
    pair = kv.read_mf4(str(path), verbose=False)
    assert frames_of(pair) == frames_of(kv.read_mf4(str(plain), verbose=False))
    if data != "LD":  # lists of an MDF 4.2 reader
        assert_like_asammdf(path, pair)


def test_conversions_read_as_asammdf_reads_them(tmp_path):
    fields = [
        mb.Field("BusChannel", 8, 0, 8, conversion=(1, (2.0, 1.0))),  # raw + 2
        mb.Field("ID", 9, 0, 29, conversion=(2, (0, 1, 0, 0, 0, 1))),  # x / 1
        mb.Field("IDE", 0, 0, 0, cn_type=6, conversion=(1, (1.0, 0.0))),  # constant 1
        mb.Field("Dir", 12, 6, 1, conversion=(7, {0: "Rx", 1: "Tx"})),  # names keep the number
        mb.Field("DLC", 13, 0, 4, conversion=(4, (0, 0, 15, 15))),  # a table, interpolated
        # Ranges of one value each: asammdf reads an integer strictly inside a range as
        # the default (lower <= x <= upper is the rule).
        mb.Field("DataLength", 13, 0, 4, conversion=(6, (*(v for x in range(16) for v in (
            x, x, 100 if x <= 8 else 64)), -1))),
        mb.Field("EDL", 0, 0, 0, cn_type=6, conversion=(1, (1.0, 0.0))),
        mb.Field("DataBytes", 15, 0, 64, 10)]
    master = mb.Field("Timestamp", 0, 0, 32, 0, 2, (1, (0.25, 1e-5)))  # 10 µs ticks
    recs = [struct.pack("<I4xBIBB", 7 * i, i % 3, 0x1000 + i, 3 + (i % 13), 0)
            + bytes(range(8)) for i in range(30)]
    path = tmp_path / "x.mf4"
    path.write_bytes(mb.build([mb.Group(fields, 23, recs, master=master)]))
    pair = kv.read_mf4(str(path), verbose=False)
    assert_like_asammdf(path, pair)
    index = pair[0]
    assert np.array_equal(index["timestamp"] - 1_700_000_000_000_000_000,
                          250_000_000 + 70_000 * np.arange(30))  # exact integer ns
    assert set(index["len"].tolist()) == {100, 64} and set(index["channel"].tolist()) == {2, 3, 4}


@pytest.mark.parametrize("converted", [False, True])
def test_float_master_rounds_half_away_from_zero(tmp_path, converted):
    """A float64 master in ns (loggers write one) through the record loop with
    and without per-field conversions: times round as llround does."""
    from decimal import ROUND_HALF_UP, Decimal

    ns = sorted([-2.5, -0.5, 0.49999999999999994, 0.5, 1.5, 2.5, 7.0, 123456789.49999997,
                 1e15 + 0.5, 4503599627370495.5, 2.0**53 + 2])
    fields = list(STD)
    if converted:
        fields[0] = mb.Field("BusChannel", 8, 0, 8, conversion=(1, (2.0, 1.0)))
    recs = [struct.pack("<d", t) + record(0, 0x100 + i, 2, b"ab")[8:] for i, t in enumerate(ns)]
    master = mb.Field("Timestamp", 0, 0, 64, 4, 2, (1, (0.0, 1e-9)))
    path = tmp_path / "x.mf4"
    path.write_bytes(mb.build([mb.Group(fields, 23, recs, master=master)]))
    pair = kv.read_mf4(str(path), verbose=False)
    assert_like_asammdf(path, pair)
    want = [int(Decimal(t).to_integral_value(ROUND_HALF_UP)) for t in ns]
    assert (pair[0]["timestamp"] - 1_700_000_000_000_000_000).tolist() == want


def test_start_in_local_time(tmp_path, monkeypatch):
    import time

    path = tmp_path / "x.mf4"
    path.write_bytes(mb.build(two_groups(ties=False)[:1], rec_id_size=1, time_flags=1))
    monkeypatch.setenv("TZ", "America/New_York")
    time.tzset()
    try:
        assert_like_asammdf(path, kv.read_mf4(str(path), verbose=False))
    finally:
        monkeypatch.undo()
        time.tzset()


def test_unfinished_file_reads_to_its_end(tmp_path):
    groups = two_groups(ties=False)
    whole = mb.build(groups, rec_id_size=1)
    data = bytearray(whole)
    data[:8] = b"UnFinMF "
    struct.pack_into("<H", data, 60, 0x05)  # cycle counts and the last DT's length not written
    dt = data.index(b"##DT")
    struct.pack_into("<Q", data, dt + 8, 24)
    data += b"\x05" + bytes(30)  # what the logger wrote last: no record of a group
    assert frames_of(kv.read_mf4(io.BytesIO(bytes(data)), verbose=False)) == frames_of(
        kv.read_mf4(io.BytesIO(whole), verbose=False))
