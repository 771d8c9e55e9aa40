"""LIN and Ethernet records of ASC logs (Li and ETH lines) through
korvel.read_log's buses=, against the BLF twins Vector's converter wrote of
the same events (tests/data/vector_blf) and against lines of known fields."""

from __future__ import annotations

import io
from pathlib import Path

import numpy as np
import pytest
import text_samples as tt

import korvel
import korvel.korvel as kv

VECTOR = Path(__file__).parent / "data" / "vector_blf"
EXAMPLES = Path(__file__).parent.parent / "examples" / "data"
TWINS = sorted(p.stem for p in VECTOR.glob("converter_*.asc"))
LIN_FIELDS = ("timestamp", "channel", "checksum", "id", "dlc", "flags")
ETH_FIELDS = ("timestamp", "channel", "hardware_channel", "length", "flags")


def payloads(pair):
    records, chunk = pair
    mask = (1 << 48) - 1
    return [bytes(chunk[int(r) & mask:][:int(r) >> 48]) for r in records["loc"]]


@pytest.mark.filterwarnings("ignore::korvel.korvel.TextWarning")  # their LIN events
@pytest.mark.parametrize("name", TWINS)
def test_converter_asc_equals_its_blf_twin(name):
    asc = korvel.read_log(VECTOR / f"{name}.asc", buses=("lin", "ethernet"), verbose=False)
    blf = kv.read_buses(VECTOR / f"{name}.blf", buses=("lin", "ethernet"), verbose=False)
    for bus, fields in (("lin", LIN_FIELDS), ("ethernet", ETH_FIELDS)):
        got, want = asc[bus][0], blf[bus][0]
        assert got.dtype == want.dtype and len(got) == len(want), (bus, got, want)
        if name == "converter_LinSendError2":
            # Its ASC has no "base" line and the id in decimal; the line shows no dlc.
            fields = ("timestamp", "channel", "flags")
        for f in fields:
            assert np.array_equal(got[f], want[f]), (bus, f, got, want)
        assert (got["object_type"] == 0).all()
        assert payloads(asc[bus]) == payloads(blf[bus])


def test_lin_and_ethernet_lines():
    # The odd-length ETH line, the short response, the spike and the baud
    # rate are skipped.
    with pytest.warns(kv.TextWarning, match="^4 lines"):
        out = korvel.read_log(io.BytesIO(tt.ASC_BUSES.encode()), format="asc",
                              buses=("can", "lin", "ethernet"), verbose=False)
    lin, eth = out["lin"][0], out["ethernet"][0]
    start = int(out["can"][0]["timestamp"][0]) - 10_000_000
    rows = [(int(r["timestamp"]) - start, int(r["channel"]), int(r["id"]), int(r["dlc"]),
             int(r["flags"]), int(r["checksum"])) for r in lin]
    assert rows == [
        (73_973_000, 1, 0x2D, 8, 0x00, 0x70),  # Tx frame
        (80_000_000, 3, 0x11, 2, 0x04, 0xE1),
        (90_000_000, 3, 0x12, 1, 0x34, 0x00),  # CSErr before the direction
        (91_000_000, 3, 0x13, 1, 0x34, 0x01),  # and after it
        (100_000_000, 2, 0x3C, 12, 0x05, 0),  # dlc 12: its 8 bytes, cut
        (424_674_000, 1, 0x33, 0, 0x10, 0),  # TransmErr
        (554_673_000, 1, 0x33, 8, 0x14, 0),  # RcvError with its bytes
        (560_000_000, 1, 0x34, 8, 0x14, 0),  # and without
        (2_022_336_000, 2, 0, 0, 0x10, 0),  # SyncError
        (2_318_672_000, 1, 0, 0, 0x50, 0),  # wake-up sent
        (2_318_700_000, 4, 0, 0, 0x54, 0),  # and received
        (777_200_000, 1, 0, 0, 0x90, 0),  # sleep
        (5_000_000_000, 1, 17, 2, 0x04, 225),  # under base dec
    ]
    assert payloads(out["lin"]) == [
        bytes.fromhex("00f0f0ffffffffff"), b"\x0a\x0b", b"\x5a", b"\x5b", bytes(range(1, 9)),
        b"", bytes.fromhex("0500000000ffffff"), b"", b"", b"", b"", b"", b"\x0a\x0b"]
    assert [(int(r["channel"]), int(r["length"]), int(r["flags"])) for r in eth] == [
        (2, 60, 0), (10, 16, 0x05), (3, 4, 0x04)]  # 16 declared, 8 there: cut
    frames = payloads(out["ethernet"])
    assert frames[0][:6] == b"\xff" * 6 and len(frames[0]) == 60
    assert frames[1:] == [bytes(range(1, 9)), bytes.fromhex("0a0b0c0d")]
    # Ethernet lines are read (not warned of) when only LIN is asked for.
    with pytest.warns(kv.TextWarning, match="^4 lines"):
        korvel.read_log(io.BytesIO(tt.ASC_BUSES.encode()), format="asc", buses="lin",
                        verbose=False)


@pytest.mark.filterwarnings("ignore::korvel.korvel.TextWarning")
def test_read_log_buses_keyword(tmp_path, capsys):
    path = tmp_path / "mixed.asc"
    path.write_text(tt.ASC_BUSES)
    plain = kv.read_asc(path, verbose=False)
    out = korvel.read_log(path, buses=["can", "flexray", "lin", "lin"], verbose=True)
    assert "frm_cnt=2, lin_cnt=13, eth_cnt=3, skip_cnt=4," in capsys.readouterr().out
    assert list(out) == ["can", "flexray", "lin"]
    assert all(np.array_equal(a, b) for a, b in zip(out["can"], plain))
    assert out["flexray"][0].dtype == kv.FLEXRAY and len(out["flexray"][0]) == 0
    # One bus by name; a window as for frames.
    lin = korvel.read_log(path, buses="lin", verbose=False)
    t = lin[0]["timestamp"]
    part = korvel.read_log(path, buses="lin", start=t[1], stop=t[4], verbose=False)
    assert np.array_equal(part[0], lin[0][(t >= t[1]) & (t < t[4])])
    # Logs of other formats hold none; a BLF log reads as read_buses reads it.
    can = tmp_path / "x.log"
    can.write_text("(1.0) can0 123#01\n")
    assert len(korvel.read_log(can, buses="lin", verbose=False)[0]) == 0
    blf = VECTOR / "converter_LinMessage2.blf"
    got = korvel.read_log(blf, buses=("lin", "events"), verbose=False)
    want = kv.read_buses(blf, buses=("lin", "events"), verbose=False)
    assert np.array_equal(got["lin"][0], want["lin"][0])
    assert list(got["events"]) == list(want["events"])


def test_asc_lin_decodes_and_ethernet_converts(tmp_path, capsys):
    from korvel.cli import main as cli

    asc = str(EXAMPLES / "buses.asc")
    t = korvel.decode(asc, EXAMPLES / "body.ldf", choices=True)
    assert t["WiperControl"]["WiperMode"].tolist() == ["Fast", "Interval"]
    out = tmp_path / "eth.pcapng"
    assert cli(["convert", asc, str(out)]) in (0, None)
    assert "1 Ethernet frames" in capsys.readouterr().out
    scapy = pytest.importorskip("scapy.all")
    (packet,) = scapy.rdpcap(str(out))
    eth = korvel.read_log(asc, buses="ethernet", verbose=False)
    assert bytes(packet) == payloads(eth)[0]


@pytest.mark.parametrize("buses, error, match", [
    ("events", ValueError, "events are read from BLF logs only"),
    (("can", "most"), ValueError, "unknown bus 'most'"),
    (3, TypeError, "buses must be a bus name or a sequence"),
    ((b"lin",), TypeError, "buses must hold str"),
])
def test_read_log_buses_refused(tmp_path, buses, error, match):
    path = tmp_path / "x.asc"
    path.write_text(tt.ASC)
    with pytest.raises(error, match=match):
        korvel.read_log(path, buses=buses, verbose=False)
