#include "vadar/models/token_resource.hpp"

#include "vadar/infra/vadar_logger.hpp"

namespace vadar {

std::optional<JWT> TokenResource::decodedJWT() const {
  try {
    return decodeJWT(jwt);
  } catch (const JWTDecodeError& error) {
    VadarLogger::error("Failed to decode JWT", &error);
    return std::nullopt;
  }
}

void decodeValue(const Decoder& d, TokenResource& out) {
  d.expectObject();
  d.required("jwt", out.jwt);
}

nlohmann::json encodeValue(const TokenResource& value) {
  Encoder e;
  e.required("jwt", value.jwt);
  return std::move(e).json();
}

}  // namespace vadar
