#include "vadar/infra/proxy_configuration.hpp"

#include <boost/url/parse.hpp>
#include <boost/url/url_view.hpp>

#include <utility>

namespace vadar {

namespace {

std::vector<std::string> nonEmptySegments(std::string_view path) {
  std::vector<std::string> segments;
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t slash = path.find('/', start);
    if (slash == std::string_view::npos) slash = path.size();
    if (slash > start) segments.emplace_back(path.substr(start, slash - start));
    start = slash + 1;
  }
  return segments;
}

}  // namespace

std::optional<ProxyConfiguration> ProxyConfiguration::make(const std::optional<std::string>& url) {
  if (!url) return std::nullopt;
  auto parsed = boost::urls::parse_uri(*url);
  if (!parsed) return std::nullopt;
  const boost::urls::url_view& view = *parsed;
  if (!view.has_scheme() || !view.has_authority() || view.encoded_host().empty()) return std::nullopt;
  ProxyConfiguration proxy;
  proxy.baseURL = std::string(view.scheme()) + "://" + std::string(view.encoded_host());
  if (view.has_port()) proxy.baseURL += ":" + std::string(view.port());
  // Segments stay percent-encoded: they go back into request paths as they are.
  proxy.pathSegments = nonEmptySegments(view.encoded_path());
  return proxy;
}

std::string ProxyConfiguration::prefixedPath(std::string_view path) const {
  if (pathSegments.empty()) {
    if (!path.empty() && path.front() == '/') return std::string(path);
    return "/" + std::string(path);
  }
  // Walked in place rather than split: this runs for every request that goes through a proxy.
  std::size_t start = 0;
  const auto nextSegment = [&]() -> std::optional<std::string_view> {
    while (start <= path.size()) {
      std::size_t slash = path.find('/', start);
      if (slash == std::string_view::npos) slash = path.size();
      const std::size_t from = std::exchange(start, slash + 1);
      if (slash > from) return path.substr(from, slash - from);
    }
    return std::nullopt;
  };
  std::string joined;
  joined.reserve(path.size() + 16 * pathSegments.size() + 1);
  // The path's own segments as far as they repeat the proxy's: kept when all of them do, else put after them.
  std::size_t matched = 0;
  std::optional<std::string_view> segment = nextSegment();
  while (matched < pathSegments.size() && segment && *segment == pathSegments[matched]) {
    ++matched;
    segment = nextSegment();
  }
  for (const auto& own : pathSegments) {
    joined += '/';
    joined += own;
  }
  // Only some of them repeated: they are the path's own first segments and stay, after the proxy's.
  if (matched < pathSegments.size()) {
    for (std::size_t i = 0; i < matched; ++i) {
      joined += '/';
      joined += pathSegments[i];
    }
  }
  for (; segment; segment = nextSegment()) {
    joined += '/';
    joined += *segment;
  }
  return joined;
}

}  // namespace vadar
