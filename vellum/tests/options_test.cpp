// Folding option lists into the parsed record: in order, last item wins, the original-cache fallback after.
#include <gtest/gtest.h>

#include "vellum/general/options.hpp"

namespace vellum {
namespace {

// The cache front is defined elsewhere; the record only holds the pointer, so a distinct address will do.
std::shared_ptr<ImageCache> standInCache() {
  auto holder = std::make_shared<int>(0);
  return std::shared_ptr<ImageCache>(holder, static_cast<ImageCache*>(static_cast<void*>(holder.get())));
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
  for (const auto& options : {VellumParsedOptionsInfo(std::nullopt), VellumParsedOptionsInfo(VellumOptionsInfo{})}) {
    EXPECT_FALSE(options.targetCache || options.originalCache);
  }
}

TEST(ParsedOptions, LastItemWinsAndFlagsOnlyTurnOn) {
  VellumParsedOptionsInfo options{
      VellumOptionsInfoItem::processor(std::make_shared<DefaultImageProcessor>("first")),
      VellumOptionsInfoItem::forceRefresh(),
      VellumOptionsInfoItem::processor(std::make_shared<DefaultImageProcessor>("second")),
      VellumOptionsInfoItem::forceRefresh(),
      VellumOptionsInfoItem::scaleFactor(2),
      VellumOptionsInfoItem::scaleFactor(3),
  };
  EXPECT_EQ(options.processor->identifier(), "second");
  EXPECT_TRUE(options.forceRefresh);
  EXPECT_FALSE(options.fromMemoryCacheOrRefresh);
  EXPECT_EQ(options.scaleFactor, 3);

  // A failure image given as none differs from no failure image at all.
  EXPECT_FALSE(VellumParsedOptionsInfo{VellumOptionsInfoItem::forceTransition()}.onFailureImage.has_value());
  VellumParsedOptionsInfo failureImageNone{VellumOptionsInfoItem::onFailureImage(nullptr)};
  ASSERT_TRUE(failureImageNone.onFailureImage.has_value());
  EXPECT_EQ(*failureImageNone.onFailureImage, nullptr);
}

// A manager's defaults and a call's options fold as the one list they make, and copies of an item read
// the payload it was made with.
TEST(ParsedOptions, TwoListsFoldAsOneAndItemCopiesKeepTheirPayload) {
  auto a = standInCache();
  auto b = standInCache();
  const VellumOptionsInfo defaults{VellumOptionsInfoItem::originalCache(b), VellumOptionsInfoItem::scaleFactor(2)};
  const VellumParsedOptionsInfo both(defaults, VellumOptionsInfo{VellumOptionsInfoItem::targetCache(a),
                                                                 VellumOptionsInfoItem::scaleFactor(3)});
  EXPECT_EQ(both.targetCache, a);
  EXPECT_EQ(both.originalCache, b);  // given in the first list, so it does not follow the target
  EXPECT_EQ(both.scaleFactor, 3);
  const VellumParsedOptionsInfo follows(VellumOptionsInfo{VellumOptionsInfoItem::targetCache(b)},
                                        VellumOptionsInfo{VellumOptionsInfoItem::targetCache(a)});
  EXPECT_EQ(follows.originalCache, a);

  VellumOptionsInfo copies = defaults;
  copies.push_back(copies.front());
  EXPECT_EQ(copies.back().payload<std::shared_ptr<ImageCache>>(), b);
  EXPECT_EQ(copies[1].payload<double>(), 2);
  EXPECT_THROW(copies[1].payload<float>(), std::bad_any_cast);
  EXPECT_THROW(VellumOptionsInfoItem::forceRefresh().payload<bool>(), std::bad_any_cast);
}

}  // namespace
}  // namespace vellum
