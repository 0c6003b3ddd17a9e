// The builder over the real manager and cache.
#include "vellum/views/vl_builder.hpp"

#include <gtest/gtest.h>

#include <thread>

#include "view_test_support.hpp"

namespace vellum::test {
namespace {

using Item = VellumOptionsInfoItem;
using VLBuilder = ViewsFixture;

// Records, for each load it processes, how many data observers the load carried.
class ObserverCountingProcessor final : public ImageProcessor {
 public:
  std::string identifier() const override { return "test.observers"; }
  ImagePtr process(const ImageProcessItem& item, const VellumParsedOptionsInfo& options) const override {
    std::lock_guard lock(mutex);
    observers.push_back(options.onDataReceived ? options.onDataReceived->size() : 0);
    return DefaultImageProcessor::defaultProcessor()->process(item, options);
  }
  mutable std::mutex mutex;
  mutable std::vector<std::size_t> observers;
};

TEST_F(VLBuilder, BuildersWithoutASourceShowThePlaceholderAndReportEmptySource) {
  auto gray = image(1, 1);
  std::vector<std::shared_ptr<VL::Builder>> builders{
      VL::source(std::nullopt), VL::resource(nullptr), VL::url(std::nullopt, "key"), VL::dataProvider(nullptr),
      VL::data(std::nullopt, "key")};
  for (auto& builder : builders) {
    int failures = 0;
    bool empty = false;
    builder->placeholder(gray)->onFailure([&](const VellumError& e) {
      ++failures;
      empty = isEmptySource(e);
    });
    onMain([&] {
      auto view = ImageView::make();
      EXPECT_EQ(builder->set(view), nullptr);
      EXPECT_EQ(view->image(), gray);
    });
    EXPECT_EQ(failures, 1);
    EXPECT_TRUE(empty);
  }
}

TEST_F(VLBuilder, AProgressBlockIsHandedOnOnlyOnceOnProgressWasCalled) {
  auto counting = std::make_shared<ObserverCountingProcessor>();
  HeldProvider first("first"), second("second");
  auto builderFor = [&](const HeldProvider& provider) {
    return VL::dataProvider(&provider)->setProcessor(counting)->targetCache(cache)->downloader(downloader);
  };
  auto without = builderFor(first);
  auto with = builderFor(second)->onProgress(nullptr);
  Awaited<bool> doneWithout, doneWith;
  without->onSuccess([&](const RetrieveImageResult&) { doneWithout.set(true); });
  with->onSuccess([&](const RetrieveImageResult&) { doneWith.set(true); });
  onMain([&] {
    without->set(ImageView::make());
  });
  first.release(photo);
  doneWithout.get();
  onMain([&] { with->set(ImageView::make()); });
  second.release(photo);
  doneWith.get();
  EXPECT_EQ(counting->observers, (std::vector<std::size_t>{0, 1}));
}

TEST_F(VLBuilder, ASnapshotIsTakenAtSetAndViewPlaceholdersSuitOnlyImageViews) {
  auto counting = std::make_shared<ObserverCountingProcessor>();
  HeldProvider held("snapshot");
  auto box = View::make();
  Awaited<RetrieveImageResult> done;
  auto successes = std::make_shared<std::atomic<int>>(0);
  std::weak_ptr<VL::Builder> weakBuilder;
  auto [view, button, attachment] =
      onMain([] { return std::make_tuple(ImageView::make(), Button::make(), TextAttachment::make()); });
  onMain([&] {
    auto builder = VL::dataProvider(&held)->targetCache(cache)->downloader(downloader);
    builder->setPlaceholder(box);
    // Four loads: the image view, both button slots and the attachment.
    builder->onSuccess([&done, successes](const RetrieveImageResult& r) {
      if (++*successes == 4) done.set(r);
    });
    weakBuilder = builder;
    builder->set(view);
    EXPECT_EQ(box->superview(), view);
    builder->set(button);
    builder->setAlternative(button);
    builder->set(attachment, [] { return nullptr; });
    EXPECT_EQ(button->image(), nullptr);
    EXPECT_EQ(attachment->image(), nullptr);
    // Changes after the loads started reach none of them.
    builder->setProcessor(counting)->loadImmediately(false);
  });
  EXPECT_FALSE(weakBuilder.expired()) << "a running load keeps its builder";
  for (int i = 0; i < 4; ++i) held.release(photo);
  EXPECT_EQ(done.get().image->size(), (Size{8, 6}));
  flushMain();
  EXPECT_TRUE(counting->observers.empty());
  onMain([&] {
    EXPECT_EQ(view->image()->size(), (Size{8, 6}));
    EXPECT_EQ(box->superview(), nullptr);
  });
  EXPECT_TRUE(weakBuilder.expired());
}

TEST(VLBuilderConcurrency, SettersFromManyThreadsLoseNothing) {
  auto builder = VL::url(URL::parse("http://127.0.0.1/a.png"));
  constexpr int kRounds = 1000;
  std::vector<std::function<void(int)>> setters{
      [&](int i) { builder->downloadPriority(static_cast<float>(i)); },
      [&](int i) { builder->scaleFactor(i); },
      [&](int i) { builder->diskStoreWriteOptions(static_cast<std::uint64_t>(i)); },
      [&](int i) { builder->memoryCacheExpiration(StorageExpiration::seconds(i)); },
      [&](int i) { builder->diskCacheExpiration(StorageExpiration::seconds(i)); },
      [&](int i) { builder->retry(i); },
      [&](int) { builder->blackWhite(); },
      [&](int i) { builder->keepCurrentImageWhileLoading(i % 2 == 0); },
  };
  {
    std::vector<std::jthread> threads;
    for (auto& set : setters) {
      threads.emplace_back([&set] {
        for (int i = 1; i <= kRounds; ++i) set(i);
      });
    }
  }
  auto options = builder->options();
  EXPECT_EQ(options.downloadPriority, static_cast<float>(kRounds));
  EXPECT_EQ(options.scaleFactor, kRounds);
  EXPECT_EQ(options.diskStoreWriteOptions, static_cast<std::uint64_t>(kRounds));
  EXPECT_EQ(options.memoryCacheExpiration, StorageExpiration::seconds(kRounds));
  EXPECT_EQ(options.diskCacheExpiration, StorageExpiration::seconds(kRounds));
  auto retry = std::dynamic_pointer_cast<DelayRetryStrategy>(options.retryStrategy);
  ASSERT_NE(retry, nullptr);
  EXPECT_EQ(retry->maxRetryCount, kRounds);
  EXPECT_TRUE(options.keepCurrentImageWhileLoading);
  const std::string part = "com.marrowby.Vellum.BlackWhiteProcessor";
  const std::string identifier = options.processor->identifier();
  std::size_t count = 0;
  for (auto at = identifier.find(part); at != std::string::npos; at = identifier.find(part, at + 1)) ++count;
  EXPECT_EQ(count, static_cast<std::size_t>(kRounds));
}

}  // namespace
}  // namespace vellum::test
