#pragma once
// LocalFileImageDataProvider: the bytes of a local file, read on a queue of the caller's choosing.
// File URLs given to the library as resources become one of these (read on the shared pool).
//
// Example:
//   vellum::LocalFileImageDataProvider provider(vellum::URL::fileURL("/tmp/a/b.png"));
//   std::string key = provider.cacheKey();   // "vellum.local.cacheKey///tmp/a/b.png"
//   provider.data([](auto /*result*/) { /* on the shared pool: the bytes, or why not */ });
//
// Reading: the file is opened non-blocking and must be a regular file, then read to its end whatever size the
// file system reports. A failure is a std::filesystem::filesystem_error carrying errno and the path: ENOENT,
// EACCES, ..., and EINVAL for anything that is not a regular file (a directory, a FIFO, a device), which would
// otherwise block a pool thread or read without end, and for a URL that is not a file URL.
// Thread rule: a value; data(handler) may be called from any thread.
#include <optional>
#include <string>

#include "vellum/general/callback_queue.hpp"
#include "vellum/sources/image_data_provider.hpp"
#include "vellum/sources/url.hpp"

namespace vellum {

class LocalFileImageDataProvider final : public ImageDataProvider {
 public:
  // Without a key, localFileCacheKey(fileURL). The default queue is the shared pool, as conversions use.
  explicit LocalFileImageDataProvider(URL fileURL, std::optional<std::string> cacheKey = std::nullopt,
                                      CallbackQueue loadingQueue = CallbackQueue::dispatchConcurrent());

  const URL& fileURL() const { return fileURL_; }
  std::string cacheKey() const override { return cacheKey_; }
  void setCacheKey(std::string key) { cacheKey_ = std::move(key); }
  std::optional<URL> contentURL() const override { return fileURL_; }

  // Runs the read on the loading queue as CallbackQueue runs blocks: with `untouch` the handler has been
  // called when this returns; with `dispatch` it is called later, on that queue.
  void data(Handler handler) const override;
  std::unique_ptr<ImageDataProvider> clone() const override {
    return std::make_unique<LocalFileImageDataProvider>(*this);
  }

 private:
  URL fileURL_;
  CallbackQueue loadingQueue_;
  std::string cacheKey_;
};

}  // namespace vellum
