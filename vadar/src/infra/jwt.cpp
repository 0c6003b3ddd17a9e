#include "vadar/infra/jwt.hpp"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <vector>

#include "foundation/base64.hpp"

namespace vadar {

namespace {

// Dates built from claims stay within +/- 7e9 s of 1970: far enough for any real expiry, close enough that
// subtracting "now" from them cannot overflow a nanosecond clock.
constexpr double maxClaimSeconds = 7e9;

std::string kindText(JWTDecodeError::Kind kind) {
  switch (kind) {
    case JWTDecodeError::Kind::invalidPartCount: return "invalid part count";
    case JWTDecodeError::Kind::invalidBase64URL: return "invalid base64url";
    case JWTDecodeError::Kind::invalidJSON: return "invalid JSON";
  }
  return "invalid token";
}

JSON decodePart(std::string_view part) {
  auto bytes = foundation::base64UrlDecode(part);
  if (!bytes) throw JWTDecodeError(JWTDecodeError::Kind::invalidBase64URL, std::string(part));
  try {
    JSON json = JSON::parse(foundation::toString(*bytes));
    if (!json.isObject()) throw JWTDecodeError(JWTDecodeError::Kind::invalidJSON, "not an object");
    return json;
  } catch (const DecodingError& e) {
    throw JWTDecodeError(JWTDecodeError::Kind::invalidJSON, e.what());
  }
}

std::optional<double> numberFromText(const std::string& text) {
  if (text.empty() || std::isspace(static_cast<unsigned char>(text.front()))) return std::nullopt;
  errno = 0;
  char* end = nullptr;
  double value = std::strtod(text.c_str(), &end);
  if (end != text.c_str() + text.size() || !std::isfinite(value)) return std::nullopt;
  return value;
}

}  // namespace

JWTDecodeError::JWTDecodeError(Kind kind, std::string detail)
    : std::runtime_error("JWT decode error: " + kindText(kind) + (detail.empty() ? "" : " (" + detail + ")")),
      kind_(kind) {}

JWT decodeJWT(std::string_view text) {
  std::vector<std::string_view> parts;
  std::size_t start = 0;
  while (true) {
    std::size_t dot = text.find('.', start);
    parts.push_back(text.substr(start, dot == std::string_view::npos ? std::string_view::npos : dot - start));
    if (dot == std::string_view::npos) break;
    start = dot + 1;
    if (parts.size() > 3) break;
  }
  if (parts.size() != 3) throw JWTDecodeError(JWTDecodeError::Kind::invalidPartCount, std::to_string(parts.size()));
  JWT jwt;
  jwt.header = decodePart(parts[0]);
  jwt.body = decodePart(parts[1]);
  jwt.signature = std::string(parts[2]);
  jwt.string = std::string(text);
  return jwt;
}

std::optional<Date> JWT::expiresAt() const {
  JSON exp = body["exp"];
  std::optional<double> seconds;
  if (exp.isNumber()) {
    seconds = exp.doubleValue();
  } else if (exp.isString()) {
    seconds = numberFromText(exp.stringValue());
  }
  if (!seconds || !std::isfinite(*seconds)) return std::nullopt;
  const double clamped = std::clamp(*seconds, -maxClaimSeconds, maxClaimSeconds);
  return Date(std::chrono::duration_cast<Date::duration>(std::chrono::duration<double>(clamped)));
}

}  // namespace vadar
