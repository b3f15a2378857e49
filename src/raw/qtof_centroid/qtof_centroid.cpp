// QTOF centroid scans: the Centroid Index, the Retention Time table and the
// scan record decoder.
//
// The opener hands parse_centroid_index the bytes of "QTFL RawData/Centroid
// Index" (one 24-byte entry per scan: data offset, MS level code) and
// parse_qtfl_retention_times those of "QTFL RawData/Retention Time" (one
// 12-byte entry per scan). The spectrum builder cuts each scan out of
// "QTFL RawData/Centroid Data" and hands it to decode_qtof_centroid_scan: a
// 64-byte header declaring the payload size and the intensity width, then
// the m/z array (u64, units of 1e-12) followed by the intensity array.
#include "raw/qtof_centroid/qtof_centroid.hpp"

#include <string>

#include "common/le.hpp"
#include "raw/decode.hpp"

namespace kelvara::raw::qtof_centroid {

namespace {

constexpr std::size_t kIndexEntrySize = 24;
constexpr std::size_t kDataOffsetField = 0;
constexpr std::size_t kLevelCodeField = 20;

constexpr std::size_t kRetentionTimeEntrySize = 12;
constexpr std::size_t kRetentionTimeField = 0;

constexpr std::size_t kHeaderSize = 64;
constexpr std::size_t kPayloadSizeField = 24;
constexpr std::size_t kIntensityWidthField = 36;
constexpr std::size_t kMzBytes = 8;
constexpr double kMzUnitsPerDalton = 1e12;

bool supported_intensity_width(std::uint32_t width) { return width == 1 || width == 2 || width == 4; }

}  // namespace

Result<std::vector<QtofIndexEntry>> parse_centroid_index(ByteView index) {
  return read_entry_table(
      index, kIndexEntrySize,
      [](std::size_t size) {
        return "Centroid Index stream size " + std::to_string(size) + " is not a multiple of " +
               std::to_string(kIndexEntrySize);
      },
      [](ByteView entry) { return QtofIndexEntry{entry.u32(kDataOffsetField), entry.u32(kLevelCodeField)}; });
}

Result<std::vector<std::uint32_t>> parse_qtfl_retention_times(ByteView times) {
  return read_entry_table(
      times, kRetentionTimeEntrySize,
      [](std::size_t size) {
        return "Retention Time stream size " + std::to_string(size) + " is not a multiple of " +
               std::to_string(kRetentionTimeEntrySize);
      },
      [](ByteView entry) { return entry.u32(kRetentionTimeField); });
}

Result<std::size_t> decode_qtof_centroid_scan(ByteView record, PointSpace& points) {
  const std::size_t length = record.size();
  if (length < kHeaderSize) return too_short_for_header("QTOF centroid scan", kHeaderSize, length);
  const std::uint32_t declared = record.u32(kPayloadSizeField);
  const std::uint32_t width = record.u32(kIntensityWidthField);

  // An empty scan carries no intensities, so its width is never looked at.
  if (declared == 0) {
    points.slots(0);
    return std::size_t{0};
  }

  const std::size_t payload = length - kHeaderSize;
  if (payload < declared) {
    return fail("QTOF centroid scan payload shorter than declared size: have " + std::to_string(payload) +
                       ", want " + std::to_string(declared));
  }
  if (!supported_intensity_width(width)) {
    return fail("QTOF centroid scan has unsupported intensity width " + std::to_string(width) +
                       " (expected 1, 2, or 4 bytes)");
  }
  const std::size_t peak_bytes = kMzBytes + width;
  if (declared % peak_bytes != 0) {
    return fail("QTOF centroid payload size " + std::to_string(declared) + " is not a multiple of " +
                       std::to_string(peak_bytes) + " (8-byte mz + " + std::to_string(width) + "-byte intensity)");
  }

  // Two arrays one after the other, not interleaved peak records; bytes past
  // the declared size are ignored.
  const std::size_t n_peaks = declared / peak_bytes;
  const std::size_t intensities_start = kHeaderSize + kMzBytes * n_peaks;
  // Both arrays lie inside the declared payload, checked above.
  const std::uint8_t* mz_words = record.sub(kHeaderSize, declared).data();
  const std::uint8_t* stored = mz_words + (intensities_start - kHeaderSize);
  const PointSlots slots = points.slots(n_peaks);
  if (refused(slots, n_peaks)) return fail("no memory for the points of a QTOF centroid scan");
  double* mz = slots.mz;
  float* intensities = slots.intensity;
  for (std::size_t k = 0; k < n_peaks; ++k) {
    mz[k] = static_cast<double>(load_u64_le(mz_words + kMzBytes * k)) / kMzUnitsPerDalton;
  }
  with_uint_width(width, [&]<std::size_t W>() {
    // 32-bit values above 2^24 round to the nearest float.
    for (std::size_t k = 0; k < n_peaks; ++k) intensities[k] = static_cast<float>(load_uint_le<W>(stored + W * k));
  });
  return n_peaks;
}

}  // namespace kelvara::raw::qtof_centroid
