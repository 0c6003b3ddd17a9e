// ImageCache: the awaitable forms. Each one hands a promise to the callback form (or to an inline sequence)
// whose handler sets it exactly once; the callback forms report in every case, so every future becomes ready.
#include "vellum/image_cache.hpp"

namespace vellum {
namespace {

template <class T>
using Promise = std::shared_ptr<std::promise<T>>;

template <class T>
Promise<T> makePromise() {
  return std::make_shared<std::promise<T>>();
}

// A store's report: a failed disk write is the error; the memory half never fails.
ImageCache::StoreHandler settleStore(Promise<void> promise) {
  return [promise](CacheStoreResult result) {
    if (result.diskCacheResult) {
      promise->set_value();
    } else {
      promise->set_exception(std::make_exception_ptr(result.diskCacheResult.error()));
    }
  };
}

std::function<void()> settleVoid(Promise<void> promise) {
  return [promise] { promise->set_value(); };
}

template <class T>
std::function<void(foundation::Result<T, VellumError>)> settleResult(Promise<T> promise) {
  return [promise](foundation::Result<T, VellumError> result) {
    if (result) {
      promise->set_value(std::move(result).value());
    } else {
      promise->set_exception(std::make_exception_ptr(result.error()));
    }
  };
}

}  // namespace

std::future<CacheType> ImageCache::imageCachedTypeAsync(const std::string& key, const std::string& processorIdentifier,
                                                        const std::optional<std::string>& forcedExtension) {
  // The steps of the callback form, not a call of it: an override of that form does not change this one.
  auto promise = makePromise<CacheType>();
  auto future = promise->get_future();
  const std::string computed = computedKey(key, processorIdentifier);
  if (memoryStorage_->isCached(computed)) {
    promise->set_value(CacheType::memory);
    return future;
  }
  ioQueue_->post([weak = weak_from_this(), computed, forcedExtension, promise] {
    auto self = weak.lock();
    promise->set_value(self ? self->diskCachedType(computed, forcedExtension) : CacheType::none);
  });
  return future;
}

std::future<void> ImageCache::storeAsync(const ImagePtr& image, const std::optional<foundation::Bytes>& original,
                                         const std::string& key, const VellumParsedOptionsInfo& options, bool toDisk) {
  auto promise = makePromise<void>();
  auto future = promise->get_future();
  store(image, original, key, options, toDisk, settleStore(promise));
  return future;
}

std::future<void> ImageCache::storeAsync(const ImagePtr& image, const std::optional<foundation::Bytes>& original,
                                         const std::string& key, const std::string& processorIdentifier,
                                         const std::optional<std::string>& forcedExtension,
                                         std::shared_ptr<const CacheSerializer> cacheSerializer, bool toDisk) {
  auto promise = makePromise<void>();
  auto future = promise->get_future();
  store(image, original, key, processorIdentifier, forcedExtension, std::move(cacheSerializer), toDisk,
        CallbackQueue::untouch(), settleStore(promise));
  return future;
}

std::future<void> ImageCache::storeToDiskAsync(const foundation::Bytes& data, const std::string& key,
                                               const std::string& processorIdentifier,
                                               const std::optional<std::string>& forcedExtension,
                                               std::optional<StorageExpiration> expiration) {
  auto promise = makePromise<void>();
  auto future = promise->get_future();
  storeToDisk(data, key, processorIdentifier, forcedExtension, expiration, CallbackQueue::untouch(),
              settleStore(promise));
  return future;
}

std::future<void> ImageCache::removeImageAsync(const std::string& key, const std::string& processorIdentifier,
                                               const std::optional<std::string>& forcedExtension, bool fromMemory,
                                               bool fromDisk) {
  // Inline rather than through the callback form, which drops the deletion's error.
  auto promise = makePromise<void>();
  auto future = promise->get_future();
  removeImageReportingError(key, processorIdentifier, forcedExtension, fromMemory, fromDisk, CallbackQueue::untouch(),
                            [promise](std::exception_ptr error) {
                              if (error) {
                                promise->set_exception(error);
                              } else {
                                promise->set_value();
                              }
                            });
  return future;
}

std::future<ImageCacheResult> ImageCache::retrieveImageAsync(const std::string& key,
                                                             const VellumParsedOptionsInfo& options) {
  auto promise = makePromise<ImageCacheResult>();
  auto future = promise->get_future();
  retrieveImage(key, options, CallbackQueue::mainCurrentOrAsync(), settleResult(promise));
  return future;
}

std::future<ImageCacheResult> ImageCache::retrieveImageAsync(const std::string& key,
                                                             const std::optional<VellumOptionsInfo>& options) {
  auto promise = makePromise<ImageCacheResult>();
  auto future = promise->get_future();
  retrieveImage(key, options, CallbackQueue::mainCurrentOrAsync(), settleResult(promise));
  return future;
}

std::future<ImagePtr> ImageCache::retrieveImageInDiskCacheAsync(const std::string& key,
                                                                const std::optional<VellumOptionsInfo>& options) {
  auto promise = makePromise<ImagePtr>();
  auto future = promise->get_future();
  retrieveImageInDiskCache(key, options, CallbackQueue::untouch(), DiskImageHandler(settleResult(promise)));
  return future;
}

std::future<void> ImageCache::clearCacheAsync() {
  auto promise = makePromise<void>();
  auto future = promise->get_future();
  ImageCache::clearCache(settleVoid(promise));
  return future;
}

std::future<void> ImageCache::clearDiskCacheAsync() {
  auto promise = makePromise<void>();
  auto future = promise->get_future();
  clearDiskCache(settleVoid(promise));
  return future;
}

std::future<void> ImageCache::cleanExpiredCacheAsync() {
  auto promise = makePromise<void>();
  auto future = promise->get_future();
  cleanExpiredCache(settleVoid(promise));
  return future;
}

std::future<void> ImageCache::cleanExpiredDiskCacheAsync() {
  auto promise = makePromise<void>();
  auto future = promise->get_future();
  cleanExpiredDiskCache(settleVoid(promise));
  return future;
}

std::future<std::uint64_t> ImageCache::diskStorageSizeAsync() {
  auto promise = makePromise<std::uint64_t>();
  auto future = promise->get_future();
  calculateDiskStorageSize(settleResult(promise));
  return future;
}

}  // namespace vellum
