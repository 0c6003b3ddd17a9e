// Folding option lists into the parsed record.
#include <gtest/gtest.h>

#include "vellum/options.hpp"

namespace vellum {
namespace {

// The cache front is defined elsewhere; the record only holds the pointer, so a distinct address will do.
std::shared_ptr<ImageCache> standInCache() {
  auto holder = std::make_shared<int>(0);
  return std::shared_ptr<ImageCache>(holder, static_cast<ImageCache*>(static_cast<void*>(holder.get())));
}

TEST(ParsedOptions, DefaultsForAbsentAndEmptyLists) {
  for (const auto& options : {VellumParsedOptionsInfo(std::nullopt), VellumParsedOptionsInfo(VellumOptionsInfo{})}) {
    EXPECT_FALSE(options.targetCache);
    EXPECT_FALSE(options.originalCache);
    EXPECT_EQ(options.downloadPriority, 0.5f);
    EXPECT_EQ(options.scaleFactor, 1.0);
    EXPECT_EQ(options.callbackQueue.kind(), CallbackQueue::Kind::mainCurrentOrAsync);
    ASSERT_TRUE(options.processor);
    EXPECT_EQ(options.processor->identifier(), "");
    ASSERT_TRUE(options.cacheSerializer);
    auto serializer = std::dynamic_pointer_cast<const DefaultCacheSerializer>(options.cacheSerializer);
    ASSERT_TRUE(serializer);
    EXPECT_EQ(serializer->compressionQuality, 1.0);
    EXPECT_FALSE(serializer->preferCacheOriginalData);
    EXPECT_FALSE(options.onFailureImage.has_value());
    EXPECT_FALSE(options.memoryCacheExpiration);
    EXPECT_FALSE(options.diskCacheExpiration);
    EXPECT_EQ(options.memoryCacheAccessExtendingExpiration, ExpirationExtending::cacheTime());
    EXPECT_EQ(options.diskCacheAccessExtendingExpiration, ExpirationExtending::cacheTime());
    EXPECT_EQ(options.transition, ImageTransition::none());
    EXPECT_EQ(options.diskStoreWriteOptions, 0u);
    EXPECT_FALSE(options.forceRefresh || options.cacheMemoryOnly || options.onlyFromCache ||
                 options.backgroundDecode || options.onlyLoadFirstFrame || options.loadDiskFileSynchronously);
    EXPECT_FALSE(options.processingQueue || options.progressiveJPEG || options.alternativeSources ||
                 options.retryStrategy || options.lowDataModeSource || options.forcedExtension ||
                 options.onDataReceived || options.sourceTaskIdentifierChecker);
  }
}

TEST(ParsedOptions, OriginalCacheFollowsTargetUnlessGiven) {
  auto a = standInCache();
  auto b = standInCache();
  VellumParsedOptionsInfo onlyTarget{VellumOptionsInfoItem::targetCache(a)};
  EXPECT_EQ(onlyTarget.targetCache, a);
  EXPECT_EQ(onlyTarget.originalCache, a);

  VellumParsedOptionsInfo originalFirst{VellumOptionsInfoItem::originalCache(b), VellumOptionsInfoItem::targetCache(a)};
  VellumParsedOptionsInfo targetFirst{VellumOptionsInfoItem::targetCache(a), VellumOptionsInfoItem::originalCache(b)};
  for (const auto& options : {originalFirst, targetFirst}) {
    EXPECT_EQ(options.targetCache, a);
    EXPECT_EQ(options.originalCache, b);
  }
  VellumParsedOptionsInfo neither{VellumOptionsInfoItem::forceRefresh()};
  EXPECT_FALSE(neither.originalCache);
}

TEST(ParsedOptions, LastItemWinsAndFlagsOnlyTurnOn) {
  auto first = std::make_shared<DefaultImageProcessor>("first");
  auto second = std::make_shared<DefaultImageProcessor>("second");
  auto queue = std::make_shared<foundation::SerialQueue>("q");
  VellumParsedOptionsInfo options{
      VellumOptionsInfoItem::processor(first),
      VellumOptionsInfoItem::callbackQueue(CallbackQueue::untouch()),
      VellumOptionsInfoItem::forceRefresh(),
      VellumOptionsInfoItem::processor(second),
      VellumOptionsInfoItem::callbackQueue(CallbackQueue::dispatch(queue)),
      VellumOptionsInfoItem::forceRefresh(),
      VellumOptionsInfoItem::scaleFactor(2),
      VellumOptionsInfoItem::scaleFactor(3),
  };
  EXPECT_EQ(options.processor->identifier(), "second");
  EXPECT_EQ(options.callbackQueue, CallbackQueue::dispatch(queue));
  EXPECT_TRUE(options.forceRefresh);
  EXPECT_FALSE(options.fromMemoryCacheOrRefresh);
  EXPECT_EQ(options.scaleFactor, 3);
}

TEST(ParsedOptions, PayloadsLandInTheirFields) {
  VellumParsedOptionsInfo failureImageUnset{VellumOptionsInfoItem::forceTransition()};
  VellumParsedOptionsInfo failureImageNone{VellumOptionsInfoItem::onFailureImage(nullptr)};
  EXPECT_FALSE(failureImageUnset.onFailureImage.has_value());
  ASSERT_TRUE(failureImageNone.onFailureImage.has_value());
  EXPECT_EQ(*failureImageNone.onFailureImage, nullptr);

  VellumParsedOptionsInfo options{
      VellumOptionsInfoItem::memoryCacheExpiration(StorageExpiration::never()),
      VellumOptionsInfoItem::diskCacheExpiration(StorageExpiration::days(3)),
      VellumOptionsInfoItem::diskCacheAccessExtendingExpiration(ExpirationExtending::none()),
      VellumOptionsInfoItem::forcedCacheFileExtension("png"),
      VellumOptionsInfoItem::lowDataMode(nullptr),
      VellumOptionsInfoItem::transition(ImageTransition::fade(0.3)),
      VellumOptionsInfoItem::downloadPriority(0.9f),
      VellumOptionsInfoItem::diskStoreWriteOptions(1),
      VellumOptionsInfoItem::processingQueue(CallbackQueue::untouch()),
      VellumOptionsInfoItem::cacheSerializer(std::make_shared<FormatIndicatedCacheSerializer>(
          FormatIndicatedCacheSerializer::png())),
      VellumOptionsInfoItem::onlyLoadFirstFrame(),
      VellumOptionsInfoItem::asyncCacheTypeCheck(),
  };
  EXPECT_EQ(options.memoryCacheExpiration, StorageExpiration::never());
  EXPECT_EQ(options.diskCacheExpiration, StorageExpiration::days(3));
  EXPECT_EQ(options.diskCacheAccessExtendingExpiration, ExpirationExtending::none());
  EXPECT_EQ(options.forcedExtension, "png");
  EXPECT_FALSE(options.lowDataModeSource);
  EXPECT_EQ(options.transition, ImageTransition::fade(0.3));
  EXPECT_EQ(options.downloadPriority, 0.9f);
  EXPECT_EQ(options.diskStoreWriteOptions, 1u);
  EXPECT_EQ(options.processingQueue, CallbackQueue::untouch());
  EXPECT_TRUE(std::dynamic_pointer_cast<const FormatIndicatedCacheSerializer>(options.cacheSerializer));
  EXPECT_TRUE(options.onlyLoadFirstFrame);
  EXPECT_TRUE(options.asyncCacheTypeCheck);
  EXPECT_FALSE(options.preloadAllAnimationData);
}

}  // namespace
}  // namespace vellum
