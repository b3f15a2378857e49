// Reader of Compound File Binary containers ([MS-CFB]).
//
// Data flow. CompoundFile::open reads the 512-byte header, then the DIFAT
// (the header's 109 entries and the DIFAT sector chain) to learn which
// sectors hold the FAT, then the FAT itself, the directory chain, the mini
// FAT chain and the chain of the mini stream (the root entry's own stream).
// The directory tree is walked once, iteratively, and every storage's
// children are recorded in a flat list. All sector numbers met on the way are
// checked against the number of sectors the file holds, every chain against
// loops, so the tables in memory are sound and bounded by the file's size.
//
// Later, a path is resolved part by part by scanning the recorded children of
// each storage, and read_to_end walks the stream's chain (FAT or mini FAT),
// bounded by the sectors its declared size needs, after checking that size
// against the file. Runs of consecutive sectors are copied with one pread.
//
// Every failure is an Error value with a single-line message saying what was
// expected, what was found and where. No input makes this code recurse,
// loop without bound or allocate more than the file's size justifies.
#include "cfb/cfb.hpp"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <optional>
#include <span>
#include <system_error>
#include <utility>

#include "common/bytes.hpp"

namespace kelvara::cfb {
namespace {


// Special sector numbers ([MS-CFB] 2.1).
constexpr std::uint32_t kMaxRegSect = 0xFFFFFFFAu;
constexpr std::uint32_t kDifSect = 0xFFFFFFFCu;
constexpr std::uint32_t kFatSect = 0xFFFFFFFDu;
constexpr std::uint32_t kEndOfChain = 0xFFFFFFFEu;
constexpr std::uint32_t kFreeSect = 0xFFFFFFFFu;
constexpr std::uint32_t kNoStream = 0xFFFFFFFFu;

constexpr std::size_t kHeaderSize = 512;
constexpr std::size_t kHeaderDifatEntries = 109;
constexpr std::size_t kDirEntrySize = 128;
constexpr std::uint32_t kMiniSectorShift = 6;
constexpr std::uint64_t kMiniSectorSize = 1u << kMiniSectorShift;
constexpr std::uint64_t kMiniStreamCutoff = 4096;

constexpr std::uint8_t kTypeUnused = 0;
constexpr std::uint8_t kTypeStorage = 1;
constexpr std::uint8_t kTypeStream = 2;
constexpr std::uint8_t kTypeRoot = 5;

constexpr unsigned char kSignature[8] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};

std::string num(std::uint64_t value) { return std::to_string(value); }

Unexpected<Error> format_error(std::string message) {
  return Unexpected<Error>(Error{std::move(message)});
}

// How a special value found where a sector number was expected reads in a message.
std::string sector_text(std::uint32_t value) {
  switch (value) {
    case kFreeSect:
      return "FREESECT";
    case kEndOfChain:
      return "ENDOFCHAIN";
    case kFatSect:
      return "FATSECT";
    case kDifSect:
      return "DIFSECT";
    default:
      return num(value);
  }
}

// ---------------------------------------------------------------------------
// Names. Directory names are UTF-16 code units; paths arrive as UTF-8.

// Simple upper-casing of one UTF-16 code unit, as [MS-CFB] 2.6.4 compares
// names: ASCII, Latin-1, Latin Extended-A, Greek, Cyrillic, Armenian, Latin
// Extended Additional and the fullwidth forms. Code units outside these
// ranges compare as they are.
char16_t upper_unit(char16_t c) {
  const unsigned u = c;
  auto shifted = [](unsigned v, int delta) { return static_cast<char16_t>(static_cast<int>(v) + delta); };
  auto pair_upper_even = [&](unsigned v) { return static_cast<char16_t>(v & ~1u); };
  auto pair_upper_odd = [&](unsigned v) { return static_cast<char16_t>((v & 1u) ? v : v - 1); };
  if (u < 0x80) return (u >= 'a' && u <= 'z') ? shifted(u, -0x20) : c;
  if (u >= 0xE0 && u <= 0xFE && u != 0xF7) return shifted(u, -0x20);
  if (u == 0xFF) return u'\u0178';
  // U+0130 and U+0131 (dotted and dotless I) have no simple pair partner.
  if ((u >= 0x100 && u <= 0x12F) || (u >= 0x132 && u <= 0x137) || (u >= 0x14A && u <= 0x177)) {
    return pair_upper_even(u);
  }
  if ((u >= 0x139 && u <= 0x148) || (u >= 0x179 && u <= 0x17E)) return pair_upper_odd(u);
  if ((u >= 0x3B1 && u <= 0x3C1) || (u >= 0x3C3 && u <= 0x3CB)) return shifted(u, -0x20);
  if (u == 0x3C2) return u'\u03A3';
  if (u == 0x3AC) return u'\u0386';
  if (u >= 0x3AD && u <= 0x3AF) return shifted(u, -0x25);
  if (u == 0x3CC) return u'\u038C';
  if (u == 0x3CD || u == 0x3CE) return shifted(u, -0x3F);
  if (u >= 0x430 && u <= 0x44F) return shifted(u, -0x20);
  if (u >= 0x450 && u <= 0x45F) return shifted(u, -0x50);
  if ((u >= 0x460 && u <= 0x481) || (u >= 0x48A && u <= 0x4BF) || (u >= 0x4D0 && u <= 0x52F)) {
    return pair_upper_even(u);
  }
  if (u >= 0x4C1 && u <= 0x4CE) return pair_upper_odd(u);
  if (u >= 0x561 && u <= 0x586) return shifted(u, -0x30);
  if ((u >= 0x1E00 && u <= 0x1E95) || (u >= 0x1EA0 && u <= 0x1EFF)) return pair_upper_even(u);
  if (u >= 0xFF41 && u <= 0xFF5A) return shifted(u, -0x20);
  return c;
}

bool names_equal(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (upper_unit(a[i]) != upper_unit(b[i])) return false;
  }
  return true;
}

// Strict UTF-8 to UTF-16; nullopt for bytes that are not UTF-8.
std::optional<std::u16string> utf8_to_utf16(std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  std::size_t i = 0;
  while (i < text.size()) {
    const auto b0 = static_cast<unsigned char>(text[i]);
    std::uint32_t cp;
    std::size_t extra;
    if (b0 < 0x80) {
      cp = b0;
      extra = 0;
    } else if (b0 >= 0xC2 && b0 <= 0xDF) {
      cp = b0 & 0x1Fu;
      extra = 1;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
      cp = b0 & 0x0Fu;
      extra = 2;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
      cp = b0 & 0x07u;
      extra = 3;
    } else {
      return std::nullopt;
    }
    if (extra > text.size() - i - 1) return std::nullopt;
    for (std::size_t k = 1; k <= extra; ++k) {
      const auto b = static_cast<unsigned char>(text[i + k]);
      if ((b & 0xC0u) != 0x80u) return std::nullopt;
      cp = (cp << 6) | (b & 0x3Fu);
    }
    // Overlong forms, surrogates and values past U+10FFFF are not UTF-8.
    if ((extra == 2 && cp < 0x800) || (extra == 3 && cp < 0x10000) || cp > 0x10FFFF ||
        (cp >= 0xD800 && cp <= 0xDFFF)) {
      return std::nullopt;
    }
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800u + (cp >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00u + (cp & 0x3FFu)));
    } else {
      out.push_back(static_cast<char16_t>(cp));
    }
    i += extra + 1;
  }
  return out;
}

void append_utf8(std::string& out, std::uint32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0u | (cp >> 6)));
    out.push_back(static_cast<char>(0x80u | (cp & 0x3Fu)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0u | (cp >> 12)));
    out.push_back(static_cast<char>(0x80u | ((cp >> 6) & 0x3Fu)));
    out.push_back(static_cast<char>(0x80u | (cp & 0x3Fu)));
  } else {
    out.push_back(static_cast<char>(0xF0u | (cp >> 18)));
    out.push_back(static_cast<char>(0x80u | ((cp >> 12) & 0x3Fu)));
    out.push_back(static_cast<char>(0x80u | ((cp >> 6) & 0x3Fu)));
    out.push_back(static_cast<char>(0x80u | (cp & 0x3Fu)));
  }
}

// A name as it appears inside a message: UTF-8, lone surrogates as U+FFFD,
// control characters as '?' so that the message stays on one line.
std::string display_name(std::u16string_view name) {
  std::string out;
  for (std::size_t i = 0; i < name.size(); ++i) {
    std::uint32_t cp = name[i];
    if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < name.size() && name[i + 1] >= 0xDC00 && name[i + 1] <= 0xDFFF) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (static_cast<std::uint32_t>(name[i + 1]) - 0xDC00);
      ++i;
    } else if (cp >= 0xD800 && cp <= 0xDFFF) {
      cp = 0xFFFD;
    }
    if (cp < 0x20 || cp == 0x7F) cp = '?';
    append_utf8(out, cp);
  }
  return out;
}

std::string display_text(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
  }
  return out;
}

// ---------------------------------------------------------------------------
// Directory entries as kept after open ([MS-CFB] 2.6.1).

struct DirEntry {
  std::u16string name;
  std::uint8_t type = kTypeUnused;
  std::uint32_t left = kNoStream;
  std::uint32_t right = kNoStream;
  std::uint32_t child = kNoStream;
  std::uint32_t start = kEndOfChain;
  std::uint64_t size = 0;
  std::uint16_t name_bytes = 0;
};

std::uint64_t ceil_div(std::uint64_t value, std::uint64_t unit) { return value == 0 ? 0 : (value - 1) / unit + 1; }

// A table that chains units (sectors through the FAT, mini sectors through
// the mini FAT) and the number of units that exist behind it.
struct ChainTable {
  const std::vector<std::uint32_t>& next;
  std::uint64_t unit_count;  // units with data behind them: the file's sectors, the mini stream's mini sectors
  const char* unit;          // "sector" or "mini sector"
  const char* table;         // "FAT" or "mini FAT"
  const char* space;         // "the file" or "the mini stream"
};

// Follows a chain from `start`. With `needed`, collects exactly that many
// units (a stream's chain, whose length its size dictates); without, collects
// up to ENDOFCHAIN (a table's chain). Each unit must exist and appear once,
// so the walk ends after at most unit_count steps whatever the table holds.
Result<std::vector<std::uint32_t>> walk_chain(const ChainTable& t, std::uint32_t start, std::optional<std::uint64_t> needed,
                                              const std::string& what) {
  std::vector<std::uint32_t> units;
  if (needed) units.reserve(static_cast<std::size_t>(*needed));
  std::vector<bool> seen(static_cast<std::size_t>(t.unit_count), false);
  std::uint32_t current = start;
  std::uint32_t previous = kNoStream;
  while (true) {
    if (needed && units.size() == *needed) return units;
    if (current == kEndOfChain && !needed) return units;
    if (current > kMaxRegSect || (current == kEndOfChain && needed)) {
      if (current == kEndOfChain) {
        return format_error("the chain of " + what + " ends after " + num(units.size()) + " " + t.unit + "s, but its size needs " +
                            num(*needed));
      }
      std::string where = units.empty() ? std::string("as its first ") + t.unit
                                        : std::string("in the ") + t.table + " entry of " + t.unit + " " + num(previous);
      return format_error("the chain of " + what + " holds " + sector_text(current) + " " + where + ", where a " + t.unit +
                          " number was expected");
    }
    if (current >= t.unit_count) {
      return format_error(std::string(t.unit) + " " + num(current) + " in the chain of " + what + " lies past the end of " +
                          t.space + " (" + num(t.unit_count) + " " + t.unit + "s)");
    }
    if (seen[current]) {
      return format_error("the chain of " + what + " loops back to " + t.unit + " " + num(current) + " after " +
                          num(units.size()) + " " + t.unit + "s");
    }
    seen[current] = true;
    units.push_back(current);
    if (needed && units.size() == *needed) return units;
    if (current >= t.next.size()) {
      return format_error(std::string(t.unit) + " " + num(current) + " in the chain of " + what + " has no " + t.table +
                          " entry (the " + t.table + " has " + num(t.next.size()) + " entries)");
    }
    previous = current;
    current = t.next[current];
  }
}

}  // namespace

// ---------------------------------------------------------------------------
// CompoundFile

struct CompoundFile::State {
  explicit State(File f) : file(std::move(f)) {}

  File file;
  std::uint64_t file_size = 0;
  unsigned shift = 9;
  std::uint64_t sector_size = 512;
  std::uint64_t sector_count = 0;  // sectors of which at least one byte is in the file
  bool version3 = true;

  std::vector<std::uint32_t> fat;
  std::vector<std::uint32_t> minifat;
  std::vector<std::uint32_t> ministream_sectors;
  std::uint64_t ministream_size = 0;
  std::vector<DirEntry> entries;
  std::vector<std::vector<std::uint32_t>> children;  // per storage id, every child id

  std::uint64_t sector_offset(std::uint32_t sector) const { return (static_cast<std::uint64_t>(sector) + 1) << shift; }

  ChainTable fat_table() const { return ChainTable{fat, sector_count, "sector", "FAT", "the file"}; }
  ChainTable minifat_table() const {
    return ChainTable{minifat, ceil_div(ministream_size, kMiniSectorSize), "mini sector", "mini FAT", "the mini stream"};
  }

  // Reads whole sectors into `out` (sectors.size() * sector_size bytes),
  // one pread per run of consecutive sectors. A table sector cut short by
  // the end of the file reads as if padded with `fill` bytes.
  std::optional<Error> read_table_sectors(std::span<const std::uint32_t> sectors, std::uint8_t* out, std::uint8_t fill) const {
    std::size_t i = 0;
    while (i < sectors.size()) {
      std::size_t j = i + 1;
      while (j < sectors.size() && sectors[j] == sectors[j - 1] + 1) ++j;
      const std::uint64_t offset = sector_offset(sectors[i]);
      const std::uint64_t want = (j - i) * sector_size;
      const std::uint64_t have = offset >= file_size ? 0 : std::min(want, file_size - offset);
      std::uint8_t* dst = out + i * sector_size;
      if (have > 0) {
        auto got = file.read_exact_at(offset, dst, static_cast<std::size_t>(have));
        if (!got) return std::move(got).error();
      }
      std::memset(dst + have, fill, static_cast<std::size_t>(want - have));
      i = j;
    }
    return std::nullopt;
  }

  // Reads a table held in a sector chain as little-endian u32 values.
  Result<std::vector<std::uint32_t>> read_u32_sectors(std::span<const std::uint32_t> sectors) const {
    std::vector<std::uint8_t> bytes(sectors.size() * sector_size);
    // Past the end of the file a FAT or mini FAT reads as free sectors.
    if (auto error = read_table_sectors(sectors, bytes.data(), 0xFF)) return Unexpected<Error>(std::move(*error));
    return read_u32_array(bytes);
  }

  std::optional<Error> read_difat_and_fat(ByteView header);
  std::optional<Error> read_directory(std::uint32_t first_sector);
  std::optional<Error> read_mini_tables(std::uint32_t first_minifat_sector);
  std::optional<Error> link_tree();

  std::string entry_text(std::uint32_t id) const {
    if (id == 0) return "the root storage";
    const DirEntry& e = entries[id];
    return std::string(e.type == kTypeStream ? "stream" : "storage") + " '" + display_name(e.name) + "'";
  }

  // Resolves a UTF-8 path from the root; the error says which part is missing and where.
  Result<std::uint32_t> resolve(std::string_view path) const;
};

// The DIFAT lists the FAT sectors: up to 109 in the header, the rest in a
// chain of DIFAT sectors whose last u32 links the next ([MS-CFB] 2.5). The
// header's FAT sector count is used only to stop early, which also makes
// zero-padded DIFAT tails harmless; every listed sector must exist and be
// listed once, so the FAT read here is never larger than the file.
std::optional<Error> CompoundFile::State::read_difat_and_fat(ByteView header) {
  const std::uint32_t declared = header.u32(0x2C);
  std::vector<std::uint32_t> fat_sectors;
  std::vector<bool> listed(static_cast<std::size_t>(sector_count), false);
  bool done = false;

  auto take = [&](std::uint32_t sector, const std::string& where) -> std::optional<Error> {
    if (sector == kFreeSect || sector == kEndOfChain) {
      done = true;
      return std::nullopt;
    }
    if (sector >= sector_count) {
      return Error{"FAT sector " + sector_text(sector) + " listed " + where + " lies past the end of the file (" +
                                            num(sector_count) + " sectors)"};
    }
    if (listed[sector]) {
      return Error{"sector " + num(sector) + " is listed twice as a FAT or DIFAT sector (" + where + ")"};
    }
    listed[sector] = true;
    fat_sectors.push_back(sector);
    if (declared != 0 && fat_sectors.size() == declared) done = true;
    return std::nullopt;
  };

  for (std::size_t i = 0; i < kHeaderDifatEntries && !done; ++i) {
    if (auto error = take(header.u32(0x4C + 4 * i), "in header DIFAT entry " + num(i))) return error;
  }

  // The DIFAT sector chain, when the header's 109 entries did not suffice.
  const std::size_t per_sector = static_cast<std::size_t>(sector_size / 4);
  std::vector<std::uint8_t> difat(static_cast<std::size_t>(sector_size));
  std::uint32_t next = header.u32(0x44);
  std::uint64_t difat_index = 0;
  while (!done && next != kEndOfChain && next != kFreeSect) {
    if (next >= sector_count) {
      return Error{"DIFAT sector " + sector_text(next) + " (number " + num(difat_index) +
                                            " in the DIFAT chain) lies past the end of the file (" + num(sector_count) + " sectors)"};
    }
    if (listed[next]) {
      return Error{"the DIFAT chain loops back to sector " + num(next) + " after " + num(difat_index) +
                                            " DIFAT sectors"};
    }
    listed[next] = true;
    const std::uint32_t one[1] = {next};
    if (auto error = read_table_sectors(one, difat.data(), 0xFF)) return error;
    const ByteView view(difat);
    for (std::size_t i = 0; i + 1 < per_sector && !done; ++i) {
      if (auto error = take(view.u32(4 * i), "in entry " + num(i) + " of DIFAT sector " + num(next))) return error;
    }
    next = view.u32(4 * (per_sector - 1));
    ++difat_index;
  }

  if (fat_sectors.empty()) return Error{"the DIFAT lists no FAT sector"};
  auto fat_values = read_u32_sectors(fat_sectors);
  if (!fat_values) return std::move(fat_values).error();
  fat = std::move(*fat_values);
  // Entries for sectors past the end of the file are never followed; some
  // writers pad them with zeros, which must not look like links to sector 0.
  if (fat.size() > sector_count) fat.resize(static_cast<std::size_t>(sector_count));
  return std::nullopt;
}

// The directory is a chain of sectors of 128-byte entries ([MS-CFB] 2.6).
std::optional<Error> CompoundFile::State::read_directory(std::uint32_t first_sector) {
  auto chain = walk_chain(fat_table(), first_sector, std::nullopt, "the directory");
  if (!chain) return std::move(chain).error();
  if (chain->empty()) return Error{"the directory chain is empty (first directory sector is ENDOFCHAIN)"};
  std::vector<std::uint8_t> bytes(chain->size() * sector_size);
  // A directory sector cut short by the end of the file reads as unused entries.
  if (auto error = read_table_sectors(*chain, bytes.data(), 0)) return error;

  const ByteView view(bytes);
  const std::size_t count = bytes.size() / kDirEntrySize;
  entries.resize(count);
  for (std::size_t id = 0; id < count; ++id) {
    const ByteView raw = view.sub(id * kDirEntrySize, kDirEntrySize);
    DirEntry& e = entries[id];
    e.type = raw.u8(0x42);
    e.name_bytes = raw.u16(0x40);
    e.left = raw.u32(0x44);
    e.right = raw.u32(0x48);
    e.child = raw.u32(0x4C);
    e.start = raw.u32(0x74);
    // Version 3 writers may leave garbage in the high half of the size ([MS-CFB] 2.6.1).
    e.size = version3 ? raw.u32(0x78) : raw.u64(0x78);
    if (e.type == kTypeUnused) continue;
    const std::size_t units = std::min<std::size_t>(e.name_bytes / 2, 32);
    for (std::size_t k = 0; k < units; ++k) {
      const auto unit = static_cast<char16_t>(raw.u16(2 * k));
      if (unit == 0) break;
      e.name.push_back(unit);
    }
  }
  return std::nullopt;
}

// Walks the directory tree from the root, iteratively, visiting each entry at
// most once, and records every storage's children. A storage's children form
// a red-black tree through their sibling links ([MS-CFB] 2.6.4), but writers
// do not always keep its order, so the tree is only used to enumerate them.
std::optional<Error> CompoundFile::State::link_tree() {
  const std::size_t count = entries.size();
  const DirEntry& root = entries[0];
  if (root.type != kTypeRoot) {
    return Error{"directory entry 0 has type " + num(root.type) + ", expected 5 (the root storage)"};
  }
  children.assign(count, {});
  std::vector<bool> visited(count, false);
  visited[0] = true;
  std::vector<std::uint32_t> storages{0};
  std::vector<std::pair<std::uint32_t, std::uint32_t>> pending;  // (entry id, id of the entry linking to it)
  while (!storages.empty()) {
    const std::uint32_t storage = storages.back();
    storages.pop_back();
    if (entries[storage].child != kNoStream) pending.emplace_back(entries[storage].child, storage);
    while (!pending.empty()) {
      const auto [id, from] = pending.back();
      pending.pop_back();
      if (id >= count) {
        return Error{"directory entry " + num(from) + " links to entry " + num(id) +
                                              ", past the end of the directory (" + num(count) + " entries)"};
      }
      if (visited[id]) {
        return Error{"directory entry " + num(id) + " is reached twice (again from entry " + num(from) +
                                              "): the directory tree loops"};
      }
      visited[id] = true;
      const DirEntry& e = entries[id];
      if (e.type != kTypeStorage && e.type != kTypeStream) {
        return Error{"directory entry " + num(id) + " (linked from entry " + num(from) + ") has type " +
                                              num(e.type) + ", expected 1 (storage) or 2 (stream)"};
      }
      if (e.name_bytes > 64 || e.name_bytes % 2 != 0) {
        return Error{"directory entry " + num(id) + " has a name length of " + num(e.name_bytes) +
                                              " bytes, expected an even number of at most 64"};
      }
      children[storage].push_back(id);
      if (e.left != kNoStream) pending.emplace_back(e.left, id);
      if (e.right != kNoStream) pending.emplace_back(e.right, id);
      // Only storages are descended into; a stream's child link is meaningless.
      if (e.type == kTypeStorage) storages.push_back(id);
    }
  }
  return std::nullopt;
}

// The mini stream is the root entry's stream, in regular sectors; the mini
// FAT chains its 64-byte mini sectors ([MS-CFB] 2.4, 2.6.2).
std::optional<Error> CompoundFile::State::read_mini_tables(std::uint32_t first_minifat_sector) {
  const DirEntry& root = entries[0];
  ministream_size = root.size;
  if (ministream_size > 0) {
    const std::uint64_t needed = ceil_div(ministream_size, sector_size);
    if (needed > sector_count) {
      return Error{"the mini stream's size of " + num(ministream_size) + " bytes needs " + num(needed) +
                                            " sectors, but the file holds " + num(sector_count)};
    }
    auto chain = walk_chain(fat_table(), root.start, needed, "the mini stream");
    if (!chain) return std::move(chain).error();
    ministream_sectors = std::move(*chain);
  }

  if (first_minifat_sector == kEndOfChain || first_minifat_sector == kFreeSect) return std::nullopt;
  auto chain = walk_chain(fat_table(), first_minifat_sector, std::nullopt, "the mini FAT");
  if (!chain) return std::move(chain).error();
  auto values = read_u32_sectors(*chain);
  if (!values) return std::move(values).error();
  minifat = std::move(*values);
  // Only the entries of mini sectors inside the mini stream mean anything.
  const std::uint64_t mini_sectors = ceil_div(ministream_size, kMiniSectorSize);
  if (minifat.size() > mini_sectors) minifat.resize(static_cast<std::size_t>(mini_sectors));
  return std::nullopt;
}

Result<std::uint32_t> CompoundFile::State::resolve(std::string_view path) const {
  std::uint32_t current = 0;
  std::size_t pos = 0;
  while (pos <= path.size()) {
    std::size_t slash = path.find('/', pos);
    if (slash == std::string_view::npos) slash = path.size();
    const std::string_view part = path.substr(pos, slash - pos);
    pos = slash + 1;
    // Empty parts ("/a", "a//b", "a/") name no entry and are skipped.
    if (part.empty()) continue;
    const auto wanted = utf8_to_utf16(part);
    if (!wanted) return format_error("path '" + display_text(path) + "' is not valid UTF-8");
    const DirEntry& here = entries[current];
    if (current != 0 && here.type != kTypeStorage) {
      return format_error(entry_text(current) + " is not a storage, so it holds no entry named '" + display_text(part) + "'");
    }
    std::optional<std::uint32_t> found;
    for (const std::uint32_t id : children[current]) {
      if (names_equal(entries[id].name, *wanted)) {
        found = id;
        break;
      }
    }
    if (!found) return format_error("no entry named '" + display_text(part) + "' in " + entry_text(current));
    current = *found;
  }
  return current;
}

CompoundFile::CompoundFile(std::unique_ptr<State> state) noexcept : state_(std::move(state)) {}
CompoundFile::CompoundFile(CompoundFile&&) noexcept = default;
CompoundFile& CompoundFile::operator=(CompoundFile&&) noexcept = default;
CompoundFile::~CompoundFile() = default;

Result<CompoundFile> CompoundFile::open(File file) {
  auto state = std::make_unique<State>(std::move(file));
  State& s = *state;

  auto size = s.file.size();
  if (!size) return Unexpected<Error>(std::move(size).error());
  s.file_size = *size;
  if (s.file_size < kHeaderSize) {
    return format_error("the file is " + num(s.file_size) + " bytes, shorter than the " + num(kHeaderSize) + "-byte header");
  }
  std::uint8_t header_bytes[kHeaderSize];
  if (auto got = s.file.read_exact_at(0, header_bytes, kHeaderSize); !got) return Unexpected<Error>(std::move(got).error());
  const ByteView header(header_bytes, kHeaderSize);

  // Header checks ([MS-CFB] 2.2).
  if (std::memcmp(header_bytes, kSignature, sizeof kSignature) != 0) {
    static const char* hex = "0123456789ABCDEF";
    std::string found;
    for (std::size_t i = 0; i < sizeof kSignature; ++i) {
      found.push_back(hex[header_bytes[i] >> 4]);
      found.push_back(hex[header_bytes[i] & 0xF]);
    }
    return format_error("the signature is " + found + ", expected D0CF11E0A1B11AE1");
  }
  const std::uint16_t major = header.u16(0x1A);
  if (major != 3 && major != 4) return format_error("the major version is " + num(major) + ", expected 3 or 4");
  if (header.u16(0x1C) != 0xFFFE) {
    return format_error("the byte order mark is " + num(header.u16(0x1C)) + ", expected 65534 (0xFFFE)");
  }
  const std::uint16_t shift = header.u16(0x1E);
  const std::uint16_t expected_shift = major == 3 ? 9 : 12;
  if (shift != expected_shift) {
    return format_error("the sector shift is " + num(shift) + " in a version " + num(major) + " file, expected " +
                        num(expected_shift));
  }
  if (header.u16(0x20) != kMiniSectorShift) {
    return format_error("the mini sector shift is " + num(header.u16(0x20)) + ", expected " + num(kMiniSectorShift));
  }
  if (header.u32(0x38) != kMiniStreamCutoff) {
    return format_error("the mini stream cutoff is " + num(header.u32(0x38)) + ", expected " + num(kMiniStreamCutoff));
  }

  s.version3 = major == 3;
  s.shift = shift;
  s.sector_size = std::uint64_t{1} << shift;
  // Sector n starts at (n + 1) * sector_size; a partial last sector counts,
  // since a stream's bytes may end inside it. Sector numbers stop below
  // MAXREGSECT whatever the file's size.
  const std::uint64_t after_header = s.file_size > s.sector_size ? s.file_size - s.sector_size : 0;
  s.sector_count = std::min<std::uint64_t>(ceil_div(after_header, s.sector_size), kMaxRegSect);

  if (auto error = s.read_difat_and_fat(header)) return Unexpected<Error>(std::move(*error));
  if (auto error = s.read_directory(header.u32(0x30))) return Unexpected<Error>(std::move(*error));
  if (auto error = s.link_tree()) return Unexpected<Error>(std::move(*error));
  if (auto error = s.read_mini_tables(header.u32(0x3C))) return Unexpected<Error>(std::move(*error));
  return CompoundFile(std::move(state));
}

bool CompoundFile::exists(std::string_view path) const { return state_->resolve(path).has_value(); }

Result<Stream> CompoundFile::open_stream(std::string_view path) const {
  auto id = state_->resolve(path);
  if (!id) return Unexpected<Error>(std::move(id).error());
  if (*id == 0) return format_error("the root storage is not a stream");
  const DirEntry& e = state_->entries[*id];
  if (e.type != kTypeStream) return format_error(state_->entry_text(*id) + " is a storage, not a stream");
  return Stream{*id, e.size};
}

Result<std::vector<std::uint8_t>> CompoundFile::read_to_end(const Stream& stream) const {
  const State& s = *state_;
  if (stream.entry_id >= s.entries.size() || s.entries[stream.entry_id].type != kTypeStream || stream.entry_id == 0) {
    return format_error("directory entry " + num(stream.entry_id) + " is not a stream of this container");
  }
  const DirEntry& e = s.entries[stream.entry_id];
  const std::string what = s.entry_text(stream.entry_id);
  const std::uint64_t size = e.size;
  if (size == 0) return std::vector<std::uint8_t>{};

  // Streams below the cutoff live in the mini stream, the rest in regular
  // sectors; a stream of exactly 4096 bytes is a regular one ([MS-CFB] 2.2, 2.4).
  const bool mini = size < kMiniStreamCutoff;
  const std::uint64_t unit = mini ? kMiniSectorSize : s.sector_size;
  const ChainTable table = mini ? s.minifat_table() : s.fat_table();
  const std::uint64_t needed = ceil_div(size, unit);
  // The declared size must fit in what holds it before anything is allocated.
  if (needed > table.unit_count) {
    return format_error(what + " declares " + num(size) + " bytes, needing " + num(needed) + " " + table.unit + "s, but " +
                        table.space + " holds only " + num(table.unit_count));
  }
  auto chain = walk_chain(table, e.start, needed, what);
  if (!chain) return Unexpected<Error>(std::move(chain).error());

  // File offset of each unit of the chain, then one read per contiguous run.
  // A mini sector below the mini stream's size always lies inside the mini
  // stream's sectors, which open() walked for that size.
  auto unit_offset = [&](std::uint32_t n) -> std::uint64_t {
    if (!mini) return s.sector_offset(n);
    const std::uint64_t at = static_cast<std::uint64_t>(n) << kMiniSectorShift;
    return s.sector_offset(s.ministream_sectors[static_cast<std::size_t>(at >> s.shift)]) + (at & (s.sector_size - 1));
  };

  std::vector<std::uint8_t> out(static_cast<std::size_t>(size));
  std::size_t i = 0;
  std::uint64_t done = 0;
  while (i < chain->size()) {
    const std::uint64_t offset = unit_offset((*chain)[i]);
    std::size_t j = i + 1;
    while (j < chain->size() && unit_offset((*chain)[j]) == offset + (j - i) * unit) ++j;
    const std::uint64_t length = std::min<std::uint64_t>((j - i) * unit, size - done);
    if (offset > s.file_size || length > s.file_size - offset) {
      return format_error(what + " needs bytes " + num(offset) + " to " + num(offset + length) +
                          ", past the end of the file (" + num(s.file_size) + " bytes)");
    }
    auto got = s.file.read_exact_at(offset, out.data() + done, static_cast<std::size_t>(length));
    if (!got) return Unexpected<Error>(std::move(got).error());
    done += length;
    i = j;
  }
  return out;
}

}  // namespace kelvara::cfb
