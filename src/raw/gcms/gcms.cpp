// GC-MS scan index and scan records.
//
// The index is a bare offset list in one of two layouts, told apart by the
// stream's size alone. A scan record is a 32-byte header followed by a
// payload whose layout is inferred from the header counts and the payload
// size: Profile points when the header announces format 2 and the payload is
// exactly 4 bytes per point, otherwise MRM transitions of 6, 7 or 8 bytes.
// The layout tests fix the payload size exactly, so decoding never reads past
// the record.

#include "raw/gcms/gcms.hpp"

#include <algorithm>
#include <limits>
#include <string>
#include <utility>

#include "common/le.hpp"
#include "raw/decode.hpp"

namespace kelvara::raw::gcms {
namespace {

// Scan record header fields.
constexpr std::size_t kHeaderBytes = kScanHeaderBytes;
constexpr std::size_t kRetentionTimeOffset = 4;
constexpr std::size_t kFormatOffset = 20;
constexpr std::size_t kPeakCountOffset = 22;
constexpr std::size_t kEventIdOffset = 24;
constexpr std::size_t kTransitionCountOffset = 26;

// Profile points: m/z in tenths (u16), then intensity (u16).
constexpr std::uint16_t kProfileFormat = 2;
constexpr std::size_t kPointBytes = 4;
constexpr std::size_t kPointIntensityOffset = 2;

// MRM transitions: precursor and product m/z in tenths (u16 each), then a
// 2- to 4-byte intensity.
constexpr std::size_t kProductMzOffset = 2;
constexpr std::size_t kTransitionIntensityOffset = 4;
constexpr std::size_t kMinTransitionBytes = 6;
constexpr std::size_t kMaxTransitionBytes = 8;

// Spectrum Index variant B: a 2-byte header before the u64 offsets.
constexpr std::size_t kVariantBHeaderBytes = 2;

// Which layout a record of `length` bytes has, from its header counts and
// payload size: the Profile test first, then the MRM test whatever the
// format code says. Records shorter than the header are neither.
enum class RecordLayout { Profile, Mrm, Neither };

RecordLayout record_layout(std::size_t length, std::uint16_t format, std::uint16_t n_peaks,
                           std::uint16_t n_transitions) {
  if (length < kHeaderBytes) return RecordLayout::Neither;
  const std::size_t data_bytes = length - kHeaderBytes;
  if (format == kProfileFormat && data_bytes == kPointBytes * n_peaks) return RecordLayout::Profile;
  if (n_transitions != 0 && data_bytes % n_transitions == 0) {
    const std::size_t width = data_bytes / n_transitions;
    if (width >= kMinTransitionBytes && width <= kMaxTransitionBytes) return RecordLayout::Mrm;
  }
  return RecordLayout::Neither;
}

}  // namespace

ScanShape gcms_scan_shape(ByteView head, std::uint64_t length) {
  if (length < kHeaderBytes || head.size() < kHeaderBytes) return {};
  const std::uint16_t n_peaks = head.u16(kPeakCountOffset);
  const std::uint16_t n_transitions = head.u16(kTransitionCountOffset);
  const auto size = static_cast<std::size_t>(std::min<std::uint64_t>(length, std::numeric_limits<std::size_t>::max()));
  switch (record_layout(size, head.u16(kFormatOffset), n_peaks, n_transitions)) {
    case RecordLayout::Profile: return {false, 1};
    case RecordLayout::Mrm: return {true, n_transitions};
    case RecordLayout::Neither: break;
  }
  return {};
}

Result<std::vector<std::uint64_t>> parse_spectrum_index(ByteView index) {
  const std::size_t size = index.size();
  // Variant A (u32[N]) is tested first; a size that is 2 mod 8 is 2 mod 4,
  // so the two layouts never both fit.
  if (size % 4 == 0) {
    const std::vector<std::uint32_t> offsets = read_u32_array(index);
    return std::vector<std::uint64_t>(offsets.begin(), offsets.end());
  }
  if (size >= kVariantBHeaderBytes && size % 8 == kVariantBHeaderBytes) {
    // Variant B: a 2-byte header, not interpreted, then u64[N].
    std::vector<std::uint64_t> offsets((size - kVariantBHeaderBytes) / 8);
    for (std::size_t i = 0; i < offsets.size(); ++i) offsets[i] = index.u64(kVariantBHeaderBytes + 8 * i);
    return offsets;
  }
  return fail("Spectrum Index stream size " + std::to_string(size) +
                     " matches neither Variant A (u32[N]) nor Variant B (2-byte header + u64[N])");
}

Result<GcmsPlacedScan> parse_gcms_scan(ByteView record, PointSpace& profile_points) {
  const std::size_t length = record.size();
  if (length < kHeaderBytes) return too_short_for_header("GC-MS scan", kHeaderBytes, length);
  const std::uint32_t retention_time_ms = record.u32(kRetentionTimeOffset);
  const std::uint16_t format = record.u16(kFormatOffset);
  const std::uint16_t n_peaks = record.u16(kPeakCountOffset);
  const std::uint16_t event_id = record.u16(kEventIdOffset);
  const std::uint16_t n_transitions = record.u16(kTransitionCountOffset);
  const std::size_t data_bytes = length - kHeaderBytes;
  const ByteView payload = record.from(kHeaderBytes);

  const RecordLayout layout = record_layout(length, format, n_peaks, n_transitions);

  if (layout == RecordLayout::Profile) {
    // The payload is exactly n_peaks points: read them unchecked.
    const std::uint8_t* points = payload.sub(0, kPointBytes * n_peaks).data();
    const PointSlots slots = profile_points.slots(n_peaks);
    if (refused(slots, n_peaks)) return fail("no memory for the points of a GC-MS scan");
    double* mz = slots.mz;
    float* intensity = slots.intensity;
    for (std::size_t i = 0; i < n_peaks; ++i) {
      mz[i] = tenths_to_mz(load_u16_le(points + kPointBytes * i));
      intensity[i] = static_cast<float>(load_u16_le(points + kPointBytes * i + kPointIntensityOffset));
    }
    return GcmsPlacedScan(PlacedScan{retention_time_ms, n_peaks});
  }

  // Any record that is not a Profile record may still be MRM, whatever its
  // format code says.
  if (layout == RecordLayout::Mrm) {
    const std::size_t width = data_bytes / n_transitions;
    MrmScan scan;
    scan.retention_time_ms = retention_time_ms;
    scan.transitions.resize(n_transitions);
    // The payload is exactly n_transitions records of `width` bytes.
    const std::uint8_t* records = payload.sub(0, width * n_transitions).data();
    with_uint_width(width - kTransitionIntensityOffset, [&]<std::size_t W>() {
      for (std::size_t i = 0; i < n_transitions; ++i) {
        const std::uint8_t* at = records + (kTransitionIntensityOffset + W) * i;
        MrmTransition& t = scan.transitions[i];
        t.precursor_mz = tenths_to_mz(load_u16_le(at));
        t.product_mz = tenths_to_mz(load_u16_le(at + kProductMzOffset));
        // 32-bit values above 2^24 round to the nearest float.
        t.intensity = static_cast<float>(load_uint_le<W>(at + kTransitionIntensityOffset));
      }
    });
    return GcmsPlacedScan(std::move(scan));
  }

  return fail("GC-MS scan did not match Profile or MRM layout: format=" + std::to_string(format) +
                     " n_peaks=" + std::to_string(n_peaks) + " event_id=" + std::to_string(event_id) +
                     " n_transitions=" + std::to_string(n_transitions) +
                     " data_bytes=" + std::to_string(data_bytes));
}

}  // namespace kelvara::raw::gcms
