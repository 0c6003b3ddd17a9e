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
#include <libavutil/mem.h>
#include <libswscale/swscale.h>
}

#include <boost/asio/post.hpp>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

#include "decoding_pool.hpp"
#include "exif_metadata.hpp"
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

// Demuxers size some tables by the count a file declares before reading them: 49 bytes of MP4 can ask for a
// sync-sample table of 2 GB. No block that reading a frame needs is larger than the largest picture a decoder
// may make (the pixel limit at 8 bytes a pixel, 16-bit RGBA), so FFmpeg is told to refuse anything larger.
// The limit is FFmpeg's own and holds for the whole process; it is set once, before the first file is opened.
void limitFFmpegBlocks() {
  static std::once_flag once;
  std::call_once(once, [] { av_max_alloc(static_cast<std::size_t>(DecodingLimits{}.maxPixels) * 8); });
}

[[noreturn]] void fail(const std::string& why) { throw VideoFrameError("Cannot make a frame of the video: " + why); }

// Thrown inside the read when the request was cancelled; the read answers Result::cancelled.
struct Cancelled {};

std::string averror(int code) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(code, text, sizeof text);
  return text;
}

// 0, 1, 2 or 3 quarter turns clockwise that the stream's display matrix asks for.
int quarterTurns(const AVStream* stream) {
  const std::uint8_t* matrix = av_stream_get_side_data(stream, AV_PKT_DATA_DISPLAYMATRIX, nullptr);
  if (!matrix) return 0;
  // av_display_rotation_get answers the counter-clockwise angle.
  const double clockwise = -av_display_rotation_get(reinterpret_cast<const std::int32_t*>(matrix));
  if (!std::isfinite(clockwise)) return 0;
  return static_cast<int>(((std::lround(clockwise / 90.0) % 4) + 4) % 4);
}

std::int64_t saturatingAdd(std::int64_t a, std::int64_t b) {
  std::int64_t sum = 0;
  if (!__builtin_add_overflow(a, b, &sum)) return sum;
  return b > 0 ? INT64_MAX : INT64_MIN + 1;
}

// The container and the video decoder over one open file. Containers give keyframes and timestamps with
// varying care (a transport stream seeks by its clock references and lands anywhere; AVI stores no
// presentation times), so a frame is found by decoding forward from a keyframe and comparing presentation
// times, seeking further back while the first frame decoded is already past the time asked.
class Video {
 public:
  explicit Video(Request& request) : request_(request) {}
  ~Video() {
    av_frame_free(&shown_);
    av_frame_free(&frame_);
    av_packet_free(&packet_);
    avcodec_free_context(&codec_);
    closeContainer();
  }
  Video(const Video&) = delete;
  Video& operator=(const Video&) = delete;

  void open() {
    openContainer();
    const AVCodec* decoder = nullptr;
    index_ = av_find_best_stream(format_, AVMEDIA_TYPE_VIDEO, -1, -1, &decoder, 0);
    if (index_ < 0 || !decoder) fail("no video stream it can decode");
    codec_ = avcodec_alloc_context3(decoder);
    if (!codec_ || avcodec_parameters_to_context(codec_, stream()->codecpar) < 0) fail("cannot set up the decoder");
    codec_->max_pixels = static_cast<std::int64_t>(DecodingLimits{}.maxPixels);
    codec_->thread_count = 1;
    if (const int status = avcodec_open2(codec_, decoder, nullptr); status < 0) fail(averror(status));
    packet_ = av_packet_alloc();
    frame_ = av_frame_alloc();
    shown_ = av_frame_alloc();
    if (!packet_ || !frame_ || !shown_) fail("out of memory");
    const AVStream* s = stream();
    start_ = s->start_time != AV_NOPTS_VALUE ? s->start_time : firstPacketTime();
    const AVRational rate = s->avg_frame_rate.num > 0 ? s->avg_frame_rate : s->r_frame_rate;
    frameDuration_ = rate.num > 0 && rate.den > 0 ? std::max<std::int64_t>(1, av_rescale_q(1, av_inv_q(rate), s->time_base)) : 1;
    stampedByDecodeTime_ = std::strcmp(format_->iformat->name, "avi") == 0;
  }

  const AVStream* stream() const { return format_->streams[index_]; }
  std::int64_t start() const { return start_; }

  // Leaves in shownFrame() the frame on screen at `target` (stream time base, start included): the last one
  // whose presentation time is not after it, the first one for a time before the video, the last one for a
  // time past its end. Answers that frame's presentation time.
  std::int64_t seek(std::int64_t target) {
    // How far before the target each try aims, in seconds; after the last, the video is read from its start.
    static constexpr std::int64_t kBackoffSeconds[] = {0, 1, 4, 16, 64};
    for (const std::int64_t seconds : kBackoffSeconds) {
      const std::int64_t aim = saturatingAdd(target, -av_rescale_q(seconds, AVRational{1, 1}, stream()->time_base));
      if (aim <= start_) break;
      if (av_seek_frame(format_, index_, aim, AVSEEK_FLAG_BACKWARD) < 0) break;
      untouched_ = false;
      if (const auto shown = decodeUpTo(target, /*fromStart=*/false)) return *shown;
    }
    rewind();
    if (const auto shown = decodeUpTo(target, /*fromStart=*/true)) return *shown;
    fail("no frame could be decoded");
  }

  const AVFrame* shownFrame() const { return shown_; }

 private:
  void openContainer() {
    limitFFmpegBlocks();
    constexpr int kBufferSize = 64 * 1024;
    auto* buffer = static_cast<unsigned char*>(av_malloc(kBufferSize));
    if (!buffer) fail("out of memory");
    io_ = avio_alloc_context(buffer, kBufferSize, 0, &request_, readPacket, nullptr, seekPacket);
    if (!io_) {
      av_free(buffer);
      fail("out of memory");
    }
    format_ = avformat_alloc_context();
    if (!format_) fail("out of memory");
    format_->pb = io_;
    format_->flags |= AVFMT_FLAG_CUSTOM_IO;
    format_->interrupt_callback = {interruptCallback, &request_};
    AVDictionary* options = nullptr;
    av_dict_set(&options, "format_whitelist", kFormatWhitelist, 0);
    av_dict_set(&options, "protocol_whitelist", "file", 0);
    int status = avformat_open_input(&format_, nullptr, nullptr, &options);
    av_dict_free(&options);
    if (request_.cancelled()) throw Cancelled{};
    if (status < 0) fail("no video container it accepts (" + averror(status) + ")");
    status = avformat_find_stream_info(format_, nullptr);
    if (request_.cancelled()) throw Cancelled{};
    if (status < 0) fail(averror(status));
    untouched_ = true;
  }

  void closeContainer() {
    avformat_close_input(&format_);
    if (io_) av_freep(&io_->buffer);
    avio_context_free(&io_);
  }

  // Back to the first packet. Seeking there by timestamp is as unreliable as any other seek, so the container
  // is opened again unless nothing has been read since it was opened.
  void rewind() {
    if (untouched_) return;
    closeContainer();
    if (::lseek(request_.fd, 0, SEEK_SET) < 0) fail("cannot read the file again");
    openContainer();
    if (index_ >= static_cast<int>(format_->nb_streams) ||
        format_->streams[index_]->codecpar->codec_id != codec_->codec_id) {
      fail("the video's streams changed");
    }
  }

  // Where the video starts when the container does not say (NUT): the time of its first packet.
  std::int64_t firstPacketTime() {
    untouched_ = false;
    for (int packets = 0; packets < 1000 && av_read_frame(format_, packet_) >= 0; ++packets) {
      const std::int64_t time = packet_->pts != AV_NOPTS_VALUE ? packet_->pts : packet_->dts;
      const bool ours = packet_->stream_index == index_;
      av_packet_unref(packet_);
      if (ours && time != AV_NOPTS_VALUE) return time;
    }
    return 0;
  }

  // Presentation time of a decoded frame. `released` is the decode time of the packet that released it (once
  // the stream has ended, of the packets that would have come next); frames without a time follow the one
  // before.
  std::int64_t presentationTime(const AVFrame* frame, std::int64_t released, std::int64_t previous) const {
    std::int64_t time = frame->best_effort_timestamp;
    // AVI packets carry decode times only (a B-frame's is taken as its presentation time), so each frame
    // comes out stamped with the decode time of the packet that released it: late by the decoder's
    // reordering delay.
    if (stampedByDecodeTime_ && released != AV_NOPTS_VALUE) {
      time = saturatingAdd(released, -std::int64_t{codec_->has_b_frames} * frameDuration_);
    }
    if (time != AV_NOPTS_VALUE) return time;
    return previous == AV_NOPTS_VALUE ? start_ : saturatingAdd(previous, frameDuration_);
  }

  // Decodes from the read position, beginning at the first keyframe, until a frame is shown after `target` or
  // the stream ends; keeps the last frame shown at or before `target` (the first, from the start). None when
  // nothing decodes, or when, not from the start, the first frame already comes after `target`.
  std::optional<std::int64_t> decodeUpTo(std::int64_t target, bool fromStart) {
    avcodec_flush_buffers(codec_);
    av_frame_unref(shown_);
    std::int64_t shownTime = AV_NOPTS_VALUE, previous = AV_NOPTS_VALUE, nextRelease = AV_NOPTS_VALUE;
    bool keyframeSeen = false, draining = false;
    for (;;) {
      if (request_.cancelled()) throw Cancelled{};
      if (!draining) {
        if (av_read_frame(format_, packet_) < 0) {
          if (request_.cancelled()) throw Cancelled{};
          draining = true;
          avcodec_send_packet(codec_, nullptr);
        } else {
          untouched_ = false;
          // Packets before the first keyframe cannot decode; a damaged packet is skipped and the next
          // keyframe can still decode.
          if (packet_->stream_index == index_) {
            keyframeSeen = keyframeSeen || (packet_->flags & AV_PKT_FLAG_KEY);
            if (keyframeSeen) {
              if (packet_->dts != AV_NOPTS_VALUE) nextRelease = saturatingAdd(packet_->dts, frameDuration_);
              avcodec_send_packet(codec_, packet_);
            }
          }
          av_packet_unref(packet_);
        }
      }
      while (avcodec_receive_frame(codec_, frame_) == 0) {
        std::int64_t released = frame_->pkt_dts;
        if (released == AV_NOPTS_VALUE && nextRelease != AV_NOPTS_VALUE) {
          released = std::exchange(nextRelease, saturatingAdd(nextRelease, frameDuration_));
        }
        const std::int64_t time = presentationTime(frame_, released, previous);
        previous = time;
        if (frame_->flags & AV_FRAME_FLAG_CORRUPT) continue;
        if (time > target && shownTime != AV_NOPTS_VALUE) return shownTime;
        if (time > target && !fromStart) return std::nullopt;
        av_frame_unref(shown_);
        av_frame_move_ref(shown_, frame_);
        shownTime = time;
        if (time > target) return shownTime;
      }
      if (draining) break;
    }
    if (shownTime == AV_NOPTS_VALUE) return std::nullopt;
    return shownTime;
  }

  Request& request_;
  AVIOContext* io_ = nullptr;
  AVFormatContext* format_ = nullptr;
  AVCodecContext* codec_ = nullptr;
  AVPacket* packet_ = nullptr;
  AVFrame* frame_ = nullptr;
  AVFrame* shown_ = nullptr;
  int index_ = -1;
  std::int64_t start_ = 0;
  std::int64_t frameDuration_ = 1;
  bool stampedByDecodeTime_ = false;
  bool untouched_ = true;
};

Bitmap toBitmap(const AVFrame* f) {
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
  return bitmap;
}

}  // namespace

AssetImageGenerator::Outcome readVideoFrame(const URL& url, MediaTime time, bool applyTransform,
                                            const std::function<bool()>& isCancelled) {
  Request request;
  request.isCancelled = &isCancelled;
  if (!url.isFileURL()) fail("not a file URL");
  std::optional<RegularFile> file;
  try {
    file.emplace(RegularFile::open(url.path()));
  } catch (const std::exception& e) {
    fail(e.what());
  }
  request.fd = file->fd();
  try {
    Video video(request);
    video.open();
    const AVRational timeBase = video.stream()->time_base;
    const AVRational asked{1, time.timescale > 0 ? time.timescale : 600};
    // Rounded down: the frame on screen at 0.99 s of a 5 fps video is the one of 0.8 s, not of 1.0 s.
    const auto rounding = static_cast<AVRounding>(AV_ROUND_DOWN | AV_ROUND_PASS_MINMAX);
    const std::int64_t target = saturatingAdd(video.start(), av_rescale_q_rnd(time.value, asked, timeBase, rounding));
    const std::int64_t shownTime = video.seek(target);

    Bitmap bitmap = toBitmap(video.shownFrame());
    if (applyTransform) {
      static constexpr int kOrientationOfTurns[] = {1, 6, 3, 8};
      bitmap = applyOrientation(bitmap, kOrientationOfTurns[quarterTurns(video.stream())]);
    }
    AssetImageGenerator::Outcome outcome;
    outcome.requestedTime = time;
    outcome.actualTime = MediaTime{av_rescale_q(saturatingAdd(shownTime, -video.start()), timeBase, asked), asked.den};
    outcome.image = std::make_shared<const Bitmap>(std::move(bitmap));
    outcome.result = AssetImageGenerator::Result::succeeded;
    return outcome;
  } catch (const Cancelled&) {
    return {time, nullptr, time, AssetImageGenerator::Result::cancelled, nullptr};
  }
}

VideoFileImageGenerator::VideoFileImageGenerator(URL fileURL)
    : fileURL_(std::move(fileURL)), generation_(std::make_shared<std::atomic<std::uint64_t>>(0)) {}

VideoFileImageGenerator::~VideoFileImageGenerator() = default;

void VideoFileImageGenerator::cancelAllImageGeneration() { generation_->fetch_add(1); }

void VideoFileImageGenerator::generateImage(MediaTime time, CompletionHandler handler) {
  generateCancellableImage(time, {}, std::move(handler));
}

void VideoFileImageGenerator::generateCancellableImage(MediaTime time, std::stop_token stop,
                                                       CompletionHandler handler) {
  boost::asio::post(DecodingPool::shared(), [url = fileURL_, time, transform = appliesTransform_.load(),
                                             generation = generation_, startedAt = generation_->load(),
                                             stop = std::move(stop), handler = std::move(handler)] {
    const std::function<bool()> isCancelled = [&generation, startedAt, &stop] {
      return generation->load() != startedAt || stop.stop_requested();
    };
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
