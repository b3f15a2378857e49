// Unchecked little-endian loads for decoder inner loops.
//
// A decoder first checks that a whole table or array lies inside its record
// (ByteView::sub, or a size test fixed by the layout), then reads the
// entries through these loads without a range check per field. They read
// at any alignment.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace kelvara {

template <class T>
inline T load_le(const std::uint8_t* at) noexcept {
  T value;
  if constexpr (std::endian::native == std::endian::little) {
    std::memcpy(&value, at, sizeof value);
  } else {
    value = 0;
    for (std::size_t i = sizeof value; i-- > 0;) value = static_cast<T>((value << 8) | at[i]);
  }
  return value;
}

inline std::uint16_t load_u16_le(const std::uint8_t* at) noexcept { return load_le<std::uint16_t>(at); }
inline std::uint32_t load_u32_le(const std::uint8_t* at) noexcept { return load_le<std::uint32_t>(at); }
inline std::uint64_t load_u64_le(const std::uint8_t* at) noexcept { return load_le<std::uint64_t>(at); }

// An unsigned little-endian integer of 1 to 4 bytes, zero-extended, with the
// width fixed at compile time so that the loop reading it can be unrolled.
template <std::size_t Width>
inline std::uint32_t load_uint_le(const std::uint8_t* at) noexcept {
  static_assert(Width >= 1 && Width <= 4);
  if constexpr (Width == 1) {
    return at[0];
  } else if constexpr (Width == 2) {
    return load_u16_le(at);
  } else if constexpr (Width == 3) {
    return static_cast<std::uint32_t>(load_u16_le(at)) | static_cast<std::uint32_t>(at[2]) << 16;
  } else {
    return load_u32_le(at);
  }
}

}  // namespace kelvara

namespace kelvara {

// Runs `body.template operator()<W>()` with W the runtime `width` (1 to 4),
// so that a loop over fields of that width is compiled once per width.
template <class Body>
inline decltype(auto) with_uint_width(std::size_t width, Body&& body) {
  switch (width) {
    case 1:
      return body.template operator()<1>();
    case 2:
      return body.template operator()<2>();
    case 3:
      return body.template operator()<3>();
    default:
      return body.template operator()<4>();
  }
}

}  // namespace kelvara
