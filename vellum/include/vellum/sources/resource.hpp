#pragma once
// Resource: an image on the network: where to download it and the key its result is cached under.
// VL::ImageResource is the library's own; a URL serves as one through the free functions below.
//
// Example:
//   vellum::VL::ImageResource resource(*vellum::URL::parse("https://example.com/a.png"));
//   std::string key = resource.cacheKey();              // "https://example.com/a.png"
//   vellum::Source source = resource.convertToSource(); // a network source
//   vellum::Source file = vellum::convertToSource(vellum::URL::fileURL("/tmp/a.png"));  // a local-file provider
//
// Thread rule: resources are immutable values and may cross threads.
#include <memory>
#include <optional>
#include <string>

#include "vellum/sources/url.hpp"

namespace vellum {

class Source;

class Resource {
 public:
  virtual ~Resource() = default;
  virtual std::string cacheKey() const = 0;
  virtual URL downloadURL() const = 0;
  // A copy that a Source owns, so that no later change of the caller's value reaches it.
  virtual std::unique_ptr<Resource> clone() const = 0;

  // A file URL becomes a local-file provider read on the shared pool; any other URL a network source over a
  // new VL::ImageResource. The key is `overrideCacheKey` when given, else this resource's key.
  Source convertToSource(const std::optional<std::string>& overrideCacheKey = std::nullopt) const;
};

namespace VL {

struct ImageResource final : Resource {
  // Without a key the URL's own key (vellum::cacheKey(url)).
  explicit ImageResource(URL downloadURL, std::optional<std::string> cacheKey = std::nullopt);

  std::string cacheKey() const override { return cacheKey_; }
  URL downloadURL() const override { return downloadURL_; }
  std::unique_ptr<Resource> clone() const override { return std::make_unique<ImageResource>(*this); }

 private:
  std::string cacheKey_;
  URL downloadURL_;
};

}  // namespace VL

// A URL as a resource: its key is localFileCacheKey for a file URL, else the absolute string unchanged.
std::string cacheKey(const URL& url);
inline const URL& downloadURL(const URL& url) { return url; }
Source convertToSource(const URL& url, const std::optional<std::string>& overrideCacheKey = std::nullopt);

// The key of a local file: "vellum.local.cacheKey/" then the path components from the innermost ".app" or
// ".appex" directory down (all of them outside any bundle, the first being "/"), joined by "/", then "?" and
// the query as written when the URL has one. Computed from the path whatever the URL's scheme.
std::string localFileCacheKey(const URL& url);

}  // namespace vellum

// convertToSource() gives a Source: callers need it complete.
#include "vellum/sources/source.hpp"
