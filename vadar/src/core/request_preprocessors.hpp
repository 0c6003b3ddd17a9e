#pragma once
// The request preprocessors, run in this order on each attempt's copy of the request. None of them fails:
// whatever cannot be adapted is left as it was.
#include <optional>
#include <string>

#include <boost/url/url.hpp>
#include <httpkit/url_request.hpp>

#include "vadar/infra/proxy_configuration.hpp"

namespace vadar::core {

// The request's address, parsed once for the processors that edit it; none when it is empty or cannot be
// parsed, and then it goes out as it was.
std::optional<boost::urls::url> editableURL(const httpkit::URLRequest& request);

// Puts the proxy's path segments in front of the request path (only the path changes).
struct VadarProxyRequestProcessor {
  static void process(boost::urls::url& url, const std::optional<ProxyConfiguration>& proxy);
};

// "Authorization" from the device token of the instance the request goes to (left as it was when there is
// none), "x-vadar-client-id" in debug mode with a client of that instance, "x-native-device-id" always.
struct VadarHeaderRequestProcessor {
  static void process(httpkit::URLRequest& request, const std::string& instance, bool debugMode,
                      const std::optional<std::string>& clientId);
};

// Appends "_is_native=true" after the query items the request already has.
struct VadarQueryItemsRequestProcessor {
  static void process(boost::urls::url& url);
};

// Turns the JSON body into a form body. A body whose root is not a JSON object (or that is not JSON at all)
// cannot be form-encoded: it is removed, and an error line says so.
struct VadarFormEncodingRequestProcessor {
  static void process(httpkit::URLRequest& request);
};

}  // namespace vadar::core
