// Entry names. Directory names are UTF-16 code units; paths arrive as UTF-8
// and messages leave as UTF-8. Names are compared the way [MS-CFB] 2.6.4
// orders them: code unit by code unit after simple upper-casing.
#pragma once

#include <string>
#include <string_view>

#include "common/error.hpp"

namespace kelvara::cfb {

// Simple upper-casing of one UTF-16 code unit.
char16_t upper_unit(char16_t c);

// True when both names have the same length and the same code units after
// upper-casing.
bool names_equal(std::u16string_view a, std::u16string_view b);

// Strict UTF-8 to UTF-16: overlong forms, surrogates, values past U+10FFFF
// and truncated sequences are errors.
Expected<std::u16string, Error> utf8_to_utf16(std::string_view text);

// A name as it appears inside a message: UTF-8, lone surrogates as U+FFFD,
// control characters as '?' so that the message stays on one line.
std::string display_name(std::u16string_view name);

// A UTF-8 path or name as it appears inside a message: control characters as '?'.
std::string display_text(std::string_view text);

}  // namespace kelvara::cfb
