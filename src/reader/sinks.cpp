// The sinks every consumer of the walk shares.

#include "reader/sinks.hpp"

#include <algorithm>
#include <limits>
#include <new>
#include <utility>

namespace kelvara::reader {

bool SpectrumSink::add(std::vector<double>&& /*mz*/, std::vector<float>&& /*intensity*/,
                       const SpectrumInfo& /*info*/) {
  // The walk hands lists only to a sink without value arrays, which takes
  // them.
  KELVARA_CHECK(false);
  return false;
}

bool RecordSink::add(std::vector<double>&& mz, std::vector<float>&& intensity, const SpectrumInfo& info) {
  try {
    records_.push_back(
        raw::SpectrumRecord{std::move(mz), std::move(intensity), info.ms_level, info.retention_time_sec});
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

bool ColumnSink::add_placed(std::size_t points, const SpectrumInfo& info) {
  if (offsets.size() == 0) return false;
  points_ += points;
  return offsets.push(static_cast<std::int64_t>(points_)) && ms_level.push(static_cast<std::uint8_t>(info.ms_level)) &&
         retention_time.push(info.retention_time_sec) && precursor_mz.push(info.precursor_mz);
}

bool ColumnSink::drop(std::size_t position, const Error& reason) {
  std::uint8_t code = kMaxDropReasons;
  try {
    const auto known = reason_codes_.find(reason.message());
    if (known != reason_codes_.end()) {
      code = known->second;
    } else if (reasons.size() < kMaxDropReasons) {
      code = static_cast<std::uint8_t>(reasons.size());
      reasons.push_back(reason.message());
      reason_codes_.emplace(reason.message(), code);
    } else if (reasons.size() == kMaxDropReasons) {
      reasons.push_back("further reasons not kept (a run keeps its first " + num(kMaxDropReasons) +
                        " distinct reasons)");
    }
  } catch (const std::bad_alloc&) {
    return false;
  }
  return dropped_positions.push(static_cast<std::int64_t>(position)) && dropped_codes.push(code);
}

bool ColumnSink::grow(std::size_t points) {
  std::size_t wanted = 0;
  const std::size_t spectra = ms_level.size();
  if (positions_ != 0 && spectra >= std::max<std::size_t>(positions_ / 100, 64)) {
    // In floating point: the product may pass size_t, and a projection
    // needs no exactness.
    const double projected = static_cast<double>(points_) / static_cast<double>(spectra) *
                             static_cast<double>(positions_) * 1.125;
    const double cap = static_cast<double>(most_ == 0 ? std::numeric_limits<std::size_t>::max() / 16 : most_);
    wanted = static_cast<std::size_t>(std::min(projected, cap));
  }
  return mz.reserve_more(points, wanted) && intensity.reserve_more(points, wanted);
}

void ColumnSink::drop_front(std::size_t spectra) {
  spectra = std::min(spectra, ms_level.size());
  const auto points = static_cast<std::size_t>(offsets.data()[spectra]);
  mz.drop_front(points);
  intensity.drop_front(points);
  offsets.drop_front(spectra);
  for (std::size_t k = 0; k < offsets.size(); ++k) offsets.data()[k] -= static_cast<std::int64_t>(points);
  ms_level.drop_front(spectra);
  retention_time.drop_front(spectra);
  precursor_mz.drop_front(spectra);
  points_ -= points;
}

void ColumnSink::expect_positions(std::size_t positions, std::size_t most) {
  positions_ = positions;
  most_ = most;
}

}  // namespace kelvara::reader
