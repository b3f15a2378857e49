// The DIFAT, the FAT and the mini FAT, read once when a container opens.
#include "cfb/tables.hpp"

#include <algorithm>
#include <cstring>
#include <string>
#include <utility>

#include "common/bytes.hpp"

namespace kelvara::cfb {
Expected<void, Error> SectorReader::read(std::span<const std::uint32_t> sectors, std::uint8_t* out,
                                         std::uint8_t fill) const {
  const std::uint64_t sector_size = geometry_.sector_size;
  const std::uint64_t file_size = geometry_.file_size;
  std::size_t i = 0;
  while (i < sectors.size()) {
    std::size_t j = i + 1;
    while (j < sectors.size() && sectors[j] == sectors[j - 1] + 1) ++j;
    const std::uint64_t offset = geometry_.sector_offset(sectors[i]);
    const std::uint64_t want = (j - i) * sector_size;
    const std::uint64_t have = offset >= file_size ? 0 : std::min(want, file_size - offset);
    std::uint8_t* dst = out + i * sector_size;
    if (have > 0) {
      KELVARA_FORWARD_IF_ERROR(file_.read_exact_at(offset, dst, static_cast<std::size_t>(have)));
    }
    std::memset(dst + have, fill, static_cast<std::size_t>(want - have));
    i = j;
  }
  return {};
}

Expected<std::vector<std::uint32_t>, Error> SectorReader::read_u32(std::span<const std::uint32_t> sectors) const {
  std::vector<std::uint8_t> bytes(sectors.size() * geometry_.sector_size);
  KELVARA_FORWARD_IF_ERROR(read(sectors, bytes.data(), 0xFF));
  return read_u32_array(bytes);
}

// Up to 109 FAT sectors are listed in the header, the rest in a chain of
// DIFAT sectors whose last u32 links the next. The header's FAT sector
// count is used only to stop early, which also makes zero-padded DIFAT
// tails harmless; the first FREESECT or ENDOFCHAIN entry ends the list too.
Expected<ChainTable, Error> read_fat(const SectorReader& sectors, const Header& header, const Geometry& geometry) {
  const std::uint64_t sector_count = geometry.sector_count;
  const std::uint32_t declared = header.fat_sector_count;
  std::vector<std::uint32_t> fat_sectors;
  std::vector<bool> listed(static_cast<std::size_t>(sector_count), false);
  bool done = false;

  auto take = [&](std::uint32_t sector, const std::string& where) -> Expected<void, Error> {
    if (sector == kFreeSect || sector == kEndOfChain) {
      done = true;
      return {};
    }
    if (sector >= sector_count) {
      std::string message = "FAT sector " + sector_text(sector) + " listed " + where +
                            " lies past the end of the file (" + num(sector_count) + " sectors)";
      if (sector > kMaxRegSect) return fail(std::move(message));
      return fail_past_end(std::move(message), geometry.file_size, geometry.sector_offset(sector) + geometry.sector_size);
    }
    if (listed[sector]) return fail("sector " + num(sector) + " is listed twice as a FAT or DIFAT sector (" + where + ")");
    listed[sector] = true;
    fat_sectors.push_back(sector);
    if (declared != 0 && fat_sectors.size() == declared) done = true;
    return {};
  };

  for (std::size_t i = 0; i < kHeaderDifatEntries && !done; ++i) {
    KELVARA_TRY(taken, take(header.difat[i], "in header DIFAT entry " + num(i)));
  }

  // Each DIFAT sector must exist and be met once, so the chain ends after
  // at most sector_count sectors.
  const std::size_t per_sector = static_cast<std::size_t>(geometry.sector_size / 4);
  std::vector<std::uint8_t> difat(static_cast<std::size_t>(geometry.sector_size));
  std::uint32_t next = header.first_difat_sector;
  std::uint64_t difat_index = 0;
  while (!done && next != kEndOfChain && next != kFreeSect) {
    if (next >= sector_count) {
      std::string message = "DIFAT sector " + sector_text(next) + " (number " + num(difat_index) +
                            " in the DIFAT chain) lies past the end of the file (" + num(sector_count) + " sectors)";
      if (next > kMaxRegSect) return fail(std::move(message));
      return fail_past_end(std::move(message), geometry.file_size, geometry.sector_offset(next) + geometry.sector_size);
    }
    if (listed[next]) {
      return fail("the DIFAT chain loops back to sector " + num(next) + " after " + num(difat_index) + " DIFAT sectors");
    }
    listed[next] = true;
    const std::uint32_t one[1] = {next};
    KELVARA_FORWARD_IF_ERROR(sectors.read(one, difat.data(), 0xFF));
    const ByteView view(difat);
    for (std::size_t i = 0; i + 1 < per_sector && !done; ++i) {
      KELVARA_FORWARD_IF_ERROR(take(view.u32(4 * i), "in entry " + num(i) + " of DIFAT sector " + num(next)));
    }
    next = view.u32(4 * (per_sector - 1));
    ++difat_index;
  }

  if (fat_sectors.empty()) return fail("the DIFAT lists no FAT sector");
  KELVARA_TRY(entries, sectors.read_u32(fat_sectors));
  ChainTable fat(std::move(*entries), sector_count, kSectors);
  fat.place_in_file(geometry.file_size, geometry.sector_size);
  return fat;
}

// Only the entries of mini sectors inside the mini stream mean anything;
// the table drops the rest.
Expected<ChainTable, Error> read_minifat(const SectorReader& sectors, const ChainTable& fat, std::uint32_t first_sector,
                                         std::uint64_t ministream_size) {
  const std::uint64_t mini_sectors = ceil_div(ministream_size, kMiniSectorSize);
  if (first_sector == kEndOfChain || first_sector == kFreeSect) return ChainTable({}, mini_sectors, kMiniSectors);
  KELVARA_TRY(chain, fat.walk_to_end(first_sector, "the mini FAT"));
  KELVARA_TRY(entries, sectors.read_u32(*chain));
  return ChainTable(std::move(*entries), mini_sectors, kMiniSectors);
}

}  // namespace kelvara::cfb
