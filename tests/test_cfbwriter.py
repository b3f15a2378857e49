"""The test writer checked once against olefile, an independent reader.

Every container the other tests build comes from cfbwriter; these tests make
sure what it writes is a compound file another reader agrees with, so that a
failure elsewhere points at the module and not at the writer.
"""

import io
import random

import pytest

from cfbwriter import (
    ENDOFCHAIN,
    FREESECT,
    NOSTREAM,
    build_cfb,
    build_cfb_layout,
    name_order_key,
    write_cfb,
)

olefile = pytest.importorskip("olefile")


def payload(size: int, seed: int) -> bytes:
    return random.Random(seed).randbytes(size)


def read_all(data: bytes, entries: dict) -> None:
    ole = olefile.OleFileIO(io.BytesIO(data))
    try:
        for path, value in entries.items():
            if value is None:
                assert ole.get_type(path) == olefile.STGTY_STORAGE, path
            else:
                assert ole.get_type(path) == olefile.STGTY_STREAM, path
                assert ole.get_size(path) == len(value), path
                assert ole.openstream(path).read() == value, path
    finally:
        ole.close()


@pytest.mark.parametrize("version", [3, 4])
@pytest.mark.parametrize("size", [0, 1, 63, 64, 65, 4095, 4096, 4097, 3 * 4096 + 5])
def test_stream_sizes_around_mini_stream_cutoff(version, size):
    entries = {"GCMS Raw Data/MS Raw Data": payload(size, size), "GCMS Raw Data/Spectrum Index": b"\x01\x02"}
    data, layout = build_cfb_layout(entries, version)
    read_all(data, entries)
    in_mini = "GCMS Raw Data/MS Raw Data" in layout.mini_chains
    assert in_mini == (0 < size < 4096)


@pytest.mark.parametrize("version", [3, 4])
@pytest.mark.parametrize("chain_order", ["sequential", "interleaved", "reversed"])
def test_mixed_streams_and_nested_storages(version, chain_order):
    entries = {
        "GCMS Raw Data/MS Raw Data": payload(20000, 1),
        "GCMS Raw Data/Spectrum Index": payload(300, 2),
        "Outer/Inner/Deep/Leaf": payload(5000, 3),
        "Outer/Inner/Small": payload(10, 4),
        "Outer/Empty Storage": None,
        "Top": payload(4096, 5),
    }
    read_all(build_cfb(entries, version, chain_order=chain_order), entries)


@pytest.mark.parametrize("layout", ["tree", "unsorted_tree", "right_list", "left_list"])
def test_sibling_layouts_reach_every_entry(layout):
    entries = {f"S/{name}": payload(i * 50, i) for i, name in enumerate(["b", "A", "ccc", "Bb", "aa", "Z"])}
    read_all(build_cfb(entries, sibling_layout=layout), entries)


def test_tree_layout_keeps_name_order():
    names = ["Zeta", "alpha", "B", "beta", "MS Raw Data", "Spectrum Index", "é", "É1", "x"]
    entries = {f"S/{n}": b"1" for n in names}
    ole = olefile.OleFileIO(io.BytesIO(build_cfb(entries)))
    storage = ole.direntries[ole.root.sid_child]
    order: list[str] = []
    stack: list[int] = []
    sid = storage.sid_child
    while stack or sid != NOSTREAM:
        while sid != NOSTREAM:
            stack.append(sid)
            sid = ole.direntries[sid].sid_left
        sid = stack.pop()
        order.append(ole.direntries[sid].name)
        sid = ole.direntries[sid].sid_right
    assert order == sorted(names, key=name_order_key)
    ole.close()


@pytest.mark.parametrize("version", [3, 4])
def test_many_entries_span_directory_sectors(version):
    entries = {f"Storage {i % 7}/Stream {i}": payload(i % 300, i) for i in range(600)}
    data, layout = build_cfb_layout(entries, version)
    assert len(layout.directory_sectors) > 1
    read_all(data, entries)


def test_more_than_109_fat_sectors_uses_difat_sectors():
    # 109 v3 FAT sectors map 109 * 128 * 512 bytes (about 7.1 MB).
    entries = {
        "GCMS Raw Data/MS Raw Data": payload(7_500_000, 9),
        "GCMS Raw Data/Spectrum Index": payload(1000, 10),
    }
    data, layout = build_cfb_layout(entries, 3)
    assert len(layout.fat_sectors) > 109
    assert layout.difat_sectors
    read_all(data, entries)


def test_v4_header_sector_is_padded_and_sectors_are_4096():
    entries = {"A/B": payload(9000, 11)}
    data, layout = build_cfb_layout(entries, 4)
    assert layout.sector_size == 4096
    assert data[512:4096] == bytes(3584)
    assert len(data) % 4096 == 0
    read_all(data, entries)


def test_layout_locates_structures():
    entries = {"S/big": payload(9000, 12), "S/small": payload(100, 13)}
    data, layout = build_cfb_layout(entries, 3)
    chain = layout.chains["S/big"]
    start = layout.sector_offset(chain[0])
    assert data[start : start + 512] == entries["S/big"][:512]
    last_fat = int.from_bytes(data[layout.fat_entry_offset(chain[-1]) :][:4], "little")
    assert last_fat == ENDOFCHAIN
    entry = layout.path_entry_offset("S/small")
    assert data[entry : entry + 10] == "small".encode("utf-16-le")
    first_mini = layout.mini_chains["S/small"][0]
    assert int.from_bytes(data[entry + 0x74 : entry + 0x78], "little") == first_mini
    past_end = int.from_bytes(data[layout.fat_entry_offset(layout.sector_count) :][:4], "little")
    assert past_end == FREESECT


def test_unpadded_and_trailing_options(tmp_path):
    entries = {"S/big": payload(5000, 14)}
    padded = build_cfb(entries)
    unpadded = build_cfb(entries, pad_to_sector=False)
    assert len(padded) % 512 == 0
    assert len(unpadded) == len(padded) - (512 - 5000 % 512)
    with_tail = build_cfb(entries, trailing=b"junk")
    assert with_tail[:-4] == padded and with_tail[-4:] == b"junk"
    write_cfb(tmp_path / "x.qgd", entries, pad_to_sector=False)
    assert (tmp_path / "x.qgd").read_bytes() == unpadded
    read_all(with_tail, entries)


def test_rejects_paths_it_cannot_write():
    with pytest.raises(ValueError):
        build_cfb({"S/" + "n" * 32: b""})
    with pytest.raises(ValueError):
        build_cfb({"S": b"x", "S/T": b"y"})
    with pytest.raises(ValueError):
        build_cfb({"S//T": b"y"})
