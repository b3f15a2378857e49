// Pieces every scan decoder shares: the "too short for its header" error,
// fixed-size entry tables, and m/z stored in tenths. Each layout keeps its own offsets and sizes in its own
// file and passes them in.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "common/bytes.hpp"
#include "common/check.hpp"
#include "common/error.hpp"

namespace kelvara::raw {

// "<record> too short for <header>-byte header: <length> bytes", where
// `record` names the kind of scan record ("GC-MS scan", ...).
inline Unexpected<Error> too_short_for_header(std::string_view record, std::size_t header_bytes,
                                                 std::size_t length) {
  return fail(std::string(record) + " too short for " + std::to_string(header_bytes) +
                     "-byte header: " + std::to_string(length) + " bytes");
}

// A table of fixed-size entries filling a whole stream. A stream whose size
// is not a multiple of `entry_size` is rejected with the message that
// `size_message(size)` makes; otherwise `read_entry(entry)` turns each
// entry's bytes, a view of exactly `entry_size` bytes, into one element.
template <class ReadEntry, class SizeMessage>
auto read_entry_table(ByteView table, std::size_t entry_size, SizeMessage&& size_message, ReadEntry&& read_entry)
    -> Result<std::vector<std::decay_t<std::invoke_result_t<ReadEntry&, ByteView>>>> {
  using Entry = std::decay_t<std::invoke_result_t<ReadEntry&, ByteView>>;
  KELVARA_CHECK(entry_size != 0);
  if (table.size() % entry_size != 0) return fail(size_message(table.size()));
  std::vector<Entry> entries;
  entries.reserve(table.size() / entry_size);
  for (std::size_t at = 0; at < table.size(); at += entry_size) {
    entries.push_back(read_entry(table.sub(at, entry_size)));
  }
  return entries;
}

// An m/z stored as an unsigned count of tenths of a unit.
inline double tenths_to_mz(std::uint16_t tenths) { return static_cast<double>(tenths) / 10.0; }

}  // namespace kelvara::raw
