#pragma once
// Base64ImageDataProvider: image bytes given as base64 text (RFC 4648, strict: any character outside the
// alphabet, a line break included, makes the text undecodable).
//
// Example, given const std::string& text:
//   vellum::Base64ImageDataProvider provider(text, "avatar-42");
//   std::optional<foundation::Bytes> bytes;
//   provider.data([&bytes](auto result) { if (result) bytes = result.value(); });   // answered before data() returns
//
// Undecodable text answers Base64ImageDataProvider::InvalidBase64 (an error, never a stop).
// Thread rule: a value; the handler runs on the calling thread.
#include <stdexcept>
#include <string>

#include "vellum/sources/image_data_provider.hpp"

namespace vellum {

class Base64ImageDataProvider final : public ImageDataProvider {
 public:
  struct InvalidBase64 : std::runtime_error {
    InvalidBase64() : std::runtime_error("The base64 text of the image data provider cannot be decoded.") {}
  };

  Base64ImageDataProvider(std::string base64String, std::string cacheKey)
      : base64String_(std::move(base64String)), cacheKey_(std::move(cacheKey)) {}

  const std::string& base64String() const { return base64String_; }
  std::string cacheKey() const override { return cacheKey_; }
  void setCacheKey(std::string key) { cacheKey_ = std::move(key); }

  void data(Handler handler) const override;
  std::unique_ptr<ImageDataProvider> clone() const override { return std::make_unique<Base64ImageDataProvider>(*this); }

 private:
  std::string base64String_;
  std::string cacheKey_;
};

}  // namespace vellum
