// The one error type of everything that reads a data file, and the one way
// to pass a failure up.
//
// Every fallible function returns Result<T>: its value, or an Error whose
// message is complete, single line, with no final full stop, naming what
// was expected, what was found and where, formatted at the point of
// failure. The code says what kind of failure it is:
//
//   Io           a read the system (or the container's end) refused
//   Format       the bytes are not what the layout says they must be
//   Budget       decoding would give more spectra than any acquisition can
//   OutOfMemory  the system refused an allocation
//
// Nothing here throws. A function passes a callee's failure up with
// KELVARA_TRY (a value it goes on with) or KELVARA_FORWARD_IF_ERROR (a
// result it only checks), never by hand.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include "common/expected.hpp"

namespace kelvara {

class Error {
 public:
  enum class Code { Io, Format, Budget, OutOfMemory };

  // `os_errno` is the POSIX error number of the failed call, 0 when unknown;
  // callers that raise OSError subclasses read it, the text never changes.
  static Error io(std::string message, int os_errno = 0) { return Error(Code::Io, std::move(message), os_errno); }
  // A Format error that stands for a failed read (a container that cannot
  // be read because the path is a directory) carries that read's number too.
  static Error format(std::string message, int os_errno = 0) {
    return Error(Code::Format, std::move(message), os_errno);
  }
  static Error budget(std::string message) { return Error(Code::Budget, std::move(message), 0); }
  // `what` names what could not be allocated ("12884901888 bytes for stream
  // 'MS Raw Data'").
  static Error out_of_memory(std::string what) {
    return Error(Code::OutOfMemory, "could not allocate " + std::move(what), 0);
  }

  // The same failure of a container whose structures point past the end of
  // the file: the file's size, and the size the container needs at least.
  Error&& past_end(std::uint64_t file_bytes, std::uint64_t needed_bytes) && {
    file_bytes_ = file_bytes;
    needed_bytes_ = needed_bytes;
    return std::move(*this);
  }

  // The same failure, its message behind `prefix` and with `code`; the
  // error number and the sizes stay.
  Error&& restated(Code code, const std::string& prefix) && {
    code_ = code;
    message_.insert(0, prefix);
    return std::move(*this);
  }

  Code code() const noexcept { return code_; }
  const std::string& message() const noexcept { return message_; }
  int os_errno() const noexcept { return os_errno_; }
  const std::optional<std::uint64_t>& file_bytes() const noexcept { return file_bytes_; }
  const std::optional<std::uint64_t>& needed_bytes() const noexcept { return needed_bytes_; }

  // "I/O error: {}" or "parse error: {}" (Format and Budget alike), or
  // "out of memory: {}", nothing more.
  std::string display() const {
    switch (code_) {
      case Code::Io:
        return "I/O error: " + message_;
      case Code::OutOfMemory:
        return "out of memory: " + message_;
      case Code::Format:
      case Code::Budget:
        break;
    }
    return "parse error: " + message_;
  }

 private:
  Error(Code code, std::string message, int os_errno) : code_(code), message_(std::move(message)), os_errno_(os_errno) {}

  Code code_;
  std::string message_;
  int os_errno_;
  std::optional<std::uint64_t> file_bytes_;
  std::optional<std::uint64_t> needed_bytes_;
};

template <class T>
using Result = Expected<T, Error>;

// The failure of a check on the file's bytes.
inline Unexpected<Error> fail(std::string message) { return Unexpected<Error>(Error::format(std::move(message))); }

// The failure of a container whose structures point past the end of its
// file of `file_bytes` bytes: it needs `needed_bytes` at least.
inline Unexpected<Error> fail_past_end(std::string message, std::uint64_t file_bytes, std::uint64_t needed_bytes) {
  return Unexpected<Error>(Error::format(std::move(message)).past_end(file_bytes, needed_bytes));
}

// A number as it reads in a message.
inline std::string num(std::uint64_t value) { return std::to_string(value); }

}  // namespace kelvara

// Declares `name` as the result of `expr` (a Result); when it failed, the
// enclosing function returns its error. On success `*name` is the value.
#define KELVARA_TRY(name, expr) \
  auto name = (expr);           \
  if (!name) return ::kelvara::Unexpected<::kelvara::Error>(std::move(name).error())

// Evaluates `expr` (a Result); when it failed, the enclosing function
// returns its error.
#define KELVARA_FORWARD_IF_ERROR(expr)                                                             \
  do {                                                                                             \
    if (auto kelvara_forwarded_ = (expr); !kelvara_forwarded_) {                                   \
      return ::kelvara::Unexpected<::kelvara::Error>(std::move(kelvara_forwarded_).error());       \
    }                                                                                              \
  } while (false)
