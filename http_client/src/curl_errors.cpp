#include "curl_errors.hpp"

namespace httpkit {

namespace {
URLError::Code codeFor(CURLcode code) {
  using C = URLError::Code;
  switch (code) {
    case CURLE_ABORTED_BY_CALLBACK: return C::cancelled;
    case CURLE_URL_MALFORMAT: return C::badURL;
    case CURLE_UNSUPPORTED_PROTOCOL: return C::unsupportedURL;
    case CURLE_OPERATION_TIMEDOUT: return C::timedOut;
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY: return C::cannotFindHost;
    case CURLE_COULDNT_CONNECT: return C::cannotConnectToHost;
    case CURLE_GOT_NOTHING:
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
    case CURLE_PARTIAL_FILE: return C::networkConnectionLost;
    case CURLE_WEIRD_SERVER_REPLY:
    case CURLE_BAD_CONTENT_ENCODING:
    case CURLE_HTTP2:
    case CURLE_HTTP2_STREAM:
    case CURLE_HTTP3: return C::badServerResponse;
    case CURLE_TOO_MANY_REDIRECTS: return C::httpTooManyRedirects;
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
    case CURLE_SSL_INVALIDCERTSTATUS: return C::serverCertificateUntrusted;
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_ENGINE_NOTFOUND:
    case CURLE_SSL_ENGINE_SETFAILED:
    case CURLE_SSL_SHUTDOWN_FAILED:
    case CURLE_SSL_CRL_BADFILE:
    case CURLE_USE_SSL_FAILED: return C::secureConnectionFailed;
    case CURLE_FILESIZE_EXCEEDED: return C::dataLengthExceedsMaximum;
    default: return C::unknown;
  }
}
}  // namespace

URLError urlErrorFromCurl(CURLcode code, const char* detail, const std::string& url) {
  std::string text = detail && *detail ? std::string(detail) : std::string(curl_easy_strerror(code));
  // curl refuses a chunked body's framing (a size that is not hex, or past 64 bits) with the code of a failed
  // read, and says which only in its message; a read the connection failed says why without naming chunks.
  // The server's framing is its fault, not the connection's.
  if (code == CURLE_RECV_ERROR && text.find("chunk") != std::string::npos) {
    return URLError(URLError::Code::badServerResponse, std::move(text), url);
  }
  return URLError(codeFor(code), std::move(text), url);
}

}  // namespace httpkit
