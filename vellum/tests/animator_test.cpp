// The animator: which frames it keeps decoded, at what size, and how it counts loops. Jobs run on a real
// preload queue; each test flushes that queue (bounded) before it looks at the frame store.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "animation_test_support.hpp"
#include "cache_test_support.hpp"
#include "main_queue_support.hpp"
#include "foundation/main_queue.hpp"
#include "vellum/views/animator.hpp"
#include "vellum/general/main_actor.hpp"

namespace vellum::test {
namespace {

using Kind = FrameSizing::Kind;

TEST(AnimatorSizing, SizingRuleTable) {
  const Size wide{400, 200};
  struct Row {
    Size view;
    ImageScaling mode;
    bool prescale;
    Size image;
    FrameSizing expected;
  };
  const Row rows[] = {
      // Fit inside: 100 x 100 view, 2:1 image -> 100 x 50.
      {{100, 100}, ImageScaling::scaleProportionallyDown, true, wide, FrameSizing::limited({100, 50})},
      {{100, 100}, ImageScaling::scaleProportionallyUpOrDown, true, wide, FrameSizing::limited({100, 50})},
      // Cover: the same view needs 200 x 100.
      {{100, 100}, ImageScaling::scaleAxesIndependently, true, wide, FrameSizing::limited({200, 100})},
      {{100, 100}, ImageScaling::scaleNone, true, wide, FrameSizing::original()},
      {{100, 100}, static_cast<ImageScaling>(7), true, wide, FrameSizing::original()},
      {{100, 100}, ImageScaling::scaleProportionallyDown, false, wide, FrameSizing::original()},
      {{100, 100}, ImageScaling::scaleProportionallyDown, true, {0, 200}, FrameSizing::original()},
      {{0, 100}, ImageScaling::scaleProportionallyDown, true, wide, FrameSizing::pending()},
      {{100, -1}, ImageScaling::scaleAxesIndependently, true, wide, FrameSizing::pending()},
      // A view as large as the image on one side: decoded whole.
      {{400, 400}, ImageScaling::scaleProportionallyDown, true, wide, FrameSizing::original()},
      // 1.25 x 2 = 2.5 rounds to 3 (half away from zero; to-even would give 2 and a 2-wide target).
      {{3, 1.25}, ImageScaling::scaleProportionallyDown, true, {200, 100}, FrameSizing::limited({3, 1.25})},
      // A 1 x 1 view of a 4000-pixel image: one pixel.
      {{1, 1}, ImageScaling::scaleProportionallyDown, true, {4000, 4000}, FrameSizing::limited({1, 1})},
      // A sliver keeps at least one pixel a side: 0.4 rounds to 0 and is lifted to 1.
      {{1, 0.2}, ImageScaling::scaleAxesIndependently, true, {4000, 2000}, FrameSizing::limited({1, 1})},
  };
  for (const Row& row : rows) {
    const FrameSizing got = frameSizing(row.view, row.mode, row.prescale, row.image);
    EXPECT_EQ(got, row.expected) << row.view.width << "x" << row.view.height << " mode " << int(row.mode)
                                 << " -> kind " << int(got.kind) << " " << got.size.width << "x" << got.size.height;
  }
}

TEST(AnimatorSizing, MergeRuleTable) {
  const auto limited = [](double w, double h) { return FrameSizing::limited({w, h}); };
  struct Row {
    FrameSizing current, proposed;
    std::optional<FrameSizing> expected;
  };
  const Row rows[] = {
      {limited(100, 50), limited(100.5, 50.9), std::nullopt},  // less than a pixel more
      {limited(100, 50), limited(60, 30), std::nullopt},       // smaller: kept
      {limited(100, 50), limited(101, 20), limited(101, 50)},  // each side keeps its maximum
      {limited(100, 50), FrameSizing::pending(), std::nullopt},
      {limited(100, 50), FrameSizing::original(), FrameSizing::original()},
      {FrameSizing::pending(), limited(10, 10), limited(10, 10)},
      {FrameSizing::pending(), FrameSizing::original(), FrameSizing::original()},
      {FrameSizing::original(), limited(10, 10), std::nullopt},
      {FrameSizing::original(), FrameSizing::original(), std::nullopt},
  };
  for (const Row& row : rows) EXPECT_EQ(mergedFrameSizing(row.current, row.proposed), row.expected);
}

TEST(AnimatorSizing, RepeatCountEquality) {
  EXPECT_EQ(RepeatCount::once(), RepeatCount::finite(1));
  EXPECT_EQ(RepeatCount::finite(1), RepeatCount::once());
  EXPECT_NE(RepeatCount::finite(0), RepeatCount::once());
  EXPECT_NE(RepeatCount::infinite(), RepeatCount::finite(0));
  EXPECT_EQ(RepeatCount::infinite(), RepeatCount::infinite());
  EXPECT_NE(RepeatCount::finite(2), RepeatCount::finite(3));
}

TEST(MainActorAssumption, OffTheMainQueueStopsTheProcess) {
  EXPECT_EQ(foundation::MainQueue::sync([] { return assumeMainActorIsolation([] { return 7; }); }), 7);
  EXPECT_DEATH(assumeMainActorIsolation([] { return 1; }),
               "Incorrect actor executor assumption; Expected same executor as MainActor\\.");
  EXPECT_DEATH(mainActorAssumeIsolated([] {}),
               "Incorrect actor executor assumption; Expected same executor as MainActor\\.");
}

class AnimatorConcurrency : public ::testing::Test {
 protected:
  std::shared_ptr<foundation::SerialQueue> queue = std::make_shared<foundation::SerialQueue>("preload");
  std::shared_ptr<RecordingAnimatorDelegate> delegate = std::make_shared<RecordingAnimatorDelegate>();

  std::shared_ptr<Animator> start(const CountingFrameSource& source, int window, Size view = {64, 64},
                                  Size image = {64, 64}, RepeatCount repeat = RepeatCount::infinite()) {
    auto animator = onMain([&] {
      auto a = Animator::make(source.copy(), ImageScaling::scaleProportionallyDown, view, image, 1.0, window, repeat, queue);
      a->delegate = delegate;
      a->prepareFrames();
      return a;
    });
    settle();
    return animator;
  }

  void settle() {
    flush(*queue);
    flushMain();
  }
  // One frame on, as the view does at the end of a frame's time.
  void advance(Animator& animator) {
    onMain([&] { animator.advanceFrame(); });
    settle();
  }
  // Keeps the preload queue busy until the promise is set (or the deadline passes).
  std::promise<void> hold() {
    std::promise<void> gate;
    queue->post([opened = gate.get_future().share()] { opened.wait_for(kDeadline); });
    return gate;
  }
  static std::size_t decodedSlots(const Animator& animator) {
    std::size_t n = 0;
    for (std::size_t i = 0; i < animator.frameCount(); ++i) n += animator.frameImage(std::ptrdiff_t(i)) ? 1 : 0;
    return n;
  }
};

TEST_F(AnimatorConcurrency, TwelveFramesWithAWindowOfTenNeverHoldMoreThanEleven) {
  CountingFrameSource source(12, 8, 8);
  auto animator = start(source, 10);
  EXPECT_TRUE(animator->preloadingIsNeeded());
  EXPECT_EQ(decodedSlots(*animator), 11u);
  EXPECT_EQ(source.decodeCount(), 11u);
  for (int step = 1; step <= 30; ++step) {
    advance(*animator);
    EXPECT_LE(decodedSlots(*animator), 11u) << "after " << step << " steps";
    // The frame on screen and the ten after it are the ones held.
    const auto current = std::size_t(animator->currentFrameIndex());
    EXPECT_NE(animator->frameImage(std::ptrdiff_t(current)), nullptr);
    for (std::size_t k = 1; k <= 10; ++k) EXPECT_NE(animator->frameImage(std::ptrdiff_t((current + k) % 12)), nullptr);
  }
  // Past set-up each step decodes exactly the one frame that entered the window.
  EXPECT_EQ(source.decodeCount(), 11u + 30u);
  EXPECT_DOUBLE_EQ(animator->loopDuration(), 12 * 0.05);
}

TEST_F(AnimatorConcurrency, ElevenFramesWithAWindowOfTenStayDecoded) {
  CountingFrameSource source(11, 8, 8);
  auto animator = start(source, 10);
  EXPECT_FALSE(animator->preloadingIsNeeded());
  for (int step = 0; step < 25; ++step) advance(*animator);
  EXPECT_EQ(decodedSlots(*animator), 11u);
  EXPECT_EQ(source.decodeCount(), 11u);
}

TEST_F(AnimatorConcurrency, AWindowBelowOneCountsAsOne) {
  for (int window : {0, -5}) {
    CountingFrameSource source(5, 8, 8);
    auto animator = start(source, window);
    EXPECT_EQ(animator->maxFrameCount(), 1);
    EXPECT_EQ(decodedSlots(*animator), 2u);
    for (int step = 1; step <= 8; ++step) {
      advance(*animator);
      EXPECT_EQ(decodedSlots(*animator), 2u);
    }
    // Only the frame entering the window is decoded at each step, never the one just left.
    EXPECT_EQ(source.decodeCount(), 2u + 8u) << "window " << window;
    const auto indices = source.decodedIndices();
    for (std::size_t i = 2; i < indices.size(); ++i) EXPECT_EQ(indices[i], (i) % 5);
  }
}

TEST_F(AnimatorConcurrency, ZeroSizeDecodesNothingUntilTheViewHasASize) {
  CountingFrameSource source(3, 400, 200);
  auto animator = start(source, 10, {0, 0}, {400, 200});
  EXPECT_EQ(animator->frameSizing(), FrameSizing::pending());
  EXPECT_EQ(decodedSlots(*animator), 0u);
  EXPECT_EQ(source.decodeCount(), 0u);

  onMain([&] { animator->updateFrameSizing({100, 100}, ImageScaling::scaleProportionallyDown); });
  settle();
  EXPECT_EQ(animator->frameSizing(), FrameSizing::limited({100, 50}));
  EXPECT_EQ(decodedSlots(*animator), 3u);
  for (const auto& size : source.decodedSizes()) EXPECT_EQ(size, (Size{100, 50}));
  EXPECT_EQ(animator->frameImage(0)->pixelSize(), (Size{100, 50}));
  EXPECT_EQ(delegate->refreshes(), 1);  // the frame on screen came in

  // Shrinking, or growing by less than a pixel, decodes nothing again; growing does, once.
  const auto before = source.decodeCount();
  onMain([&] {
    animator->updateFrameSizing({50, 50}, ImageScaling::scaleProportionallyDown);
    animator->updateFrameSizing({100.5, 100.5}, ImageScaling::scaleProportionallyDown);
  });
  settle();
  EXPECT_EQ(source.decodeCount(), before);
  EXPECT_EQ(animator->frameSizingVersion(), 1);
  onMain([&] { animator->updateFrameSizing({200, 200}, ImageScaling::scaleProportionallyDown); });
  settle();
  EXPECT_EQ(source.decodeCount(), before + 3);
  EXPECT_EQ(animator->frameImage(2)->pixelSize(), (Size{200, 100}));
}

TEST_F(AnimatorConcurrency, ANewerSizingSupersedesAnOlderReload) {
  CountingFrameSource source(4, 400, 200);
  auto animator = start(source, 10, {40, 40}, {400, 200});
  const auto before = source.decodeCount();
  // Two sizings scheduled back to back: the first pass sees the newer version and stops at once.
  std::promise<void> gate = hold();
  onMain([&] {
    animator->updateFrameSizing({100, 100}, ImageScaling::scaleProportionallyDown);
    animator->updateFrameSizing({200, 200}, ImageScaling::scaleProportionallyDown);
  });
  gate.set_value();
  settle();
  EXPECT_EQ(source.decodeCount(), before + 4);
  for (std::size_t i = 0; i < 4; ++i) EXPECT_EQ(animator->frameImage(std::ptrdiff_t(i))->pixelSize(), (Size{200, 100}));
}

TEST_F(AnimatorConcurrency, LoopsAreCountedOnArrivalAndReportedOnTheWrap) {
  CountingFrameSource source(3, 4, 4);
  auto animator = start(source, 10);
  advance(*animator);
  advance(*animator);  // at the last frame: one loop counted, not yet told
  EXPECT_EQ(animator->currentRepeatCount, 1u);
  EXPECT_TRUE(delegate->loops().empty());
  advance(*animator);  // wrapped to frame 0
  EXPECT_EQ(delegate->loops(), std::vector<unsigned>{1});
  EXPECT_FALSE(animator->isFinished);
}

TEST_F(AnimatorConcurrency, OnceReportsOneAndFinishes) {
  CountingFrameSource source(3, 4, 4);
  auto animator = start(source, 10, {64, 64}, {64, 64}, RepeatCount::once());
  advance(*animator);
  EXPECT_FALSE(animator->isFinished);
  advance(*animator);
  EXPECT_TRUE(animator->isFinished);
  EXPECT_TRUE(animator->hasReachedMaxRepeatCount());
  EXPECT_EQ(delegate->loops(), std::vector<unsigned>{1});
}

TEST_F(AnimatorConcurrency, NoFramesNeverAdvances) {
  CountingFrameSource source(0, 4, 4);
  auto animator = start(source, 10);
  EXPECT_EQ(animator->loopDuration(), 0.0);
  EXPECT_EQ(animator->currentFrameDuration(), std::numeric_limits<double>::infinity());
  advance(*animator);
  EXPECT_EQ(animator->currentFrameIndex(), 0);
  EXPECT_EQ(animator->currentFrameImage(), nullptr);
}

// An index from outside is a place in the loop: one past either end wraps round into it. Before, the largest
// index overflowed at the next frame change and a negative one played frames that do not exist.
TEST_F(AnimatorConcurrency, AnIndexOutsideTheFramesWrapsIntoThem) {
  CountingFrameSource source(5, 4, 4);
  auto animator = start(source, 10);
  const std::pair<std::ptrdiff_t, std::ptrdiff_t> cases[] = {
      {std::numeric_limits<std::ptrdiff_t>::max(), std::numeric_limits<std::ptrdiff_t>::max() % 5},
      {-1, 4},
      {-7, 3},
      {std::numeric_limits<std::ptrdiff_t>::min(), 2},  // -(2^63) = 5 * k + 2 for k = -(2^63 + 2) / 5
      {12, 2},
  };
  for (const auto& [given, placed] : cases) {
    onMain([&, given = given] { animator->setCurrentFrameIndex(given); });
    settle();
    EXPECT_EQ(animator->currentFrameIndex(), placed) << given;
    EXPECT_NE(animator->currentFrameImage(), nullptr) << given;
    advance(*animator);
    EXPECT_EQ(animator->currentFrameIndex(), (placed + 1) % 5) << given;
  }
}

TEST_F(AnimatorConcurrency, AFrameThatFailsToDecodeStaysAPlaceholder) {
  CountingFrameSource source(4, 4, 4, 0.05, {1});
  auto animator = start(source, 10);
  EXPECT_EQ(decodedSlots(*animator), 3u);
  advance(*animator);
  EXPECT_EQ(animator->currentFrameImage(), nullptr);
  EXPECT_EQ(animator->currentFrameDuration(), 0.05);
}

TEST_F(AnimatorConcurrency, ClearingKeepsOnlyTheCurrentFrame) {
  CountingFrameSource source(5, 4, 4);
  auto animator = start(source, 10);
  advance(*animator);
  onMain([&] { animator->clearFrames(true); });
  settle();
  EXPECT_EQ(decodedSlots(*animator), 1u);
  EXPECT_NE(animator->frameImage(1), nullptr);
  onMain([&] { animator->clearFrames(false); });
  settle();
  EXPECT_EQ(decodedSlots(*animator), 0u);
}

TEST_F(AnimatorConcurrency, ACancelledAnimatorDecodesNothingMore) {
  CountingFrameSource source(30, 4, 4);
  // The set-up job is still queued when the view lets go of the animator.
  std::promise<void> gate = hold();
  auto animator = onMain([&] {
    auto a = Animator::make(source.copy(), ImageScaling::scaleProportionallyDown, {8, 8}, {4, 4}, 1.0, 10,
                            RepeatCount::infinite(), queue);
    a->prepareFrames();
    a->cancel();
    return a;
  });
  gate.set_value();
  settle();
  EXPECT_EQ(source.decodeCount(), 0u);
  EXPECT_EQ(animator->frameCount(), 30u);
}

// Frames whose pixels, once their last holder lets go, count whether that happened on the main queue.
class ReleaseCountingFrameSource final : public ImageFrameSource {
 public:
  struct Releases {
    std::atomic<int> onMain{0}, elsewhere{0};
    Awaited<bool> reached;
    int awaited = 0;
  };
  ReleaseCountingFrameSource(std::size_t count, std::shared_ptr<Releases> releases)
      : count_(count), releases_(std::move(releases)) {}

  std::shared_ptr<const foundation::Bytes> data() const override { return nullptr; }
  std::size_t frameCount() const override { return count_; }
  ImagePtr frame(std::size_t index, std::optional<Size>) const override {
    if (index >= count_) return nullptr;
    auto bitmap = std::shared_ptr<const Bitmap>(new Bitmap{1, 1, {std::uint8_t(index), 0, 0, 255}},
                                                [releases = releases_](const Bitmap* pixels) {
                                                  delete pixels;
                                                  (foundation::MainQueue::isCurrent() ? releases->onMain
                                                                                      : releases->elsewhere)++;
                                                  if (releases->onMain + releases->elsewhere == releases->awaited) {
                                                    releases->reached.set(true);
                                                  }
                                                });
    return Image::make(std::move(bitmap));
  }
  double duration(std::size_t) const override { return 0.05; }
  std::shared_ptr<ImageFrameSource> copy() const override {
    return std::make_shared<ReleaseCountingFrameSource>(count_, releases_);
  }

 private:
  std::size_t count_;
  std::shared_ptr<Releases> releases_;
};

// What the animator lets go is released on the main queue: frames that leave the window as it plays, and
// frames cleared when no frame change follows to take them along.
TEST_F(AnimatorConcurrency, DroppedFramesAreReleasedOnTheMainQueue) {
  auto releases = std::make_shared<ReleaseCountingFrameSource::Releases>();
  releases->awaited = 9;  // five left behind by five steps, then the four a clear drops
  ReleaseCountingFrameSource source(12, releases);
  auto animator = onMain([&] {
    auto a = Animator::make(source.copy(), ImageScaling::scaleProportionallyDown, {64, 64}, {1, 1}, 1.0, 3,
                            RepeatCount::infinite(), queue);
    a->prepareFrames();
    return a;
  });
  settle();
  for (int step = 0; step < 5; ++step) advance(*animator);
  onMain([&] { animator->clearFrames(false); });
  settle();
  EXPECT_TRUE(releases->reached.get());
  EXPECT_EQ(releases->onMain.load(), 9);
  EXPECT_EQ(releases->elsewhere.load(), 0);
  EXPECT_EQ(decodedSlots(*animator), 0u);
}

// Ticks on the main queue while the preload queue decodes: the jobs work from the indices they were handed.
TEST_F(AnimatorConcurrency, AdvancingWhileFramesDecode) {
  CountingFrameSource source(40, 16, 16);
  auto animator = start(source, 3);
  onMain([&] {
    for (int i = 0; i < 200; ++i) {
      animator->advanceFrame();
      if (i % 17 == 0) animator->updateFrameSizing({64.0 + i, 64.0 + i}, ImageScaling::scaleProportionallyDown);
    }
  });
  settle();
  EXPECT_LE(decodedSlots(*animator), 4u);
  EXPECT_EQ(animator->currentFrameIndex(), 200 % 40);
  EXPECT_NE(animator->currentFrameImage(), nullptr);
}

}  // namespace
}  // namespace vellum::test
