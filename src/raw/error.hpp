// The one error type of everything that reads a data file.
//
// An Io error carries the operating system's (or the container reader's)
// text for a failed read; a Parse error carries a complete message, made
// with its values where the failure happened. Callers never inspect the
// text: they pass the error up unchanged or drop it, and the Python layer
// shows its display form as the message of a RuntimeError.
#pragma once

#include <string>
#include <utility>

#include "common/expected.hpp"

namespace kelvara::raw {

class RawError {
 public:
  // OutOfMemory: memory for the run could not be had; its message says for
  // what, and Python raises MemoryError with it.
  enum class Kind { Io, Parse, OutOfMemory };

  // `os_errno` is the POSIX error number of the failed call, 0 when unknown;
  // callers that raise OSError subclasses read it, the text never changes.
  static RawError io(std::string os_text, int os_errno = 0) {
    return RawError(Kind::Io, std::move(os_text), os_errno);
  }
  // A Parse error that stands for a failed read (a container that cannot be
  // read because the path is a directory) carries that read's number too.
  static RawError parse(std::string message, int os_errno = 0) {
    return RawError(Kind::Parse, std::move(message), os_errno);
  }

  static RawError out_of_memory(std::string message) { return RawError(Kind::OutOfMemory, std::move(message), 0); }

  Kind kind() const noexcept { return kind_; }
  const std::string& message() const noexcept { return message_; }
  int os_errno() const noexcept { return os_errno_; }

  // "I/O error: {}", "parse error: {}" or "out of memory: {}", nothing more.
  std::string display() const {
    switch (kind_) {
      case Kind::Io:
        return "I/O error: " + message_;
      case Kind::Parse:
        return "parse error: " + message_;
      case Kind::OutOfMemory:
        break;
    }
    return "out of memory: " + message_;
  }

 private:
  RawError(Kind kind, std::string message, int os_errno)
      : kind_(kind), message_(std::move(message)), os_errno_(os_errno) {}

  Kind kind_;
  std::string message_;
  int os_errno_;
};

template <class T>
using Result = Expected<T, RawError>;

inline Unexpected<RawError> parse_error(std::string message) {
  return Unexpected<RawError>(RawError::parse(std::move(message)));
}

}  // namespace kelvara::raw
