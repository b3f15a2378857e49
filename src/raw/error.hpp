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
  enum class Kind { Io, Parse };

  // `os_errno` is the POSIX error number of the failed call, 0 when unknown;
  // callers that raise OSError subclasses read it, the text never changes.
  static RawError io(std::string os_text, int os_errno = 0) {
    return RawError(Kind::Io, std::move(os_text), os_errno);
  }
  static RawError parse(std::string message) { return RawError(Kind::Parse, std::move(message), 0); }

  Kind kind() const noexcept { return kind_; }
  const std::string& message() const noexcept { return message_; }
  int os_errno() const noexcept { return os_errno_; }

  // "I/O error: {}" or "parse error: {}", nothing more.
  std::string display() const {
    return (kind_ == Kind::Io ? std::string("I/O error: ") : std::string("parse error: ")) + message_;
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
