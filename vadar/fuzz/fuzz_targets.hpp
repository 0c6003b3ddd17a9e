#pragma once
// The bodies of the libFuzzer targets, shared with the corpus/randomized gtest that always runs. Each takes
// arbitrary bytes and must end in a value or a typed error of the library: any other exception, a crash or a
// hang is a finding.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "vadar/models/client.hpp"
#include "vadar/models/client_response.hpp"
#include "vadar/models/environment.hpp"
#include "vadar/infra/json.hpp"
#include "vadar/infra/jwt.hpp"
#include "vadar/infra/url_encoded_form_encoder.hpp"

namespace vadar::fuzz {

inline std::string_view text(const std::uint8_t* data, std::size_t size) {
  return {reinterpret_cast<const char*>(data), size};
}

inline void fuzzJSON(const std::uint8_t* data, std::size_t size) {
  try {
    const JSON value = JSON::parse(text(data, size));
    const JSON again = JSON::parse(value.dump());
    if (!(again == value) || again.hash() != value.hash()) __builtin_trap();
  } catch (const DecodingError&) {
  }
}

inline void fuzzJWT(const std::uint8_t* data, std::size_t size) {
  try {
    const JWT jwt = decodeJWT(text(data, size));
    (void)jwt.expiresAt();
  } catch (const JWTDecodeError&) {
  }
}

inline void fuzzForm(const std::uint8_t* data, std::size_t size) {
  try {
    const JSON value = JSON::parse(text(data, size));
    const std::string body = URLEncodedFormEncoder().encodeToString(value);
    for (char c : body)
      if (c == ' ' || c == '[' || c == ']' || c == ':' || static_cast<unsigned char>(c) >= 0x80) __builtin_trap();
  } catch (const DecodingError&) {
  } catch (const URLEncodedFormEncoder::Error&) {
  }
}

inline void fuzzClient(const std::uint8_t* data, std::size_t size) {
  try {
    const Client client = decodeJSON<Client>(text(data, size));
    if (!(decodeJSON<Client>(encodeJSON(client)) == client)) __builtin_trap();
  } catch (const DecodingError&) {
  }
  try {
    (void)decodeJSON<ClientResponse<std::optional<Client>>>(text(data, size));
  } catch (const DecodingError&) {
  }
  try {
    (void)decodeJSON<VadarEnvironment>(text(data, size));
  } catch (const DecodingError&) {
  }
}

}  // namespace vadar::fuzz
