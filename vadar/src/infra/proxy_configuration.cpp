#include "vadar/infra/proxy_configuration.hpp"

#include <boost/url/parse.hpp>
#include <boost/url/url_view.hpp>

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

std::string joined(const std::vector<std::string>& segments) {
  std::string path;
  for (const auto& segment : segments) {
    path += '/';
    path += segment;
  }
  return path.empty() ? "/" : path;
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
  std::vector<std::string> segments = nonEmptySegments(path);
  const bool alreadyPrefixed = segments.size() >= pathSegments.size() &&
                               std::equal(pathSegments.begin(), pathSegments.end(), segments.begin());
  if (alreadyPrefixed) return joined(segments);
  std::vector<std::string> all = pathSegments;
  all.insert(all.end(), segments.begin(), segments.end());
  return joined(all);
}

}  // namespace vadar
