#include <cmath>
#include <limits>
#include <mutex>

#include "image/resample.hpp"
#include "vellum/image_codecs.hpp"
#include "vellum/image_format.hpp"

namespace vellum {
namespace {

// Frames of GIF data, decoded once on first use and shared by every reader of this source.
class GIFFrameSource final : public ImageFrameSource {
 public:
  GIFFrameSource(std::shared_ptr<const foundation::Bytes> data, ImageCreatingOptions options)
      : data_(std::move(data)), options_(options) {}
  // A source over frames already decoded (shared with the image, not copied).
  GIFFrameSource(std::shared_ptr<const foundation::Bytes> data, ImageCreatingOptions options,
                 std::vector<ImagePtr> frames, std::vector<double> durations)
      : data_(std::move(data)), options_(options), frames_(std::move(frames)), durations_(std::move(durations)) {
    std::call_once(loaded_, [] {});
  }

  std::shared_ptr<const foundation::Bytes> data() const override { return data_; }
  std::size_t frameCount() const override {
    load();
    return frames_.size();
  }
  ImagePtr frame(std::size_t index, std::optional<Size> maxSize) const override {
    load();
    if (index >= frames_.size()) return nullptr;
    const ImagePtr& full = frames_[index];
    if (!maxSize) return full;
    const Bitmap& bitmap = *full->bitmap();
    const double fit = std::min({1.0, maxSize->width / bitmap.width, maxSize->height / bitmap.height});
    if (!(fit > 0)) return nullptr;
    if (fit >= 1.0) return full;
    auto smaller = resample(bitmap, std::max<std::uint32_t>(1, std::uint32_t(bitmap.width * fit)),
                            std::max<std::uint32_t>(1, std::uint32_t(bitmap.height * fit)));
    return smaller ? Image::make(std::move(*smaller)) : nullptr;
  }
  double duration(std::size_t index) const override {
    load();
    return index < durations_.size() ? durations_[index] : 0.0;
  }
  std::shared_ptr<ImageFrameSource> copy() const override {
    return std::make_shared<GIFFrameSource>(data_, options_);
  }

 private:
  void load() const {
    std::call_once(loaded_, [this] {
      if (!data_) return;
      auto decoded = decodeGIF(*data_, false);
      if (!decoded) return;
      for (auto& f : decoded.value()) {
        durations_.push_back(f.delay);
        frames_.push_back(Image::make(std::move(f.canvas)));
      }
    });
  }

  std::shared_ptr<const foundation::Bytes> data_;
  ImageCreatingOptions options_;
  mutable std::once_flag loaded_;
  // Written once, inside the call_once of load() or by the constructor.
  mutable std::vector<ImagePtr> frames_;
  mutable std::vector<double> durations_;
};

ImagePtr animatedImage(std::span<const std::uint8_t> data, const ImageCreatingOptions& options) {
  auto decoded = decodeGIF(data, options.onlyFirstFrame);
  if (!decoded) return nullptr;
  auto& gifFrames = decoded.value();
  auto bytes = std::make_shared<const foundation::Bytes>(data.begin(), data.end());

  std::vector<ImagePtr> frames;
  std::vector<double> durations;
  double total = 0;
  for (auto& f : gifFrames) {
    frames.push_back(Image::make(std::move(f.canvas)));
    durations.push_back(f.delay);
    total += f.delay;
  }
  if (frames.size() == 1) total = std::numeric_limits<double>::infinity();

  AnimationInfo info;
  info.animatedImageData = bytes;
  info.creatingOptions = options;
  if (options.onlyFirstFrame) {
    // The first frame alone, as a still image that still knows where it came from; its source decodes the
    // other frames only when asked.
    info.frameSource = std::make_shared<GIFFrameSource>(bytes, options);
    info.frameCount = gifFrameCount(data);
    return Image::make(frames.front()->bitmap(), 1.0, std::move(info));
  }
  info.frameSource = std::make_shared<GIFFrameSource>(bytes, options, frames, std::move(durations));
  info.frameCount = frames.size();
  info.duration = total;
  auto firstBitmap = frames.front()->bitmap();
  info.frames = std::move(frames);
  return Image::make(std::move(firstBitmap), 1.0, std::move(info));
}

}  // namespace

ImagePtr imageFromData(std::span<const std::uint8_t> data, const ImageCreatingOptions& options) {
  switch (imageFormat(data)) {
    case ImageFormat::GIF:
      return animatedImage(data, options);
    case ImageFormat::PNG: {
      auto bitmap = decodePNG(data);
      return bitmap ? Image::make(std::move(bitmap.value())) : nullptr;
    }
    case ImageFormat::JPEG: {
      auto bitmap = decodeJPEG(data);
      return bitmap ? Image::make(std::move(bitmap.value())) : nullptr;
    }
    case ImageFormat::unknown:
      break;
  }
  return nullptr;
}

std::optional<foundation::Bytes> pngRepresentation(const Image& image) {
  if (!image.hasBitmap()) return std::nullopt;
  return encodePNG(*image.bitmap());
}

std::optional<foundation::Bytes> jpegRepresentation(const Image& image, double quality) {
  if (!image.hasBitmap()) return std::nullopt;
  return encodeJPEG(*image.bitmap(), quality);
}

std::optional<foundation::Bytes> gifRepresentation(const Image& image) {
  if (!image.animatedImageData()) return std::nullopt;
  return *image.animatedImageData();
}

}  // namespace vellum
