#include "core/request_preprocessors.hpp"

#include <boost/url/parse.hpp>

#include "core/device_token_store.hpp"
#include "vadar/core/container_keys.hpp"
#include "vadar/infra/json.hpp"
#include "vadar/infra/url_encoded_form_encoder.hpp"
#include "vadar/infra/vadar_logger.hpp"

namespace vadar::core {

std::optional<EditableURL> EditableURL::of(const httpkit::URLRequest& request) {
  if (request.url.empty()) return std::nullopt;
  const auto parsed = boost::urls::parse_uri_reference(request.url);
  if (!parsed) return std::nullopt;
  // The parser's views point into `request.url`, so the parts are cut from it by position, encoded as sent.
  const std::string_view text = request.url;
  const auto offsetOf = [&](std::string_view part) { return static_cast<std::size_t>(part.data() - text.data()); };
  EditableURL url;
  const std::string_view path = parsed->encoded_path();
  const std::size_t pathStart = path.empty() ? text.size() - parsed->encoded_query().size() -
                                                   (parsed->has_query() ? 1 : 0) - parsed->encoded_fragment().size() -
                                                   (parsed->has_fragment() ? 1 : 0)
                                             : offsetOf(path);
  url.head_ = text.substr(0, pathStart);
  url.originalPath_ = text.substr(pathStart, path.size());
  if (parsed->has_query()) url.originalQuery_ = std::string_view(parsed->encoded_query());
  if (parsed->has_fragment()) url.fragment_ = text.substr(text.size() - parsed->encoded_fragment().size() - 1);
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
