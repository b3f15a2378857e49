// Building the spectrum list.
//
// Every layout follows one loop: for each index position, find the scan's
// byte range in the scan data, skip it when the range runs backwards or past
// the end, decode the bytes in place, and hand the records to the sink.
// Retention times of the LC-MS layouts are looked up by index position,
// never by record number, so a skipped scan does not shift the times of
// later ones. Every record is counted against the decode budget before it
// reaches the sink.

#include "reader/build.hpp"

#include <algorithm>
#include <optional>
#include <string>
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

// Hands records to the sink while keeping count of the decoded bytes; the
// first record that would pass the budget stops the walk with an error.
class Emitter {
 public:
  Emitter(SpectrumSink& sink, std::uint64_t stream_bytes)
      : sink_(sink), stream_bytes_(stream_bytes), budget_(decode_budget(stream_bytes)) {}

  bool emit(std::size_t position, std::vector<double>&& mz, std::vector<float>&& intensity, std::uint32_t ms_level,
            double seconds) {
    const std::uint64_t cost = decoded_bytes(mz.size());
    if (cost > budget_ - spent_) {
      error_ = raw::RawError::parse(
          "decoded spectra exceed the decode budget of " + std::to_string(budget_) + " bytes (" +
          std::to_string(kDecodeBudgetPerStreamByte) + " per byte of the " + std::to_string(stream_bytes_) +
          " stream bytes, plus " + std::to_string(kDecodeBudgetSlack) + ") at index position " +
          std::to_string(position) + "; the index addresses the scan data more often than an acquisition can");
      return false;
    }
    spent_ += cost;
    ++count_;
    sink_.add(std::move(mz), std::move(intensity), ms_level, seconds);
    return true;
  }

  raw::Result<std::size_t> finish() && {
    if (error_) return Unexpected(std::move(*error_));
    return count_;
  }

 private:
  SpectrumSink& sink_;
  std::uint64_t stream_bytes_;
  std::uint64_t budget_;
  std::uint64_t spent_ = 0;
  std::size_t count_ = 0;
  std::optional<raw::RawError> error_;
};

void walk_gcms(const GcmsData& layout, Emitter& out) {
  const auto& offsets = layout.scan_offsets;
  for (std::size_t i = 0; i < offsets.size(); ++i) {
    const auto bytes = scan_bytes(layout.ms_raw_data, offsets[i], scan_end(offsets, i, layout.ms_raw_data));
    if (!bytes) continue;
    auto scan = raw::qgd::parse_gcms_scan(*bytes);
    if (!scan) continue;
    if (auto* profile = std::get_if<raw::qgd::ProfileScan>(&*scan)) {
      if (!out.emit(i, std::move(profile->mz), std::move(profile->intensity), 1,
                    raw::ms_to_seconds(profile->retention_time_ms))) {
        return;
      }
    } else {
      // An MRM scan gives one single-peak record per transition, at its
      // product m/z; the precursor m/z reaches no record.
      const auto& mrm = std::get<raw::qgd::MrmScan>(*scan);
      const double seconds = raw::ms_to_seconds(mrm.retention_time_ms);
      for (const auto& transition : mrm.transitions) {
        if (!out.emit(i, {transition.product_mz}, {transition.intensity}, 2, seconds)) return;
      }
    }
  }
}

void walk_mass_raw(const MassRawData& layout, Emitter& out) {
  const auto& offsets = layout.scan_offsets;
  for (std::size_t i = 0; i < offsets.size(); ++i) {
    const auto bytes = scan_bytes(layout.ms_raw_data, offsets[i], scan_end(offsets, i, layout.ms_raw_data));
    if (!bytes) continue;
    auto scan = raw::mass_raw::parse_single_quad_scan(*bytes);
    if (!scan) continue;
    if (!out.emit(i, std::move(scan->mz), std::move(scan->intensity), 1,
                  raw::ms_to_seconds(scan->retention_time_ms))) {
      return;
    }
  }
}

void walk_qtfl(const QtflData& layout, Emitter& out) {
  const auto& entries = layout.index_entries;
  const auto& data = layout.centroid_data;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const std::uint64_t end = i + 1 < entries.size() ? entries[i + 1].data_offset : data.size();
    const auto bytes = scan_bytes(data, entries[i].data_offset, end);
    if (!bytes) continue;
    auto scan = raw::qtfl::decode_qtof_centroid_scan(*bytes);
    if (!scan) continue;
    const double seconds =
        i < layout.retention_times_ms.size() ? raw::ms_to_seconds(layout.retention_times_ms[i]) : 0.0;
    const std::uint32_t ms_level = entries[i].level_code < 2 ? 1 : 2;
    if (!out.emit(i, std::move(scan->mz), std::move(scan->intensities), ms_level, seconds)) return;
  }
}

void walk_ttfl(const TtflData& layout, Emitter& out) {
  const std::size_t count = std::min(layout.scan_ranges.size(), layout.subsets.size());
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
    if (!out.emit(i, std::move(scan->channels), std::move(scan->intensities), 1, seconds)) return;
  }
}

// Keeps every record, as the Python reader holds them.
class RecordSink final : public SpectrumSink {
 public:
  explicit RecordSink(std::vector<SpectrumRecord>& records) : records_(records) {}
  void add(std::vector<double>&& mz, std::vector<float>&& intensity, std::uint32_t ms_level,
           double retention_time_sec) override {
    records_.push_back(SpectrumRecord{std::move(mz), std::move(intensity), ms_level, retention_time_sec});
  }

 private:
  std::vector<SpectrumRecord>& records_;
};

// One record per index entry is the usual case for every layout but GC-MS,
// whose MRM scans give several records each.
std::size_t expected_records(const LayoutData& layout) {
  if (const auto* data = std::get_if<MassRawData>(&layout)) return data->scan_offsets.size();
  if (const auto* data = std::get_if<QtflData>(&layout)) return data->index_entries.size();
  if (const auto* data = std::get_if<TtflData>(&layout)) return data->subsets.size();
  return 0;
}

}  // namespace

std::uint64_t decode_budget(std::uint64_t stream_bytes) {
  constexpr std::uint64_t kMaxStreamBytes = (~std::uint64_t{0} - kDecodeBudgetSlack) / kDecodeBudgetPerStreamByte;
  return std::min(stream_bytes, kMaxStreamBytes) * kDecodeBudgetPerStreamByte + kDecodeBudgetSlack;
}

raw::Result<std::size_t> decode_spectra(const RawFile& file, SpectrumSink& sink) {
  Emitter out(sink, file.stream_bytes);
  std::visit(
      [&](const auto& layout) {
        using T = std::decay_t<decltype(layout)>;
        if constexpr (std::is_same_v<T, GcmsData>) {
          walk_gcms(layout, out);
        } else if constexpr (std::is_same_v<T, MassRawData>) {
          walk_mass_raw(layout, out);
        } else if constexpr (std::is_same_v<T, QtflData>) {
          walk_qtfl(layout, out);
        } else {
          walk_ttfl(layout, out);
        }
      },
      file.layout);
  return std::move(out).finish();
}

raw::Result<std::vector<SpectrumRecord>> build_spectra(RawFile file) {
  std::vector<SpectrumRecord> spectra;
  spectra.reserve(expected_records(file.layout));
  RecordSink sink(spectra);
  auto decoded = decode_spectra(file, sink);
  if (!decoded) return Unexpected(std::move(decoded).error());
  return spectra;
}

}  // namespace kelvara::reader
