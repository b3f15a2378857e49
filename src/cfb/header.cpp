// Header fields and checks, and the sector geometry.
#include "cfb/header.hpp"

#include <algorithm>

namespace kelvara::cfb {
namespace {

constexpr std::array<std::uint8_t, 8> kSignature = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};

// Field offsets ([MS-CFB] 2.2).
namespace at {
constexpr std::size_t kSignature = 0x00;
constexpr std::size_t kMajorVersion = 0x1A;
constexpr std::size_t kByteOrder = 0x1C;
constexpr std::size_t kSectorShift = 0x1E;
constexpr std::size_t kMiniSectorShift = 0x20;
constexpr std::size_t kDirectorySectorCount = 0x28;
constexpr std::size_t kFatSectorCount = 0x2C;
constexpr std::size_t kFirstDirectorySector = 0x30;
constexpr std::size_t kMiniStreamCutoff = 0x38;
constexpr std::size_t kFirstMiniFatSector = 0x3C;
constexpr std::size_t kMiniFatSectorCount = 0x40;
constexpr std::size_t kFirstDifatSector = 0x44;
constexpr std::size_t kDifatSectorCount = 0x48;
constexpr std::size_t kDifat = 0x4C;
}  // namespace at

}  // namespace

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

Expected<Header, Error> Header::parse(ByteView bytes) {
  if (bytes.size() < kHeaderSize) {
    // The caller hands over the whole file when it is this short.
    return fail_past_end("the file is " + num(bytes.size()) + " bytes, shorter than the " + num(kHeaderSize) +
                             "-byte header",
                         bytes.size(), kHeaderSize);
  }
  Header h;
  for (std::size_t i = 0; i < h.signature.size(); ++i) h.signature[i] = bytes.u8(at::kSignature + i);
  h.major_version = bytes.u16(at::kMajorVersion);
  h.byte_order = bytes.u16(at::kByteOrder);
  h.sector_shift = bytes.u16(at::kSectorShift);
  h.mini_sector_shift = bytes.u16(at::kMiniSectorShift);
  h.directory_sector_count = bytes.u32(at::kDirectorySectorCount);
  h.fat_sector_count = bytes.u32(at::kFatSectorCount);
  h.first_directory_sector = bytes.u32(at::kFirstDirectorySector);
  h.mini_stream_cutoff = bytes.u32(at::kMiniStreamCutoff);
  h.first_minifat_sector = bytes.u32(at::kFirstMiniFatSector);
  h.minifat_sector_count = bytes.u32(at::kMiniFatSectorCount);
  h.first_difat_sector = bytes.u32(at::kFirstDifatSector);
  h.difat_sector_count = bytes.u32(at::kDifatSectorCount);
  for (std::size_t i = 0; i < kHeaderDifatEntries; ++i) h.difat[i] = bytes.u32(at::kDifat + 4 * i);

  if (h.signature != kSignature) {
    static const char* hex = "0123456789ABCDEF";
    std::string found;
    for (const std::uint8_t b : h.signature) {
      found.push_back(hex[b >> 4]);
      found.push_back(hex[b & 0xF]);
    }
    return fail("the signature is " + found + ", expected D0CF11E0A1B11AE1");
  }
  if (h.major_version != 3 && h.major_version != 4) {
    return fail("the major version is " + num(h.major_version) + ", expected 3 or 4");
  }
  if (h.byte_order != 0xFFFE) return fail("the byte order mark is " + num(h.byte_order) + ", expected 65534 (0xFFFE)");
  const std::uint16_t expected_shift = h.major_version == 3 ? 9 : 12;
  if (h.sector_shift != expected_shift) {
    return fail("the sector shift is " + num(h.sector_shift) + " in a version " + num(h.major_version) +
                " file, expected " + num(expected_shift));
  }
  if (h.mini_sector_shift != kMiniSectorShift) {
    return fail("the mini sector shift is " + num(h.mini_sector_shift) + ", expected " + num(kMiniSectorShift));
  }
  if (h.mini_stream_cutoff != kMiniStreamCutoff) {
    return fail("the mini stream cutoff is " + num(h.mini_stream_cutoff) + ", expected " + num(kMiniStreamCutoff));
  }
  return h;
}

Geometry::Geometry(const Header& header, std::uint64_t size)
    : shift(header.sector_shift),
      sector_size(std::uint64_t{1} << header.sector_shift),
      file_size(size),
      version3(header.major_version == 3) {
  // A partial last sector counts, since a stream's bytes may end inside it.
  // Sector numbers stop below MAXREGSECT whatever the file's size.
  const std::uint64_t after_header = file_size > sector_size ? file_size - sector_size : 0;
  sector_count = std::min<std::uint64_t>(ceil_div(after_header, sector_size), kMaxRegSect);
}

}  // namespace kelvara::cfb
