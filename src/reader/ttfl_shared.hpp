// TTFL subsets that share one byte range of the scan data.
//
// Subsets that share a start share one byte range (see ttfl_scan_ranges).
// Such a range is decoded once and its scan handed out to each subset:
// a decode costs time in proportion to the range even when it fails or
// yields no points, which the budget does not see, so decoding it once per
// subset would let an index that repeats one start over a large record run
// for minutes. Ranges of distinct starts do not overlap, so the decoding
// work of the walk stays in proportion to the scan data.
//
// One instance serves every thread of a walk: the table of starts is fixed
// before the threads start, and a shared range's entry changes only under
// the lock. The first thread to need a shared range decodes it; others
// needing it meanwhile wait for that decode instead of repeating it. Once
// decoded, the entry's scan stays unchanged until its last subset has
// taken it, so each subset copies it with the lock released; the last
// subset to finish its copy frees the scan.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <unordered_map>
#include <vector>

#include "common/bytes.hpp"
#include "common/thread_annotations.hpp"
#include "raw/records.hpp"
#include "raw/ttfl_profile/ttfl_profile.hpp"
#include "reader/layouts.hpp"
#include "reader/open.hpp"

namespace kelvara::reader {

// Safe for concurrent use: take() may run on every thread of a walk at once.
class SharedTtflScans final : public WalkState {
 public:
  SharedTtflScans(const TtflProfileData& layout, std::size_t count);

  // Writes the scan of `range` to `space` for one subset, its channels
  // mapped to m/z when the file has a calibration; gives its number of
  // points, nothing when the range does not decode or `space` (or the
  // shared copy) was refused memory for its points (see PointSpace).
  Result<std::size_t> take(const raw::ttfl_profile::TtflScanRange& range, ByteView bytes,
                                  raw::PointSpace& space) EXCLUDES(mutex_);

 private:
  enum class State { Pending, Decoding, Done };
  // A start shared by several subsets.
  struct Entry {
    std::size_t left = 0;  // subsets yet to finish taking it
    State state = State::Pending;
  };

  Result<std::size_t> decode(ByteView bytes, raw::PointSpace& space) const;

  std::optional<raw::ttfl_profile::MassCalibration> calibration_;
  // The starts shared by several subsets, each with its number in entries_
  // and scans_; fixed before any take.
  std::unordered_map<std::uint32_t, std::size_t> shared_;
  Mutex mutex_;
  std::condition_variable decoded_;
  std::vector<Entry> entries_ GUARDED_BY(mutex_);
  // Scan k is written by the one subset that set entry k Decoding, then
  // only read until the entry's last subset has taken it and frees it.
  std::vector<raw::PointLists> scans_;
  std::vector<std::optional<Error>> failures_;  // as scans_: why scan k did not decode
};

}  // namespace kelvara::reader
