#include "vellum/general/cache_key.hpp"

#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include "foundation/crypto.hpp"

namespace vellum {

std::string sha256HexDigest(std::string_view key) { return foundation::sha256Hex(key); }

namespace {

bool isLetterOrNumber(UChar32 c) {
  switch (u_charType(c)) {
    case U_UPPERCASE_LETTER:
    case U_LOWERCASE_LETTER:
    case U_TITLECASE_LETTER:
    case U_MODIFIER_LETTER:
    case U_OTHER_LETTER:
    case U_DECIMAL_DIGIT_NUMBER:
    case U_LETTER_NUMBER:
    case U_OTHER_NUMBER:
      return true;
    default:
      return false;
  }
}

}  // namespace

std::optional<std::string> cacheFileExtension(std::string_view key) {
  // The first non-empty piece between "@" separators.
  std::string_view piece;
  std::size_t start = 0;
  while (start <= key.size()) {
    const std::size_t at = key.find('@', start);
    const std::size_t end = at == std::string_view::npos ? key.size() : at;
    if (end > start) {
      piece = key.substr(start, end - start);
      break;
    }
    if (at == std::string_view::npos) break;
    start = at + 1;
  }
  if (piece.empty()) return std::nullopt;
  const std::size_t dot = piece.rfind('.');
  if (dot == std::string_view::npos) return std::nullopt;
  const std::string_view candidate = piece.substr(dot + 1);
  if (candidate.empty()) return std::nullopt;

  int count = 0;
  std::int32_t i = 0;
  const auto length = static_cast<std::int32_t>(candidate.size());
  while (i < length) {
    UChar32 c;
    U8_NEXT(reinterpret_cast<const std::uint8_t*>(candidate.data()), i, length, c);
    if (c < 0 || !isLetterOrNumber(c)) return std::nullopt;
    if (++count > 20) return std::nullopt;
  }
  return std::string(candidate);
}

}  // namespace vellum
