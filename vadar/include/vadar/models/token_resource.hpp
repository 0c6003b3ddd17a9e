#pragma once
// TokenResource: a session token as the frontend API returns it, {"jwt": "..."}.
#include <optional>
#include <string>

#include "vadar/infra/coding.hpp"
#include "vadar/infra/jwt.hpp"

namespace vadar {

struct TokenResource {
  std::string jwt;

  // The decoded token; on failure logs "Failed to decode JWT" with the error (error level) and gives none.
  std::optional<JWT> decodedJWT() const;

  friend bool operator==(const TokenResource&, const TokenResource&) = default;
};

void decodeValue(const Decoder& d, TokenResource& out);
nlohmann::json encodeValue(const TokenResource& value);

}  // namespace vadar
