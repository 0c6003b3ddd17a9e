#include "vellum/sources/source.hpp"

#include <boost/container_hash/hash.hpp>

namespace vellum {

Source Source::network(const Resource& resource) {
  Source source;
  source.resource_ = resource.clone();
  source.cacheKey_ = source.resource_->cacheKey();
  source.url_ = source.resource_->downloadURL();
  return source;
}

Source Source::provider(const ImageDataProvider& provider) {
  Source source;
  source.provider_ = provider.clone();
  source.cacheKey_ = source.provider_->cacheKey();
  source.url_ = source.provider_->contentURL();
  return source;
}

bool operator==(const Source& a, const Source& b) {
  // For both cases the URL compared is url(): the download URL, or the optional content URL.
  return a.kind() == b.kind() && a.cacheKey_ == b.cacheKey_ && a.url_ == b.url_;
}

namespace {
std::atomic<std::uint64_t> identifierCounter{0};
}

std::uint64_t Source::Identifier::next() { return identifierCounter.fetch_add(1, std::memory_order_relaxed) + 1; }
std::uint64_t Source::Identifier::current() { return identifierCounter.load(std::memory_order_relaxed); }

}  // namespace vellum

std::size_t std::hash<vellum::Source>::operator()(const vellum::Source& source) const noexcept {
  std::size_t seed = 0;
  boost::hash_combine(seed, source.cacheKey());
  if (source.kind() == vellum::Source::Kind::network) {
    boost::hash_combine(seed, source.url()->absoluteString());
  } else if (source.url()) {
    boost::hash_combine(seed, 1);
    boost::hash_combine(seed, source.url()->absoluteString());
  } else {
    boost::hash_combine(seed, 0);
  }
  return seed;
}
