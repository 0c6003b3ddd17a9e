#include "httpkit/api_client_delegate.hpp"

#include "httpkit/errors.hpp"

namespace httpkit {

void APIClientDelegate::willSendRequest(APIClient&, URLRequest&) {}

void APIClientDelegate::validateResponse(APIClient&, const HTTPURLResponse& response, const Bytes&,
                                         const DataTask&) {
  if (response.statusCode < 200 || response.statusCode > 299) {
    throw APIError::unacceptableStatusCode(response.statusCode);
  }
}

bool APIClientDelegate::shouldRetry(APIClient&, const DataTask&, const std::exception_ptr&, int) { return false; }

std::optional<std::string> APIClientDelegate::makeURLForRequest(APIClient&, const AnyRequest&) {
  return std::nullopt;
}

}  // namespace httpkit
