// TTFL profile scans: the Data Index, the scan byte ranges, the mass
// calibration and the block-coded scan record decoder.
//
// The opener hands parse_data_index the bytes of "TTFL Raw Data/Data Index"
// (one 16-byte subset per scan: start offset, retention-time index), derives
// each subset's byte range in "TTFL Raw Data/MS Raw Data" with
// ttfl_scan_ranges, and fits the channel-to-m/z calibration from the first
// readable tuning result with parse_tuning_calibration. The spectrum builder
// then hands each scan's bytes to decode_ttfl_scan, which finds where the
// block stream starts after the 64-byte header and an optional preamble,
// parses its blocks (a gap, then one intensity per consecutive channel) and
// turns them into channel numbers and intensities.
#include "raw/ttfl_profile/ttfl_profile.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>
#include <utility>

#include "common/le.hpp"
#include "raw/decode.hpp"

namespace kelvara::raw::ttfl_profile {

namespace {

constexpr std::size_t kSubsetSize = 16;
constexpr std::size_t kStartOffsetField = 0;
constexpr std::size_t kRtIndexField = 8;

constexpr std::size_t kRecordHeaderSize = 64;
constexpr std::size_t kMinRecordWithBlocks = 68;
constexpr std::uint16_t kTerminator = 0x8000;
constexpr std::uint16_t kMaxBlockHeader = 0x9000;  // 4096 intensities
// The start search only considers a first block of at most 64 intensities;
// this keeps preamble words from being mistaken for a large first block.
constexpr std::uint16_t kMaxFirstBlockHeader = 0x8040;

constexpr std::size_t kReferenceMassOffset = 3022;
constexpr std::size_t kPositionOffset = 3150;
constexpr std::size_t kMaxReferences = 9;
constexpr std::size_t kMinReferences = 3;
constexpr double kReferenceMassUnit = 0.0001;
constexpr double kMinDeterminant = 1e-9;

}  // namespace

Result<std::vector<Subset>> parse_data_index(ByteView index) {
  return read_entry_table(
      index, kSubsetSize,
      [](std::size_t size) {
        return "Data Index stream size " + std::to_string(size) + " is not a whole number of " +
               std::to_string(kSubsetSize) + "-byte subsets";
      },
      [](ByteView entry) { return Subset{entry.u32(kStartOffsetField), entry.u32(kRtIndexField)}; });
}

std::vector<TtflScanRange> ttfl_scan_ranges(const std::vector<Subset>& subsets, std::size_t data_len) {
  // Nothing in the data stream delimits the records: a scan ends where the
  // next larger start begins. Subsets sharing a start share a range.
  std::vector<std::uint32_t> starts(subsets.size());
  for (std::size_t i = 0; i < subsets.size(); ++i) starts[i] = subsets[i].start_offset;
  std::sort(starts.begin(), starts.end());
  starts.erase(std::unique(starts.begin(), starts.end()), starts.end());

  // Ranges are 32-bit like the start offsets. A data stream longer than that
  // is clamped, so the last scan keeps every byte a 32-bit end can reach
  // instead of ending at a wrapped-around offset.
  const auto data_end =
      static_cast<std::uint32_t>(std::min<std::size_t>(data_len, std::numeric_limits<std::uint32_t>::max()));

  std::vector<TtflScanRange> ranges(subsets.size());
  for (std::size_t i = 0; i < subsets.size(); ++i) {
    const std::uint32_t start = subsets[i].start_offset;
    const auto next = std::upper_bound(starts.begin(), starts.end(), start);
    ranges[i].start = start;
    ranges[i].end = next == starts.end() ? data_end : *next;
  }
  return ranges;
}

std::optional<MassCalibration> parse_tuning_calibration(ByteView tuning) {
  // Reference masses, ended by the first 0 or by the end of the stream.
  double masses[kMaxReferences];
  std::size_t n = 0;
  while (n < kMaxReferences && tuning.has(kReferenceMassOffset + 4 * n, 4)) {
    const std::uint32_t stored = tuning.u32(kReferenceMassOffset + 4 * n);
    if (stored == 0) break;
    masses[n] = static_cast<double>(stored) * kReferenceMassUnit;
    ++n;
  }
  if (n < kMinReferences) return std::nullopt;

  // Measured channel positions, one per reference mass.
  double positions[kMaxReferences];
  for (std::size_t k = 0; k < n; ++k) {
    if (!tuning.has(kPositionOffset + 8 * k, 8)) return std::nullopt;
    positions[k] = tuning.f64(kPositionOffset + 8 * k);
  }

  // Least-squares line of channel position against sqrt(m/z). The sums start
  // at -0.0 and add in order of k, so the fit is reproducible to the bit.
  double sum_r = -0.0;
  double sum_y = -0.0;
  double sum_rr = -0.0;
  double sum_ry = -0.0;
  for (std::size_t k = 0; k < n; ++k) {
    const double r = std::sqrt(masses[k]);
    const double y = positions[k];
    sum_r += r;
    sum_y += y;
    sum_rr += r * r;
    sum_ry += r * y;
  }
  const auto count = static_cast<double>(n);
  const double den = count * sum_rr - sum_r * sum_r;
  if (std::fabs(den) < kMinDeterminant) return std::nullopt;
  const double slope = (count * sum_ry - sum_r * sum_y) / den;
  // Channel position grows with m/z; anything else is not a calibration.
  if (!std::isfinite(slope) || slope <= 0.0) return std::nullopt;
  const double intercept = (sum_y - sum_r * slope) / count;
  if (!std::isfinite(intercept)) return std::nullopt;
  return MassCalibration{slope, intercept};
}

namespace {

// The 16-bit words of a record's block stream region, from just after the
// header to the record's end. The region is cut out of the record once;
// word k is read unchecked, callers keep k below `count`.
struct WordRegion {
  const std::uint8_t* bytes;
  std::size_t count;
  std::uint16_t operator[](std::size_t k) const noexcept { return load_u16_le(bytes + 2 * k); }
};

// Follows the blocks from word q until the
// terminator or a word that cannot continue the stream. Positions already
// known not to lead to the last word (`dead`, when not empty) end the walk
// too. Returns where the walk stopped and the points of the blocks passed.
struct Walk {
  std::size_t stop;
  std::size_t points;
  bool ends_on_last_word;
};

Walk walk_blocks(WordRegion words, std::size_t q, const std::vector<std::uint8_t>& dead) {
  std::size_t points = 0;
  for (;;) {
    if (!dead.empty() && dead[q]) return {q, points, false};
    const std::uint16_t header = words[q];
    if (header == kTerminator) return {q, points, q + 1 == words.count};
    if (header < kTerminator + 1 || header > kMaxBlockHeader) return {q, points, false};
    const std::size_t n = header - kTerminator;
    if (q + 2 + n > words.count) return {q, points, false};
    points += n;
    q += 2 + n;
    if (q >= words.count) return {q, points, false};  // no terminator after the last block
  }
}

// Writes the channels and intensities of the blocks from word `first` on;
// the walk from there has been checked to end on the record's last word.
// With a calibration, each channel is written as its m/z.
template <bool Calibrated>
void fill_points(WordRegion words, std::size_t first, const MassCalibration& calibration, double* channels,
                 float* intensities) {
  const auto position = [&](double channel) {
    if constexpr (Calibrated) {
      return channel_to_mz(calibration, channel);
    } else {
      return channel;
    }
  };
  // The channel counter is 32-bit and wraps, as the gaps are added to it.
  std::uint32_t channel = 0;
  std::size_t q = first;
  for (std::uint16_t header = words[q]; header != kTerminator; header = words[q]) {
    const auto n = static_cast<std::uint32_t>(header - kTerminator);
    channel += words[q + 1];
    const std::uint8_t* values = words.bytes + 2 * (q + 2);
    if (static_cast<std::uint64_t>(channel) + n <= std::uint64_t{1} << 32) {
      // No wrap inside the block: the channels are consecutive doubles.
      const auto base = static_cast<double>(channel);
      for (std::uint32_t k = 0; k < n; ++k) {
        channels[k] = position(base + static_cast<double>(k));
        intensities[k] = static_cast<float>(load_u16_le(values + 2 * k));
      }
    } else {
      for (std::uint32_t k = 0; k < n; ++k) {
        channels[k] = position(static_cast<double>(static_cast<std::uint32_t>(channel + k)));
        intensities[k] = static_cast<float>(load_u16_le(values + 2 * k));
      }
    }
    channel += n;
    channels += n;
    intensities += n;
    q += 2 + n;
  }
}

}  // namespace

Result<std::size_t> decode_ttfl_scan(ByteView record, const std::optional<MassCalibration>& calibration,
                                     PointSpace& points) {
  const std::size_t length = record.size();
  if (length < kRecordHeaderSize) return too_short_for_header("TTFL scan", kRecordHeaderSize, length);
  if (length == kRecordHeaderSize) {
    points.slots(0);
    return std::size_t{0};
  }
  // Between the bare header and 68 bytes there is no room for a block
  // header and its gap word; such records are rejected even when they end in
  // a terminator. The block stream is made of whole 16-bit words up to the
  // record's end.
  if (length < kMinRecordWithBlocks) {
    return fail("TTFL scan of " + std::to_string(length) + " bytes is too short for a block stream (at least " +
                std::to_string(kMinRecordWithBlocks) + " bytes)");
  }
  if (length % 2 != 0) {
    return fail("TTFL scan of " + std::to_string(length) + " bytes does not end on a whole 16-bit word");
  }
  const std::size_t count = (length - kRecordHeaderSize) / 2;
  const WordRegion words{record.sub(kRecordHeaderSize, 2 * count).data(), count};

  // The preamble has no stated length: the block stream starts at the first
  // word position whose word could open a block stream (0x8000 to 0x8040)
  // and from which the blocks parse through to a terminator that is the
  // record's last word.
  //
  // Whether the walk from a position ends on the last word depends only on
  // the positions it steps through. When a candidate fails, every position
  // its walk passed is marked, and later walks stop on a marked position:
  // each position is walked at most once, so records full of block-like
  // words cost linear time, and a record without a preamble costs one walk.
  std::vector<std::uint8_t> dead;
  for (std::size_t first = 0; first < count; ++first) {
    const std::uint16_t word = words[first];
    if (word < kTerminator || word > kMaxFirstBlockHeader) continue;
    if (!dead.empty() && dead[first]) continue;
    const Walk walk = walk_blocks(words, first, dead);
    if (walk.ends_on_last_word) {
      const PointSlots slots = points.slots(walk.points);
      if (refused(slots, walk.points)) return fail("no memory for the points of a TTFL scan");
      if (calibration) {
        fill_points<true>(words, first, *calibration, slots.mz, slots.intensity);
      } else {
        fill_points<false>(words, first, MassCalibration{}, slots.mz, slots.intensity);
      }
      return walk.points;
    }
    if (dead.empty()) dead.assign(count, 0);
    // The positions the walk stepped through are all valid block headers
    // up to where it stopped, which is marked too when inside the record.
    for (std::size_t q = first; q < count && !dead[q];) {
      dead[q] = 1;
      if (q == walk.stop) break;
      q += 2 + static_cast<std::size_t>(words[q] - kTerminator);
    }
  }
  return fail("TTFL scan of " + std::to_string(length) +
              " bytes holds no block stream that ends with a terminator on its last word");
}

}  // namespace kelvara::raw::ttfl_profile
