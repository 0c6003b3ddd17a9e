// Partial images of progressive JPEGs made here with libjpeg's progressive encoder and fed in pieces. How many
// partial images to expect comes from the file's own markers (one SOS marker per scan), read by a small
// marker walker below, not from the decoder.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>

#include "foundation/main_queue.hpp"
#include "image/progressive_jpeg_decoder.hpp"
#include "downloader_test_support.hpp"
#include "test_images.hpp"
#include "vellum/image/image_codecs.hpp"
#include "vellum/image/image_processors.hpp"
#include "vellum/image/image_progressive_provider.hpp"

#ifdef VELLUM_TESTS_HAVE_LOOPBACK
#include "httpkit/transfer_engine.hpp"
#include "testing/loopback_server.hpp"
#endif

namespace vellum {
namespace {

using namespace std::chrono_literals;

// Offsets of the SOS markers (one per scan) and of the EOI marker, by walking the marker segments and
// skipping entropy-coded data (where 0xFF is followed by 0x00 or a restart marker).
struct Markers {
  std::vector<std::size_t> scans;
  std::size_t end = 0;
};

Markers markers(const foundation::Bytes& jpeg) {
  Markers out;
  std::size_t at = 2;
  while (at + 2 <= jpeg.size()) {
    if (jpeg[at] != 0xFF) throw std::runtime_error("lost in the markers");
    const std::uint8_t code = jpeg[at + 1];
    if (code == 0xD9) {
      out.end = at;
      return out;
    }
    if (at + 4 > jpeg.size()) break;
    const std::size_t length = (std::size_t{jpeg[at + 2]} << 8) | jpeg[at + 3];
    if (code != 0xDA) {
      at += 2 + length;
      continue;
    }
    out.scans.push_back(at);
    at += 2 + length;
    while (at + 1 < jpeg.size() && !(jpeg[at] == 0xFF && jpeg[at + 1] != 0x00 && (jpeg[at + 1] < 0xD0 || jpeg[at + 1] > 0xD7))) ++at;
  }
  throw std::runtime_error("no EOI");
}

// Waits, with a deadline, until the main queue has run everything posted to it so far.
void settleMainQueue() {
  auto done = std::make_shared<std::promise<void>>();
  auto future = done->get_future();
  foundation::MainQueue::post([done] { done->set_value(); });
  ASSERT_EQ(future.wait_for(10s), std::future_status::ready);
}

struct Shown {
  std::mutex mutex;
  std::vector<ImagePtr> images;
  int onMainQueue = 0;

  ImageProgressiveProvider::Refresh refresh() {
    return [this](const ImagePtr& image) {
      std::lock_guard lock(mutex);
      images.push_back(image);
      onMainQueue += foundation::MainQueue::isCurrent() ? 1 : 0;
    };
  }
};

// Options that decode on the receiving thread, so that every partial image is on its way to the main queue
// when `receive` returns.
VellumParsedOptionsInfo progressiveOptions(bool isBlur, bool isFastestScan, double scanInterval) {
  VellumParsedOptionsInfo options;
  options.progressiveJPEG = std::make_shared<const ImageProgressive>(isBlur, isFastestScan, scanInterval);
  options.processingQueue = CallbackQueue::untouch();
  return options;
}

void feed(ImageProgressiveProvider& provider, const foundation::Bytes& data, std::size_t piece) {
  for (std::size_t at = 0; at < data.size(); at += piece) {
    provider.receive(std::span(data).subspan(at, std::min(piece, data.size() - at)));
  }
}

// Partial images as they reach the main queue, for tests whose decoding runs on other threads.
struct Arriving {
  std::mutex mutex;
  std::condition_variable arrived;
  std::vector<ImagePtr> images;

  static ImageProgressiveProvider::Refresh into(const std::shared_ptr<Arriving>& self) {
    return [self](const ImagePtr& image) {
      std::lock_guard lock(self->mutex);
      self->images.push_back(image);
      self->arrived.notify_all();
    };
  }
  // The images once `count` have come (a failure when they do not come in time, or more come).
  std::vector<ImagePtr> await(std::size_t count) {
    {
      std::unique_lock lock(mutex);
      EXPECT_TRUE(arrived.wait_for(lock, 10s, [&] { return images.size() >= count; })) << images.size();
    }
    settleMainQueue();
    std::lock_guard lock(mutex);
    EXPECT_EQ(images.size(), count);
    return images;
  }
};

double meanDifference(const Bitmap& a, const Bitmap& b) {
  double sum = 0;
  for (std::size_t i = 0; i < a.pixels.size(); ++i) sum += std::abs(int(a.pixels[i]) - int(b.pixels[i]));
  return sum / a.pixels.size();
}

const foundation::Bytes& photo() {
  static const auto bytes = test::progressiveJPEG(test::gradient(96, 64));
  return bytes;
}

TEST(ImageProgressive, EveryCompletedScanGivesAPartialImageThenTheWholeOne) {
  const auto scans = markers(photo()).scans.size();
  ASSERT_GE(scans, 6u);
  for (std::size_t piece : {std::size_t{37}, std::size_t{1000}, photo().size()}) {
    Shown shown;
    auto provider = ImageProgressiveProvider::make(progressiveOptions(false, true, 0), shown.refresh());
    ASSERT_TRUE(provider);
    feed(*provider, photo(), piece);
    settleMainQueue();
    ASSERT_EQ(shown.images.size(), scans) << piece;
    EXPECT_EQ(shown.onMainQueue, static_cast<int>(scans));
    // Full size from the first scan on, refined scan by scan into what a whole-file decode gives.
    const Bitmap whole = decodeJPEG(photo()).value();
    for (const auto& image : shown.images) EXPECT_EQ(image->pixelSize(), (Size{96, 64}));
    EXPECT_EQ(shown.images.back()->bitmap()->pixels, whole.pixels);
    EXPECT_GT(meanDifference(*shown.images.front()->bitmap(), whole), 0.5);
  }
}

TEST(ImageProgressive, ScanIntervalThrottlesUnlessFastestScan) {
  const auto scans = markers(photo()).scans.size();
  // A clock that moves one second each time it is read, that is once per completed scan: with 2.5 s between
  // images the first, fourth, seventh and tenth scans show.
  auto seconds = std::make_shared<int>(0);
  auto clock = [seconds] { return std::chrono::steady_clock::time_point(std::chrono::seconds(++*seconds)); };
  Shown throttled;
  auto provider = ImageProgressiveProvider::make(progressiveOptions(false, false, 2.5), throttled.refresh(), clock);
  feed(*provider, photo(), 50);
  settleMainQueue();
  EXPECT_EQ(*seconds, static_cast<int>(scans));
  EXPECT_EQ(throttled.images.size(), (scans + 2) / 3);

  Shown fastest;
  auto eager = ImageProgressiveProvider::make(progressiveOptions(false, true, 1000), fastest.refresh(), clock);
  feed(*eager, photo(), 50);
  settleMainQueue();
  EXPECT_EQ(fastest.images.size(), scans);
}

TEST(ImageProgressive, PartialImagesAreBlurredThenProcessed) {
  Shown plain, blurred, processed;
  auto a = ImageProgressiveProvider::make(progressiveOptions(false, true, 0), plain.refresh());
  auto b = ImageProgressiveProvider::make(progressiveOptions(true, true, 0), blurred.refresh());
  auto options = progressiveOptions(true, true, 0);
  options.processor = std::make_shared<const DownsamplingImageProcessor>(Size{24, 24});
  auto c = ImageProgressiveProvider::make(options, processed.refresh());
  for (auto* p : {a.get(), b.get(), c.get()}) feed(*p, photo(), 300);
  settleMainQueue();
  ASSERT_EQ(plain.images.size(), blurred.images.size());
  ASSERT_FALSE(plain.images.empty());
  // The first scan holds only each 8 x 8 block's average: flat blocks, which the blur smooths across.
  const Bitmap& coarse = *plain.images.front()->bitmap();
  const Bitmap& soft = *blurred.images.front()->bitmap();
  auto step = [](const Bitmap& b) { return std::abs(int(test::pixel(b, 8, 30)[0]) - int(test::pixel(b, 7, 30)[0])); };
  EXPECT_LT(step(soft), step(coarse));
  auto expected = BlurImageProcessor(ImageProgressiveProvider::kBlurRadius).process(ImageProcessItem::image(plain.images.front()), {});
  EXPECT_EQ(soft.pixels, expected->bitmap()->pixels);
  ASSERT_EQ(processed.images.size(), plain.images.size());
  for (const auto& image : processed.images) EXPECT_EQ(image->pixelSize(), (Size{24, 16}));
}

// A partial image stands in for the image its bytes will make: JPEG data makes a picture at scale 1 whatever
// the scale factor (96 x 64 points here), so a partial one must not show at half that size, nor give a
// processor measuring in points a different part of the picture than the finished image will.
TEST(ImageProgressive, PartialImagesHaveTheSizeOfTheFinishedImage) {
  auto options = progressiveOptions(false, true, 0);
  options.scaleFactor = 2;
  Shown plain, cropped;
  auto a = ImageProgressiveProvider::make(options, plain.refresh());
  options.processor = std::make_shared<const CroppingImageProcessor>(Size{48, 32}, Point{0, 0});
  auto b = ImageProgressiveProvider::make(options, cropped.refresh());
  for (auto* p : {a.get(), b.get()}) feed(*p, photo(), 300);
  settleMainQueue();
  ASSERT_FALSE(plain.images.empty());
  for (const auto& image : plain.images) EXPECT_EQ(image->size(), (Size{96, 64}));
  ASSERT_EQ(cropped.images.size(), plain.images.size());
  for (const auto& image : cropped.images) EXPECT_EQ(image->pixelSize(), (Size{48, 32}));
  auto finished = options.processor->process(ImageProcessItem::data(photo()), options);
  ASSERT_TRUE(finished);
  EXPECT_EQ(finished->pixelSize(), (Size{48, 32}));
}

TEST(ImageProgressive, UpdatingStrategies) {
  auto partial = Image::make(test::gradient(4, 4));
  auto replacement = Image::make(test::gradient(2, 2));
  std::vector<ImagePtr> set;
  auto setter = [&](const ImagePtr& image) { set.push_back(image); };
  ImageProgressive progressive;
  progressiveRefresh(partial, progressive, setter);  // no callback: shown
  progressive.onImageUpdated.setBlock([](ImagePtr) { return std::optional(ImageProgressive::UpdatingStrategy::default_()); });
  progressiveRefresh(partial, progressive, setter);
  progressive.onImageUpdated.setBlock([](ImagePtr) { return std::optional(ImageProgressive::UpdatingStrategy::keepCurrent()); });
  progressiveRefresh(partial, progressive, setter);
  progressive.onImageUpdated.setBlock(
      [&](ImagePtr) { return std::optional(ImageProgressive::UpdatingStrategy::replace(replacement)); });
  progressiveRefresh(partial, progressive, setter);
  EXPECT_EQ(set, (std::vector<ImagePtr>{partial, partial, replacement}));
}

TEST(ImageProgressive, NothingOnceShouldApplyIsFalse) {
  const auto scans = markers(photo());
  EXPECT_EQ(ImageProgressiveProvider::make(VellumParsedOptionsInfo{}, [](const ImagePtr&) {}), nullptr);
  Shown shown;
  auto provider = ImageProgressiveProvider::make(progressiveOptions(false, true, 0), shown.refresh());
  auto apply = std::make_shared<std::atomic<bool>>(true);
  provider->setOnShouldApply([apply] { return apply->load(); });
  // Up to the third scan's marker: two scans complete.
  provider->receive(std::span(photo()).first(scans.scans[2]));
  settleMainQueue();
  EXPECT_EQ(shown.images.size(), 2u);
  apply->store(false);
  provider->receive(std::span(photo()).subspan(scans.scans[2]));
  settleMainQueue();
  EXPECT_EQ(shown.images.size(), 2u);
  // Images already on their way to the main queue are held back as well.
  Shown late;
  auto other = ImageProgressiveProvider::make(progressiveOptions(false, true, 0), late.refresh());
  apply->store(true);
  other->setOnShouldApply([apply] { return apply->load(); });
  std::promise<void> gate;
  auto opened = gate.get_future().share();
  foundation::MainQueue::post([opened] { (void)opened.wait_for(10s); });  // hold the main queue
  other->receive(photo());
  apply->store(false);
  gate.set_value();
  settleMainQueue();
  EXPECT_TRUE(late.images.empty());
}

TEST(ImageProgressive, TruncatedCorruptAndOtherDataGiveNoPartialImage) {
  const auto found = markers(photo());
  // Cut inside the fourth scan's data: three images, the fourth never comes.
  for (std::size_t cut : {found.scans[3], found.scans[3] + 20, (found.scans[3] + found.scans[4]) / 2}) {
    Shown shown;
    auto provider = ImageProgressiveProvider::make(progressiveOptions(false, true, 0), shown.refresh());
    feed(*provider, foundation::Bytes(photo().begin(), photo().begin() + static_cast<long>(cut)), 64);
    settleMainQueue();
    EXPECT_EQ(shown.images.size(), 3u) << cut;
  }
  // A marker in the middle of the fourth scan's entropy data: that scan and all after it give nothing.
  auto corrupt = photo();
  const std::size_t middle = (found.scans[3] + found.scans[4]) / 2;
  const std::uint8_t marker[] = {0xFF, 0xD3};
  corrupt.insert(corrupt.begin() + static_cast<long>(middle), std::begin(marker), std::end(marker));
  Shown shown;
  auto provider = ImageProgressiveProvider::make(progressiveOptions(false, true, 0), shown.refresh());
  feed(*provider, corrupt, 100);
  settleMainQueue();
  EXPECT_EQ(shown.images.size(), 3u);

  // A baseline JPEG has one scan and nothing partial to show; other bytes show nothing either.
  for (const auto& data : {*encodeJPEG(test::gradient(32, 32), 0.8), *encodePNG(test::gradient(8, 8)),
                           foundation::Bytes(5000, 0xFF)}) {
    Shown none;
    auto p = ImageProgressiveProvider::make(progressiveOptions(false, true, 0), none.refresh());
    feed(*p, data, 100);
    settleMainQueue();
    EXPECT_TRUE(none.images.empty());
  }
}

#ifdef VELLUM_TESTS_HAVE_LOOPBACK
// Bytes as a download delivers them: a loopback server sends the file in chunks, libcurl hands over pieces
// of whatever size on its own thread, and the provider decodes on its own queue.
TEST(ImageProgressiveConcurrency, ServedInPiecesOverLoopback) {
  const auto jpeg = test::progressiveJPEG(test::gradient(320, 240));
  const auto scans = markers(jpeg).scans.size();
  testing_support::LoopbackServer server;
  testing_support::Reply reply{200, "", "image/jpeg", {}, {}, {}};
  for (std::size_t at = 0; at < jpeg.size(); at += 500) {
    reply.chunks.emplace_back(jpeg.begin() + static_cast<long>(at),
                              jpeg.begin() + static_cast<long>(std::min(at + 500, jpeg.size())));
  }
  server.on("GET", "/photo.jpg", reply);
  server.start();

  auto partial = std::make_shared<Arriving>();
  VellumParsedOptionsInfo options;
  options.progressiveJPEG = std::make_shared<const ImageProgressive>(false, true, 0);
  auto provider = ImageProgressiveProvider::make(options, Arriving::into(partial));
  struct Feeder : httpkit::TransferObserver {
    std::shared_ptr<ImageProgressiveProvider> provider;
    std::promise<std::optional<httpkit::URLError>> done;
    void didReceiveResponse(const httpkit::HTTPURLResponse&) override {}
    void didReceiveData(std::span<const std::uint8_t> bytes) override { provider->receive(bytes); }
    void didComplete(const std::optional<httpkit::URLError>& error, const httpkit::TaskMetrics&) override {
      done.set_value(error);
    }
  };
  auto feeder = std::make_shared<Feeder>();
  feeder->provider = provider;
  auto completed = feeder->done.get_future();
  {
    httpkit::TransferEngine engine;
    engine.start({server.baseURL() + "/photo.jpg", httpkit::HTTPMethod::get, {}, std::nullopt}, {}, feeder);
    ASSERT_EQ(completed.wait_for(10s), std::future_status::ready);
    EXPECT_FALSE(completed.get());
  }
  const auto images = partial->await(scans);
  ASSERT_FALSE(images.empty());
  EXPECT_EQ(images.back()->bitmap()->pixels, decodeJPEG(jpeg).value().pixels);
}
#endif

// The processing queue need not be serial: bytes still reach the decoder in the order they arrived, so a
// concurrent queue gives the partial images a serial one gives, in the same order.
TEST(ImageProgressiveConcurrency, AConcurrentProcessingQueueDecodesChunksInArrivalOrder) {
  const auto jpeg = test::progressiveJPEG(test::gradient(320, 240));
  const auto scans = markers(jpeg).scans.size();
  ASSERT_EQ(scans, 10u);
  auto partialImages = [&](std::optional<CallbackQueue> queue) {
    VellumParsedOptionsInfo options;
    options.progressiveJPEG = std::make_shared<const ImageProgressive>(false, true, 0);
    options.processingQueue = queue;
    auto partial = std::make_shared<Arriving>();
    auto provider = ImageProgressiveProvider::make(options, Arriving::into(partial));
    feed(*provider, jpeg, 64);
    std::vector<std::vector<std::uint8_t>> pixels;
    for (const auto& image : partial->await(scans)) pixels.push_back(image->bitmap()->pixels);
    return pixels;
  };
  const auto serial = partialImages(std::nullopt);
  ASSERT_EQ(serial.size(), scans);
  EXPECT_EQ(serial.back(), decodeJPEG(jpeg).value().pixels);
  for (int run = 0; run < 3; ++run) {
    const auto concurrent = partialImages(CallbackQueue::dispatchConcurrent());
    ASSERT_EQ(concurrent.size(), scans) << run;
    for (std::size_t i = 0; i < scans; ++i) EXPECT_EQ(concurrent[i], serial[i]) << "image " << i << ", run " << run;
  }
}

// A processor that throws costs only the partial image it was processing.
TEST(ImageProgressive, AProcessorThatThrowsDropsOnlyThatPartialImage) {
  const auto scans = markers(photo()).scans.size();
  auto options = progressiveOptions(false, true, 0);
  // Lets the first of every three images through (the first, fourth, seventh and tenth) and throws at the others.
  auto throwing = std::make_shared<test::ThrowingProcessor>([](int call) { return call % 3 != 1; });
  options.processor = throwing;
  Shown shown;
  auto provider = ImageProgressiveProvider::make(options, shown.refresh());
  feed(*provider, photo(), 64);
  settleMainQueue();
  EXPECT_EQ(throwing->calls, static_cast<int>(scans));
  ASSERT_EQ(shown.images.size(), (scans + 2) / 3);
  EXPECT_EQ(shown.images.back()->bitmap()->pixels, decodeJPEG(photo()).value().pixels);
}

TEST(ImageProgressive, DecoderLimitsAndStates) {
  ProgressiveJPEGDecoder decoder;
  int pictures = 0;
  decoder.append(std::span(photo()).first(100), [] { return true; }, [&](Bitmap) { ++pictures; });
  EXPECT_EQ(decoder.state(), ProgressiveJPEGDecoder::State::reading);
  decoder.append(std::span(photo()).subspan(100), [] { return false; }, [&](Bitmap) { ++pictures; });
  EXPECT_EQ(decoder.state(), ProgressiveJPEGDecoder::State::finished);
  EXPECT_EQ(decoder.completedScans(), static_cast<int>(markers(photo()).scans.size()));
  EXPECT_EQ(pictures, 0);
  // A valid file of 757 scans (each AC coefficient of each component alone, bit by bit) is refused once past
  // the scan limit, even when no picture is asked for.
  std::vector<jpeg_scan_info> script;
  script.push_back({3, {0, 1, 2, 0}, 0, 0, 0, 0});
  for (int al = 3; al >= 0; --al) {
    for (int component = 0; component < 3; ++component) {
      for (int k = 1; k < 64; ++k) script.push_back({1, {component, 0, 0, 0}, k, k, al == 3 ? 0 : al + 1, al});
    }
  }
  const Bitmap small16 = test::gradient(16, 16);
  const auto manyScans = test::encodeRowsWithLibjpeg(
      16, 16, 4, JCS_EXT_RGBA, [&](JDIMENSION y) { return &small16.pixels[std::size_t{y} * 64]; },
      [&](jpeg_compress_struct& info) {
        info.scan_info = script.data();
        info.num_scans = static_cast<int>(script.size());
      });
  ASSERT_EQ(markers(manyScans).scans.size(), 757u);
  ProgressiveJPEGDecoder endless;
  endless.append(manyScans, [] { return false; }, [&](Bitmap) { ++pictures; });
  EXPECT_EQ(endless.state(), ProgressiveJPEGDecoder::State::failed);
  EXPECT_LE(endless.completedScans(), 500);
  // A picture over the pixel limit is refused from its header.
  DecodingLimits tight;
  tight.maxPixels = 96 * 64 - 1;
  ProgressiveJPEGDecoder small(tight);
  small.append(photo(), [] { return true; }, [&](Bitmap) { ++pictures; });
  EXPECT_EQ(small.state(), ProgressiveJPEGDecoder::State::failed);
  EXPECT_EQ(pictures, 0);
}

}  // namespace
}  // namespace vellum
