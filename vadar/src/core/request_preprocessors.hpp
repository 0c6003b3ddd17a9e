#pragma once
// The request preprocessors, run in this order on each attempt's copy of the request. None of them fails:
// whatever cannot be adapted is left as it was.
#include <optional>
#include <string>
#include <string_view>

#include <httpkit/url_request.hpp>

#include "vadar/infra/proxy_configuration.hpp"

namespace vadar::core {

// The request's address cut once where the processors edit it, and joined again once they are done: a view
// into the request's URL for what they keep, and text of its own for the path and query they change. An http(s)
// address is the one the HTTP client built and checked; any other that is empty or cannot be parsed gives none,
// and then it goes out as it was. Lives no longer than the request.
class EditableURL {
 public:
  static std::optional<EditableURL> of(const httpkit::URLRequest& request);

  std::string_view encodedPath() const { return path_ ? std::string_view(*path_) : originalPath_; }
  void setEncodedPath(std::string path) { path_ = std::move(path); }
  // Adds `name=value` (both already encoded) after the query items there are.
  void appendQueryItem(std::string_view name, std::string_view value);

  std::string joined() const;

 private:
  std::string_view head_;          // scheme and authority, as they came
  std::string_view originalPath_;  // as it came
  std::optional<std::string> path_;
  std::optional<std::string_view> originalQuery_;  // without its "?"; none when there was no "?"
  std::string addedQuery_;
  std::string_view fragment_;  // with its "#", as it came
};

// Puts the proxy's path segments in front of the request path (only the path changes).
struct VadarProxyRequestProcessor {
  static void process(EditableURL& url, const std::optional<ProxyConfiguration>& proxy);
};

// "Authorization" from the device token of the instance the request goes to (left as it was when there is
// none), "x-vadar-client-id" in debug mode with a client of that instance, "x-native-device-id" always.
struct VadarHeaderRequestProcessor {
  static void process(httpkit::URLRequest& request, const std::string& instance, bool debugMode,
                      const std::optional<std::string>& clientId);
};

// Appends "_is_native=true" after the query items the request already has.
struct VadarQueryItemsRequestProcessor {
  static void process(EditableURL& url);
};

// Turns the JSON body into a form body. A body whose root is not a JSON object (or that is not JSON at all)
// cannot be form-encoded: it is removed, and an error line says so.
struct VadarFormEncodingRequestProcessor {
  static void process(httpkit::URLRequest& request);
};

}  // namespace vadar::core
