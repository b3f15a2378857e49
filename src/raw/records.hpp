// One decoded spectrum as the reader holds it: owned lists, no references
// into file data. m/z values are double precision and intensities single
// precision in every layout; nothing between the decoders and Python changes
// either precision.
#pragma once

#include <cstdint>
#include <vector>

namespace kelvara::raw {

struct SpectrumRecord {
  std::vector<double> mz;
  std::vector<float> intensity;  // entry k belongs to mz entry k
  std::uint32_t ms_level = 1;    // 1 or 2
  double retention_time_sec = 0.0;
};

// Retention times are stored as unsigned milliseconds. The conversion is an
// exact widening followed by a division by 1000.0; multiplying by 0.001
// differs in the last bit for some values (9 ms among them).
inline double ms_to_seconds(std::uint32_t ms) { return static_cast<double>(ms) / 1000.0; }

}  // namespace kelvara::raw
