// The directory: a chain of sectors of 128-byte entries, entry 0 the root
// storage, each storage's children a tree through sibling links ([MS-CFB]
// 2.6), and the lookup of entries by path.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "cfb/chain.hpp"
#include "common/error.hpp"
#include "cfb/header.hpp"
#include "cfb/tables.hpp"

namespace kelvara::cfb {

inline constexpr std::uint32_t kNoStream = 0xFFFFFFFFu;

enum EntryType : std::uint8_t { kTypeUnused = 0, kTypeStorage = 1, kTypeStream = 2, kTypeRoot = 5 };

// One directory entry as kept after open.
struct DirEntry {
  std::u16string name;
  std::uint8_t type = kTypeUnused;
  std::uint16_t name_bytes = 0;  // as stored, NUL included
  std::uint32_t left = kNoStream;
  std::uint32_t right = kNoStream;
  std::uint32_t child = kNoStream;
  std::uint32_t start = kEndOfChain;
  std::uint64_t size = 0;
};

class Directory {
 public:
  // Reads every entry of the directory chain from `first_sector`, then
  // walks the tree from the root, iteratively and visiting each entry at
  // most once, and records every storage's children. A link out of the
  // directory, an entry reached twice, a linked entry that is neither a
  // storage nor a stream, or a bad name length fails.
  static Expected<Directory, Error> read(const SectorReader& sectors, const ChainTable& fat, std::uint32_t first_sector,
                                         bool version3, std::uint64_t sector_size);

  const DirEntry& entry(std::uint32_t id) const { return entries_[id]; }
  std::size_t size() const { return entries_.size(); }

  // The entry at a UTF-8 path from the root ("Storage/Stream"; empty parts
  // are skipped), each part found by scanning all children of its storage
  // with names compared as [MS-CFB] 2.6.4 orders them. The error says which
  // part is missing and where.
  Expected<std::uint32_t, Error> resolve(std::string_view path) const;

  // How an entry reads in a message: "stream 'x'", "storage 'y'" or "the root storage".
  std::string entry_text(std::uint32_t id) const;

 private:
  Expected<void, Error> link_tree();

  std::vector<DirEntry> entries_;
  std::vector<std::vector<std::uint32_t>> children_;  // per storage id, every child id
};

}  // namespace kelvara::cfb
