// Where decoded spectra go.
//
// The walk hands every decoded spectrum to a SpectrumSink, in record order,
// on the calling thread. A sink either keeps lists (RecordSink, what the
// Python reader holds) or gives value arrays that the decoders write into
// (ColumnSink, the flat columns of kelvara_tools). Plain C++: nothing here
// knows of Python, so the fuzz targets drive the same sinks the extensions
// use.
//
// Nothing here throws: a sink that cannot make room for a spectrum says so
// by returning false, and the walk then fails with an out-of-memory error.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <string>
#include <unordered_map>
#include <type_traits>
#include <utility>
#include <vector>

#include "common/check.hpp"
#include "common/error.hpp"
#include "raw/records.hpp"

namespace kelvara::reader {

// What the index and a scan record say of a spectrum beside its points.
struct SpectrumInfo {
  std::uint32_t ms_level = 1;  // 1 or 2
  double retention_time_sec = 0.0;
  // The precursor m/z of a GC-MS MRM transition; NaN for every other
  // spectrum.
  double precursor_mz = std::numeric_limits<double>::quiet_NaN();
};

// Two growing arrays holding every m/z and every intensity of a run, end to
// end, for a sink that copies values instead of keeping lists.
class ValueArrays {
 public:
  // Room left for values before the arrays must grow.
  virtual std::size_t room() const = 0;
  // Makes room for at least `points` more values. May move the arrays.
  // False when the system refused the memory; the arrays are unchanged.
  virtual bool grow(std::size_t points) = 0;
  // The next `points` values, which the caller fills; needs the room.
  virtual double* place_mz(std::size_t points) = 0;
  virtual float* place_intensity(std::size_t points) = 0;

 protected:
  ~ValueArrays() = default;
};

// Receives every decoded spectrum, in record order, on the calling thread.
//
// A sink either keeps lists, which it takes through add, or gives value
// arrays (value_arrays). Then the decoders write each spectrum's values
// straight into those arrays, or into a buffer per chunk of the index that
// a decoding thread copies into place, and the sink only hears of the
// spectrum through add_placed: the calling thread copies nothing and no list
// crosses threads. The arrays grow and move only on the calling thread,
// once no copy into them is under way.
class SpectrumSink {
 public:
  // A spectrum's lists, for a sink without value arrays. False when the
  // sink could not make room for it.
  virtual bool add(std::vector<double>&& mz, std::vector<float>&& intensity, const SpectrumInfo& info);
  virtual ValueArrays* value_arrays() { return nullptr; }
  // A spectrum of `points` values, placed in value_arrays' arrays next,
  // after those of the spectra before it. False as for add.
  virtual bool add_placed(std::size_t /*points*/, const SpectrumInfo& /*info*/) { return true; }
  // The scan at index position `position` was left out, for `reason`; in
  // position order, apart from the spectra. False as for add.
  virtual bool drop(std::size_t /*position*/, const Error& /*reason*/) { return true; }

 protected:
  ~SpectrumSink() = default;
};

// Keeps every record, as the Python reader holds them.
class RecordSink final : public SpectrumSink {
 public:
  explicit RecordSink(std::vector<raw::SpectrumRecord>& records) : records_(records) {}
  // The precursor m/z reaches no record.
  bool add(std::vector<double>&& mz, std::vector<float>&& intensity, const SpectrumInfo& info) override;

 private:
  std::vector<raw::SpectrumRecord>& records_;
};

// A block of T from malloc that grows with realloc, so the values are never
// held twice. glibc serves large blocks as mapped pages, which realloc
// remaps (mremap) instead of copying, and capacity never written is never
// made resident: doubling costs address space, not memory. take() trims the
// block to its size and gives it away, to be released with std::free. A
// refused allocation leaves the block as it was and is reported by a false
// return.
template <class T>
class Block {
  static_assert(std::is_trivially_copyable_v<T>);

 public:
  Block() = default;
  Block(const Block&) = delete;
  Block& operator=(const Block&) = delete;
  ~Block() { std::free(data_); }
  Block(Block&& other) noexcept
      : data_(std::exchange(other.data_, nullptr)),
        size_(std::exchange(other.size_, 0)),
        capacity_(std::exchange(other.capacity_, 0)) {}
  Block& operator=(Block&& other) noexcept {
    if (this != &other) {
      std::free(data_);
      data_ = std::exchange(other.data_, nullptr);
      size_ = std::exchange(other.size_, 0);
      capacity_ = std::exchange(other.capacity_, 0);
    }
    return *this;
  }

  // Keeps the capacity, drops the values.
  void clear() noexcept { size_ = 0; }

  // Drops the first `count` values (at most size()); the rest move to the
  // front.
  void drop_front(std::size_t count) noexcept {
    count = std::min(count, size_);
    if (count != 0 && count != size_) std::copy(data_ + count, data_ + size_, data_);
    size_ -= count;
  }

  std::size_t size() const noexcept { return size_; }
  std::size_t room() const noexcept { return capacity_ - size_; }
  const T* data() const noexcept { return data_; }
  T* data() noexcept { return data_; }

  [[nodiscard]] bool append(const T* values, std::size_t count) noexcept {
    if (count > capacity_ - size_ && !grow(count, 0)) return false;
    if (count != 0) std::copy(values, values + count, data_ + size_);
    size_ += count;
    return true;
  }

  // Makes room for `count` more values; may move the block.
  // Grows to `wanted` values in all when that is enough, else doubles.
  [[nodiscard]] bool reserve_more(std::size_t count, std::size_t wanted = 0) noexcept {
    return count <= capacity_ - size_ || grow(count, wanted);
  }

  // Asks for room for `count` values in all, if the system grants it; none
  // of it is made resident until written.
  void try_reserve(std::size_t count) noexcept {
    if (count <= capacity_ || count > std::numeric_limits<std::size_t>::max() / sizeof(T)) return;
    if (void* grown = std::realloc(data_, count * sizeof(T))) {
      data_ = static_cast<T*>(grown);
      capacity_ = count;
    }
  }

  // The next `count` values, left for the caller to write; needs the room.
  T* place(std::size_t count) noexcept {
    KELVARA_CHECK(count <= capacity_ - size_);
    return data_ + std::exchange(size_, size_ + count);
  }

  [[nodiscard]] bool push(T value) noexcept { return append(&value, 1); }

  // The block, trimmed to its size, or nothing when the system has no
  // memory even for one value; never null, so an empty column still has
  // an address numpy accepts. A trim the system refuses leaves the block
  // larger than it needs.
  T* take() noexcept {
    const std::size_t keep = size_ == 0 ? 1 : size_;
    if (data_ == nullptr || keep != capacity_) {
      if (void* trimmed = std::realloc(data_, keep * sizeof(T))) {
        data_ = static_cast<T*>(trimmed);
        capacity_ = keep;
      } else if (data_ == nullptr) {
        return nullptr;
      }
    }
    size_ = capacity_ = 0;
    return std::exchange(data_, nullptr);
  }

 private:
  // Failing the first size, grows by an eighth, else to just what is
  // asked: near the end of the address space a run still fits when its
  // values do.
  bool grow(std::size_t count, std::size_t wanted) noexcept {
    constexpr std::size_t limit = std::numeric_limits<std::size_t>::max() / 2 / sizeof(T);
    if (count > limit - size_) return false;
    const std::size_t needed = size_ + count;
    std::size_t first = capacity_ < 1024 ? 1024 : capacity_;
    while (first < needed) first *= 2;
    if (wanted >= needed && wanted <= limit) first = wanted;
    const std::size_t eighth = std::max(needed, capacity_ + capacity_ / 8);
    for (const std::size_t capacity : {first, eighth, needed}) {
      if (void* grown = std::realloc(data_, capacity * sizeof(T))) {
        data_ = static_cast<T*>(grown);
        capacity_ = capacity;
        return true;
      }
    }
    return false;
  }

  T* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

// Receives every decoded spectrum in record order and appends it to six
// contiguous blocks: every m/z of every spectrum, every intensity, the
// spectrum boundaries, the MS levels, the retention times and the precursor
// m/z values. Its m/z and
// intensity blocks are the value arrays of the walk: the decoders write
// values straight into them, or the decoding threads copy each chunk's
// values into place.
class ColumnSink final : public SpectrumSink, public ValueArrays {
 public:
  // The offsets start with 0; when even that could not be stored, the
  // offsets stay empty and no spectrum is taken.
  ColumnSink() { (void)offsets.push(0); }

  ValueArrays* value_arrays() override { return this; }
  bool add_placed(std::size_t points, const SpectrumInfo& info) override;

  std::size_t room() const override { return std::min(mz.room(), intensity.room()); }
  bool grow(std::size_t points) override;
  double* place_mz(std::size_t points) override { return mz.place(points); }
  float* place_intensity(std::size_t points) override { return intensity.place(points); }

  // The arrays grow as they fill, but once a hundredth of the run's
  // `positions` index positions is in, to the points the run would hold if
  // the rest is like what came so far, plus an eighth (never past `most`
  // points, its layout's bound: most_points in layouts.hpp). They then end
  // near the run's size in a handful of steps, instead of at the bound or at
  // twice the size: address space is what a run under a limit runs out of.
  void expect_positions(std::size_t positions, std::size_t most);

  // Forgets the first `spectra` spectra, whose columns the caller has
  // copied out: the columns keep the spectra after them, from the front,
  // with their boundaries counted from 0 again.
  void drop_front(std::size_t spectra);

  Block<double> mz;
  Block<float> intensity;
  Block<std::int64_t> offsets;  // spectrum i is [offsets[i], offsets[i + 1])
  Block<std::uint8_t> ms_level;
  Block<double> retention_time;
  Block<double> precursor_mz;  // NaN where the spectrum has none

  // The scans the walk left out: their index positions and, per scan, a
  // code into `reasons`, the distinct reason texts in the order first met.
  // Hostile indexes may drop millions of scans with as many distinct texts
  // (they name offsets and sizes): 9 bytes per dropped scan, and at most
  // kMaxDropReasons texts, after which every new text shares one last
  // entry that says so.
  static constexpr std::size_t kMaxDropReasons = 255;
  bool drop(std::size_t position, const Error& reason) override;
  Block<std::int64_t> dropped_positions;
  Block<std::uint8_t> dropped_codes;
  std::vector<std::string> reasons;

 private:
  std::size_t points_ = 0;  // values of the spectra heard of so far
  std::size_t positions_ = 0;  // 0: no projection, the arrays double
  std::size_t most_ = 0;
  std::unordered_map<std::string, std::uint8_t> reason_codes_;
};

}  // namespace kelvara::reader
