#pragma once
// The option list that every loading, caching and showing operation takes, and the record it is folded into.
//
// Example, given std::shared_ptr<vellum::ImageCache> cache:
//   vellum::VellumParsedOptionsInfo options({
//       vellum::VellumOptionsInfoItem::targetCache(cache),
//       vellum::VellumOptionsInfoItem::scaleFactor(2.0),
//       vellum::VellumOptionsInfoItem::forceRefresh(),
//   });
//   bool same = options.originalCache == cache;   // true: with no originalCache item it follows targetCache
//
// Items apply in list order and the last item of a case wins; payload-less items only switch a flag on.
#include <any>
#include <typeinfo>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "foundation/bytes.hpp"
#include "vellum/cache/cache_serializer.hpp"
#include "vellum/general/callback_queue.hpp"
#include "vellum/general/forward.hpp"
#include "vellum/image/image.hpp"
#include "vellum/image/image_processor.hpp"
#include "vellum/views/image_transition.hpp"
#include "vellum/cache/storage_expiration.hpp"

namespace vellum {

// Told about every chunk of bytes a download receives.
class DataReceivingSideEffect {
 public:
  virtual ~DataReceivingSideEffect() = default;
  // While it answers false the side effect does nothing.
  virtual std::function<bool()> onShouldApply() const = 0;
  virtual void setOnShouldApply(std::function<bool()> shouldApply) = 0;
  // Called on the download's delegate queue for each chunk; `task` is the download the chunk belongs to.
  virtual void onDataReceived(const std::shared_ptr<SessionDataTask>& task, const foundation::Bytes& data) = 0;
};

// The default task priority of a download.
inline constexpr float kDefaultDownloadPriority = 0.5f;

class VellumOptionsInfoItem {
 public:
  enum class Kind {
    targetCache,
    originalCache,
    downloader,
    transition,
    downloadPriority,
    callbackQueue,
    scaleFactor,
    requestModifier,
    redirectHandler,
    processor,
    cacheSerializer,
    imageModifier,
    onFailureImage,
    diskStoreWriteOptions,
    memoryCacheExpiration,
    memoryCacheAccessExtendingExpiration,
    diskCacheExpiration,
    diskCacheAccessExtendingExpiration,
    processingQueue,
    progressiveJPEG,
    alternativeSources,
    retryStrategy,
    lowDataMode,
    forcedCacheFileExtension,
    forceRefresh,
    fromMemoryCacheOrRefresh,
    forceTransition,
    cacheMemoryOnly,
    waitForCache,
    onlyFromCache,
    backgroundDecode,
    preloadAllAnimationData,
    keepCurrentImageWhileLoading,
    onlyLoadFirstFrame,
    cacheOriginalImage,
    alsoPrefetchToMemory,
    loadDiskFileSynchronously,
    asyncCacheTypeCheck,
  };

  static VellumOptionsInfoItem targetCache(std::shared_ptr<ImageCache> cache) { return {Kind::targetCache, cache}; }
  static VellumOptionsInfoItem originalCache(std::shared_ptr<ImageCache> cache) {
    return {Kind::originalCache, cache};
  }
  static VellumOptionsInfoItem downloader(std::shared_ptr<ImageDownloader> d) { return {Kind::downloader, d}; }
  static VellumOptionsInfoItem transition(ImageTransition t) { return {Kind::transition, t}; }
  static VellumOptionsInfoItem downloadPriority(float p) { return {Kind::downloadPriority, p}; }
  static VellumOptionsInfoItem callbackQueue(CallbackQueue q) { return {Kind::callbackQueue, q}; }
  static VellumOptionsInfoItem scaleFactor(double s) { return {Kind::scaleFactor, s}; }
  static VellumOptionsInfoItem requestModifier(std::shared_ptr<AsyncImageDownloadRequestModifier> m) {
    return {Kind::requestModifier, m};
  }
  static VellumOptionsInfoItem redirectHandler(std::shared_ptr<ImageDownloadRedirectHandler> h) {
    return {Kind::redirectHandler, h};
  }
  static VellumOptionsInfoItem processor(std::shared_ptr<const ImageProcessor> p) { return {Kind::processor, p}; }
  static VellumOptionsInfoItem cacheSerializer(std::shared_ptr<const CacheSerializer> s) {
    return {Kind::cacheSerializer, s};
  }
  static VellumOptionsInfoItem imageModifier(std::shared_ptr<ImageModifier> m) { return {Kind::imageModifier, m}; }
  // A null image sets the field to "no image", which differs from not set.
  static VellumOptionsInfoItem onFailureImage(ImagePtr image) { return {Kind::onFailureImage, image}; }
  static VellumOptionsInfoItem diskStoreWriteOptions(std::uint64_t o) { return {Kind::diskStoreWriteOptions, o}; }
  static VellumOptionsInfoItem memoryCacheExpiration(StorageExpiration e) { return {Kind::memoryCacheExpiration, e}; }
  static VellumOptionsInfoItem memoryCacheAccessExtendingExpiration(ExpirationExtending e) {
    return {Kind::memoryCacheAccessExtendingExpiration, e};
  }
  static VellumOptionsInfoItem diskCacheExpiration(StorageExpiration e) { return {Kind::diskCacheExpiration, e}; }
  static VellumOptionsInfoItem diskCacheAccessExtendingExpiration(ExpirationExtending e) {
    return {Kind::diskCacheAccessExtendingExpiration, e};
  }
  static VellumOptionsInfoItem processingQueue(CallbackQueue q) { return {Kind::processingQueue, q}; }
  static VellumOptionsInfoItem progressiveJPEG(std::shared_ptr<const ImageProgressive> p) {
    return {Kind::progressiveJPEG, p};
  }
  static VellumOptionsInfoItem alternativeSources(std::vector<std::shared_ptr<const Source>> s) {
    return {Kind::alternativeSources, s};
  }
  static VellumOptionsInfoItem retryStrategy(std::shared_ptr<RetryStrategy> r) { return {Kind::retryStrategy, r}; }
  // A null source stores absence.
  static VellumOptionsInfoItem lowDataMode(std::shared_ptr<const Source> s) { return {Kind::lowDataMode, s}; }
  static VellumOptionsInfoItem forcedCacheFileExtension(std::optional<std::string> e) {
    return {Kind::forcedCacheFileExtension, e};
  }
  static VellumOptionsInfoItem forceRefresh() { return {Kind::forceRefresh}; }
  static VellumOptionsInfoItem fromMemoryCacheOrRefresh() { return {Kind::fromMemoryCacheOrRefresh}; }
  static VellumOptionsInfoItem forceTransition() { return {Kind::forceTransition}; }
  static VellumOptionsInfoItem cacheMemoryOnly() { return {Kind::cacheMemoryOnly}; }
  static VellumOptionsInfoItem waitForCache() { return {Kind::waitForCache}; }
  static VellumOptionsInfoItem onlyFromCache() { return {Kind::onlyFromCache}; }
  static VellumOptionsInfoItem backgroundDecode() { return {Kind::backgroundDecode}; }
  static VellumOptionsInfoItem preloadAllAnimationData() { return {Kind::preloadAllAnimationData}; }
  static VellumOptionsInfoItem keepCurrentImageWhileLoading() { return {Kind::keepCurrentImageWhileLoading}; }
  static VellumOptionsInfoItem onlyLoadFirstFrame() { return {Kind::onlyLoadFirstFrame}; }
  static VellumOptionsInfoItem cacheOriginalImage() { return {Kind::cacheOriginalImage}; }
  static VellumOptionsInfoItem alsoPrefetchToMemory() { return {Kind::alsoPrefetchToMemory}; }
  static VellumOptionsInfoItem loadDiskFileSynchronously() { return {Kind::loadDiskFileSynchronously}; }
  static VellumOptionsInfoItem asyncCacheTypeCheck() { return {Kind::asyncCacheTypeCheck}; }

  Kind kind() const { return kind_; }
  // The payload, typed as the factory of this case takes it; std::bad_any_cast for another type.
  template <class T>
  const T& payload() const {
    if (!payload_ || *type_ != typeid(T)) throw std::bad_any_cast();
    return *static_cast<const T*>(payload_.get());
  }

 private:
  VellumOptionsInfoItem(Kind kind) : kind_(kind) {}
  template <class T>
  VellumOptionsInfoItem(Kind kind, T payload)
      : kind_(kind), type_(&typeid(T)), payload_(std::make_shared<const T>(std::move(payload))) {}
  Kind kind_;
  // An item is an immutable value: its copies share the payload, so copying a list of options copies no
  // payload (a cache, a queue, a processor) and allocates nothing for it.
  const std::type_info* type_ = nullptr;
  std::shared_ptr<const void> payload_;
};

using VellumOptionsInfo = std::vector<VellumOptionsInfoItem>;

struct VellumParsedOptionsInfo {
  // The defaults.
  VellumParsedOptionsInfo() = default;
  // Folds the list; an absent or empty list gives the defaults (with `originalCache` absent).
  explicit VellumParsedOptionsInfo(const std::optional<VellumOptionsInfo>& items);
  VellumParsedOptionsInfo(std::initializer_list<VellumOptionsInfoItem> items)
      : VellumParsedOptionsInfo(std::optional<VellumOptionsInfo>(VellumOptionsInfo(items))) {}
  // Folds `first` then `then` as the one list they make together (a manager's default options, then a
  // call's), without making that list.
  VellumParsedOptionsInfo(const VellumOptionsInfo& first, const VellumOptionsInfo& then);

  std::shared_ptr<ImageCache> targetCache;
  std::shared_ptr<ImageCache> originalCache;
  std::shared_ptr<ImageDownloader> downloader;
  ImageTransition transition = ImageTransition::none();
  float downloadPriority = kDefaultDownloadPriority;
  bool forceRefresh = false;
  bool fromMemoryCacheOrRefresh = false;
  bool forceTransition = false;
  bool cacheMemoryOnly = false;
  bool waitForCache = false;
  bool onlyFromCache = false;
  bool backgroundDecode = false;
  bool preloadAllAnimationData = false;
  CallbackQueue callbackQueue = CallbackQueue::mainCurrentOrAsync();
  double scaleFactor = 1.0;
  std::shared_ptr<AsyncImageDownloadRequestModifier> requestModifier;
  std::shared_ptr<ImageDownloadRedirectHandler> redirectHandler;
  std::shared_ptr<const ImageProcessor> processor = DefaultImageProcessor::defaultProcessor();
  std::shared_ptr<ImageModifier> imageModifier;
  std::shared_ptr<const CacheSerializer> cacheSerializer = DefaultCacheSerializer::defaultSerializer();
  bool keepCurrentImageWhileLoading = false;
  bool onlyLoadFirstFrame = false;
  bool cacheOriginalImage = false;
  // Absent: not set. Present and null: set to no image.
  std::optional<ImagePtr> onFailureImage;
  bool alsoPrefetchToMemory = false;
  bool loadDiskFileSynchronously = false;
  bool asyncCacheTypeCheck = false;
  std::uint64_t diskStoreWriteOptions = 0;
  std::optional<StorageExpiration> memoryCacheExpiration;
  ExpirationExtending memoryCacheAccessExtendingExpiration = ExpirationExtending::cacheTime();
  std::optional<StorageExpiration> diskCacheExpiration;
  ExpirationExtending diskCacheAccessExtendingExpiration = ExpirationExtending::cacheTime();
  std::optional<CallbackQueue> processingQueue;
  std::shared_ptr<const ImageProgressive> progressiveJPEG;
  std::optional<std::vector<std::shared_ptr<const Source>>> alternativeSources;
  std::shared_ptr<RetryStrategy> retryStrategy;
  std::shared_ptr<const Source> lowDataModeSource;
  std::optional<std::string> forcedExtension;
  // Filled by callers that take a progress callback; no item sets it.
  std::optional<std::vector<std::shared_ptr<DataReceivingSideEffect>>> onDataReceived;
  // Set by the retrieval manager; callable from any thread.
  std::function<bool()> sourceTaskIdentifierChecker;

  // Hands one progress report to each progress side effect of `onDataReceived`, in list order: one main-queue
  // block each, which calls the side effect's block unless it should not apply or `totalSize` is -1. Returns
  // at once.
  void reportDownloadProgress(std::int64_t receivedSize, std::int64_t totalSize) const;

 private:
  void fold(const VellumOptionsInfoItem& item, bool& originalCacheGiven);
};

}  // namespace vellum
