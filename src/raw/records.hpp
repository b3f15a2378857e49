// One decoded spectrum as the reader holds it: owned lists, no references
// into file data. m/z values are double precision and intensities single
// precision in every layout; nothing between the decoders and Python changes
// either precision.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kelvara::raw {

struct SpectrumRecord {
  std::vector<double> mz;
  std::vector<float> intensity;  // entry k belongs to mz entry k
  std::uint32_t ms_level = 1;    // 1 or 2
  double retention_time_sec = 0.0;
};

// Room for one scan's points, as a decoder asks for it.
struct PointSlots {
  double* mz;
  float* intensity;  // entry k belongs to mz entry k
};

// Where a decoder writes a scan's points: in lists of the scan's own, or
// straight into a caller's buffers. A decoder checks the whole record
// first, then asks for slots exactly once, for exactly the scan's number of
// points, and writes every one of them; a record that fails its checks asks
// for none.
class PointSpace {
 public:
  virtual PointSlots slots(std::size_t points) = 0;

 protected:
  ~PointSpace() = default;
};

// A scan's own lists, sized when the decoder asks.
class PointLists final : public PointSpace {
 public:
  PointSlots slots(std::size_t points) override {
    mz.resize(points);
    intensity.resize(points);
    return {mz.data(), intensity.data()};
  }

  std::vector<double> mz;
  std::vector<float> intensity;
};

// A scan decoded into a PointSpace: what the record says beside its points.
struct PlacedScan {
  std::uint32_t retention_time_ms = 0;
  std::size_t points = 0;
};

// Retention times are stored as unsigned milliseconds. The conversion is an
// exact widening followed by a division by 1000.0; multiplying by 0.001
// differs in the last bit for some values (9 ms among them).
inline double ms_to_seconds(std::uint32_t ms) { return static_cast<double>(ms) / 1000.0; }

}  // namespace kelvara::raw
