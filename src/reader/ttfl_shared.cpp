// TTFL scans shared by several subsets: decoded once, copied per subset.

#include "reader/ttfl_shared.hpp"

#include <algorithm>
#include <utility>
#include <vector>

namespace kelvara::reader {

SharedTtflScans::SharedTtflScans(const TtflProfileData& layout, std::size_t count) : calibration_(layout.calibration) {
  // Starts that only grow, as an acquisition writes them, share nothing;
  // otherwise the starts used more than once get an entry.
  const auto& ranges = layout.scan_ranges;
  bool increasing = true;
  for (std::size_t i = 1; i < count && increasing; ++i) increasing = ranges[i - 1].start < ranges[i].start;
  if (increasing) return;
  std::vector<std::uint32_t> starts(count);
  for (std::size_t i = 0; i < count; ++i) starts[i] = ranges[i].start;
  std::sort(starts.begin(), starts.end());
  MutexLock lock(mutex_);
  for (std::size_t i = 0; i < count;) {
    std::size_t j = i + 1;
    while (j < count && starts[j] == starts[i]) ++j;
    if (j - i > 1) {
      shared_.emplace(starts[i], entries_.size());
      entries_.push_back(Entry{j - i, State::Pending});
    }
    i = j;
  }
  scans_.resize(entries_.size());
  failures_.resize(entries_.size());
}

Result<std::size_t> SharedTtflScans::take(const raw::ttfl_profile::TtflScanRange& range, ByteView bytes,
                                                 raw::PointSpace& space) {
  const auto shared = shared_.empty() ? shared_.end() : shared_.find(range.start);
  if (shared == shared_.end()) return decode(bytes, space);  // the range's only subset
  const std::size_t k = shared->second;
  MutexLock lock(mutex_);
  while (entries_[k].state == State::Decoding) mutex_.wait(decoded_);
  if (entries_[k].state == State::Pending) {
    entries_[k].state = State::Decoding;
    mutex_.unlock();
    raw::PointLists decoded;
    std::optional<Error> failure;
    try {
      if (auto points = decode(bytes, decoded); !points) failure = std::move(points).error();
    } catch (...) {
      mutex_.lock();
      entries_[k].state = State::Pending;  // another subset may try again
      decoded_.notify_all();
      throw;
    }
    mutex_.lock();
    if (decoded.refused() != 0) {
      // No memory for the scan: this subset fails the decode, and another
      // may try again.
      entries_[k].state = State::Pending;
      decoded_.notify_all();
      space.refuse(decoded.refused());
      return Unexpected(Error::out_of_memory("memory for a TTFL scan several subsets share"));
    }
    failures_[k] = std::move(failure);
    scans_[k] = std::move(decoded);
    entries_[k].state = State::Done;
    decoded_.notify_all();
  }
  mutex_.unlock();

  // Done: nothing writes the scan or its failure until this subset, too,
  // has taken it.
  Result<std::size_t> points = std::size_t{0};
  if (failures_[k]) {
    points = Unexpected<Error>(*failures_[k]);
  } else {
    const raw::PointLists& scan = scans_[k];
    const std::size_t n = scan.mz.size();
    const raw::PointSlots slots = space.slots(n);
    if (raw::refused(slots, n)) {
      points = Unexpected(Error::out_of_memory("memory for the points of a TTFL scan"));
    } else {
      std::copy_n(scan.mz.data(), n, slots.mz);
      std::copy_n(scan.intensity.data(), n, slots.intensity);
      points = n;
    }
  }
  mutex_.lock();
  if (--entries_[k].left == 0) {
    scans_[k] = {};
    failures_[k].reset();
  }
  return points;
}

Result<std::size_t> SharedTtflScans::decode(ByteView bytes, raw::PointSpace& space) const {
  return raw::ttfl_profile::decode_ttfl_scan(bytes, calibration_, space);
}

}  // namespace kelvara::reader
