// libFuzzer target for the format decoders and the spectrum list builder.
// The first input byte picks a layout; the next four give the length of the
// index stream, and the rest is split into the index stream and the scan
// data (and, for TTFL, a retention-time table and a tuning result). The
// layout's index parser runs on the index bytes, the spectrum walk on the whole,
// and every scan decoder on the raw input, so that offsets, ranges and
// records all see hostile values. The input counts as the stream bytes, and
// the decoded records must stay within their decode budget. The spectra are
// also decoded on one thread and on three, into the reader's lists and into
// the flat columns of kelvara_tools (written in place on one thread, copied
// into by the threads on three), which must give the same records, or the
// same error. The replay driver
// does that for every input; a campaign does it for every 16th execution,
// because starting threads and decoding several times more costs several
// times the rest of an execution. Gating on a bit of the input would not
// work: inputs that reach the thread pool cover more code, so the fuzzer
// soon keeps little else. Built by
// `cmake -DKELVARA_FUZZ=ON` with Clang; `make fuzz` runs it.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "budget_check.hpp"
#include "common/bytes.hpp"
#include "raw/single_quad/single_quad.hpp"
#include "raw/gcms/gcms.hpp"
#include "raw/qtof_centroid/qtof_centroid.hpp"
#include "raw/ttfl_profile/ttfl_profile.hpp"
#include "reader/build.hpp"
#include "reader/sinks.hpp"

using namespace kelvara;

namespace {

template <class T>
bool same_bits(const std::vector<T>& a, const std::vector<T>& b) {
  return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(T)) == 0);
}

// Thread counts compared with one: three, and under ThreadSanitizer (make
// test-tsan) a range up to eight, where a race between the walks shows.
#ifdef KELVARA_TSAN
constexpr std::size_t kThreadCounts[] = {2, 3, 5, 8};
#else
constexpr std::size_t kThreadCounts[] = {3};
#endif

// The records of one thread and of several, or their errors, are the same.
void check_threads_agree(const reader::RawFile& file) {
  std::vector<raw::SpectrumRecord> one_records;
  reader::RecordSink one(one_records);
  const auto single = reader::decode_spectra_on_threads(file, one, 1, fuzz::kFuzzBudgetSlack);
  for (const std::size_t threads : kThreadCounts) {
    std::vector<raw::SpectrumRecord> three_records;
    reader::RecordSink three(three_records);
    const auto threaded = reader::decode_spectra_on_threads(file, three, threads, fuzz::kFuzzBudgetSlack);
    if (single.has_value() != threaded.has_value()) fuzz::fault("one thread and three disagree on failing");
    if (!single && single.error().display() != threaded.error().display()) {
      fuzz::fault("one thread and three fail with different messages");
    }
    if (one_records.size() != three_records.size()) fuzz::fault("one thread and three give different counts");
    for (std::size_t i = 0; i < one_records.size(); ++i) {
      const auto& a = one_records[i];
      const auto& b = three_records[i];
      if (!same_bits(a.mz, b.mz) || !same_bits(a.intensity, b.intensity) || a.ms_level != b.ms_level ||
          std::memcmp(&a.retention_time_sec, &b.retention_time_sec, sizeof(double)) != 0) {
        fuzz::fault("one thread and three give different records");
      }
    }
  }

  // Decoding into the columns of kelvara_tools, on one thread and on the most,
  // gives the same values.
  // The scans each decode left out, with their reasons, in order.
  std::vector<std::vector<std::pair<std::int64_t, std::string>>> dropped;
  for (const std::size_t threads : {std::size_t{1}, kThreadCounts[std::size(kThreadCounts) - 1]}) {
    // Without expect_positions, so that the arrays grow while threads
    // copy into them.
    reader::ColumnSink flat;
    const auto placed = reader::decode_spectra_on_threads(file, flat, threads, fuzz::kFuzzBudgetSlack);
    if (single.has_value() != placed.has_value()) fuzz::fault("flat arrays and lists disagree on failing");
    if (!single) {
      if (single.error().display() != placed.error().display()) fuzz::fault("flat arrays fail with another message");
      continue;
    }
    if (flat.ms_level.size() != one_records.size() || flat.retention_time.size() != one_records.size() ||
        flat.precursor_mz.size() != one_records.size() ||
        flat.offsets.size() != one_records.size() + 1) {
      fuzz::fault("flat arrays hold another number of spectra");
    }
    for (std::size_t i = 0; i < one_records.size(); ++i) {
      const auto& a = one_records[i];
      const auto at = static_cast<std::size_t>(flat.offsets.data()[i]);
      const auto points = static_cast<std::size_t>(flat.offsets.data()[i + 1]) - at;
      if (points != a.mz.size() || at + points > flat.mz.size() || flat.ms_level.data()[i] != a.ms_level ||
          std::memcmp(&a.retention_time_sec, flat.retention_time.data() + i, sizeof(double)) != 0 ||
          (points != 0 &&
           (std::memcmp(flat.mz.data() + at, a.mz.data(), points * sizeof(double)) != 0 ||
            std::memcmp(flat.intensity.data() + at, a.intensity.data(), points * sizeof(float)) != 0))) {
        fuzz::fault("flat arrays hold other values than the lists");
      }
      // Only a GC-MS MRM transition, an MS2 record, has a precursor m/z.
      if (!std::isnan(flat.precursor_mz.data()[i]) && a.ms_level != 2) {
        fuzz::fault("a precursor m/z beside a record that is no transition");
      }
    }
    const auto total = static_cast<std::size_t>(flat.offsets.data()[one_records.size()]);
    if (total != flat.mz.size() || total != flat.intensity.size()) fuzz::fault("flat arrays hold values of no spectrum");
    auto& left_out = dropped.emplace_back();
    for (std::size_t k = 0; k < flat.dropped_positions.size(); ++k) {
      const std::int64_t position = flat.dropped_positions.data()[k];
      if (!left_out.empty() && position <= left_out.back().first) fuzz::fault("dropped scans out of index order");
      left_out.emplace_back(position, flat.reasons.at(flat.dropped_codes.data()[k]));
    }
  }
  if (dropped.size() == 2 && dropped[0] != dropped[1]) fuzz::fault("one thread and three drop other scans");
}

Bytes copy(ByteView view) { return Bytes(view.data(), view.data() + view.size()); }

// Splits `rest` at a length read from its first four bytes, clamped to fit.
std::pair<ByteView, ByteView> split(ByteView rest) {
  if (rest.size() < 4) return {ByteView(), rest};
  const std::size_t wanted = rest.u32(0);
  const ByteView tail = rest.from(4);
  const std::size_t cut = wanted % (tail.size() + 1);
  return {tail.sub(0, cut), tail.from(cut)};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const ByteView input(data, size);
  raw::PointLists lists;
  (void)raw::gcms::parse_gcms_scan(input, lists);
  (void)raw::single_quad::parse_single_quad_scan(input, lists);
  (void)raw::qtof_centroid::decode_qtof_centroid_scan(input, lists);
  (void)raw::ttfl_profile::decode_ttfl_scan(input, std::nullopt, lists);
  (void)raw::ttfl_profile::parse_tuning_calibration(input);
  if (size == 0) return 0;

  const auto [index, rest] = split(input.from(1));
  reader::RawFile file;
  file.stream_bytes = size;
  switch (data[0] % 4) {
    case 0: {
      auto offsets = raw::gcms::parse_spectrum_index(index);
      if (!offsets) return 0;
      file.layout = reader::GcmsData{copy(rest), std::move(*offsets)};
      break;
    }
    case 1:
      file.layout = reader::SingleQuadData{copy(rest), raw::single_quad::parse_spectrum_index(index)};
      break;
    case 2: {
      auto entries = raw::qtof_centroid::parse_centroid_index(index);
      if (!entries) return 0;
      const auto [times, scans] = split(rest);
      auto retention = raw::qtof_centroid::parse_qtfl_retention_times(times);
      file.layout = reader::QtofCentroidData{copy(scans), std::move(*entries),
                                     retention ? std::move(*retention) : std::vector<std::uint32_t>{}};
      break;
    }
    default: {
      auto subsets = raw::ttfl_profile::parse_data_index(index);
      if (!subsets) return 0;
      const auto [times, scans] = split(rest);
      reader::TtflProfileData layout;
      layout.scan_ranges = raw::ttfl_profile::ttfl_scan_ranges(*subsets, scans.size());
      layout.subsets = std::move(*subsets);
      layout.ms_raw_data = copy(scans);
      layout.retention_times_ms = read_u32_array(times);
      layout.calibration = raw::ttfl_profile::parse_tuning_calibration(times);
      file.layout = std::move(layout);
      break;
    }
  }
  fuzz::decode_and_check(file);
#ifdef KELVARA_FUZZ_REPLAY_DRIVER
  check_threads_agree(file);
#else
  static unsigned executions = 0;
  if (executions++ % 16 == 0) check_threads_agree(file);
#endif
  return 0;
}
