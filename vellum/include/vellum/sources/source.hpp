#pragma once
// Source: where one image comes from: a network resource (downloaded) or a data provider (asked for bytes).
// A value: it owns its own copy of the resource or provider, made when the source is, so a caller that later
// changes its provider (a key, a thumbnail size) leaves every source already made, and any map holding one,
// as it was.
//
//   vellum::Source a = vellum::convertToSource(*vellum::URL::parse("https://example.com/a.png"));
//   vellum::Source b = vellum::RawImageDataProvider(bytes, "key").convertToSource();
//   std::unordered_set<vellum::Source> seen{a, b};
//   std::uint64_t id = vellum::Source::Identifier::next();   // 1 for the first call of a process
//
// Equality: same case, same key, then for network equal download URLs, for provider equal optional content
// URLs; the type of the resource or provider does not count. std::hash agrees with it.
// Thread rule: an immutable value; share and copy it freely.
#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "vellum/sources/image_data_provider.hpp"
#include "vellum/sources/resource.hpp"
#include "vellum/sources/url.hpp"

namespace vellum {

class Source {
 public:
  enum class Kind { network, provider };

  static Source network(const Resource& resource);
  static Source provider(const ImageDataProvider& provider);

  Kind kind() const { return resource_ ? Kind::network : Kind::provider; }
  // The source's own resource; null for a provider source.
  const std::shared_ptr<const Resource>& resource() const { return resource_; }
  // The source's own provider; null for a network source.
  const std::shared_ptr<const ImageDataProvider>& provider() const { return provider_; }

  // Fixed when the source is made.
  const std::string& cacheKey() const { return cacheKey_; }
  // The download URL of a network source, the content URL of a provider source.
  const std::optional<URL>& url() const { return url_; }

  friend bool operator==(const Source& a, const Source& b);

  // Task identifiers: a process-wide counter, 0 before the first call; next() adds one and answers it.
  // Safe from any thread.
  struct Identifier {
    static std::uint64_t next();
    static std::uint64_t current();
  };

 private:
  Source() = default;
  std::shared_ptr<const Resource> resource_;
  std::shared_ptr<const ImageDataProvider> provider_;
  // Read once from the owned payload: it is immutable, so the key and URL cannot drift from it.
  std::string cacheKey_;
  std::optional<URL> url_;
};

}  // namespace vellum

template <>
struct std::hash<vellum::Source> {
  std::size_t operator()(const vellum::Source& source) const noexcept;
};
