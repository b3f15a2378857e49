// GC-MS scan index and scan records.
//
// The index is a bare offset list in one of two layouts, told apart by the
// stream's size alone. A scan record is a 32-byte header followed by a
// payload whose layout is inferred from the header counts and the payload
// size: Profile points when the header announces format 2 and the payload is
// exactly 4 bytes per point, otherwise MRM transitions of 6, 7 or 8 bytes.
// The layout tests fix the payload size exactly, so decoding never reads past
// the record.

#include "raw/qgd/qgd.hpp"

#include <string>

namespace kelvara::raw::qgd {
namespace {

constexpr std::size_t kHeaderBytes = 32;
constexpr std::uint16_t kProfileFormat = 2;
constexpr std::size_t kPointBytes = 4;

// m/z values are stored in tenths of a unit.
double tenths_to_mz(std::uint16_t tenths) { return static_cast<double>(tenths) / 10.0; }

}  // namespace

Result<std::vector<std::uint64_t>> parse_spectrum_index(ByteView index) {
  const std::size_t size = index.size();
  // Variant A (u32[N]) is tested first; a size that is 2 mod 8 is 2 mod 4,
  // so the two layouts never both fit.
  if (size % 4 == 0) {
    std::vector<std::uint64_t> offsets(size / 4);
    for (std::size_t i = 0; i < offsets.size(); ++i) offsets[i] = index.u32(4 * i);
    return offsets;
  }
  if (size >= 2 && size % 8 == 2) {
    // Variant B: a 2-byte header, not interpreted, then u64[N].
    std::vector<std::uint64_t> offsets((size - 2) / 8);
    for (std::size_t i = 0; i < offsets.size(); ++i) offsets[i] = index.u64(2 + 8 * i);
    return offsets;
  }
  return parse_error("Spectrum Index stream size " + std::to_string(size) +
                     " matches neither Variant A (u32[N]) nor Variant B (2-byte header + u64[N])");
}

Result<GcmsScan> parse_gcms_scan(ByteView record) {
  const std::size_t length = record.size();
  if (length < kHeaderBytes) {
    return parse_error("GC-MS scan too short for " + std::to_string(kHeaderBytes) +
                       "-byte header: " + std::to_string(length) + " bytes");
  }
  const std::uint32_t retention_time_ms = record.u32(4);
  const std::uint16_t format = record.u16(20);
  const std::uint16_t n_peaks = record.u16(22);
  const std::uint16_t event_id = record.u16(24);
  const std::uint16_t n_transitions = record.u16(26);
  const std::size_t data_bytes = length - kHeaderBytes;
  const ByteView payload = record.from(kHeaderBytes);

  if (format == kProfileFormat && data_bytes == kPointBytes * n_peaks) {
    ProfileScan scan;
    scan.retention_time_ms = retention_time_ms;
    scan.mz.resize(n_peaks);
    scan.intensity.resize(n_peaks);
    for (std::size_t i = 0; i < n_peaks; ++i) {
      scan.mz[i] = tenths_to_mz(payload.u16(kPointBytes * i));
      scan.intensity[i] = static_cast<float>(payload.u16(kPointBytes * i + 2));
    }
    return GcmsScan(std::move(scan));
  }

  // Any record that is not a Profile record may still be MRM, whatever its
  // format code says.
  if (n_transitions != 0 && data_bytes % n_transitions == 0) {
    const std::size_t width = data_bytes / n_transitions;
    if (width >= 6 && width <= 8) {
      MrmScan scan;
      scan.retention_time_ms = retention_time_ms;
      scan.transitions.resize(n_transitions);
      for (std::size_t i = 0; i < n_transitions; ++i) {
        const std::size_t at = width * i;
        MrmTransition& t = scan.transitions[i];
        t.precursor_mz = tenths_to_mz(payload.u16(at));
        t.product_mz = tenths_to_mz(payload.u16(at + 2));
        // 2, 3 or 4 intensity bytes, zero-extended; 32-bit values above 2^24
        // round to the nearest single-precision float.
        t.intensity = static_cast<float>(static_cast<std::uint32_t>(payload.uint_le(at + 4, width - 4)));
      }
      return GcmsScan(std::move(scan));
    }
  }

  return parse_error("GC-MS scan did not match Profile or MRM layout: format=" + std::to_string(format) +
                     " n_peaks=" + std::to_string(n_peaks) + " event_id=" + std::to_string(event_id) +
                     " n_transitions=" + std::to_string(n_transitions) +
                     " data_bytes=" + std::to_string(data_bytes));
}

}  // namespace kelvara::raw::qgd
