#include "vellum/sources/local_file_image_data_provider.hpp"

#include <filesystem>

#include "cache/regular_file.hpp"
#include "vellum/sources/resource.hpp"

namespace vellum {

LocalFileImageDataProvider::LocalFileImageDataProvider(URL fileURL, std::optional<std::string> cacheKey,
                                                       CallbackQueue loadingQueue)
    : fileURL_(std::move(fileURL)),
      loadingQueue_(std::move(loadingQueue)),
      cacheKey_(cacheKey ? std::move(*cacheKey) : localFileCacheKey(fileURL_)) {}

void LocalFileImageDataProvider::data(Handler handler) const {
  loadingQueue_.execute([path = fileURL_.path(), isFile = fileURL_.isFileURL(), handler = std::move(handler)] {
    DataResult result = [&] {
      try {
        // The path of a web address names no local file; reading it would read some other file.
        if (!isFile) {
          throw std::filesystem::filesystem_error("not a file URL", path, std::make_error_code(std::errc::invalid_argument));
        }
        return DataResult::success(readRegularFile(path));
      } catch (...) {
        return DataResult::failure(std::current_exception());
      }
    }();
    handler(std::move(result));
  });
}

}  // namespace vellum
