#pragma once
// A failure to get an answer at all (as opposed to an answer the caller does not accept): the transfer was
// cancelled, timed out, could not reach the host, lost its connection, or the URL was unusable.
//
// Example, given httpkit::APIClient& client, const httpkit::Request<void>& request:
//   bool timedOut = false;
//   try { client.send(request); }
//   catch (const httpkit::URLError& e) { timedOut = e.code() == httpkit::URLError::Code::timedOut; }
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace httpkit {

class URLError : public std::runtime_error {
 public:
  enum class Code {
    unknown,
    cancelled,
    badURL,
    unsupportedURL,
    timedOut,
    cannotFindHost,
    cannotConnectToHost,
    networkConnectionLost,
    notConnectedToInternet,
    badServerResponse,
    httpTooManyRedirects,
    secureConnectionFailed,
    serverCertificateUntrusted,
    dataLengthExceedsMaximum,
  };

  // Why the system refused to use the network at all. Linux has no low-data or cellular policy that refuses
  // a request, so the transport never sets it; callers that enforce such a policy of their own may.
  enum class NetworkUnavailableReason { cellular, expensive, constrained };

  // `what()` names the failing URL without its user information ("user:password@" shows as "***@"): it is
  // made for logs, where a credential has no place. `failingURL()` keeps the URL whole.
  explicit URLError(Code code, std::string detail = {}, std::string failingURL = {},
                    std::optional<NetworkUnavailableReason> networkUnavailableReason = std::nullopt);

  Code code() const noexcept { return code_; }
  // What the transport said, for logs; may be empty.
  const std::string& detail() const noexcept { return detail_; }
  const std::string& failingURL() const noexcept { return failingURL_; }
  std::optional<NetworkUnavailableReason> networkUnavailableReason() const noexcept {
    return networkUnavailableReason_;
  }

  // The code's name as written in the enumeration ("timedOut").
  static std::string_view name(Code code) noexcept;

 private:
  Code code_;
  std::string detail_;
  std::string failingURL_;
  std::optional<NetworkUnavailableReason> networkUnavailableReason_;
};

}  // namespace httpkit
