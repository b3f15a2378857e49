// GC-MS runs (".qgd" with "GCMS Raw Data"): Profile scans, one record each,
// and MRM scans, one single-point MS2 record per transition.

#include <array>
#include <string_view>
#include <utility>
#include <variant>

#include "raw/gcms/gcms.hpp"
#include "reader/layouts.hpp"

namespace kelvara::reader {
namespace {

// The streams load reads, in this order.
constexpr std::array<std::string_view, 2> kStreams = {"GCMS Raw Data/Spectrum Index", "GCMS Raw Data/MS Raw Data"};

Result<LayoutData> load(const cfb::CompoundFile& container, const ReadOptions& options,
                        std::uint64_t& stream_bytes) {
  KELVARA_TRY(index, read_stream(container, kStreams[0], options));
  KELVARA_TRY(data, read_scan_stream(container, kStreams[1], options));
  stream_bytes = index->size() + data->size;
  KELVARA_TRY(offsets, raw::gcms::parse_spectrum_index(*index));
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
  const auto range = [&](std::size_t i) { return std::pair(offsets[i], scan_end(offsets, i, scans.size())); };
  return walk_scans(scans, begin, end, out, range, [&](std::size_t i, ByteView bytes) -> Result<bool> {
    KELVARA_TRY(scan, raw::gcms::parse_gcms_scan(bytes, out.space()));
    if (const auto* profile = std::get_if<raw::PlacedScan>(&*scan)) {
      return out.emit(i, profile->points, {1, raw::ms_to_seconds(profile->retention_time_ms)});
    }
    // An MRM scan gives one single-peak record per transition, at its
    // product m/z, with its precursor m/z beside it.
    const auto& mrm = std::get<raw::gcms::MrmScan>(*scan);
    const double seconds = raw::ms_to_seconds(mrm.retention_time_ms);
    for (const auto& transition : mrm.transitions) {
      const raw::PointSlots slot = out.space().slots(1);
      if (raw::refused(slot, 1)) return !out.refused(i);
      *slot.mz = transition.product_mz;
      *slot.intensity = transition.intensity;
      if (!out.emit(i, 1, {2, seconds, transition.precursor_mz})) return false;
    }
    return true;
  });
}

// A Profile scan is one MS1 spectrum, an MRM scan one transition per
// transition its header counts; the header tells which, and the record's
// length whether it holds what the header says.
ScanYield yield(const LayoutData&, std::size_t, ByteView head, std::uint64_t length) {
  const raw::gcms::ScanShape shape = raw::gcms::gcms_scan_shape(head, length);
  return {shape.spectra, shape.mrm ? ScanYield::Kind::Transition : ScanYield::Kind::Ms1};
}

}  // namespace

const Layout kGcmsLayout{
    .name = "gcms",
    .extension = "qgd",
    .storage = "GCMS Raw Data",
    .probe = "GCMS Raw Data",
    .streams = kStreams,
    .scan_stream = kStreams[1],
    .profile = false,
    .load = load,
    .positions = positions,
    .scan_data = scan_data,
    .scan_start = scan_start,
    .scan_end = scan_stop,
    .walk_state = nullptr,
    .walk = walk,
    .yield_head_bytes = raw::gcms::kScanHeaderBytes,
    .yield = yield,
    // A Profile point is 4 bytes (an MRM transition, 6 to 8, gives one).
    .densest_point_bytes = 4,
};

}  // namespace kelvara::reader
