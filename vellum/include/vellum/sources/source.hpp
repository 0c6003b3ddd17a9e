#pragma once
// Source: where one image comes from: a network resource (downloaded) or a data provider (asked for bytes).
// A value: it owns its own copy of the resource or provider, made when the source is, so a caller that later
// changes its provider (a key, a thumbnail size) leaves every source already made, and any map holding one,
// as it was.
//
// Example, given const foundation::Bytes& bytes:
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

  Source(const Source& other) : payload_(other.owningPayload()) {}
  Source(Source&& other) noexcept = default;
  Source& operator=(const Source& other) {
    payload_ = other.owningPayload();
    return *this;
  }
  Source& operator=(Source&& other) noexcept = default;
  ~Source() = default;

  Kind kind() const { return payload().resource ? Kind::network : Kind::provider; }
  // The source's own resource; null for a provider source.
  const std::shared_ptr<const Resource>& resource() const { return payload().resource; }
  // The source's own provider; null for a network source.
  const std::shared_ptr<const ImageDataProvider>& provider() const { return payload().provider; }

  // Fixed when the source is made.
  const std::string& cacheKey() const { return payload().cacheKey; }
  // The download URL of a network source, the content URL of a provider source.
  const std::optional<URL>& url() const { return payload().url; }

  friend bool operator==(const Source& a, const Source& b);

  // Task identifiers: a process-wide counter, 0 before the first call; next() adds one and answers it.
  // Safe from any thread.
  struct Identifier {
    static std::uint64_t next();
    static std::uint64_t current();
  };

 private:
  // Read once from the owned resource or provider: it is immutable, so the key and URL cannot drift from it.
  struct Payload : std::enable_shared_from_this<Payload> {
    std::shared_ptr<const Resource> resource;
    std::shared_ptr<const ImageDataProvider> provider;
    std::string cacheKey;
    std::optional<URL> url;
  };
  explicit Source(std::shared_ptr<const Payload> payload) : payload_(std::move(payload)) {}
  // Copies share the payload, so a source travels through a retrieval for a reference count; a moved-from
  // source has none and reads as an empty one.
  const Payload& payload() const { return payload_ ? *payload_ : emptyPayload(); }
  static const Payload& emptyPayload();

  // A source that reads `owner`'s payload without holding it, for a record that holds `owner` beside it
  // (a memory hit's result names one source twice, and the second count on the hit path is a cost every
  // hit pays). It is valid only while `owner` lives. Every copy of it holds the payload again; a move
  // passes the borrowing on as it is, which is safe because such a record only ever reaches application
  // code by const reference, for the length of a call.
  friend struct RetrieveImageResult;
  static Source borrowing(const Source& owner) {
    return Source(std::shared_ptr<const Payload>(std::shared_ptr<const Payload>(), owner.payload_.get()));
  }
  // Only a borrowing source has a payload without a count.
  bool borrowed() const noexcept { return payload_ && payload_.use_count() == 0; }
  std::shared_ptr<const Payload> owningPayload() const { return borrowed() ? ownedPayload() : payload_; }
  std::shared_ptr<const Payload> ownedPayload() const;

  std::shared_ptr<const Payload> payload_;
};

}  // namespace vellum

template <>
struct std::hash<vellum::Source> {
  std::size_t operator()(const vellum::Source& source) const noexcept;
};
