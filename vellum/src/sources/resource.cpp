#include "vellum/sources/resource.hpp"

#include "vellum/sources/local_file_image_data_provider.hpp"
#include "vellum/sources/source.hpp"

namespace vellum {

std::string localFileCacheKey(const URL& url) {
  const std::vector<std::string> components = url.pathComponents();
  // From the end, up to and including the innermost bundle directory (case-sensitive suffixes).
  std::size_t first = 0;
  for (std::size_t i = components.size(); i-- > 0;) {
    const std::string& c = components[i];
    const auto endsWith = [&c](std::string_view suffix) {
      return c.size() >= suffix.size() && c.compare(c.size() - suffix.size(), suffix.size(), suffix) == 0;
    };
    if (endsWith(".app") || endsWith(".appex")) {
      first = i;
      break;
    }
  }
  std::string key = "vellum.local.cacheKey/";
  for (std::size_t i = first; i < components.size(); ++i) {
    if (i > first) key += '/';
    key += components[i];
  }
  if (url.query()) key += "?" + *url.query();
  return key;
}

std::string cacheKey(const URL& url) { return url.isFileURL() ? localFileCacheKey(url) : url.absoluteString(); }

Source convertToSource(const URL& url, const std::optional<std::string>& overrideCacheKey) {
  return VL::ImageResource(url).convertToSource(overrideCacheKey);
}

Source Resource::convertToSource(const std::optional<std::string>& overrideCacheKey) const {
  const std::string key = overrideCacheKey ? *overrideCacheKey : cacheKey();
  const URL url = downloadURL();
  if (url.isFileURL()) {
    return Source::provider(LocalFileImageDataProvider(url, key, CallbackQueue::dispatchConcurrent()));
  }
  return Source::network(VL::ImageResource(url, key));
}

namespace VL {

ImageResource::ImageResource(URL downloadURL, std::optional<std::string> cacheKey)
    : cacheKey_(cacheKey ? std::move(*cacheKey) : vellum::cacheKey(downloadURL)), downloadURL_(std::move(downloadURL)) {}

}  // namespace VL
}  // namespace vellum
