// QTOF centroid LC-MS data files (".lcd" with "QTFL RawData").
//
// "Centroid Index" holds one 24-byte entry per scan (data offset and MS level
// code), "Retention Time" one 12-byte entry per scan, and "Centroid Data" the
// scan records: a 64-byte header, then an array of u64 m/z values in units of
// 1e-12 followed by an array of 1-, 2- or 4-byte intensities.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "common/bytes.hpp"
#include "common/error.hpp"
#include "raw/records.hpp"

namespace kelvara::raw::qtof_centroid {

struct QtofIndexEntry {
  std::uint32_t data_offset = 0;
  std::uint32_t level_code = 0;  // below 2: MS1; 2 or more: MS2
};

Result<std::vector<QtofIndexEntry>> parse_centroid_index(ByteView index);
Result<std::vector<std::uint32_t>> parse_qtfl_retention_times(ByteView times);

// Decodes one scan record, header included, its points written to
// `points`; gives their number.
Result<std::size_t> decode_qtof_centroid_scan(ByteView record, PointSpace& points);

}  // namespace kelvara::raw::qtof_centroid
