#pragma once
// AssetImageGenerator: makes still images of a video asset at given times. VideoFileImageGenerator is the
// library's own over video files (FFmpeg); tests and apps may supply others.
//
// Example, given std::function<void(std::shared_ptr<const vellum::Bitmap>)> show:
//   auto generator = std::make_shared<vellum::VideoFileImageGenerator>(vellum::URL::fileURL("/clips/a.mp4"));
//   generator->generateImage(vellum::MediaTime::fromSeconds(1.5), [show](vellum::AssetImageGenerator::Outcome o) {
//     if (o.result == vellum::AssetImageGenerator::Result::succeeded) show(o.image);
//   });
//
// Thread rule: generateImage and cancelAllImageGeneration may be called from any thread; each request's
// handler is called exactly once, on a thread of the generator's choosing.
// Lifetime rule: requests keep what they need; a generator may be released while they run.
#include <atomic>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <stop_token>

#include "vellum/image/image.hpp"
#include "vellum/sources/url.hpp"

namespace vellum {

// A point in a media timeline: value / timescale seconds.
struct MediaTime {
  std::int64_t value = 0;
  std::int32_t timescale = 600;

  // `seconds` rounded to the nearest 1/timescale (600 by default: 2.0 s is 1200/600).
  static MediaTime fromSeconds(double seconds, std::int32_t preferredTimescale = 600);
  double seconds() const { return timescale > 0 ? static_cast<double>(value) / timescale : 0.0; }
  friend bool operator==(const MediaTime&, const MediaTime&) = default;
};

class AssetImageGenerator {
 public:
  enum class Result { succeeded, failed, cancelled };
  // What one request produced: the time asked for, the image or none, the time of the frame given, the result
  // code and the error or none.
  struct Outcome {
    MediaTime requestedTime;
    std::shared_ptr<const Bitmap> image;
    MediaTime actualTime;
    Result result = Result::failed;
    std::exception_ptr error;
  };
  using CompletionHandler = std::function<void(Outcome)>;

  virtual ~AssetImageGenerator() = default;
  // The URL of the asset, when it is a URL-backed asset.
  virtual std::optional<URL> assetURL() const = 0;
  // Whether images are turned as the video track's display matrix says.
  virtual bool appliesPreferredTrackTransform() const = 0;
  virtual void setAppliesPreferredTrackTransform(bool apply) = 0;
  virtual void generateImage(MediaTime time, CompletionHandler handler) = 0;
  // generateImage, also ended (Result::cancelled) once `stop` is requested. This default, for a generator
  // that cannot stop one request alone, ignores `stop`.
  virtual void generateCancellableImage(MediaTime time, std::stop_token stop, CompletionHandler handler) {
    (void)stop;
    generateImage(time, std::move(handler));
  }
  // Requests not finished yet end with Result::cancelled.
  virtual void cancelAllImageGeneration() = 0;
};

// The generator's own failures: the file cannot be opened as a regular file, is no video of an accepted
// container, or cannot be decoded. The text carries the reason.
struct VideoFrameError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Frames of a local video file, decoded on the library's decoding workers (a few threads apart from the
// shared pool, so serial queues and timers keep running; requests queue when all are busy). A request stops
// at its next packet once cancelled. Reads only regular files, and only plain containers
// (MP4/QuickTime, Matroska/WebM, AVI, MPEG program and transport streams, Ogg, FLV, NUT, IVF): no playlist or
// concat demuxer, and the protocol whitelist "file", so a file cannot pull in other files or the network.
// Decoding is capped at the decoders' pixel limit. A request answers the frame on screen at its time: the
// last frame whose presentation time is not after it (the first frame for a time before the video, the last
// for a time past its end), decoded from a keyframe before it; where a seek lands past that time or on
// nothing that decodes, it seeks further back, to the start at worst.
class VideoFileImageGenerator final : public AssetImageGenerator {
 public:
  explicit VideoFileImageGenerator(URL fileURL);
  ~VideoFileImageGenerator() override;

  std::optional<URL> assetURL() const override { return fileURL_; }
  bool appliesPreferredTrackTransform() const override { return appliesTransform_; }
  void setAppliesPreferredTrackTransform(bool apply) override { appliesTransform_ = apply; }
  void generateImage(MediaTime time, CompletionHandler handler) override;
  void generateCancellableImage(MediaTime time, std::stop_token stop, CompletionHandler handler) override;
  void cancelAllImageGeneration() override;

 private:
  URL fileURL_;
  std::atomic<bool> appliesTransform_{false};
  // Bumped by cancelAllImageGeneration; a request started under an older value is cancelled.
  std::shared_ptr<std::atomic<std::uint64_t>> generation_;
};

}  // namespace vellum
