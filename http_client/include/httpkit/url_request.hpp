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

// Whether a request may be answered from a local HTTP cache. This engine keeps none, so the value is only
// recorded for the code that sets and reads it.
enum class URLRequestCachePolicy { useProtocolCachePolicy, reloadIgnoringLocalCacheData };

struct URLRequest {
  std::string url;  // absolute http(s) URL, already percent-encoded
  HTTPMethod method;
  HTTPHeaders headers;
  std::optional<Bytes> body;
  // Seconds; what a transfer's connect and idle limits are made from by the code that starts it.
  double timeoutInterval = 60.0;
  // Cleared: the request must fail rather than load over a network the system calls constrained.
  bool allowsConstrainedNetworkAccess = true;
  URLRequestCachePolicy cachePolicy = URLRequestCachePolicy::useProtocolCachePolicy;
  // Recorded only: the engine never pipelines requests.
  bool httpShouldUsePipelining = false;

  friend bool operator==(const URLRequest&, const URLRequest&) = default;
};

}  // namespace httpkit
