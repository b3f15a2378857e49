// The header at the start of every container ([MS-CFB] 2.2), the special
// sector numbers ([MS-CFB] 2.1) and the sector geometry the header sets.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "common/error.hpp"
#include "common/bytes.hpp"

namespace kelvara::cfb {

// Regular sector numbers lie below MAXREGSECT; the others are markers.
inline constexpr std::uint32_t kMaxRegSect = 0xFFFFFFFAu;
inline constexpr std::uint32_t kDifSect = 0xFFFFFFFCu;
inline constexpr std::uint32_t kFatSect = 0xFFFFFFFDu;
inline constexpr std::uint32_t kEndOfChain = 0xFFFFFFFEu;
inline constexpr std::uint32_t kFreeSect = 0xFFFFFFFFu;

inline constexpr std::size_t kHeaderSize = 512;
inline constexpr std::size_t kHeaderDifatEntries = 109;
inline constexpr std::uint16_t kMiniSectorShift = 6;
inline constexpr std::uint64_t kMiniSectorSize = std::uint64_t{1} << kMiniSectorShift;
inline constexpr std::uint32_t kMiniStreamCutoff = 4096;

// How a sector number reads in a message: markers by name, others as numbers.
std::string sector_text(std::uint32_t value);

inline std::uint64_t ceil_div(std::uint64_t value, std::uint64_t unit) {
  return value == 0 ? 0 : (value - 1) / unit + 1;
}

// The header's fields, little-endian at their fixed offsets. The CLSID, the
// minor version and the transaction signature are not kept: nothing reads them.
struct Header {
  std::array<std::uint8_t, 8> signature{};
  std::uint16_t major_version = 0;
  std::uint16_t byte_order = 0;
  std::uint16_t sector_shift = 0;
  std::uint16_t mini_sector_shift = 0;
  std::uint32_t directory_sector_count = 0;  // 0 in version 3; never used to size anything
  std::uint32_t fat_sector_count = 0;        // a hint that only stops the DIFAT early
  std::uint32_t first_directory_sector = 0;
  std::uint32_t mini_stream_cutoff = 0;
  std::uint32_t first_minifat_sector = 0;
  std::uint32_t minifat_sector_count = 0;
  std::uint32_t first_difat_sector = 0;
  std::uint32_t difat_sector_count = 0;
  std::array<std::uint32_t, kHeaderDifatEntries> difat{};  // the first FAT sector numbers

  // The fields of the first kHeaderSize bytes of `bytes`, then the checks:
  // signature, major version 3 or 4, byte order mark, the sector shift the
  // version prescribes (9 or 12), mini sector shift 6, cutoff 4096. Fewer
  // bytes than a header (all of a short file) fail, naming their number.
  static Expected<Header, Error> parse(ByteView bytes);
};

// Where sectors lie in a file of a given size.
struct Geometry {
  std::uint16_t shift = 9;
  std::uint64_t sector_size = 512;
  std::uint64_t file_size = 0;
  // Sectors of which at least one byte is in the file, below MAXREGSECT.
  std::uint64_t sector_count = 0;
  bool version3 = true;

  Geometry(const Header& header, std::uint64_t file_size);

  // Sector n starts at (n + 1) * sector_size: in version 4 the header
  // occupies all of the first 4096-byte sector.
  std::uint64_t sector_offset(std::uint32_t sector) const { return (std::uint64_t{sector} + 1) << shift; }
};

}  // namespace kelvara::cfb
