#include "vellum/local_file_image_data_provider.hpp"

#include "regular_file.hpp"
#include "vellum/resource.hpp"

namespace vellum {

LocalFileImageDataProvider::LocalFileImageDataProvider(URL fileURL, std::optional<std::string> cacheKey,
                                                       CallbackQueue loadingQueue)
    : fileURL_(std::move(fileURL)),
      loadingQueue_(std::move(loadingQueue)),
      cacheKey_(cacheKey ? std::move(*cacheKey) : localFileCacheKey(fileURL_)) {}

void LocalFileImageDataProvider::data(Handler handler) const {
  loadingQueue_.execute([path = fileURL_.path(), handler = std::move(handler)] {
    DataResult result = [&] {
      try {
        return DataResult::success(readRegularFile(path));
      } catch (...) {
        return DataResult::failure(std::current_exception());
      }
    }();
    handler(std::move(result));
  });
}

}  // namespace vellum
