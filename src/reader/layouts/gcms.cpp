// GC-MS runs (".qgd" with "GCMS Raw Data"): Profile scans, one record each,
// and MRM scans, one single-point MS2 record per transition.

#include <utility>
#include <variant>

#include "raw/gcms/gcms.hpp"
#include "reader/layouts.hpp"

namespace kelvara::reader {
namespace {

constexpr std::string_view kScanStream = "GCMS Raw Data/MS Raw Data";

raw::Result<LayoutData> load(const cfb::CompoundFile& container, const ReadOptions& options,
                             std::uint64_t& stream_bytes) {
  auto index = read_stream(container, "GCMS Raw Data/Spectrum Index", options);
  if (!index) return Unexpected(std::move(index).error());
  auto data = read_scan_stream(container, kScanStream, options);
  if (!data) return Unexpected(std::move(data).error());
  stream_bytes = index->size() + data->size;
  auto offsets = raw::gcms::parse_spectrum_index(*index);
  if (!offsets) return Unexpected(std::move(offsets).error());
  return LayoutData(GcmsData{std::move(data->bytes), std::move(*offsets)});
}

const GcmsData& of(const LayoutData& data) { return std::get<GcmsData>(data); }

std::size_t positions(const LayoutData& data) { return of(data).scan_offsets.size(); }
const Bytes& scan_data(const LayoutData& data) { return of(data).ms_raw_data; }
std::uint64_t scan_start(const LayoutData& data, std::size_t i) { return of(data).scan_offsets[i]; }
std::uint64_t scan_stop(const LayoutData& data, std::size_t i, std::uint64_t size) {
  return scan_end(of(data).scan_offsets, i, size);
}

std::size_t walk(const LayoutData& data, WalkState*, const ScanBytes& scans, std::size_t begin, std::size_t end,
                 ScanOut& out) {
  const GcmsData& layout = of(data);
  const auto& offsets = layout.scan_offsets;
  for (std::size_t i = begin; i < end; ++i) {
    if (!out.more()) return i;
    const auto bytes = scans.range(offsets[i], scan_end(offsets, i, scans.size()));
    if (!bytes) continue;
    auto scan = raw::gcms::parse_gcms_scan(*bytes, out.space());
    if (!scan) {
      if (out.refused(i)) return i;
      continue;
    }
    if (const auto* profile = std::get_if<raw::PlacedScan>(&*scan)) {
      if (!out.emit(i, profile->points, {1, raw::ms_to_seconds(profile->retention_time_ms)})) return i;
    } else {
      // An MRM scan gives one single-peak record per transition, at its
      // product m/z, with its precursor m/z beside it.
      const auto& mrm = std::get<raw::gcms::MrmScan>(*scan);
      const double seconds = raw::ms_to_seconds(mrm.retention_time_ms);
      for (const auto& transition : mrm.transitions) {
        const raw::PointSlots slot = out.space().slots(1);
        if (slot.mz == nullptr && out.refused(i)) return i;
        *slot.mz = transition.product_mz;
        *slot.intensity = transition.intensity;
        if (!out.emit(i, 1, {2, seconds, transition.precursor_mz})) return i;
      }
    }
  }
  return end;
}

}  // namespace

const Layout kGcmsLayout{
    "gcms",   "qgd",     "GCMS Raw Data", "GCMS Raw Data", kScanStream, false, load, positions, scan_data, scan_start,
    scan_stop, nullptr, walk,
    // A Profile point is 4 bytes (an MRM transition, 6 to 8, gives one).
    4,
};

}  // namespace kelvara::reader
