// An allocation table and the chains it links: the FAT chains sectors, the
// mini FAT chains 64-byte mini sectors inside the mini stream ([MS-CFB] 2.3,
// 2.4). Entry i names the unit that follows unit i, or a marker.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/error.hpp"

namespace kelvara::cfb {

// What a table's units are called in messages.
struct UnitNames {
  const char* unit;   // "sector" or "mini sector"
  const char* table;  // "FAT" or "mini FAT"
  const char* space;  // "the file" or "the mini stream"
};

inline constexpr UnitNames kSectors{"sector", "FAT", "the file"};
inline constexpr UnitNames kMiniSectors{"mini sector", "mini FAT", "the mini stream"};

class ChainTable {
 public:
  // Takes the table's entries and validates them once. `unit_count` units
  // have data behind them; entries past that are dropped unread (writers
  // pad a table's last sector with free entries, or with zeros, for units
  // that do not exist). Every loop the remaining entries form is found, so
  // that a walk needs no memory of where it has been: it stops at a link out
  // of range, a marker, the second visit of the first unit of a loop, or
  // after the number of units it was asked for.
  ChainTable(std::vector<std::uint32_t> entries, std::uint64_t unit_count, UnitNames names);

  // For the FAT: its sectors are those of a file of `file_bytes` bytes, each
  // `sector_bytes` long after the header, so a chain that leaves the file
  // can say how large the file would have to be.
  void place_in_file(std::uint64_t file_bytes, std::uint64_t sector_bytes) {
    file_bytes_ = file_bytes;
    sector_bytes_ = sector_bytes;
  }

  std::uint64_t unit_count() const { return unit_count_; }
  const UnitNames& names() const { return names_; }

  // The chain of a table or of the directory, from `start` to ENDOFCHAIN
  // (an ENDOFCHAIN start gives an empty chain).
  Expected<std::vector<std::uint32_t>, Error> walk_to_end(std::uint32_t start, const std::string& what) const;

  // The first `needed` units of a stream's chain from `start`; the chain
  // must hold at least that many.
  Expected<std::vector<std::uint32_t>, Error> walk(std::uint32_t start, std::uint64_t needed,
                                                   const std::string& what) const;

 private:
  void mark_loops();
  // A walk of `needed` units, or to ENDOFCHAIN when `needed` is null.
  Expected<std::vector<std::uint32_t>, Error> follow(std::uint32_t start, const std::uint64_t* needed,
                                                     const std::string& what) const;

  std::vector<std::uint32_t> next_;
  std::vector<bool> on_loop_;  // per unit: the unit lies on a loop of links
  std::uint64_t unit_count_ = 0;
  UnitNames names_ = kSectors;
  std::uint64_t file_bytes_ = 0;    // 0: the units are not the file's sectors
  std::uint64_t sector_bytes_ = 0;
};

}  // namespace kelvara::cfb
