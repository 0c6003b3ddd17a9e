// Partial images of a progressive JPEG in every family of image-setting objects: they never outlive the
// request that made them, whether it ends in the whole image or in a failure.
#include <gtest/gtest.h>

#include <testing/scripted_server.hpp>

#include "test_images.hpp"
#include "view_test_support.hpp"
#include "vellum/views/button_extension.hpp"
#include "vellum/views/image_holder_extension.hpp"
#include "vellum/views/image_view_extension.hpp"
#include "vellum/views/text_attachment_extension.hpp"
#include "vellum/views/vl_builder.hpp"
#include "vellum/views/vl_image.hpp"

namespace vellum::test {
namespace {

using Item = VellumOptionsInfoItem;
using PartialImages = ViewsFixture;
using testing_support::ScriptedServer;

// A picture with fine detail everywhere, so that every scan of its progressive JPEG carries real weight and
// a partial picture differs visibly from the whole one.
Bitmap speckled(std::uint32_t w, std::uint32_t h) {
  Bitmap bitmap = gradient(w, h);
  std::uint32_t state = 12345;
  for (std::size_t i = 0; i < bitmap.pixels.size(); ++i) {
    if (i % 4 == 3) continue;
    state = state * 1103515245u + 12345u;
    bitmap.pixels[i] = static_cast<std::uint8_t>((bitmap.pixels[i] + (state >> 24)) / 2);
  }
  return bitmap;
}

std::vector<std::string> chunksOf(const foundation::Bytes& bytes, std::size_t size) {
  std::vector<std::string> chunks;
  for (std::size_t at = 0; at < bytes.size(); at += size) {
    chunks.emplace_back(bytes.begin() + static_cast<std::ptrdiff_t>(at),
                        bytes.begin() + static_cast<std::ptrdiff_t>(std::min(bytes.size(), at + size)));
  }
  return chunks;
}

// Passes everything through; counts the partial pictures of progressive decoding (whole downloads come as
// data, partial pictures as images). Made holding, it keeps the first partial picture in processing until
// `release` (or its deadline), and with it the decoding of every later scan.
class PartialCounter final : public ImageProcessor {
 public:
  explicit PartialCounter(bool holdFirst = false) : holdFirst_(holdFirst) {}
  std::string identifier() const override { return "test.partials"; }
  ImagePtr process(const ImageProcessItem& item, const VellumParsedOptionsInfo& options) const override {
    if (item.isImage() && partials++ == 0 && holdFirst_) released_.wait_for(kMainQueueDeadline);
    return DefaultImageProcessor::defaultProcessor()->process(item, options);
  }
  void release() {
    if (!releasedOnce_.exchange(true)) release_.set_value();
  }
  mutable std::atomic<int> partials{0};

 private:
  const bool holdFirst_;
  std::atomic<bool> releasedOnce_{false};
  std::promise<void> release_;
  std::shared_future<void> released_ = release_.get_future().share();
};

// Progressive settings whose end the test can wait for: every holder of them (the retrieval, its decoder,
// blocks queued for the main queue) has let go once `released` is set; `firstOffer` once a partial image
// is about to be shown.
struct WatchedProgressive {
  struct Sentinel {
    explicit Sentinel(std::shared_ptr<Awaited<bool>> r) : released(std::move(r)) {}
    Sentinel(const Sentinel&) = delete;
    ~Sentinel() { released->set(true); }
    std::shared_ptr<Awaited<bool>> released;
  };
  WatchedProgressive() {
    auto settings = std::make_shared<ImageProgressive>(true, true, 0);
    settings->onImageUpdated.setBlock(
        [sentinel = std::make_shared<Sentinel>(released), firstOffer = firstOffer](
            ImagePtr) -> std::optional<ImageProgressive::UpdatingStrategy> {
          firstOffer->set(true);
          return std::nullopt;
        });
    progressive = std::move(settings);
  }
  std::shared_ptr<const ImageProgressive> progressive;
  std::shared_ptr<Awaited<bool>> released = std::make_shared<Awaited<bool>>();
  std::shared_ptr<Awaited<bool>> firstOffer = std::make_shared<Awaited<bool>>();
};

// One object of a family of image-setting objects, loaded as an app would load it.
struct Family {
  std::string name;
  // Makes a new object and starts loading `source` into it. Runs on the main queue.
  std::function<void(const Source& source, const ImagePtr& placeholder, VellumOptionsInfo options,
                     RetrieveImageCompletion done)>
      load;
  // The image the object shows now. Runs on the main queue.
  std::function<ImagePtr()> shown;
};

std::vector<Family> families() {
  auto view = std::make_shared<std::shared_ptr<ImageView>>();
  auto button = std::make_shared<std::shared_ptr<Button>>();
  auto attachment = std::make_shared<std::shared_ptr<TextAttachment>>();
  auto item = std::make_shared<std::shared_ptr<MenuItem>>();
  auto built = std::make_shared<std::shared_ptr<ImageView>>();
  return {
      {"image view",
       [view](const Source& s, const ImagePtr& placeholder, VellumOptionsInfo o, RetrieveImageCompletion done) {
         *view = ImageView::make();
         auto shownFirst = placeholder ? std::make_shared<ImagePlaceholder>(placeholder) : nullptr;
         vl(*view).setImage(s, shownFirst, o, nullptr, std::move(done));
       },
       [view] { return (*view)->image(); }},
      {"button",
       [button](const Source& s, const ImagePtr& placeholder, VellumOptionsInfo o, RetrieveImageCompletion done) {
         *button = Button::make();
         vl(*button).setImage(s, placeholder, o, nullptr, std::move(done));
       },
       [button] { return (*button)->image(); }},
      {"text attachment",
       [attachment](const Source& s, const ImagePtr& placeholder, VellumOptionsInfo o, RetrieveImageCompletion done) {
         *attachment = TextAttachment::make();
         vl(*attachment).setImage(s, [] { return nullptr; }, placeholder, o, nullptr, std::move(done));
       },
       [attachment] { return (*attachment)->image(); }},
      {"menu item",
       [item](const Source& s, const ImagePtr& placeholder, VellumOptionsInfo o, RetrieveImageCompletion done) {
         *item = std::make_shared<MenuItem>();
         vl(*item).setImage(s, placeholder, o, nullptr, std::move(done));
       },
       [item] { return (*item)->image(); }},
      {"builder",
       [built](const Source& s, const ImagePtr& placeholder, VellumOptionsInfo o, RetrieveImageCompletion done) {
         *built = ImageView::make();
         auto builder = VL::source(s)->placeholder(placeholder);
         builder->setOptions(VellumManager::shared()->parsedOptions(o));
         builder->onSuccess([done](const RetrieveImageResult& r) { done(RetrieveImageOutcome::success(r)); });
         builder->onFailure([done](const VellumError& e) { done(RetrieveImageOutcome::failure(e)); });
         builder->set(*built);
       },
       [built] { return (*built)->image(); }},
  };
}

TEST_F(PartialImages, TheImageShownLastIsTheCompletionsInEveryFamily) {
  const auto jpeg = progressiveJPEG(speckled(480, 360));
  const Bitmap whole = decodeWithLibjpeg(jpeg);
  server.on("GET", "/photo.jpg", Reply{200, "", "image/jpeg", {}, chunksOf(jpeg, 512), {}});
  constexpr int kRounds = 6;
  auto counter = std::make_shared<PartialCounter>();
  for (const auto& family : families()) {
    for (int round = 0; round < kRounds; ++round) {
      SCOPED_TRACE(family.name + ", round " + std::to_string(round));
      Completion done;
      WatchedProgressive watched;
      onMain([&] {
        family.load(source("/photo.jpg"), nullptr,
                    options({Item::progressiveJPEG(watched.progressive), Item::processor(counter), Item::forceRefresh()}), done.handler());
      });
      watched.progressive.reset();
      auto outcome = done.get();
      ASSERT_TRUE(outcome) << outcome.error().what();
      // Every partial image decoded for this request has been shown or dropped by now.
      ASSERT_TRUE(watched.released->get());
      flushMain();
      ImagePtr last = onMain([&] { return family.shown(); });
      ASSERT_NE(last, nullptr);
      EXPECT_EQ(last.get(), outcome.value().image.get());
      ASSERT_TRUE(last->hasBitmap());
      EXPECT_LE(largestChannelDifference(*last->bitmap(), whole), 2);
    }
  }
  EXPECT_GT(counter->partials.load(), 0) << "no partial image was ever decoded: the test proved nothing";
}

// A server that sends the head and the first part of a progressive JPEG, holds until the test releases it,
// then closes: the download fails after partial images were shown.
std::vector<ScriptedServer::Step> cutScript(const foundation::Bytes& jpeg) {
  const std::string body = text(jpeg);
  const std::string head = "HTTP/1.1 200 OK\r\nContent-Type: image/jpeg\r\nContent-Length: " +
                           std::to_string(body.size()) + "\r\n\r\n";
  return {{std::chrono::milliseconds(0), head + body.substr(0, body.size() * 3 / 5), true}};
}

TEST_F(PartialImages, AFailureAfterPartialImagesBringsBackThePlaceholderOrTheFailureImage) {
  const auto jpeg = progressiveJPEG(speckled(160, 120));
  ScriptedServer cut(cutScript(jpeg));
  const auto source = Source::network(VL::ImageResource(*URL::parse(cut.baseURL() + "/photo.jpg")));
  const auto placeholder = image(1, 1);
  const auto failureImage = image(2, 2);
  struct Case {
    std::string name;
    VellumOptionsInfo items;
    ImagePtr expected;
  };
  const std::vector<Case> cases{
      {"no failure image", {}, placeholder},
      {"a failure image", {Item::onFailureImage(failureImage)}, failureImage},
      {"a failure image of nothing", {Item::onFailureImage(nullptr)}, nullptr},
  };
  for (const auto& family : families()) {
    for (const auto& c : cases) {
      SCOPED_TRACE(family.name + ", " + c.name);
      Completion done;
      WatchedProgressive watched;
      auto items = c.items;
      items.push_back(Item::progressiveJPEG(watched.progressive));
      onMain([&] { family.load(source, placeholder, options(items), done.handler()); });
      ASSERT_TRUE(watched.firstOffer->get());
      ImagePtr partial = onMain([&] { return family.shown(); });
      ASSERT_NE(partial, nullptr);
      EXPECT_NE(partial, placeholder) << "a partial image is shown while the download runs";
      cut.release();
      auto outcome = done.get();
      ASSERT_FALSE(outcome);
      EXPECT_EQ(outcome.error().errorCase(), VellumError::Case::responseError) << outcome.error().what();
      flushMain();
      EXPECT_EQ(onMain([&] { return family.shown(); }).get(), c.expected.get());
    }
  }
}

// Starts `binder` as its placeholder layer does when it comes on screen.
void appear(const std::shared_ptr<ImageBinder>& binder, const std::shared_ptr<VLImage::Context>& context) {
  onMain([&] {
    auto appearing = renderImageBody<ImageElement>(binder, context).findAll(AnyView::Kind::onAppear);
    ASSERT_FALSE(appearing.empty());
    appearing.back().action()();
  });
}

TEST_F(PartialImages, ABinderShowsPartialImagesOnlyWhileItsLoadRuns) {
  const auto jpeg = progressiveJPEG(speckled(480, 360));
  server.on("GET", "/photo.jpg", Reply{200, "", "image/jpeg", {}, chunksOf(jpeg, 512), {}});
  for (int round = 0; round < 6; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    WatchedProgressive watched;
    auto succeeded = std::make_shared<Awaited<RetrieveImageResult>>();
    auto binder = onMain([] { return std::make_shared<ImageBinder>(); });
    {
      auto context = VLImage::url(URL::parse(url("/photo.jpg")))
                         .targetCache(cache)
                         .forceRefresh()
                         .progressiveJPEG(watched.progressive)
                         .onSuccess([succeeded](const RetrieveImageResult& r) { succeeded->set(r); })
                         .context();
      watched.progressive.reset();
      appear(binder, context);
    }
    const auto result = succeeded->get();
    ASSERT_TRUE(watched.released->get());
    flushMain();
    onMain([&] {
      EXPECT_TRUE(binder->isShown());
      EXPECT_EQ(binder->loadedImage().get(), result.image.get());
    });
  }

  ScriptedServer cut(cutScript(progressiveJPEG(speckled(160, 120))));
  const auto placeholder = image(1, 1);
  const auto failureMark = image(2, 2);
  for (bool withFailureView : {false, true}) {
    SCOPED_TRACE(withFailureView ? "with a failure view" : "with a placeholder");
    WatchedProgressive watched;
    auto failed = std::make_shared<Awaited<bool>>();
    auto toldReal = std::make_shared<std::vector<bool>>();
    auto value = VLImage::url(URL::parse(cut.baseURL() + "/photo.jpg"))
                     .targetCache(cache)
                     .progressiveJPEG(watched.progressive)
                     .placeholder([placeholder] { return AnyView::image(placeholder); })
                     .contentConfigure([toldReal](ImageElement element, bool real) {
                       toldReal->push_back(real);
                       return element.anyView();
                     })
                     .onFailure([failed](const VellumError&) { failed->set(true); });
    if (withFailureView) value = value.onFailureView([failureMark] { return AnyView::image(failureMark); });
    auto binder = onMain([] { return std::make_shared<ImageBinder>(); });
    appear(binder, value.context());
    ASSERT_TRUE(watched.firstOffer->get());
    EXPECT_TRUE(onMain([&] { return binder->isShown(); })) << "a partial image shows while the download runs";
    cut.release();
    ASSERT_TRUE(failed->get());
    flushMain();
    onMain([&] {
      EXPECT_EQ(binder->loadedImage(), nullptr);
      EXPECT_FALSE(binder->isShown());
      toldReal->clear();
      auto shownImages = renderImageBody<ImageElement>(binder, value.context()).findAll(AnyView::Kind::image);
      EXPECT_EQ(std::count(toldReal->begin(), toldReal->end(), true), 0) << "the content was told a failure is real";
      const auto expected = withFailureView ? failureMark : placeholder;
      EXPECT_TRUE(std::any_of(shownImages.begin(), shownImages.end(),
                              [&](const AnyView& node) { return node.imageValue() == expected; }));
    });
  }
}

// Scans decoded after the load ended could never be shown: the binder has none made. The first partial
// picture is held in processing so that every later scan is decoded only after the completion.
TEST_F(PartialImages, ABinderHasNoPartialImageMadeOnceItsLoadEnded) {
  const auto jpeg = progressiveJPEG(speckled(160, 120));
  server.on("GET", "/late.jpg", Reply{200, text(jpeg), "image/jpeg", {}, {}, {}});
  auto counter = std::make_shared<PartialCounter>(true);
  struct ReleaseOnExit {
    std::shared_ptr<PartialCounter> counter;
    ~ReleaseOnExit() { counter->release(); }
  } releaseOnExit{counter};
  WatchedProgressive watched;
  auto succeeded = std::make_shared<Awaited<bool>>();
  auto binder = onMain([] { return std::make_shared<ImageBinder>(); });
  {
    auto context = VLImage::url(URL::parse(url("/late.jpg")))
                       .targetCache(cache)
                       .progressiveJPEG(watched.progressive)
                       .setProcessor(counter)
                       .onSuccess([succeeded](const RetrieveImageResult&) { succeeded->set(true); })
                       .context();
    watched.progressive.reset();
    appear(binder, context);
  }
  ASSERT_TRUE(succeeded->get());
  counter->release();
  ASSERT_TRUE(watched.released->get());
  EXPECT_LE(counter->partials.load(), 1) << "partial pictures were made for a load that had ended";
  flushMain();
  EXPECT_TRUE(onMain([&] { return binder->isShown(); }));
}

}  // namespace
}  // namespace vellum::test
