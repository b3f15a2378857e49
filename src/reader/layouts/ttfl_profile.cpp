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

constexpr std::string_view kScanStream = "TTFL Raw Data/MS Raw Data";

raw::Result<LayoutData> load(const cfb::CompoundFile& container, const ReadOptions& options,
                             std::uint64_t& stream_bytes) {
  auto index = read_stream(container, "TTFL Raw Data/Data Index", options);
  if (!index) return Unexpected(std::move(index).error());
  auto data = read_scan_stream(container, kScanStream, options);
  if (!data) return Unexpected(std::move(data).error());
  auto times = read_stream(container, "TTFL Raw Data/Retention Time", options);
  if (!times) return Unexpected(std::move(times).error());
  stream_bytes = index->size() + data->size + times->size();
  auto subsets = raw::ttfl_profile::parse_data_index(*index);
  if (!subsets) return Unexpected(std::move(subsets).error());

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
  for (std::size_t i = begin; i < end; ++i) {
    if (!out.more()) return i;
    const auto& range = layout.scan_ranges[i];
    const auto bytes = stream.range(range.start, range.end);
    if (!bytes) continue;
    // Channels come back as m/z when the file has a calibration.
    const auto points = scans.take(range, *bytes, out.space());
    if (!points) {
      if (out.refused(i)) return i;
      continue;
    }
    const std::uint32_t t = layout.subsets[i].rt_index;
    const double seconds =
        t < layout.retention_times_ms.size() ? raw::ms_to_seconds(layout.retention_times_ms[t]) : 0.0;
    if (!out.emit(i, *points, {1, seconds})) return i;
  }
  return end;
}

}  // namespace

const Layout kTtflProfileLayout{
    "ttfl_profile", "lcd",     "TTFL Raw Data", "TTFL Raw Data", kScanStream, true, load, positions, scan_data,
    scan_start,     scan_stop, walk_state,      walk,
    // One 16-bit word per channel.
    2,
};

}  // namespace kelvara::reader
