// ImageCache: the awaitable forms. Each one hands a promise to the callback form (or to an inline sequence)
// whose handler sets it exactly once; the callback forms report in every case, so every future becomes ready.
#include "vellum/cache/image_cache.hpp"

#include "general/settle_promise.hpp"

namespace vellum {
namespace {

template <class T>
using Promise = std::shared_ptr<std::promise<T>>;

// Starts an operation with the promise its report will settle, and answers that promise's future.
template <class T, class Start>
std::future<T> awaiting(Start&& start) {
  auto promise = std::make_shared<std::promise<T>>();
  auto future = promise->get_future();
  start(promise);
  return future;
}

// A store's report: a failed disk write is the error; the memory half never fails.
ImageCache::StoreHandler settleStore(Promise<void> promise) {
  return [promise](CacheStoreResult result) { settlePromise(*promise, std::move(result.diskCacheResult)); };
}

std::function<void()> settleVoid(Promise<void> promise) {
  return [promise] { promise->set_value(); };
}

template <class T>
std::function<void(foundation::Result<T, VellumError>)> settleResult(Promise<T> promise) {
  return [promise](foundation::Result<T, VellumError> result) { settlePromise(*promise, std::move(result)); };
}

}  // namespace

std::future<CacheType> ImageCache::imageCachedTypeAsync(const std::string& key, const std::string& processorIdentifier,
                                                        const std::optional<std::string>& forcedExtension) {
  // The steps of the callback form, not a call of it: an override of that form does not change this one.
  return awaiting<CacheType>([&](const Promise<CacheType>& promise) {
    const std::string computed = computedKey(key, processorIdentifier);
    if (memoryStorage_->isCached(computed)) {
      promise->set_value(CacheType::memory);
      return;
    }
    ioQueue_->post([weak = weak_from_this(), computed, forcedExtension, promise] {
      auto self = weak.lock();
      promise->set_value(self ? self->diskCachedType(computed, forcedExtension) : CacheType::none);
    });
  });
}

std::future<void> ImageCache::storeAsync(const ImagePtr& image, const std::optional<foundation::Bytes>& original,
                                         const std::string& key, const VellumParsedOptionsInfo& options, bool toDisk) {
  return awaiting<void>([&](const Promise<void>& promise) {
    store(image, original, key, options, toDisk, settleStore(promise));
  });
}

std::future<void> ImageCache::storeAsync(const ImagePtr& image, const std::optional<foundation::Bytes>& original,
                                         const std::string& key, const std::string& processorIdentifier,
                                         const std::optional<std::string>& forcedExtension,
                                         std::shared_ptr<const CacheSerializer> cacheSerializer, bool toDisk) {
  return awaiting<void>([&](const Promise<void>& promise) {
    store(image, original, key, processorIdentifier, forcedExtension, std::move(cacheSerializer), toDisk,
          CallbackQueue::untouch(), settleStore(promise));
  });
}

std::future<void> ImageCache::storeToDiskAsync(const foundation::Bytes& data, const std::string& key,
                                               const std::string& processorIdentifier,
                                               const std::optional<std::string>& forcedExtension,
                                               std::optional<StorageExpiration> expiration) {
  return awaiting<void>([&](const Promise<void>& promise) {
    storeToDisk(data, key, processorIdentifier, forcedExtension, expiration, CallbackQueue::untouch(),
                settleStore(promise));
  });
}

std::future<void> ImageCache::removeImageAsync(const std::string& key, const std::string& processorIdentifier,
                                               const std::optional<std::string>& forcedExtension, bool fromMemory,
                                               bool fromDisk) {
  // Inline rather than through the callback form, which drops the deletion's error.
  return awaiting<void>([&](const Promise<void>& promise) {
    removeImageReportingError(key, processorIdentifier, forcedExtension, fromMemory, fromDisk, CallbackQueue::untouch(),
                              [promise](std::exception_ptr error) {
                                if (!error) return promise->set_value();
                                settlePromiseWithError(*promise, std::move(error));
                              });
  });
}

std::future<ImageCacheResult> ImageCache::retrieveImageAsync(const std::string& key,
                                                             const VellumParsedOptionsInfo& options) {
  return awaiting<ImageCacheResult>([&](const Promise<ImageCacheResult>& promise) {
    retrieveImage(key, options, CallbackQueue::mainCurrentOrAsync(), settleResult(promise));
  });
}

std::future<ImageCacheResult> ImageCache::retrieveImageAsync(const std::string& key,
                                                             const std::optional<VellumOptionsInfo>& options) {
  return awaiting<ImageCacheResult>([&](const Promise<ImageCacheResult>& promise) {
    retrieveImage(key, options, CallbackQueue::mainCurrentOrAsync(), settleResult(promise));
  });
}

std::future<ImagePtr> ImageCache::retrieveImageInDiskCacheAsync(const std::string& key,
                                                                const std::optional<VellumOptionsInfo>& options) {
  return awaiting<ImagePtr>([&](const Promise<ImagePtr>& promise) {
    retrieveImageInDiskCache(key, options, CallbackQueue::untouch(), DiskImageHandler(settleResult(promise)));
  });
}

std::future<void> ImageCache::clearCacheAsync() {
  return awaiting<void>([&](const Promise<void>& promise) {
    ImageCache::clearCache(settleVoid(promise));
  });
}

std::future<void> ImageCache::clearDiskCacheAsync() {
  return awaiting<void>([&](const Promise<void>& promise) {
    clearDiskCache(settleVoid(promise));
  });
}

std::future<void> ImageCache::cleanExpiredCacheAsync() {
  return awaiting<void>([&](const Promise<void>& promise) {
    cleanExpiredCache(settleVoid(promise));
  });
}

std::future<void> ImageCache::cleanExpiredDiskCacheAsync() {
  return awaiting<void>([&](const Promise<void>& promise) {
    cleanExpiredDiskCache(settleVoid(promise));
  });
}

std::future<std::uint64_t> ImageCache::diskStorageSizeAsync() {
  return awaiting<std::uint64_t>([&](const Promise<std::uint64_t>& promise) {
    calculateDiskStorageSize(settleResult(promise));
  });
}

}  // namespace vellum
