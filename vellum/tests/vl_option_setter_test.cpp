#include "vellum/views/vl_option_setter.hpp"

#include <gtest/gtest.h>

#include <mutex>
#include <thread>

#include "cache_test_support.hpp"
#include "test_images.hpp"

namespace vellum {
namespace {

// A shared configuration object, as the builder is: setters change and return the one object.
class Settings : public VLOptionSetter<Settings>, public std::enable_shared_from_this<Settings> {
 public:
  std::shared_ptr<Settings> copyForMutation() { return shared_from_this(); }
  VellumParsedOptionsInfo options() const {
    std::lock_guard lock(mutex_);
    return options_;
  }
  template <class F>
  void modifyOptions(F change) {
    std::unique_lock lock(mutex_);
    VellumParsedOptionsInfo old = options_;
    change(options_);
    lock.unlock();
  }
  Delegate<VellumError, std::monostate>& onFailureDelegate() { return failure_; }
  Delegate<RetrieveImageResult, std::monostate>& onSuccessDelegate() { return success_; }
  Delegate<VLProgress, std::monostate>& onProgressDelegate() { return progress_; }

 private:
  mutable std::mutex mutex_;
  VellumParsedOptionsInfo options_;
  Delegate<VellumError, std::monostate> failure_;
  Delegate<RetrieveImageResult, std::monostate> success_;
  Delegate<VLProgress, std::monostate> progress_;
};

httpkit::URLRequest requestTo(std::string url) {
  httpkit::URLRequest request;
  request.url = std::move(url);
  return request;
}

const std::string kBlur10 = "com.marrowby.Vellum.BlurImageProcessor(10.0)";
const std::string kBlackWhite = "com.marrowby.Vellum.BlackWhiteProcessor";
const std::string kDownsample100 = "com.marrowby.Vellum.DownsamplingImageProcessor((100.0, 100.0))";

TEST(VLOptionSetter, ProcessorShortcutsAppendAndDownsamplingReplacesOnlyTheDefault) {
  auto settings = std::make_shared<Settings>();
  EXPECT_EQ(settings->downsampling({100, 100})->options().processor->identifier(), kDownsample100);

  auto chained = std::make_shared<Settings>();
  auto returned = chained->blur(10)->blackWhite()->blur(10)->downsampling({100, 100});
  EXPECT_EQ(returned, chained);
  // Appending to the default processor keeps the separator in front, as every composition does.
  EXPECT_EQ(chained->options().processor->identifier(),
            "|>" + kBlur10 + "|>" + kBlackWhite + "|>" + kBlur10 + "|>" + kDownsample100);

  std::shared_ptr<const ImageProcessor> blur = std::make_shared<BlurImageProcessor>(10);
  std::shared_ptr<const ImageProcessor> blackWhite = std::make_shared<BlackWhiteProcessor>();
  auto folded = std::make_shared<Settings>();
  EXPECT_EQ(folded->setProcessors({blur})->options().processor, blur);
  EXPECT_EQ(folded->setProcessors({blur, blackWhite, blur})->options().processor->identifier(),
            kBlur10 + "|>" + kBlackWhite + "|>" + kBlur10);
  EXPECT_EQ(folded->setProcessors({})->options().processor->identifier(), "");
}

TEST(VLOptionSetter, SerializersFollowTheFormatAndOnlyJpegKeepsAQuality) {
  auto settings = std::make_shared<Settings>();
  auto serializer = [&](ImageFormat format, std::optional<double> quality) {
    auto s = std::dynamic_pointer_cast<const FormatIndicatedCacheSerializer>(
        settings->serialize(format, quality)->options().cacheSerializer);
    EXPECT_NE(s, nullptr);
    return s ? std::make_pair(s->imageFormat, s->jpegCompressionQuality)
             : std::make_pair(ImageFormat::unknown, std::optional<double>(-1));
  };
  using Q = std::optional<double>;
  EXPECT_EQ(serializer(ImageFormat::unknown, 0.3), std::make_pair(ImageFormat::PNG, Q()));
  EXPECT_EQ(serializer(ImageFormat::PNG, std::nullopt), std::make_pair(ImageFormat::PNG, Q()));
  EXPECT_EQ(serializer(ImageFormat::JPEG, std::nullopt), std::make_pair(ImageFormat::JPEG, Q(1.0)));
  EXPECT_EQ(serializer(ImageFormat::JPEG, 0.4), std::make_pair(ImageFormat::JPEG, Q(0.4)));
  EXPECT_EQ(serializer(ImageFormat::GIF, 0.4), std::make_pair(ImageFormat::GIF, Q()));
}

// A null serializer once reached the cache's disk queue and was called there.
TEST(VLOptionSetter, ANullSerializerIsTheDefaultOneAndTheCacheStoresWithIt) {
  auto settings = std::make_shared<Settings>();
  settings->serialize(ImageFormat::JPEG)->serialize(nullptr);
  EXPECT_EQ(settings->options().cacheSerializer, DefaultCacheSerializer::defaultSerializer());

  test::TemporaryDirectory dir;
  auto cache = test::makeCache(dir.path());
  VellumParsedOptionsInfo options = settings->options();
  options.callbackQueue = CallbackQueue::untouch();
  VellumParsedOptionsInfo nulled = options;
  nulled.cacheSerializer = nullptr;  // the record's field is public: the cache takes null as the default too
  const Bitmap pixels = test::gradient(6, 4);
  for (const auto& o : {options, nulled}) {
    std::promise<CacheStoreResult> stored;
    cache->store(Image::make(pixels), std::nullopt, "k", o, true, [&](CacheStoreResult r) { stored.set_value(std::move(r)); });
    ASSERT_TRUE(test::await(stored.get_future()).diskCacheResult);
    cache->clearMemoryCache();
    std::promise<foundation::Result<ImageCacheResult, VellumError>> found;
    cache->retrieveImage("k", o, CallbackQueue::untouch(), [&](auto r) { found.set_value(std::move(r)); });
    const auto result = test::await(found.get_future());
    ASSERT_TRUE(result);
    ASSERT_EQ(result.value().cacheType(), CacheType::disk);
    EXPECT_EQ(result.value().image()->bitmap()->pixels, pixels.pixels);
  }
}

TEST(VLOptionSetter, FailureImageNoneDiffersFromNeverSetAndCallbacksCountAsSetEvenWhenEmpty) {
  auto never = std::make_shared<Settings>();
  EXPECT_FALSE(never->options().onFailureImage.has_value());
  auto cleared = std::make_shared<Settings>();
  cleared->onFailureImage(nullptr);
  ASSERT_TRUE(cleared->options().onFailureImage.has_value());
  EXPECT_EQ(*cleared->options().onFailureImage, nullptr);

  EXPECT_FALSE(never->onProgressDelegate().isSet());
  never->onProgress(nullptr);
  EXPECT_TRUE(never->onProgressDelegate().isSet());
  never->onProgressDelegate().call({1, 2});  // an empty callback is called without harm

  std::vector<VLProgress> seen;
  never->onProgress([&](std::int64_t r, std::int64_t e) { seen.emplace_back(r, e); });
  never->onProgressDelegate().call({400, 1000});
  EXPECT_EQ(seen, (std::vector<VLProgress>{{400, 1000}}));

  std::string failure;
  never->onFailure([&](const VellumError& e) { failure = e.what(); });
  never->onFailureDelegate().call(VellumError::imageSettingError({VellumError::ImageSettingErrorReason::EmptySource{}}));
  EXPECT_FALSE(failure.empty());
}

TEST(VLOptionSetter, ClosureFormsWrapTheCallersCode) {
  auto settings = std::make_shared<Settings>();
  settings->requestModifier([](httpkit::URLRequest& request) { request.headers.set("X-Modified", "yes"); });
  auto modifier = std::dynamic_pointer_cast<ImageDownloadRequestModifier>(settings->options().requestModifier);
  ASSERT_NE(modifier, nullptr);
  auto modified = modifier->modifiedSync(requestTo("http://127.0.0.1/a.png"));
  ASSERT_TRUE(modified.has_value());
  EXPECT_EQ(modified->headers.value("X-Modified"), "yes");

  auto replacement = Image::make(test::gradient(1, 1));
  settings->imageModifier([&](ImagePtr& image) { image = replacement; });
  EXPECT_EQ(settings->options().imageModifier->modify(Image::make(test::gradient(2, 2))), replacement);

  std::optional<std::string> followed;
  settings->redirectHandler([](VL::RedirectPayload payload) { payload.completionHandler(payload.newRequest); });
  settings->options().redirectHandler->handleHTTPRedirection(
      nullptr, httpkit::HTTPURLResponse{}, requestTo("http://127.0.0.1/b.png"),
      [&](std::optional<httpkit::URLRequest> r) { followed = r ? r->url : "refused"; });
  EXPECT_EQ(followed, "http://127.0.0.1/b.png");
}

TEST(VLOptionSetterConcurrency, ProcessorsAppendedFromManyThreadsAreAllKept) {
  auto settings = std::make_shared<Settings>();
  std::vector<std::jthread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 100; ++i) settings->blackWhite();
    });
  }
  threads.clear();
  auto identifier = settings->options().processor->identifier();
  std::size_t count = 0;
  for (auto at = identifier.find(kBlackWhite); at != std::string::npos; at = identifier.find(kBlackWhite, at + 1)) {
    ++count;
  }
  EXPECT_EQ(count, 800u);
}

}  // namespace
}  // namespace vellum
