// QTOF centroid LC-MS runs (".lcd" with "QTFL RawData"): one record per
// scan, its MS level and retention time from the index position.

#include <array>
#include <string_view>
#include <utility>
#include <variant>

#include "raw/qtof_centroid/qtof_centroid.hpp"
#include "reader/layouts.hpp"

namespace kelvara::reader {
namespace {

// The streams load reads, in this order.
constexpr std::array<std::string_view, 3> kStreams = {"QTFL RawData/Centroid Index", "QTFL RawData/Centroid Data", "QTFL RawData/Retention Time"};

Result<LayoutData> load(const cfb::CompoundFile& container, const ReadOptions& options,
                        std::uint64_t& stream_bytes) {
  KELVARA_TRY(index, read_stream(container, kStreams[0], options));
  KELVARA_TRY(data, read_scan_stream(container, kStreams[1], options));
  KELVARA_TRY(times, read_stream(container, kStreams[2], options));
  stream_bytes = index->size() + data->size + times->size();
  KELVARA_TRY(entries, raw::qtof_centroid::parse_centroid_index(*index));
  KELVARA_TRY(retention, raw::qtof_centroid::parse_qtfl_retention_times(*times));
  return LayoutData(QtofCentroidData{std::move(data->bytes), std::move(*entries), std::move(*retention)});
}

const QtofCentroidData& of(const LayoutData& data) { return std::get<QtofCentroidData>(data); }

std::size_t positions(const LayoutData& data) { return of(data).index_entries.size(); }
const Bytes& scan_data(const LayoutData& data) { return of(data).centroid_data; }
std::uint64_t scan_start(const LayoutData& data, std::size_t i) { return of(data).index_entries[i].data_offset; }

std::uint64_t scan_stop(const LayoutData& data, std::size_t i, std::uint64_t size) {
  const auto& entries = of(data).index_entries;
  return i + 1 < entries.size() ? entries[i + 1].data_offset : size;
}

std::size_t walk(const LayoutData& data, WalkState*, const ScanBytes& scans, std::size_t begin, std::size_t end,
                 ScanOut& out) {
  const QtofCentroidData& layout = of(data);
  const auto& entries = layout.index_entries;
  const auto range = [&](std::size_t i) {
    return std::pair<std::uint64_t, std::uint64_t>(entries[i].data_offset, scan_stop(data, i, scans.size()));
  };
  return walk_scans(scans, begin, end, out, range, [&](std::size_t i, ByteView bytes) -> Result<bool> {
    KELVARA_TRY(points, raw::qtof_centroid::decode_qtof_centroid_scan(bytes, out.space()));
    const double seconds =
        i < layout.retention_times_ms.size() ? raw::ms_to_seconds(layout.retention_times_ms[i]) : 0.0;
    const std::uint32_t ms_level = entries[i].level_code < 2 ? 1 : 2;
    return out.emit(i, *points, {ms_level, seconds});
  });
}

// One spectrum per scan, its MS level in the index.
ScanYield yield(const LayoutData& data, std::size_t i, ByteView, std::uint64_t) {
  return {1, of(data).index_entries[i].level_code < 2 ? ScanYield::Kind::Ms1 : ScanYield::Kind::Msn};
}

}  // namespace

const Layout kQtofCentroidLayout{
    .name = "qtof_centroid",
    .extension = "lcd",
    .storage = "QTFL RawData",
    .probe = "QTFL RawData",
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
    // An 8-byte m/z and an intensity of at least 1 byte.
    .densest_point_bytes = 9,
};

}  // namespace kelvara::reader
