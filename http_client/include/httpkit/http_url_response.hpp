#pragma once
// The head of an HTTP answer: status code, header fields (looked up without regard to letter case) and the
// URL that answered (the last one, after redirects).
#include <string>

#include "httpkit/http_headers.hpp"

namespace httpkit {

struct HTTPURLResponse {
  int statusCode = 0;
  HTTPHeaders headers;
  std::string url;

  std::optional<std::string> value(std::string_view headerName) const { return headers.value(headerName); }
};

}  // namespace httpkit
