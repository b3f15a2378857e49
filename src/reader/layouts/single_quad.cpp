// Single-quadrupole LC-MS runs (".lcd" with "Mass Raw Data"): one MS1
// record per scan.

#include <utility>
#include <variant>

#include "raw/single_quad/single_quad.hpp"
#include "reader/layouts.hpp"

namespace kelvara::reader {
namespace {

constexpr std::string_view kScanStream = "Mass Raw Data/MS Raw Data";

Result<LayoutData> load(const cfb::CompoundFile& container, const ReadOptions& options,
                        std::uint64_t& stream_bytes) {
  KELVARA_TRY(index, read_stream(container, "Mass Raw Data/Spectrum Index", options));
  KELVARA_TRY(data, read_scan_stream(container, kScanStream, options));
  stream_bytes = index->size() + data->size;
  auto offsets = raw::single_quad::parse_spectrum_index(*index);
  return LayoutData(SingleQuadData{std::move(data->bytes), std::move(offsets)});
}

const SingleQuadData& of(const LayoutData& data) { return std::get<SingleQuadData>(data); }

std::size_t positions(const LayoutData& data) { return of(data).scan_offsets.size(); }
const Bytes& scan_data(const LayoutData& data) { return of(data).ms_raw_data; }
std::uint64_t scan_start(const LayoutData& data, std::size_t i) { return of(data).scan_offsets[i]; }
std::uint64_t scan_stop(const LayoutData& data, std::size_t i, std::uint64_t size) {
  return scan_end(of(data).scan_offsets, i, size);
}

std::size_t walk(const LayoutData& data, WalkState*, const ScanBytes& scans, std::size_t begin, std::size_t end,
                 ScanOut& out) {
  const SingleQuadData& layout = of(data);
  const auto& offsets = layout.scan_offsets;
  const auto range = [&](std::size_t i) {
    return std::pair<std::uint64_t, std::uint64_t>(offsets[i], scan_end(offsets, i, scans.size()));
  };
  return walk_scans(scans, begin, end, out, range, [&](std::size_t i, ByteView bytes) -> Result<bool> {
    KELVARA_TRY(scan, raw::single_quad::parse_single_quad_scan(bytes, out.space()));
    return out.emit(i, scan->points, {1, raw::ms_to_seconds(scan->retention_time_ms)});
  });
}

}  // namespace

const Layout kSingleQuadLayout{
    "single_quad", "lcd",      "Mass Raw Data", "Mass Raw Data/MS Raw Data", kScanStream, false, load, positions,
    scan_data,     scan_start, scan_stop,       nullptr,                     walk,
    // A peak record of at least 3 bytes: a 2-byte m/z and the intensity.
    3,
};

}  // namespace kelvara::reader
