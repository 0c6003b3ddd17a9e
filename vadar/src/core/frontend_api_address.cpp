#include "core/frontend_api_address.hpp"

#include <foundation/base64.hpp>

namespace vadar::core {
namespace {

// The text after the first occurrence of `prefix`, when at least one character follows it.
std::optional<std::string> capturedAfter(std::string_view key, std::string_view prefix) {
  const auto at = key.find(prefix);
  if (at == std::string_view::npos || at + prefix.size() >= key.size()) return std::nullopt;
  return std::string(key.substr(at + prefix.size()));
}

// Length of the UTF-8 sequence starting at `lead`, or 0 when the bytes are not valid UTF-8 there.
std::size_t sequenceLength(std::string_view text, std::size_t at) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(at);
  std::size_t length;
  std::uint32_t codePoint;
  if (lead < 0x80) return 1;
  if ((lead & 0xE0) == 0xC0) length = 2, codePoint = lead & 0x1F;
  else if ((lead & 0xF0) == 0xE0) length = 3, codePoint = lead & 0x0F;
  else if ((lead & 0xF8) == 0xF0) length = 4, codePoint = lead & 0x07;
  else return 0;
  if (at + length > text.size()) return 0;
  for (std::size_t i = 1; i < length; ++i) {
    if ((byte(at + i) & 0xC0) != 0x80) return 0;
    codePoint = (codePoint << 6) | (byte(at + i) & 0x3F);
  }
  const bool overlong = (length == 2 && codePoint < 0x80) || (length == 3 && codePoint < 0x800) ||
                        (length == 4 && codePoint < 0x10000);
  if (overlong || codePoint > 0x10FFFF || (codePoint >= 0xD800 && codePoint <= 0xDFFF)) return 0;
  return length;
}

// The text without its last code point; none when it is not valid UTF-8.
std::optional<std::string> dropLastCodePoint(const std::string& text) {
  std::size_t at = 0, lastStart = 0;
  while (at < text.size()) {
    const std::size_t length = sequenceLength(text, at);
    if (length == 0) return std::nullopt;
    lastStart = at;
    at += length;
  }
  return text.substr(0, lastStart);
}

bool isHostCharacter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '.';
}

}  // namespace

bool isAcceptableHost(std::string_view host) {
  const auto colon = host.find(':');
  const std::string_view name = host.substr(0, colon);
  if (name.empty()) return false;
  for (char c : name)
    if (!isHostCharacter(c)) return false;
  if (colon == std::string_view::npos) return true;
  const std::string_view port = host.substr(colon + 1);
  if (port.empty() || port.size() > 5) return false;
  unsigned value = 0;
  for (char c : port) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<unsigned>(c - '0');
  }
  return value <= 65535;
}

DerivedAddress deriveFrontendApiUrl(std::string_view publishableKey) {
  auto captured = capturedAfter(publishableKey, "pk_live_");
  if (!captured) captured = capturedAfter(publishableKey, "pk_test_");
  if (!captured) return {};

  std::string standard = *captured;
  for (char& c : standard) {
    if (c == '-') c = '+';
    else if (c == '_') c = '/';
  }
  if (standard.size() % 4 != 0) standard.append(4 - standard.size() % 4, '=');

  const auto bytes = foundation::base64Decode(standard);
  if (!bytes) return {};
  const auto host = dropLastCodePoint(foundation::toString(*bytes));
  if (!host) return {};
  if (!isAcceptableHost(*host)) return {std::nullopt, true};
  return {"https://" + *host, false};
}

}  // namespace vadar::core
