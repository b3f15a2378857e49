// Page release behind the walk.

#include "reader/release.hpp"

#include <algorithm>
#include <variant>

#include "cfb/file.hpp"

namespace kelvara::reader {
namespace {

std::uint64_t scan_start(const GcmsData& data, std::size_t i) { return data.scan_offsets[i]; }
std::uint64_t scan_start(const MassRawData& data, std::size_t i) { return data.scan_offsets[i]; }
std::uint64_t scan_start(const QtflData& data, std::size_t i) { return data.index_entries[i].data_offset; }
std::uint64_t scan_start(const TtflData& data, std::size_t i) { return data.scan_ranges[i].start; }

}  // namespace

ScanDataRelease::ScanDataRelease(const LayoutData& layout, Bytes& data, std::size_t positions, std::size_t per_chunk)
    : data_(&data) {
  const std::size_t chunks = (positions + per_chunk - 1) / per_chunk;
  lowest_.assign(chunks + 1, data.size());
  std::visit(
      [&](const auto& layout_data) {
        for (std::size_t i = 0; i < positions; ++i) {
          auto& low = lowest_[i / per_chunk];
          low = std::min<std::uint64_t>(low, scan_start(layout_data, i));
        }
      },
      layout);
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
