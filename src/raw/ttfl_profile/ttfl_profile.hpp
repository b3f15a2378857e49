// TTFL profile LC-MS data files (".lcd" with "TTFL Raw Data").
//
// "Data Index" holds one 16-byte subset entry per scan (start offset into
// "MS Raw Data" and a retention-time index); a scan record is a 64-byte
// header, an optional preamble, and a block stream of 16-bit words: runs of
// consecutive channels, each run after a gap, ended by the word 0x8000.
// A tuning result, when present, gives reference masses and their measured
// channel positions, from which a calibration channel = slope * sqrt(m/z) +
// intercept is fitted by least squares.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "common/bytes.hpp"
#include "common/error.hpp"
#include "raw/records.hpp"

namespace kelvara::raw::ttfl_profile {

struct Subset {
  std::uint32_t start_offset = 0;
  std::uint32_t rt_index = 0;
};

struct TtflScanRange {
  std::uint32_t start = 0;
  std::uint32_t end = 0;  // exclusive
};

struct MassCalibration {
  double slope = 0.0;
  double intercept = 0.0;
};

Result<std::vector<Subset>> parse_data_index(ByteView index);

// One byte range per subset, in the same order: from the subset's start to
// the next larger distinct start, the last one to the end of the data.
std::vector<TtflScanRange> ttfl_scan_ranges(const std::vector<Subset>& subsets, std::size_t data_len);

std::optional<MassCalibration> parse_tuning_calibration(ByteView tuning);

// Decodes one scan record, its points written to `points`, and gives their
// number, or why the record holds no block stream. With a calibration, every channel is written as its m/z;
// without, as the channel number.
Result<std::size_t> decode_ttfl_scan(ByteView record, const std::optional<MassCalibration>& calibration,
                                     PointSpace& points);

// m/z of a channel position: ((x - intercept) / slope)^2, in that order.
inline double channel_to_mz(const MassCalibration& calibration, double channel) {
  const double q = (channel - calibration.intercept) / calibration.slope;
  return q * q;
}

}  // namespace kelvara::raw::ttfl_profile
