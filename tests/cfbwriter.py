"""A small Compound File Binary ([MS-CFB]) writer for the tests.

It turns a dict of container paths into the bytes of a compound file, so that
tests can make the containers the reader must open (and, by patching bytes,
the ones it must refuse) without shipping binary files. It shares no code with
the C++ reader: it is written from the format, and test_cfbwriter.py checks it
once against olefile, an independent reader.

    write_cfb(path, {"GCMS Raw Data/Spectrum Index": b"...",
                     "GCMS Raw Data/MS Raw Data": b"...",
                     "Empty Storage": None})

Values are bytes for a stream and None for a storage; storages on the way to
an entry are created implicitly. Data flow: the paths become a tree of
directory entries; streams below the mini stream cutoff (4096 bytes) are
packed into the mini stream, the others get whole sectors; then the number of
FAT and DIFAT sectors is solved for, every sector is numbered, and the header,
tables, directory and stream sectors are laid out in sector order.

`build_cfb_layout` also returns a `Layout` naming where every structure ended
up (sector numbers and byte offsets), for tests that corrupt a valid file.
"""

from __future__ import annotations

import struct
from dataclasses import dataclass, field

__all__ = [
    "build_cfb",
    "build_cfb_layout",
    "write_cfb",
    "Layout",
    "put_u32",
    "put_u64",
    "MAXREGSECT",
    "DIFSECT",
    "FATSECT",
    "ENDOFCHAIN",
    "FREESECT",
    "NOSTREAM",
]

SIGNATURE = bytes.fromhex("D0CF11E0A1B11AE1")
MAXREGSECT = 0xFFFFFFFA
DIFSECT = 0xFFFFFFFC
FATSECT = 0xFFFFFFFD
ENDOFCHAIN = 0xFFFFFFFE
FREESECT = 0xFFFFFFFF
NOSTREAM = 0xFFFFFFFF

MINI_SECTOR_SIZE = 64
MINI_STREAM_CUTOFF = 4096
HEADER_DIFAT_ENTRIES = 109
DIR_ENTRY_SIZE = 128

TYPE_STORAGE = 1
TYPE_STREAM = 2
TYPE_ROOT = 5
COLOUR_BLACK = 1


def put_u32(data: bytearray, offset: int, value: int) -> None:
    struct.pack_into("<I", data, offset, value & 0xFFFFFFFF)


def put_u64(data: bytearray, offset: int, value: int) -> None:
    struct.pack_into("<Q", data, offset, value & 0xFFFFFFFFFFFFFFFF)


def _upper_unit(unit: int) -> int:
    """Simple upper-casing of one UTF-16 code unit, as [MS-CFB] 2.6.4 compares names."""
    if 0xD800 <= unit <= 0xDFFF:
        return unit
    up = chr(unit).upper()
    return ord(up) if len(up) == 1 and ord(up) <= 0xFFFF else unit


def _utf16_units(name: str) -> list[int]:
    raw = name.encode("utf-16-le")
    return [raw[i] | (raw[i + 1] << 8) for i in range(0, len(raw), 2)]


def name_order_key(name: str) -> tuple:
    """[MS-CFB] 2.6.4 order of sibling names: shorter first, then code units upper-cased."""
    units = _utf16_units(name)
    return (len(units), [_upper_unit(u) for u in units])


@dataclass
class _Node:
    name: str
    kind: int  # TYPE_STORAGE, TYPE_STREAM or TYPE_ROOT
    data: bytes | None = None
    children: list["_Node"] = field(default_factory=list)
    entry_id: int = 0
    left: int = NOSTREAM
    right: int = NOSTREAM
    child: int = NOSTREAM
    start: int = ENDOFCHAIN
    size: int = 0


@dataclass
class Layout:
    """Where each structure of a built container lies."""

    version: int
    sector_size: int
    sector_count: int  # sectors after the header, padding included
    fat_sectors: list[int]
    difat_sectors: list[int]
    directory_sectors: list[int]
    minifat_sectors: list[int]
    ministream_sectors: list[int]
    entry_ids: dict[str, int]  # "" is the root
    chains: dict[str, list[int]]  # regular sector chain of each stream in regular sectors
    mini_chains: dict[str, list[int]]  # mini sector chain of each stream in the mini stream
    file_size: int  # container bytes, before any trailing data

    def sector_offset(self, sector: int) -> int:
        """Byte offset of a regular sector: sector n follows the header sector ([MS-CFB] 2.2)."""
        return (sector + 1) * self.sector_size

    def entry_offset(self, entry_id: int) -> int:
        """Byte offset of a directory entry."""
        per_sector = self.sector_size // DIR_ENTRY_SIZE
        sector = self.directory_sectors[entry_id // per_sector]
        return self.sector_offset(sector) + (entry_id % per_sector) * DIR_ENTRY_SIZE

    def path_entry_offset(self, path: str) -> int:
        return self.entry_offset(self.entry_ids[path])

    def fat_entry_offset(self, sector: int) -> int:
        """Byte offset of FAT[sector]."""
        per_sector = self.sector_size // 4
        fat_sector = self.fat_sectors[sector // per_sector]
        return self.sector_offset(fat_sector) + (sector % per_sector) * 4

    def minifat_entry_offset(self, mini_sector: int) -> int:
        per_sector = self.sector_size // 4
        sector = self.minifat_sectors[mini_sector // per_sector]
        return self.sector_offset(sector) + (mini_sector % per_sector) * 4

    @staticmethod
    def header_difat_offset(index: int) -> int:
        return 0x4C + 4 * index


def _build_tree(entries: dict[str, bytes | None], root_name: str) -> tuple[_Node, dict[str, _Node]]:
    root = _Node(root_name, TYPE_ROOT)
    by_path: dict[str, _Node] = {"": root}
    for path, value in entries.items():
        parts = path.split("/")
        if not path or any(not p for p in parts):
            raise ValueError(f"bad container path {path!r}")
        parent = root
        for depth, part in enumerate(parts):
            if len(_utf16_units(part)) > 31:
                raise ValueError(f"entry name {part!r} is longer than 31 UTF-16 code units")
            sub_path = "/".join(parts[: depth + 1])
            last = depth == len(parts) - 1
            node = by_path.get(sub_path)
            if node is None:
                if last and value is not None:
                    node = _Node(part, TYPE_STREAM, data=bytes(value))
                else:
                    node = _Node(part, TYPE_STORAGE)
                parent.children.append(node)
                by_path[sub_path] = node
            elif last:
                raise ValueError(f"container path {path!r} given twice")
            elif node.kind == TYPE_STREAM:
                raise ValueError(f"{sub_path!r} is a stream and cannot hold {path!r}")
            parent = node
    return root, by_path


def _link_siblings(parent: _Node, layout: str) -> None:
    """Link a storage's children through left/right sibling ids and set its child id."""
    kids = parent.children
    if not kids:
        parent.child = NOSTREAM
        return
    if layout == "right_list":
        # Some writers chain every child through its right sibling, in any order.
        for a, b in zip(kids, kids[1:]):
            a.right = b.entry_id
        parent.child = kids[0].entry_id
        return
    if layout == "left_list":
        for a, b in zip(kids, kids[1:]):
            a.left = b.entry_id
        parent.child = kids[0].entry_id
        return
    if layout == "tree":
        ordered = sorted(kids, key=lambda n: name_order_key(n.name))
    elif layout == "unsorted_tree":
        # A balanced tree over the insertion order: a tree whose order is wrong.
        ordered = list(kids)
    else:
        raise ValueError(f"unknown sibling_layout {layout!r}")

    def balanced(lo: int, hi: int) -> int:
        if lo >= hi:
            return NOSTREAM
        mid = (lo + hi) // 2
        node = ordered[mid]
        node.left = balanced(lo, mid)
        node.right = balanced(mid + 1, hi)
        return node.entry_id

    parent.child = balanced(0, len(ordered))


def _ceil_div(a: int, b: int) -> int:
    return -(-a // b)


def build_cfb_layout(
    entries: dict[str, bytes | None],
    version: int = 3,
    *,
    sibling_layout: str = "tree",
    pad_to_sector: bool = True,
    trailing: bytes = b"",
    root_name: str = "Root Entry",
    chain_order: str = "sequential",
    fat_tail: str = "free",
    size_high_garbage: bool = False,
) -> tuple[bytes, Layout]:
    """Builds a compound file and says where its structures lie.

    Options for odd but valid files:
      sibling_layout  "tree" (balanced, [MS-CFB] name order), "unsorted_tree"
                      (balanced over insertion order), "right_list" or
                      "left_list" (each child links the next one)
      pad_to_sector   False cuts the file right after the last byte in use
      trailing        bytes appended after the container
      chain_order     "sequential", "interleaved" (the regular streams' sectors
                      alternate) or "reversed" (each chain runs backwards)
      fat_tail        "free" or "zero": value of FAT entries past the last sector
      size_high_garbage  v3 only: junk in the high 32 bits of stream sizes
    """
    if version == 3:
        shift = 9
    elif version == 4:
        shift = 12
    else:
        raise ValueError("version must be 3 or 4")
    ss = 1 << shift
    per_fat = ss // 4
    per_dir = ss // DIR_ENTRY_SIZE

    root, by_path = _build_tree(entries, root_name)

    # Entry ids: the root is 0, then the entries in the order they were created.
    nodes: list[_Node] = [root]
    for path, node in by_path.items():
        if path:
            node.entry_id = len(nodes)
            nodes.append(node)
    for node in nodes:
        if node.kind != TYPE_STREAM:
            _link_siblings(node, sibling_layout)

    # Mini stream: streams below the cutoff, each padded to whole mini sectors.
    mini_paths: list[str] = []
    regular_paths: list[str] = []
    for path, node in by_path.items():
        if node.kind == TYPE_STREAM:
            node.size = len(node.data)
            if node.size == 0:
                node.start = ENDOFCHAIN
            elif node.size < MINI_STREAM_CUTOFF:
                mini_paths.append(path)
            else:
                regular_paths.append(path)

    ministream = bytearray()
    minifat: list[int] = []
    mini_chains: dict[str, list[int]] = {}
    for path in mini_paths:
        node = by_path[path]
        count = _ceil_div(node.size, MINI_SECTOR_SIZE)
        first = len(minifat)
        chain = list(range(first, first + count))
        minifat.extend(chain[1:] + [ENDOFCHAIN])
        mini_chains[path] = chain
        node.start = first
        ministream += node.data + bytes(count * MINI_SECTOR_SIZE - node.size)

    n_dir = _ceil_div(len(nodes), per_dir)
    n_minifat = _ceil_div(len(minifat) * 4, ss)
    n_ministream = _ceil_div(len(ministream), ss)
    stream_counts = [_ceil_div(by_path[p].size, ss) for p in regular_paths]
    n_data = n_dir + n_minifat + n_ministream + sum(stream_counts)

    # Solve for the FAT and DIFAT sector counts: the FAT must also map itself
    # and the DIFAT sectors; past 109 FAT sectors the header's DIFAT is full
    # and each DIFAT sector lists per_fat - 1 more ([MS-CFB] 2.5).
    n_fat, n_difat = 0, 0
    while True:
        need = _ceil_div(n_data + n_fat + n_difat, per_fat)
        need_difat = max(0, _ceil_div(need - HEADER_DIFAT_ENTRIES, per_fat - 1))
        if need == n_fat and need_difat == n_difat:
            break
        n_fat, n_difat = need, need_difat

    next_sector = 0

    def take(count: int) -> list[int]:
        nonlocal next_sector
        out = list(range(next_sector, next_sector + count))
        next_sector += count
        return out

    fat_sectors = take(n_fat)
    difat_sectors = take(n_difat)
    dir_sectors = take(n_dir)
    minifat_sectors = take(n_minifat)
    ministream_sectors = take(n_ministream)
    stream_pool = take(sum(stream_counts))
    sector_count = next_sector

    # Regular stream chains.
    chains: dict[str, list[int]] = {}
    if chain_order == "interleaved":
        slots: list[list[int]] = [[] for _ in regular_paths]
        it = iter(stream_pool)
        remaining = list(stream_counts)
        while any(remaining):
            for i, left in enumerate(remaining):
                if left:
                    slots[i].append(next(it))
                    remaining[i] -= 1
    elif chain_order in ("sequential", "reversed"):
        slots = []
        pos = 0
        for count in stream_counts:
            run = stream_pool[pos : pos + count]
            pos += count
            slots.append(run[::-1] if chain_order == "reversed" else run)
    else:
        raise ValueError(f"unknown chain_order {chain_order!r}")
    for path, chain in zip(regular_paths, slots):
        chains[path] = chain
        by_path[path].start = chain[0]

    fat = [FREESECT] * (n_fat * per_fat)
    if fat_tail == "zero":
        for i in range(sector_count, len(fat)):
            fat[i] = 0
    elif fat_tail != "free":
        raise ValueError(f"unknown fat_tail {fat_tail!r}")
    for s in fat_sectors:
        fat[s] = FATSECT
    for s in difat_sectors:
        fat[s] = DIFSECT

    def link(chain: list[int]) -> None:
        for a, b in zip(chain, chain[1:]):
            fat[a] = b
        if chain:
            fat[chain[-1]] = ENDOFCHAIN

    for chain in (dir_sectors, minifat_sectors, ministream_sectors, *chains.values()):
        link(chain)

    if ministream:
        root.start = ministream_sectors[0]
        root.size = len(ministream)
    else:
        root.start = ENDOFCHAIN
        root.size = 0

    # Bytes in use in each sector, so an unpadded file can stop mid-sector.
    used = [ss] * sector_count
    if ministream_sectors:
        used[ministream_sectors[-1]] = len(ministream) - (n_ministream - 1) * ss
    for path, chain in chains.items():
        used[chain[-1]] = by_path[path].size - (len(chain) - 1) * ss

    out = bytearray((sector_count + 1) * ss)

    # Header ([MS-CFB] 2.2).
    out[0:8] = SIGNATURE
    struct.pack_into("<HHHHH", out, 0x18, 0x3E, version, 0xFFFE, shift, 6)
    put_u32(out, 0x28, n_dir if version == 4 else 0)
    put_u32(out, 0x2C, n_fat)
    put_u32(out, 0x30, dir_sectors[0])
    put_u32(out, 0x38, MINI_STREAM_CUTOFF)
    put_u32(out, 0x3C, minifat_sectors[0] if minifat_sectors else ENDOFCHAIN)
    put_u32(out, 0x40, n_minifat)
    put_u32(out, 0x44, difat_sectors[0] if difat_sectors else ENDOFCHAIN)
    put_u32(out, 0x48, n_difat)
    for i in range(HEADER_DIFAT_ENTRIES):
        put_u32(out, 0x4C + 4 * i, fat_sectors[i] if i < n_fat else FREESECT)

    def sector_view(sector: int) -> int:
        return (sector + 1) * ss

    # DIFAT sectors: per_fat - 1 FAT sector numbers, then the next DIFAT sector.
    rest = fat_sectors[HEADER_DIFAT_ENTRIES:]
    for k, s in enumerate(difat_sectors):
        base = sector_view(s)
        part = rest[k * (per_fat - 1) : (k + 1) * (per_fat - 1)]
        for i in range(per_fat - 1):
            put_u32(out, base + 4 * i, part[i] if i < len(part) else FREESECT)
        nxt = difat_sectors[k + 1] if k + 1 < len(difat_sectors) else ENDOFCHAIN
        put_u32(out, base + 4 * (per_fat - 1), nxt)

    fat_bytes = struct.pack(f"<{len(fat)}I", *fat)
    for k, s in enumerate(fat_sectors):
        out[sector_view(s) : sector_view(s) + ss] = fat_bytes[k * ss : (k + 1) * ss]

    minifat_padded = minifat + [FREESECT] * (n_minifat * per_fat - len(minifat))
    minifat_bytes = struct.pack(f"<{len(minifat_padded)}I", *minifat_padded)
    for k, s in enumerate(minifat_sectors):
        out[sector_view(s) : sector_view(s) + ss] = minifat_bytes[k * ss : (k + 1) * ss]

    for k, s in enumerate(ministream_sectors):
        piece = ministream[k * ss : (k + 1) * ss]
        out[sector_view(s) : sector_view(s) + len(piece)] = piece

    for path, chain in chains.items():
        data = by_path[path].data
        for k, s in enumerate(chain):
            piece = data[k * ss : (k + 1) * ss]
            out[sector_view(s) : sector_view(s) + len(piece)] = piece

    # Directory ([MS-CFB] 2.6): entries in id order, unused slots after them.
    dir_bytes = bytearray(n_dir * ss)
    for i in range(len(nodes), n_dir * per_dir):
        struct.pack_into("<III", dir_bytes, i * DIR_ENTRY_SIZE + 0x44, NOSTREAM, NOSTREAM, NOSTREAM)
    for node in nodes:
        base = node.entry_id * DIR_ENTRY_SIZE
        name = node.name.encode("utf-16-le")
        dir_bytes[base : base + len(name)] = name
        struct.pack_into("<HBB", dir_bytes, base + 0x40, len(name) + 2, node.kind, COLOUR_BLACK)
        struct.pack_into("<III", dir_bytes, base + 0x44, node.left, node.right, node.child)
        if node.kind == TYPE_STORAGE:
            start, size = 0, 0
        else:
            start, size = node.start, node.size
        if version == 3 and size_high_garbage and node.kind == TYPE_STREAM:
            size |= 0xDEADBEEF << 32
        struct.pack_into("<IQ", dir_bytes, base + 0x74, start, size)
    for k, s in enumerate(dir_sectors):
        out[sector_view(s) : sector_view(s) + ss] = dir_bytes[k * ss : (k + 1) * ss]

    if not pad_to_sector and sector_count:
        last = sector_count - 1
        del out[sector_view(last) + used[last] :]

    layout = Layout(
        version=version,
        sector_size=ss,
        sector_count=sector_count,
        fat_sectors=fat_sectors,
        difat_sectors=difat_sectors,
        directory_sectors=dir_sectors,
        minifat_sectors=minifat_sectors,
        ministream_sectors=ministream_sectors,
        entry_ids={p: n.entry_id for p, n in by_path.items()},
        chains=chains,
        mini_chains=mini_chains,
        file_size=len(out),
    )
    return bytes(out) + bytes(trailing), layout


def build_cfb(entries: dict[str, bytes | None], version: int = 3, **options) -> bytes:
    """The bytes of a compound file holding `entries` (see build_cfb_layout for options)."""
    return build_cfb_layout(entries, version, **options)[0]


def write_cfb(path, entries: dict[str, bytes | None], version: int = 3, **options) -> None:
    """Writes a compound file holding `entries` at `path`."""
    with open(path, "wb") as f:
        f.write(build_cfb(entries, version, **options))
