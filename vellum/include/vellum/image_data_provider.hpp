#pragma once
// ImageDataProvider: a local source of image data, cached under its own key.
#include <string>

namespace vellum {

class ImageDataProvider {
 public:
  virtual ~ImageDataProvider() = default;
  virtual std::string cacheKey() const = 0;
};

}  // namespace vellum
