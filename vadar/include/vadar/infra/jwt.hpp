#pragma once
// JWT decoding (no signature check: the library only reads claims of tokens the frontend API gave it).
//
// Example, given const std::string& text:
//   vadar::JWT token = vadar::decodeJWT(text);   // throws JWTDecodeError
//   bool expired = false;
//   if (auto expiry = token.expiresAt()) expired = *expiry <= std::chrono::system_clock::now();
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "vadar/infra/coding.hpp"
#include "vadar/infra/json.hpp"

namespace vadar {

class JWTDecodeError : public std::runtime_error {
 public:
  enum class Kind { invalidPartCount, invalidBase64URL, invalidJSON };
  JWTDecodeError(Kind kind, std::string detail);
  Kind kind() const { return kind_; }

 private:
  Kind kind_;
};

struct JWT {
  JSON header;       // an object
  JSON body;         // the claims, an object
  std::string signature;  // the third part as sent
  std::string string;     // the whole token text

  // The "exp" claim as a point in time (seconds since 1970): a number, or text that reads wholly as a finite
  // number. None when absent, boolean or anything else. Values beyond +/- 7e9 s are clamped to that range so
  // arithmetic on the date cannot overflow.
  std::optional<Date> expiresAt() const;
};

// Splits at "." into exactly three parts and decodes header and payload from base64url into JSON objects.
// Throws JWTDecodeError: invalidPartCount, invalidBase64URL, or invalidJSON (not JSON, or not an object).
JWT decodeJWT(std::string_view text);

}  // namespace vadar
