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
      entries_.push_back(Entry{j - i, State::Pending, false});
    }
    i = j;
  }
  scans_.resize(entries_.size());
}

std::optional<std::size_t> SharedTtflScans::take(const raw::ttfl_profile::TtflScanRange& range, ByteView bytes,
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
    bool ok = false;
    try {
      ok = decode(bytes, decoded).has_value();
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
      return std::nullopt;
    }
    entries_[k].ok = ok;
    scans_[k] = std::move(decoded);
    entries_[k].state = State::Done;
    decoded_.notify_all();
  }
  const bool ok = entries_[k].ok;
  mutex_.unlock();

  // Done: nothing writes the scan until this subset, too, has taken it.
  std::optional<std::size_t> points;
  if (ok) {
    const raw::PointLists& scan = scans_[k];
    const std::size_t n = scan.mz.size();
    const raw::PointSlots slots = space.slots(n);
    if (!raw::refused(slots, n)) {
      std::copy_n(scan.mz.data(), n, slots.mz);
      std::copy_n(scan.intensity.data(), n, slots.intensity);
      points = n;
    }
  }
  mutex_.lock();
  if (--entries_[k].left == 0) scans_[k] = {};
  return points;
}

std::optional<std::size_t> SharedTtflScans::decode(ByteView bytes, raw::PointSpace& space) const {
  return raw::ttfl_profile::decode_ttfl_scan(bytes, calibration_, space);
}

}  // namespace kelvara::reader
