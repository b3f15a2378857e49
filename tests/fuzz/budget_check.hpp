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

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <utility>
#include <vector>

#include "reader/build.hpp"
#include "reader/open.hpp"

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

}  // namespace kelvara::fuzz
