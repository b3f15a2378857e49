// Names: upper-casing, comparison and the UTF-8 and UTF-16 conversions.
#include "cfb/names.hpp"

#include <cstdint>

namespace kelvara::cfb {
namespace {

Unexpected<Error> not_utf8(std::size_t at) { return fail("not valid UTF-8 at byte " + num(at)); }

void append_utf8(std::string& out, std::uint32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0u | (cp >> 6)));
    out.push_back(static_cast<char>(0x80u | (cp & 0x3Fu)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0u | (cp >> 12)));
    out.push_back(static_cast<char>(0x80u | ((cp >> 6) & 0x3Fu)));
    out.push_back(static_cast<char>(0x80u | (cp & 0x3Fu)));
  } else {
    out.push_back(static_cast<char>(0xF0u | (cp >> 18)));
    out.push_back(static_cast<char>(0x80u | ((cp >> 12) & 0x3Fu)));
    out.push_back(static_cast<char>(0x80u | ((cp >> 6) & 0x3Fu)));
    out.push_back(static_cast<char>(0x80u | (cp & 0x3Fu)));
  }
}

}  // namespace

// Upper-casing as [MS-CFB] 2.6.4 compares names: ASCII, Latin-1, Latin
// Extended-A, Greek, Cyrillic, Armenian, Latin Extended Additional and the
// fullwidth forms. Code units outside these ranges compare as they are.
char16_t upper_unit(char16_t c) {
  const unsigned u = c;
  auto shifted = [](unsigned v, int delta) { return static_cast<char16_t>(static_cast<int>(v) + delta); };
  auto pair_upper_even = [&](unsigned v) { return static_cast<char16_t>(v & ~1u); };
  auto pair_upper_odd = [&](unsigned v) { return static_cast<char16_t>((v & 1u) ? v : v - 1); };
  if (u < 0x80) return (u >= 'a' && u <= 'z') ? shifted(u, -0x20) : c;
  if (u >= 0xE0 && u <= 0xFE && u != 0xF7) return shifted(u, -0x20);
  if (u == 0xFF) return u'\u0178';
  // U+0130 and U+0131 (dotted and dotless I) have no simple pair partner.
  if ((u >= 0x100 && u <= 0x12F) || (u >= 0x132 && u <= 0x137) || (u >= 0x14A && u <= 0x177)) {
    return pair_upper_even(u);
  }
  if ((u >= 0x139 && u <= 0x148) || (u >= 0x179 && u <= 0x17E)) return pair_upper_odd(u);
  if ((u >= 0x3B1 && u <= 0x3C1) || (u >= 0x3C3 && u <= 0x3CB)) return shifted(u, -0x20);
  if (u == 0x3C2) return u'\u03A3';
  if (u == 0x3AC) return u'\u0386';
  if (u >= 0x3AD && u <= 0x3AF) return shifted(u, -0x25);
  if (u == 0x3CC) return u'\u038C';
  if (u == 0x3CD || u == 0x3CE) return shifted(u, -0x3F);
  if (u >= 0x430 && u <= 0x44F) return shifted(u, -0x20);
  if (u >= 0x450 && u <= 0x45F) return shifted(u, -0x50);
  if ((u >= 0x460 && u <= 0x481) || (u >= 0x48A && u <= 0x4BF) || (u >= 0x4D0 && u <= 0x52F)) {
    return pair_upper_even(u);
  }
  if (u >= 0x4C1 && u <= 0x4CE) return pair_upper_odd(u);
  if (u >= 0x561 && u <= 0x586) return shifted(u, -0x30);
  if ((u >= 0x1E00 && u <= 0x1E95) || (u >= 0x1EA0 && u <= 0x1EFF)) return pair_upper_even(u);
  if (u >= 0xFF41 && u <= 0xFF5A) return shifted(u, -0x20);
  return c;
}

bool names_equal(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (upper_unit(a[i]) != upper_unit(b[i])) return false;
  }
  return true;
}

Expected<std::u16string, Error> utf8_to_utf16(std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  std::size_t i = 0;
  while (i < text.size()) {
    const auto b0 = static_cast<unsigned char>(text[i]);
    std::uint32_t cp;
    std::size_t extra;
    if (b0 < 0x80) {
      cp = b0;
      extra = 0;
    } else if (b0 >= 0xC2 && b0 <= 0xDF) {
      cp = b0 & 0x1Fu;
      extra = 1;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
      cp = b0 & 0x0Fu;
      extra = 2;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
      cp = b0 & 0x07u;
      extra = 3;
    } else {
      return not_utf8(i);
    }
    if (extra > text.size() - i - 1) return not_utf8(i);
    for (std::size_t k = 1; k <= extra; ++k) {
      const auto b = static_cast<unsigned char>(text[i + k]);
      if ((b & 0xC0u) != 0x80u) return not_utf8(i);
      cp = (cp << 6) | (b & 0x3Fu);
    }
    // Overlong forms, surrogates and values past U+10FFFF are not UTF-8.
    if ((extra == 2 && cp < 0x800) || (extra == 3 && cp < 0x10000) || cp > 0x10FFFF ||
        (cp >= 0xD800 && cp <= 0xDFFF)) {
      return not_utf8(i);
    }
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800u + (cp >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00u + (cp & 0x3FFu)));
    } else {
      out.push_back(static_cast<char16_t>(cp));
    }
    i += extra + 1;
  }
  return out;
}

std::string display_name(std::u16string_view name) {
  std::string out;
  for (std::size_t i = 0; i < name.size(); ++i) {
    std::uint32_t cp = name[i];
    if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < name.size() && name[i + 1] >= 0xDC00 && name[i + 1] <= 0xDFFF) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (static_cast<std::uint32_t>(name[i + 1]) - 0xDC00);
      ++i;
    } else if (cp >= 0xD800 && cp <= 0xDFFF) {
      cp = 0xFFFD;
    }
    if (cp < 0x20 || cp == 0x7F) cp = '?';
    append_utf8(out, cp);
  }
  return out;
}

std::string display_text(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
  }
  return out;
}

}  // namespace kelvara::cfb
