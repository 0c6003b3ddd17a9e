#pragma once
// UTF-16 positions in UTF-8 text. Match positions in this library are counted in UTF-16 code units (a
// character beyond U+FFFF counts two), while its strings are UTF-8; these convert between the two.
//
// Example:
//   std::size_t units = utf16Length("a\U0001F600b");                 // 4
//   auto atB = utf8Offset("a\U0001F600b", 3);                        // 5 (the byte offset of "b")
//   auto inside = utf8Offset("a\U0001F600b", 2);                     // nothing: inside the surrogate pair
//   auto b = utf16Substring("a\U0001F600b", Utf16Range{3, 1});       // "b"
//
// Invalid UTF-8 is read as one U+FFFD per bad byte, as the regular-expression engine reads it.
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace numberplan {

struct Utf16Range {
  std::size_t location = 0;
  std::size_t length = 0;

  std::size_t end() const noexcept { return location + length; }
  friend bool operator==(const Utf16Range&, const Utf16Range&) = default;
};

std::size_t utf16Length(std::string_view text);

// The byte offset of a UTF-16 offset, or nothing when it falls inside a character or beyond the end.
std::optional<std::size_t> utf8Offset(std::string_view text, std::size_t utf16Offset);

// The UTF-16 offset of a byte offset, or nothing when it falls inside a character or beyond the end.
std::optional<std::size_t> utf16Offset(std::string_view text, std::size_t utf8Offset);

// The text a UTF-16 range covers, or nothing when a bound does not fall on a character boundary.
std::optional<std::string> utf16Substring(std::string_view text, Utf16Range range);

}  // namespace numberplan
