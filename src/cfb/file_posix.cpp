// The file layer on POSIX systems (Linux, macOS): open(2), pread(2), fstat(2).
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <limits>
#include <system_error>

#include "cfb/file.hpp"

namespace kelvara::cfb {
namespace {

// Largest single pread; Linux transfers at most about 2 GiB per call anyway.
constexpr std::size_t kMaxReadChunk = std::size_t{1} << 30;

Unexpected<Error> os_error(int code) {
  return Unexpected<Error>(Error::io(
      std::error_code(code, std::generic_category()).message() + " (os error " + std::to_string(code) + ")", code));
}

int fd_of(std::intptr_t handle) { return static_cast<int>(handle); }

}  // namespace

bool is_path_separator(char c) noexcept { return c == '/'; }

void discard_pages([[maybe_unused]] std::uint8_t* begin, [[maybe_unused]] std::uint8_t* end) noexcept {
#if defined(__linux__)
  // MADV_DONTNEED frees the pages of private anonymous memory at once; later
  // reads see zero-filled pages. Elsewhere its meaning varies, so nothing is
  // done there.
  const long page_size = sysconf(_SC_PAGESIZE);
  if (page_size <= 0) return;
  const auto page = static_cast<std::uintptr_t>(page_size);
  const std::uintptr_t first = (reinterpret_cast<std::uintptr_t>(begin) + page - 1) / page * page;
  const std::uintptr_t last = reinterpret_cast<std::uintptr_t>(end) / page * page;
  if (first < last) madvise(reinterpret_cast<void*>(first), last - first, MADV_DONTNEED);
#endif
}

Expected<File, Error> File::open_read_only(const std::string& path) {
  if (path.find('\0') != std::string::npos) return nul_in_path();
  // O_NONBLOCK keeps a path naming a FIFO from waiting for a writer; such a
  // file then fails as a container (it has no size). Reads of regular files
  // never block, and the flag is cleared again all the same.
  int fd;
  do {
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return os_error(errno);
  File file(fd);
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) < 0) return os_error(errno);
  return file;
}

void File::close() noexcept {
  if (handle_ >= 0) ::close(fd_of(handle_));
  handle_ = -1;
}

Expected<void, Error> File::read_exact_at(std::uint64_t offset, void* out, std::size_t length) const {
  auto* bytes = static_cast<unsigned char*>(out);
  constexpr auto kMaxOffset = static_cast<std::uint64_t>(std::numeric_limits<off_t>::max());
  std::size_t done = 0;
  while (done < length) {
    const std::uint64_t at = offset + done;
    if (at < offset || at > kMaxOffset) return beyond_any_offset(offset, length);
    const std::size_t chunk = std::min(length - done, kMaxReadChunk);
    const ssize_t got = ::pread(fd_of(handle_), bytes + done, chunk, static_cast<off_t>(at));
    if (got < 0) {
      if (errno == EINTR) continue;
      return os_error(errno);
    }
    if (got == 0) return ended_early(offset, length, done);
    done += static_cast<std::size_t>(got);
  }
  return {};
}

Expected<std::uint64_t, Error> File::size() const {
  struct stat info;
  if (::fstat(fd_of(handle_), &info) != 0) return os_error(errno);
  // open() accepts a directory for reading; report it as a read would.
  if (S_ISDIR(info.st_mode)) return os_error(EISDIR);
  // FIFOs and devices report no size of their own.
  if (!S_ISREG(info.st_mode) || info.st_size < 0) return std::uint64_t{0};
  return static_cast<std::uint64_t>(info.st_size);
}

}  // namespace kelvara::cfb
