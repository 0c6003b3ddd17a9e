#include "vellum/sources/picker_image_data_providers.hpp"

#include "foundation/crypto.hpp"
#include "vellum/general/vellum_error.hpp"

namespace vellum {

PickerImageDataProviderError::PickerImageDataProviderError(Code code, std::exception_ptr cause)
    : code_(code), cause_(std::move(cause)) {
  text_ = code_ == Code::invalidImage ? "The picked item has no image data."
                                      : "The picker could not load the item: " + describe(cause_);
}

PHPickerResultImageDataProvider::PHPickerResultImageDataProvider(PickerResult pickerResult, UniformType contentType,
                                                                 std::optional<std::string> cacheKey)
    : pickerResult_(std::move(pickerResult)), contentType_(std::move(contentType)) {
  cacheKey_ = cacheKey ? std::move(*cacheKey)
                       : pickerResult_.assetIdentifier.value_or(foundation::randomUUIDString()) + "_" + contentType_.identifier;
}

void PHPickerResultImageDataProvider::data(Handler handler) const {
  using Error = PHPickerResultImageDataProviderError;
  if (!pickerResult_.itemProvider) {
    handler(DataResult::failure(std::make_exception_ptr(Error::invalidImage())));
    return;
  }
  pickerResult_.itemProvider->loadDataRepresentation(
      contentType_.identifier,
      [handler = std::move(handler)](std::optional<foundation::Bytes> data, std::exception_ptr error) {
        // Made whole before the handler runs, so that no temporary of this thread still holds a part of it.
        DataResult result = error  ? DataResult::failure(std::make_exception_ptr(Error::pickerProviderError(std::move(error))))
                            : data ? DataResult::success(std::move(*data))
                                   : DataResult::failure(std::make_exception_ptr(Error::invalidImage()));
        handler(std::move(result));
      });
}

PhotosPickerItemImageDataProvider::PhotosPickerItemImageDataProvider(std::shared_ptr<PhotosPickerItem> pickerItem,
                                                                     std::optional<std::string> cacheKey)
    : pickerItem_(std::move(pickerItem)) {
  const std::optional<std::string> identifier = pickerItem_ ? pickerItem_->itemIdentifier() : std::nullopt;
  cacheKey_ = cacheKey ? std::move(*cacheKey) : identifier.value_or(foundation::randomUUIDString());
}

void PhotosPickerItemImageDataProvider::data(Handler handler) const {
  using Error = PhotosPickerItemImageDataProviderError;
  if (!pickerItem_) {
    handler(DataResult::failure(std::make_exception_ptr(Error::invalidImage())));
    return;
  }
  pickerItem_->loadData(
      [handler = std::move(handler)](foundation::Result<std::optional<foundation::Bytes>, std::exception_ptr> result) {
        DataResult answer =
            !result          ? DataResult::failure(std::make_exception_ptr(Error::pickerProviderError(std::move(result.error()))))
            : result.value() ? DataResult::success(std::move(*result.value()))
                             : DataResult::failure(std::make_exception_ptr(Error::invalidImage()));
        handler(std::move(answer));
      });
}

}  // namespace vellum
