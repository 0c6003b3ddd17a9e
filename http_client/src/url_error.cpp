#include "httpkit/url_error.hpp"

#include <algorithm>

namespace httpkit {

namespace {
// The URL without the user information of its authority ("user:password@"), which is a credential: the
// description is made for logs, and the caller still has the whole URL in `failingURL()`.
std::string withoutCredentials(const std::string& url) {
  const std::size_t scheme = url.find("://");
  if (scheme == std::string::npos) return url;
  const std::size_t authority = scheme + 3;
  const std::size_t end = std::min(url.find_first_of("/?#", authority), url.size());
  const std::size_t at = url.rfind('@', end == 0 ? 0 : end - 1);
  if (at == std::string::npos || at < authority) return url;
  return url.substr(0, authority) + "***" + url.substr(at);
}

std::string describe(URLError::Code code, const std::string& detail, const std::string& url) {
  std::string text = "URL error ";
  text += URLError::name(code);
  if (!url.empty()) text += " for " + withoutCredentials(url);
  if (!detail.empty()) text += ": " + detail;
  return text;
}
}  // namespace

URLError::URLError(Code code, std::string detail, std::string failingURL,
                   std::optional<NetworkUnavailableReason> networkUnavailableReason)
    : std::runtime_error(describe(code, detail, failingURL)),
      code_(code),
      detail_(std::move(detail)),
      failingURL_(std::move(failingURL)),
      networkUnavailableReason_(networkUnavailableReason) {}

std::string_view URLError::name(Code code) noexcept {
  switch (code) {
    case Code::unknown: return "unknown";
    case Code::cancelled: return "cancelled";
    case Code::badURL: return "badURL";
    case Code::unsupportedURL: return "unsupportedURL";
    case Code::timedOut: return "timedOut";
    case Code::cannotFindHost: return "cannotFindHost";
    case Code::cannotConnectToHost: return "cannotConnectToHost";
    case Code::networkConnectionLost: return "networkConnectionLost";
    case Code::notConnectedToInternet: return "notConnectedToInternet";
    case Code::badServerResponse: return "badServerResponse";
    case Code::httpTooManyRedirects: return "httpTooManyRedirects";
    case Code::secureConnectionFailed: return "secureConnectionFailed";
    case Code::serverCertificateUntrusted: return "serverCertificateUntrusted";
    case Code::dataLengthExceedsMaximum: return "dataLengthExceedsMaximum";
  }
  return "unknown";
}

}  // namespace httpkit
