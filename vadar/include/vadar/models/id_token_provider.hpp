#pragma once
// IDTokenProvider: the identity provider of an ID token the app obtained natively. Codes as a one-key object,
// {"apple": {}}.
#include <array>
#include <string_view>

#include "vadar/infra/coding.hpp"

namespace vadar {

enum class IDTokenProvider { apple };

inline constexpr std::array<IDTokenProvider, 1> allIDTokenProviders{IDTokenProvider::apple};

// The strategy sent with an ID token of this provider: "oauth_token_apple".
std::string_view idTokenStrategy(IDTokenProvider provider);

// Decoding: of the object's keys, those naming a case must be exactly one (else typeMismatch with
// "Invalid number of keys found, expected one."), and its value must be an object (not read further).
void decodeValue(const Decoder& d, IDTokenProvider& out);
nlohmann::json encodeValue(IDTokenProvider value);

}  // namespace vadar
