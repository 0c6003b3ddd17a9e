// ImageCache: construction, the shared cache, keys, store and remove.
#include "vellum/cache/image_cache.hpp"

#include <unistd.h>

#include <cstdlib>
#include <limits>

#include "foundation/app_notifications.hpp"
#include "foundation/crypto.hpp"
#include "foundation/log.hpp"
#include "foundation/main_queue.hpp"
#include "general/guarded_call.hpp"
#include "vellum/general/queue_labels.hpp"

namespace vellum {
namespace {

// Read once, out of line, so that the look-up below keeps nothing of the first call's work.
[[gnu::noinline]] const ImageProcessor* plainProcessor() { return DefaultImageProcessor::defaultProcessor().get(); }

using Cache = VellumError::CacheErrorReason;

// A name places the cache's directory (and what clearing it deletes), so one that is empty or could leave the
// base directory is a programming error, not an input to recover from.
void requirePermittedName(const std::string& name) {
  const bool permitted = !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
                         name.find('\0') == std::string::npos;
  if (permitted) return;
  foundation::log(foundation::LogLevel::error,
                  "[Vellum] You should specify a name for the cache. A cache with empty name is not permitted.");
  std::abort();
}

std::int64_t physicalMemory() {
  const long pages = ::sysconf(_SC_PHYS_PAGES);
  const long pageSize = ::sysconf(_SC_PAGESIZE);
  if (pages <= 0 || pageSize <= 0) return 0;
  std::int64_t bytes = 0;
  if (__builtin_mul_overflow(static_cast<std::int64_t>(pages), static_cast<std::int64_t>(pageSize), &bytes)) {
    return std::numeric_limits<std::int64_t>::max();
  }
  return bytes;
}

MemoryStorage::Config defaultMemoryConfig() {
  MemoryStorage::Config config(physicalMemory() >> 2, 120.0);
  config.expiration = StorageExpiration::seconds(300);
  config.keepWhenEnteringBackground = false;
  return config;
}

DiskStorage::Config defaultDiskConfig(const std::string& name, const std::optional<DiskStorage::Path>& directory,
                                      const ImageCache::PathClosure& pathClosure) {
  DiskStorage::Config config(name, 0, DiskStorage::FileManager::defaultManager(), directory);
  config.expiration = StorageExpiration::days(7);
  if (pathClosure) config.cachePathBlock = pathClosure;
  return config;
}

// An entry the disk never gets is downloaded again on every start: that is never silent, whether or not a
// completion hears of it too.
void logFailedDiskStore(const VellumError& error) {
  foundation::log(foundation::LogLevel::error, std::string("[Vellum] Storing an image to disk failed: ") + error.what());
}

// Carries a bare processor identifier in an options record; nothing but the identifier is read.
class TempProcessor final : public ImageProcessor {
 public:
  explicit TempProcessor(std::string identifier) : identifier_(std::move(identifier)) {}
  std::string identifier() const override { return identifier_; }
  ImagePtr process(const ImageProcessItem& item, const VellumParsedOptionsInfo&) const override {
    return item.isImage() ? item.imageValue() : nullptr;
  }

 private:
  std::string identifier_;
};

}  // namespace

std::shared_ptr<ImageCache> ImageCache::make(std::shared_ptr<MemoryBackend> memoryStorage,
                                             std::shared_ptr<DiskBackend> diskStorage) {
  return create<ImageCache>(std::move(memoryStorage), std::move(diskStorage));
}

namespace {

// Both by-name factories: the default storages, the directory made (and the names listed) by `prepareDisk`.
template <class PrepareDisk>
std::shared_ptr<ImageCache> makeNamed(const std::string& name, const std::optional<DiskStorage::Path>& directory,
                                      const ImageCache::PathClosure& pathClosure, bool creatingDirectory,
                                      PrepareDisk&& prepareDisk) {
  requirePermittedName(name);
  auto memory = std::make_shared<ImageCache::MemoryBackend>(defaultMemoryConfig());
  auto disk = std::make_shared<ImageCache::DiskBackend>(defaultDiskConfig(name, directory, pathClosure),
                                                        creatingDirectory);
  prepareDisk(*disk);
  return ImageCache::make(std::move(memory), std::move(disk));
}

}  // namespace

std::shared_ptr<ImageCache> ImageCache::makeChecked(const std::string& name,
                                                    std::optional<DiskStorage::Path> cacheDirectoryURL,
                                                    PathClosure diskCachePathClosure) {
  return makeNamed(name, cacheDirectoryURL, diskCachePathClosure, false, [](DiskBackend& disk) {
    disk.createDirectoryIfNeeded();  // throws cannotCreateDirectory; both storages go with the unwinding
    disk.loadMaybeCachedNames();
  });
}

std::shared_ptr<ImageCache> ImageCache::makeUnchecked(const std::string& name,
                                                      std::optional<DiskStorage::Path> cacheDirectoryURL,
                                                      PathClosure diskCachePathClosure) {
  // The backend makes its directory itself, hiding a failure until a store reports it.
  return makeNamed(name, cacheDirectoryURL, diskCachePathClosure, true, [](DiskBackend&) {});
}

const std::shared_ptr<ImageCache>& ImageCache::defaultCache() {
  // Never destroyed: pool threads may still run its disk work while the process exits.
  static const auto* shared = new std::shared_ptr<ImageCache>(make("default"));
  return *shared;
}

ImageCache::ImageCache(Made, std::shared_ptr<MemoryBackend> memoryStorage, std::shared_ptr<DiskBackend> diskStorage)
    : memoryStorage_(std::move(memoryStorage)),
      diskStorage_(std::move(diskStorage)),
      ioQueue_(std::make_shared<foundation::SerialQueue>(std::string(queue_labels::kImageCacheIOPrefix) +
                                                         foundation::randomUUIDString())) {}

ImageCache::~ImageCache() {
  std::lock_guard lock(observerMutex_);
  if (resignActiveObserver_) foundation::NotificationCenter::defaultCenter().removeObserver(*resignActiveObserver_);
}

void ImageCache::observeResignActive(const std::shared_ptr<ImageCache>& cache) {
  // Registered before the factory returns, on the maker's thread: a registration queued on the main queue
  // would miss a notification posted meanwhile, and would hold the cache there past its owners' release.
  std::weak_ptr<ImageCache> weak = cache;
  std::lock_guard lock(cache->observerMutex_);
  cache->resignActiveObserver_ = foundation::NotificationCenter::defaultCenter().addObserver(
      std::string(foundation::kApplicationWillResignActive), nullptr, [weak](const foundation::Notification&) {
        if (auto self = weak.lock()) self->cleanExpiredDiskCache();
      });
}

std::string ImageCache::computedKey(const std::string& key, const std::string& processorIdentifier) {
  if (processorIdentifier.empty()) return key;
  return key + "@" + processorIdentifier;
}

std::string ImageCache::processorIdentifier(const VellumParsedOptionsInfo& options) {
  // The default processor (most look-ups) is known to have none: no call is made to ask it, and the check is
  // one comparison of addresses on every memory hit.
  static const ImageProcessor* const plain = plainProcessor();
  if (!options.processor || options.processor.get() == plain) return std::string();
  return options.processor->identifier();
}

std::optional<VellumError> ImageCache::identify(const VellumParsedOptionsInfo& options, std::string& identifier) {
  if (callGuarded("A processor's identifier", [&] { identifier = processorIdentifier(options); })) return std::nullopt;
  return VellumError::processorError(VellumError::ProcessorErrorReason::ProcessingFailed::of(
      options.processor, ImageProcessItem::data(foundation::Bytes())));
}

std::shared_ptr<const CacheSerializer> ImageCache::serializer(const VellumParsedOptionsInfo& options) {
  if (options.cacheSerializer) return options.cacheSerializer;
  return DefaultCacheSerializer::defaultSerializer();
}

void ImageCache::store(const ImagePtr& image, const std::optional<foundation::Bytes>& original, const std::string& key,
                       const VellumParsedOptionsInfo& options, bool toDisk, StoreHandler completionHandler) {
  std::string identifier;
  if (auto error = identify(options, identifier)) {
    // Nothing is kept at either level, and whoever waits for the store hears so, whichever level it asked for.
    if (completionHandler) {
      CacheStoreResult result;
      result.memoryCacheResult = foundation::Result<foundation::Unit, foundation::Unit>::failure({});
      result.diskCacheResult = foundation::Result<foundation::Unit, VellumError>::failure(std::move(*error));
      options.callbackQueue.deliver(std::move(completionHandler), std::move(result));
    }
    return;
  }
  // A null image would read as a hit of nothing; there is nothing to keep.
  if (image) memoryStorage_->store(image, computedKey(key, identifier), options.memoryCacheExpiration);

  if (!toDisk) {
    if (completionHandler) {
      options.callbackQueue.execute([handler = std::move(completionHandler)] { handler(CacheStoreResult{}); });
    }
    return;
  }
  ioQueue_->post([self = shared_from_this(), image, original, key, options, identifier,
                  handler = std::move(completionHandler)] {
    // The serializer is the application's: whatever it throws is a store that could not serialize, so that
    // whoever waits for the store is still told.
    std::optional<foundation::Bytes> data;
    callGuarded("A cache serializer", [&] { data = serializer(options)->data(image, original); });
    if (!data) {
      auto error = VellumError::cacheError(Cache::CannotSerializeImage{image, original, serializer(options)});
      logFailedDiskStore(error);
      if (!handler) return;
      CacheStoreResult result;
      result.diskCacheResult = foundation::Result<foundation::Unit, VellumError>::failure(std::move(error));
      options.callbackQueue.deliver(handler, std::move(result));
      return;
    }
    self->syncStoreToDisk(*data, key, options.forcedExtension, identifier, options.callbackQueue,
                          options.diskCacheExpiration, options.diskStoreWriteOptions, handler);
  });
}

void ImageCache::store(const ImagePtr& image, const std::optional<foundation::Bytes>& original, const std::string& key,
                       const std::string& processorIdentifier, const std::optional<std::string>& forcedExtension,
                       std::shared_ptr<const CacheSerializer> cacheSerializer, bool toDisk,
                       CallbackQueue callbackQueue, StoreHandler completionHandler) {
  const VellumParsedOptionsInfo options(VellumOptionsInfo{
      VellumOptionsInfoItem::processor(std::make_shared<TempProcessor>(processorIdentifier)),
      VellumOptionsInfoItem::cacheSerializer(std::move(cacheSerializer)),
      VellumOptionsInfoItem::callbackQueue(std::move(callbackQueue)),
      VellumOptionsInfoItem::forcedCacheFileExtension(forcedExtension),
  });
  store(image, original, key, options, toDisk, std::move(completionHandler));
}

void ImageCache::storeToDisk(const foundation::Bytes& data, const std::string& key,
                             const std::string& processorIdentifier, const std::optional<std::string>& forcedExtension,
                             std::optional<StorageExpiration> expiration, CallbackQueue callbackQueue,
                             StoreHandler completionHandler) {
  ioQueue_->post([self = shared_from_this(), data, key, processorIdentifier, forcedExtension, expiration,
                  callbackQueue = std::move(callbackQueue), handler = std::move(completionHandler)] {
    self->syncStoreToDisk(data, key, forcedExtension, processorIdentifier, callbackQueue, expiration, 0, handler);
  });
}

void ImageCache::syncStoreToDisk(const foundation::Bytes& data, const std::string& key,
                                 const std::optional<std::string>& forcedExtension,
                                 const std::string& processorIdentifier, const CallbackQueue& callbackQueue,
                                 std::optional<StorageExpiration> expiration, std::uint64_t writeOptions,
                                 const StoreHandler& completionHandler) {
  CacheStoreResult result;
  try {
    diskStorage_->store(data, computedKey(key, processorIdentifier), expiration, writeOptions, forcedExtension);
  } catch (const VellumError& error) {
    result.diskCacheResult = foundation::Result<foundation::Unit, VellumError>::failure(error);
  } catch (...) {  // a file manager of the application's may throw anything
    result.diskCacheResult = foundation::Result<foundation::Unit, VellumError>::failure(VellumError::cacheError(
        Cache::CannotConvertToData{std::to_string(data.size()) + " bytes", std::current_exception()}));
  }
  if (!result.diskCacheResult) logFailedDiskStore(result.diskCacheResult.error());
  if (completionHandler) callbackQueue.deliver(completionHandler, std::move(result));
}

void ImageCache::removeImageReportingError(const std::string& key, const std::string& processorIdentifier,
                                           const std::optional<std::string>& forcedExtension, bool fromMemory,
                                           bool fromDisk, CallbackQueue callbackQueue,
                                           std::function<void(std::exception_ptr)> completionHandler) {
  const std::string computed = computedKey(key, processorIdentifier);
  if (fromMemory) memoryStorage_->remove(computed);
  auto report = [callbackQueue, handler = std::move(completionHandler)](std::exception_ptr error) {
    if (handler) callbackQueue.deliver(handler, std::move(error));
  };
  if (!fromDisk) {
    report(nullptr);
    return;
  }
  ioQueue_->post([self = shared_from_this(), computed, forcedExtension, report] {
    std::exception_ptr error;
    try {
      // The storage's own removal refuses a name that would leave its directory ("../x" with plain names).
      self->diskStorage_->remove(computed, forcedExtension);
    } catch (...) {
      error = std::current_exception();
    }
    report(std::move(error));
  });
}

void ImageCache::removeImage(const std::string& key, const std::string& processorIdentifier,
                             const std::optional<std::string>& forcedExtension, bool fromMemory, bool fromDisk,
                             CallbackQueue callbackQueue, std::function<void()> completionHandler) {
  removeImageReportingError(key, processorIdentifier, forcedExtension, fromMemory, fromDisk, std::move(callbackQueue),
                            [handler = std::move(completionHandler)](std::exception_ptr) {
                              if (handler) handler();
                            });
}

}  // namespace vellum
