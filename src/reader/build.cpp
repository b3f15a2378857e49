// Building the spectrum list.
//
// Every layout follows one loop: for each index position, find the scan's
// byte range in the scan data, skip it when the range runs backwards or past
// the end, decode the bytes in place, and append the records. Retention
// times of the LC-MS layouts are looked up by index position, never by
// record number, so a skipped scan does not shift the times of later ones.

#include "reader/build.hpp"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <type_traits>
#include <utility>

#include "common/bytes.hpp"
#include "raw/mass_raw/mass_raw.hpp"
#include "raw/qgd/qgd.hpp"

namespace kelvara::reader {
namespace {

using raw::SpectrumRecord;

// The bytes [start, end) of the scan data, or nothing when the range runs
// backwards or past the end. An empty range is handed to the decoder, which
// rejects it as too short.
std::optional<ByteView> scan_bytes(const Bytes& data, std::uint64_t start, std::uint64_t end) {
  if (start > end || end > data.size()) return std::nullopt;
  return ByteView(data).sub(static_cast<std::size_t>(start), static_cast<std::size_t>(end - start));
}

// Scan i runs from its offset up to the next entry's, the last to the end of
// the data; the offsets are taken as stored, never sorted.
template <class Offset>
std::uint64_t scan_end(const std::vector<Offset>& offsets, std::size_t i, const Bytes& data) {
  return i + 1 < offsets.size() ? static_cast<std::uint64_t>(offsets[i + 1]) : data.size();
}

void build_gcms(const GcmsData& layout, std::vector<SpectrumRecord>& out) {
  const auto& offsets = layout.scan_offsets;
  for (std::size_t i = 0; i < offsets.size(); ++i) {
    const auto bytes = scan_bytes(layout.ms_raw_data, offsets[i], scan_end(offsets, i, layout.ms_raw_data));
    if (!bytes) continue;
    auto scan = raw::qgd::parse_gcms_scan(*bytes);
    if (!scan) continue;
    if (auto* profile = std::get_if<raw::qgd::ProfileScan>(&*scan)) {
      out.push_back(SpectrumRecord{std::move(profile->mz), std::move(profile->intensity), 1,
                                   raw::ms_to_seconds(profile->retention_time_ms)});
    } else {
      // An MRM scan gives one single-peak record per transition, at its
      // product m/z; the precursor m/z reaches no record.
      const auto& mrm = std::get<raw::qgd::MrmScan>(*scan);
      const double seconds = raw::ms_to_seconds(mrm.retention_time_ms);
      for (const auto& transition : mrm.transitions) {
        out.push_back(SpectrumRecord{{transition.product_mz}, {transition.intensity}, 2, seconds});
      }
    }
  }
}

void build_mass_raw(const MassRawData& layout, std::vector<SpectrumRecord>& out) {
  const auto& offsets = layout.scan_offsets;
  out.reserve(offsets.size());
  for (std::size_t i = 0; i < offsets.size(); ++i) {
    const auto bytes = scan_bytes(layout.ms_raw_data, offsets[i], scan_end(offsets, i, layout.ms_raw_data));
    if (!bytes) continue;
    auto scan = raw::mass_raw::parse_single_quad_scan(*bytes);
    if (!scan) continue;
    out.push_back(SpectrumRecord{std::move(scan->mz), std::move(scan->intensity), 1,
                                 raw::ms_to_seconds(scan->retention_time_ms)});
  }
}

void build_qtfl(const QtflData& layout, std::vector<SpectrumRecord>& out) {
  const auto& entries = layout.index_entries;
  const auto& data = layout.centroid_data;
  out.reserve(entries.size());
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const std::uint64_t end = i + 1 < entries.size() ? entries[i + 1].data_offset : data.size();
    const auto bytes = scan_bytes(data, entries[i].data_offset, end);
    if (!bytes) continue;
    auto scan = raw::qtfl::decode_qtof_centroid_scan(*bytes);
    if (!scan) continue;
    const double seconds =
        i < layout.retention_times_ms.size() ? raw::ms_to_seconds(layout.retention_times_ms[i]) : 0.0;
    const std::uint32_t ms_level = entries[i].level_code < 2 ? 1 : 2;
    out.push_back(SpectrumRecord{std::move(scan->mz), std::move(scan->intensities), ms_level, seconds});
  }
}

void build_ttfl(const TtflData& layout, std::vector<SpectrumRecord>& out) {
  const std::size_t count = std::min(layout.scan_ranges.size(), layout.subsets.size());
  out.reserve(layout.subsets.size());
  for (std::size_t i = 0; i < count; ++i) {
    const auto& range = layout.scan_ranges[i];
    const auto bytes = scan_bytes(layout.ms_raw_data, range.start, range.end);
    if (!bytes) continue;
    auto scan = raw::ttfl::decode_ttfl_scan(*bytes);
    if (!scan) continue;
    const std::uint32_t t = layout.subsets[i].rt_index;
    const double seconds =
        t < layout.retention_times_ms.size() ? raw::ms_to_seconds(layout.retention_times_ms[t]) : 0.0;
    if (layout.calibration) {
      for (double& x : scan->channels) x = raw::ttfl::channel_to_mz(*layout.calibration, x);
    }
    out.push_back(SpectrumRecord{std::move(scan->channels), std::move(scan->intensities), 1, seconds});
  }
}

}  // namespace

std::vector<SpectrumRecord> build_spectra(RawFile file) {
  std::vector<SpectrumRecord> spectra;
  std::visit(
      [&](const auto& layout) {
        using T = std::decay_t<decltype(layout)>;
        if constexpr (std::is_same_v<T, GcmsData>) {
          build_gcms(layout, spectra);
        } else if constexpr (std::is_same_v<T, MassRawData>) {
          build_mass_raw(layout, spectra);
        } else if constexpr (std::is_same_v<T, QtflData>) {
          build_qtfl(layout, spectra);
        } else {
          build_ttfl(layout, spectra);
        }
      },
      file.layout);
  return spectra;
}

}  // namespace kelvara::reader
