// Text as the device counts it: UTF-16 code units, from and to the host's UTF-8.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace sim {

// The UTF-16 units that the text takes on the device; none when it is not UTF-8.
std::optional<size_t> Utf16Units(std::string_view utf8);

// One code point (at most 0x10FFFF, no surrogate) appended as UTF-8.
void AppendUtf8(std::string &text, char32_t code);

}  // namespace sim
