#include "vellum/sources/image_data_provider.hpp"

#include "general/settle_promise.hpp"
#include "vellum/sources/source.hpp"

namespace vellum {

void ImageDataProvider::cancellableData(std::stop_token, Handler handler) const { data(std::move(handler)); }

std::future<foundation::Bytes> ImageDataProvider::dataAsync() const {
  auto promise = std::make_shared<std::promise<foundation::Bytes>>();
  auto future = promise->get_future();
  data([promise](DataResult result) { settlePromise(*promise, std::move(result)); });
  return future;
}

Source ImageDataProvider::convertToSource() const { return Source::provider(*this); }

}  // namespace vellum
