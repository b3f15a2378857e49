// One decoded spectrum as the reader holds it: owned lists, no references
// into file data. m/z values are double precision and intensities single
// precision in every layout; nothing between the decoders and Python changes
// either precision.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
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

// Whether slots asked for `points` points were refused (null slots for no
// points are no refusal: an empty list has no storage).
inline bool refused(const PointSlots& slots, std::size_t points) { return points != 0 && slots.mz == nullptr; }

// Where a decoder writes a scan's points: in lists of the scan's own, or
// straight into a caller's buffers. A decoder checks the whole record
// first, then asks for slots exactly once, for exactly the scan's number of
// points, and writes every one of them; a record that fails its checks asks
// for none.
//
// Asking never throws: when the memory for the points cannot be had, the
// slots are null, the decoder fails the scan without writing, and refused()
// tells the walk that the scan was not faulty but memory ran out, which
// fails the whole decode instead of dropping one scan. Decoding threads
// thus never throw for want of memory.
class PointSpace {
 public:
  virtual PointSlots slots(std::size_t points) noexcept = 0;

  // The points of the last request that was refused; 0 when none was.
  std::size_t refused() const noexcept { return refused_; }
  // Refuses a request of `points` points: null slots, and refused() says so.
  PointSlots refuse(std::size_t points) noexcept {
    refused_ = points == 0 ? 1 : points;
    return {nullptr, nullptr};
  }

 protected:
  ~PointSpace() = default;

 private:
  std::size_t refused_ = 0;
};

// A scan's own lists, sized when the decoder asks.
class PointLists final : public PointSpace {
 public:
  PointSlots slots(std::size_t points) noexcept override {
    try {
      mz.resize(points);
      intensity.resize(points);
    } catch (const std::bad_alloc&) {
      return refuse(points);
    }
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
