// Building the spectrum list: the decode of one file, on one thread or on
// several, with its scan data released behind the walk when the caller
// drops the file afterwards.
//
// walk.hpp holds the per-layout walks and the budget, ttfl_shared.hpp the
// TTFL scans several subsets share, executor.hpp the decode on several
// threads, release.hpp the page release and sinks.hpp the sinks.

#include "reader/build.hpp"

#include <algorithm>
#include <cstdint>
#include <new>
#include <utility>

#include "reader/executor.hpp"
#include "reader/layouts.hpp"
#include "reader/release.hpp"
#include "reader/walk.hpp"

namespace kelvara::reader {

using raw::SpectrumRecord;

std::uint64_t decode_budget(std::uint64_t stream_bytes, std::uint64_t slack) {
  const std::uint64_t max_stream_bytes = (~std::uint64_t{0} - slack) / kDecodeBudgetPerStreamByte;
  return std::min(stream_bytes, max_stream_bytes) * kDecodeBudgetPerStreamByte + slack;
}

namespace {

// Scan data below this size is not worth releasing while decoding.
constexpr std::size_t kMinBytesForRelease = std::size_t{4} << 20;

// The decode on `threads` threads; with `releasable`, the scan data of
// `file`, which the caller owns and drops afterwards, is released as the
// walk leaves it behind.
Result<std::size_t> decode_scans(const RawFile& file, SpectrumSink& sink, std::size_t threads, std::uint64_t slack,
                                Bytes* releasable) {
  Emitter out(sink, file.stream_bytes, slack);
  Walker walk(file.layout);
  const Layout& layout = layout_of(file.layout);
  const std::size_t positions = layout.positions(file.layout);
  const std::size_t data_bytes = layout.scan_data(file.layout).size();
  if (releasable != nullptr && data_bytes < kMinBytesForRelease) releasable = nullptr;
  if (positions < 2 || (threads <= 1 && releasable == nullptr)) {
    walk(0, positions, out);
    return std::move(out).finish();
  }
  // Positions per chunk from the average scan size, and at least two chunks
  // per thread.
  const std::size_t chunk_bytes = sink.value_arrays() != nullptr ? kCopiedChunkBytes : kChunkBytes;
  const std::size_t chunks = std::max(data_bytes / chunk_bytes, 2 * std::max<std::size_t>(threads, 1));
  const std::size_t per_chunk = std::max<std::size_t>(1, positions / chunks);
  ScanDataRelease release;
  if (releasable != nullptr) release = ScanDataRelease(file.layout, *releasable, positions, per_chunk);
  if (threads <= 1) {
    for (std::size_t k = 0, begin = 0; begin < positions; ++k, begin += per_chunk) {
      walk(begin, std::min(positions, begin + per_chunk), out);
      if (out.failed()) break;
      release.after_chunk(k);
    }
    return std::move(out).finish();
  }
  threads = std::min(threads, (positions + per_chunk - 1) / per_chunk);
  decode_in_chunks(walk, out, release, threads, positions, per_chunk);
  return std::move(out).finish();
}

// The same, with memory that ran out where no walk could say for what (a
// decoder's own lists, a thread's share of them) as an error of its own.
Result<std::size_t> decode(const RawFile& file, SpectrumSink& sink, std::size_t threads, std::uint64_t slack,
                           Bytes* releasable) {
  try {
    return decode_scans(file, sink, threads, slack, releasable);
  } catch (const std::bad_alloc&) {
    return Unexpected(Error::out_of_memory("memory for decoding the scans"));
  }
}

// The number of threads for decoding a file's scan data.
std::size_t threads_for(const RawFile& file) {
  return threads_for_bytes(file.options, layout_of(file.layout).scan_data(file.layout).size());
}

// The scan data of a file the caller owns: the layout's, which is not
// const here.
Bytes& scan_data(RawFile& file) { return const_cast<Bytes&>(layout_of(file.layout).scan_data(file.layout)); }

}  // namespace

Result<std::size_t> decode_spectra(const RawFile& file, SpectrumSink& sink) {
  return decode(file, sink, threads_for(file), kDecodeBudgetSlack, nullptr);
}

Result<std::size_t> decode_spectra(const RawFile& file, SpectrumSink& sink, std::uint64_t slack) {
  return decode(file, sink, threads_for(file), slack, nullptr);
}

Result<std::size_t> decode_spectra_on_threads(const RawFile& file, SpectrumSink& sink, std::size_t threads,
                                                   std::uint64_t slack) {
  return decode(file, sink, threads, slack, nullptr);
}

Result<std::size_t> decode_spectra(RawFile&& file, SpectrumSink& sink) {
  return decode(file, sink, threads_for(file), kDecodeBudgetSlack, &scan_data(file));
}

Result<std::vector<SpectrumRecord>> build_spectra(RawFile file) {
  std::vector<SpectrumRecord> spectra;
  // One record per index entry; GC-MS MRM scans give one record per
  // transition, so a GC-MS list with MRM scans grows once past it.
  spectra.reserve(layout_of(file.layout).positions(file.layout));
  RecordSink sink(spectra);
  // The file is dropped when the list is complete.
  KELVARA_FORWARD_IF_ERROR(decode_spectra(std::move(file), sink));
  return spectra;
}

}  // namespace kelvara::reader