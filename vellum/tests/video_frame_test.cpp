// Video frames: clips written here with libavcodec (a colour per half second, a black band on the left, and a
// copy whose display matrix asks for a quarter turn clockwise) read back through the real generator; the
// provider's outcome mapping through a scripted generator; files that are no plain video refused.
#include <gtest/gtest.h>
#include <sys/stat.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include <chrono>
#include <future>
#include <unordered_set>

#include "test_files.hpp"
#include "test_images.hpp"
#include "vellum/av_asset_image_data_provider.hpp"
#include "vellum/image_codecs.hpp"
#include "vellum/resource.hpp"
#include "vellum/source.hpp"

namespace vellum {
namespace {

using namespace std::chrono_literals;
using foundation::Bytes;
using RGB = std::array<int, 3>;
using ProviderError = AVAssetImageDataProvider::AVAssetImageDataProviderError;

// One colour per half second.
const std::vector<RGB> kSegments = {{220, 40, 40}, {40, 200, 40}, {40, 40, 220}, {220, 220, 40}, {220, 40, 220}, {40, 220, 220}};
constexpr int kWidth = 64, kHeight = 48, kFPS = 10, kBand = 16;

// MPEG-4 part 2 in MP4, 10 frames a second, a keyframe every 7 frames (so a seek lands before the segment
// asked for and must decode forward); the left 16 columns are black.
void writeClip(const std::filesystem::path& path, bool quarterTurnClockwise) {
  AVFormatContext* out = nullptr;
  ASSERT_GE(avformat_alloc_output_context2(&out, nullptr, "mp4", path.c_str()), 0);
  const AVCodec* encoder = avcodec_find_encoder(AV_CODEC_ID_MPEG4);
  ASSERT_NE(encoder, nullptr);
  AVStream* stream = avformat_new_stream(out, nullptr);
  AVCodecContext* c = avcodec_alloc_context3(encoder);
  c->width = kWidth, c->height = kHeight, c->pix_fmt = AV_PIX_FMT_YUV420P;
  c->time_base = {1, kFPS}, c->framerate = {kFPS, 1}, c->gop_size = 7, c->max_b_frames = 0;
  c->flags |= AV_CODEC_FLAG_QSCALE | AV_CODEC_FLAG_GLOBAL_HEADER;
  c->global_quality = FF_QP2LAMBDA * 2;
  ASSERT_GE(avcodec_open2(c, encoder, nullptr), 0);
  avcodec_parameters_from_context(stream->codecpar, c);
  stream->time_base = c->time_base;
  if (quarterTurnClockwise) {
    // The track header's matrix (a b u / c d v / x y w, 16.16 and 2.30 fixed point) maps a stored point to
    // (a x + c y, b x + d y): with b = 1, c = -1 the stored top-left corner lands top-right, a quarter turn
    // clockwise.
    auto* matrix = reinterpret_cast<std::int32_t*>(av_stream_new_side_data(stream, AV_PKT_DATA_DISPLAYMATRIX, 36));
    const std::int32_t quarterTurn[9] = {0, 1 << 16, 0, -(1 << 16), 0, 0, 0, 0, 1 << 30};
    std::copy(std::begin(quarterTurn), std::end(quarterTurn), matrix);
  }
  ASSERT_GE(avio_open(&out->pb, path.c_str(), AVIO_FLAG_WRITE), 0);
  ASSERT_GE(avformat_write_header(out, nullptr), 0);
  AVFrame* frame = av_frame_alloc();
  frame->width = kWidth, frame->height = kHeight, frame->format = AV_PIX_FMT_YUV420P;
  av_frame_get_buffer(frame, 0);
  AVPacket* packet = av_packet_alloc();
  const auto drain = [&] {
    while (avcodec_receive_packet(c, packet) == 0) {
      av_packet_rescale_ts(packet, c->time_base, stream->time_base);
      packet->stream_index = stream->index;
      av_interleaved_write_frame(out, packet);
    }
  };
  const int frames = static_cast<int>(kSegments.size()) * kFPS / 2;
  for (int i = 0; i < frames; ++i) {
    av_frame_make_writable(frame);
    const RGB rgb = kSegments[i / (kFPS / 2)];
    // BT.601, limited range.
    const auto y = static_cast<std::uint8_t>(16 + 0.257 * rgb[0] + 0.504 * rgb[1] + 0.098 * rgb[2]);
    const auto u = static_cast<std::uint8_t>(128 - 0.148 * rgb[0] - 0.291 * rgb[1] + 0.439 * rgb[2]);
    const auto v = static_cast<std::uint8_t>(128 + 0.439 * rgb[0] - 0.368 * rgb[1] - 0.071 * rgb[2]);
    for (int row = 0; row < kHeight; ++row) {
      for (int col = 0; col < kWidth; ++col) frame->data[0][row * frame->linesize[0] + col] = col < kBand ? 16 : y;
    }
    for (int row = 0; row < kHeight / 2; ++row) {
      for (int col = 0; col < kWidth / 2; ++col) {
        frame->data[1][row * frame->linesize[1] + col] = col < kBand / 2 ? 128 : u;
        frame->data[2][row * frame->linesize[2] + col] = col < kBand / 2 ? 128 : v;
      }
    }
    frame->pts = i;
    avcodec_send_frame(c, frame);
    drain();
  }
  avcodec_send_frame(c, nullptr);
  drain();
  av_write_trailer(out);
  avio_closep(&out->pb);
  av_packet_free(&packet);
  av_frame_free(&frame);
  avcodec_free_context(&c);
  avformat_free_context(out);
}

ImageDataProvider::DataResult read(const ImageDataProvider& provider) {
  auto promise = std::make_shared<std::promise<ImageDataProvider::DataResult>>();
  provider.data([promise](ImageDataProvider::DataResult r) { promise->set_value(std::move(r)); });
  auto future = promise->get_future();
  if (future.wait_for(20s) != std::future_status::ready) throw std::runtime_error("no frame in time");
  return future.get();
}

void expectColour(const Bitmap& b, std::uint32_t x, std::uint32_t y, RGB rgb, const std::string& what) {
  const auto p = test::pixel(b, x, y);
  for (int c = 0; c < 3; ++c) EXPECT_NEAR(p[c], rgb[c], 30) << what << " channel " << c << " at " << x << "," << y;
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
    const auto result = read(AVAssetImageDataProvider(URL::fileURL(plain.string()), seconds));
    ASSERT_TRUE(result.ok()) << seconds;
    const Bitmap b = decodeJPEG(result.value()).value();
    ASSERT_EQ(b.width, 64u);
    ASSERT_EQ(b.height, 48u);
    expectColour(b, 40, 24, kSegments[segment], "plain at " + std::to_string(seconds));
    expectColour(b, 4, 24, {0, 0, 0}, "band");
  }
  // Turned a quarter clockwise: 48 x 64, the left band now along the top.
  const auto result = read(AVAssetImageDataProvider(URL::fileURL(turned.string()), 1.25));
  ASSERT_TRUE(result.ok());
  const Bitmap b = decodeJPEG(result.value()).value();
  EXPECT_EQ(b.width, 48u);
  EXPECT_EQ(b.height, 64u);
  expectColour(b, 24, 4, {0, 0, 0}, "band on top");
  expectColour(b, 24, 40, kSegments[2], "turned at 1.25");
  // Without the track transform the frame is as stored.
  auto generator = std::make_shared<VideoFileImageGenerator>(URL::fileURL(turned.string()));
  const Bitmap stored = decodeJPEG(read(AVAssetImageDataProvider(generator, MediaTime::fromSeconds(1.25))).value()).value();
  EXPECT_EQ(stored.width, 64u);
}

TEST_F(VideoFrames, FilesThatAreNoPlainVideoGiveTheGeneratorsError) {
  const auto errorOf = [](const std::filesystem::path& path) -> std::string {
    const auto result = read(AVAssetImageDataProvider(URL::fileURL(path.string()), 1.0));
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
}

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
  auto result = read(provider);
  ASSERT_FALSE(result.ok());
  EXPECT_THROW(std::rethrow_exception(result.error()), std::logic_error);
  EXPECT_EQ(generator->requested, (std::vector<MediaTime>{{900, 600}}));

  const auto providerCode = [&] {
    const auto r = read(provider);
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
  result = read(provider);
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
