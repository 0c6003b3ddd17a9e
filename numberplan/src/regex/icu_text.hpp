#pragma once
// Conversions between the library's UTF-8 strings and ICU's UTF-16 strings, private to the regex code.
#include <string>
#include <string_view>

#include <unicode/stringpiece.h>
#include <unicode/unistr.h>

namespace numberplan::detail {

inline icu::UnicodeString toUnicode(std::string_view text) {
  return icu::UnicodeString::fromUTF8(icu::StringPiece(text.data(), static_cast<std::int32_t>(text.size())));
}

inline std::string toUtf8(const icu::UnicodeString& text) {
  std::string result;
  text.toUTF8String(result);
  return result;
}

// Appends text[start, end) (UTF-16 offsets) to `out` as UTF-8.
inline void appendUtf8(std::string& out, const icu::UnicodeString& text, std::int32_t start, std::int32_t end) {
  text.tempSubStringBetween(start, end).toUTF8String(out);
}

}  // namespace numberplan::detail
