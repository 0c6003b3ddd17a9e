#include "foundation/base64.hpp"

#include <array>

namespace foundation {
namespace {

constexpr char kStandard[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr char kUrl[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";

std::string encode(const Bytes& bytes, const char* alphabet, bool padded) {
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  std::size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    const std::uint32_t v = (bytes[i] << 16) | (bytes[i + 1] << 8) | bytes[i + 2];
    out += alphabet[(v >> 18) & 63];
    out += alphabet[(v >> 12) & 63];
    out += alphabet[(v >> 6) & 63];
    out += alphabet[v & 63];
  }
  const std::size_t rest = bytes.size() - i;
  if (rest == 1) {
    const std::uint32_t v = bytes[i] << 16;
    out += alphabet[(v >> 18) & 63];
    out += alphabet[(v >> 12) & 63];
    if (padded) out += "==";
  } else if (rest == 2) {
    const std::uint32_t v = (bytes[i] << 16) | (bytes[i + 1] << 8);
    out += alphabet[(v >> 18) & 63];
    out += alphabet[(v >> 12) & 63];
    out += alphabet[(v >> 6) & 63];
    if (padded) out += '=';
  }
  return out;
}

std::optional<Bytes> decode(std::string_view text, const char* alphabet, bool paddingOptional) {
  std::array<int, 256> value;
  value.fill(-1);
  for (int i = 0; i < 64; ++i) value[static_cast<unsigned char>(alphabet[i])] = i;

  std::size_t padding = 0;
  while (padding < text.size() && padding < 2 && text[text.size() - 1 - padding] == '=') ++padding;
  const std::string_view body = text.substr(0, text.size() - padding);
  if (padding > 0 && text.size() % 4 != 0) return std::nullopt;       // padding only completes a quantum
  if (padding == 0 && !paddingOptional && text.size() % 4 != 0) return std::nullopt;
  if (body.size() % 4 == 1) return std::nullopt;                      // 6 bits never make a byte

  Bytes out;
  out.reserve(body.size() / 4 * 3 + 2);
  std::uint32_t acc = 0;
  int bits = 0;
  for (char c : body) {
    const int v = value[static_cast<unsigned char>(c)];
    if (v < 0) return std::nullopt;  // outside the alphabet, whitespace and stray "=" included
    acc = (acc << 6) | static_cast<std::uint32_t>(v);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out.push_back(static_cast<std::uint8_t>((acc >> bits) & 0xFF));
    }
  }
  if (bits > 0 && (acc & ((1u << bits) - 1)) != 0) return std::nullopt;  // non-canonical trailing bits
  return out;
}

}  // namespace

std::string base64Encode(const Bytes& bytes) { return encode(bytes, kStandard, true); }
std::optional<Bytes> base64Decode(std::string_view text) { return decode(text, kStandard, false); }
std::string base64UrlEncode(const Bytes& bytes, bool padded) { return encode(bytes, kUrl, padded); }
std::optional<Bytes> base64UrlDecode(std::string_view text) { return decode(text, kUrl, true); }

}  // namespace foundation
