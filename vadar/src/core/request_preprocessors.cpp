#include "core/request_preprocessors.hpp"

#include <algorithm>

#include <boost/url/parse.hpp>

#include "core/device_token_store.hpp"
#include "vadar/core/container_keys.hpp"
#include "vadar/infra/json.hpp"
#include "vadar/infra/url_encoded_form_encoder.hpp"
#include "vadar/infra/vadar_logger.hpp"

namespace vadar::core {

std::optional<EditableURL> EditableURL::of(const httpkit::URLRequest& request) {
  const std::string_view text = request.url;
  if (text.empty()) return std::nullopt;
  // The HTTP client hands over an absolute http(s) address it has checked part by part; only another kind
  // is checked here, so that the common one is not parsed twice.
  const bool checked = text.starts_with("http://") || text.starts_with("https://");
  if (!checked && !boost::urls::parse_uri_reference(text)) return std::nullopt;
  // Cut where any reference is cut (RFC 3986, appendix B): scheme, authority, path, query, fragment.
  std::size_t at = 0;
  if (const std::size_t colon = text.find_first_of(":/?#"); colon != std::string_view::npos && text[colon] == ':')
    at = colon + 1;
  if (text.substr(at).starts_with("//")) at = std::min(text.find_first_of("/?#", at + 2), text.size());
  const std::size_t pathEnd = std::min(text.find_first_of("?#", at), text.size());
  const std::size_t queryEnd = std::min(text.find('#', pathEnd), text.size());
  EditableURL url;
  url.head_ = text.substr(0, at);
  url.originalPath_ = text.substr(at, pathEnd - at);
  if (pathEnd < text.size() && text[pathEnd] == '?')
    url.originalQuery_ = text.substr(pathEnd + 1, queryEnd - pathEnd - 1);
  url.fragment_ = text.substr(queryEnd);
  return url;
}

void EditableURL::appendQueryItem(std::string_view name, std::string_view value) {
  // A "?" with nothing after it already holds one empty item: the new one goes after it.
  if (originalQuery_ || !addedQuery_.empty()) addedQuery_ += '&';
  addedQuery_ += name;
  addedQuery_ += '=';
  addedQuery_ += value;
}

std::string EditableURL::joined() const {
  const std::string_view path = encodedPath();
  std::string url;
  url.reserve(head_.size() + path.size() + (originalQuery_ ? originalQuery_->size() : 0) + addedQuery_.size() +
              fragment_.size() + 1);
  url += head_;
  url += path;
  if (originalQuery_ || !addedQuery_.empty()) url += '?';
  if (originalQuery_) url += *originalQuery_;
  url += addedQuery_;
  url += fragment_;
  return url;
}

void VadarProxyRequestProcessor::process(EditableURL& url, const std::optional<ProxyConfiguration>& proxy) {
  if (!proxy || proxy->pathSegments.empty()) return;
  std::string path = proxy->prefixedPath(url.encodedPath());
  if (path != url.encodedPath()) url.setEncodedPath(std::move(path));
}

void VadarHeaderRequestProcessor::process(httpkit::URLRequest& request, const std::string& instance, bool debugMode,
                                          const std::optional<std::string>& clientId) {
  if (auto token = DeviceTokenStore::shared().token(keychainFactory().resolve(), instance))
    request.headers.set("Authorization", *token);
  if (debugMode && clientId) request.headers.set("x-vadar-client-id", *clientId);
  request.headers.set("x-native-device-id", "uidevice-unsupported");
}

void VadarQueryItemsRequestProcessor::process(EditableURL& url) { url.appendQueryItem("_is_native", "true"); }

void VadarFormEncodingRequestProcessor::process(httpkit::URLRequest& request) {
  if (!request.body) return;
  std::optional<JSON> value;
  try {
    value = JSON::parse(std::string_view(reinterpret_cast<const char*>(request.body->data()), request.body->size()));
  } catch (const std::exception&) {
    // Not JSON: handed to the encoder as an absent value, which it refuses below.
  }
  const URLEncodedFormEncoder encoder;  // its defaults are the options the frontend API expects
  try {
    request.body = encoder.encode(value);
  } catch (const std::exception& error) {
    request.body.reset();
    VadarLogger::error("The request body is not a JSON object and cannot be form-encoded; the request is sent "
                       "without a body.",
                       &error);
  }
}

}  // namespace vadar::core
