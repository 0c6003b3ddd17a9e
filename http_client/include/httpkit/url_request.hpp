#pragma once
// One HTTP request as it goes on the wire: absolute URL, method, header fields and body bytes. The client
// builds one from a `Request` and hands a copy of it to the delegate before each attempt.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "httpkit/http_headers.hpp"
#include "httpkit/http_method.hpp"

namespace httpkit {

using Bytes = std::vector<std::uint8_t>;

struct URLRequest {
  std::string url;  // absolute http(s) URL, already percent-encoded
  HTTPMethod method;
  HTTPHeaders headers;
  std::optional<Bytes> body;

  friend bool operator==(const URLRequest&, const URLRequest&) = default;
};

}  // namespace httpkit
