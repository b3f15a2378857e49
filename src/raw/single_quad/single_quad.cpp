// Single-quadrupole scans: the scan offset list and the scan record decoder.
//
// The opener hands parse_spectrum_index the bytes of "Mass Raw Data/Spectrum
// Index" and keeps the offsets; the spectrum builder cuts each scan out of
// "Mass Raw Data/MS Raw Data" from its offset to the next one and hands the
// bytes to parse_single_quad_scan, which reads the 64-byte header, infers the
// peak record width from the payload size and peak count, and decodes every
// peak into an m/z in tenths and a 1- to 4-byte intensity.
#include "raw/single_quad/single_quad.hpp"

#include <string>

#include "common/le.hpp"
#include "raw/decode.hpp"

namespace kelvara::raw::single_quad {

namespace {

constexpr std::size_t kHeaderSize = 64;
constexpr std::size_t kRetentionTimeOffset = 4;
constexpr std::size_t kPeakCountOffset = 54;
constexpr std::size_t kMinPeakWidth = 3;
constexpr std::size_t kMaxPeakWidth = 6;
constexpr std::size_t kMzBytes = 2;

}  // namespace

std::vector<std::uint32_t> parse_spectrum_index(ByteView index) { return read_u32_array(index); }

Result<PlacedScan> parse_single_quad_scan(ByteView record, PointSpace& points) {
  const std::size_t length = record.size();
  if (length < kHeaderSize) return too_short_for_header("single-quad scan", kHeaderSize, length);
  const std::uint32_t retention_time_ms = record.u32(kRetentionTimeOffset);
  const std::size_t n_peaks = record.u16(kPeakCountOffset);
  const std::size_t payload = length - kHeaderSize;

  // A peak count of 0 fails here even with an empty payload: the width
  // cannot be inferred.
  if (n_peaks == 0 || payload % n_peaks != 0) {
    return fail("single-quad scan payload size " + std::to_string(payload) +
                       " not evenly divisible by peak count " + std::to_string(n_peaks));
  }
  const std::size_t width = payload / n_peaks;
  if (width < kMinPeakWidth || width > kMaxPeakWidth) {
    return fail("single-quad scan implies implausible peak record width " + std::to_string(width) +
                       " bytes (n_peaks=" + std::to_string(n_peaks) + ", payload=" + std::to_string(payload) +
                       ")");
  }

  // The payload is exactly n_peaks * width bytes, so no read below can run
  // past the record.
  const std::uint8_t* peaks = record.sub(kHeaderSize, payload).data();
  const PointSlots slots = points.slots(n_peaks);
  if (refused(slots, n_peaks)) return fail("no memory for the points of a single-quad scan");
  double* mz = slots.mz;
  float* intensity = slots.intensity;
  with_uint_width(width - kMzBytes, [&]<std::size_t W>() {
    for (std::size_t i = 0; i < n_peaks; ++i) {
      const std::uint8_t* peak = peaks + (kMzBytes + W) * i;
      mz[i] = tenths_to_mz(load_u16_le(peak));
      // 32-bit values above 2^24 round to the nearest float.
      intensity[i] = static_cast<float>(load_uint_le<W>(peak + kMzBytes));
    }
  });
  return PlacedScan{retention_time_ms, n_peaks};
}

}  // namespace kelvara::raw::single_quad
