// The image-setting flow on menu items, buttons and text attachments, over the real manager and cache.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "view_test_support.hpp"
#include "vellum/views/button_extension.hpp"
#include "vellum/views/image_holder_extension.hpp"
#include "vellum/views/text_attachment_extension.hpp"

namespace vellum::test {
namespace {

using Item = VellumOptionsInfoItem;
using ImageSetting = ViewsFixture;

TEST_F(ImageSetting, ALaterRequestMakesTheEarlierStaleAndSilencesItsProgress) {
  auto gateOne = std::make_shared<Gate>();
  auto two = pngBytes(10, 4);
  server.on("GET", "/one.png", imageReply(png, gateOne));
  server.on("GET", "/two.png", imageReply(two));
  auto item = onMain([] { return std::make_shared<MenuItem>(); });
  auto progressOne = std::make_shared<std::atomic<int>>(0);
  auto progressTwo = std::make_shared<std::atomic<int>>(0);
  Completion first, second;

  onMain([&] {
    vl(item).setImage(source("/one.png"), nullptr, options(),
                      [progressOne](std::int64_t, std::int64_t) { ++*progressOne; }, first.handler());
  });
  ASSERT_TRUE(gateOne->waitForArrivals(1, std::chrono::seconds(10)));
  onMain([&] {
    vl(item).setImage(source("/two.png"), nullptr, options(),
                      [progressTwo](std::int64_t, std::int64_t) { ++*progressTwo; }, second.handler());
  });
  ASSERT_TRUE(second.get()) << second.get().error().what();
  gateOne->open();
  auto stale = first.get();
  ASSERT_FALSE(stale);
  auto staleFrom = staleSource(stale.error());
  ASSERT_NE(staleFrom, nullptr) << stale.error().what();
  EXPECT_EQ(*staleFrom, source("/one.png"));
  flushMain();
  onMain([&] {
    ASSERT_NE(item->image(), nullptr);
    EXPECT_EQ(item->image()->size(), (Size{10, 4}));
    EXPECT_EQ(vl(item).taskIdentifier(), std::nullopt);
  });
  EXPECT_GE(progressTwo->load(), 1);
  EXPECT_EQ(progressOne->load(), 0);
  EXPECT_EQ(first.calls(), 1);
  EXPECT_EQ(second.calls(), 1);
}

TEST_F(ImageSetting, ObjectsAndSlotsKeepTheirOwnRequests) {
  HeldProvider left("left"), right("right"), normal("normal"), pressed("pressed");
  auto [a, b, button] = onMain([] {
    return std::make_tuple(std::make_shared<MenuItem>(), std::make_shared<MenuItem>(), Button::make());
  });
  Completion doneA, doneB, doneNormal, donePressed;
  onMain([&] {
    vl(a).setImage(&left, nullptr, options(), doneA.handler());
    vl(b).setImage(&right, nullptr, options(), doneB.handler());
    vl(button).setImage(Source::provider(normal), nullptr, options(), nullptr, doneNormal.handler());
    vl(button).setAlternateImage(Source::provider(pressed), nullptr, options(), nullptr, donePressed.handler());
    vl(button).cancelAlternateImageDownloadTask();
  });
  right.release(pngBytes(3, 3));
  left.release(pngBytes(2, 2));
  normal.release(pngBytes(5, 5));
  EXPECT_TRUE(doneA.get());
  EXPECT_TRUE(doneB.get());
  EXPECT_TRUE(doneNormal.get()) << "cancelling the alternate slot reached the image slot";
  // An answer after the cancellation changes nothing.
  pressed.release(pngBytes(9, 9));
  EXPECT_FALSE(donePressed.get());
  EXPECT_TRUE(donePressed.get().error().isTaskCancelled() ||
              donePressed.get().error().requestReason() != nullptr)
      << donePressed.get().error().what();
  onMain([&] {
    EXPECT_EQ(a->image()->size(), (Size{2, 2}));
    EXPECT_EQ(b->image()->size(), (Size{3, 3}));
    EXPECT_EQ(button->image()->size(), (Size{5, 5}));
    EXPECT_EQ(button->alternateImage(), nullptr);
    vl(a).cancelDownloadTask();  // nothing running: nothing happens
  });
}

TEST_F(ImageSetting, ANilSourceShowsThePlaceholderAndEndsTheRunningRequest) {
  auto gate = std::make_shared<Gate>();
  server.on("GET", "/slow.png", imageReply(png, gate));
  auto item = onMain([] { return std::make_shared<MenuItem>(); });
  auto placeholder = image(1, 1);
  auto progress = std::make_shared<std::atomic<int>>(0);
  Completion running, cleared;
  onMain([&] {
    vl(item).setImage(source("/slow.png"), nullptr, options(), [progress](std::int64_t, std::int64_t) { ++*progress; },
                      running.handler());
  });
  ASSERT_TRUE(gate->waitForArrivals(1, std::chrono::seconds(10)));
  onMain([&] {
    auto task = vl(item).setImage(std::optional<Source>(), placeholder, options(), cleared.handler());
    EXPECT_EQ(task, nullptr);
    EXPECT_TRUE(cleared.done()) << "emptySource must be reported before the call returns";
    EXPECT_EQ(item->image(), placeholder);
    EXPECT_EQ(vl(item).taskIdentifier(), std::nullopt);
  });
  ASSERT_FALSE(cleared.get());
  EXPECT_TRUE(isEmptySource(cleared.get().error()));
  gate->open();
  auto ended = running.get();
  ASSERT_FALSE(ended);
  EXPECT_NE(staleSource(ended.error()), nullptr);
  flushMain();
  EXPECT_EQ(progress->load(), 0) << "the cleared request still reported progress";
  onMain([&] { EXPECT_EQ(item->image(), placeholder); });
}

TEST_F(ImageSetting, PlaceholdersFailureImagesAndKeepingTheCurrentImage) {
  auto shown = image(4, 4);
  auto placeholder = image(1, 1);
  // Misses in an empty cache fail at once, with no failure image unless one is given.
  auto miss = [&](const std::shared_ptr<MenuItem>& item, VellumOptionsInfo items) {
    Completion done;
    items.push_back(Item::onlyFromCache());
    onMain([&] { vl(item).setImage(source("/missing.png"), placeholder, options(items), done.handler()); });
    EXPECT_FALSE(done.get());
  };
  auto [withImage, empty, plain, cleared] = onMain([&] {
    auto a = std::make_shared<MenuItem>();
    a->setImage(shown);
    return std::make_tuple(a, std::make_shared<MenuItem>(), std::make_shared<MenuItem>(), std::make_shared<MenuItem>());
  });
  miss(withImage, {Item::keepCurrentImageWhileLoading()});
  miss(empty, {Item::keepCurrentImageWhileLoading()});
  miss(plain, {});
  miss(cleared, {Item::onFailureImage(nullptr)});
  onMain([&] {
    EXPECT_EQ(withImage->image(), shown);
    EXPECT_EQ(empty->image(), placeholder);
    EXPECT_EQ(plain->image(), placeholder) << "a failure without a failure image keeps the placeholder";
    EXPECT_EQ(cleared->image(), nullptr);
  });
}

TEST_F(ImageSetting, AReleasedTargetStillGetsTheManagersResult) {
  HeldProvider held("released");
  Completion done;
  std::weak_ptr<MenuItem> gone;
  onMain([&] {
    auto item = std::make_shared<MenuItem>();
    gone = item;
    vl(item).setImage(&held, nullptr, options(), done.handler());
  });
  EXPECT_TRUE(gone.expired()) << "the request keeps its target alive";
  held.release(pngBytes(7, 7));
  auto result = done.get();
  ASSERT_TRUE(result) << result.error().what();
  EXPECT_EQ(result.value().image->size(), (Size{7, 7}));
  EXPECT_EQ(result.value().cacheType, CacheType::none);
}

TEST_F(ImageSetting, ARequestClearedOrReplacedWhileItsImageIsReadFromDiskDownloadsNothing) {
  server.on("GET", "/b.png", imageReply(pngBytes(3, 3)));
  server.on("GET", "/other.png", imageReply(pngBytes(5, 5)));
  ASSERT_TRUE(retrieve(source("/a.png"), {Item::waitForCache()}).result);
  cache->clearMemoryCache();
  const auto alternatives = std::vector<std::shared_ptr<const Source>>{std::make_shared<Source>(source("/other.png"))};
  auto [cleared, replaced, kept] = onMain([] {
    return std::make_tuple(std::make_shared<MenuItem>(), std::make_shared<MenuItem>(), std::make_shared<MenuItem>());
  });
  // The disk reads wait behind work the test holds on the cache's queue, until the requests have changed.
  auto ioHeld = std::make_shared<Gate>();
  OpenOnExit ioReleased{ioHeld};
  cache->ioQueue()->post([ioHeld] { ioHeld->wait(); });
  Completion clearedDone, replacedDone, replacement, keptDone;
  onMain([&] {
    vl(cleared).setImage(source("/a.png"), nullptr, options({Item::alternativeSources(alternatives)}), nullptr,
                         clearedDone.handler());
    vl(cleared).setImage(std::optional<Source>(), nullptr, options());
    vl(replaced).setImage(source("/a.png"), nullptr, options({Item::alternativeSources(alternatives)}), nullptr,
                          replacedDone.handler());
    vl(replaced).setImage(source("/b.png"), nullptr, options(), nullptr, replacement.handler());
    vl(kept).setImage(source("/a.png"), nullptr, options(), nullptr, keptDone.handler());
  });
  ioHeld->open();
  EXPECT_NE(staleSource(clearedDone.get().error()), nullptr);
  EXPECT_NE(staleSource(replacedDone.get().error()), nullptr);
  ASSERT_TRUE(replacement.get());
  auto fromDisk = keptDone.get();
  ASSERT_TRUE(fromDisk) << fromDisk.error().what();
  EXPECT_EQ(fromDisk.value().cacheType, CacheType::disk);
  flushMain();
  // Only the load that stored the image went to the server for it; no alternative was tried either.
  EXPECT_EQ(server.hits("GET", "/a.png"), 1);
  EXPECT_EQ(server.hits("GET", "/other.png"), 0);
  EXPECT_EQ(server.hits("GET", "/b.png"), 1);
}

// Requests that wait for one processing of a stored original: the first of them being replaced meanwhile
// leaves the others their image, made from the original on disk, with nothing more from the network.
TEST_F(ImageSetting, OneRequestReplacedWhileTheSharedOriginalIsReadLeavesTheOthersTheirImage) {
  server.on("GET", "/b.png", imageReply(pngBytes(3, 3)));
  ASSERT_TRUE(retrieve(source("/a.png"), {Item::waitForCache()}).result);
  cache->clearMemoryCache();
  const auto marker = std::make_shared<MarkingProcessor>("marked", 2);
  auto [replaced, kept] = onMain([] { return std::make_tuple(std::make_shared<MenuItem>(), std::make_shared<MenuItem>()); });
  auto ioHeld = std::make_shared<Gate>();
  OpenOnExit ioReleased{ioHeld};
  cache->ioQueue()->post([ioHeld] { ioHeld->wait(); });
  Completion replacedDone, replacement, keptDone;
  onMain([&] {
    vl(replaced).setImage(source("/a.png"), nullptr, options({Item::processor(marker)}), nullptr, replacedDone.handler());
    vl(kept).setImage(source("/a.png"), nullptr, options({Item::processor(marker)}), nullptr, keptDone.handler());
  });
  onMain([&] { vl(replaced).setImage(source("/b.png"), nullptr, options(), nullptr, replacement.handler()); });
  ioHeld->open();
  EXPECT_NE(staleSource(replacedDone.get().error()), nullptr);
  ASSERT_TRUE(replacement.get());
  const auto made = keptDone.get();
  ASSERT_TRUE(made) << made.error().what();
  EXPECT_EQ(made.value().image->size(), (Size{2, 1}));
  flushMain();
  EXPECT_EQ(server.hits("GET", "/a.png"), 1);
}

// The same, round after round on one cache: no round sends a stale request to the network.
TEST_F(ImageSetting, RequestsClearedOrReplacedWhileReadFromDiskNeverDownloadInAnyRound) {
  server.on("GET", "/b.png", imageReply(pngBytes(3, 3)));
  ASSERT_TRUE(retrieve(source("/a.png"), {Item::waitForCache()}).result);
  auto [cleared, replaced] = onMain([] { return std::make_tuple(std::make_shared<MenuItem>(), std::make_shared<MenuItem>()); });
  for (int round = 0; round < 20; ++round) {
    cache->clearMemoryCache();
    auto ioHeld = std::make_shared<Gate>();
    OpenOnExit ioReleased{ioHeld};
    cache->ioQueue()->post([ioHeld] { ioHeld->wait(); });
    Completion clearedDone, replacedDone, replacement;
    onMain([&] {
      vl(cleared).setImage(source("/a.png"), nullptr, options(), nullptr, clearedDone.handler());
      vl(replaced).setImage(source("/a.png"), nullptr, options(), nullptr, replacedDone.handler());
    });
    // A turn of the main queue between the start and the change, as a user's scrolling gives.
    onMain([&] {
      vl(cleared).setImage(std::optional<Source>(), nullptr, options());
      vl(replaced).setImage(source("/b.png"), nullptr, options({Item::forceRefresh()}), nullptr, replacement.handler());
    });
    ioHeld->open();
    EXPECT_NE(staleSource(clearedDone.get().error()), nullptr) << "round " << round;
    EXPECT_NE(staleSource(replacedDone.get().error()), nullptr) << "round " << round;
    ASSERT_TRUE(replacement.get()) << "round " << round;
  }
  flushMain();
  EXPECT_EQ(server.hits("GET", "/a.png"), 1);
  EXPECT_EQ(server.hits("GET", "/b.png"), 20);
}

TEST_F(ImageSetting, TextAttachmentsRedrawTheirViewOnceAfterASuccess) {
  HeldProvider good("good"), bad("bad");
  auto [attachment, failing, label] = onMain([] {
    return std::make_tuple(TextAttachment::make(), TextAttachment::make(), View::make(Rect{{0, 0}, {40, 12}}));
  });
  auto placeholder = image(1, 1);
  int asked = 0;
  Completion done, failed;
  onMain([&] {
    vl(attachment).setImage(Source::provider(good), [&] { ++asked; return label; }, placeholder, options(),
                            nullptr, done.handler());
    EXPECT_EQ(attachment->image(), placeholder);
    vl(failing).setImage(Source::provider(bad), [&] { ++asked; return label; }, placeholder,
                         options({Item::keepCurrentImageWhileLoading(), Item::onFailureImage(nullptr)}), nullptr,
                         failed.handler());
    EXPECT_EQ(failing->image(), nullptr) << "keeping the current image never shows the placeholder";
  });
  bad.release({});
  EXPECT_FALSE(failed.get());
  good.release(pngBytes(6, 6));
  EXPECT_TRUE(done.get());
  onMain([&] {
    EXPECT_EQ(asked, 2);
    EXPECT_EQ(attachment->image()->size(), (Size{6, 6}));
    EXPECT_EQ(label->dirtyRects(), (std::vector<Rect>{label->bounds()}));
  });
}

TEST_F(ImageSetting, AFileResourceIsAFileForAButtonButANetworkSourceForAnAttachment) {
  std::filesystem::path file = directory.path() / "local.png";
  std::ofstream(file, std::ios::binary).write(reinterpret_cast<const char*>(png.data()), static_cast<long>(png.size()));
  VL::ImageResource resource(*URL::parse("file://" + file.string()));
  auto [button, attachment] = onMain([] { return std::make_tuple(Button::make(), TextAttachment::make()); });
  Completion buttonDone, attachmentDone;
  onMain([&] {
    vl(button).setImage(&resource, nullptr, options(), nullptr, buttonDone.handler());
    vl(attachment).setImage(&resource, [] { return nullptr; }, nullptr, options(), nullptr, attachmentDone.handler());
  });
  auto forButton = buttonDone.get();
  ASSERT_TRUE(forButton) << forButton.error().what();
  EXPECT_EQ(forButton.value().source.kind(), Source::Kind::provider);
  // The downloader, not a file provider, handles the attachment's file URL, whatever it makes of it.
  auto forAttachment = attachmentDone.get();
  if (forAttachment) {
    EXPECT_EQ(forAttachment.value().source.kind(), Source::Kind::network);
  } else {
    auto kind = forAttachment.error().errorCase();
    EXPECT_TRUE(kind == VellumError::Case::requestError || kind == VellumError::Case::responseError)
        << forAttachment.error().what();
  }
  flushMain();
}

}  // namespace
}  // namespace vellum::test
