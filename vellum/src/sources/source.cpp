#include "vellum/sources/source.hpp"

#include <boost/container_hash/hash.hpp>

namespace vellum {

Source Source::network(const Resource& resource) {
  auto payload = std::make_shared<Payload>();
  payload->resource = resource.clone();
  payload->cacheKey = payload->resource->cacheKey();
  payload->url = payload->resource->downloadURL();
  return Source(std::move(payload));
}

Source Source::provider(const ImageDataProvider& provider) {
  auto payload = std::make_shared<Payload>();
  payload->provider = provider.clone();
  payload->cacheKey = payload->provider->cacheKey();
  payload->url = payload->provider->contentURL();
  return Source(std::move(payload));
}

std::shared_ptr<const Source::Payload> Source::ownedPayload() const { return payload_->shared_from_this(); }

const Source::Payload& Source::emptyPayload() {
  static const auto* const empty = new Payload();  // never destroyed: read by threads still running at exit
  return *empty;
}

bool operator==(const Source& a, const Source& b) {
  if (a.payload_ == b.payload_) return true;
  // For both cases the URL compared is url(): the download URL, or the optional content URL.
  return a.kind() == b.kind() && a.cacheKey() == b.cacheKey() && a.url() == b.url();
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
