#pragma once
// ImageCache: the front of the two-level image cache. One named object owns a memory storage of decoded
// images, a disk storage of encoded bytes and one serial `ioQueue` on which all of its disk work runs.
//
// Example, given vellum::ImagePtr image, std::function<void(vellum::ImagePtr)> show:
//   std::shared_ptr<vellum::ImageCache> cache = vellum::ImageCache::make("avatars");
//   cache->store(image, std::nullopt, "https://example.com/a.png", vellum::VellumParsedOptionsInfo{}, true);
//   cache->retrieveImage("https://example.com/a.png", vellum::VellumParsedOptionsInfo{},
//                        vellum::CallbackQueue::mainAsync(), [show](auto result) {
//     if (result && result.value().image()) show(result.value().image());   // memory first, then disk
//   });
//   cache->cleanExpiredDiskCache([] { /* on the main queue, after the clean notification */ });
//
// Keys: every operation that takes a key and a processor identifier (or options, whose processor gives one)
// works on the computed key: the key itself when the identifier is empty, else key + "@" + identifier. Keys
// may hold any bytes; with the default disk configuration the file name is the key's SHA-256, so no key can
// name a file outside the cache directory.
//
// Threads: memory work runs on the calling thread; disk work runs on `ioQueue` in submission order (a clear
// submitted after a store runs after it); only decoding what a read found runs apart, on the shared pool. Completions run where their CallbackQueue says; maintenance
// completions and the clean notification run on foundation's main queue. Every operation is virtual, so a
// subclass may replace any of them, and the operations that call one another do so through these virtuals.
//
// Lifetime: caches are shared objects made by the factories below. Blocks queued on `ioQueue` hold the cache,
// so it lives until they have run; it may then be destroyed on `ioQueue` itself. Each cache observes the
// application's will-resign-active notification (foundation/app_notifications.hpp) from the moment its factory
// returns and sweeps its disk then; it stops observing in its destructor, so a post never reaches a released cache.
// `defaultCache()` is made once and never destroyed.
#include <cstdint>
#include <exception>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "foundation/bytes.hpp"
#include "foundation/notification_center.hpp"
#include "foundation/result.hpp"
#include "foundation/serial_queue.hpp"
#include "vellum/cache/cache_serializer.hpp"
#include "vellum/general/callback_queue.hpp"
#include "vellum/cache/disk_storage.hpp"
#include "vellum/image/image.hpp"
#include "vellum/cache/memory_storage.hpp"
#include "vellum/general/options.hpp"
#include "vellum/cache/storage_expiration.hpp"
#include "vellum/general/vellum_error.hpp"

namespace vellum {

// Posted on the main queue by a disk sweep that deleted files, with the cache (as `const ImageCache*`) as object.
inline constexpr std::string_view VellumDidCleanDiskCache = "com.marrowby.Vellum.VellumDidCleanDiskCache";
// User-info key of that notification: a std::vector<std::string> of the deleted files' names, expired files
// first, then those the size limit removed.
inline constexpr std::string_view VellumDiskCacheCleanedHashKey = "com.marrowby.Vellum.cleanedHash";

// Where an image was found.
enum class CacheType { none, memory, disk };
// True for memory and disk.
constexpr bool cached(CacheType type) { return type != CacheType::none; }

// What a store achieved: storing in memory never fails; the disk half carries the write's error.
struct CacheStoreResult {
  foundation::Result<foundation::Unit, foundation::Unit> memoryCacheResult =
      foundation::Result<foundation::Unit, foundation::Unit>::success({});
  foundation::Result<foundation::Unit, VellumError> diskCacheResult =
      foundation::Result<foundation::Unit, VellumError>::success({});
};

// An image and the level it came from, or nothing.
class ImageCacheResult {
 public:
  static ImageCacheResult disk(ImagePtr image) { return {CacheType::disk, std::move(image)}; }
  static ImageCacheResult memory(ImagePtr image) { return {CacheType::memory, std::move(image)}; }
  static ImageCacheResult none() { return {CacheType::none, nullptr}; }

  // Null for none.
  const ImagePtr& image() const { return image_; }
  CacheType cacheType() const { return type_; }

 private:
  ImageCacheResult(CacheType type, ImagePtr image) : type_(type), image_(std::move(image)) {}
  CacheType type_;
  ImagePtr image_;
};

// The three answers of a disk look-up: found, nothing usable stored (none, expired, or bytes that do not
// decode), or abandoned because the request is no longer the current one.
template <class T>
class DiskOutcome {
 public:
  enum class Kind { found, notFound, stale };
  static DiskOutcome found(T value) { return DiskOutcome(Kind::found, std::move(value)); }
  static DiskOutcome notFound() { return DiskOutcome(Kind::notFound, T{}); }
  static DiskOutcome stale() { return DiskOutcome(Kind::stale, T{}); }

  Kind kind() const { return kind_; }
  // The image or bytes; empty unless found.
  const T& value() const { return value_; }

 private:
  DiskOutcome(Kind kind, T value) : kind_(kind), value_(std::move(value)) {}
  Kind kind_;
  T value_;
};
using DiskRetrievalOutcome = DiskOutcome<ImagePtr>;
using DiskDataRetrievalOutcome = DiskOutcome<foundation::Bytes>;

class ImageCache : public std::enable_shared_from_this<ImageCache> {
 public:
  using MemoryBackend = MemoryStorage::Backend<ImagePtr>;
  using DiskBackend = DiskStorage::Backend;
  using PathClosure = std::function<DiskStorage::Path(const DiskStorage::Path& base, const std::string& cacheName)>;

  template <class T>
  using Handler = std::function<void(T)>;
  using StoreHandler = std::function<void(CacheStoreResult)>;
  using RetrieveHandler = std::function<void(foundation::Result<ImageCacheResult, VellumError>)>;
  using DiskImageHandler = std::function<void(foundation::Result<ImagePtr, VellumError>)>;
  using DiskOutcomeHandler = std::function<void(foundation::Result<DiskRetrievalOutcome, VellumError>)>;
  using DiskDataOutcomeHandler = std::function<void(foundation::Result<DiskDataRetrievalOutcome, VellumError>)>;

  // A cache over the given storages, with a new `ioQueue`.
  static std::shared_ptr<ImageCache> make(std::shared_ptr<MemoryBackend> memoryStorage,
                                          std::shared_ptr<DiskBackend> diskStorage);
  // Storages of the default configuration. Without `cacheDirectoryURL` the directory lies in the user's cache
  // folder ($XDG_CACHE_HOME, else ~/.cache), inside a folder named by the application's identity once it has
  // set one (foundation::AppInfo::setBundleIdentifier, before its first cache is made; "com.example.photos"
  // gives ~/.cache/com.example.photos/com.marrowby.Vellum.ImageCache.<name>). Throws VellumError
  // (cannotCreateDirectory) when the directory cannot be made. An empty name, or one holding "/" or NUL or equal to "." or "..", stops the process.
  static std::shared_ptr<ImageCache> makeChecked(const std::string& name,
                                                 std::optional<DiskStorage::Path> cacheDirectoryURL = std::nullopt,
                                                 PathClosure diskCachePathClosure = nullptr);
  // The same, never failing: a directory that cannot be made leaves the disk storage not ready, and every disk
  // store then reports diskStorageIsNotReady.
  static std::shared_ptr<ImageCache> makeUnchecked(const std::string& name,
                                                   std::optional<DiskStorage::Path> cacheDirectoryURL = std::nullopt,
                                                   PathClosure diskCachePathClosure = nullptr);
  static std::shared_ptr<ImageCache> make(const std::string& name) { return makeUnchecked(name); }
  // The shared cache named "default", made on first use.
  static const std::shared_ptr<ImageCache>& defaultCache();

  // What only the factories can give: a cache made without it would never be registered for the
  // resign-active sweep, so the constructor takes one and nobody else can make it.
  class Made {
    friend class ImageCache;
    Made() = default;
  };

  // Makes a subclass the way the factories make a cache: constructed, then registered for the resign-active
  // sweep. T's constructor takes a `Made` and then the storages, and hands both to this class's (inheriting
  // its constructors does).
  template <class T, class... Args>
  static std::shared_ptr<T> create(Args&&... args) {
    auto cache = std::make_shared<T>(Made{}, std::forward<Args>(args)...);
    observeResignActive(cache);
    return cache;
  }

  // REQUIRES: called by `make` or `create` (only they have a `Made`).
  ImageCache(Made, std::shared_ptr<MemoryBackend> memoryStorage, std::shared_ptr<DiskBackend> diskStorage);
  virtual ~ImageCache();
  ImageCache(const ImageCache&) = delete;
  ImageCache& operator=(const ImageCache&) = delete;

  const std::shared_ptr<MemoryBackend>& memoryStorage() const { return memoryStorage_; }
  const std::shared_ptr<DiskBackend>& diskStorage() const { return diskStorage_; }
  const std::shared_ptr<foundation::SerialQueue>& ioQueue() const { return ioQueue_; }

  // The key both storages use for `key` processed by `processorIdentifier`.
  static std::string computedKey(const std::string& key, const std::string& processorIdentifier);

  // ---- Store and remove.
  // Memory at once on this thread; with `toDisk`, serialization and the write on `ioQueue`. The handler runs on
  // options.callbackQueue; a serializer that gives no bytes reports cannotSerializeImage and writes nothing.
  virtual void store(const ImagePtr& image, const std::optional<foundation::Bytes>& original, const std::string& key,
                     const VellumParsedOptionsInfo& options, bool toDisk = true, StoreHandler completionHandler = nullptr);
  virtual void store(const ImagePtr& image, const std::optional<foundation::Bytes>& original, const std::string& key,
                     const std::string& processorIdentifier, const std::optional<std::string>& forcedExtension,
                     std::shared_ptr<const CacheSerializer> cacheSerializer, bool toDisk, CallbackQueue callbackQueue,
                     StoreHandler completionHandler = nullptr);
  // Raw bytes to disk only, with the default write options; memory is not touched.
  virtual void storeToDisk(const foundation::Bytes& data, const std::string& key,
                           const std::string& processorIdentifier = "",
                           const std::optional<std::string>& forcedExtension = std::nullopt,
                           std::optional<StorageExpiration> expiration = std::nullopt,
                           CallbackQueue callbackQueue = CallbackQueue::untouch(),
                           StoreHandler completionHandler = nullptr);
  // The handler always runs once, through `callbackQueue`, and learns only that the removal is over.
  virtual void removeImage(const std::string& key, const std::string& processorIdentifier = "",
                           const std::optional<std::string>& forcedExtension = std::nullopt, bool fromMemory = true,
                           bool fromDisk = true, CallbackQueue callbackQueue = CallbackQueue::untouch(),
                           std::function<void()> completionHandler = nullptr);

  // ---- Retrieval.
  // Memory, then disk (read on `ioQueue` and decoded on foundation's shared pool, several reads' images at
  // once; both during the call with options.loadDiskFileSynchronously), a disk hit put back into memory before
  // the handler runs. Without a handler nothing is looked up at all.
  virtual void retrieveImage(const std::string& key, const VellumParsedOptionsInfo& options,
                             CallbackQueue callbackQueue, RetrieveHandler completionHandler);
  virtual void retrieveImage(const std::string& key, const std::optional<VellumOptionsInfo>& options,
                             CallbackQueue callbackQueue, RetrieveHandler completionHandler);
  virtual ImagePtr retrieveImageInMemoryCache(const std::string& key, const VellumParsedOptionsInfo& options);
  virtual ImagePtr retrieveImageInMemoryCache(const std::string& key, const std::optional<VellumOptionsInfo>& options);
  // The three-way disk look-up; options.sourceTaskIdentifierChecker is asked before reading, after reading
  // and after decoding, and a false answer ends it as stale. (The two handler types overload this name: wrap a
  // generic lambda in the one meant.)
  virtual void retrieveImageInDiskCache(const std::string& key, const VellumParsedOptionsInfo& options,
                                        CallbackQueue callbackQueue, DiskOutcomeHandler outcomeHandler);
  // The same with notFound and stale as no image; the image is not put into memory.
  virtual void retrieveImageInDiskCache(const std::string& key, const VellumParsedOptionsInfo& options,
                                        CallbackQueue callbackQueue, DiskImageHandler completionHandler);
  virtual void retrieveDataInDiskCache(const std::string& key, const VellumParsedOptionsInfo& options,
                                       CallbackQueue callbackQueue, DiskDataOutcomeHandler outcomeHandler);
  virtual void retrieveImageInDiskCache(const std::string& key, const std::optional<VellumOptionsInfo>& options,
                                        CallbackQueue callbackQueue, DiskImageHandler completionHandler);

  // ---- Maintenance. Completions run on the main queue.
  // Memory is empty when it returns; the disk is cleared on `ioQueue`.
  virtual void clearCache(std::function<void()> completion = nullptr);
  virtual void clearMemoryCache();
  // Deletes the directory and makes it again (not when deleting failed); failures are logged, not reported.
  virtual void clearDiskCache(std::function<void()> completion = nullptr);
  virtual void cleanExpiredCache(std::function<void()> completion = nullptr);
  virtual void cleanExpiredMemoryCache();
  // Expired files, then files over the size limit. When files were deleted, VellumDidCleanDiskCache is posted
  // with every deleted name before `completion` runs, also when a file could not be deleted (the others still
  // go, and the size step still runs) or a step failed after deleting some (an expired step whose listing
  // failed ends the sweep there).
  virtual void cleanExpiredDiskCache(std::function<void()> completion);
  virtual void cleanExpiredDiskCache();

  // Memory without extending the entry, then the disk's set of live files. Never reads image bytes.
  virtual CacheType imageCachedType(const std::string& key, const std::string& processorIdentifier = "",
                                    const std::optional<std::string>& forcedExtension = std::nullopt);
  // The disk half runs on `ioQueue` and holds the cache weakly: a released cache answers none.
  virtual void imageCachedTypeAsync(const std::string& key, const std::string& processorIdentifier,
                                    const std::optional<std::string>& forcedExtension, CallbackQueue callbackQueue,
                                    std::function<void(CacheType)> completionHandler);
  virtual bool isCached(const std::string& key, const std::string& processorIdentifier = "",
                        const std::optional<std::string>& forcedExtension = std::nullopt);
  // The cache file's name; no file-system access.
  virtual std::string hash(const std::string& key, const std::string& processorIdentifier = "",
                           const std::optional<std::string>& forcedExtension = std::nullopt);
  virtual void calculateDiskStorageSize(std::function<void(foundation::Result<std::uint64_t, VellumError>)> completion);
  virtual std::int64_t memoryStorageCacheCost() const;
  // The file's path, whether or not it exists.
  virtual std::string cachePath(const std::string& key, const std::string& processorIdentifier = "",
                                const std::optional<std::string>& forcedExtension = std::nullopt);
  virtual std::optional<DiskStorage::Path> cacheFileURLIfOnDisk(
      const std::string& key, const std::string& processorIdentifier = "",
      const std::optional<std::string>& forcedExtension = std::nullopt);

  // ---- Awaitable forms. Each future is set exactly once, with the value or the error of the callback form.
  // REQUIRES for waiting on the future: `retrieveImageAsync`, the clear and clean forms and
  // `diskStorageSizeAsync` are set on the main queue, so never wait on them there; `storeAsync(..., options)`
  // is set on `options.callbackQueue`, the main queue unless the options name another, so never wait on it
  // from that queue; the others are set on `ioQueue` (or at once for memory-only work), so never wait on them
  // from a task of this cache's `ioQueue`.
  virtual std::future<CacheType> imageCachedTypeAsync(const std::string& key, const std::string& processorIdentifier,
                                                      const std::optional<std::string>& forcedExtension);
  // Throws (through the future) the disk write's VellumError; the image stays in memory.
  virtual std::future<void> storeAsync(const ImagePtr& image, const std::optional<foundation::Bytes>& original,
                                       const std::string& key, const VellumParsedOptionsInfo& options,
                                       bool toDisk = true);
  virtual std::future<void> storeAsync(const ImagePtr& image, const std::optional<foundation::Bytes>& original,
                                       const std::string& key, const std::string& processorIdentifier,
                                       const std::optional<std::string>& forcedExtension,
                                       std::shared_ptr<const CacheSerializer> cacheSerializer, bool toDisk);
  virtual std::future<void> storeToDiskAsync(const foundation::Bytes& data, const std::string& key,
                                             const std::string& processorIdentifier = "",
                                             const std::optional<std::string>& forcedExtension = std::nullopt,
                                             std::optional<StorageExpiration> expiration = std::nullopt);
  // Throws the file system's error of the deletion unchanged (std::filesystem::filesystem_error), for instance
  // when the file does not exist; a memory-only removal never throws.
  virtual std::future<void> removeImageAsync(const std::string& key, const std::string& processorIdentifier = "",
                                             const std::optional<std::string>& forcedExtension = std::nullopt,
                                             bool fromMemory = true, bool fromDisk = true);
  virtual std::future<ImageCacheResult> retrieveImageAsync(const std::string& key,
                                                           const VellumParsedOptionsInfo& options);
  virtual std::future<ImageCacheResult> retrieveImageAsync(const std::string& key,
                                                           const std::optional<VellumOptionsInfo>& options);
  virtual std::future<ImagePtr> retrieveImageInDiskCacheAsync(const std::string& key,
                                                              const std::optional<VellumOptionsInfo>& options);
  virtual std::future<void> clearCacheAsync();
  virtual std::future<void> clearDiskCacheAsync();
  virtual std::future<void> cleanExpiredCacheAsync();
  virtual std::future<void> cleanExpiredDiskCacheAsync();
  virtual std::future<std::uint64_t> diskStorageSizeAsync();

 private:
  // Registers `cache` for the resign-active sweep at once, holding it weakly.
  static void observeResignActive(const std::shared_ptr<ImageCache>& cache);
  // The identifier of the options' processor (empty without one). Throws what the processor's throws.
  static std::string processorIdentifier(const VellumParsedOptionsInfo& options);
  // The same for an entry point: the identifier is the application's code, and through a processor that
  // cannot name itself there is no entry to look in or to store to. Sets `identifier`, or answers the
  // processing failure that call then reports (what the processor threw is logged).
  static std::optional<VellumError> identify(const VellumParsedOptionsInfo& options, std::string& identifier);
  // The options' serializer; the record's field is open to callers, and null there means the default one.
  static std::shared_ptr<const CacheSerializer> serializer(const VellumParsedOptionsInfo& options);
  // Writes on the calling thread, which is always `ioQueue`, and reports through `callbackQueue`.
  void syncStoreToDisk(const foundation::Bytes& data, const std::string& key,
                       const std::optional<std::string>& forcedExtension, const std::string& processorIdentifier,
                       const CallbackQueue& callbackQueue, std::optional<StorageExpiration> expiration,
                       std::uint64_t writeOptions, const StoreHandler& completionHandler);
  void removeImageReportingError(const std::string& key, const std::string& processorIdentifier,
                                 const std::optional<std::string>& forcedExtension, bool fromMemory, bool fromDisk,
                                 CallbackQueue callbackQueue, std::function<void(std::exception_ptr)> completionHandler);
  // Disk look-ups run on `ioQueue`, or at once on this thread with options.loadDiskFileSynchronously.
  void onLoadingQueue(const VellumParsedOptionsInfo& options, std::function<void()> work);
  CacheType diskCachedType(const std::string& computedKey, const std::optional<std::string>& forcedExtension);

  std::shared_ptr<MemoryBackend> memoryStorage_;
  std::shared_ptr<DiskBackend> diskStorage_;
  std::shared_ptr<foundation::SerialQueue> ioQueue_;

  std::mutex observerMutex_;  // guards resignActiveObserver_
  std::optional<foundation::NotificationCenter::Token> resignActiveObserver_;
};

}  // namespace vellum
