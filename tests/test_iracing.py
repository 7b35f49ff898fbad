"""iRacing: the real recordings against their stated and oracle values; live maps, torn rows, bad files."""
import json
import re
import struct
from pathlib import Path

import pytest
import yaml

from test_torqdash_kunos import Written
from torqdash.games.iracing import (IRSDK_HEADER, IRSDK_MEMMAPFILENAME, IRSDK_VAR_BUF, IRSDK_VAR_HEADER,
                                    IRSDK_VAR_TYPES, IbtError, IbtFile, IRacing, flag, parse_session_info,
                                    session_text)

REAL = Path(__file__).resolve().parents[2] / "shared" / "testdata" / "real-telemetry"
DUMP = "iracing/teamjorge/memmap-dump_monza_mercedesw13_3bufs.bin"
IBTS = ["iracing/teamjorge/ibt_spielberg-gp_mercedesw13_2024-06-24_390rows.ibt",
        "iracing/itelem/ibt_spielberg-gp_mercedesamggt4_2023-04-10_3371rows.ibt"]


@pytest.fixture(scope="session")
def expected():
    if not (REAL / "expected-iracing.json").is_file():
        pytest.skip("no shared/testdata/real-telemetry beside the project")
    return json.loads((REAL / "expected-iracing.json").read_text())["files"]


def camel(key):
    return "ver" if key == "version" else re.sub(r"_(\w)", lambda m: m[1].upper(), key)


def check_layout(header, data, want):  # the header as the oracle reads it; the var headers by name
    buffers = [IRSDK_VAR_BUF.read(header["varBuf"], 16 * n) for n in range(header["numBuf"])]
    ours = {**header, "varBuf": [dict(tick_count=b["tickCount"], buf_offset=b["bufOffset"]) for b in buffers]}
    assert {key: ours[camel(key)] for key in want["oracle"]["header"]} == want["oracle"]["header"]
    return {var["name"].rstrip(b"\0").decode(): var for var in (
        IRSDK_VAR_HEADER.read(data, header["varHeaderOffset"] + 144 * n) for n in range(header["numVars"]))}


def check_row(t, names, raw, row):  # every oracle value read raw as its var header says; the telemetry
    for name in set(row) - {"Speed_kmh"}:  # (the oracle's, of Speed)
        code, offset = IRSDK_VAR_TYPES[names[name]["type"]], names[name]["offset"]
        assert struct.unpack_from("<" + code, raw, offset)[0] == row[name], name
    assert row["SessionFlags"] & 0x3F == 0 and t.flag is None  # no flag is out in these sessions
    laps = [lap if lap > 0 else None for lap in (row["LapLastLapTime"], row["LapBestLapTime"])]
    assert (t.rpm, t.gear, t.fuel, t.in_race, t.abs_active, t.pit_limiter, t.lap_time_s, t.last_lap_s,
            t.best_lap_s) == (row["RPM"], row["Gear"], row["FuelLevelPct"], row["IsOnTrack"],
                              row["BrakeABSactive"], bool(row["EngineWarnings"] & 0x10),
                              row["LapCurrentLapTime"], *laps)
    assert t.speed_kph == pytest.approx(row["Speed_kmh"])


def leaves(node):
    for key, value in node.items() if isinstance(node, dict) else enumerate(node):
        yield from leaves(value) if isinstance(value, (dict, list)) else [(key, value)]


def check_session(session, text, want):  # the decoder's car and lights; every stated value in the text
    doc, oracle, found = yaml.load(text, Loader=yaml.CSafeLoader), want["oracle"]["session_info"], {}
    assert tuple(vars(session).values()) == (oracle["CarScreenName"], *(
        oracle["DriverCar" + key] for key in ("RedLine", "SLFirstRPM", "SLShiftRPM", "SLBlinkRPM")))
    for key, value in leaves(doc):
        found.setdefault(key, []).append(value)
    sectors = doc["SplitTimeInfo"]["Sectors"]
    derived = {"SessionTypes": found["SessionType"], "abs_setting": found.get("AbsSetting", [None])[0],
               "DriverCarFuelMaxLtr_as_int": int(found["DriverCarFuelMaxLtr"][0]),
               "DriverCarFuelMaxLtr_yaml_text": re.search(r"DriverCarFuelMaxLtr: (\S+)", text)[1],
               "sector_count": len(sectors), "sector1_start_pct": sectors[1]["SectorStartPct"],
               "camera_groups": len(doc["CameraInfo"]["Groups"])}
    for key, value in {**want["stated"].get("session", {}), **oracle}.items():
        assert value == derived[key] if key in derived else value in found[key], key


@pytest.mark.parametrize("name", IBTS)
def test_ibt_files_as_stated(expected, name):
    want, data = expected[name], (REAL / name).read_bytes()
    oracle, count = want["oracle"], want["stated"].get("sample_count")
    with IbtFile(REAL / name) as recording:
        samples, header, names = list(recording), recording.header, check_layout(recording.header, data, want)
        check_session(recording.session, recording.session_info, want)
    assert recording.disk == {camel(key): value for key, value in oracle["disk_header"].items()}
    assert len(samples) == recording.disk["sessionRecordCount"] == (count or len(samples))
    for index, row in ((int(index), row) for index, row in oracle["rows"].items()):
        at = IRSDK_VAR_BUF.read(header["varBuf"])["bufOffset"] + index * header["bufLen"]
        assert samples[index][0] == index / 60
        check_row(samples[index][1], names, data[at:at + header["bufLen"]], row)
    speeds, gears, rpms = zip(*((t.speed_kph, t.gear, t.rpm) for _, t in samples))
    assert (speeds.index(max(speeds)), max(speeds) / 3.6, min(gears), max(gears), max(rpms)) == pytest.approx(
        (oracle["row_of_max_speed"], oracle["max_speed_mps"], *oracle["gear_range"], oracle["rpm_max"]))


def test_memory_map_dump_as_stated(expected):
    data, want, decoder = (REAL / DUMP).read_bytes(), expected[DUMP], IRacing()
    t, row = decoder.read({IRSDK_MEMMAPFILENAME: data}), want["oracle"]["rows_by_buffer_tick"]["tick_2005"]
    assert decoder.tick == 2005 and want["oracle"]["newest_buffer"].startswith("tick_2005")  # of the three
    at, length = want["oracle"]["header"]["var_buf"][1]["buf_offset"], want["oracle"]["header"]["buf_len"]
    check_row(t, check_layout(IRSDK_HEADER.read(data), data, want), data[at:at + length], row)
    assert (t.shift_rpm, t.first_light_rpm) == (row["PlayerCarSLShiftRPM"], row["PlayerCarSLFirstRPM"])
    check_session(decoder.session, session_text(data[112:112 + 524288]), want)
    data = bytearray(data)  # bit fields that a var header calls irsdk_float: their bits read as floats
    for name in (b"SessionFlags\0", b"EngineWarnings\0"):
        struct.pack_into("<i", data, data.index(name) - 16, 4)
    t = IRacing().read({IRSDK_MEMMAPFILENAME: bytes(data)})
    assert (t.flag, t.pit_limiter, t.rpm) == (None, False, 300.0)


@pytest.mark.parametrize("tears", [1, 3, 4])
def test_a_row_written_over_while_copied_is_taken_again(expected, tears):
    decoder, data = IRacing(), bytearray((REAL / DUMP).read_bytes())
    decoder.read({IRSDK_MEMMAPFILENAME: data})
    struct.pack_into("<i", data, 64, 2006)  # varBuf[1]: a new row, which the sim writes again as it is copied
    again = [lambda page, n=n: struct.pack_into("<i", page, 64, 2007 + n) for n in range(tears)]
    page = Written(data, *(step for write in again for step in (len, len, write)))  # len: no write
    telemetry, torn = decoder.read({IRSDK_MEMMAPFILENAME: page}), tears >= decoder.tries  # every try torn
    assert (telemetry is None, decoder.torn, decoder.tick) == (torn, torn, 2005 if torn else 2006 + tears)


def test_live_map_unchanged_updated_gone_and_empty(expected):
    page, decoder = bytearray((REAL / DUMP).read_bytes()), IRacing()
    pages, name_at = {IRSDK_MEMMAPFILENAME: page}, page.index(b"CarScreenName: Mercedes") + 15
    assert decoder.read(pages).car.startswith("Mercedes") and decoder.read(pages) is None  # the same tick
    page[name_at:name_at + 4] = b"Benz"  # the sim's new session info, its counter not yet raised
    struct.pack_into("<i", page, 64, 2006)
    assert decoder.read(pages).car.startswith("Mercedes")
    struct.pack_into("<i", page, 12, 4)  # sessionInfoUpdate
    assert decoder.read(pages) is None and decoder.session.car.startswith("Benz")
    for status, waiting in ((0, True), (1, False)):  # the sim leaves, and comes back on the same tick
        struct.pack_into("<i", page, 4, status)
        assert (decoder.read(pages) is None, decoder.waiting) == (waiting, waiting)
    for zero in (bytes(len(page)), b""):  # the empty mapping Windows makes; a bridge's new file
        assert decoder.read({IRSDK_MEMMAPFILENAME: zero}) is None and decoder.waiting and not decoder.rejected


@pytest.mark.parametrize("bits, shown", [
    (0x10040000, None), (0x4, "green"), (0x4 | 0x20, "blue"), (0x8 | 0x20, "yellow"), (0x4000, "yellow"),
    (0x8 | 0x10 | 0x10000, "red"), (0x8 | 0x100000, "black"), (0x1 | 0x2, "chequered"), (0x2 | 0x4, "white")])
def test_the_most_urgent_flag_is_shown(bits, shown):
    assert flag(bits) == shown


GRID = ("DriverInfo:\n DriverCarIdx: 2\n DriverSetupName: a: b #c.sto\n DriverCarRedLine: 7200.000\n"
        " Drivers:\n - CarIdx: 1\n   CarScreenName: X\n - CarIdx: 2\n   UserName: A: B\n   CarPath: ford gt\n"
        " - CarIdx: 3\n   CarScreenName: X\nSplitTimeInfo:\n - CarIdx: 2\n   CarScreenName: X\n")


@pytest.mark.parametrize("raw, car, redline", [
    (GRID.encode(), "ford gt", 7200.0),  # unquoted names around, the player's entry without a screen name
    (GRID.replace("CarPath: ford gt", "CarScreenName: Škoda: #1").encode("cp1252"), "Škoda: #1", 7200.0),
    ("DriverInfo:\n DriverCarIdx: 0\n Drivers:\n - CarIdx: 0\n   CarScreenName: Ž".encode()[:-1], "Å", None),
    (b"\xff\x00DriverInfo:", None, None),
    (b"DriverInfo:\n DriverCarIdx: [\n DriverCarRedLine: nan", None, None)])
def test_session_info_as_iracing_writes_it(raw, car, redline):
    session = parse_session_info(session_text(raw))
    assert (session.car, session.redline_rpm) == (car, redline)


@pytest.mark.parametrize("cut", [0, 100, 150, 40000, 60000, "version"])
def test_ibt_files_cut_short_or_foreign(expected, tmp_path, cut):
    data = (REAL / IBTS[0]).read_bytes()
    (tmp_path / "bad.ibt").write_bytes(b"\1" + data[1:] if cut == "version" else data[:cut])
    with pytest.raises(IbtError, match="cut short" if cut == 60000 else "not an iRacing telemetry file"):
        IbtFile(tmp_path / "bad.ibt")
