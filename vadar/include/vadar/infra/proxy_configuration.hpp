#pragma once
// ProxyConfiguration: a proxy in front of the frontend API: the address requests go to instead, and the path
// segments put in front of every request path.
//
// Example:
//   auto proxy = vadar::ProxyConfiguration::make("https://example.com/__proxy/");
//   std::string base = proxy->baseURL;                      // "https://example.com"
//   std::string path = proxy->prefixedPath("/v1/client");   // "/__proxy/v1/client"
//   std::string same = proxy->prefixedPath("/__proxy/v1");  // "/__proxy/v1" (already prefixed)
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vadar {

struct ProxyConfiguration {
  std::string baseURL;                   // scheme, host and port of the proxy URL, no path
  std::vector<std::string> pathSegments;  // the proxy URL's path split at "/", without empty segments

  // None when `url` is absent, does not parse, or has no scheme or no host.
  static std::optional<ProxyConfiguration> make(const std::optional<std::string>& url);

  // With no segments: `path` with a leading "/" ("" gives "/"). Otherwise "/" + the path's non-empty segments
  // joined with "/", with `pathSegments` put in front unless the path already begins with them.
  std::string prefixedPath(std::string_view path) const;

  friend bool operator==(const ProxyConfiguration&, const ProxyConfiguration&) = default;
};

}  // namespace vadar
