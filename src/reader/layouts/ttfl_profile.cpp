// TTFL profile LC-MS runs (".lcd" with "TTFL Raw Data"): one MS1 record per
// subset, channels mapped to m/z by the first readable tuning result.

#include <array>
#include <memory>
#include <string_view>
#include <utility>
#include <variant>

#include "raw/ttfl_profile/ttfl_profile.hpp"
#include "reader/layouts.hpp"
#include "reader/ttfl_shared.hpp"

namespace kelvara::reader {
namespace {

// The streams load reads, in this order.
constexpr std::array<std::string_view, 3> kStreams = {"TTFL Raw Data/Data Index", "TTFL Raw Data/MS Raw Data", "TTFL Raw Data/Retention Time"};

Result<LayoutData> load(const cfb::CompoundFile& container, const ReadOptions& options,
                        std::uint64_t& stream_bytes) {
  KELVARA_TRY(index, read_stream(container, kStreams[0], options));
  KELVARA_TRY(data, read_scan_stream(container, kStreams[1], options));
  KELVARA_TRY(times, read_stream(container, kStreams[2], options));
  stream_bytes = index->size() + data->size + times->size();
  KELVARA_TRY(subsets, raw::ttfl_profile::parse_data_index(*index));

  TtflProfileData layout;
  layout.scan_ranges = raw::ttfl_profile::ttfl_scan_ranges(*subsets, data->size);
  layout.subsets = std::move(*subsets);
  layout.ms_raw_data = std::move(data->bytes);
  layout.retention_times_ms = read_u32_array(*times);

  // Only the first tuning result that can be read is consulted, even when
  // its fit gives no calibration; tuning streams never fail the open.
  static constexpr std::array<std::string_view, 3> kTuning = {
      "TTFL Tuning/Tuning Result 00", "TTFL Tuning/Tuning Result 01", "TTFL Tuning/Tuning Result 02"};
  for (std::string_view path : kTuning) {
    if (auto tuning = read_stream_opt(container, path)) {
      stream_bytes += tuning->size();
      layout.calibration = raw::ttfl_profile::parse_tuning_calibration(*tuning);
      break;
    }
  }
  return LayoutData(std::move(layout));
}

const TtflProfileData& of(const LayoutData& data) { return std::get<TtflProfileData>(data); }

std::size_t positions(const LayoutData& data) {
  return std::min(of(data).scan_ranges.size(), of(data).subsets.size());
}
const Bytes& scan_data(const LayoutData& data) { return of(data).ms_raw_data; }
std::uint64_t scan_start(const LayoutData& data, std::size_t i) { return of(data).scan_ranges[i].start; }
// The ranges were cut at load, for the stream's size.
std::uint64_t scan_stop(const LayoutData& data, std::size_t i, std::uint64_t) { return of(data).scan_ranges[i].end; }

std::unique_ptr<WalkState> walk_state(const LayoutData& data) {
  return std::make_unique<SharedTtflScans>(of(data), positions(data));
}

std::size_t walk(const LayoutData& data, WalkState* state, const ScanBytes& stream, std::size_t begin,
                 std::size_t end, ScanOut& out) {
  const TtflProfileData& layout = of(data);
  auto& scans = static_cast<SharedTtflScans&>(*state);
  const auto range = [&](std::size_t i) {
    return std::pair<std::uint64_t, std::uint64_t>(layout.scan_ranges[i].start, layout.scan_ranges[i].end);
  };
  return walk_scans(stream, begin, end, out, range, [&](std::size_t i, ByteView bytes) -> Result<bool> {
    // Channels come back as m/z when the file has a calibration.
    KELVARA_TRY(points, scans.take(layout.scan_ranges[i], bytes, out.space()));
    const std::uint32_t t = layout.subsets[i].rt_index;
    const double seconds =
        t < layout.retention_times_ms.size() ? raw::ms_to_seconds(layout.retention_times_ms[t]) : 0.0;
    return out.emit(i, *points, {1, seconds});
  });
}

// One MS1 spectrum per subset.
ScanYield yield(const LayoutData&, std::size_t, ByteView, std::uint64_t) { return {1, ScanYield::Kind::Ms1}; }

}  // namespace

const Layout kTtflProfileLayout{
    .name = "ttfl_profile",
    .extension = "lcd",
    .storage = "TTFL Raw Data",
    .probe = "TTFL Raw Data",
    .streams = kStreams,
    .scan_stream = kStreams[1],
    .profile = true,
    .load = load,
    .positions = positions,
    .scan_data = scan_data,
    .scan_start = scan_start,
    .scan_end = scan_stop,
    .walk_state = walk_state,
    .walk = walk,
    .yield_head_bytes = 0,
    .yield = yield,
    // One 16-bit word per channel.
    .densest_point_bytes = 2,
};

}  // namespace kelvara::reader
