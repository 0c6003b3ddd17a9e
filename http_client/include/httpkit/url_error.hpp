#pragma once
// A failure to get an answer at all (as opposed to an answer the caller does not accept): the transfer was
// cancelled, timed out, could not reach the host, lost its connection, or the URL was unusable.
//
//   try { client.send(request); }
//   catch (const httpkit::URLError& e) { if (e.code() == httpkit::URLError::Code::timedOut) ... }
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

  explicit URLError(Code code, std::string detail = {}, std::string failingURL = {});

  Code code() const noexcept { return code_; }
  // What the transport said, for logs; may be empty.
  const std::string& detail() const noexcept { return detail_; }
  const std::string& failingURL() const noexcept { return failingURL_; }

  // The code's name as written in the enumeration ("timedOut").
  static std::string_view name(Code code) noexcept;

 private:
  Code code_;
  std::string detail_;
  std::string failingURL_;
};

}  // namespace httpkit
