// The animated image view on a display link driven by hand: what it draws at each refresh, when it plays and
// stops, and how it lets go of its animator and link.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <limits>
#include <set>
#include <string>
#include <thread>
#include <utility>

#include "animation_test_support.hpp"
#include "cache_test_support.hpp"
#include "main_queue_support.hpp"
#include "test_images.hpp"
#include "vellum/image/image_codecs.hpp"
#include "vellum/views/animated_image_view.hpp"

namespace vellum::test {
namespace {

// An animated image whose frames come from `source`; its own bitmap is a 1 x 1 stand-in of the size given.
ImagePtr animatedImage(std::shared_ptr<CountingFrameSource> source, std::uint32_t width, std::uint32_t height) {
  AnimationInfo info;
  info.frameCount = source->frameCount();
  info.frameSource = std::move(source);
  Bitmap bitmap{width, height, std::vector<std::uint8_t>(std::size_t{width} * height * 4, 200)};
  return Image::make(std::move(bitmap), 1.0, std::move(info));
}

class RecordingViewDelegate final : public AnimatedImageViewDelegate {
 public:
  void animatedImageViewDidCompleteLoops(AnimatedImageView&, unsigned count) override { loops.push_back(count); }
  void animatedImageViewDidFinish(AnimatedImageView&) override { ++finished; }
  std::vector<unsigned> loops;  // main queue only
  int finished = 0;
};

class AnimatedImageViewConcurrency : public ::testing::Test {
 protected:
  std::shared_ptr<ManualFrameSource> frames = std::make_shared<ManualFrameSource>();
  std::shared_ptr<Window> window = onMain([] { return Window::make(2.0); });
  std::shared_ptr<View> root = onMain([] { return View::make(Rect{{0, 0}, {200, 200}}); });
  std::int64_t hostTime = 1'000'000'000;

  void SetUp() override { onMain([&] { window->setContentView(root); }); }

  std::shared_ptr<AnimatedImageView> makeView(Size size, bool inWindow = true) {
    return onMain([&] {
      auto view = AnimatedImageView::make(Rect{{0, 0}, size});
      view->setDisplayLinkFactory([source = frames](DisplayLink::Target target, DisplayLink::Selector selector) {
        return DisplayLink::make(std::move(target), std::move(selector), source);
      });
      if (inWindow) root->addSubview(view);
      return view;
    });
  }
  // Waits for the decoding and the releases that the last steps queued.
  void settle(AnimatedImageView& view) {
    auto queue = onMain([&] { return view.preloadQueue(); });
    flush(*queue);
    flushMain();
  }
  // One display refresh of `seconds`, carried through to the view's update on the main queue.
  void tick(double seconds = 1.0 / 60) {
    hostTime += std::int64_t(seconds * 1e9);
    frames->tick(FrameTime{hostTime, std::int64_t(seconds * 1e9), 1'000'000'000});
    flushMain();  // the link's refresh
    flushMain();  // the callback it performs
  }
  // A view in the window playing three frames once, its frames set up before the clock runs.
  std::pair<std::shared_ptr<AnimatedImageView>, std::shared_ptr<RecordingViewDelegate>> playingOnce() {
    auto view = makeView({32, 32});
    auto delegate = std::make_shared<RecordingViewDelegate>();
    onMain([&] {
      view->delegate = delegate;
      view->setRepeatCount(RepeatCount::once());
      view->setImage(animatedImage(std::make_shared<CountingFrameSource>(3, 8, 8, 0.05), 8, 8));
    });
    settle(*view);
    return {view, delegate};
  }
  // Refreshes of `seconds` each, left queued on the main queue.
  void queueTicks(int count, double seconds) {
    for (int i = 0; i < count; ++i) {
      hostTime += std::int64_t(seconds * 1e9);
      frames->tick(FrameTime{hostTime, std::int64_t(seconds * 1e9), 1'000'000'000});
    }
  }
  // Draws, as a display pass would, and answers the grey level of the frame on the layer (-1 for none).
  static int shown(AnimatedImageView& view) {
    return onMain([&] {
      view.displayIfNeeded();
      const ImagePtr& contents = view.layer().contents;
      return contents && contents->hasBitmap() ? int(contents->bitmap()->pixels[0]) : -1;
    });
  }
};

TEST_F(AnimatedImageViewConcurrency, PlaysFramesByTheirDurationsOnceInAWindow) {
  auto view = makeView({32, 32});
  auto source = std::make_shared<CountingFrameSource>(4, 16, 16, 0.1);
  onMain([&] { view->setImage(animatedImage(source, 16, 16)); });
  settle(*view);
  EXPECT_TRUE(onMain([&] { return view->animates(); }));
  EXPECT_EQ(shown(*view), 0);
  tick(0.05);  // the first refresh only records its time
  tick(0.05);
  EXPECT_EQ(shown(*view), 0);
  tick(0.05);
  settle(*view);
  EXPECT_EQ(shown(*view), 1);
  for (int expected : {1, 2, 2, 3, 3, 0}) {
    tick(0.05);
    settle(*view);
    EXPECT_EQ(shown(*view), expected);
  }
  EXPECT_EQ(onMain([&] { return view->layer().contentsScale; }), 1.0);
  // 32-point view in a 2x window: frames were asked for no larger than 64 pixels, so the 16-pixel frames
  // come whole.
  for (const auto& size : source->decodedSizes()) EXPECT_FALSE(size.has_value());
}

TEST_F(AnimatedImageViewConcurrency, StepsAreCappedAtOneSecond) {
  auto view = makeView({32, 32});
  auto source = std::make_shared<CountingFrameSource>(3, 8, 8, 1.5);
  onMain([&] { view->setImage(animatedImage(source, 8, 8)); });
  settle(*view);  // frames set up before the clock runs
  tick(5);
  tick(5);  // one second counted, not five
  EXPECT_EQ(onMain([&] { return view->animator()->currentFrameIndex(); }), 0);
  tick(5);  // two seconds: past 1.5, the half second left carries over
  EXPECT_EQ(onMain([&] { return view->animator()->currentFrameIndex(); }), 1);
  EXPECT_DOUBLE_EQ(onMain([&] { return view->animator()->timeSinceLastFrameChange; }), 0.5);
}

TEST_F(AnimatedImageViewConcurrency, TheSameImageKeepsItsAnimatorAndANewOneReplacesIt) {
  auto view = makeView({32, 32});
  auto image = animatedImage(std::make_shared<CountingFrameSource>(3, 8, 8), 8, 8);
  onMain([&] {
    view->setImage(image);
    auto first = view->animator();
    view->displayIfNeeded();
    view->setImage(image);
    EXPECT_EQ(view->animator(), first);
    EXPECT_TRUE(view->needsDisplay());
    view->setImage(animatedImage(std::make_shared<CountingFrameSource>(3, 8, 8), 8, 8));
    EXPECT_NE(view->animator(), first);
    EXPECT_TRUE(first->isCancelled());
    // A still image: no animator, nothing to play.
    view->setImage(Image::make(Bitmap{1, 1, {1, 2, 3, 255}}));
    EXPECT_EQ(view->animator(), nullptr);
  });
}

TEST_F(AnimatedImageViewConcurrency, OnceReportsOneLoopFinishesAndPauses) {
  auto [view, delegate] = playingOnce();
  for (int i = 0; i < 6; ++i) tick(0.05);
  onMain([&] {
    EXPECT_EQ(delegate->loops, std::vector<unsigned>{1});
    EXPECT_EQ(delegate->finished, 1);
    EXPECT_FALSE(view->animates());
    EXPECT_EQ(view->animator()->currentFrameIndex(), 2);
    // Equal counts do not rebuild; a used-up count does not start again.
    auto animator = view->animator();
    view->setRepeatCount(RepeatCount::finite(1));
    EXPECT_EQ(view->animator(), animator);
    view->startAnimating();
    EXPECT_FALSE(view->animates());
  });
}

// Refreshes that come while the main queue is busy are one, as a display drops the frames a busy thread
// missed (the animation does not race through them afterwards); once the view stops, none plays on.
TEST_F(AnimatedImageViewConcurrency, RefreshesQueuedBeforeAStopDoNothing) {
  auto [view, delegate] = playingOnce();
  tick(0.05);  // the first refresh only records its time
  tick(0.05);
  {
    auto hold = ExecutorHold::mainQueue();
    queueTicks(12, 0.05);  // one frame change: the last frame, which ends the loop
  }
  flushMain();
  flushMain();
  onMain([&] {
    EXPECT_EQ(view->animator()->currentFrameIndex(), 2);
    EXPECT_EQ(delegate->loops, std::vector<unsigned>{1});
    EXPECT_EQ(delegate->finished, 0);
  });
  tick(0.05);  // the refresh after the last frame stops the view
  EXPECT_FALSE(frames->tick(FrameTime{hostTime + 1, 1, 60}));
  onMain([&] {
    EXPECT_EQ(delegate->finished, 1);
    EXPECT_FALSE(view->animates());
  });

  // An endless animation whose view leaves its window while refreshes wait.
  auto endless = makeView({32, 32});
  onMain([&] { endless->setImage(animatedImage(std::make_shared<CountingFrameSource>(5, 8, 8, 0.05), 8, 8)); });
  settle(*endless);
  tick(0.05);
  tick(0.05);
  ASSERT_EQ(onMain([&] { return endless->animator()->currentFrameIndex(); }), 1);
  {
    auto hold = ExecutorHold::mainQueue([&] { endless->removeFromSuperview(); });
    queueTicks(3, 0.05);
  }
  flushMain();
  flushMain();
  onMain([&] {
    EXPECT_FALSE(endless->animates());
    EXPECT_EQ(endless->animator()->currentFrameIndex(), 1);
  });
}

TEST_F(AnimatedImageViewConcurrency, FiniteZeroNeverUnpauses) {
  auto view = makeView({32, 32});
  onMain([&] {
    view->setRepeatCount(RepeatCount::finite(0));
    view->setImage(animatedImage(std::make_shared<CountingFrameSource>(3, 8, 8), 8, 8));
    view->startAnimating();
    view->setAnimates(true);
    EXPECT_FALSE(view->animates());
  });
}

TEST_F(AnimatedImageViewConcurrency, ANewRunLoopModeReschedulesAndStarts) {
  auto view = makeView({32, 32});
  onMain([&] {
    view->setImage(animatedImage(std::make_shared<CountingFrameSource>(3, 8, 8, 0.05), 8, 8));
    view->stopAnimating();
    EXPECT_FALSE(view->animates());
    view->setRunLoopMode("tracking");
    EXPECT_TRUE(view->animates());
  });
  settle(*view);  // frames set up before the clock runs
  tick(0.05);
  tick(0.05);
  // The callback still comes, now under the new mode.
  EXPECT_EQ(onMain([&] { return view->animator()->currentFrameIndex(); }), 1);
}

TEST_F(AnimatedImageViewConcurrency, AnUndecodedSlotDrawsTheKeptFrame) {
  auto view = makeView({32, 32});
  onMain([&] { view->setImage(animatedImage(std::make_shared<CountingFrameSource>(3, 8, 8, 0.05, std::set<std::size_t>{1}), 8, 8)); });
  settle(*view);
  EXPECT_EQ(shown(*view), 0);
  tick(0.05);
  tick(0.05);
  settle(*view);
  EXPECT_EQ(onMain([&] { return view->animator()->currentFrameIndex(); }), 1);
  EXPECT_EQ(shown(*view), 0);  // frame 1 never decoded: frame 0 stays
  tick(0.05);
  settle(*view);
  EXPECT_EQ(shown(*view), 2);
}

TEST_F(AnimatedImageViewConcurrency, AfterAnAnimationTheLayerShowsWhatTheViewHolds) {
  auto view = makeView({32, 32});
  onMain([&] { view->setImage(animatedImage(std::make_shared<CountingFrameSource>(3, 8, 8, 0.05), 8, 8)); });
  settle(*view);
  tick(0.05);
  tick(0.05);
  settle(*view);
  ASSERT_EQ(shown(*view), 1);
  // A still image larger than the view, then nothing at all.
  onMain([&] { view->setImage(Image::make(Bitmap{64, 64, std::vector<std::uint8_t>(64 * 64 * 4, 90)})); });
  EXPECT_EQ(shown(*view), 90);
  EXPECT_EQ(onMain([&] { return view->layer().contentsGravity; }), LayerContentsGravity::resizeAspect);
  tick(0.05);  // nothing plays any more
  EXPECT_EQ(shown(*view), 90);
  onMain([&] { view->setImage(nullptr); });
  EXPECT_EQ(shown(*view), -1);
}

TEST_F(AnimatedImageViewConcurrency, TwelveFramesInAWindowOfTenPlayWithElevenDecoded) {
  auto view = makeView({8, 8});
  auto source = std::make_shared<CountingFrameSource>(12, 8, 8, 0.05);
  onMain([&] { view->setImage(animatedImage(source, 8, 8)); });
  settle(*view);  // frames set up before the clock runs
  tick(0.05);
  for (int i = 0; i < 40; ++i) {
    tick(0.05);
    settle(*view);
    const std::size_t held = onMain([&] {
      std::size_t n = 0;
      for (std::ptrdiff_t f = 0; f < 12; ++f) n += view->animator()->frameImage(f) ? 1 : 0;
      return n;
    });
    EXPECT_LE(held, 11u);
  }
  EXPECT_EQ(source->decodeCount(), 11u + 40u);
}

// A long GIF decoded as the view asks (no preloading) plays: its frame source hands the view every frame.
TEST_F(AnimatedImageViewConcurrency, ALongGIFDecodedLazilyPlays) {
  std::vector<GifFrameSpec> specs;
  for (int i = 0; i < 700; ++i) {
    specs.push_back({0, 0, 320, 240, std::vector<std::uint8_t>(320 * 240, std::uint8_t(1 + i % 3)),
                     DISPOSAL_UNSPECIFIED, NO_TRANSPARENT_COLOR, 5});
  }
  VellumParsedOptionsInfo options;
  auto view = makeView({32, 24});
  options.preloadAllAnimationData = onMain([&] { return view->shouldPreloadAllAnimation(); });
  const ImagePtr image = DefaultCacheSerializer::defaultSerializer()->image(makeGIF(320, 240, specs), options);
  ASSERT_TRUE(image);
  onMain([&] { view->setImage(image); });
  settle(*view);
  ASSERT_TRUE(onMain([&] { return view->animator() != nullptr; }));
  EXPECT_EQ(onMain([&] { return view->animator()->frameCount(); }), 700u);
  tick(0.05);
  for (int i = 0; i < 3; ++i) {
    tick(0.05);
    settle(*view);
  }
  EXPECT_GT(onMain([&] { return view->animator()->currentFrameIndex(); }), 0);
}

TEST_F(AnimatedImageViewConcurrency, APreloadCountBelowOneCountsAsOne) {
  for (int count : {0, -5}) {
    frames = std::make_shared<ManualFrameSource>();  // each view its own clock
    auto view = makeView({8, 8});
    auto source = std::make_shared<CountingFrameSource>(6, 8, 8, 0.05);
    onMain([&] {
      view->framePreloadCount = count;
      view->setImage(animatedImage(source, 8, 8));
      EXPECT_EQ(view->animator()->maxFrameCount(), 1);
    });
    settle(*view);  // frames set up before the clock runs
    tick(0.05);
    for (int i = 0; i < 10; ++i) tick(0.05);
    settle(*view);
    EXPECT_EQ(source->decodeCount(), 2u + 10u) << count;
    onMain([&] { view->removeFromSuperview(); });
  }
}

TEST_F(AnimatedImageViewConcurrency, AZeroSizeWaitsForASize) {
  auto view = makeView({0, 0});
  auto source = std::make_shared<CountingFrameSource>(3, 400, 200, 0.05);
  onMain([&] { view->setImage(animatedImage(source, 400, 200)); });
  settle(*view);
  EXPECT_EQ(source->decodeCount(), 0u);
  EXPECT_EQ(onMain([&] { return view->animator()->frameSizing(); }), FrameSizing::pending());
  onMain([&] { view->setFrameSize({50, 50}); });  // 100 x 100 pixels in the 2x window
  settle(*view);
  EXPECT_EQ(onMain([&] { return view->animator()->frameSizing(); }), FrameSizing::limited({100, 50}));
  EXPECT_EQ(source->decodeCount(), 3u);
  EXPECT_EQ(shown(*view), 0);
}

TEST_F(AnimatedImageViewConcurrency, OutsideAWindowTheScaleIsOneAndNothingPlays) {
  auto view = makeView({30, 20}, /*inWindow=*/false);
  onMain([&] {
    EXPECT_EQ(view->pixelSize(), (Size{30, 20}));
    view->setImage(animatedImage(std::make_shared<CountingFrameSource>(3, 8, 8), 8, 8));
    // Reading `animates` before any link answers the stored value and makes no link.
    EXPECT_FALSE(view->animates());
    EXPECT_FALSE(view->isDisplayLinkInitialized());
    view->setHighlighted(true);  // paused: taken, and the link is made to ask
    EXPECT_TRUE(view->isDisplayLinkInitialized());
    EXPECT_TRUE(view->isHighlighted());
    root->addSubview(view);
    EXPECT_EQ(view->pixelSize(), (Size{60, 40}));
    EXPECT_TRUE(view->animates());
    view->setHighlighted(false);  // ignored while playing
    EXPECT_TRUE(view->isHighlighted());
  });
}

TEST_F(AnimatedImageViewConcurrency, GravityFollowsTheScalingMode) {
  auto view = makeView({32, 32});
  onMain([&] {
    auto small = Image::make(Bitmap{16, 16, std::vector<std::uint8_t>(16 * 16 * 4, 1)});
    auto large = Image::make(Bitmap{64, 16, std::vector<std::uint8_t>(64 * 16 * 4, 1)});
    EXPECT_EQ(view->contentsGravity(small), LayerContentsGravity::center);  // fits: shown at its size
    EXPECT_EQ(view->contentsGravity(large), LayerContentsGravity::resizeAspect);
    view->setImageScaling(ImageScaling::scaleNone);
    EXPECT_EQ(view->contentsGravity(large), LayerContentsGravity::center);
    view->setImageScaling(ImageScaling::scaleAxesIndependently);
    EXPECT_EQ(view->contentsGravity(small), LayerContentsGravity::resize);
    view->setImageScaling(ImageScaling::scaleProportionallyUpOrDown);
    EXPECT_EQ(view->contentsGravity(small), LayerContentsGravity::resizeAspect);
  });
}

TEST_F(AnimatedImageViewConcurrency, AViewReleasedOffTheMainQueueTearsDownThere) {
  auto view = makeView({32, 32});
  std::weak_ptr<Animator> animator = onMain([&] {
    view->setImage(animatedImage(std::make_shared<CountingFrameSource>(30, 8, 8, 0.05), 8, 8));
    view->removeFromSuperview();
    root->addSubview(view);
    return std::weak_ptr<Animator>(view->animator());
  });
  settle(*view);  // frames set up before the clock runs
  tick(0.05);
  EXPECT_TRUE(frames->isRunning());
  auto queue = onMain([&] { return view->preloadQueue(); });
  std::weak_ptr<AnimatedImageView> weakView = view;
  onMain([&] { view->removeFromSuperview(); });
  std::thread([owned = std::move(view)]() mutable { owned.reset(); }).join();
  EXPECT_TRUE(weakView.expired());
  flushMain();
  EXPECT_FALSE(frames->isRunning());  // the link was invalidated
  // Queued decoding jobs let the cancelled animator go on the main queue.
  flush(*queue);
  flushMain();
  EXPECT_TRUE(animator.expired());
  EXPECT_FALSE(frames->tick(FrameTime{hostTime + 1, 1, 60}));
}

// A GIF of one frame is a still picture: no animator, no display refresh running for it, and its one frame
// drawn as the view's image. The same GIF with a second frame plays.
TEST_F(AnimatedImageViewConcurrency, AOneFrameGIFIsAStillPicture) {
  const GifFrameSpec red{0, 0, 2, 2, std::vector<std::uint8_t>(4, 1), DISPOSAL_UNSPECIFIED, NO_TRANSPARENT_COLOR, 5};
  const GifFrameSpec green{0, 0, 2, 2, std::vector<std::uint8_t>(4, 2), DISPOSAL_UNSPECIFIED, NO_TRANSPARENT_COLOR, 5};
  auto still = makeView({32, 32});
  auto playing = makeView({32, 32});
  onMain([&] {
    for (bool onlyFirstFrame : {false, true}) {
      auto image = imageFromData(makeGIF(2, 2, {red}), {.onlyFirstFrame = onlyFirstFrame});
      ASSERT_NE(image, nullptr);
      ASSERT_NE(image->frameSource(), nullptr);
      still->setImage(image);
      EXPECT_EQ(still->animator(), nullptr) << onlyFirstFrame;
      EXPECT_FALSE(still->isDisplayLinkInitialized()) << onlyFirstFrame;
      EXPECT_FALSE(still->animates()) << onlyFirstFrame;
      still->setImage(nullptr);
    }
    still->setImage(imageFromData(makeGIF(2, 2, {red})));
    playing->setImage(imageFromData(makeGIF(2, 2, {red, green})));
    EXPECT_NE(playing->animator(), nullptr);
    EXPECT_TRUE(playing->animates());
  });
  tick(0.05);
  EXPECT_FALSE(onMain([&] { return still->isDisplayLinkInitialized(); }));
  onMain([&] { still->displayIfNeeded(); });
  const ImagePtr drawn = onMain([&] { return still->layer().contents; });
  ASSERT_TRUE(drawn && drawn->hasBitmap());
  EXPECT_EQ(pixel(*drawn->bitmap(), 1, 1), (std::vector<std::uint8_t>{255, 0, 0, 255}));
}

// A view that played and then has nothing left to play (a still image, none, one frame, a repeat count of 0)
// lets its display refresh go: before, the refresh of the animation it played ran on at 60 Hz for good.
TEST_F(AnimatedImageViewConcurrency, WithNothingLeftToPlayTheRefreshStops) {
  auto view = makeView({32, 32});
  const GifFrameSpec red{0, 0, 2, 2, std::vector<std::uint8_t>(4, 1), DISPOSAL_UNSPECIFIED, NO_TRANSPARENT_COLOR, 5};
  const std::pair<std::string, std::function<void(AnimatedImageView&)>> endings[] = {
      {"a still image", [](AnimatedImageView& v) { v.setImage(Image::make(Bitmap{2, 2, std::vector<std::uint8_t>(16, 9)})); }},
      {"no image", [](AnimatedImageView& v) { v.setImage(nullptr); }},
      {"a one-frame GIF", [&](AnimatedImageView& v) { v.setImage(imageFromData(makeGIF(2, 2, {red}))); }},
      {"a repeat count of 0", [](AnimatedImageView& v) { v.setRepeatCount(RepeatCount::finite(0)); }},
  };
  for (const auto& [name, end] : endings) {
    onMain([&] {
      view->setRepeatCount(RepeatCount::infinite());
      view->setImage(animatedImage(std::make_shared<CountingFrameSource>(3, 8, 8, 0.05), 8, 8));
      ASSERT_TRUE(view->animates()) << name;
      end(*view);
      EXPECT_FALSE(view->animates()) << name;
      view->startAnimating();
      EXPECT_FALSE(view->animates()) << name;
    });
  }
  EXPECT_FALSE(frames->tick(FrameTime{hostTime + 1, 1, 60})) << "the clock is stopped";
}

// A frame source is the application's: a duration that is no number or below zero counts as none, and a frame
// or duration that throws costs only that frame. Before, a NaN froze the animation on its frame for good
// with the refresh running, and a throw froze it on the frame where the set-up stopped.
class UnruledFrameSource final : public ImageFrameSource {
 public:
  UnruledFrameSource(std::vector<double> durations, std::set<std::size_t> throwingFrames, std::set<std::size_t> throwingDurations)
      : durations_(std::move(durations)), throwingFrames_(std::move(throwingFrames)),
        throwingDurations_(std::move(throwingDurations)) {}
  std::shared_ptr<const foundation::Bytes> data() const override { return nullptr; }
  std::size_t frameCount() const override { return durations_.size(); }
  ImagePtr frame(std::size_t index, std::optional<Size>) const override {
    if (throwingFrames_.count(index)) throw std::runtime_error("frame");
    return Image::make(Bitmap{2, 2, std::vector<std::uint8_t>(16, std::uint8_t(index))});
  }
  double duration(std::size_t index) const override {
    if (throwingDurations_.count(index)) throw 1;
    return durations_[index];
  }
  std::shared_ptr<ImageFrameSource> copy() const override { return std::make_shared<UnruledFrameSource>(*this); }

 private:
  std::vector<double> durations_;
  std::set<std::size_t> throwingFrames_, throwingDurations_;
};

TEST_F(AnimatedImageViewConcurrency, FramesWithoutAUsableDurationOrThatThrowCostOnlyThemselves) {
  auto view = makeView({32, 32});
  const double nan = std::numeric_limits<double>::quiet_NaN();
  AnimationInfo info;
  info.frameCount = 5;
  info.frameSource = std::make_shared<UnruledFrameSource>(std::vector<double>{0.05, nan, -1, 0.05, 0.05},
                                                          std::set<std::size_t>{3}, std::set<std::size_t>{4});
  onMain([&] { view->setImage(Image::make(Bitmap{2, 2, std::vector<std::uint8_t>(16, 0)}, 1.0, info)); });
  settle(*view);
  const double loop = onMain([&] { return view->animator()->loopDuration(); });
  EXPECT_DOUBLE_EQ(loop, 0.1);
  tick(0.05);  // the first refresh only records its time
  std::set<std::ptrdiff_t> visited;
  std::vector<int> drawn;
  for (int i = 0; i < 12; ++i) {
    tick(0.05);
    settle(*view);
    visited.insert(onMain([&] { return view->animator()->currentFrameIndex(); }));
    drawn.push_back(shown(*view));
  }
  EXPECT_EQ(visited, (std::set<std::ptrdiff_t>{0, 1, 2, 3, 4}));
  EXPECT_EQ(std::count(drawn.begin(), drawn.end(), 3), 0) << "the frame that throws is never drawn";
  EXPECT_GT(std::count(drawn.begin(), drawn.end(), 4), 0);
}

// A source claiming more frames than any memory holds is the application's mistake: setting it throws nothing
// into the application and sizes nothing by that count; the picture shows still.
class CountlessFrameSource final : public ImageFrameSource {
 public:
  std::shared_ptr<const foundation::Bytes> data() const override { return nullptr; }
  std::size_t frameCount() const override { return std::numeric_limits<std::size_t>::max(); }
  ImagePtr frame(std::size_t, std::optional<Size>) const override { return Image::make(Bitmap{1, 1, {1, 2, 3, 255}}); }
  double duration(std::size_t) const override { return 0.1; }
  std::shared_ptr<ImageFrameSource> copy() const override { return std::make_shared<CountlessFrameSource>(); }
};

TEST_F(AnimatedImageViewConcurrency, ASourceClaimingCountlessFramesShowsAStillPicture) {
  auto view = makeView({32, 32});
  AnimationInfo info;
  info.frameSource = std::make_shared<CountlessFrameSource>();
  info.frameCount = 2;
  const auto image = Image::make(Bitmap{1, 1, {9, 9, 9, 255}}, 1.0, std::move(info));
  onMain([&] { EXPECT_NO_THROW(view->setImage(image)); });
  settle(*view);
  tick(0.2);
  tick(0.2);
  EXPECT_EQ(shown(*view), 9);
  // A still picture has nothing to play: no display refresh runs for it.
  EXPECT_FALSE(onMain([&] { return view->animates(); }));
  onMain([&] { EXPECT_NO_THROW(view->setImage(nullptr)); });
}

// A frame that shows for good stops the refresh when it comes on (before, the display refresh ran on at 60 Hz
// with nothing ever to change), and the view plays again when something changes.
TEST_F(AnimatedImageViewConcurrency, AFrameThatNeverEndsRestsTheRefreshUntilSomethingChanges) {
  auto view = makeView({32, 32});
  AnimationInfo info;
  info.frameCount = 3;
  info.frameSource = std::make_shared<UnruledFrameSource>(
      std::vector<double>{0.05, std::numeric_limits<double>::infinity(), 0.05}, std::set<std::size_t>{},
      std::set<std::size_t>{});
  onMain([&] { view->setImage(Image::make(Bitmap{2, 2, std::vector<std::uint8_t>(16, 0)}, 1.0, info)); });
  settle(*view);
  tick(0.05);
  tick(0.05);
  settle(*view);
  EXPECT_EQ(onMain([&] { return view->animator()->currentFrameIndex(); }), 1);
  EXPECT_EQ(shown(*view), 1);
  tick(0.05);
  EXPECT_FALSE(onMain([&] { return view->animates(); }));
  EXPECT_FALSE(frames->tick(FrameTime{hostTime + 1, 1, 60})) << "the clock is stopped";
  EXPECT_EQ(shown(*view), 1) << "the frame stays";

  // Asked to play, it looks once and rests again; a new image plays.
  onMain([&] { view->startAnimating(); });
  tick(0.05);
  EXPECT_FALSE(onMain([&] { return view->animates(); }));
  onMain([&] { view->setImage(animatedImage(std::make_shared<CountingFrameSource>(3, 8, 8, 0.05), 8, 8)); });
  EXPECT_TRUE(onMain([&] { return view->animates(); }));
  settle(*view);
  tick(0.05);
  tick(0.05);
  EXPECT_GT(onMain([&] { return view->animator()->currentFrameIndex(); }), 0);
  EXPECT_TRUE(onMain([&] { return view->animates(); }));
}

// The delegate is the application's: one that throws misses nothing of the animation.
TEST_F(AnimatedImageViewConcurrency, ADelegateThatThrowsMissesNothing) {
  class ThrowingDelegate final : public AnimatedImageViewDelegate {
   public:
    void animatedImageViewDidCompleteLoops(AnimatedImageView&, unsigned) override { throw std::runtime_error("loop"); }
    void animatedImageViewDidFinish(AnimatedImageView&) override { throw std::runtime_error("finish"); }
  };
  auto view = makeView({32, 32});
  auto delegate = std::make_shared<ThrowingDelegate>();
  onMain([&] {
    view->delegate = delegate;
    view->setRepeatCount(RepeatCount::finite(2));
    view->setImage(animatedImage(std::make_shared<CountingFrameSource>(2, 8, 8, 0.05), 8, 8));
  });
  settle(*view);
  tick(0.05);
  std::vector<int> drawn;
  for (int i = 0; i < 4; ++i) {
    tick(0.05);
    drawn.push_back(shown(*view));
  }
  // 1 ends the first loop, 0 comes on the wrap (the delegate throws there), 1 ends the second and last.
  EXPECT_EQ(drawn, (std::vector<int>{1, 0, 1, 1}));
  EXPECT_FALSE(onMain([&] { return view->animates(); }));
}

// A window's content view is in place as much as a subview is: it plays on arrival and stops on leaving.
TEST_F(AnimatedImageViewConcurrency, AsAWindowsContentViewItPlays) {
  auto view = makeView({32, 32}, /*inWindow=*/false);
  auto other = onMain([] { return Window::make(1.0); });
  onMain([&] {
    view->setImage(animatedImage(std::make_shared<CountingFrameSource>(3, 8, 8, 0.05), 8, 8));
    EXPECT_FALSE(view->animates());
    other->setContentView(view);
    EXPECT_TRUE(view->animates());
    other->setContentView(nullptr);
    EXPECT_FALSE(view->animates());
    other->setContentView(view);
    view->setImage(animatedImage(std::make_shared<CountingFrameSource>(4, 8, 8, 0.05), 8, 8));
    EXPECT_TRUE(view->animates());  // a new image in place plays too
  });
  settle(*view);
  tick(0.05);
  tick(0.05);
  EXPECT_EQ(onMain([&] { return view->animator()->currentFrameIndex(); }), 1);
  onMain([&] { other->setContentView(nullptr); });
}

// Each operation checks where it runs before it touches anything: off the main queue the process stops, and
// the message names the call, also for one that would otherwise rebuild the animator first.
TEST_F(AnimatedImageViewConcurrency, EveryOperationOffTheMainQueueStopsNamingItself) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  auto view = makeView({32, 32});
  onMain([&] { view->setImage(animatedImage(std::make_shared<CountingFrameSource>(3, 8, 8), 8, 8)); });
  settle(*view);
  // Taken on the main queue: the view's getter checks where it runs as well.
  const auto animator = onMain([&] { return view->animator(); });
  const std::pair<std::string, std::function<void(AnimatedImageView&)>> calls[] = {
      {"AnimatedImageView::startAnimating", [](AnimatedImageView& v) { v.startAnimating(); }},
      {"AnimatedImageView::stopAnimating", [](AnimatedImageView& v) { v.stopAnimating(); }},
      {"AnimatedImageView::setRunLoopMode", [](AnimatedImageView& v) { v.setRunLoopMode("tracking"); }},
      {"AnimatedImageView::reset", [](AnimatedImageView& v) { v.reset(); }},
      {"AnimatedImageView::setAnimates", [](AnimatedImageView& v) { v.setAnimates(false); }},
      {"AnimatedImageView::clearFrames", [](AnimatedImageView& v) { v.clearFrames(true); }},
      {"AnimatedImageView::updateFrameIfNeeded", [](AnimatedImageView& v) { v.updateFrameIfNeeded(); }},
      {"AnimatedImageView::updateLayer", [](AnimatedImageView& v) { v.updateLayer(); }},
      {"AnimatedImageView::setRepeatCount", [](AnimatedImageView& v) { v.setRepeatCount(RepeatCount::once()); }},
      {"AnimatedImageView::setHighlighted", [](AnimatedImageView& v) { v.setHighlighted(true); }},
      {"AnimatedImageView::setImage", [](AnimatedImageView& v) { v.setImage(nullptr); }},
      {"AnimatedImageView::setImageScaling", [](AnimatedImageView& v) { v.setImageScaling(ImageScaling::scaleNone); }},
      {"AnimatedImageView::setFrameSize", [](AnimatedImageView& v) { v.setFrameSize({10, 10}); }},
      {"AnimatedImageView::displayLink", [](AnimatedImageView& v) { v.displayLink(); }},
      // What the view drives its animator with, on the main queue alone.
      {"Animator::advanceFrame", [&](AnimatedImageView&) { animator->advanceFrame(); }},
      {"Animator::updateFrameSizing", [&](AnimatedImageView&) { animator->updateFrameSizing({90, 90}, ImageScaling::scaleNone); }},
      {"Animator::clearFrames", [&](AnimatedImageView&) { animator->clearFrames(false); }},
      {"Animator::prepareFrames", [&](AnimatedImageView&) { animator->prepareFrames(); }},
  };
  for (const auto& [name, call] : calls) {
    EXPECT_DEATH(call(*view), name + ".* must run on the main queue") << name;
  }
  // The view is untouched and still plays.
  EXPECT_TRUE(onMain([&] { return view->animates() && view->repeatCount() == RepeatCount::infinite(); }));
}

}  // namespace
}  // namespace vellum::test
