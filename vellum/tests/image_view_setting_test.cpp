// The image view's variant of the image-setting flow: view placeholders, indicators, animation preloading,
// partial images and the task it keeps.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <cstdlib>
#include <filesystem>
#include <thread>

#include <testing/scripted_server.hpp>

#include "view_test_support.hpp"
#include "vellum/views/activity_indicator.hpp"
#include "vellum/views/image_indicator.hpp"
#include "vellum/views/image_view_extension.hpp"
#include "vellum/views/text_attachment_extension.hpp"
#include "vellum/views/vl_builder.hpp"
#include "test_files.hpp"
#include "vellum/networking/retry_strategy.hpp"
#include "vellum/sources/raw_image_data_provider.hpp"
#include "vellum/views/vl_image.hpp"

namespace vellum::test {
namespace {

using Item = VellumOptionsInfoItem;
using ImageViewSetting = ViewsFixture;

// A view that decodes frames as it plays them, as the animated view does.
class LazyImageView : public ImageView {
 public:
  bool shouldPreloadAllAnimation() const override { return false; }
};

// Keeps the options every load was started with.
class OptionsProcessor final : public ImageProcessor {
 public:
  std::string identifier() const override { return "test.options"; }
  ImagePtr process(const ImageProcessItem& item, const VellumParsedOptionsInfo& options) const override {
    preloads.push_back(options.preloadAllAnimationData);
    return DefaultImageProcessor::defaultProcessor()->process(item, options);
  }
  mutable std::vector<bool> preloads;
};

TEST_F(ImageViewSetting, TheSpinnerIsAHiddenCentredSubviewStartedAndStoppedByEachRequest) {
  HeldProvider one("one"), two("two");
  auto view = onMain([] { return ImageView::make(Rect{{0, 0}, {100, 80}}); });
  std::shared_ptr<ActivityIndicator> spinner;
  onMain([&] {
    EXPECT_EQ(vl(view).indicatorType().kind(), IndicatorType::Kind::none);
    vl(view).setIndicatorType(IndicatorType::activity());
    spinner = std::dynamic_pointer_cast<ActivityIndicator>(vl(view).indicator());
    ASSERT_NE(spinner, nullptr);
    auto shown = spinner->activityIndicatorView();
    ASSERT_EQ(view->subviews(), (std::vector<std::shared_ptr<View>>{shown}));
    EXPECT_TRUE(shown->isHidden());
    EXPECT_EQ(shown->frame().size, (Size{16, 16}));
    EXPECT_FALSE(shown->translatesAutoresizingMaskIntoConstraints());
    auto constraints = view->constraintsNaming(*shown);
    ASSERT_EQ(constraints.size(), 2u);
    EXPECT_EQ(constraints[0]->attribute, LayoutAttribute::centerX);
    EXPECT_EQ(constraints[1]->attribute, LayoutAttribute::centerY);
    EXPECT_EQ(constraints[0]->otherItem.lock(), view);
  });
  Completion first, second;
  onMain([&] {
    vl(view).setImage(Source::provider(one), nullptr, options(), first.handler());
    vl(view).setImage(Source::provider(two), nullptr, options(), second.handler());
    EXPECT_EQ(spinner->animatingCount(), 1) << "the replaced request's load is given back at once";
    EXPECT_FALSE(spinner->activityIndicatorView()->isHidden());
  });
  one.release(photo);
  EXPECT_NE(staleSource(first.get().error()), nullptr);
  onMain([&] {
    EXPECT_EQ(spinner->animatingCount(), 1) << "a stale request's end gives back nothing twice";
    EXPECT_TRUE(spinner->activityIndicatorView()->isAnimating());
  });
  two.release(photo);
  EXPECT_TRUE(second.get());
  onMain([&] {
    EXPECT_EQ(spinner->animatingCount(), 0);
    EXPECT_TRUE(spinner->activityIndicatorView()->isHidden());
    EXPECT_EQ(spinner->activityIndicatorView()->animationStarts(), 1);

    // A new type takes the old indicator's view away; an image that is no image leaves none at all.
    auto gif = makeGIF(2, 2, {{.width = 2, .height = 2, .indices = {1, 2, 3, 0}}});
    vl(view).setIndicatorType(IndicatorType::image(gif));
    EXPECT_EQ(spinner->activityIndicatorView()->superview(), nullptr);
    ASSERT_EQ(view->subviews().size(), 1u);
    EXPECT_EQ(view->constraintsNaming(*view->subviews().front()).size(), 4u);
    vl(view).setIndicatorType(IndicatorType::image(foundation::Bytes{'n', 'o', 'p', 'e'}));
    EXPECT_TRUE(view->subviews().empty());
    EXPECT_EQ(vl(view).indicator(), nullptr);
    EXPECT_TRUE(view->constraints().empty());
  });
}

// The image indicator counts as the spinner does: a replaced request's finish leaves it showing while the
// current one loads.
TEST_F(ImageViewSetting, TheImageIndicatorStaysWhileTheCurrentRequestLoads) {
  HeldProvider one("one"), two("two");
  auto view = onMain([] { return ImageView::make(Rect{{0, 0}, {100, 80}}); });
  std::shared_ptr<ImageView> shown;
  Completion first, second;
  onMain([&] {
    vl(view).setIndicatorType(IndicatorType::image(makeGIF(2, 2, {{.width = 2, .height = 2, .indices = {1, 2, 3, 0}}})));
    auto indicator = std::dynamic_pointer_cast<ImageIndicator>(vl(view).indicator());
    ASSERT_NE(indicator, nullptr);
    shown = indicator->animatedImageIndicatorView();
    vl(view).setImage(Source::provider(one), nullptr, options(), first.handler());
    vl(view).setImage(Source::provider(two), nullptr, options(), second.handler());
  });
  one.release(photo);
  EXPECT_NE(staleSource(first.get().error()), nullptr);
  onMain([&] {
    EXPECT_FALSE(shown->isHidden()) << "the current request still loads";
    EXPECT_TRUE(shown->animates());
  });
  two.release(photo);
  EXPECT_TRUE(second.get());
  onMain([&] {
    EXPECT_TRUE(shown->isHidden());
    EXPECT_FALSE(shown->animates());
  });
}

// A replaced request gives its indicator load back when it is replaced, not when it ends: before, one whose
// load never ended (a stalled server) left the indicator showing after the current request had its image,
// and a cleared view showed it for good.
TEST_F(ImageViewSetting, AReplacedRequestThatNeverEndsLeavesNoIndicatorShowing) {
  HeldProvider stalled("stalled"), current("current"), cleared("cleared");
  auto view = onMain([] { return ImageView::make(Rect{{0, 0}, {100, 80}}); });
  std::shared_ptr<ActivityIndicator> spinner;
  Completion replaced, shown, beforeClearing, clearing;
  onMain([&] {
    vl(view).setIndicatorType(IndicatorType::activity());
    spinner = std::dynamic_pointer_cast<ActivityIndicator>(vl(view).indicator());
    vl(view).setImage(Source::provider(stalled), nullptr, options(), replaced.handler());
    vl(view).setImage(Source::provider(current), nullptr, options(), shown.handler());
  });
  current.release(photo);
  EXPECT_TRUE(shown.get());
  onMain([&] {
    EXPECT_EQ(spinner->animatingCount(), 0);
    EXPECT_TRUE(spinner->activityIndicatorView()->isHidden());
    EXPECT_FALSE(spinner->activityIndicatorView()->isAnimating());
    // A load without a source replaces the running one as well.
    vl(view).setImage(Source::provider(cleared), nullptr, options(), beforeClearing.handler());
    EXPECT_FALSE(spinner->activityIndicatorView()->isHidden());
    vl(view).setImage(std::optional<Source>(), nullptr, options(), clearing.handler());
    EXPECT_EQ(spinner->animatingCount(), 0);
    EXPECT_TRUE(spinner->activityIndicatorView()->isHidden());
  });
  stalled.release(photo);
  cleared.release(photo);
  EXPECT_NE(staleSource(replaced.get().error()), nullptr);
  EXPECT_NE(staleSource(beforeClearing.get().error()), nullptr);
  onMain([&] {
    EXPECT_EQ(spinner->animatingCount(), 0) << "late ends give back nothing more";
    EXPECT_EQ(spinner->activityIndicatorView()->animationStarts(), 2);
  });
}

// An application's indicator and placeholder that throw from every call, counting them.
class ThrowingIndicator final : public Indicator {
 public:
  void startAnimatingView() override {
    ++starts;
    throw std::runtime_error("indicator start");
  }
  void stopAnimatingView() override {
    ++stops;
    throw std::runtime_error("indicator stop");
  }
  Point centerOffset() const override { return {}; }
  std::shared_ptr<View> view() const override { return shown; }
  IndicatorSizeStrategy sizeStrategy(const ImageView&) const override { return IndicatorSizeStrategy::intrinsicSize(); }
  std::shared_ptr<View> shown = View::make();
  int starts = 0, stops = 0;
};

class ThrowingPlaceholder final : public Placeholder {
 public:
  void add(PlaceholderHost&) override {
    ++adds;
    throw 7;  // not even an exception
  }
  void remove(PlaceholderHost&) override {
    ++removes;
    throw std::runtime_error("placeholder remove");
  }
  int adds = 0, removes = 0;
};

// What the application's indicator, placeholder, attributed view or completion throws is its own: the load
// goes on, the result is shown, every caller hears once, and the call that started it does not throw.
TEST_F(ImageViewSetting, ApplicationCodeThatThrowsCostsTheLoadNothing) {
  HeldProvider held("held");
  auto view = onMain([] { return ImageView::make(); });
  auto indicator = std::make_shared<ThrowingIndicator>();
  auto placeholder = std::make_shared<ThrowingPlaceholder>();
  Completion done;
  onMain([&] {
    vl(view).setIndicatorType(IndicatorType::custom(indicator));
    EXPECT_NO_THROW(vl(view).setImage(Source::provider(held), placeholder, options(), done.handler()));
    EXPECT_NE(vl(view).taskIdentifier(), std::nullopt) << "the load started";
  });
  held.release(photo);
  auto outcome = done.get();
  ASSERT_TRUE(outcome) << outcome.error().what();
  onMain([&] {
    EXPECT_EQ(view->image(), outcome.value().image);
    EXPECT_EQ(vl(view).taskIdentifier(), std::nullopt);
    EXPECT_EQ(indicator->starts, 1);
    EXPECT_EQ(indicator->stops, 1);
    EXPECT_EQ(placeholder->adds, 1);
    EXPECT_EQ(placeholder->removes, 1);
  });

  // A completion that throws on a memory hit, where it runs inside the call.
  const RetrieveImageOutcome cached = outcome;
  Completion after;
  onMain([&] {
    EXPECT_NO_THROW(vl(view).setImage(Source::provider(held), nullptr, options(),
                                      [](const RetrieveImageOutcome&) { throw std::runtime_error("completion"); }));
    EXPECT_EQ(view->image(), cached.value().image);
    vl(view).setImage(Source::provider(held), nullptr, options(), after.handler());
  });
  EXPECT_TRUE(after.get());

  // A text attachment whose attributed view cannot be given still gets its image.
  HeldProvider other("other");
  auto attachment = onMain([] { return std::make_shared<TextAttachment>(); });
  Completion attached;
  onMain([&] {
    EXPECT_NO_THROW(vl(attachment).setImage(
        Source::provider(other), []() -> std::shared_ptr<View> { throw std::runtime_error("attributed view"); },
        nullptr, options(), nullptr, attached.handler()));
  });
  other.release(photo);
  ASSERT_TRUE(attached.get());
  onMain([&] { EXPECT_NE(attachment->image(), nullptr); });
}

// An indicator whose layout answers throw: its offset and size strategy as much as the view it gives.
class UnplaceableIndicator final : public Indicator {
 public:
  void startAnimatingView() override { ++starts; }
  void stopAnimatingView() override { ++stops; }
  Point centerOffset() const override { throw std::runtime_error("offset"); }
  std::shared_ptr<View> view() const override {
    if (viewThrows) throw std::runtime_error("view");
    return shown;
  }
  IndicatorSizeStrategy sizeStrategy(const ImageView&) const override { throw 3; }
  std::shared_ptr<View> shown = View::make(Rect{{0, 0}, {12, 12}});
  bool viewThrows = false;
  int starts = 0, stops = 0;
};

// An indicator's layout answers are the application's code too. One whose offset or size strategy throws is
// still put on the view hidden, centred and at its own size, and runs with the loads; what was put on the view
// is taken off when another indicator replaces it, even once the indicator can no longer name its view, and
// one that cannot name a view at all is kept with nothing to show.
TEST_F(ImageViewSetting, AnIndicatorWhoseLayoutThrowsIsStillPlacedAndTakenOff) {
  HeldProvider held("held");
  auto view = onMain([] { return ImageView::make(Rect{{0, 0}, {100, 80}}); });
  auto indicator = std::make_shared<UnplaceableIndicator>();
  Completion done;
  onMain([&] {
    EXPECT_NO_THROW(vl(view).setIndicatorType(IndicatorType::custom(indicator)));
    EXPECT_EQ(vl(view).indicator(), indicator);
    ASSERT_EQ(view->subviews(), (std::vector<std::shared_ptr<View>>{indicator->shown}));
    EXPECT_TRUE(indicator->shown->isHidden()) << "hidden until a load starts";
    EXPECT_EQ(view->constraintsNaming(*indicator->shown).size(), 2u) << "centred, at its own size";
    vl(view).setImage(Source::provider(held), nullptr, options(), done.handler());
    EXPECT_EQ(indicator->starts, 1);
  });
  held.release(photo);
  EXPECT_TRUE(done.get());
  onMain([&] {
    EXPECT_EQ(indicator->stops, 1);
    indicator->viewThrows = true;
    EXPECT_NO_THROW(vl(view).setIndicatorType(IndicatorType::activity()));
    EXPECT_EQ(indicator->shown->superview(), nullptr);
    auto spinner = std::dynamic_pointer_cast<ActivityIndicator>(vl(view).indicator());
    ASSERT_NE(spinner, nullptr);
    EXPECT_EQ(view->subviews(), (std::vector<std::shared_ptr<View>>{spinner->activityIndicatorView()}));

    EXPECT_NO_THROW(vl(view).setIndicatorType(IndicatorType::custom(indicator)));
    EXPECT_EQ(vl(view).indicator(), indicator);
    EXPECT_TRUE(view->subviews().empty());
    EXPECT_TRUE(view->constraints().empty());
  });
}

// Views dropped by another thread while they load (a list let go of by a worker): every load still answers
// once, and nothing of the views is touched off the main queue (the thread sanitizer watches this one).
TEST_F(ImageViewSetting, ViewsReleasedOffTheMainQueueWhileLoadingAnswerOnce) {
  constexpr int kViews = 20;
  std::vector<std::unique_ptr<HeldProvider>> providers;
  std::vector<Completion> done(kViews);
  for (int i = 0; i < kViews; ++i) providers.push_back(std::make_unique<HeldProvider>("dropped-" + std::to_string(i)));
  auto views = onMain([&] {
    std::vector<std::shared_ptr<ImageView>> made;
    for (int i = 0; i < kViews; ++i) {
      auto view = ImageView::make();
      vl(view).setIndicatorType(IndicatorType::activity());
      vl(view).setImage(Source::provider(*providers[i]), std::make_shared<ImagePlaceholder>(image(2, 2)), options(),
                        done[i].handler());
      made.push_back(view);
    }
    return made;
  });
  std::thread([dropped = std::move(views)]() mutable { dropped.clear(); }).join();
  for (int i = 0; i < kViews; ++i) providers[i]->release(i % 2 ? photo : foundation::Bytes{});
  for (int i = 0; i < kViews; ++i) EXPECT_EQ(bool(done[i].get()), i % 2 == 1) << i;
  flushMain();
  for (const auto& completion : done) EXPECT_EQ(completion.calls(), 1);
}

TEST_F(ImageViewSetting, TheManagersDefaultOptionsComeBeforeTheCallsWhateverFormTheListTakes) {
  auto manager = VellumManager::shared();
  const VellumOptionsInfo saved = manager->defaultOptions();
  struct Restore {
    std::shared_ptr<VellumManager> manager;
    VellumOptionsInfo options;
    ~Restore() { manager->setDefaultOptions(options); }
  } restore{manager, saved};
  const auto fallback = image(3, 3);
  const auto ownFallback = image(5, 5);
  manager->setDefaultOptions({Item::onFailureImage(fallback)});

  auto [atHand, optional, overridden] = onMain([] {
    return std::make_tuple(ImageView::make(), ImageView::make(), ImageView::make());
  });
  Completion atHandDone, optionalDone, overriddenDone;
  onMain([&] {
    const VellumOptionsInfo missing = options({Item::onlyFromCache()});
    const VellumOptionsInfo ownFailure = options({Item::onlyFromCache(), Item::onFailureImage(ownFallback)});
    vl(atHand).setImage(source("/missing.png"), nullptr, missing, atHandDone.handler());
    vl(optional).setImage(source("/missing.png"), nullptr, std::optional<VellumOptionsInfo>(missing),
                          optionalDone.handler());
    vl(overridden).setImage(source("/missing.png"), nullptr, ownFailure, overriddenDone.handler());
  });
  EXPECT_FALSE(atHandDone.get());
  EXPECT_FALSE(optionalDone.get());
  EXPECT_FALSE(overriddenDone.get());
  onMain([&] {
    EXPECT_EQ(atHand->image(), fallback);
    EXPECT_EQ(optional->image(), fallback);
    EXPECT_EQ(overridden->image(), ownFallback) << "the call's own items come after the defaults";
  });
}

TEST_F(ImageViewSetting, ViewPlaceholdersComeAndGoAndKeepingTheCurrentImageCountsThem) {
  HeldProvider good("good");
  auto [view, failing, kept] = onMain([] {
    return std::make_tuple(ImageView::make(), ImageView::make(), ImageView::make());
  });
  auto box = View::make();
  auto failingBox = View::make();
  Completion done, failed, keptDone;
  auto gray = image(1, 1);
  onMain([&] {
    vl(view).setImage(Source::provider(good), box, options(), done.handler());
    EXPECT_EQ(box->superview(), view);
    vl(failing).setImage(source("/missing.png"), failingBox, options({Item::onlyFromCache()}), failed.handler());
    // With neither image nor placeholder the placeholder is applied; with a placeholder it is kept.
    vl(kept).setImage(source("/missing.png"), std::make_shared<ImagePlaceholder>(gray),
                      options({Item::onlyFromCache(), Item::keepCurrentImageWhileLoading()}));
    EXPECT_EQ(kept->image(), gray);
    vl(kept).setImage(source("/missing.png"), std::make_shared<ImagePlaceholder>(image(2, 2)),
                      options({Item::onlyFromCache(), Item::keepCurrentImageWhileLoading()}), keptDone.handler());
    EXPECT_EQ(kept->image(), gray);
  });
  good.release(photo);
  ASSERT_TRUE(done.get());
  EXPECT_FALSE(failed.get());
  EXPECT_FALSE(keptDone.get());
  onMain([&] {
    EXPECT_EQ(box->superview(), nullptr);
    EXPECT_TRUE(view->subviews().empty());
    EXPECT_EQ(view->image()->size(), (Size{8, 6}));
    EXPECT_EQ(failingBox->superview(), failing) << "a failure without a failure image keeps the placeholder";

    Completion cleared;
    vl(view).setImage(std::optional<Source>(), nullptr, options(), cleared.handler());
    EXPECT_EQ(view->image(), nullptr);
    EXPECT_TRUE(cleared.done());
  });
}

TEST_F(ImageViewSetting, PlainViewsPreloadEveryFrameAndLazyOnesKeepTheCallersChoice) {
  auto processor = std::make_shared<OptionsProcessor>();
  HeldProvider a("a"), b("b");
  auto [plain, lazy] = onMain([] { return std::make_tuple(ImageView::make(), std::make_shared<LazyImageView>()); });
  Completion plainDone, lazyDone;
  onMain([&] {
    vl(plain).setImage(Source::provider(a), nullptr, options({Item::processor(processor)}), plainDone.handler());
    vl(lazy).setImage(Source::provider(b), nullptr, options({Item::processor(processor)}), lazyDone.handler());
  });
  a.release(photo);
  ASSERT_TRUE(plainDone.get());
  b.release(photo);
  ASSERT_TRUE(lazyDone.get());
  EXPECT_EQ(processor->preloads, (std::vector<bool>{true, false}));
}

TEST_F(ImageViewSetting, PartialImagesOfAClearedRequestNeverReachTheView) {
  const auto jpeg = progressiveJPEG(gradient(96, 64));
  auto gate = std::make_shared<Gate>();
  server.on("GET", "/cleared.jpg", Reply{200, text(jpeg), "image/jpeg", {}, {}, gate});
  server.on("GET", "/shown.jpg", Reply{200, text(jpeg), "image/jpeg", {}, {}, {}});
  auto progressive = std::make_shared<const ImageProgressive>(false, true, 0);
  auto [cleared, shown] = onMain([] {
    return std::make_tuple(std::make_shared<RecordingImageView>(), std::make_shared<RecordingImageView>());
  });
  auto placeholder = std::make_shared<ImagePlaceholder>(image(1, 1));
  Completion clearedDone, shownDone;
  onMain([&] {
    vl(cleared).setImage(source("/cleared.jpg"), nullptr, options({Item::progressiveJPEG(progressive)}),
                         clearedDone.handler());
    vl(shown).setImage(source("/shown.jpg"), nullptr, options({Item::progressiveJPEG(progressive)}),
                       shownDone.handler());
  });
  ASSERT_TRUE(gate->waitForArrivals(1, std::chrono::seconds(10)));
  onMain([&] { vl(cleared).setImage(std::optional<Source>(), placeholder, options()); });
  gate->open();
  EXPECT_NE(staleSource(clearedDone.get().error()), nullptr);
  ASSERT_TRUE(shownDone.get());
  flushMain();
  onMain([&] {
    // The one that ran to the end showed partial images before the whole one.
    EXPECT_GT(shown->shown.size(), 2u);
    // The cleared one: nothing (the placeholder of the first call), then the placeholder, and nothing more.
    ASSERT_EQ(cleared->shown.size(), 2u);
    EXPECT_EQ(cleared->shown[1], placeholder->image());
  });
}

// A progress block that cancels its own load ends the request, which lets go of the block: the block still runs
// to its end with what it holds.
TEST_F(ImageViewSetting, AProgressBlockMayCancelItsOwnLoad) {
  // The body's first part, then a hold: the load is still under way when its first progress report runs.
  const std::string body = text(pngBytes(64, 64));
  testing_support::ScriptedServer paced(
      {{std::chrono::milliseconds(0),
        "HTTP/1.1 200 OK\r\nContent-Type: image/png\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" +
            body.substr(0, body.size() / 2),
        true},
       {std::chrono::milliseconds(0), body.substr(body.size() / 2), false}});
  const Source pacedSource = Source::network(VL::ImageResource(*URL::parse(paced.baseURL() + "/large.png")));
  auto view = onMain([] { return ImageView::make(Rect{{0, 0}, {50, 50}}); });
  auto ranToItsEnd = std::make_shared<std::atomic<int>>(0);
  Completion done;
  onMain([&] {
    std::weak_ptr<ImageView> weakView = view;
    auto held = std::make_shared<std::string>("held by the block");
    vl(view).setImage(
        pacedSource, nullptr, options({Item::forceRefresh()}),
        [weakView, held, ranToItsEnd](std::int64_t, std::int64_t) {
          if (auto shown = weakView.lock()) vl(shown).cancelDownloadTask();
          if (!held->empty()) ++*ranToItsEnd;
        },
        done.handler());
  });
  EXPECT_FALSE(done.get());
  flushMain();
  EXPECT_GE(ranToItsEnd->load(), 1);
}

TEST_F(ImageViewSetting, AMemoryHitEndsDuringTheCallAndSilencesTheRequestItReplaces) {
  const auto jpeg = progressiveJPEG(gradient(96, 64));
  auto gate = std::make_shared<Gate>();
  server.on("GET", "/replaced.jpg", Reply{200, text(jpeg), "image/jpeg", {}, {}, gate});
  auto progressive = std::make_shared<const ImageProgressive>(false, true, 0);
  const auto cached = image(3, 2);
  cache->store(cached, std::nullopt, url("/cached.png"), VellumParsedOptionsInfo{}, false);
  auto view = onMain([] { return std::make_shared<RecordingImageView>(); });
  std::shared_ptr<ActivityIndicator> spinner;
  Completion replaced, hit;
  onMain([&] {
    vl(view).setIndicatorType(IndicatorType::activity());
    spinner = std::dynamic_pointer_cast<ActivityIndicator>(vl(view).indicator());
    vl(view).setImage(source("/replaced.jpg"), nullptr, options({Item::progressiveJPEG(progressive)}),
                      replaced.handler());
  });
  ASSERT_TRUE(gate->waitForArrivals(1, std::chrono::seconds(10)));
  onMain([&] {
    EXPECT_EQ(vl(view).setImage(source("/cached.png"), nullptr, options(), hit.handler()), nullptr);
    EXPECT_TRUE(hit.done());
    EXPECT_EQ(view->image(), cached);
    EXPECT_EQ(vl(view).taskIdentifier(), std::nullopt);
    EXPECT_EQ(spinner->animatingCount(), 0) << "the replaced request's load was given back when it was replaced";
    EXPECT_TRUE(spinner->activityIndicatorView()->isHidden());
  });
  auto fromMemory = hit.get();
  ASSERT_TRUE(fromMemory);
  EXPECT_EQ(fromMemory.value().cacheType, CacheType::memory);
  EXPECT_EQ(fromMemory.value().image, cached);
  gate->open();
  EXPECT_NE(staleSource(replaced.get().error()), nullptr);
  flushMain();
  onMain([&] {
    // No partial image of the replaced download comes after the cached one.
    EXPECT_EQ(view->shown.back(), cached);
    EXPECT_EQ(spinner->animatingCount(), 0);
  });
  EXPECT_EQ(hit.calls(), 1);
}

TEST_F(ImageViewSetting, AReplacedRequestEndsInsteadOfRetryingAndLeavesTheCurrentTaskToCancel) {
  auto firstTry = std::make_shared<Gate>();
  auto current = std::make_shared<Gate>();
  auto flakyHits = std::make_shared<std::atomic<int>>(0);
  server.on("GET", "/flaky.png", [flakyHits, firstTry, bytes = png](const testing_support::RecordedRequest&) {
    if (++*flakyHits == 1) return Reply{500, "busy", "text/plain", {}, {}, firstTry};
    return imageReply(bytes);
  });
  server.on("GET", "/current.png", imageReply(png, current));
  auto view = onMain([] { return ImageView::make(); });
  Completion replaced, running;
  auto retry = std::make_shared<DelayRetryStrategy>(1, DelayRetryStrategy::Interval::seconds(0));
  onMain([&] {
    vl(view).setImage(source("/flaky.png"), nullptr, options({Item::retryStrategy(retry)}), replaced.handler());
  });
  ASSERT_TRUE(firstTry->waitForArrivals(1, std::chrono::seconds(10)));
  onMain([&] { vl(view).setImage(source("/current.png"), nullptr, options(), running.handler()); });
  ASSERT_TRUE(current->waitForArrivals(1, std::chrono::seconds(10)));
  firstTry->open();
  // Its retry would load an image nobody wants any more: the replaced request ends instead.
  EXPECT_NE(staleSource(replaced.get().error()), nullptr);
  EXPECT_EQ(flakyHits->load(), 1);
  flushMain();
  onMain([&] { vl(view).cancelDownloadTask(); });
  auto outcome = running.get();
  ASSERT_FALSE(outcome);
  EXPECT_TRUE(outcome.error().isTaskCancelled()) << outcome.error().what();
  current->open();
  flushMain();
}

// Loads into a view that name their own cache, then one that does not; answers 0 when the default cache
// appeared in the user's cache folder only with the last one.
int defaultCacheAppearsOnlyWhenUsed() {
  TempDirectory home, own;
  ::setenv("XDG_CACHE_HOME", home.path().c_str(), 1);
  auto mine = ImageCache::makeUnchecked("mine", own.path());
  auto view = onMain([] { return ImageView::make(); });
  auto load = [&](const std::string& key, const VellumOptionsInfo& items) {
    Completion done;
    onMain([&] {
      RawImageDataProvider provider(pngBytes(4, 4), key);
      vl(view).setImage(provider.convertToSource(), nullptr, items, done.handler());
    });
    return bool(done.get());
  };
  // A declarative row made with its own cache reads the shared manager's defaults, and nothing more; so do a
  // builder, an image indicator and a load without a source.
  const auto row = VLImage::url(URL::parse("http://127.0.0.1:9/a.png")).targetCache(mine);
  const auto builder = VL::url(URL::parse("http://127.0.0.1:9/b.png"))->targetCache(mine);
  onMain([&] {
    vl(view).setIndicatorType(IndicatorType::image(pngBytes(2, 2)));
    vl(view).setImage(std::optional<Source>(), nullptr, VellumOptionsInfo{VellumOptionsInfoItem::targetCache(mine)});
  });
  const bool named = load("named", {VellumOptionsInfoItem::targetCache(mine)}) && row.context()->source &&
                     builder->source() && vl(view).indicator();
  const bool untouched = std::filesystem::is_empty(home.path());
  const bool unnamed = load("unnamed", {});
  const bool made = !std::filesystem::is_empty(home.path());
  onMain([&] { view.reset(); });
  return !named || !unnamed ? 3 : !untouched ? 1 : !made ? 2 : 0;
}

// Run in a fresh copy of this program, where nothing has made the default cache yet. Exit 1: a load that
// named its own cache made the default one.
TEST(ViewsDefaultCache, MadeOnlyByALoadThatUsesIt) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(std::_Exit(defaultCacheAppearsOnlyWhenUsed()), testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace vellum::test
