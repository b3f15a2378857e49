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
  for (std::size_t i = 0; i < count;) {
    std::size_t j = i + 1;
    while (j < count && starts[j] == starts[i]) ++j;
    if (j - i > 1) entries_[starts[i]].left = j - i;
    i = j;
  }
}

Result<std::size_t> SharedTtflScans::take(const raw::ttfl_profile::TtflScanRange& range, ByteView bytes,
                                                 raw::PointSpace& space) {
  const auto shared = entries_.empty() ? entries_.end() : entries_.find(range.start);
  if (shared == entries_.end()) return decode(bytes, space);  // the range's only subset
  Entry& entry = shared->second;
  std::unique_lock lock(mutex_);
  while (entry.state == State::Decoding) decoded_.wait(lock);
  if (entry.state == State::Pending) {
    entry.state = State::Decoding;
    lock.unlock();
    raw::PointLists decoded;
    std::optional<Error> failure;
    try {
      if (auto points = decode(bytes, decoded); !points) failure = std::move(points).error();
    } catch (...) {
      lock.lock();
      entry.state = State::Pending;  // another subset may try again
      decoded_.notify_all();
      throw;
    }
    lock.lock();
    entry.failure = std::move(failure);
    entry.scan = std::move(decoded);
    entry.state = State::Done;
    decoded_.notify_all();
  }
  lock.unlock();

  // Done: nothing writes the scan or its failure until this subset, too,
  // has taken it.
  Result<std::size_t> points = std::size_t{0};
  if (entry.failure) {
    points = Unexpected<Error>(*entry.failure);
  } else {
    const std::size_t n = entry.scan.mz.size();
    const raw::PointSlots slots = space.slots(n);
    std::copy_n(entry.scan.mz.data(), n, slots.mz);
    std::copy_n(entry.scan.intensity.data(), n, slots.intensity);
    points = n;
  }
  lock.lock();
  if (--entry.left == 0) entry.scan = {};
  return points;
}

Result<std::size_t> SharedTtflScans::decode(ByteView bytes, raw::PointSpace& space) const {
  return raw::ttfl_profile::decode_ttfl_scan(bytes, calibration_, space);
}

}  // namespace kelvara::reader
