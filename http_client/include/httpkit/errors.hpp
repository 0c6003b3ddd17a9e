#pragma once
// Errors of the client other than transport failures (those are `URLError`).
#include <stdexcept>
#include <string>

namespace httpkit {

// An answer the default validation does not accept.
class APIError : public std::runtime_error {
 public:
  enum class Code { unacceptableStatusCode };

  static APIError unacceptableStatusCode(int statusCode);

  Code code() const noexcept { return code_; }
  int statusCode() const noexcept { return statusCode_; }

 private:
  APIError(Code code, int statusCode, const std::string& text);
  Code code_;
  int statusCode_;
};

// The body of an accepted answer could not be turned into the requested type. `typeName` names the type,
// `reason` says what went wrong (the body was not JSON, a member was missing or of another type...).
class DecodingError : public std::runtime_error {
 public:
  DecodingError(std::string typeName, std::string reason);

  const std::string& typeName() const noexcept { return typeName_; }
  const std::string& reason() const noexcept { return reason_; }

 private:
  std::string typeName_;
  std::string reason_;
};

// The request body could not be encoded; nothing was sent.
class EncodingError : public std::runtime_error {
 public:
  explicit EncodingError(const std::string& reason);
};

}  // namespace httpkit
