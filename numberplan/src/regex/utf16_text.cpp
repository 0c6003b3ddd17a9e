#include "numberplan/regex/utf16_text.hpp"

#include <cstdint>

#include <unicode/utf16.h>
#include <unicode/utf8.h>

namespace numberplan {
namespace {

// Walks the text one character at a time the way ICU's UTF-8 conversion reads it (an ill-formed sequence is one
// U+FFFD), calling visit(byteOffset, utf16Offset) at every character boundary, the end included. Stops early
// when visit returns false.
template <typename Visit>
void walkBoundaries(std::string_view text, Visit visit) {
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
  const auto length = static_cast<std::int32_t>(text.size());
  std::int32_t index = 0;
  std::size_t units = 0;
  while (index < length) {
    if (!visit(static_cast<std::size_t>(index), units)) return;
    UChar32 character = 0;
    U8_NEXT(bytes, index, length, character);
    units += (character >= 0) ? static_cast<std::size_t>(U16_LENGTH(character)) : 1U;
  }
  visit(text.size(), units);
}

}  // namespace

std::size_t utf16Length(std::string_view text) {
  std::size_t total = 0;
  walkBoundaries(text, [&](std::size_t, std::size_t units) {
    total = units;
    return true;
  });
  return total;
}

std::optional<std::size_t> utf8Offset(std::string_view text, std::size_t utf16Offset) {
  std::optional<std::size_t> found;
  walkBoundaries(text, [&](std::size_t byteOffset, std::size_t units) {
    if (units == utf16Offset) found = byteOffset;
    return units < utf16Offset;
  });
  return found;
}

std::optional<std::size_t> utf16Offset(std::string_view text, std::size_t utf8Offset) {
  std::optional<std::size_t> found;
  walkBoundaries(text, [&](std::size_t byteOffset, std::size_t units) {
    if (byteOffset == utf8Offset) found = units;
    return byteOffset < utf8Offset;
  });
  return found;
}

std::optional<std::string> utf16Substring(std::string_view text, Utf16Range range) {
  const auto begin = utf8Offset(text, range.location);
  const auto end = utf8Offset(text, range.end());
  if (!begin || !end) return std::nullopt;
  return std::string(text.substr(*begin, *end - *begin));
}

}  // namespace numberplan
