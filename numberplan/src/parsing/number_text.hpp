#pragma once
// Reading typed telephone-number text one character (code point) at a time: upper-casing, the digit map,
// digits the map would drop, and the strict unsigned reading used for country codes and national numbers.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include "numberplan/values/constants.hpp"

namespace numberplan::detail {

// Calls `visit(codePoint, utf8Bytes)` for each character; an invalid byte is visited as U+FFFD.
template <typename Visit>
void forEachCharacter(std::string_view text, Visit&& visit) {
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
  const auto length = static_cast<std::int32_t>(text.size());
  std::int32_t offset = 0;
  while (offset < length) {
    const std::int32_t start = offset;
    UChar32 character = 0;
    U8_NEXT(bytes, offset, length, character);
    if (character < 0) character = 0xFFFD;
    visit(character, text.substr(static_cast<std::size_t>(start), static_cast<std::size_t>(offset - start)));
  }
}

inline std::string utf8Of(UChar32 character) {
  std::string out;
  char buffer[U8_MAX_LENGTH];
  std::int32_t length = 0;
  UBool error = false;
  U8_APPEND(reinterpret_cast<std::uint8_t*>(buffer), length, U8_MAX_LENGTH, character, error);
  if (!error) out.assign(buffer, static_cast<std::size_t>(length));
  return out;
}

// The map's value for a character after upper-casing it, or nothing.
inline std::optional<char> mappedCharacter(UChar32 character) {
  if (character < 0x80) {
    // The ASCII entries map to themselves; checked here without building a key for every keystroke.
    if ((character >= '0' && character <= '9') || character == '*' || character == '#' || character == ',' ||
        character == ';') {
      return static_cast<char>(character);
    }
    return std::nullopt;
  }
  const auto& map = digitNormalizationMap();
  const auto found = map.find(utf8Of(u_toupper(character)));
  if (found == map.end() || found->second.size() != 1) return std::nullopt;
  return found->second.front();
}

// Whether the text holds a decimal digit that the digit map does not know (full-width digits among them):
// normalising would silently drop it and yield a different number.
inline bool hasUnmappedDigit(std::string_view text) {
  bool found = false;
  forEachCharacter(text, [&](UChar32 character, std::string_view) {
    if (!found && u_charType(character) == U_DECIMAL_DIGIT_NUMBER && !mappedCharacter(character)) {
      found = true;
    }
  });
  return found;
}

// Whether the last character of the text is a decimal digit the digit map reads (ASCII, Arabic-Indic, Persian).
// Text cut inside a character ends with no digit.
inline bool endsWithMappedDigit(std::string_view text) {
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
  auto offset = static_cast<std::int32_t>(text.size());
  if (offset == 0) return false;
  UChar32 character = 0;
  U8_PREV(bytes, 0, offset, character);  // negative for a cut or ill-formed sequence
  return character >= 0 && u_charType(character) == U_DECIMAL_DIGIT_NUMBER && mappedCharacter(character).has_value();
}

inline std::size_t characterCount(std::string_view text) {
  std::size_t count = 0;
  forEachCharacter(text, [&](UChar32, std::string_view) { ++count; });
  return count;
}

// An unsigned decimal within 64 bits, with an optional leading "+": nothing for anything else (empty text,
// another character, overflow).
inline std::optional<std::uint64_t> readUnsigned(std::string_view text) {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty()) return std::nullopt;
  std::uint64_t value = 0;
  for (const char digit : text) {
    if (digit < '0' || digit > '9') return std::nullopt;
    const auto add = static_cast<std::uint64_t>(digit - '0');
    if (value > (UINT64_MAX - add) / 10) return std::nullopt;
    value = value * 10 + add;
  }
  return value;
}

}  // namespace numberplan::detail
