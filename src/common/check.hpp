// Checks of what the code itself guarantees: a failed one is a fault in
// this program, never in a file, and ends the process with a message at
// once, in every build, rather than read or write out of bounds.
#pragma once

#include <cstdio>
#include <cstdlib>

namespace kelvara {

[[noreturn]] inline void check_failed(const char* condition, const char* file, int line) noexcept {
  std::fprintf(stderr, "kelvara: internal check failed: %s (%s:%d)\n", condition, file, line);
  std::abort();
}

}  // namespace kelvara

#define KELVARA_CHECK(condition) \
  ((condition) ? static_cast<void>(0) : ::kelvara::check_failed(#condition, __FILE__, __LINE__))
