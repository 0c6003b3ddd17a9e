#include "core/request_preprocessors.hpp"

#include <boost/url/parse.hpp>
#include <boost/url/url.hpp>

#include "core/device_token_store.hpp"
#include "vadar/core/container_keys.hpp"
#include "vadar/infra/json.hpp"
#include "vadar/infra/url_encoded_form_encoder.hpp"
#include "vadar/infra/vadar_logger.hpp"

namespace vadar::core {

std::optional<boost::urls::url> editableURL(const httpkit::URLRequest& request) {
  if (request.url.empty()) return std::nullopt;
  auto parsed = boost::urls::parse_uri_reference(request.url);
  if (!parsed) return std::nullopt;
  return boost::urls::url(*parsed);
}

void VadarProxyRequestProcessor::process(boost::urls::url& url, const std::optional<ProxyConfiguration>& proxy) {
  if (!proxy || proxy->pathSegments.empty()) return;
  try {
    const std::string oldPath(url.encoded_path());
    const std::string newPath = proxy->prefixedPath(oldPath);
    if (newPath == oldPath) return;
    url.set_encoded_path(newPath);  // leaves the address as it was when it refuses the path
  } catch (const std::exception&) {
    // A path the URL type refuses: the request goes out unproxied.
  }
}

void VadarHeaderRequestProcessor::process(httpkit::URLRequest& request, const std::string& instance, bool debugMode,
                                          const std::optional<std::string>& clientId) {
  if (auto token = DeviceTokenStore::shared().token(keychainFactory().resolve(), instance))
    request.headers.set("Authorization", *token);
  if (debugMode && clientId) request.headers.set("x-vadar-client-id", *clientId);
  request.headers.set("x-native-device-id", "uidevice-unsupported");
}

void VadarQueryItemsRequestProcessor::process(boost::urls::url& url) { url.params().append({"_is_native", "true"}); }

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
