#pragma once
// Data providers over picked items (see photo_picker.hpp for the item interfaces).
//
// Example, given const vellum::PickerResult& result:
//   vellum::PHPickerResultImageDataProvider provider(result, vellum::UniformType::image());
//   std::string key = provider.cacheKey();   // "A1_public.image" for asset identifier "A1"
//
// Keys made without a caller's key use a random UUID (upper case) when the item has no identifier; it is made
// once, when the provider is, so copies and their sources agree.
// Errors: the item's error is never passed bare but wrapped in pickerProviderError (its cause() is the
// original); an item that answers no data and no error gives invalidImage.
// Thread rule: values; handlers run on the item's thread.
#include <exception>
#include <memory>
#include <optional>
#include <string>

#include "vellum/sources/image_data_provider.hpp"
#include "vellum/sources/photo_picker.hpp"

namespace vellum {

// The two picker providers' error shape: pickerProviderError(cause) or invalidImage.
class PickerImageDataProviderError : public std::exception {
 public:
  enum class Code { pickerProviderError, invalidImage };
  Code code() const { return code_; }
  // The picker's error, for pickerProviderError.
  const std::exception_ptr& cause() const { return cause_; }
  const char* what() const noexcept override { return text_.c_str(); }

 protected:
  PickerImageDataProviderError(Code code, std::exception_ptr cause);

 private:
  Code code_;
  std::exception_ptr cause_;
  std::string text_;
};

class PHPickerResultImageDataProvider final : public ImageDataProvider {
 public:
  struct PHPickerResultImageDataProviderError : PickerImageDataProviderError {
    static PHPickerResultImageDataProviderError pickerProviderError(std::exception_ptr e) {
      return {Code::pickerProviderError, std::move(e)};
    }
    static PHPickerResultImageDataProviderError invalidImage() { return {Code::invalidImage, nullptr}; }

   private:
    PHPickerResultImageDataProviderError(Code c, std::exception_ptr e) : PickerImageDataProviderError(c, std::move(e)) {}
  };

  // Without a key: the asset identifier (or a random UUID), "_", the content type's identifier.
  explicit PHPickerResultImageDataProvider(PickerResult pickerResult, UniformType contentType = UniformType::image(),
                                           std::optional<std::string> cacheKey = std::nullopt);

  const PickerResult& pickerResult() const { return pickerResult_; }
  const UniformType& contentType() const { return contentType_; }
  std::string cacheKey() const override { return cacheKey_; }
  void data(Handler handler) const override;
  std::unique_ptr<ImageDataProvider> clone() const override {
    return std::make_unique<PHPickerResultImageDataProvider>(*this);
  }

 private:
  PickerResult pickerResult_;
  UniformType contentType_;
  std::string cacheKey_;
};

class PhotosPickerItemImageDataProvider final : public ImageDataProvider {
 public:
  struct PhotosPickerItemImageDataProviderError : PickerImageDataProviderError {
    static PhotosPickerItemImageDataProviderError pickerProviderError(std::exception_ptr e) {
      return {Code::pickerProviderError, std::move(e)};
    }
    static PhotosPickerItemImageDataProviderError invalidImage() { return {Code::invalidImage, nullptr}; }

   private:
    PhotosPickerItemImageDataProviderError(Code c, std::exception_ptr e)
        : PickerImageDataProviderError(c, std::move(e)) {}
  };

  // Without a key: the item's identifier, or a random UUID.
  explicit PhotosPickerItemImageDataProvider(std::shared_ptr<PhotosPickerItem> pickerItem,
                                             std::optional<std::string> cacheKey = std::nullopt);

  const std::shared_ptr<PhotosPickerItem>& pickerItem() const { return pickerItem_; }
  std::string cacheKey() const override { return cacheKey_; }
  void data(Handler handler) const override;
  std::unique_ptr<ImageDataProvider> clone() const override {
    return std::make_unique<PhotosPickerItemImageDataProvider>(*this);
  }

 private:
  std::shared_ptr<PhotosPickerItem> pickerItem_;
  std::string cacheKey_;
};

}  // namespace vellum
