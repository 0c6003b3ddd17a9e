#include "httpkit/url_error.hpp"

namespace httpkit {

namespace {
std::string describe(URLError::Code code, const std::string& detail, const std::string& url) {
  std::string text = "URL error ";
  text += URLError::name(code);
  if (!url.empty()) text += " for " + url;
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
