#pragma once
// RawImageDataProvider: image bytes the caller already holds, under the caller's key.
//
// Example, given const foundation::Bytes& bytes:
//   vellum::Source source = vellum::RawImageDataProvider(bytes, "key").convertToSource();
//
// Thread rule: a value; the handler runs on the calling thread, before data() returns. Copies share the bytes.
#include <memory>
#include <string>

#include "vellum/sources/image_data_provider.hpp"

namespace vellum {

class RawImageDataProvider final : public ImageDataProvider {
 public:
  RawImageDataProvider(foundation::Bytes data, std::string cacheKey)
      : data_(std::make_shared<const foundation::Bytes>(std::move(data))), cacheKey_(std::move(cacheKey)) {}

  const foundation::Bytes& bytes() const { return *data_; }
  std::string cacheKey() const override { return cacheKey_; }

  void data(Handler handler) const override { handler(DataResult::success(*data_)); }
  std::unique_ptr<ImageDataProvider> clone() const override { return std::make_unique<RawImageDataProvider>(*this); }

 private:
  std::shared_ptr<const foundation::Bytes> data_;
  std::string cacheKey_;
};

}  // namespace vellum
