// The streaming walk: a run decoded window by window, its scan data read
// from the container on demand, so that memory is bounded by the windows in
// flight and the index, whatever the size of the file.
//
// open keeps the container open, has the layout read its index and
// retention-time streams whole (they are small) but only find its scan-data
// stream, whose chain it maps to runs of the file once, and cuts the index
// into windows of consecutive positions holding about kWindowBytes of scan
// bytes each. step() hands the next window's spectra to the sink: workers
// read each window's scans (the union of their byte ranges, so a window of
// scattered or repeated ranges reads only what its scans cover), decode
// them through the ordered executor a few windows ahead, and the calling
// thread hands them to the sink in file order, counting them against the
// decode budget exactly as the whole-run walk does: the same records, the
// same error at the same index position. A window's bytes are freed once it
// is decoded.
//
// An index whose windows together would read the scan data more than
// kMaxReadsOfScanData times over (ranges repeated or interleaved across
// windows) has the stream read whole at open instead, so the reading work
// never outgrows the file's own size by more than that factor; the records
// are the same either way.
//
// Not safe for concurrent use: one thread at a time calls step().
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "common/error.hpp"
#include "reader/build.hpp"
#include "reader/layouts.hpp"
#include "reader/open.hpp"
#include "reader/sinks.hpp"

namespace kelvara::reader {

// Scan bytes per window: windows are cut before the position whose scan
// would take them past this, so a window holds one scan at least.
inline constexpr std::uint64_t kWindowBytes = std::uint64_t{1} << 20;
// Index positions per window at most, however few bytes their scans hold.
inline constexpr std::size_t kMaxWindowPositions = std::size_t{1} << 16;
// Scans of one window closer than this are read with the bytes between them.
inline constexpr std::uint64_t kPieceGap = std::uint64_t{64} << 10;
// Past this many reads of the scan data (plus kDecodeBudgetSlack), the
// stream is read whole at open.
inline constexpr std::uint64_t kMaxReadsOfScanData = 2;

// The spectra a walk will give, counted ahead (StreamingRun::tally).
struct SpectrumTally {
  std::uint64_t spectra = 0;
  std::uint64_t transitions = 0;  // MRM transitions among them
  bool ms1 = false;               // some MS1 spectrum
  bool msn = false;               // some MSn spectrum that is not a transition
};

class StreamingRun {
 public:
  // Opens `path` for a walk whose spectra go to `sink`, which must give
  // value arrays (a ColumnSink) and outlive the walk. Errors are those of
  // open_raw_file, for the same file, plus the scan-data stream's chain
  // (which the whole-run open finds when it reads the stream). `slack` is
  // the budget's constant part, as decode_spectra takes it.
  static Result<std::unique_ptr<StreamingRun>> open(const std::string& path, const ReadOptions& options,
                                                         SpectrumSink& sink,
                                                         std::uint64_t slack = kDecodeBudgetSlack);
  ~StreamingRun();
  StreamingRun(const StreamingRun&) = delete;
  StreamingRun& operator=(const StreamingRun&) = delete;

  // Hands the next window's spectra to the sink: true, or false once every
  // window has been handed over. An error (I/O, the budget, memory) ends
  // the walk; the spectra handed over before it stay in the sink, and every
  // later call gives the same error.
  Result<bool> step();

  const std::string& display_name() const;
  const Layout& layout() const;
  // The windows the index was cut into.
  std::size_t windows() const;
  // The index positions the walk covers: the run's spectra when each
  // position gives one and none is dropped.
  std::size_t positions() const;

  // The spectra the walk will give, counted from the index and, for a
  // layout whose scans say in their headers what they hold (GC-MS MRM
  // scans), the scans' first bytes, read window by window: no peak is
  // decoded, and no window reads more than the walk's does. Scans whose
  // byte range the walk drops count nothing; a scan that fails to decode
  // counts what its header promised, so the tally is what the walk gives
  // when every scan in range decodes. Nothing when a read fails or memory
  // runs out. May be called at any time, from the thread that calls step().
  std::optional<SpectrumTally> tally() const;

  struct State;

 private:
  explicit StreamingRun(std::unique_ptr<State> state);
  std::unique_ptr<State> state_;
};

}  // namespace kelvara::reader
