#include "vellum/sources/base64_image_data_provider.hpp"

#include "foundation/base64.hpp"

namespace vellum {

void Base64ImageDataProvider::data(Handler handler) const {
  auto bytes = foundation::base64Decode(base64String_);
  if (!bytes) {
    handler(DataResult::failure(std::make_exception_ptr(InvalidBase64())));
    return;
  }
  handler(DataResult::success(std::move(*bytes)));
}

}  // namespace vellum
