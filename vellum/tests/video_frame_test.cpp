// Video frames: clips written here with libavcodec (a colour per half second, a black band on the left, and a
// copy whose display matrix asks for a quarter turn clockwise) read back through the real generator; the
// provider's outcome mapping through a scripted generator; files that are no plain video refused.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <future>
#include <unordered_set>

#include "test_allocations.hpp"
#include "test_files.hpp"
#include "test_providers.hpp"
#include "test_media.hpp"
#include "test_images.hpp"
#include "vellum/sources/av_asset_image_data_provider.hpp"
#include "vellum/image/image_codecs.hpp"
#include "vellum/sources/resource.hpp"
#include "vellum/sources/source.hpp"

namespace vellum {
namespace {

using foundation::Bytes;
using test::kSegments;
using test::RGB;
using test::writeClip;
using ProviderError = AVAssetImageDataProvider::AVAssetImageDataProviderError;


// Video is compressed twice (the clip, then the JPEG of the frame).
void expectColour(const Bitmap& b, std::uint32_t x, std::uint32_t y, RGB rgb, const std::string& what) {
  test::expectColourNear(b, x, y, rgb, 30, what);
}

class VideoFrames : public testing::Test {
 protected:
  void SetUp() override {
    writeClip(plain, false);
    writeClip(turned, true);
  }
  test::TempDirectory dir;
  std::filesystem::path plain = dir.path() / "clip.mp4";
  std::filesystem::path turned = dir.path() / "turned.mp4";
};

TEST_F(VideoFrames, AFrameShowsItsSegmentsColourAtTheDisplayedSize) {
  for (const auto& [seconds, segment] : std::vector<std::pair<double, int>>{{0.0, 0}, {1.25, 2}, {2.9, 5}}) {
    const auto result = test::readProvider(AVAssetImageDataProvider(URL::fileURL(plain.string()), seconds));
    ASSERT_TRUE(result.ok()) << seconds;
    const Bitmap b = decodeJPEG(result.value()).value();
    ASSERT_EQ(b.width, 64u);
    ASSERT_EQ(b.height, 48u);
    expectColour(b, 40, 24, kSegments[segment], "plain at " + std::to_string(seconds));
    expectColour(b, 4, 24, {0, 0, 0}, "band");
  }
  // Turned a quarter clockwise: 48 x 64, the left band now along the top.
  const auto result = test::readProvider(AVAssetImageDataProvider(URL::fileURL(turned.string()), 1.25));
  ASSERT_TRUE(result.ok());
  const Bitmap b = decodeJPEG(result.value()).value();
  EXPECT_EQ(b.width, 48u);
  EXPECT_EQ(b.height, 64u);
  expectColour(b, 24, 4, {0, 0, 0}, "band on top");
  expectColour(b, 24, 40, kSegments[2], "turned at 1.25");
  // Without the track transform the frame is as stored.
  auto generator = std::make_shared<VideoFileImageGenerator>(URL::fileURL(turned.string()));
  const Bitmap stored = decodeJPEG(test::readProvider(AVAssetImageDataProvider(generator, MediaTime::fromSeconds(1.25))).value()).value();
  EXPECT_EQ(stored.width, 64u);
  // Cancelling ends the requests made before it, not the ones made after.
  generator->cancelAllImageGeneration();
  EXPECT_TRUE(test::readProvider(AVAssetImageDataProvider(generator, MediaTime::fromSeconds(0.5))).ok());
}

TEST_F(VideoFrames, FilesThatAreNoPlainVideoGiveTheGeneratorsError) {
  const auto errorOf = [](const std::filesystem::path& path) -> std::string {
    const auto result = test::readProvider(AVAssetImageDataProvider(URL::fileURL(path.string()), 1.0));
    if (result.ok()) return "succeeded";
    try {
      std::rethrow_exception(result.error());
    } catch (const VideoFrameError&) {
      return "VideoFrameError";
    } catch (const std::exception& e) {
      return std::string("other: ") + e.what();
    }
  };
  std::ifstream in(plain, std::ios::binary);
  const Bytes clip((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(errorOf(dir.write("text.mp4", foundation::toBytes("just some words, no video"))), "VideoFrameError");
  EXPECT_EQ(errorOf(dir.write("cut.mp4", Bytes(clip.begin(), clip.begin() + clip.size() / 2))), "VideoFrameError");
  EXPECT_EQ(errorOf(dir.path() / "missing.mp4"), "VideoFrameError");
  // A playlist or a concat list would open other files (or the network).
  EXPECT_EQ(errorOf(dir.write("list.m3u8", foundation::toBytes("#EXTM3U\n#EXT-X-TARGETDURATION:1\n#EXTINF:1,\nclip.mp4\n#EXT-X-ENDLIST\n"))),
            "VideoFrameError");
  EXPECT_EQ(errorOf(dir.write("list.ffconcat", foundation::toBytes("ffconcat version 1.0\nfile 'clip.mp4'\n"))),
            "VideoFrameError");
  const auto fifo = dir.path() / "pipe.mp4";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_EQ(errorOf(fifo), "VideoFrameError");
  EXPECT_EQ(errorOf("/dev/zero"), "VideoFrameError");

  // 49 bytes: a file type box, then a sync-sample table that declares 486 million entries and holds none. The
  // demuxer sizes the table by the count before reading it; the read must fail without asking for 2 GB.
  const Bytes declaresHugeTable = {
      0x00, 0x00, 0x00, 0x1c, 'f', 't', 'y', 'p', 'i', 's', 'o', 'm', 0x00, 0x00, 0x02, 0x32, 'm',
      'p',  '4',  '1',  0x00, 0x00, 0x00, 0x08, 'f', '2', '5', '6', 'c', 'o', 'l', 'o', 't', 'r',
      'a',  'k',  0x00, 0x00, 0x00, 0x20, 's', 't', 's', 's', 0x00, 0x00, 0x00, 0x00, 0x1d};
  const auto hostile = dir.write("table.mp4", declaresHugeTable);
  std::string outcome;
  const auto largest = test::largestAllocation([&] { outcome = errorOf(hostile); });
  EXPECT_EQ(outcome, "VideoFrameError");
  if (largest) {
    EXPECT_LT(*largest, std::size_t{512} << 20) << "a declared count sized an allocation";
  }
}

// The generator's answer for one time, within a deadline generous enough for sanitizer builds.
AssetImageGenerator::Outcome frameAt(AssetImageGenerator& generator, double seconds) {
  auto promise = std::make_shared<std::promise<AssetImageGenerator::Outcome>>();
  generator.generateImage(MediaTime::fromSeconds(seconds),
                          [promise](AssetImageGenerator::Outcome o) { promise->set_value(std::move(o)); });
  auto future = promise->get_future();
  if (future.wait_for(std::chrono::seconds(60)) != std::future_status::ready) {
    throw std::runtime_error("no frame in time");
  }
  return future.get();
}

// A container with the codec a file of its kind usually carries, B-frames where that codec has them.
struct Container {
  const char* name;
  const char* muxer;
  const char* extension;
  const char* encoder;
  int fps;  // MPEG-1 and MPEG-2 know no rate below 23.976
  int bFrames;
};

void PrintTo(const Container& c, std::ostream* os) { *os << c.name; }

class VideoContainers : public testing::TestWithParam<Container> {};

// Three seconds, red, green, blue, written once with a keyframe only at the start and once with short groups
// of pictures; the frame answered for a time is the one on screen at that time (the last whose presentation
// time is not after it), and past the end the last one.
TEST_P(VideoContainers, GiveTheFrameOnScreenAtTheTimeAsked) {
  const Container& container = GetParam();
  if (!avcodec_find_encoder_by_name(container.encoder)) GTEST_SKIP() << "no " << container.encoder << " encoder";
  const std::vector<RGB> perSecond = {{200, 40, 40}, {40, 200, 40}, {40, 40, 200}};
  const double lastFrame = 3.0 - 1.0 / container.fps;
  test::TempDirectory dir;
  for (const int gop : {3 * container.fps, std::max(3, container.fps * 2 / 5)}) {
    test::Clip clip;
    clip.muxer = container.muxer, clip.encoder = container.encoder;
    clip.width = 32, clip.height = 32, clip.band = 0, clip.fps = container.fps;
    clip.gop = gop, clip.bFrames = container.bFrames, clip.colours = perSecond, clip.secondsPerColour = 1.0;
    const auto path = dir.path() / ("gop" + std::to_string(gop) + "." + container.extension);
    test::writeClip(path, clip);
    VideoFileImageGenerator generator(URL::fileURL(path.string()));
    for (const auto& [seconds, second] : std::vector<std::pair<double, int>>{{0.0, 0}, {0.99, 0}, {1.5, 1}, {2.99, 2}, {5.0, 2}}) {
      const std::string what = std::string(container.name) + " gop " + std::to_string(gop) + " at " + std::to_string(seconds);
      const auto outcome = frameAt(generator, seconds);
      ASSERT_EQ(outcome.result, AssetImageGenerator::Result::succeeded) << what;
      ASSERT_TRUE(outcome.image) << what;
      test::expectColourNear(*outcome.image, 16, 16, perSecond[second], 24, what);
      const double shown = std::min(seconds, lastFrame);
      EXPECT_LE(outcome.actualTime.seconds(), shown + 0.002) << what;
      // Encoders may drop a frame that repeats the one before, so only the colour's second bounds it below.
      EXPECT_GE(outcome.actualTime.seconds(), second) << what;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(, VideoContainers,
                         testing::Values(Container{"MP4", "mp4", "mp4", "mpeg4", 5, 2},
                                         Container{"QuickTimeH264", "mov", "mov", "libx264", 5, 2},
                                         Container{"Matroska", "matroska", "mkv", "mpeg4", 5, 2},
                                         Container{"WebM", "webm", "webm", "libvpx", 5, 0},
                                         Container{"AVI", "avi", "avi", "mpeg4", 5, 2},
                                         Container{"MPEGPS", "mpeg", "mpg", "mpeg1video", 24, 2},
                                         Container{"MPEGTS", "mpegts", "ts", "mpeg2video", 24, 2},
                                         Container{"Ogg", "ogg", "ogv", "libtheora", 5, 0},
                                         Container{"FLV", "flv", "flv", "flv", 5, 0},
                                         Container{"NUT", "nut", "nut", "mpeg4", 5, 2},
                                         Container{"IVF", "ivf", "ivf", "libvpx", 5, 0}),
                         [](const testing::TestParamInfo<Container>& info) { return std::string(info.param.name); });

// Answers every request at once with the outcome it was given.
class ScriptedGenerator final : public AssetImageGenerator {
 public:
  explicit ScriptedGenerator(std::optional<URL> url = std::nullopt) : url_(std::move(url)) {}
  std::optional<URL> assetURL() const override { return url_; }
  bool appliesPreferredTrackTransform() const override { return false; }
  void setAppliesPreferredTrackTransform(bool) override {}
  void generateImage(MediaTime time, CompletionHandler handler) override {
    requested.push_back(time);
    Outcome o = outcome;
    o.requestedTime = time;
    handler(std::move(o));
  }
  void cancelAllImageGeneration() override {}
  Outcome outcome;
  std::vector<MediaTime> requested;

 private:
  std::optional<URL> url_;
};

TEST(VideoFrameProvider, KeysAreStablePerProviderAndTimesCountIn600ths) {
  EXPECT_EQ(MediaTime::fromSeconds(2.0), (MediaTime{1200, 600}));
  EXPECT_EQ(MediaTime::fromSeconds(1.0 / 3.0), (MediaTime{200, 600}));
  EXPECT_EQ(AVAssetImageDataProvider(URL::fileURL("/tmp/v.mov"), 1.5).cacheKey(), "vellum.local.cacheKey///tmp/v.mov_1.5");
  EXPECT_EQ(AVAssetImageDataProvider(*URL::parse("https://x.test/v.mov"), 0.0).cacheKey(), "https://x.test/v.mov_0.0");

  // Without a URL: one random key per provider, the same at every read and in every copy, so its source is
  // equal to itself and found again in a set.
  auto generator = std::make_shared<ScriptedGenerator>();
  const AVAssetImageDataProvider provider(generator, MediaTime::fromSeconds(1.0));
  EXPECT_EQ(provider.cacheKey(), provider.cacheKey());
  EXPECT_EQ(provider.cacheKey().size(), 36u + 4u);
  EXPECT_EQ(provider.cacheKey().substr(36), "_1.0");
  const Source source = provider.convertToSource();
  EXPECT_EQ(source, provider.convertToSource());
  std::unordered_set<Source> set{source};
  EXPECT_EQ(set.count(provider.convertToSource()), 1u);
  EXPECT_NE(AVAssetImageDataProvider(generator, MediaTime::fromSeconds(1.0)).cacheKey(), provider.cacheKey());
}

TEST(VideoFrameProvider, OutcomesMapInOrderErrorCancelledImageInvalid) {
  auto generator = std::make_shared<ScriptedGenerator>();
  const AVAssetImageDataProvider provider(generator, MediaTime{900, 600});
  const auto image = std::make_shared<const Bitmap>(test::gradient(8, 8));
  using R = AssetImageGenerator::Result;

  // An error wins over cancellation and is passed on unchanged.
  generator->outcome = {{}, image, {}, R::cancelled, std::make_exception_ptr(std::logic_error("generator says no"))};
  auto result = test::readProvider(provider);
  ASSERT_FALSE(result.ok());
  EXPECT_THROW(std::rethrow_exception(result.error()), std::logic_error);
  EXPECT_EQ(generator->requested, (std::vector<MediaTime>{{900, 600}}));

  const auto providerCode = [&] {
    const auto r = test::readProvider(provider);
    if (r.ok()) throw std::runtime_error("expected a failure");
    try {
      std::rethrow_exception(r.error());
    } catch (const ProviderError& e) {
      return std::pair(e.code(), e.image());
    }
  };
  generator->outcome = {{}, image, {}, R::cancelled, nullptr};
  EXPECT_EQ(providerCode().first, ProviderError::Code::userCancelled);

  generator->outcome = {{}, image, {}, R::succeeded, nullptr};
  result = test::readProvider(provider);
  ASSERT_TRUE(result.ok());
  EXPECT_EQ(decodeJPEG(result.value()).value().width, 8u);

  generator->outcome = {{}, nullptr, {}, R::failed, nullptr};
  auto [code, carried] = providerCode();
  EXPECT_EQ(code, ProviderError::Code::invalidImage);
  EXPECT_EQ(carried, nullptr);
  // An image that cannot be encoded comes back inside the error.
  const auto empty = std::make_shared<const Bitmap>();
  generator->outcome = {{}, empty, {}, R::succeeded, nullptr};
  std::tie(code, carried) = providerCode();
  EXPECT_EQ(code, ProviderError::Code::invalidImage);
  EXPECT_EQ(carried, empty);
}

}  // namespace
}  // namespace vellum
