// Read-only access to one file: the only code that talks to the operating
// system. One implementation per platform (file_posix.cpp, file_win32.cpp)
// is compiled; both behave alike:
//
// - open_read_only takes a UTF-8 path. It opens regular files, and also
//   directories, FIFOs and devices without blocking; those are refused by
//   size(), so that they fail as "not a container" rather than hang.
// - Errors from the system read "{system text} (os error {system code})" and
//   carry the matching errno value in Error::os_errno.
// - On Windows the file is shared for reading, writing and deletion, so a
//   file that the acquisition software still holds open can be read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "common/error.hpp"

namespace kelvara::cfb {

// True for a character that separates the components of a path on this
// platform: '/' everywhere, and '\\' as well on Windows.
bool is_path_separator(char c) noexcept;

// Hands the whole memory pages inside [begin, end) back to the system: their
// contents are gone and read back as zeros, but the range stays valid. For
// buffers of stream bytes that nothing will read again; a no-op where the
// system has no such call.
void discard_pages(std::uint8_t* begin, std::uint8_t* end) noexcept;

class File {
 public:
  // Opens `path` (UTF-8) for reading only. A path holding a NUL byte is
  // refused with "file name contained an unexpected NUL byte".
  static Expected<File, Error> open_read_only(const std::string& path);

  File(File&& other) noexcept;
  File& operator=(File&& other) noexcept;
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  ~File();

  // The size in bytes of a regular file; 0 for a FIFO or a device, which
  // have none. A directory is an error (errno EISDIR).
  Expected<std::uint64_t, Error> size() const;

  // Reads exactly `length` bytes at `offset` into `out`. Reaching the end of
  // the file first is an error naming the offset and the lengths.
  Expected<void, Error> read_exact_at(std::uint64_t offset, void* out, std::size_t length) const;

 private:
  // A POSIX descriptor or a Windows handle; -1 when closed on both.
  explicit File(std::intptr_t handle) noexcept : handle_(handle) {}
  void close() noexcept;

  // The errors both platforms report alike.
  static Unexpected<Error> nul_in_path();
  static Unexpected<Error> beyond_any_offset(std::uint64_t offset, std::size_t length);
  static Unexpected<Error> ended_early(std::uint64_t offset, std::size_t length, std::size_t done);

  std::intptr_t handle_ = -1;
};

}  // namespace kelvara::cfb
