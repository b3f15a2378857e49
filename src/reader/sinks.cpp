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
  return mz.try_reserve_more(points) && intensity.try_reserve_more(points);
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

void ColumnSink::expect_stream_bytes(std::uint64_t stream_bytes) {
  const std::uint64_t points = stream_bytes / 2;
  if (points > std::numeric_limits<std::size_t>::max()) return;
  mz.try_reserve(static_cast<std::size_t>(points));
  intensity.try_reserve(static_cast<std::size_t>(points));
}

}  // namespace kelvara::reader
