// Reader of Compound File Binary containers ([MS-CFB]): the structured
// storage in which the instruments keep their acquisitions.
//
// A container is opened on a file that is already open for reading. Opening
// reads and validates the header, the DIFAT, the FAT, the mini FAT and the
// directory once, so that no later lookup or chain walk can loop or read out
// of bounds. After that, entries are found by path ("Storage/Stream", names
// compared case-insensitively as [MS-CFB] 2.6.4 prescribes) and a stream is
// read whole by following its sector chain and copying each run of
// contiguous sectors with one read.
//
// Every failure is a value with a complete message; hostile input never
// crashes, hangs or allocates more than the file can justify.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "cfb/error.hpp"
#include "cfb/file.hpp"

namespace kelvara::cfb {

template <class T>
using Result = Expected<T, Error>;

// A stream found by path: enough to read it, nothing more.
struct Stream {
  std::uint32_t entry_id = 0;
  std::uint64_t size = 0;
};

class CompoundFile {
 public:
  // Validates the whole container structure; takes ownership of the file.
  static Result<CompoundFile> open(File file);

  CompoundFile(CompoundFile&&) noexcept;
  CompoundFile& operator=(CompoundFile&&) noexcept;
  ~CompoundFile();

  // True when any entry, storage or stream, lies at `path`; false otherwise,
  // also for a path that cannot be parsed.
  bool exists(std::string_view path) const;

  // The stream at `path`, or an error saying why there is none there
  // (no such entry, or the entry is a storage).
  Result<Stream> open_stream(std::string_view path) const;

  // All bytes of an opened stream.
  Result<std::vector<std::uint8_t>> read_to_end(const Stream& stream) const;

 private:
  struct State;
  explicit CompoundFile(std::unique_ptr<State> state) noexcept;
  std::unique_ptr<State> state_;
};

}  // namespace kelvara::cfb
