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

  static RawError io(std::string os_text) { return RawError(Kind::Io, std::move(os_text)); }
  static RawError parse(std::string message) { return RawError(Kind::Parse, std::move(message)); }

  Kind kind() const noexcept { return kind_; }
  const std::string& message() const noexcept { return message_; }

  // "I/O error: {}" or "parse error: {}", nothing more.
  std::string display() const {
    return (kind_ == Kind::Io ? std::string("I/O error: ") : std::string("parse error: ")) + message_;
  }

 private:
  RawError(Kind kind, std::string message) : kind_(kind), message_(std::move(message)) {}

  Kind kind_;
  std::string message_;
};

template <class T>
using Result = Expected<T, RawError>;

inline Unexpected<RawError> parse_error(std::string message) {
  return Unexpected<RawError>(RawError::parse(std::move(message)));
}

}  // namespace kelvara::raw
