// Declarative images against the real manager and a loopback server: the context's rules, the modifiers'
// copies, and the binder and renderer driven by the declarative host.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <optional>
#include <stdexcept>
#include <thread>
#include <vector>

#include "cache_test_support.hpp"
#include "declarative_test_support.hpp"
#include "main_queue_support.hpp"
#include "manager_test_support.hpp"
#include "vellum/image/image_processors.hpp"
#include "vellum/views/vl_animated_image.hpp"
#include "vellum/views/vl_image.hpp"

namespace vellum::test {
namespace {

using Context = VLImageContext<ImageElement>;

Source networkSource(const std::string& url) { return Source::network(VL::ImageResource(*URL::parse(url))); }
RetrieveImageResult someResult() {
  const Source s = networkSource("http://127.0.0.1:9/a.png");
  return RetrieveImageResult{nullptr, CacheType::none, s, s, std::nullopt, std::nullopt};
}

TEST(VLImageContext, EqualityHashAndCopy) {
  const Source a = networkSource("http://127.0.0.1:9/a.png");
  auto first = Context::make(a), second = Context::make(a);
  EXPECT_TRUE(*first == *second);
  EXPECT_TRUE(*first == *first);
  EXPECT_EQ(first->hashValue(), second->hashValue());
  EXPECT_TRUE(first->options().loadDiskFileSynchronously);

  second->modifyOptions([](auto& o) { o.processor = std::make_shared<BlurImageProcessor>(3); });
  EXPECT_FALSE(*first == *second);
  EXPECT_FALSE(*first == *Context::make(networkSource("http://127.0.0.1:9/b.png")));
  EXPECT_FALSE(*first == *Context::make(std::nullopt));
  EXPECT_TRUE(*Context::make(std::nullopt) == *Context::make(std::nullopt));

  // Everything else stays out of equality; a copy is equal and independent.
  int before = 0, after = 0;
  first->onSuccessDelegate->setBlock([&before](RetrieveImageResult) { ++before; return std::monostate{}; });
  first->setPlaceholder([](const Progress&) { return AnyView::clear(); });
  auto copy = first->copy();
  EXPECT_TRUE(*copy == *first);
  EXPECT_NE(copy.get(), first.get());
  copy->setCancelOnDisappear(true);
  copy->onSuccessDelegate->setBlock([&after](RetrieveImageResult) { ++after; return std::monostate{}; });
  EXPECT_FALSE(first->cancelOnDisappear());
  EXPECT_TRUE(static_cast<bool>(copy->placeholder()));
  first->onSuccessDelegate->call(someResult());
  EXPECT_EQ(before, 1);
  EXPECT_EQ(after, 0);
}

TEST(VLImageContext, FadeTable) {
  struct Row {
    bool force;
    ImageTransition transition;
    CacheType cacheType;
    std::optional<double> expected;
  };
  const Row rows[] = {
      {false, ImageTransition::fade(0.25), CacheType::none, 0.25},
      {false, ImageTransition::fade(0.25), CacheType::memory, std::nullopt},
      {false, ImageTransition::fade(0.25), CacheType::disk, std::nullopt},
      {true, ImageTransition::fade(0.25), CacheType::memory, 0.25},
      {true, ImageTransition::none(), CacheType::none, std::nullopt},
      {false, ImageTransition::none(), CacheType::none, std::nullopt},
  };
  for (const Row& row : rows) {
    auto context = Context::make(std::nullopt);
    context->modifyOptions([&](auto& o) {
      o.forceTransition = row.force;
      o.transition = row.transition;
    });
    EXPECT_EQ(context->fadeTransitionDuration(row.cacheType), row.expected);
    EXPECT_EQ(context->shouldApplyFade(row.cacheType), row.force || row.cacheType == CacheType::none);
  }
}

TEST(VLImage, ModifiersChangeACopy) {
  const auto a = VLImage::url(URL::parse("http://127.0.0.1:9/a.png"));
  auto b = a.cancelOnDisappear(true);
  EXPECT_FALSE(a.context()->cancelOnDisappear());
  EXPECT_TRUE(b.context()->cancelOnDisappear());
  EXPECT_NE(a.context(), b.context());
  EXPECT_TRUE(*a.context() == *b.context());
  EXPECT_EQ(a.loadImmediately(true).context(), a.context());
  EXPECT_FALSE(VLImage::url(std::nullopt).context()->source);
  EXPECT_FALSE(VLImage::data(std::nullopt, "k").context()->source);

  // A callback installed through a setter on b is not called for a.
  int called = 0;
  const auto c = b.onSuccess([&called](const RetrieveImageResult&) { ++called; });
  b.context()->onSuccessDelegate->call(someResult());
  EXPECT_EQ(called, 0);
  c.context()->onSuccessDelegate->call(someResult());
  EXPECT_EQ(called, 1);

  // Setting options directly reaches every value that shares the context.
  const VLImage shared = b;
  b.setOptions(VellumParsedOptionsInfo{VellumOptionsInfoItem::forceRefresh()});
  EXPECT_TRUE(shared.options().forceRefresh);

  // Image modifiers apply in the order they were called.
  const auto styled = a.resizable().renderingMode(VLImage::TemplateRenderingMode::template_);
  ASSERT_EQ(styled.context()->configurations().size(), 2u);
  ImageElement element = ImageElement::created(nullptr, styled.context());
  for (const auto& configure : styled.context()->configurations()) element = configure(element);
  EXPECT_EQ(element.modifiers, (std::vector<std::string>{"resizable(0,0,0,0,stretch)", "renderingMode(template)"}));
  EXPECT_NE(element.image, nullptr);  // an empty image, never nothing
}

class DeclarativeImageConcurrency : public ManagerFixture {
 protected:
  void SetUp() override {
    server.on("GET", "/slow.png", imageReply(png, gate));
    server.on("GET", "/slow-b.png", imageReply(png, gate));
    server.on("GET", "/missing.png", Reply::text(404, "no"));
    ManagerFixture::SetUp();
  }
  void TearDown() override {
    gate->open();
    if (host) onMain([&] { host.reset(); });
    ManagerFixture::TearDown();
  }

  // A row in the host, rebuilt from `rows` whenever the host rebuilds.
  void show(std::vector<VLImage> shown) {
    onMain([&] { rows = std::move(shown); });
    rebuildRows(host, rows);
  }
  VLImage image(const std::string& path) const { return VLImage::url(URL::parse(url(path))).targetCache(cache); }
  // The picture the first row shows.
  AnyView firstImageNode() {
    return onMain([&] {
      auto images = host->tree().findAll(AnyView::Kind::image);
      return images.empty() ? AnyView() : images.front();
    });
  }
  std::vector<std::string> log() {
    return onMain([&] { return host->logLines(); });
  }

  std::shared_ptr<Gate> gate = std::make_shared<Gate>();
  std::vector<VLImage> rows;
  std::shared_ptr<DeclarativeHost> host;
};

TEST_F(DeclarativeImageConcurrency, NoSourceReportsEmptySourceAndShowsTheFailureImage) {
  Awaited<VellumError> failed;
  auto failureImage = Image::make(Bitmap{1, 1, {9, 9, 9, 255}});
  show({VLImage::url(std::nullopt).onFailureImage(failureImage).onFailure([&](const VellumError& e) { failed.set(e); })});
  const VellumError error = failed.get();
  ASSERT_NE(error.imageSettingReason(), nullptr);
  EXPECT_TRUE(std::holds_alternative<VellumError::ImageSettingErrorReason::EmptySource>(error.imageSettingReason()->value));
  settle(host);
  auto node = firstImageNode();
  EXPECT_EQ(node.imageValue(), failureImage);
  EXPECT_EQ(server.totalHits(), 0);
}

TEST_F(DeclarativeImageConcurrency, AFreshImageFadesInInsideItsLinearAnimation) {
  Awaited<bool> succeeded;
  std::shared_ptr<ImageBinder> seen;
  show({image("/a.png").fade(0.25).onSuccess([&](const RetrieveImageResult& r) {
    succeeded.set(r.cacheType == CacheType::none);
  })});
  EXPECT_TRUE(succeeded.get());
  settle(host);
  EXPECT_EQ(server.hits("GET", "/a.png"), 1);
  // The image came in first, still hidden, and was revealed in a linear animation of a quarter second.
  const auto lines = log();
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines.back(), "change in linear(0.25)");
  auto node = firstImageNode();
  ASSERT_TRUE(node.imageValue() && node.imageValue()->hasBitmap());
  EXPECT_EQ(node.imageValue()->pixelSize(), (Size{24, 16}));
  auto opacities = onMain([&] { return host->tree().findAll(AnyView::Kind::opacity); });
  ASSERT_EQ(opacities.size(), 1u);
  EXPECT_EQ(opacities[0].opacityValue(), 1.0);
  // The placeholder layer went with the reveal.
  EXPECT_TRUE(onMain([&] { return host->tree().findAll(AnyView::Kind::onDisappear).empty(); }));
}

TEST_F(DeclarativeImageConcurrency, AMemoryCachedImageWithAFadeShowsAtOnce) {
  cache->store(Image::make(gradient(8, 8)), std::nullopt, url("/a.png"), VellumParsedOptionsInfo{}, false);
  Awaited<CacheType> succeeded;
  show({image("/a.png").fade(0.25).onSuccess([&](const RetrieveImageResult& r) { succeeded.set(r.cacheType); })});
  EXPECT_EQ(succeeded.get(), CacheType::memory);
  settle(host);
  for (const auto& line : log()) EXPECT_EQ(line.find("linear"), std::string::npos) << line;
  EXPECT_EQ(firstImageNode().imageValue()->pixelSize(), (Size{8, 8}));
  EXPECT_EQ(server.totalHits(), 0);
}

// A host that no shared pointer owns (made on the stack, or held in an optional as here) is told of its row's
// image as one made with `make` is, and shows it.
TEST_F(DeclarativeImageConcurrency, AHostNotMadeWithMakeShowsItsRowsImage) {
  Awaited<bool> loaded;
  const std::vector<AnyView> shown{image("/a.png").onSuccess([&](const RetrieveImageResult&) { loaded.set(true); }).body()};
  std::optional<DeclarativeHost> own;
  onMain([&] {
    own.emplace([&shown] { return AnyView::stack(shown); });
    own->rebuild();
  });
  EXPECT_TRUE(loaded.get());
  onMain([] {});
  const ImagePtr picture = onMain([&] {
    own->rebuildIfNeeded();
    auto images = own->tree().findAll(AnyView::Kind::image);
    return images.empty() ? nullptr : images.front().imageValue();
  });
  ASSERT_TRUE(picture && picture->hasBitmap());
  EXPECT_EQ(picture->pixelSize(), (Size{24, 16}));
  onMain([&] { own.reset(); });
}

TEST_F(DeclarativeImageConcurrency, ARowThatLeavesStillReachesTheDelegates) {
  Awaited<bool> succeeded;
  show({image("/slow.png").onSuccess([&](const RetrieveImageResult&) { succeeded.set(true); })});
  ASSERT_TRUE(gate->waitForArrivals(1, std::chrono::seconds(20)));
  show({});  // the row leaves: its binder goes, the retrieval is not cancelled
  gate->open();
  EXPECT_TRUE(succeeded.get());
}

TEST_F(DeclarativeImageConcurrency, StartingBeforeAppearingHitsTheServerOnce) {
  Awaited<bool> succeeded;
  show({image("/a.png").startLoadingBeforeViewAppear().onSuccess([&](const RetrieveImageResult&) { succeeded.set(true); })});
  EXPECT_TRUE(succeeded.get());
  settle(host);
  EXPECT_EQ(server.hits("GET", "/a.png"), 1);
}

// A failure's own notice, and any later rebuild, must not start the row again: before appearing, a row starts
// once; afterwards only its appearance does.
TEST_F(DeclarativeImageConcurrency, StartingBeforeAppearingIsOnceWhateverTheFailureShows) {
  server.on("GET", "/sentinel.png", imageReply(png));
  struct Case {
    std::string name;
    std::optional<std::string> path;  // none: a row without source
    std::function<VLImage(VLImage)> style;
  };
  const auto failureView = [] { return AnyView::clear().opacity(0.5); };
  const Case cases[] = {
      {"a 404 with a failure view", "/missing.png", [&](VLImage v) { return v.onFailureView(failureView); }},
      {"a 404 with no failure image", "/missing.png", [](VLImage v) { return v.onFailureImage(nullptr); }},
      {"no source, with a failure view", std::nullopt, [&](VLImage v) { return v.onFailureView(failureView); }},
      {"a 404 and nothing to show", "/missing.png", [](VLImage v) { return v; }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const int hitsBefore = server.hits("GET", "/missing.png");
    auto failures = std::make_shared<std::atomic<int>>(0);
    auto first = std::make_shared<Awaited<bool>>();
    VLImage row = c.path ? image(*c.path) : VLImage::url(std::nullopt);
    show({c.style(row.startLoadingBeforeViewAppear()).onFailure([failures, first](const VellumError&) {
      ++*failures;
      first->set(true);
    })});
    EXPECT_TRUE(first->get());
    // Rebuilds that have nothing to do with the row, each followed by what they queued on the main queue and
    // a round trip to the server, long enough for a restarted load to reach it.
    for (int round = 0; round < 8; ++round) {
      onMain([&] { host->rebuild(); });
      flushMain();
      flushMain();
      EXPECT_TRUE(retrieve(source("/sentinel.png"), {VellumOptionsInfoItem::forceRefresh()}).result);
    }
    // The main queue has gone quiet: nothing asks the host for another rebuild any more.
    settle(host);
    flushMain();
    flushMain();
    EXPECT_FALSE(onMain([&] { return host->rebuildIfNeeded(); }));
    EXPECT_EQ(failures->load(), 1);
    EXPECT_EQ(server.hits("GET", "/missing.png") - hitsBefore, c.path ? 1 : 0);
    onMain([&] { host.reset(); });
  }
}

TEST_F(DeclarativeImageConcurrency, ANewPlaceholderKeepsTheImageAndANewSourceReloads) {
  Awaited<bool> first;
  show({image("/a.png").onSuccess([&](const RetrieveImageResult&) { first.set(true); })});
  EXPECT_TRUE(first.get());
  settle(host);
  show({image("/a.png").placeholder([] { return AnyView::clear(); })});
  settle(host);
  EXPECT_EQ(server.hits("GET", "/a.png"), 1);
  EXPECT_NE(firstImageNode().imageValue(), nullptr);
  EXPECT_TRUE(firstImageNode().imageValue()->hasBitmap());

  Awaited<bool> second;
  server.on("GET", "/b.png", imageReply(png));
  show({image("/b.png").onSuccess([&](const RetrieveImageResult&) { second.set(true); })});
  EXPECT_TRUE(second.get());
  EXPECT_EQ(server.hits("GET", "/b.png"), 1);
}

// A row still waiting for its image shows the empty image; a full rebuild that changes nothing keeps its nodes
// rather than making each of them again. Before, every build made a new empty image, so the row never came
// out equal to what it built before.
TEST_F(DeclarativeImageConcurrency, ARowWaitingForItsImageRebuildsToTheSameNodes) {
  show({image("/slow.png"), image("/slow-b.png")});
  const auto pictures = [&] { return onMain([&] { return host->tree().findAll(AnyView::Kind::image); }); };
  const auto before = pictures();
  ASSERT_EQ(before.size(), 2u);
  EXPECT_FALSE(before[0].imageValue()->hasBitmap());
  rebuildRows(host, rows);
  const auto after = pictures();
  ASSERT_EQ(after.size(), 2u);
  for (std::size_t i = 0; i < 2; ++i) EXPECT_EQ(&after[i].children(), &before[i].children()) << i;
  EXPECT_EQ(after[0].imageValue(), after[1].imageValue());
}

// Rows still waiting for their images, each configured otherwise: a modifier, a placeholder, nothing. Each shows
// what it is configured with and nothing of the others', while it waits and once its image has come.
TEST_F(DeclarativeImageConcurrency, WaitingRowsShowOnlyTheirOwnConfiguration) {
  server.on("GET", "/slow-c.png", imageReply(png, gate));
  Awaited<bool> shown[3];
  auto done = [&shown](int i) { return [&shown, i](const RetrieveImageResult&) { shown[i].set(true); }; };
  show({image("/slow.png").resizable().onSuccess(done(0)),
        image("/slow-b.png").placeholder([] { return AnyView::clear().opacity(0.5); }).onSuccess(done(1)),
        image("/slow-c.png").onSuccess(done(2))});
  ASSERT_TRUE(gate->waitForArrivals(3, std::chrono::seconds(20)));
  auto rows = [&] { return onMain([&] { return host->tree().children(); }); };
  auto opacities = [](const AnyView& row) {
    std::vector<double> values;
    for (const auto& node : row.findAll(AnyView::Kind::opacity)) values.push_back(node.opacityValue());
    return values;
  };
  auto modifiers = [](const AnyView& row) { return row.findAll(AnyView::Kind::image).at(0).imageModifiers(); };
  const std::vector<std::string> resizable{"resizable(0,0,0,0,stretch)"};

  auto waiting = rows();
  ASSERT_EQ(waiting.size(), 3u);
  EXPECT_EQ(modifiers(waiting[0]), resizable);
  EXPECT_TRUE(modifiers(waiting[1]).empty());
  EXPECT_TRUE(modifiers(waiting[2]).empty());
  // The hidden picture of each, and the placeholder's own opacity in its row only.
  EXPECT_EQ(opacities(waiting[0]), (std::vector<double>{0.0}));
  EXPECT_EQ(opacities(waiting[1]), (std::vector<double>{0.0, 0.5}));
  EXPECT_EQ(opacities(waiting[2]), (std::vector<double>{0.0}));
  for (const auto& row : waiting) {
    const auto frames = row.findAll(AnyView::Kind::frame);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].width(), 0.0);
    EXPECT_EQ(frames[0].height(), 0.0);
    EXPECT_EQ(row.findAll(AnyView::Kind::onDisappear).size(), 1u);
  }

  gate->open();
  for (auto& row : shown) EXPECT_TRUE(row.get());
  settle(host);
  const auto loaded = rows();
  ASSERT_EQ(loaded.size(), 3u);
  EXPECT_EQ(modifiers(loaded[0]), resizable);
  for (const auto& row : loaded) {
    EXPECT_EQ(opacities(row), (std::vector<double>{1.0}));
    EXPECT_EQ(row.findAll(AnyView::Kind::image).at(0).imageValue()->pixelSize(), (Size{24, 16}));
    EXPECT_TRUE(row.findAll(AnyView::Kind::onDisappear).empty());
  }
}

// The closures a row is configured with are the application's: one that throws costs only itself. Before, one
// row's throwing placeholder left the whole list unbuilt, at every rebuild.
TEST_F(DeclarativeImageConcurrency, ARowWhoseClosuresThrowCostsOnlyItself) {
  Awaited<bool> loaded;
  Awaited<bool> failed;
  const auto failureImage = Image::make(Bitmap{1, 1, {9, 9, 9, 255}});
  const std::vector<AnyView> shown{
      image("/a.png").onSuccess([&](const RetrieveImageResult&) { loaded.set(true); }).body(),
      image("/slow.png")
          .placeholder([]() -> AnyView { throw std::runtime_error("placeholder"); })
          .configure([](ImageElement) -> ImageElement { throw std::runtime_error("configure"); })
          .contentConfigure([](ImageElement, bool) -> AnyView { throw 5; })
          .body(),
      VLImage::url(std::nullopt)
          .onFailureImage(failureImage)
          .onFailure([&](const VellumError&) {
            failed.set(true);
            throw std::runtime_error("failure delegate");
          })
          .body(),
      VLAnimatedImage::url(std::nullopt)
          .configure([](AnimatedImageView&) { throw std::runtime_error("render"); })
          .onFailureView([]() -> AnyView { throw std::runtime_error("failure view"); })
          .body(),
  };
  onMain([&] {
    host = DeclarativeHost::make([&shown] { return AnyView::stack(shown); });
    EXPECT_NO_THROW(host->rebuild());
  });
  EXPECT_TRUE(loaded.get());
  EXPECT_TRUE(failed.get());
  settle(host);
  onMain([&] {
    const auto images = host->tree().findAll(AnyView::Kind::image);
    ASSERT_EQ(images.size(), 3u) << "every still row builds its image layer";
    EXPECT_TRUE(images[0].imageValue()->hasBitmap());
    EXPECT_TRUE(images[1].imageModifiers().empty()) << "the configuration that threw is left out";
    EXPECT_EQ(images[2].imageValue(), failureImage) << "a failure delegate that throws leaves the row failed";
    EXPECT_EQ(host->tree().findAll(AnyView::Kind::bridged).size(), 1u);
    // The loading row shows nothing for its placeholder, the animated row nothing for its failure view.
    EXPECT_EQ(host->tree().findAll(AnyView::Kind::clear).size(), 2u);
  });
}

// A processor's identifier is part of a row's identity, and the application's code. A row whose processor
// cannot name itself is still built, and its load fails as processing fails; the rows beside it load, and
// rebuilds that compare the rows again go on.
TEST_F(DeclarativeImageConcurrency, ARowWhoseProcessorCannotNameItselfCostsOnlyItself) {
  struct Unnamed final : ImageProcessor {
    std::string identifier() const override { throw std::runtime_error("no name"); }
    ImagePtr process(const ImageProcessItem& item, const VellumParsedOptionsInfo& options) const override {
      return DefaultImageProcessor::defaultProcessor()->process(item, options);
    }
  };
  auto loaded = std::make_shared<Awaited<bool>>();
  auto failed = std::make_shared<Awaited<bool>>();
  const auto unnamed = std::make_shared<Unnamed>();
  onMain([&] {
    host = DeclarativeHost::make([this, loaded, failed, unnamed] {
      return AnyView::stack(
          {image("/a.png").onSuccess([loaded](const RetrieveImageResult&) { loaded->set(true); }).body(),
           image("/a.png")
               .setProcessor(unnamed)
               .onFailure([failed](const VellumError& error) {
                 failed->set(holds<VellumError::ProcessorErrorReason,
                                   VellumError::ProcessorErrorReason::ProcessingFailed>(error));
               })
               .body()});
    });
    EXPECT_NO_THROW(host->rebuild());
  });
  EXPECT_TRUE(loaded->get());
  EXPECT_TRUE(failed->get());
  onMain([&] {
    EXPECT_NO_THROW(host->rebuild());
    EXPECT_EQ(host->tree().findAll(AnyView::Kind::image).size(), 2u);
  });
}

// The renderer's actions on one binder, as a row scrolling off and back would fire them.
class BinderConcurrency : public DeclarativeImageConcurrency {
 protected:
  // The placeholder layer's actions in the tree the renderer builds now.
  std::pair<std::function<void()>, std::function<void()>> actions(const std::shared_ptr<ImageBinder>& binder,
                                                                  const std::shared_ptr<Context>& context) {
    return onMain([&] {
      AnyView tree = renderImageBody<ImageElement>(binder, context);
      auto appear = tree.findAll(AnyView::Kind::onAppear);
      auto disappear = tree.findAll(AnyView::Kind::onDisappear);
      EXPECT_EQ(appear.size(), 2u);  // the stack's empty one, then the placeholder layer's
      EXPECT_EQ(disappear.size(), 1u);
      return std::make_pair(appear.back().action(), disappear.front().action());
    });
  }
};

TEST_F(BinderConcurrency, LeavingAndReturningWithCancelOnDisappearWritesNothingStale) {
  // Results queued on the main queue: the cancelled retrieval reports after the row is back.
  auto context = image("/slow.png").cancelOnDisappear(true).callbackQueue(CallbackQueue::mainAsync()).context();
  // The delegates outlive this test's frame: what they touch is shared.
  auto failures = std::make_shared<Awaited<bool>>();
  auto succeeded = std::make_shared<Awaited<bool>>();
  auto failureCount = std::make_shared<std::atomic<int>>(0);
  context->onFailureDelegate->setBlock([failures, failureCount](VellumError) {
    ++*failureCount;
    failures->set(true);
    return std::monostate{};
  });
  context->onSuccessDelegate->setBlock([succeeded](RetrieveImageResult) {
    succeeded->set(true);
    return std::monostate{};
  });
  auto binder = onMain([] { return std::make_shared<ImageBinder>(); });
  auto [appear, disappear] = actions(binder, context);
  onMain([&] { appear(); });
  ASSERT_TRUE(gate->waitForArrivals(1, std::chrono::seconds(20)));
  onMain([&] {
    disappear();  // cancelled: loading false at once
    EXPECT_FALSE(binder->loading);
    appear();     // back before the cancelled retrieval has reported
    EXPECT_TRUE(binder->loading);
  });
  // The first retrieval's cancellation reaches the delegate, and writes nothing on the binder.
  EXPECT_TRUE(failures->get());
  flushMain();
  EXPECT_EQ(failureCount->load(), 1);
  onMain([&] {
    EXPECT_TRUE(binder->loading);
    EXPECT_NE(binder->downloadTask, nullptr);
    EXPECT_FALSE(binder->loaded);
  });
  // The second one is the binder's own.
  gate->open();
  EXPECT_TRUE(succeeded->get());
  flushMain();
  onMain([&] {
    EXPECT_TRUE(binder->isShown());
    EXPECT_FALSE(binder->loading);
  });
  EXPECT_EQ(failureCount->load(), 1);
}

// Results delivered where the transfer ends, off the main queue, while the row leaves (cancelling) and comes
// back (starting again) on the main queue: the first start's result is cancelled or, in the odd rounds, comes
// in at that very moment. What the completion reads to tell the two starts apart is written by the new start
// meanwhile (ThreadSanitizer watches this one).
TEST_F(BinderConcurrency, AnEarlierStartReportingOffTheMainQueueWhileTheRowComesBack) {
  for (int round = 0; round < 8; ++round) {
    SCOPED_TRACE(round);
    const std::string path = "/race-" + std::to_string(round) + ".png";
    auto roundGate = std::make_shared<Gate>();
    server.on("GET", path, imageReply(png, roundGate));
    auto context = image(path).cancelOnDisappear(true).callbackQueue(CallbackQueue::untouch()).context();
    // Both starts report, whichever way the first one ends.
    auto outcomes = std::make_shared<std::atomic<int>>(0);
    auto both = std::make_shared<Awaited<bool>>();
    auto count = [outcomes, both] {
      if (++*outcomes == 2) both->set(true);
      return std::monostate{};
    };
    context->onFailureDelegate->setBlock([count](VellumError) { return count(); });
    context->onSuccessDelegate->setBlock([count](RetrieveImageResult) { return count(); });
    auto binder = onMain([] { return std::make_shared<ImageBinder>(); });
    auto [appear, disappear] = actions(binder, context);
    onMain([&] { appear(); });
    ASSERT_TRUE(roundGate->waitForArrivals(1, std::chrono::seconds(20)));
    {
      std::jthread opener;
      onMain([&] {
        // Let go from inside the main queue's task: the result may come in at any moment of the leaving and
        // returning, but what it queues on the main queue runs after them. Let go before that task, the
        // result could already be shown when the row leaves, and a shown row neither cancels nor starts again.
        if (round % 2 == 1) opener = std::jthread([roundGate] { roundGate->open(); });
        disappear();
        appear();
      });
    }
    roundGate->open();
    EXPECT_TRUE(both->get());
    flushMain();
    onMain([&] {
      EXPECT_TRUE(binder->isShown());
      EXPECT_FALSE(binder->loading);
      EXPECT_EQ(binder->startNumber(), 2u);
    });
  }
}

TEST_F(BinderConcurrency, ReducedPriorityOnLeavingIsResetOnReturn) {
  for (bool alsoCancel : {false, true}) {
    auto context =
        image(alsoCancel ? "/slow-b.png" : "/slow.png").reducePriorityOnDisappear(true).cancelOnDisappear(alsoCancel).context();
    auto binder = onMain([] { return std::make_shared<ImageBinder>(); });
    auto [appear, disappear] = actions(binder, context);
    onMain([&] { appear(); });
    ASSERT_TRUE(gate->waitForArrivals(alsoCancel ? 2 : 1, std::chrono::seconds(20)));
    onMain([&] {
      auto task = binder->downloadTask;
      ASSERT_NE(task, nullptr);
      disappear();
      if (alsoCancel) {
        // Both flags: leaving cancels, the priority branch is not taken.
        EXPECT_EQ(binder->downloadTask, nullptr);
        EXPECT_FALSE(binder->loading);
        return;
      }
      EXPECT_EQ(binder->downloadTask, task);
      EXPECT_TRUE(binder->loading);
      // The transfer runs at the highest priority its callers ask for; this row is its only caller.
      auto transfer = [&] { return task->sessionTask() ? task->sessionTask()->task()->priority() : -1.0f; };
      EXPECT_EQ(transfer(), kURLSessionTaskPriorityLow);
      appear();  // busy: only the priority comes back
      EXPECT_EQ(binder->downloadTask, task);
      EXPECT_EQ(transfer(), kDefaultDownloadPriority);
    });
  }
  EXPECT_EQ(server.hits("GET", "/slow.png"), 1);  // nothing restarted
}

TEST_F(BinderConcurrency, TheDisappearActionDoesNothingWhileAPartialImageShows) {
  auto context = image("/slow.png").cancelOnDisappear(true).context();
  auto binder = onMain([] { return std::make_shared<ImageBinder>(); });
  auto [appear, disappear] = actions(binder, context);
  onMain([&] { appear(); });
  ASSERT_TRUE(gate->waitForArrivals(1, std::chrono::seconds(20)));
  onMain([&] {
    // What the progressive setter does with a partial image.
    binder->markLoaded(true);
    binder->setLoadedImage(Image::make(gradient(4, 4)));
    auto task = binder->downloadTask;
    disappear();
    EXPECT_EQ(binder->downloadTask, task);
    EXPECT_TRUE(binder->loading);
  });
}

// Starts asked for together run in the order asked, a bounded slice at a time: work queued on the main queue
// after them gets its turn before the last of them, and a start that throws costs only itself.
TEST(ImageBinderStarts, StartsAskedTogetherRunInOrderAndLetOtherWorkIn) {
  constexpr int kStarts = 12;
  std::vector<int> ran;
  int ranBeforeOtherWork = -1;
  onMain([&] {
    for (int i = 0; i < kStarts; ++i) {
      ImageBinder::startInTurn([i, &ran] {
        ran.push_back(i);
        // Each start takes longer than a slice's share, so no slice holds them all.
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        if (i == 3) throw std::runtime_error("start");
      });
    }
    foundation::MainQueue::post([&] { ranBeforeOtherWork = int(ran.size()); });
  });
  const auto deadline = std::chrono::steady_clock::now() + kMainQueueDeadline;
  while (onMain([&] { return ran.size(); }) < std::size_t(kStarts) && std::chrono::steady_clock::now() < deadline) {
  }
  onMain([&] {
    std::vector<int> expected(kStarts);
    for (int i = 0; i < kStarts; ++i) expected[std::size_t(i)] = i;
    EXPECT_EQ(ran, expected);
    EXPECT_GT(ranBeforeOtherWork, 0);
    EXPECT_LT(ranBeforeOtherWork, kStarts);
  });
}

}  // namespace
}  // namespace vellum::test
