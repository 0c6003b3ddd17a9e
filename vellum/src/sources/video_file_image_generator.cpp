// Frames of video files through FFmpeg. The file is opened by us (non-blocking, regular files only) and
// handed to the demuxer through our own I/O callbacks; the demuxer may open nothing else (protocol
// whitelist "file", plain container formats only).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/display.h>
#include <libavutil/error.h>
#include <libswscale/swscale.h>
}

#include <boost/asio/post.hpp>

#include <cerrno>
#include <cmath>
#include <memory>
#include <string>

#include "exif_metadata.hpp"
#include "foundation/thread_pool.hpp"
#include "cache/regular_file.hpp"
#include "vellum/sources/asset_image_generator.hpp"
#include "vellum/image/image_codecs.hpp"
#include "video_frame_reader.hpp"

namespace vellum {
namespace {

// Demuxer names as FFmpeg lists them; a probed format outside the list is refused.
constexpr const char* kFormatWhitelist = "mov,mp4,m4a,3gp,3g2,mj2,matroska,webm,avi,mpeg,mpegts,ogg,flv,nut,ivf";

struct Request {
  int fd = -1;
  const std::function<bool()>* isCancelled = nullptr;
  bool cancelled() const { return (*isCancelled)(); }
};

int interruptCallback(void* opaque) { return static_cast<Request*>(opaque)->cancelled() ? 1 : 0; }

int readPacket(void* opaque, std::uint8_t* buffer, int size) {
  const int fd = static_cast<Request*>(opaque)->fd;
  for (;;) {
    const ssize_t n = ::read(fd, buffer, static_cast<std::size_t>(size));
    if (n > 0) return static_cast<int>(n);
    if (n == 0) return AVERROR_EOF;
    if (errno != EINTR) return AVERROR(errno);
  }
}

std::int64_t seekPacket(void* opaque, std::int64_t offset, int whence) {
  const int fd = static_cast<Request*>(opaque)->fd;
  if (whence & AVSEEK_SIZE) {
    struct stat status {};
    return ::fstat(fd, &status) == 0 ? static_cast<std::int64_t>(status.st_size) : AVERROR(errno);
  }
  const off_t position = ::lseek(fd, static_cast<off_t>(offset), whence & ~AVSEEK_FORCE);
  return position < 0 ? AVERROR(errno) : static_cast<std::int64_t>(position);
}

AssetImageGenerator::Outcome cancelledOutcome(MediaTime time) {
  return {time, nullptr, time, AssetImageGenerator::Result::cancelled, nullptr};
}

std::string averror(int code) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(code, text, sizeof text);
  return text;
}


struct Demuxer {
  AVIOContext* io = nullptr;
  AVFormatContext* format = nullptr;
  AVCodecContext* codec = nullptr;
  AVPacket* packet = nullptr;
  AVFrame* frame = nullptr;
  AVFrame* kept = nullptr;
  ~Demuxer() {
    av_frame_free(&kept);
    av_frame_free(&frame);
    av_packet_free(&packet);
    avcodec_free_context(&codec);
    avformat_close_input(&format);
    if (io) av_freep(&io->buffer);
    avio_context_free(&io);
  }
};

// 0, 1, 2 or 3 quarter turns clockwise that the stream's display matrix asks for.
int quarterTurns(const AVStream* stream) {
  const std::uint8_t* matrix = av_stream_get_side_data(stream, AV_PKT_DATA_DISPLAYMATRIX, nullptr);
  if (!matrix) return 0;
  // av_display_rotation_get answers the counter-clockwise angle.
  const double clockwise = -av_display_rotation_get(reinterpret_cast<const std::int32_t*>(matrix));
  if (!std::isfinite(clockwise)) return 0;
  return static_cast<int>(((std::lround(clockwise / 90.0) % 4) + 4) % 4);
}

}  // namespace

AssetImageGenerator::Outcome readVideoFrame(const URL& url, MediaTime time, bool applyTransform,
                                            const std::function<bool()>& isCancelled) {
  Request request;
  request.isCancelled = &isCancelled;
  AssetImageGenerator::Outcome outcome;
  outcome.requestedTime = time;
  const auto fail = [](const std::string& why) { throw VideoFrameError("Cannot make a frame of the video: " + why); };
  if (!url.isFileURL()) fail("not a file URL");
  std::optional<RegularFile> file;
  try {
    file.emplace(RegularFile::open(url.path()));
  } catch (const std::exception& e) {
    fail(e.what());
  }
  request.fd = file->fd();

  Demuxer d;
  constexpr int kBufferSize = 64 * 1024;
  auto* buffer = static_cast<unsigned char*>(av_malloc(kBufferSize));
  if (!buffer) fail("out of memory");
  d.io = avio_alloc_context(buffer, kBufferSize, 0, &request, readPacket, nullptr, seekPacket);
  if (!d.io) {
    av_free(buffer);
    fail("out of memory");
  }
  d.format = avformat_alloc_context();
  if (!d.format) fail("out of memory");
  d.format->pb = d.io;
  d.format->flags |= AVFMT_FLAG_CUSTOM_IO;
  d.format->interrupt_callback = {interruptCallback, &request};
  AVDictionary* options = nullptr;
  av_dict_set(&options, "format_whitelist", kFormatWhitelist, 0);
  av_dict_set(&options, "protocol_whitelist", "file", 0);
  int status = avformat_open_input(&d.format, nullptr, nullptr, &options);
  av_dict_free(&options);
  if (request.cancelled()) return cancelledOutcome(time);
  if (status < 0) fail("no video container it accepts (" + averror(status) + ")");
  status = avformat_find_stream_info(d.format, nullptr);
  if (request.cancelled()) return cancelledOutcome(time);
  if (status < 0) fail(averror(status));

  const AVCodec* decoder = nullptr;
  const int index = av_find_best_stream(d.format, AVMEDIA_TYPE_VIDEO, -1, -1, &decoder, 0);
  if (index < 0 || !decoder) fail("no video stream it can decode");
  AVStream* stream = d.format->streams[index];
  d.codec = avcodec_alloc_context3(decoder);
  if (!d.codec || avcodec_parameters_to_context(d.codec, stream->codecpar) < 0) fail("cannot set up the decoder");
  d.codec->max_pixels = static_cast<std::int64_t>(DecodingLimits{}.maxPixels);
  d.codec->thread_count = 1;
  if ((status = avcodec_open2(d.codec, decoder, nullptr)) < 0) fail(averror(status));

  const std::int64_t start = stream->start_time == AV_NOPTS_VALUE ? 0 : stream->start_time;
  const std::int64_t target = start + av_rescale_q(time.value, AVRational{1, time.timescale}, stream->time_base);
  if (av_seek_frame(d.format, index, target, AVSEEK_FLAG_BACKWARD) < 0) {
    av_seek_frame(d.format, index, start, AVSEEK_FLAG_BACKWARD);
  }
  d.packet = av_packet_alloc();
  d.frame = av_frame_alloc();
  d.kept = av_frame_alloc();
  if (!d.packet || !d.frame || !d.kept) fail("out of memory");

  bool reached = false, haveFrame = false, draining = false;
  const auto receive = [&] {
    while (avcodec_receive_frame(d.codec, d.frame) == 0) {
      av_frame_unref(d.kept);
      av_frame_move_ref(d.kept, d.frame);
      haveFrame = true;
      if (d.kept->best_effort_timestamp != AV_NOPTS_VALUE && d.kept->best_effort_timestamp >= target) {
        reached = true;
        return;
      }
    }
  };
  while (!reached) {
    if (request.cancelled()) return cancelledOutcome(time);
    if (!draining) {
      status = av_read_frame(d.format, d.packet);
      if (status < 0) {
        draining = true;
        avcodec_send_packet(d.codec, nullptr);
      } else {
        // A damaged packet is skipped; the next keyframe can still decode.
        if (d.packet->stream_index == index) avcodec_send_packet(d.codec, d.packet);
        av_packet_unref(d.packet);
      }
      receive();
    } else {
      receive();
      break;
    }
  }
  if (request.cancelled()) return cancelledOutcome(time);
  if (!haveFrame) fail("no frame could be decoded");

  const AVFrame* f = d.kept;
  if (f->width <= 0 || f->height <= 0) fail("empty frame");
  Bitmap bitmap{static_cast<std::uint32_t>(f->width), static_cast<std::uint32_t>(f->height), {}};
  bitmap.pixels.resize(bitmap.bytesPerRow() * bitmap.height);
  SwsContext* scaler = sws_getContext(f->width, f->height, static_cast<AVPixelFormat>(f->format), f->width, f->height,
                                      AV_PIX_FMT_RGBA, SWS_BILINEAR, nullptr, nullptr, nullptr);
  if (!scaler) fail("unsupported pixel format");
  std::uint8_t* planes[4] = {bitmap.pixels.data(), nullptr, nullptr, nullptr};
  int strides[4] = {static_cast<int>(bitmap.bytesPerRow()), 0, 0, 0};
  const int rows = sws_scale(scaler, f->data, f->linesize, 0, f->height, planes, strides);
  sws_freeContext(scaler);
  if (rows != f->height) fail("cannot convert the frame");
  if (applyTransform) {
    static constexpr int kOrientationOfTurns[] = {1, 6, 3, 8};
    bitmap = applyOrientation(bitmap, kOrientationOfTurns[quarterTurns(stream)]);
  }

  const std::int64_t pts = f->best_effort_timestamp == AV_NOPTS_VALUE ? target : f->best_effort_timestamp;
  outcome.actualTime = MediaTime{av_rescale_q(pts - start, stream->time_base, AVRational{1, time.timescale}),
                                 time.timescale};
  outcome.image = std::make_shared<const Bitmap>(std::move(bitmap));
  outcome.result = AssetImageGenerator::Result::succeeded;
  return outcome;
}

VideoFileImageGenerator::VideoFileImageGenerator(URL fileURL)
    : fileURL_(std::move(fileURL)), generation_(std::make_shared<std::atomic<std::uint64_t>>(0)) {}

VideoFileImageGenerator::~VideoFileImageGenerator() = default;

void VideoFileImageGenerator::cancelAllImageGeneration() { generation_->fetch_add(1); }

void VideoFileImageGenerator::generateImage(MediaTime time, CompletionHandler handler) {
  boost::asio::post(foundation::ThreadPool::shared(), [url = fileURL_, time, transform = appliesTransform_.load(),
                                                       generation = generation_, startedAt = generation_->load(),
                                                       handler = std::move(handler)] {
    const std::function<bool()> isCancelled = [&generation, startedAt] { return generation->load() != startedAt; };
    Outcome outcome;
    try {
      outcome = readVideoFrame(url, time, transform, isCancelled);
    } catch (...) {
      outcome = Outcome{time, nullptr, time, Result::failed, std::current_exception()};
    }
    handler(std::move(outcome));
  });
}

}  // namespace vellum
