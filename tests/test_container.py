"""The compound file container, seen through the public API.

A GC-MS file ("x.qgd" with "GCMS Raw Data/Spectrum Index" and
"GCMS Raw Data/MS Raw Data") is the probe: its scans come back with exact
values only when every sector of both streams was found and copied in order.
Valid but unusual containers must open; hostile ones, grouped by the structure
they break (header, DIFAT and FAT, directory, stream chain), must raise
RuntimeError, never crash or hang.
"""

from __future__ import annotations

import struct

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from kelvara import RawReader

from cfbwriter import ENDOFCHAIN, FREESECT, build_cfb_layout, put_u32, put_u64
from gcms_encoders import GCMS_DATA, GCMS_INDEX, expected_profile, gcms_entries, profile_record

NOT_CFB = "parse error: not a valid OLE2/CFBF container: "
READ_FAILED = "I/O error: "


def scan_run(n_scans, points_of, seed=1):
    """Profile records whose sizes vary by scan, and what each should read back as."""
    records, expected = [], []
    for k in range(n_scans):
        n = points_of(k)
        # Intensities differ from scan to scan and point to point, so a
        # sector read from the wrong place or in the wrong order shows.
        points = [(100 + j, 1 + (seed * 7919 + k * 104_729 + j * 1_299_709) % 0xFFFF) for j in range(n)]
        rt = 60_000 + 137 * k
        records.append(profile_record(rt, points))
        expected.append(expected_profile(rt, points))
    return gcms_entries(records), expected


def assert_scans(path, expected):
    reader = RawReader(path)
    assert reader.scan_count == len(expected)
    for i, want in enumerate(expected):
        got = reader.read_spectrum(i)
        assert (got.mz, got.intensity, got.retention_time_sec) == (want.mz, want.intensity, want.rt), f"scan {i}"


def write(tmp_path, data, name="x.qgd"):
    path = tmp_path / name
    path.write_bytes(bytes(data))
    return str(path)


def error_of(path):
    with pytest.raises(RuntimeError) as err:
        RawReader(path)
    return str(err.value)


def u32(data, offset):
    return struct.unpack_from("<I", data, offset)[0]


# --- streams read back exactly ---------------------------------------------------


@pytest.mark.parametrize("version", [3, 4])
@pytest.mark.parametrize(
    "points, in_mini_stream",
    # A record is 32 + 4 * points bytes: 4092 stays in the mini stream, 4096
    # and more go to regular sectors.
    [(1, True), (1015, True), (1016, False), (1017, False), (5000, False)],
)
def test_one_scan_either_side_of_the_mini_stream_cutoff(tmp_path, version, points, in_mini_stream):
    entries, expected = scan_run(1, lambda k: points)
    data, layout = build_cfb_layout(entries, version)
    assert (GCMS_DATA in layout.mini_chains) == in_mini_stream
    assert_scans(write(tmp_path, data), expected)


@pytest.fixture(scope="module")
def large_run():
    # About 13 MB of records of varying length: beyond what the header's 109
    # DIFAT entries can map in version 3, so the FAT is found through DIFAT
    # sectors, and large enough to be read in three parts on three threads.
    return scan_run(3300, lambda k: 900 + (k * 37) % 200, seed=5)


@pytest.mark.parametrize("threads", ["1", "3"])
@pytest.mark.parametrize("version, chain_order", [(3, "sequential"), (3, "interleaved"), (4, "reversed")])
def test_large_run_through_difat_sectors(tmp_path, monkeypatch, large_run, version, chain_order, threads):
    # Read in parts, a part may begin and end inside a run of consecutive
    # sectors, or (interleaved, reversed) cut a stream of one-sector runs.
    monkeypatch.setenv("KELVARA_THREADS", threads)
    entries, expected = large_run
    data, layout = build_cfb_layout(entries, version, chain_order=chain_order)
    if version == 3:
        assert layout.difat_sectors
    assert_scans(write(tmp_path, data), expected)


def test_zero_padded_difat_tail(tmp_path, large_run):
    # Some writers fill the unused DIFAT entries, and the next-sector link of
    # the last DIFAT sector, with zeros instead of FREESECT and ENDOFCHAIN;
    # read naively, they list sector 0 as a FAT sector again and again.
    entries, expected = large_run
    data, layout = build_cfb_layout(entries, 3)
    data = bytearray(data)
    (difat,) = layout.difat_sectors
    used = len(layout.fat_sectors) - 109
    base = layout.sector_offset(difat)
    data[base + 4 * used : base + 512] = bytes(512 - 4 * used)
    assert_scans(write(tmp_path, data), expected)


# --- valid but unusual containers ------------------------------------------------------


@pytest.mark.parametrize("version", [3, 4])
@pytest.mark.parametrize(
    "options",
    [
        {"sibling_layout": "right_list"},
        {"sibling_layout": "left_list"},
        {"sibling_layout": "unsorted_tree"},
        {"pad_to_sector": False},
        {"trailing": b"appended after the container" * 100},
        {"fat_tail": "zero"},
        {"size_high_garbage": True},
        {"chain_order": "interleaved"},
        {"root_name": "R"},
    ],
    ids=lambda o: "-".join(f"{k}={str(v)[:12]}" for k, v in o.items()),
)
def test_odd_but_valid_containers_open(tmp_path, version, options):
    entries, expected = scan_run(12, lambda k: 150 + 40 * k)
    entries = {"Other": b"x" * 5000, **entries, "Another/Thing": b"y" * 100}
    data, _ = build_cfb_layout(entries, version, **options)
    assert_scans(write(tmp_path, data), expected)


@pytest.mark.parametrize(
    "storage, index, raw",
    [
        ("gcms raw data", "spectrum index", "ms raw data"),
        ("GCMS RAW DATA", "SPECTRUM INDEX", "MS RAW DATA"),
        ("gCmS rAw DaTa", "Spectrum INDEX", "ms Raw data"),
    ],
)
def test_names_match_without_regard_to_case(tmp_path, storage, index, raw):
    entries, expected = scan_run(3, lambda k: 10 + k)
    renamed = {f"{storage}/{index}": entries[GCMS_INDEX], f"{storage}/{raw}": entries[GCMS_DATA]}
    data, _ = build_cfb_layout(renamed, sibling_layout="unsorted_tree")
    assert_scans(write(tmp_path, data), expected)


def test_near_miss_names_are_not_taken_for_the_wanted_ones(tmp_path):
    entries, expected = scan_run(2, lambda k: 5)
    decoys = {
        "GCMS Raw Data/MS Raw Dat": b"\xff" * 64,
        "GCMS Raw Data/MS Raw Data ": b"\xff" * 64,
        "GCMS Raw Data/MS Raw Data2": b"\xff" * 64,
        "GCMS Raw Data/Spectrum Indeks": b"\xff" * 8,
        "MS Raw Data": b"\xff" * 64,
    }
    for layout in ("tree", "right_list"):
        data, _ = build_cfb_layout({**decoys, **entries}, sibling_layout=layout)
        assert_scans(write(tmp_path, data), expected)


@pytest.mark.timeout(60)
@pytest.mark.parametrize("layout", ["right_list", "left_list", "tree"])
def test_thousands_of_siblings(tmp_path, layout):
    # A right-only list of 5000 siblings is 5000 levels deep: readers that
    # recurse on it run out of stack.
    entries, expected = scan_run(2, lambda k: 3)
    crowd = {f"GCMS Raw Data/entry {i:05d}": b"" for i in range(2500)}
    crowd.update({f"root entry {i:05d}": None for i in range(2500)})
    data, _ = build_cfb_layout({**crowd, **entries}, sibling_layout=layout)
    assert_scans(write(tmp_path, data), expected)


@pytest.mark.timeout(60)
def test_deeply_nested_storages(tmp_path):
    entries, expected = scan_run(1, lambda k: 3)
    deep = "/".join(["d"] * 3000) + "/leaf"
    data, _ = build_cfb_layout({deep: b"z", **entries}, sibling_layout="right_list")
    assert_scans(write(tmp_path, data), expected)


def test_empty_streams_open_with_no_scans(tmp_path):
    data, _ = build_cfb_layout({GCMS_INDEX: b"", GCMS_DATA: b""})
    assert RawReader(write(tmp_path, data)).scan_count == 0


# --- entries that are not there ---------------------------------------------------


@pytest.mark.parametrize(
    "entries, path, detail",
    [
        ({GCMS_INDEX: b""}, GCMS_DATA, "no entry named 'MS Raw Data' in storage 'GCMS Raw Data'"),
        ({GCMS_INDEX: b"", GCMS_DATA + "/x": b""}, GCMS_DATA, "storage 'MS Raw Data' is a storage, not a stream"),
        ({GCMS_INDEX: None, GCMS_DATA: b""}, GCMS_INDEX, "storage 'Spectrum Index' is a storage, not a stream"),
    ],
)
def test_missing_or_storage_where_a_stream_should_be(tmp_path, entries, path, detail):
    data, _ = build_cfb_layout(entries)
    assert error_of(write(tmp_path, data)) == f"parse error: stream '{path}' not found: {detail}"


def test_file_name_with_a_nul_byte_is_refused(tmp_path):
    assert error_of(str(tmp_path / "x\0y.qgd")) == "I/O error: file name contained an unexpected NUL byte"


# --- hostile containers: header ----------------------------------------------------------


def small_container(version=3, **options):
    """A valid file with a mini stream index and a data stream in regular sectors."""
    entries, expected = scan_run(6, lambda k: 300 + 10 * k)
    data, layout = build_cfb_layout(entries, version, **options)
    return bytearray(data), layout, expected


def test_small_container_is_valid(tmp_path):
    for version in (3, 4):
        data, _, expected = small_container(version)
        assert_scans(write(tmp_path, data), expected)


def patch_header(field_offset, fmt, value):
    def patch(data, layout):
        struct.pack_into(fmt, data, field_offset, value)
        return data

    return patch


HEADER_CASES = {
    "empty file": (3, lambda d, l: d[:0], "shorter than the 512-byte header"),
    "cut inside the header": (3, lambda d, l: d[:300], "shorter than the 512-byte header"),
    "bad signature": (3, patch_header(0, "<Q", 0x0A1A0A0D474E5089), "signature"),
    "major version 5": (3, patch_header(0x1A, "<H", 5), "major version is 5"),
    "major version 0": (3, patch_header(0x1A, "<H", 0), "major version is 0"),
    "byte order": (3, patch_header(0x1C, "<H", 0xFEFF), "byte order"),
    "v3 with 4096-byte sectors": (3, patch_header(0x1E, "<H", 12), "sector shift is 12"),
    "v4 with 512-byte sectors": (4, patch_header(0x1E, "<H", 9), "sector shift is 9"),
    "huge sector shift": (3, patch_header(0x1E, "<H", 0xFFFF), "sector shift"),
    "mini sector shift": (3, patch_header(0x20, "<H", 7), "mini sector shift"),
    "mini stream cutoff": (3, patch_header(0x38, "<I", 0), "mini stream cutoff"),
    "v4 cut after the header sector": (4, lambda d, l: d[:4096], ""),
}


@pytest.mark.timeout(30)
@pytest.mark.parametrize("case", HEADER_CASES, ids=list(HEADER_CASES))
def test_broken_header(tmp_path, case):
    version, patch, detail = HEADER_CASES[case]
    data, layout, _ = small_container(version)
    message = error_of(write(tmp_path, patch(data, layout)))
    assert message.startswith(NOT_CFB) and detail in message


# --- hostile containers: DIFAT and FAT ---------------------------------------------------


def fill_fat(value):
    def patch(data, layout):
        for s in layout.fat_sectors:
            off = layout.sector_offset(s)
            data[off : off + layout.sector_size] = struct.pack("<I", value) * (layout.sector_size // 4)
        return data

    return patch


def set_fat(sector_of, value_of):
    def patch(data, layout):
        put_u32(data, layout.fat_entry_offset(sector_of(layout)), value_of(layout))
        return data

    return patch


def looping_difat(data, layout):
    # 109 header entries and one DIFAT sector that lists itself as the next:
    # the FAT count hint is cleared so only the loop check can stop the walk.
    assert layout.sector_count > 250
    put_u32(data, 0x2C, 0)
    for i in range(109):
        put_u32(data, 0x4C + 4 * i, 1 + i)
    difat = 240
    put_u32(data, 0x44, difat)
    base = layout.sector_offset(difat)
    for i in range(127):
        put_u32(data, base + 4 * i, 110 + i)
    put_u32(data, base + 4 * 127, difat)
    return data


FAT_CASES = {
    "all-zero FAT": (fill_fat(0), "loops"),
    "all-free FAT": (fill_fat(FREESECT), "FREESECT"),
    "no FAT sector listed": (lambda d, l: d[:0x4C] + b"\xff" * 436 + d[0x200:], "lists no FAT sector"),
    "FAT sector past the end": (patch_header(0x4C, "<I", 10**6), "past the end of the file"),
    "FAT sector listed twice": (
        lambda d, l: patch_header(0x2C, "<I", 2)(patch_header(0x50, "<I", l.fat_sectors[0])(d, l), l),
        "listed twice",
    ),
    "looping DIFAT chain": (looping_difat, "DIFAT chain loops"),
    "DIFAT chain past the end": (
        lambda d, l: patch_header(0x44, "<I", 10**6)(looping_difat(d, l), l),
        "DIFAT sector 1000000",
    ),
    "looping directory chain": (
        set_fat(lambda l: l.directory_sectors[-1], lambda l: l.directory_sectors[0]),
        "chain of the directory loops",
    ),
    "directory chain past the end": (patch_header(0x30, "<I", 10**6), "past the end of the file"),
    "directory chain into a free sector": (
        set_fat(lambda l: l.directory_sectors[0], lambda l: FREESECT),
        "holds FREESECT",
    ),
    "looping mini FAT chain": (
        set_fat(lambda l: l.minifat_sectors[0], lambda l: l.minifat_sectors[0]),
        "mini FAT loops",
    ),
    "looping mini stream": (
        set_fat(lambda l: l.ministream_sectors[0], lambda l: l.ministream_sectors[0]),
        "chain of the mini stream loops",
    ),
}


@pytest.mark.timeout(30)
@pytest.mark.parametrize("case", FAT_CASES, ids=list(FAT_CASES))
def test_broken_difat_or_fat(tmp_path, case):
    patch, detail = FAT_CASES[case]
    # Enough entries for a directory of several sectors and a mini stream of several.
    entries, _ = scan_run(300, lambda k: 10)
    entries.update({f"extra {i}": bytes(300) for i in range(40)})
    entries["big"] = bytes(150_000)
    data, layout = build_cfb_layout(entries, 3)
    assert len(layout.directory_sectors) > 1 and len(layout.ministream_sectors) > 1
    message = error_of(write(tmp_path, patch(bytearray(data), layout)))
    assert message.startswith(NOT_CFB) and detail in message


# --- hostile containers: directory --------------------------------------------------------


def set_entry(path, field_offset, value):
    def patch(data, layout):
        fmt = {0x40: "<H", 0x42: "<B"}.get(field_offset, "<I")
        struct.pack_into(fmt, data, layout.path_entry_offset(path) + field_offset, value)
        return data

    return patch


DIRECTORY_CASES = {
    "child id past the directory": (set_entry("GCMS Raw Data", 0x4C, 10**6), "past the end of the directory"),
    "sibling id past the directory": (set_entry(GCMS_INDEX, 0x48, 5000), "past the end of the directory"),
    "entry is its own sibling": (
        lambda d, l: set_entry(GCMS_INDEX, 0x44, l.entry_ids[GCMS_INDEX])(d, l),
        "reached twice",
    ),
    "child links back to its storage": (
        lambda d, l: set_entry(GCMS_INDEX, 0x44, l.entry_ids["GCMS Raw Data"])(d, l),
        "reached twice",
    ),
    "child links back to the root": (set_entry(GCMS_INDEX, 0x44, 0), "reached twice"),
    "two storages share a child": (
        lambda d, l: set_entry("Other", 0x4C, l.entry_ids[GCMS_INDEX])(d, l),
        "reached twice",
    ),
    "unused entry linked into the tree": (set_entry(GCMS_INDEX, 0x42, 0), "has type 0"),
    "root linked as a child": (set_entry(GCMS_INDEX, 0x42, 5), "has type 5"),
    "root entry is a storage": (lambda d, l: set_entry("", 0x42, 1)(d, l), "expected 5"),
    "name length too long": (lambda d, l: set_entry(GCMS_INDEX, 0x40, 66)(d, l), "name length of 66"),
}


@pytest.mark.timeout(30)
@pytest.mark.parametrize("case", DIRECTORY_CASES, ids=list(DIRECTORY_CASES))
def test_broken_directory(tmp_path, case):
    patch, detail = DIRECTORY_CASES[case]
    entries, _ = scan_run(3, lambda k: 10)
    data, layout = build_cfb_layout({"Other": None, **entries}, 3, sibling_layout="right_list")
    message = error_of(write(tmp_path, patch(bytearray(data), layout)))
    assert message.startswith(NOT_CFB) and detail in message


# --- hostile containers: stream chains --------------------------------------------------


def chain(layout):
    return layout.chains[GCMS_DATA]


STREAM_CASES = {
    "chain loops": (set_fat(lambda l: chain(l)[2], lambda l: chain(l)[0]), "loops back"),
    "chain ends early": (set_fat(lambda l: chain(l)[1], lambda l: ENDOFCHAIN), "ends after 2 sectors"),
    "chain runs into a free sector": (set_fat(lambda l: chain(l)[1], lambda l: FREESECT), "holds FREESECT"),
    "chain points past the end": (set_fat(lambda l: chain(l)[1], lambda l: 812_000), "sector 812000"),
    "start sector past the end": (lambda d, l: set_entry(GCMS_DATA, 0x74, 10**6)(d, l), "past the end of the file"),
    "start sector is ENDOFCHAIN": (lambda d, l: set_entry(GCMS_DATA, 0x74, ENDOFCHAIN)(d, l), "ends after 0 sectors"),
    "4 GB declared in a small file": (set_entry(GCMS_DATA, 0x78, 0xFFFFFFFF), "declares 4294967295 bytes"),
    "size one sector too large": (
        lambda d, l: set_entry(GCMS_DATA, 0x78, u32(d, l.path_entry_offset(GCMS_DATA) + 0x78) + 512)(d, l),
        "",
    ),
    "file cut inside the stream": (lambda d, l: d[: l.sector_offset(chain(l)[3]) + 100], "the file holds only"),
    "file cut inside the last sector": (lambda d, l: d[: l.sector_offset(chain(l)[-1]) + 100], "past the end of the file"),
    "mini chain loops": (
        lambda d, l: d
        if put_u32(d, l.minifat_entry_offset(l.mini_chains[GCMS_INDEX][0]), l.mini_chains[GCMS_INDEX][0])
        else d,
        "loops back to mini sector",
    ),
    "mini start past the mini stream": (set_entry(GCMS_INDEX, 0x74, 10**5), "past the end of the mini stream"),
}


@pytest.mark.timeout(30)
@pytest.mark.parametrize("case", STREAM_CASES, ids=list(STREAM_CASES))
def test_broken_stream_chain(tmp_path, case):
    patch, detail = STREAM_CASES[case]
    entries, _ = scan_run(20, lambda k: 100)  # index of 80 bytes (mini), data of 8640 bytes (17 sectors)
    data, layout = build_cfb_layout(entries, 3)
    assert GCMS_INDEX in layout.mini_chains and len(chain(layout)) > 4
    message = error_of(write(tmp_path, patch(bytearray(data), layout)))
    assert message.startswith(READ_FAILED) and detail in message


@pytest.mark.timeout(30)
@pytest.mark.parametrize("size", [1 << 32, 1 << 40, (1 << 63) + 5, (1 << 64) - 1])
def test_v4_absurd_declared_sizes_fail_before_allocating(tmp_path, size):
    # Only the declared size changes: a reader that allocates it first would
    # need up to 16 EiB before noticing.
    data, layout, _ = small_container(4)
    put_u64(data, layout.path_entry_offset(GCMS_DATA) + 0x78, size)
    assert error_of(write(tmp_path, data)).startswith(READ_FAILED + "stream 'MS Raw Data' declares")


@pytest.mark.timeout(30)
def test_v4_mini_stream_of_absurd_size_is_refused_at_open(tmp_path):
    data, layout, _ = small_container(4)
    put_u64(data, layout.path_entry_offset("") + 0x78, 1 << 50)
    assert error_of(write(tmp_path, data)).startswith(NOT_CFB + "the mini stream's size")


# --- random damage ----------------------------------------------------------------------------

_SEED_FILE = None


def seed_container():
    global _SEED_FILE
    if _SEED_FILE is None:
        entries, _ = scan_run(30, lambda k: 20 + 7 * k)
        entries.update({f"Other/s{i}": bytes([i]) * (i * 150) for i in range(40)})
        _SEED_FILE = build_cfb_layout(entries, 3)[0]
    return _SEED_FILE


def outcome(tmp_path_factory, data):
    path = tmp_path_factory.getbasetemp() / "fuzz.qgd"
    path.write_bytes(data)
    try:
        reader = RawReader(str(path))
    except RuntimeError as err:
        assert "\n" not in str(err)
        return
    for i in range(reader.scan_count):
        reader.read_spectrum(i)


@pytest.mark.timeout(300)
@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(st.lists(st.tuples(st.integers(0, 20_000), st.integers(0, 255)), min_size=1, max_size=12))
def test_byte_damage_never_crashes(tmp_path_factory, flips):
    data = bytearray(seed_container())
    # Most structure lies in the header and the first sectors: aim half of
    # the damage there.
    for pos, value in flips:
        at = pos % 2048 if pos % 2 else pos % len(data)
        data[at] = value
    outcome(tmp_path_factory, bytes(data))


@pytest.mark.timeout(300)
@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(st.binary(min_size=0, max_size=3000), st.sampled_from([3, 4]))
def test_random_tables_behind_a_valid_header_never_crash(tmp_path_factory, body, version):
    # Signature, version and sector sizes are right, so the random header
    # fields (FAT count, directory, mini FAT and DIFAT starts, DIFAT entries)
    # and the random sectors behind them reach the table checks.
    header = bytearray(body[:512].ljust(512, b"\0"))
    header[:8] = bytes.fromhex("D0CF11E0A1B11AE1")
    struct.pack_into("<HHHH", header, 0x1A, version, 0xFFFE, 9 if version == 3 else 12, 6)
    put_u32(header, 0x38, 4096)
    outcome(tmp_path_factory, bytes(header) + body[512:])


WANTED = {"GCMS RAW DATA", "MS RAW DATA", "SPECTRUM INDEX"}


@settings(max_examples=25, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(
    st.dictionaries(
        st.text(st.characters(codec="utf-16", exclude_characters="/\0"), min_size=1, max_size=8).filter(
            lambda n: n.upper() not in WANTED
        ),
        st.one_of(st.none(), st.binary(max_size=5000)),
        max_size=20,
    ),
    st.sampled_from([3, 4]),
    st.sampled_from(["tree", "right_list", "unsorted_tree"]),
)
def test_scans_found_among_random_siblings(tmp_path_factory, siblings, version, layout):
    # The same random names beside the storage and beside the two streams.
    entries, expected = scan_run(3, lambda k: 50 * k)
    crowd = {**siblings, **{f"GCMS Raw Data/{name}": value for name, value in siblings.items()}}
    data, _ = build_cfb_layout({**crowd, **entries}, version, sibling_layout=layout)
    path = tmp_path_factory.getbasetemp() / "siblings.qgd"
    path.write_bytes(data)
    assert_scans(str(path), expected)


# --- loops and stray entries in the allocation tables ------------------------------------------


def looped_run(version):
    """120 scans: an index of 8 mini sectors and a data stream of 26 (v3) or 4 (v4) sectors."""
    entries, expected = scan_run(120, lambda k: 50)
    data, layout = build_cfb_layout(entries, version)
    assert len(layout.mini_chains[GCMS_INDEX]) == 8
    return bytearray(data), layout, expected


@pytest.mark.parametrize("version", [3, 4])
@pytest.mark.parametrize(
    "mini, back_from, back_to",
    # The chain runs into a loop that begins at its start, further in, or at
    # one sector that links to itself; the walk must name the loop's first
    # sector and count the sectors read before coming back to it.
    [(False, 2, 0), (False, 3, 1), (False, 2, 2), (True, 5, 0), (True, 6, 3), (True, 4, 4)],
)
def test_chain_running_into_a_loop(tmp_path, version, mini, back_from, back_to):
    data, layout, _ = looped_run(version)
    if mini:
        chain, entry_offset, unit = layout.mini_chains[GCMS_INDEX], layout.minifat_entry_offset, "mini sector"
    else:
        chain, entry_offset, unit = layout.chains[GCMS_DATA], layout.fat_entry_offset, "sector"
    put_u32(data, entry_offset(chain[back_from]), chain[back_to])
    stream = "Spectrum Index" if mini else "MS Raw Data"
    loop = f"loops back to {unit} {chain[back_to]} after {back_from + 1} {unit}s"
    assert error_of(write(tmp_path, data)) == f"{READ_FAILED}the chain of stream '{stream}' {loop}"


@pytest.mark.parametrize("version", [3, 4])
def test_a_last_sector_linking_back_is_not_followed(tmp_path, version):
    # The chain holds every sector its size needs; where the last one links
    # to does not matter.
    data, layout, expected = looped_run(version)
    data_chain, index_chain = layout.chains[GCMS_DATA], layout.mini_chains[GCMS_INDEX]
    put_u32(data, layout.fat_entry_offset(data_chain[-1]), data_chain[0])
    put_u32(data, layout.minifat_entry_offset(index_chain[-1]), index_chain[0])
    assert_scans(write(tmp_path, data), expected)


STRAY_FAT_ENTRIES = {
    "loop among free sectors": lambda free, l: {free[0]: free[1], free[1]: free[2], free[2]: free[0]},
    "free sector linking to itself": lambda free, l: {free[1]: free[1]},
    "free sector linking past the end": lambda free, l: {free[0]: 812_000},
    "free sector holding a reserved value": lambda free, l: {free[0]: 0xFFFFFFFB},
    "free sector linking into a stream": lambda free, l: {free[0]: l.chains[GCMS_DATA][1]},
}


@pytest.mark.parametrize("version", [3, 4])
@pytest.mark.parametrize("case", STRAY_FAT_ENTRIES, ids=list(STRAY_FAT_ENTRIES))
def test_stray_fat_entries_that_no_chain_reaches_do_not_fail_the_open(tmp_path, version, case):
    # Bytes after the container give the FAT's free entries sectors inside
    # the file; writers leave stale values in such entries.
    entries, expected = scan_run(120, lambda k: 50)
    data, layout = build_cfb_layout(entries, version, trailing=bytes(4 * (512 if version == 3 else 4096)))
    data = bytearray(data)
    free = [layout.sector_count + k for k in range(3)]
    for sector, value in STRAY_FAT_ENTRIES[case](free, layout).items():
        put_u32(data, layout.fat_entry_offset(sector), value)
    assert_scans(write(tmp_path, data), expected)
