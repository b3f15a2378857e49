// What the fuzz targets check about decoded spectra, beyond "no crash": each
// spectrum's lists are the same length, and all spectra of one input stay
// within the decode budget of the stream bytes they came from. Either
// failing aborts, which the fuzzer and the replay driver report as a fault.
//
// The targets decode with a budget whose constant part is 64 KiB instead of
// the reader's 64 MiB: the same accounting, but an input that runs into the
// budget stops after decoding 32 times its own size plus 64 KiB, which keeps
// a campaign at thousands of executions per second.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "reader/build.hpp"
#include "reader/open.hpp"
#include "reader/stream.hpp"

namespace kelvara::fuzz {

inline constexpr std::uint64_t kFuzzBudgetSlack = std::uint64_t{64} << 10;

[[noreturn]] inline void fault(const char* what) {
  std::fprintf(stderr, "fuzz check failed: %s\n", what);
  std::abort();
}

// Counts what it receives and drops it.
class CheckingSink final : public reader::SpectrumSink {
 public:
  explicit CheckingSink(std::uint64_t stream_bytes)
      : budget_(reader::decode_budget(stream_bytes, kFuzzBudgetSlack)) {}

  bool add(std::vector<double>&& mz, std::vector<float>&& intensity, const reader::SpectrumInfo& info) override {
    if (mz.size() != intensity.size()) fault("a spectrum with more m/z values than intensities or fewer");
    if (info.ms_level != 1 && info.ms_level != 2) fault("an MS level other than 1 or 2");
    decoded_ += reader::decoded_bytes(mz.size());
    if (decoded_ > budget_) fault("decoded bytes past the decode budget of the input's stream bytes");
    ++count_;
    return true;
  }

  std::size_t count() const { return count_; }

 private:
  std::uint64_t budget_;
  std::uint64_t decoded_ = 0;
  std::size_t count_ = 0;
};

template <class Result>
void check_error_text(const Result& result) {
  if (!result && result.error().message().empty()) fault("an error without a message");
}

// Decodes every spectrum of `file` into a checking sink.
inline void decode_and_check(const reader::RawFile& file) {
  CheckingSink sink(file.stream_bytes);
  const auto decoded = reader::decode_spectra(file, sink, kFuzzBudgetSlack);
  check_error_text(decoded);
  if (decoded && *decoded != sink.count()) fault("a spectrum count that differs from the spectra handed over");
}

template <class T>
bool same_block(const reader::Block<T>& a, const reader::Block<T>& b) {
  return a.size() == b.size() && (a.size() == 0 || std::memcmp(a.data(), b.data(), a.size() * sizeof(T)) == 0);
}

// Walks `path` window by window, as iter_batches does, and checks that it
// gives the columns of the whole-run walk of `file` (the same file, opened
// whole), or the same error.
inline void stream_and_compare(const std::string& path, const reader::RawFile& file) {
  reader::ColumnSink whole;
  const auto decoded = reader::decode_spectra(file, whole, kFuzzBudgetSlack);
  reader::ColumnSink streamed;
  auto run = reader::StreamingRun::open(path, file.options, streamed, kFuzzBudgetSlack);
  check_error_text(run);
  if (!run) fault("a file that opens whole but not for a streaming walk");
  Result<bool> step = true;
  while (step && *step) step = (*run)->step();
  check_error_text(step);
  if (static_cast<bool>(decoded) != static_cast<bool>(step)) {
    fault("a streaming walk that fails where the whole one does not, or the other way round");
  }
  if (!decoded) {
    if (decoded.error().message() != step.error().message()) fault("a streaming walk that fails with another error");
    return;
  }
  if (!same_block(whole.mz, streamed.mz) || !same_block(whole.intensity, streamed.intensity) ||
      !same_block(whole.offsets, streamed.offsets) || !same_block(whole.ms_level, streamed.ms_level) ||
      !same_block(whole.retention_time, streamed.retention_time) ||
      !same_block(whole.precursor_mz, streamed.precursor_mz)) {
    fault("a streaming walk whose columns differ from the whole walk's");
  }
  // The tally foresees the walk's spectra from the index and the scans'
  // headers alone: exactly, when the walk dropped no scan.
  const auto tally = (*run)->tally();
  if (tally && streamed.dropped_positions.size() == 0) {
    reader::SpectrumTally seen;
    seen.spectra = streamed.ms_level.size();
    for (std::size_t k = 0; k < streamed.ms_level.size(); ++k) {
      const bool transition = streamed.ms_level.data()[k] == 2 &&
                              streamed.offsets.data()[k + 1] - streamed.offsets.data()[k] == 1 &&
                              !std::isnan(streamed.precursor_mz.data()[k]);
      if (transition) {
        ++seen.transitions;
      } else if (streamed.ms_level.data()[k] == 1) {
        seen.ms1 = true;
      } else {
        seen.msn = true;
      }
    }
    if (tally->spectra != seen.spectra || tally->transitions != seen.transitions || tally->ms1 != seen.ms1 ||
        tally->msn != seen.msn) {
      fault("a tally that differs from the spectra of a walk that dropped no scan");
    }
  }
}

}  // namespace kelvara::fuzz
