// Single-quadrupole LC-MS runs (".lcd" with "Mass Raw Data"): one MS1
// record per scan.

#include <array>
#include <string_view>
#include <utility>
#include <variant>

#include "raw/single_quad/single_quad.hpp"
#include "reader/layouts.hpp"

namespace kelvara::reader {
namespace {

// The streams load reads, in this order.
constexpr std::array<std::string_view, 2> kStreams = {"Mass Raw Data/Spectrum Index", "Mass Raw Data/MS Raw Data"};

Result<LayoutData> load(const cfb::CompoundFile& container, const ReadOptions& options,
                        std::uint64_t& stream_bytes) {
  KELVARA_TRY(index, read_stream(container, kStreams[0], options));
  KELVARA_TRY(data, read_scan_stream(container, kStreams[1], options));
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

// One MS1 spectrum per scan.
ScanYield yield(const LayoutData&, std::size_t, ByteView, std::uint64_t) { return {1, ScanYield::Kind::Ms1}; }

}  // namespace

const Layout kSingleQuadLayout{
    .name = "single_quad",
    .extension = "lcd",
    .storage = "Mass Raw Data",
    .probe = "Mass Raw Data/MS Raw Data",
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
    .yield_head_bytes = 0,
    .yield = yield,
    // A peak record of at least 3 bytes: a 2-byte m/z and the intensity.
    .densest_point_bytes = 3,
};

}  // namespace kelvara::reader
