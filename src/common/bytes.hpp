// The one way the decoders read bytes: a non-owning view over a byte
// sequence with little-endian field reads at fixed offsets and checked
// sub-views. Decoders validate sizes before reading, so every read is in
// range by construction; each read still checks its range, and a failed
// check is a fault of this program that stops it (KELVARA_CHECK) instead of
// letting an out-of-bounds read happen. Nothing here throws.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <type_traits>
#include <vector>

#include "common/check.hpp"

namespace kelvara {

// An allocator that leaves elements made without a value uninitialised
// instead of zeroing them, so a buffer sized for a read that fills it
// whole is written once, by the read.
template <class T>
struct FillLaterAllocator : std::allocator<T> {
  template <class U>
  struct rebind {
    using other = FillLaterAllocator<U>;
  };
  FillLaterAllocator() noexcept = default;
  template <class U>
  FillLaterAllocator(const FillLaterAllocator<U>&) noexcept {}

  // Construction with a value goes through std::construct_at, as for any
  // allocator without such a member.
  template <class U>
  void construct(U* p) noexcept(std::is_nothrow_default_constructible_v<U>) {
    ::new (static_cast<void*>(p)) U;
  }
};

// The bytes of a whole stream, as read from a container.
using Bytes = std::vector<std::uint8_t, FillLaterAllocator<std::uint8_t>>;

class ByteView {
 public:
  constexpr ByteView() noexcept = default;
  constexpr ByteView(const std::uint8_t* data, std::size_t size) noexcept : data_(data), size_(size) {}
  template <class Allocator>
  ByteView(const std::vector<std::uint8_t, Allocator>& bytes) noexcept : data_(bytes.data()), size_(bytes.size()) {}

  constexpr std::size_t size() const noexcept { return size_; }
  constexpr bool empty() const noexcept { return size_ == 0; }
  constexpr const std::uint8_t* data() const noexcept { return data_; }

  // True when [offset, offset + length) lies inside the view.
  constexpr bool has(std::size_t offset, std::size_t length) const noexcept {
    return offset <= size_ && length <= size_ - offset;
  }

  ByteView sub(std::size_t offset, std::size_t length) const noexcept {
    check(offset, length);
    return ByteView(data_ + offset, length);
  }
  ByteView from(std::size_t offset) const noexcept {
    check(offset, 0);
    return ByteView(data_ + offset, size_ - offset);
  }

  std::uint8_t u8(std::size_t offset) const noexcept {
    check(offset, 1);
    return data_[offset];
  }
  std::uint16_t u16(std::size_t offset) const { return static_cast<std::uint16_t>(uint_le(offset, 2)); }
  std::uint32_t u32(std::size_t offset) const { return static_cast<std::uint32_t>(uint_le(offset, 4)); }
  std::uint64_t u64(std::size_t offset) const { return uint_le(offset, 8); }

  // An unsigned little-endian integer of `width` bytes (1 to 8), zero-extended.
  std::uint64_t uint_le(std::size_t offset, std::size_t width) const noexcept {
    KELVARA_CHECK(width <= 8);
    check(offset, width);
    std::uint64_t value = 0;
    for (std::size_t i = width; i-- > 0;) value = (value << 8) | data_[offset + i];
    return value;
  }

  // IEEE 754 double precision, little-endian.
  double f64(std::size_t offset) const {
    const std::uint64_t bits = u64(offset);
    double value;
    static_assert(sizeof value == sizeof bits);
    std::memcpy(&value, &bits, sizeof value);
    return value;
  }

 private:
  void check(std::size_t offset, std::size_t length) const noexcept { KELVARA_CHECK(has(offset, length)); }

  const std::uint8_t* data_ = nullptr;
  std::size_t size_ = 0;
};

// Little-endian u32 values at bytes 4k..4k+3; one to three trailing bytes are
// ignored. Used for offset lists and retention-time tables.
inline std::vector<std::uint32_t> read_u32_array(ByteView bytes) {
  std::vector<std::uint32_t> values(bytes.size() / 4);
  for (std::size_t k = 0; k < values.size(); ++k) values[k] = bytes.u32(4 * k);
  return values;
}

}  // namespace kelvara
