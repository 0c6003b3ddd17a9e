// VLAnimatedImage through the host and the real manager: its AnimatedImageView is made once, configured
// before its first image, and afterwards only handed new images.
#include <gtest/gtest.h>

#include "cache_test_support.hpp"
#include "declarative_test_support.hpp"
#include "main_queue_support.hpp"
#include "manager_test_support.hpp"
#include "test_images.hpp"
#include "vellum/views/vl_animated_image.hpp"

namespace vellum::test {
namespace {

class VLAnimatedImageConcurrency : public ManagerFixture {
 protected:
  void SetUp() override {
    const auto gif = makeGIF(4, 4, {{0, 0, 4, 4, std::vector<std::uint8_t>(16, 1), DISPOSAL_UNSPECIFIED, NO_TRANSPARENT_COLOR, 5},
                                    {0, 0, 4, 4, std::vector<std::uint8_t>(16, 2), DISPOSAL_UNSPECIFIED, NO_TRANSPARENT_COLOR, 5}});
    server.on("GET", "/a.gif", Reply{200, text(gif), "image/gif", {}, {}, {}});
    server.on("GET", "/missing.gif", Reply::text(404, "no"));
    ManagerFixture::SetUp();
  }
  void TearDown() override {
    if (host) onMain([&] { host.reset(); });
    ManagerFixture::TearDown();
  }
  void show() { rebuildRows(host, rows); }
  std::vector<std::shared_ptr<AnimatedImageView>> views() {
    return onMain([&] {
      std::vector<std::shared_ptr<AnimatedImageView>> found;
      for (const auto& node : host->tree().findAll(AnyView::Kind::bridged)) {
        found.push_back(std::dynamic_pointer_cast<AnimatedImageView>(node.bridgedView()));
      }
      return found;
    });
  }

  std::vector<VLAnimatedImage> rows;
  std::shared_ptr<DeclarativeHost> host;
  std::shared_ptr<ManualFrameSource> frames = std::make_shared<ManualFrameSource>();
};

TEST_F(VLAnimatedImageConcurrency, ConfiguredOnceBeforeTheFirstImageThenOnlyUpdated) {
  std::vector<std::string> calls;  // main queue only
  Awaited<bool> loaded, failed;
  auto failureImage = Image::make(Bitmap{1, 1, {7, 7, 7, 255}});
  auto manual = [source = frames](AnimatedImageView& view) {
    view.setDisplayLinkFactory([source](DisplayLink::Target target, DisplayLink::Selector selector) {
      return DisplayLink::make(std::move(target), std::move(selector), source);
    });
  };
  const auto base = VLAnimatedImage::url(URL::parse(url("/a.gif"))).targetCache(cache);
  rows = {base.configure(manual)
              .configure([&calls](AnimatedImageView& v) { calls.push_back(v.image() ? "first, with image" : "first"); })
              .configure([&calls](AnimatedImageView& v) {
                calls.push_back(v.image() ? "second, with image" : "second");
                v.setRepeatCount(RepeatCount::once());
              })
              .onSuccess([&](const RetrieveImageResult&) { loaded.set(true); }),
          VLAnimatedImage::url(URL::parse(url("/missing.gif")))
              .targetCache(cache)
              .configure(manual)
              .onFailureImage(failureImage)
              .onFailure([&](const VellumError&) { failed.set(true); })};
  EXPECT_TRUE(base.context()->renderConfigurations().empty());
  show();
  EXPECT_TRUE(loaded.get());
  EXPECT_TRUE(failed.get());
  settle(host);
  show();  // a rebuild with new values of the same identities
  settle(host);

  const auto made = views();
  ASSERT_EQ(made.size(), 2u);
  onMain([&] {
    EXPECT_EQ(calls, (std::vector<std::string>{"first", "second"}));
    ASSERT_TRUE(made[0]->image());
    EXPECT_TRUE(made[0]->image()->frameSource());
    EXPECT_EQ(made[0]->repeatCount(), RepeatCount::once());
    EXPECT_NE(made[0]->animator(), nullptr);
    EXPECT_EQ(made[1]->image(), failureImage);
    for (const auto& view : made) {
      EXPECT_EQ(view->contentCompressionResistancePriority(LayoutOrientation::horizontal), 250);
      EXPECT_EQ(view->contentCompressionResistancePriority(LayoutOrientation::vertical), 250);
    }
  });
  EXPECT_EQ(views(), made);  // the same views: made once per identity
}

// The GIF's first frame is red, its second green: the layer turns green only once frames are decoded and the
// clock moves the animation on.
TEST_F(VLAnimatedImageConcurrency, AServedGIFPlaysInTheHost) {
  Awaited<bool> loaded;
  rows = {VLAnimatedImage::url(URL::parse(url("/a.gif")))
              .targetCache(cache)
              .configure([source = frames](AnimatedImageView& view) {
                view.setDisplayLinkFactory([source](DisplayLink::Target target, DisplayLink::Selector selector) {
                  return DisplayLink::make(std::move(target), std::move(selector), source);
                });
              })
              .onSuccess([&](const RetrieveImageResult&) { loaded.set(true); })};
  show();
  EXPECT_TRUE(loaded.get());
  settle(host);
  const auto view = views().at(0);
  // The row is the whole host: so is the view, now that it shows an image.
  EXPECT_EQ(onMain([&] { return view->frame(); }), onMain([&] { return host->rootView()->bounds(); }));
  auto preload = onMain([&] { return view->preloadQueue(); });
  std::int64_t hostTime = 1'000'000'000;
  bool green = false;
  for (int refresh = 0; refresh < 100 && !green; ++refresh) {
    hostTime += 50'000'000;
    frames->tick(FrameTime{hostTime, 50'000'000, 1'000'000'000});
    flushMain();  // the refresh
    flushMain();  // the frame change it performs
    flush(*preload);
    flushMain();
    green = onMain([&] {
      view->displayIfNeeded();
      const ImagePtr& shown = view->layer().contents;
      return shown && shown->hasBitmap() && shown->bitmap()->pixels[0] == 0 && shown->bitmap()->pixels[1] == 255;
    });
  }
  EXPECT_TRUE(green);
}

}  // namespace
}  // namespace vellum::test
