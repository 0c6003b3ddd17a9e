#pragma once
// The "rotating_token_nonce" query item of a redirect callback address.
#include <optional>
#include <string>
#include <string_view>

namespace vadar {

// The percent-decoded value of the first "rotating_token_nonce" query item of `url`; none when the URL does
// not parse, has no such item, or the item has no value. Never throws.
std::optional<std::string> rotatingTokenNonce(std::string_view url);

}  // namespace vadar
