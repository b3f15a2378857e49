// A zlib stream writer for the arrays the mzML writer compresses.
//
// Each spectrum's m/z and intensity arrays become their own zlib stream: a
// few hundred bytes for a GC-MS scan, a few megabytes for a profile
// spectrum or a chromatogram, and a million of them in a long run. At that
// count a general library's per-call setup costs more than the compression,
// so this writer keeps its tables between calls and does one fast pass:
// greedy matching through a hash table of the last position of each 4-byte
// string, then per block whichever of fixed codes, codes built for the block
// (from 2 KiB of input on) or plain stored bytes is smallest.
//
// The output depends only on the input bytes: never on earlier calls, the
// thread, timing or memory contents, so conversions give the same file on
// any thread count. No Python here; kelvara_tools._columns binds it.
//
// A Deflater is not safe for concurrent use: keep one per thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kelvara::tools {

// One per thread: keeps its tables between calls.
class Deflater {
 public:
  Deflater();
  // Appends to `out` the zlib stream (RFC 1950 header, RFC 1951 deflate data, Adler-32) of data[0, size).
  void compress(const std::uint8_t* data, std::size_t size, std::string& out);

 private:
  struct Match {
    unsigned length = 0;  // 0: none
    unsigned distance = 0;
  };
  // The match the table offers at data[pos] within data[0, end), if any,
  // recording pos as the last place of its 4-byte string.
  Match match_at(const std::uint8_t* data, std::size_t pos, std::size_t end, std::size_t stretch);
  // An input below the own-codes threshold as one final block, written at
  // `begin`; returns the end of what was written, at a whole byte.
  std::uint8_t* compress_small(const std::uint8_t* data, std::size_t size, std::uint8_t* begin);

  // Where each hashed 4-byte string was last seen, as a stamp: `base_` plus
  // its place in the current stretch of input. Stamps below `base_` are from
  // earlier calls or stretches and never match, so nothing is cleared
  // between calls.
  std::vector<std::uint32_t> head_;
  std::uint32_t base_ = 1;
  // One block's symbols: a literal byte, or a match's length and distance.
  std::vector<std::uint32_t> tokens_;
};

}  // namespace kelvara::tools
