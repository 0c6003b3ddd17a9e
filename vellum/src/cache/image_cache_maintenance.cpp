// ImageCache: clearing, sweeping, the clean notification, cached-type queries and sizes.
#include <any>

#include "foundation/log.hpp"
#include "foundation/main_queue.hpp"
#include "general/guarded_call.hpp"
#include "vellum/cache/image_cache.hpp"

namespace vellum {
namespace {

using Cache = VellumError::CacheErrorReason;

void logDropped(std::string_view what, const std::exception& error) {
  foundation::log(foundation::LogLevel::error, std::string("[Vellum] ") + std::string(what) + ": " + error.what());
}

}  // namespace

void ImageCache::clearMemoryCache() { memoryStorage_->removeAll(); }

void ImageCache::clearCache(std::function<void()> completion) {
  // Not through clearMemoryCache(): an override of it takes no part in clearing both levels.
  memoryStorage_->removeAll();
  clearDiskCache(std::move(completion));
}

void ImageCache::clearDiskCache(std::function<void()> completion) {
  ioQueue_->post([self = shared_from_this(), completion = std::move(completion)] {
    // Whatever the clearing throws (the file manager may be the application's), the caller hears back.
    callGuarded("Clearing the disk cache", [&] { self->diskStorage_->removeAll(); });
    if (completion) foundation::MainQueue::post(completion);
  });
}

void ImageCache::cleanExpiredCache(std::function<void()> completion) {
  cleanExpiredMemoryCache();
  cleanExpiredDiskCache(std::move(completion));
}

void ImageCache::cleanExpiredMemoryCache() { memoryStorage_->removeExpired(); }

void ImageCache::cleanExpiredDiskCache() { cleanExpiredDiskCache(nullptr); }

// Observers that mirror the cache must learn of every file that is gone, so a failing step still reports
// what it deleted. A file the expired step could not delete does not keep the size step from running (the
// cache would stay over its limit for as long as that file stays); an expired step that failed as a whole
// (its listing) ends the sweep there.
void ImageCache::cleanExpiredDiskCache(std::function<void()> completion) {
  ioQueue_->post([self = shared_from_this(), completion = std::move(completion)] {
    std::vector<std::string> names;
    auto collect = [&names](const DiskStorage::SweepResult& result) {
      for (const auto& url : result.removed) names.push_back(url.filename().string());
    };
    bool expiredStepFailed = false;
    try {
      const auto expired = self->diskStorage_->removeExpiredValues();
      collect(expired);
      if (expired.error) logDropped("Removing an expired file failed", *expired.error);
    } catch (...) {  // the file manager may be the application's, and throw anything
      expiredStepFailed = true;
      logThrown("Removing expired files");
    }
    if (!expiredStepFailed) {
      callGuarded("Removing files over the size limit", [&] {
        const auto exceeded = self->diskStorage_->removeSizeExceededValues();
        collect(exceeded);
        if (exceeded.error) logDropped("Removing a file over the size limit failed", *exceeded.error);
      });
    }
    if (!names.empty()) {
      foundation::MainQueue::post([self, names = std::move(names)] {
        foundation::NotificationCenter::defaultCenter().post(
            std::string(VellumDidCleanDiskCache), self.get(),
            {{std::string(VellumDiskCacheCleanedHashKey), std::any(names)}});
      });
    }
    if (completion) foundation::MainQueue::post(completion);
  });
}

CacheType ImageCache::diskCachedType(const std::string& computedKey,
                                     const std::optional<std::string>& forcedExtension) {
  return diskStorage_->isCached(computedKey, foundation::Clock::now(), forcedExtension) ? CacheType::disk
                                                                                        : CacheType::none;
}

CacheType ImageCache::imageCachedType(const std::string& key, const std::string& processorIdentifier,
                                      const std::optional<std::string>& forcedExtension) {
  const std::string computed = computedKey(key, processorIdentifier);
  if (memoryStorage_->isCached(computed)) return CacheType::memory;
  return diskCachedType(computed, forcedExtension);
}

void ImageCache::imageCachedTypeAsync(const std::string& key, const std::string& processorIdentifier,
                                      const std::optional<std::string>& forcedExtension, CallbackQueue callbackQueue,
                                      std::function<void(CacheType)> completionHandler) {
  auto report = [callbackQueue, handler = std::move(completionHandler)](CacheType type) {
    if (handler) callbackQueue.execute([handler, type] { handler(type); });
  };
  const std::string computed = computedKey(key, processorIdentifier);
  if (memoryStorage_->isCached(computed)) return report(CacheType::memory);
  // Weakly: a check nobody keeps the cache alive for answers none once the cache is gone.
  ioQueue_->post([weak = weak_from_this(), computed, forcedExtension, report] {
    auto self = weak.lock();
    report(self ? self->diskCachedType(computed, forcedExtension) : CacheType::none);
  });
}

bool ImageCache::isCached(const std::string& key, const std::string& processorIdentifier,
                          const std::optional<std::string>& forcedExtension) {
  return cached(imageCachedType(key, processorIdentifier, forcedExtension));
}

std::string ImageCache::hash(const std::string& key, const std::string& processorIdentifier,
                             const std::optional<std::string>& forcedExtension) {
  return diskStorage_->fileName(computedKey(key, processorIdentifier), forcedExtension);
}

std::string ImageCache::cachePath(const std::string& key, const std::string& processorIdentifier,
                                  const std::optional<std::string>& forcedExtension) {
  return diskStorage_->cacheFileURL(computedKey(key, processorIdentifier), forcedExtension).string();
}

std::optional<DiskStorage::Path> ImageCache::cacheFileURLIfOnDisk(const std::string& key,
                                                                  const std::string& processorIdentifier,
                                                                  const std::optional<std::string>& forcedExtension) {
  const std::string computed = computedKey(key, processorIdentifier);
  if (!diskStorage_->isCached(computed, foundation::Clock::now(), forcedExtension)) return std::nullopt;
  return diskStorage_->cacheFileURL(computed, forcedExtension);
}

void ImageCache::calculateDiskStorageSize(
    std::function<void(foundation::Result<std::uint64_t, VellumError>)> completion) {
  ioQueue_->post([self = shared_from_this(), completion = std::move(completion)] {
    using R = foundation::Result<std::uint64_t, VellumError>;
    std::optional<R> result;
    try {
      result = R::success(self->diskStorage_->totalSize());
    } catch (const VellumError& error) {
      result = R::failure(error);
    } catch (...) {  // the listing and every file's metadata are caught on the way; this is what is left
      logThrown("Computing the disk cache's size");
      result = R::failure(VellumError::cacheError(
          Cache::FileEnumeratorCreationFailed{"file://" + self->diskStorage_->directoryURL().string()}));
    }
    if (completion) CallbackQueue::mainAsync().deliver(completion, std::move(*result));
  });
}

std::int64_t ImageCache::memoryStorageCacheCost() const { return memoryStorage_->totalCacheCost(); }

}  // namespace vellum
