#include "vellum/general/options.hpp"

namespace vellum {

VellumParsedOptionsInfo::VellumParsedOptionsInfo(const std::optional<VellumOptionsInfo>& items) {
  if (!items || items->empty()) return;
  bool originalCacheGiven = false;
  for (const auto& item : *items) fold(item, originalCacheGiven);
  if (!originalCacheGiven) originalCache = targetCache;
}

VellumParsedOptionsInfo::VellumParsedOptionsInfo(const VellumOptionsInfo& first, const VellumOptionsInfo& then) {
  if (first.empty() && then.empty()) return;
  bool originalCacheGiven = false;
  for (const auto& item : first) fold(item, originalCacheGiven);
  for (const auto& item : then) fold(item, originalCacheGiven);
  if (!originalCacheGiven) originalCache = targetCache;
}

void VellumParsedOptionsInfo::fold(const VellumOptionsInfoItem& item, bool& originalCacheGiven) {
  using Kind = VellumOptionsInfoItem::Kind;
  switch (item.kind()) {
    case Kind::targetCache:
      targetCache = item.payload<std::shared_ptr<ImageCache>>();
      break;
    case Kind::originalCache:
      originalCache = item.payload<std::shared_ptr<ImageCache>>();
      originalCacheGiven = true;
      break;
    case Kind::downloader:
      downloader = item.payload<std::shared_ptr<ImageDownloader>>();
      break;
    case Kind::transition:
      transition = item.payload<ImageTransition>();
      break;
    case Kind::downloadPriority:
      downloadPriority = item.payload<float>();
      break;
    case Kind::callbackQueue:
      callbackQueue = item.payload<CallbackQueue>();
      break;
    case Kind::scaleFactor:
      scaleFactor = item.payload<double>();
      break;
    case Kind::requestModifier:
      requestModifier = item.payload<std::shared_ptr<AsyncImageDownloadRequestModifier>>();
      break;
    case Kind::redirectHandler:
      redirectHandler = item.payload<std::shared_ptr<ImageDownloadRedirectHandler>>();
      break;
    case Kind::processor:
      // The record's processor is never absent; a null payload keeps the default.
      if (auto p = item.payload<std::shared_ptr<const ImageProcessor>>()) processor = std::move(p);
      break;
    case Kind::cacheSerializer:
      if (auto s = item.payload<std::shared_ptr<const CacheSerializer>>()) cacheSerializer = std::move(s);
      break;
    case Kind::imageModifier:
      imageModifier = item.payload<std::shared_ptr<ImageModifier>>();
      break;
    case Kind::onFailureImage:
      onFailureImage = item.payload<ImagePtr>();
      break;
    case Kind::diskStoreWriteOptions:
      diskStoreWriteOptions = item.payload<std::uint64_t>();
      break;
    case Kind::memoryCacheExpiration:
      memoryCacheExpiration = item.payload<StorageExpiration>();
      break;
    case Kind::memoryCacheAccessExtendingExpiration:
      memoryCacheAccessExtendingExpiration = item.payload<ExpirationExtending>();
      break;
    case Kind::diskCacheExpiration:
      diskCacheExpiration = item.payload<StorageExpiration>();
      break;
    case Kind::diskCacheAccessExtendingExpiration:
      diskCacheAccessExtendingExpiration = item.payload<ExpirationExtending>();
      break;
    case Kind::processingQueue:
      processingQueue = item.payload<CallbackQueue>();
      break;
    case Kind::progressiveJPEG:
      progressiveJPEG = item.payload<std::shared_ptr<const ImageProgressive>>();
      break;
    case Kind::alternativeSources:
      alternativeSources = item.payload<std::vector<std::shared_ptr<const Source>>>();
      break;
    case Kind::retryStrategy:
      retryStrategy = item.payload<std::shared_ptr<RetryStrategy>>();
      break;
    case Kind::lowDataMode:
      lowDataModeSource = item.payload<std::shared_ptr<const Source>>();
      break;
    case Kind::forcedCacheFileExtension:
      forcedExtension = item.payload<std::optional<std::string>>();
      break;
    case Kind::forceRefresh:
      forceRefresh = true;
      break;
    case Kind::fromMemoryCacheOrRefresh:
      fromMemoryCacheOrRefresh = true;
      break;
    case Kind::forceTransition:
      forceTransition = true;
      break;
    case Kind::cacheMemoryOnly:
      cacheMemoryOnly = true;
      break;
    case Kind::waitForCache:
      waitForCache = true;
      break;
    case Kind::onlyFromCache:
      onlyFromCache = true;
      break;
    case Kind::backgroundDecode:
      backgroundDecode = true;
      break;
    case Kind::preloadAllAnimationData:
      preloadAllAnimationData = true;
      break;
    case Kind::keepCurrentImageWhileLoading:
      keepCurrentImageWhileLoading = true;
      break;
    case Kind::onlyLoadFirstFrame:
      onlyLoadFirstFrame = true;
      break;
    case Kind::cacheOriginalImage:
      cacheOriginalImage = true;
      break;
    case Kind::alsoPrefetchToMemory:
      alsoPrefetchToMemory = true;
      break;
    case Kind::loadDiskFileSynchronously:
      loadDiskFileSynchronously = true;
      break;
    case Kind::asyncCacheTypeCheck:
      asyncCacheTypeCheck = true;
      break;
  }
}

}  // namespace vellum
