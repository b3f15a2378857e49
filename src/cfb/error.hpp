// The one error type of the container reader.
//
// Every fallible function in this folder returns Expected<T, Error>: its
// value, or an Error whose message is complete, single line, with no final
// full stop, naming what was expected, what was found and where.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

#include "common/expected.hpp"

namespace kelvara::cfb {

struct Error {
  std::string message;
  // For a failure the operating system reported, its error number as an
  // errno value (ENOENT, EACCES, EISDIR, ...; Windows codes are mapped to
  // the nearest one), so that callers can tell a missing file from a
  // refused one. 0 for everything the reader itself found wrong.
  int os_errno = 0;
};

// A number as it reads in a message.
inline std::string num(std::uint64_t value) { return std::to_string(value); }

// The failure of a check on the container's bytes.
inline Unexpected<Error> fail(std::string message) { return Unexpected<Error>(Error{std::move(message), 0}); }

}  // namespace kelvara::cfb
