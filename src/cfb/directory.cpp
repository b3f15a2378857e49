// Directory entries, the storage tree and path lookup.
#include "cfb/directory.hpp"

#include <algorithm>
#include <optional>
#include <utility>

#include "cfb/names.hpp"
#include "common/bytes.hpp"

namespace kelvara::cfb {
namespace {

constexpr std::size_t kEntrySize = 128;
constexpr std::size_t kMaxNameUnits = 32;  // 64 bytes of UTF-16, NUL included

// Field offsets inside an entry ([MS-CFB] 2.6.1).
namespace at {
constexpr std::size_t kName = 0x00;
constexpr std::size_t kNameBytes = 0x40;
constexpr std::size_t kType = 0x42;
constexpr std::size_t kLeft = 0x44;
constexpr std::size_t kRight = 0x48;
constexpr std::size_t kChild = 0x4C;
constexpr std::size_t kStart = 0x74;
constexpr std::size_t kSize = 0x78;
}  // namespace at

DirEntry parse_entry(ByteView raw, bool version3) {
  DirEntry e;
  e.type = raw.u8(at::kType);
  e.name_bytes = raw.u16(at::kNameBytes);
  e.left = raw.u32(at::kLeft);
  e.right = raw.u32(at::kRight);
  e.child = raw.u32(at::kChild);
  e.start = raw.u32(at::kStart);
  // Version 3 writers may leave garbage in the high half of the size ([MS-CFB] 2.6.1).
  e.size = version3 ? raw.u32(at::kSize) : raw.u64(at::kSize);
  if (e.type == kTypeUnused) return e;
  const std::size_t units = std::min<std::size_t>(e.name_bytes / 2, kMaxNameUnits);
  for (std::size_t k = 0; k < units; ++k) {
    const auto unit = static_cast<char16_t>(raw.u16(at::kName + 2 * k));
    if (unit == 0) break;
    e.name.push_back(unit);
  }
  return e;
}

}  // namespace

Expected<Directory, Error> Directory::read(const SectorReader& sectors, const ChainTable& fat, std::uint32_t first_sector,
                                           bool version3, std::uint64_t sector_size) {
  KELVARA_TRY(chain, fat.walk_to_end(first_sector, "the directory"));
  if (chain->empty()) return fail("the directory chain is empty (first directory sector is ENDOFCHAIN)");
  std::vector<std::uint8_t> bytes(chain->size() * sector_size);
  // A directory sector cut short by the end of the file reads as unused entries.
  KELVARA_FORWARD_IF_ERROR(sectors.read(*chain, bytes.data(), 0));

  Directory dir;
  const ByteView view(bytes);
  const std::size_t count = bytes.size() / kEntrySize;
  dir.entries_.reserve(count);
  for (std::size_t id = 0; id < count; ++id) dir.entries_.push_back(parse_entry(view.sub(id * kEntrySize, kEntrySize), version3));
  KELVARA_FORWARD_IF_ERROR(dir.link_tree());
  return dir;
}

// A storage's children form a red-black tree through their sibling links
// ([MS-CFB] 2.6.4), but writers do not always keep its order, so the tree
// is only used to enumerate them.
Expected<void, Error> Directory::link_tree() {
  const std::size_t count = entries_.size();
  const DirEntry& root = entries_[0];
  if (root.type != kTypeRoot) {
    return fail("directory entry 0 has type " + num(root.type) + ", expected 5 (the root storage)");
  }
  children_.assign(count, {});
  std::vector<bool> visited(count, false);
  visited[0] = true;
  std::vector<std::uint32_t> storages{0};
  std::vector<std::pair<std::uint32_t, std::uint32_t>> pending;  // (entry id, id of the entry linking to it)
  while (!storages.empty()) {
    const std::uint32_t storage = storages.back();
    storages.pop_back();
    if (entries_[storage].child != kNoStream) pending.emplace_back(entries_[storage].child, storage);
    while (!pending.empty()) {
      const auto [id, from] = pending.back();
      pending.pop_back();
      if (id >= count) {
        return fail("directory entry " + num(from) + " links to entry " + num(id) + ", past the end of the directory (" +
                    num(count) + " entries)");
      }
      if (visited[id]) {
        return fail("directory entry " + num(id) + " is reached twice (again from entry " + num(from) +
                    "): the directory tree loops");
      }
      visited[id] = true;
      const DirEntry& e = entries_[id];
      if (e.type != kTypeStorage && e.type != kTypeStream) {
        return fail("directory entry " + num(id) + " (linked from entry " + num(from) + ") has type " + num(e.type) +
                    ", expected 1 (storage) or 2 (stream)");
      }
      if (e.name_bytes > 2 * kMaxNameUnits || e.name_bytes % 2 != 0) {
        return fail("directory entry " + num(id) + " has a name length of " + num(e.name_bytes) +
                    " bytes, expected an even number of at most 64");
      }
      children_[storage].push_back(id);
      if (e.left != kNoStream) pending.emplace_back(e.left, id);
      if (e.right != kNoStream) pending.emplace_back(e.right, id);
      // Only storages are descended into; a stream's child link is meaningless.
      if (e.type == kTypeStorage) storages.push_back(id);
    }
  }
  return {};
}

Expected<std::uint32_t, Error> Directory::resolve(std::string_view path) const {
  std::uint32_t current = 0;
  std::size_t pos = 0;
  while (pos <= path.size()) {
    std::size_t slash = path.find('/', pos);
    if (slash == std::string_view::npos) slash = path.size();
    const std::string_view part = path.substr(pos, slash - pos);
    pos = slash + 1;
    if (part.empty()) continue;
    const auto wanted = utf8_to_utf16(part);
    if (!wanted) return fail("path '" + display_text(path) + "' is not valid UTF-8");
    if (current != 0 && entries_[current].type != kTypeStorage) {
      return fail(entry_text(current) + " is not a storage, so it holds no entry named '" + display_text(part) + "'");
    }
    std::optional<std::uint32_t> found;
    for (const std::uint32_t id : children_[current]) {
      if (names_equal(entries_[id].name, *wanted)) {
        found = id;
        break;
      }
    }
    if (!found) return fail("no entry named '" + display_text(part) + "' in " + entry_text(current));
    current = *found;
  }
  return current;
}

std::string Directory::entry_text(std::uint32_t id) const {
  if (id == 0) return "the root storage";
  const DirEntry& e = entries_[id];
  return std::string(e.type == kTypeStream ? "stream" : "storage") + " '" + display_name(e.name) + "'";
}

}  // namespace kelvara::cfb
