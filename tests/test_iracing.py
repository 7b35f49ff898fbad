"""iRacing: the layout as irsdk_defines.h states it; the real recordings (two .ibt files, a
dump of the live map) against their sources' stated values and the oracle's; torn copies,
an absent sim, an unchanged tick and session info updates in the live map."""
import json
import re
import struct
from pathlib import Path

import pytest
import yaml

from torqdash.games.iracing import (IRSDK_DISK_SUB_HEADER, IRSDK_HEADER, IRSDK_MEMMAPFILENAME, IRSDK_VAR_BUF,
                                    IRSDK_VAR_HEADER, IRSDK_VAR_TYPES, IbtError, IbtFile, IRacing, flag,
                                    parse_session_info, session_text)
from torqdash.sources import RECEIVING, WAITING, SharedMemorySource

REAL = Path(__file__).resolve().parents[2] / "shared" / "testdata" / "real-telemetry"
DUMP = "iracing/teamjorge/memmap-dump_monza_mercedesw13_3bufs.bin"
IBTS = ["iracing/teamjorge/ibt_spielberg-gp_mercedesw13_2024-06-24_390rows.ibt",
        "iracing/itelem/ibt_spielberg-gp_mercedesamggt4_2023-04-10_3371rows.ibt"]
TYPES = {"char": 0, "bool": 1, "int": 2, "bitField": 3, "float": 4, "double": 5}  # irsdk_VarType


@pytest.mark.parametrize("fields, size, offsets", [
    (IRSDK_HEADER, 112, {"sessionInfoUpdate": 12, "numVars": 24, "bufLen": 36, "varBuf": 48}),
    (IRSDK_VAR_BUF, 16, {"bufOffset": 4}),
    (IRSDK_VAR_HEADER, 144, {"count": 8, "countAsTime": 12, "name": 16, "desc": 48, "unit": 112}),
    (IRSDK_DISK_SUB_HEADER, 32, {"sessionStartTime": 8, "sessionLapCount": 24, "sessionRecordCount": 28})])
def test_layout_as_irsdk_defines_states_it(fields, size, offsets):
    assert (fields.size, {name: fields.offset(name) for name in offsets}) == (size, offsets)


@pytest.fixture(scope="session")
def expected():
    if not (REAL / "expected-iracing.json").is_file():
        pytest.skip("no shared/testdata/real-telemetry beside the project")
    return json.loads((REAL / "expected-iracing.json").read_text())["files"]


@pytest.fixture(scope="session", params=IBTS)
def ibt(request, expected):
    with IbtFile(REAL / request.param) as recording:
        return recording, list(recording), (REAL / request.param).read_bytes(), expected[request.param]


@pytest.fixture
def dump(expected):
    return (REAL / DUMP).read_bytes(), expected[DUMP]


def camel(key):
    return "ver" if key == "version" else re.sub(r"_(\w)", lambda m: m[1].upper(), key)


def check_layout(header, data, want):
    """The header, its buffers and the var headers as stated; returns the var headers by name."""
    buffers = [IRSDK_VAR_BUF.read(header["varBuf"], 16 * n) for n in range(header["numBuf"])]
    ours = {**header, "bufOffset": buffers[0]["bufOffset"],
            "varBuf": [{"tick_count": b["tickCount"], "buf_offset": b["bufOffset"]} for b in buffers]}
    stated = {**want["stated"].get("telemetry_header", {}), "var_buf": want["stated"].get("var_buf")}
    for key, value in [*want["oracle"]["header"].items(), *stated.items()]:
        assert value is None or ours[camel(key)] == value, key
    names = {var["name"].rstrip(b"\0").decode(): var for var in (
        IRSDK_VAR_HEADER.read(data, header["varHeaderOffset"] + 144 * n) for n in range(header["numVars"]))}
    for name, var in want["oracle"]["var_headers"].items():
        ours = names[name]
        assert (ours["type"], ours["offset"], ours["count"], ours["unit"].rstrip(b"\0").decode()) == (
            TYPES[var["type"]], var["offset"], var["count"], var["unit"])
    return names


def check_row(t, names, raw, row):
    """Every oracle value of a row, read raw with its var header, and the telemetry made of it."""
    for name in set(row) & set(names):
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


def check_session(session, text, want):
    """The decoder's car and shift lights, and every session value stated, in the file's text."""
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


def test_ibt_files_as_stated(ibt):
    recording, samples, data, want = ibt
    stated, oracle = want["stated"], want["oracle"]
    names, length = check_layout(recording.header, data, want), recording.header["bufLen"]
    assert recording.disk == {camel(key): value for key, value in oracle["disk_header"].items()}
    assert len(samples) == recording.disk["sessionRecordCount"] == stated.get("sample_count", len(samples))
    check_session(recording.session, recording.session_info, want)
    for index, row in ((int(index), row) for index, row in oracle["rows"].items()):
        at = IRSDK_VAR_BUF.read(recording.header["varBuf"])["bufOffset"] + index * length
        assert samples[index][0] == index / 60
        check_row(samples[index][1], names, data[at:at + length], row)
    for index, lap in stated.get("LapCurrentLapTime_float32_by_row", {}).items():
        assert samples[int(index)][1].lap_time_s == pytest.approx(lap, rel=1e-7)
    if "RPM_row_1001" in stated:
        assert samples[1001][1].rpm == pytest.approx(stated["RPM_row_1001"], rel=1e-7)
    speeds, gears, rpms = zip(*((t.speed_kph, t.gear, t.rpm) for _, t in samples))
    assert (speeds.index(max(speeds)), max(speeds) / 3.6, min(gears), max(gears), max(rpms)) == pytest.approx(
        (oracle["row_of_max_speed"], oracle["max_speed_mps"], *oracle["gear_range"], oracle["rpm_max"]))


def test_memory_map_dump_as_stated(dump):
    data, want = dump
    decoder = IRacing()
    t = decoder.read({IRSDK_MEMMAPFILENAME: data})
    names, row = check_layout(IRSDK_HEADER.read(data), data, want), want["oracle"]["rows_by_buffer_tick"]
    assert decoder.tick == 2005 and want["oracle"]["newest_buffer"].startswith("tick_2005")  # of the three
    at, length = want["stated"]["var_buf"][1]["buf_offset"], want["oracle"]["header"]["buf_len"]
    check_row(t, names, data[at:at + length], row["tick_2005"])
    assert (t.shift_rpm, t.first_light_rpm) == (row["tick_2005"]["PlayerCarSLShiftRPM"],
                                                row["tick_2005"]["PlayerCarSLFirstRPM"])
    check_session(decoder.session, session_text(data[112:112 + 524288]), want)


class LivePage(bytearray):
    """The dump as the sim's live memory: each of ``writes`` runs as a copy of a row ends."""

    writes = ()

    def __getitem__(self, index):
        copy = bytes(super().__getitem__(index))
        if index.stop - index.start == 8154 and self.writes:  # the dump's bufLen
            self.writes.pop(0)()
        return copy


@pytest.mark.parametrize("tears", [1, 3, 4])
def test_a_row_written_over_while_copied_is_taken_again(dump, tears):
    page, decoder = LivePage(dump[0]), IRacing()
    page.writes = [lambda n=n: struct.pack_into("<i", page, 64, 2006 + n) for n in range(tears)]  # varBuf[1]
    telemetry = decoder.read({IRSDK_MEMMAPFILENAME: page})
    torn = tears >= decoder.tries  # then every try was torn
    assert (telemetry is None, decoder.torn, decoder.tick) == (torn, torn, None if torn else 2005 + tears)


def test_live_map_not_connected_unchanged_and_updated(dump, tmp_path):
    page, decoder = LivePage(dump[0]), IRacing()
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
    source = SharedMemorySource(IRacing(), str(tmp_path))  # from /dev/shm, once the page is there
    assert source.poll(0.0) is None and source.state == WAITING
    assert source.describe() == f"shared memory in {tmp_path}: {IRSDK_MEMMAPFILENAME}"  # not Local\...
    (tmp_path / IRSDK_MEMMAPFILENAME).write_bytes(dump[0])
    assert source.poll(2.0).car == "Mercedes-AMG W13 E Performance" and source.state == RECEIVING


def test_bit_fields_that_a_var_header_calls_floats(dump):
    data = bytearray(dump[0])
    for name in (b"SessionFlags\0", b"EngineWarnings\0"):
        struct.pack_into("<i", data, data.index(name) - 16, 4)  # irsdk_float: their bits read as floats
    t = IRacing().read({IRSDK_MEMMAPFILENAME: bytes(data)})
    assert (t.flag, t.pit_limiter, t.rpm) == (None, False, 300.0)


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
