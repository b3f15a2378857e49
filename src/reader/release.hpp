// Handing scan data back to the system as the walk leaves it behind.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "common/bytes.hpp"
#include "reader/open.hpp"

namespace kelvara::reader {

// Hands the pages of the scan data back to the system once no later index
// position can read them, so that the decoded spectra take the place of the
// scan data instead of adding to it. Scans are usually stored in index
// order, and then all but a chunk or two of the scan data is released by the
// time the last spectrum is decoded; an index that goes back to the start of
// the data releases nothing. Only for a caller that owns the data and never
// reads it again (the released pages read as zeros).
class ScanDataRelease {
 public:
  // Releases nothing.
  ScanDataRelease() = default;
  // The index positions are walked in chunks of `per_chunk`.
  ScanDataRelease(const LayoutData& layout, Bytes& data, std::size_t positions, std::size_t per_chunk);

  // Chunks 0 to k have been decoded; later ones may be decoding now.
  void after_chunk(std::size_t k);

 private:
  Bytes* data_ = nullptr;
  std::vector<std::uint64_t> lowest_;  // lowest_[k]: the lowest scan start of any position in chunk k or later
  std::size_t released_ = 0;
};

}  // namespace kelvara::reader
