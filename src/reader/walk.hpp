// The walk over a layout's index, and the decode budget it keeps.
//
// Every layout follows one loop: for each index position, find the scan's
// byte range in the scan data, skip it when the range runs backwards or past
// the end, decode the bytes in place, and hand the records to the sink.
// Retention times of the LC-MS layouts are looked up by index position,
// never by record number, so a skipped scan does not shift the times of
// later ones. Every record is counted against the decode budget (Emitter)
// before it reaches the sink.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "common/bytes.hpp"
#include "raw/mass_raw/mass_raw.hpp"
#include "raw/qgd/qgd.hpp"
#include "raw/records.hpp"
#include "reader/build.hpp"
#include "reader/open.hpp"
#include "reader/ttfl_shared.hpp"

namespace kelvara::reader {

// The bytes [start, end) of the scan data, or nothing when the range runs
// backwards or past the end. An empty range is handed to the decoder, which
// rejects it as too short.
inline std::optional<ByteView> scan_bytes(const Bytes& data, std::uint64_t start, std::uint64_t end) {
  if (start > end || end > data.size()) return std::nullopt;
  return ByteView(data).sub(static_cast<std::size_t>(start), static_cast<std::size_t>(end - start));
}

// Scan i runs from its offset up to the next entry's, the last to the end of
// the data; the offsets are taken as stored, never sorted.
template <class Offset>
std::uint64_t scan_end(const std::vector<Offset>& offsets, std::size_t i, const Bytes& data) {
  return i + 1 < offsets.size() ? static_cast<std::uint64_t>(offsets[i + 1]) : data.size();
}

// Room at the end of a sink's value arrays, grown when a spectrum needs
// more than is left.
class ArraySpace final : public raw::PointSpace {
 public:
  explicit ArraySpace(ValueArrays* arrays) : arrays_(arrays) {}
  raw::PointSlots slots(std::size_t points) noexcept override {
    if (arrays_->room() < points && !arrays_->grow(points)) return refuse(points);
    return {arrays_->place_mz(points), arrays_->place_intensity(points)};
  }

 private:
  ValueArrays* arrays_;
};

// Hands records to the sink while keeping count of the decoded bytes; the
// first record that would pass the budget stops the walk with an error.
// The decoders write each spectrum's points to space(): into lists, or
// straight into the sink's value arrays when it gives them.
class Emitter {
 public:
  Emitter(SpectrumSink& sink, std::uint64_t stream_bytes, std::uint64_t slack)
      : sink_(sink),
        arrays_(sink.value_arrays()),
        array_space_(arrays_),
        stream_bytes_(stream_bytes),
        slack_(slack),
        budget_(decode_budget(stream_bytes, slack)) {}

  raw::PointSpace& space() {
    if (arrays_ != nullptr) return array_space_;
    return lists_;
  }

  // The spectrum of `points` points just written to space(). Past the
  // budget, the walk ends with an error, and whatever the spectrum left in
  // the value arrays goes with the failed decode.
  bool emit(std::size_t position, std::size_t points, const SpectrumInfo& info) {
    if (arrays_ != nullptr) return emit_placed(position, points, info);
    return emit(position, std::move(lists_.mz), std::move(lists_.intensity), info);
  }

  // A spectrum with its lists, decoded here or on another thread.
  bool emit(std::size_t position, std::vector<double>&& mz, std::vector<float>&& intensity,
            const SpectrumInfo& info) {
    if (!spend(position, mz.size())) return false;
    try {
      sink_.add(std::move(mz), std::move(intensity), info);
    } catch (const std::bad_alloc&) {
      return out_of_memory("the record of the spectrum at index position " + std::to_string(position));
    }
    return true;
  }

  // A spectrum whose values are in the sink's arrays already, or are copied
  // there by a decoding thread apart from this call.
  bool emit_placed(std::size_t position, std::size_t points, const SpectrumInfo& info) {
    if (!spend(position, points)) return false;
    try {
      sink_.add_placed(points, info);
    } catch (const std::bad_alloc&) {
      return out_of_memory("the columns of the spectrum at index position " + std::to_string(position));
    }
    return true;
  }

  // True, with the error set, when space() refused the points of the scan
  // at `position`.
  bool refused(std::size_t position) {
    const std::size_t points = space().refused();
    if (points == 0) return false;
    return !points_refused(position, points);
  }

  // The decode fails for want of memory for the `points` points of the scan
  // at `position`; false.
  bool points_refused(std::size_t position, std::size_t points) {
    return out_of_memory(std::to_string(points * kDecodeBytesPerPoint) + " bytes for the " + std::to_string(points) +
                         " points of the scan at index position " + std::to_string(position));
  }

  // The decode fails for want of memory for `what`; false.
  bool out_of_memory(const std::string& what) {
    if (!error_) error_ = raw::RawError::out_of_memory("could not allocate " + what);
    return false;
  }

  bool more() const { return true; }
  bool failed() const { return error_.has_value(); }
  ValueArrays* value_arrays() { return arrays_; }
  std::uint64_t budget() const { return budget_; }

  raw::Result<std::size_t> finish() && {
    if (error_) return Unexpected(std::move(*error_));
    return count_;
  }

 private:
  // Counts a spectrum of `points` points against the budget; false, with the
  // error set, when it would pass it.
  bool spend(std::size_t position, std::size_t points) {
    const std::uint64_t cost = decoded_bytes(points);
    if (cost > budget_ - spent_) {
      error_ = raw::RawError::parse(
          "decoded spectra exceed the decode budget of " + std::to_string(budget_) + " bytes (" +
          std::to_string(kDecodeBudgetPerStreamByte) + " per byte of the " + std::to_string(stream_bytes_) +
          " stream bytes, plus " + std::to_string(slack_) + ") at index position " +
          std::to_string(position) + "; the index addresses the scan data more often than an acquisition can");
      return false;
    }
    spent_ += cost;
    ++count_;
    return true;
  }

  SpectrumSink& sink_;
  ValueArrays* const arrays_;
  ArraySpace array_space_;
  raw::PointLists lists_;
  std::uint64_t stream_bytes_;
  std::uint64_t slack_;
  std::uint64_t budget_;
  std::uint64_t spent_ = 0;
  std::size_t count_ = 0;
  std::optional<raw::RawError> error_;
};

// The walks below cover the index positions [begin, end) and hand every
// record to `out`: each scan is decoded into out.space(), then announced
// with out.emit, which returns false to stop the walk at once (the budget
// is spent). A scan that does not decode is dropped, unless out.refused
// says the space had no memory for its points: then the walk stops there. Before each position they ask `out.more()`, which lets a
// worker thread give up between scans. They return the position they
// stopped before: `end` when the range is done.

template <class Out>
std::size_t walk_gcms(const GcmsData& layout, std::size_t begin, std::size_t end, Out& out) {
  const auto& offsets = layout.scan_offsets;
  for (std::size_t i = begin; i < end; ++i) {
    if (!out.more()) return i;
    const auto bytes = scan_bytes(layout.ms_raw_data, offsets[i], scan_end(offsets, i, layout.ms_raw_data));
    if (!bytes) continue;
    auto scan = raw::qgd::parse_gcms_scan(*bytes, out.space());
    if (!scan) {
      if (out.refused(i)) return i;
      continue;
    }
    if (const auto* profile = std::get_if<raw::PlacedScan>(&*scan)) {
      if (!out.emit(i, profile->points, {1, raw::ms_to_seconds(profile->retention_time_ms)})) return i;
    } else {
      // An MRM scan gives one single-peak record per transition, at its
      // product m/z, with its precursor m/z beside it.
      const auto& mrm = std::get<raw::qgd::MrmScan>(*scan);
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

template <class Out>
std::size_t walk_mass_raw(const MassRawData& layout, std::size_t begin, std::size_t end, Out& out) {
  const auto& offsets = layout.scan_offsets;
  for (std::size_t i = begin; i < end; ++i) {
    if (!out.more()) return i;
    const auto bytes = scan_bytes(layout.ms_raw_data, offsets[i], scan_end(offsets, i, layout.ms_raw_data));
    if (!bytes) continue;
    const auto scan = raw::mass_raw::parse_single_quad_scan(*bytes, out.space());
    if (!scan) {
      if (out.refused(i)) return i;
      continue;
    }
    if (!out.emit(i, scan->points, {1, raw::ms_to_seconds(scan->retention_time_ms)})) return i;
  }
  return end;
}

template <class Out>
std::size_t walk_qtfl(const QtflData& layout, std::size_t begin, std::size_t end, Out& out) {
  const auto& entries = layout.index_entries;
  const auto& data = layout.centroid_data;
  for (std::size_t i = begin; i < end; ++i) {
    if (!out.more()) return i;
    const std::uint64_t stop = i + 1 < entries.size() ? entries[i + 1].data_offset : data.size();
    const auto bytes = scan_bytes(data, entries[i].data_offset, stop);
    if (!bytes) continue;
    const auto points = raw::qtfl::decode_qtof_centroid_scan(*bytes, out.space());
    if (!points) {
      if (out.refused(i)) return i;
      continue;
    }
    const double seconds =
        i < layout.retention_times_ms.size() ? raw::ms_to_seconds(layout.retention_times_ms[i]) : 0.0;
    const std::uint32_t ms_level = entries[i].level_code < 2 ? 1 : 2;
    if (!out.emit(i, *points, {ms_level, seconds})) return i;
  }
  return end;
}

template <class Out>
std::size_t walk_ttfl(const TtflData& layout, SharedTtflScans& scans, std::size_t begin, std::size_t end,
                      Out& out) {
  for (std::size_t i = begin; i < end; ++i) {
    if (!out.more()) return i;
    const auto& range = layout.scan_ranges[i];
    const auto bytes = scan_bytes(layout.ms_raw_data, range.start, range.end);
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

// The number of index positions the layout's walk covers.
inline std::size_t index_positions(const LayoutData& layout) {
  return std::visit(
      [](const auto& data) -> std::size_t {
        using T = std::decay_t<decltype(data)>;
        if constexpr (std::is_same_v<T, GcmsData> || std::is_same_v<T, MassRawData>) {
          return data.scan_offsets.size();
        } else if constexpr (std::is_same_v<T, QtflData>) {
          return data.index_entries.size();
        } else {
          return std::min(data.scan_ranges.size(), data.subsets.size());
        }
      },
      layout);
}

// The bytes of scan data the index addresses.
inline std::size_t scan_data_bytes(const LayoutData& layout) {
  return std::visit(
      [](const auto& data) -> std::size_t {
        using T = std::decay_t<decltype(data)>;
        if constexpr (std::is_same_v<T, QtflData>) {
          return data.centroid_data.size();
        } else {
          return data.ms_raw_data.size();
        }
      },
      layout);
}

// Walks ranges of one file's index; the walks of one decode, on any
// thread, share what TTFL subsets with a common start have decoded.
class Walker {
 public:
  explicit Walker(const LayoutData& layout) : layout_(layout) {
    if (const auto* ttfl = std::get_if<TtflData>(&layout)) ttfl_.emplace(*ttfl, index_positions(layout));
  }

  template <class Out>
  std::size_t operator()(std::size_t begin, std::size_t end, Out& out) {
    return std::visit(
        [&](const auto& data) -> std::size_t {
          using T = std::decay_t<decltype(data)>;
          if constexpr (std::is_same_v<T, GcmsData>) {
            return walk_gcms(data, begin, end, out);
          } else if constexpr (std::is_same_v<T, MassRawData>) {
            return walk_mass_raw(data, begin, end, out);
          } else if constexpr (std::is_same_v<T, QtflData>) {
            return walk_qtfl(data, begin, end, out);
          } else {
            return walk_ttfl(data, *ttfl_, begin, end, out);
          }
        },
        layout_);
  }

 private:
  const LayoutData& layout_;
  std::optional<SharedTtflScans> ttfl_;
};

}  // namespace kelvara::reader
