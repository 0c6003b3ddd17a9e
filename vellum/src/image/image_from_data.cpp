#include <cmath>
#include <limits>
#include <mutex>

#include "image/gif_encoder.hpp"
#include "image/gif_frame_reader.hpp"
#include "image/resample.hpp"
#include "vellum/image/image_codecs.hpp"
#include "vellum/image/image_format.hpp"

namespace vellum {
namespace {

// A frame no larger than `maxSize` pixels: `whole()` when the bitmap fits (or no size is given), else a
// smaller copy with the same aspect.
template <class Whole>
ImagePtr fittedFrame(const Bitmap& bitmap, std::optional<Size> maxSize, Whole whole) {
  if (!maxSize) return whole();
  const double fit = std::min({1.0, maxSize->width / bitmap.width, maxSize->height / bitmap.height});
  if (!(fit > 0)) return nullptr;
  if (fit >= 1.0) return whole();
  auto smaller = resample(bitmap, std::max<std::uint32_t>(1, std::uint32_t(bitmap.width * fit)),
                          std::max<std::uint32_t>(1, std::uint32_t(bitmap.height * fit)));
  return smaller ? Image::make(std::move(*smaller)) : nullptr;
}

// Frames of GIF data. The source made with an image shares the frames that image decoded; a copy (and the
// source of a first-frame-only image) composites frames on demand with a reader of its own, so playing the
// frames in order costs one frame each and holds one canvas, not every frame. A source and all its copies
// walk the file's records once between them: each copy starts its reader from the first one opened.
class GIFFrameSource final : public ImageFrameSource {
  // What a source and its copies share: the first reader opened, never read from itself.
  struct Index {
    std::mutex mutex;
    bool triedOpening = false;                 // guarded by mutex
    std::unique_ptr<GIFFrameReader> opened;    // guarded by mutex
  };

 public:
  GIFFrameSource(std::shared_ptr<const foundation::Bytes> data, ImageCreatingOptions options,
                 std::unique_ptr<GIFFrameReader> opened = nullptr)
      : data_(std::move(data)), options_(options), index_(std::make_shared<Index>()) {
    if (opened) {
      index_->triedOpening = true;
      index_->opened = std::move(opened);
    }
  }
  GIFFrameSource(std::shared_ptr<const foundation::Bytes> data, ImageCreatingOptions options,
                 std::vector<ImagePtr> frames, std::vector<double> durations)
      : data_(std::move(data)), options_(options), frames_(std::move(frames)), durations_(std::move(durations)),
        index_(std::make_shared<Index>()) {}

  std::shared_ptr<const foundation::Bytes> data() const override { return data_; }
  std::size_t frameCount() const override {
    if (frames_) return frames_->size();
    std::lock_guard lock(mutex_);
    return openedReader() ? reader_->frameCount() : 0;
  }
  ImagePtr frame(std::size_t index, std::optional<Size> maxSize) const override {
    if (frames_) {
      if (index >= frames_->size()) return nullptr;
      const ImagePtr& whole = (*frames_)[index];
      return fittedFrame(*whole->bitmap(), maxSize, [&whole] { return whole; });
    }
    std::lock_guard lock(mutex_);
    if (!openedReader() || index >= reader_->frameCount()) return nullptr;
    // The canvas is reused only while it shows the frame asked for: after a frame broke, the reader stands past
    // the last frame with a half-drawn canvas, which is no frame at all.
    if (reader_->broken() || reader_->nextIndex() != index + 1) {
      if ((reader_->broken() || reader_->nextIndex() > index) && !reader_->rewind()) return nullptr;
      while (reader_->nextIndex() <= index) {
        if (reader_->next()) return nullptr;
      }
    }
    const Bitmap& canvas = reader_->canvas();
    return fittedFrame(canvas, maxSize, [&canvas] { return Image::make(Bitmap(canvas)); });
  }
  double duration(std::size_t index) const override {
    if (frames_) return index < durations_.size() ? durations_[index] : 0.0;
    std::lock_guard lock(mutex_);
    return openedReader() ? reader_->duration(index) : 0.0;
  }
  std::shared_ptr<ImageFrameSource> copy() const override {
    return std::shared_ptr<GIFFrameSource>(new GIFFrameSource(data_, options_, index_));
  }

 private:
  GIFFrameSource(std::shared_ptr<const foundation::Bytes> data, ImageCreatingOptions options,
                 std::shared_ptr<Index> index)
      : data_(std::move(data)), options_(options), index_(std::move(index)) {}

  // REQUIRES: mutex_ held.
  bool openedReader() const {
    if (!triedOpening_) {
      triedOpening_ = true;
      std::lock_guard lock(index_->mutex);
      if (!index_->triedOpening) {
        index_->triedOpening = true;
        auto opened = GIFFrameReader::open(data_);
        if (opened) index_->opened = std::move(opened.value());
      }
      if (index_->opened) reader_ = index_->opened->another();
    }
    return reader_ != nullptr;
  }

  const std::shared_ptr<const foundation::Bytes> data_;
  const ImageCreatingOptions options_;
  const std::optional<std::vector<ImagePtr>> frames_;
  const std::vector<double> durations_;
  const std::shared_ptr<Index> index_;
  mutable std::mutex mutex_;
  mutable bool triedOpening_ = false;                  // guarded by mutex_
  mutable std::unique_ptr<GIFFrameReader> reader_;     // guarded by mutex_
};

// The first frame and a frame source that decodes the rest on demand: what a player that decodes as it
// plays needs, holding one canvas however long the animation.
ImagePtr lazilyAnimatedImage(std::span<const std::uint8_t> data, const ImageCreatingOptions& options) {
  auto bytes = std::make_shared<const foundation::Bytes>(data.begin(), data.end());
  auto opened = GIFFrameReader::open(bytes);
  if (!opened) return nullptr;
  GIFFrameReader& reader = *opened.value();
  if (reader.next()) return nullptr;
  AnimationInfo info;
  info.frameCount = reader.frameCount();
  for (std::size_t i = 0; i < info.frameCount; ++i) info.duration += reader.duration(i);
  if (info.frameCount == 1) info.duration = std::numeric_limits<double>::infinity();
  info.animatedImageData = bytes;
  info.creatingOptions = options;
  // The source starts from the records walked here rather than walking them again.
  info.frameSource = std::make_shared<GIFFrameSource>(std::move(bytes), options, reader.another());
  return Image::make(reader.takeCanvas(), 1.0, std::move(info));
}

ImagePtr animatedImage(std::span<const std::uint8_t> data, const ImageCreatingOptions& options) {
  if (!options.preloadAll && !options.onlyFirstFrame) return lazilyAnimatedImage(data, options);
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
  info.frameSource = std::make_shared<GIFFrameSource>(bytes, options, frames, durations);
  info.frameDurations = std::move(durations);
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

std::optional<std::string> decodingFailure(std::span<const std::uint8_t> data) {
  const auto reasonOf = [](const auto& decoded) -> std::optional<std::string> {
    if (decoded) return std::nullopt;
    return decoded.error().reason;
  };
  switch (imageFormat(data)) {
    case ImageFormat::GIF:
      return reasonOf(decodeGIF(data, /*onlyFirstFrame=*/true));
    case ImageFormat::PNG:
      return reasonOf(decodePNG(data));
    case ImageFormat::JPEG:
      return reasonOf(decodeJPEG(data));
    case ImageFormat::unknown:
      break;
  }
  return "the data is not a PNG, JPEG or GIF image";
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
  if (image.animatedImageData()) return *image.animatedImageData();
  // An animation a processor redrew while it was decoded as it plays has no frame list: its frames are
  // taken from its frame source one at a time (a copy, with a reader of its own).
  if (!image.frames() && image.frameSource() && image.frameCount() > 1) {
    const auto source = image.frameSource()->copy();
    const auto first = source ? source->frame(0) : nullptr;
    if (!first || !first->hasBitmap()) return std::nullopt;
    return encodeAnimatedGIF(
        first->bitmap()->width, first->bitmap()->height, source->frameCount(),
        [&](std::size_t i) -> std::shared_ptr<const Bitmap> {
          const auto frame = i == 0 ? first : source->frame(i);
          return frame ? frame->bitmap() : nullptr;
        },
        [&](std::size_t i) { return source->duration(i); });
  }
  // An animation without GIF bytes of its own (one that a processor redrew): its frames, encoded.
  if (!image.frames() || image.frames()->empty()) return std::nullopt;
  const auto& frames = *image.frames();
  std::vector<const Bitmap*> bitmaps;
  bitmaps.reserve(frames.size());
  for (const auto& frame : frames) {
    if (!frame || !frame->hasBitmap()) return std::nullopt;
    bitmaps.push_back(frame->bitmap().get());
  }
  std::vector<double> durations = image.animation().frameDurations;
  if (durations.size() != frames.size()) {
    const double each = std::isfinite(image.duration()) ? image.duration() / double(frames.size()) : 0.0;
    durations.assign(frames.size(), each);
  }
  return encodeAnimatedGIF(bitmaps, durations);
}

}  // namespace vellum
