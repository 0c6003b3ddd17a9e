#pragma once
// Strict base64 (RFC 4648 section 4) and base64url (section 5) codecs.
// Decoding rejects any character outside the alphabet (whitespace included), padding anywhere but at the end,
// a wrong amount of padding and non-zero trailing bits. base64url decoding also accepts text without "="
// padding, as JWT parts arrive.
#include <optional>
#include <string>
#include <string_view>

#include "foundation/bytes.hpp"

namespace foundation {

std::string base64Encode(const Bytes& bytes);
std::optional<Bytes> base64Decode(std::string_view text);
std::string base64UrlEncode(const Bytes& bytes, bool padded = false);
std::optional<Bytes> base64UrlDecode(std::string_view text);

}  // namespace foundation
