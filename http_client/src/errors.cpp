#include "httpkit/errors.hpp"

#include <cxxabi.h>

#include <cstdlib>
#include <memory>
#include <typeinfo>

#include "httpkit/api_client.hpp"

namespace httpkit {

APIError::APIError(Code code, int statusCode, const std::string& text)
    : std::runtime_error(text), code_(code), statusCode_(statusCode) {}

APIError APIError::unacceptableStatusCode(int statusCode) {
  return APIError(Code::unacceptableStatusCode, statusCode,
                  "Response status code was unacceptable: " + std::to_string(statusCode) + ".");
}

DecodingError::DecodingError(std::string typeName, std::string reason)
    : std::runtime_error("Failed to decode " + typeName + " from the response body: " + reason),
      typeName_(std::move(typeName)),
      reason_(std::move(reason)) {}

EncodingError::EncodingError(const std::string& reason)
    : std::runtime_error("Failed to encode the request: " + reason) {}

namespace detail {
std::string typeName(const std::type_info& type) {
  int status = 0;
  std::unique_ptr<char, void (*)(void*)> demangled(abi::__cxa_demangle(type.name(), nullptr, nullptr, &status),
                                                   std::free);
  return status == 0 && demangled ? std::string(demangled.get()) : std::string(type.name());
}
}  // namespace detail

}  // namespace httpkit
