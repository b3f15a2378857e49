// The sinks every consumer of the walk shares.

#include "reader/sinks.hpp"

#include <algorithm>
#include <limits>
#include <stdexcept>
#include <utility>

namespace kelvara::reader {

void SpectrumSink::add(std::vector<double>&& /*mz*/, std::vector<float>&& /*intensity*/,
                       const SpectrumInfo& /*info*/) {
  throw std::logic_error("a spectrum sink without value arrays must take lists");
}

void RecordSink::add(std::vector<double>&& mz, std::vector<float>&& intensity, const SpectrumInfo& info) {
  records_.push_back(raw::SpectrumRecord{std::move(mz), std::move(intensity), info.ms_level, info.retention_time_sec});
}

void ColumnSink::add_placed(std::size_t points, const SpectrumInfo& info) {
  points_ += points;
  offsets.push(static_cast<std::int64_t>(points_));
  ms_level.push(static_cast<std::uint8_t>(info.ms_level));
  retention_time.push(info.retention_time_sec);
  precursor_mz.push(info.precursor_mz);
}

bool ColumnSink::grow(std::size_t points) noexcept {
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
  return mz.try_reserve_more(points, wanted) && intensity.try_reserve_more(points, wanted);
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

void ColumnSink::expect_points(std::size_t points) {
  mz.try_reserve(points);
  intensity.try_reserve(points);
}

}  // namespace kelvara::reader
