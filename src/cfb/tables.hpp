// Reading the allocation tables from the file: the DIFAT, which lists the
// FAT's sectors, the FAT, and the mini FAT ([MS-CFB] 2.3 to 2.5).
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "cfb/chain.hpp"
#include "common/error.hpp"
#include "cfb/file.hpp"
#include "cfb/header.hpp"

namespace kelvara::cfb {

// Whole sectors of one container file.
class SectorReader {
 public:
  SectorReader(const File& file, const Geometry& geometry) : file_(file), geometry_(geometry) {}

  // Reads the sectors into `out` (sectors.size() * sector_size bytes), one
  // read per run of consecutive sectors. A sector cut short by the end of
  // the file reads as if padded with `fill` bytes.
  Expected<void, Error> read(std::span<const std::uint32_t> sectors, std::uint8_t* out, std::uint8_t fill) const;

  // The sectors as little-endian u32 values; past the end of the file they
  // read as FREESECT.
  Expected<std::vector<std::uint32_t>, Error> read_u32(std::span<const std::uint32_t> sectors) const;

 private:
  const File& file_;
  const Geometry& geometry_;
};

// The FAT, from the sectors the header's DIFAT entries and the DIFAT sector
// chain list. Every listed sector must exist and be listed once.
Expected<ChainTable, Error> read_fat(const SectorReader& sectors, const Header& header, const Geometry& geometry);

// The mini FAT, a chain of sectors from `first_sector` (ENDOFCHAIN or
// FREESECT when there is none), for a mini stream of `ministream_size` bytes.
Expected<ChainTable, Error> read_minifat(const SectorReader& sectors, const ChainTable& fat, std::uint32_t first_sector,
                                         std::uint64_t ministream_size);

}  // namespace kelvara::cfb
