// Page release behind the walk.

#include "reader/release.hpp"

#include <algorithm>

#include "cfb/file.hpp"
#include "reader/layouts.hpp"

namespace kelvara::reader {

ScanDataRelease::ScanDataRelease(const LayoutData& layout, Bytes& data, std::size_t positions, std::size_t per_chunk)
    : data_(&data) {
  const auto scan_start = layout_of(layout).scan_start;
  const std::size_t chunks = (positions + per_chunk - 1) / per_chunk;
  lowest_.assign(chunks + 1, data.size());
  for (std::size_t i = 0; i < positions; ++i) {
    auto& low = lowest_[i / per_chunk];
    low = std::min<std::uint64_t>(low, scan_start(layout, i));
  }
  for (std::size_t k = chunks; k-- > 0;) lowest_[k] = std::min(lowest_[k], lowest_[k + 1]);
}

void ScanDataRelease::after_chunk(std::size_t k) {
  if (data_ == nullptr || k + 1 >= lowest_.size()) return;
  const auto upto = static_cast<std::size_t>(std::min<std::uint64_t>(lowest_[k + 1], data_->size()));
  if (upto <= released_) return;
  cfb::discard_pages(data_->data() + released_, data_->data() + upto);
  released_ = upto;
}

}  // namespace kelvara::reader
