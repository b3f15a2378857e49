// The spectrum list: every scan of an opened data file decoded once.
//
// decode_spectra walks the layout's index and hands each decoded spectrum to
// a sink, in record order; build_spectra is that walk with a sink that keeps
// the records, which is what the Python reader holds. Other consumers (flat
// columns, digests) bring their own sink and share the one walk, its range
// rules and its decode budget.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "common/error.hpp"
#include "raw/records.hpp"
#include "reader/open.hpp"
#include "reader/sinks.hpp"

namespace kelvara::reader {

// The decode budget guards against indices that address the same scan data
// over and over (an index repeating one large scan's range thousands of
// times, or an MRM scan expanded once per repeat), which would turn a small
// file into gigabytes of spectra.
//
// Decoded bytes are counted as 12 per point (an f64 m/z and an f32
// intensity) plus 64 per record. The densest encoding any layout allows is a
// GC-MS MRM transition: 6 stored bytes become one record of one point, 76
// decoded bytes, 12.7 per stored byte. Every other encoding decodes to at
// most 6 bytes per stored byte (TTFL: one 2-byte word per point). With
// shared scan ranges counted, a valid run stays well below the budget of 32
// decoded bytes per byte of the streams it was read from, plus 64 MiB for
// small files; past it, decoding stops with a parse error.
inline constexpr std::uint64_t kDecodeBytesPerPoint = 12;
inline constexpr std::uint64_t kDecodeBytesPerRecord = 64;
inline constexpr std::uint64_t kDecodeBudgetPerStreamByte = 32;
inline constexpr std::uint64_t kDecodeBudgetSlack = std::uint64_t{64} << 20;

// The most decoded bytes a file may give, from the bytes of its streams and
// the budget's constant part.
std::uint64_t decode_budget(std::uint64_t stream_bytes, std::uint64_t slack = kDecodeBudgetSlack);

// What a spectrum of `points` points counts against the budget.
constexpr std::uint64_t decoded_bytes(std::size_t points) {
  return kDecodeBytesPerPoint * points + kDecodeBytesPerRecord;
}

// Walks the layout's index in file order, cuts each scan out of the scan
// data, decodes it and hands its records to `sink`. Scans whose byte range is
// invalid or whose bytes do not decode are left out, each handed to
// sink.drop with its index position and the reason. Fails when the decoded
// bytes would exceed the file's decode budget (the spectra handed to the
// sink never do), or when the sink runs out of memory. Returns the number
// of spectra.
//
// The scans are decoded on several threads, the calling thread among them.
// The sink is only ever called on the calling thread, with the same records
// in the same order and the same budget error as a walk on one thread. The
// file's options (what it was opened with) give the number of threads (1: a
// plain walk on the calling thread; see threads_for_bytes).
Result<std::size_t> decode_spectra(const RawFile& file, SpectrumSink& sink);
// The same walk with `slack` in place of kDecodeBudgetSlack as the budget's
// constant part. The fuzz targets use a small one, so that inputs running
// into the budget cost milliseconds instead of seconds.
Result<std::size_t> decode_spectra(const RawFile& file, SpectrumSink& sink, std::uint64_t slack);
// The same walk on exactly `threads` threads (at most one per chunk of the
// index), whatever the file's options and size.
Result<std::size_t> decode_spectra_on_threads(const RawFile& file, SpectrumSink& sink, std::size_t threads,
                                                   std::uint64_t slack = kDecodeBudgetSlack);

// The same walk over a file the caller drops afterwards: its scan data is
// handed back to the system as the walk leaves it behind, so the stream
// bytes and the decoded spectra do not peak together.
Result<std::size_t> decode_spectra(RawFile&& file, SpectrumSink& sink);

// Every record of the file, in order. Consumes the file: its buffers are
// released when the list is complete.
Result<std::vector<raw::SpectrumRecord>> build_spectra(RawFile file);

}  // namespace kelvara::reader
