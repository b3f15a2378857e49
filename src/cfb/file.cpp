// What both platforms' file layers share: ownership of the handle and the
// texts of the errors that the reader, not the system, detects.
#include "cfb/file.hpp"

#include <string>
#include <utility>

namespace kelvara::cfb {

File::File(File&& other) noexcept : handle_(std::exchange(other.handle_, -1)) {}

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    close();
    handle_ = std::exchange(other.handle_, -1);
  }
  return *this;
}

File::~File() { close(); }

Unexpected<Error> File::nul_in_path() { return fail("file name contained an unexpected NUL byte"); }

Unexpected<Error> File::beyond_any_offset(std::uint64_t offset, std::size_t length) {
  return fail("read of " + num(length) + " bytes at offset " + num(offset) +
              " lies past any possible file size");
}

Unexpected<Error> File::ended_early(std::uint64_t offset, std::size_t length, std::size_t done) {
  return fail_past_end("read of " + num(length) + " bytes at offset " + num(offset) +
                           " reached the end of the file after " + num(done) + " bytes",
                       offset + done, offset + length);
}

}  // namespace kelvara::cfb
