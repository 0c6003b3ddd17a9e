#pragma once
// Image: an immutable, shared, decoded picture: 8-bit RGBA pixels (straight alpha, rows packed), a scale
// (pixels per point), and the values kept with an animated image (its frames, total duration, the GIF bytes
// it came from, its frame source and the options it was made with). An image may carry no bitmap at all
// (the placeholder a live-photo load answers); it still has a size then.
//
// Example:
//   vellum::Bitmap bitmap{.width = 2, .height = 1, .pixels = {255, 0, 0, 255, 0, 0, 255, 255}};
//   vellum::ImagePtr image = vellum::Image::make(std::move(bitmap), /*scale=*/2.0);
//   vellum::Size points = image->size();          // {1, 0.5}
//   auto cost = image->cacheCost();               // 8 bytes
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "foundation/bytes.hpp"
#include "vellum/general/geometry.hpp"

namespace vellum {

// Decoded pixels: width x height, 4 bytes a pixel in R, G, B, A order, straight (not premultiplied) alpha.
struct Bitmap {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  std::vector<std::uint8_t> pixels;

  std::size_t bytesPerRow() const { return std::size_t{width} * 4; }
};

// The parameters with which an image is made from data.
struct ImageCreatingOptions {
  double scale = 1.0;
  double duration = 0.0;
  bool preloadAll = false;
  bool onlyFirstFrame = false;
  friend bool operator==(const ImageCreatingOptions&, const ImageCreatingOptions&) = default;
};

class Image;
using ImagePtr = std::shared_ptr<const Image>;

// The frames of an animated image, read from its encoded data on demand.
class ImageFrameSource {
 public:
  virtual ~ImageFrameSource() = default;
  // The encoded data the frames are decoded from, when the source has it (for frames redrawn as they are
  // asked for, the data before redrawing). An image counts it in its cost while it holds the source.
  virtual std::shared_ptr<const foundation::Bytes> data() const = 0;
  virtual std::size_t frameCount() const = 0;
  // The frame decoded no larger than `maxSize` pixels (full size without one); null when it cannot be decoded.
  virtual ImagePtr frame(std::size_t index, std::optional<Size> maxSize = std::nullopt) const = 0;
  // Seconds the frame stays on screen.
  virtual double duration(std::size_t index) const = 0;
  // A source over the same data and options with decoding state of its own.
  virtual std::shared_ptr<ImageFrameSource> copy() const = 0;
};

// The values kept with an animated image made from data; set once when the image is made.
struct AnimationInfo {
  // The animation frames; absent for a still image. The same frame object may appear more than once.
  std::optional<std::vector<ImagePtr>> frames;
  // Seconds each entry of `frames` shows, when known; empty otherwise (each then shows duration / count).
  std::vector<double> frameDurations;
  // Total seconds; infinite for a single frame.
  double duration = 0;
  // The GIF bytes the image was made from; null when it was not made from GIF data.
  std::shared_ptr<const foundation::Bytes> animatedImageData;
  std::size_t frameCount = 0;
  std::shared_ptr<ImageFrameSource> frameSource;
  std::optional<ImageCreatingOptions> creatingOptions;
};

class Image {
  struct Passkey {};

 public:
  // An image over decoded pixels. `scale` below or at 0 is taken as 1.
  static ImagePtr make(Bitmap bitmap, double scale = 1.0, AnimationInfo animation = {});
  static ImagePtr make(std::shared_ptr<const Bitmap> bitmap, double scale = 1.0, AnimationInfo animation = {});
  // An image with no bitmap and the given size in points (empty by default).
  static ImagePtr withoutBitmap(Size size = {});

  Image(Passkey, std::shared_ptr<const Bitmap> bitmap, double scale, Size pointSize, AnimationInfo animation);

  bool hasBitmap() const { return bitmap_ != nullptr; }
  // Null when the image has no bitmap.
  const std::shared_ptr<const Bitmap>& bitmap() const { return bitmap_; }
  double scale() const { return scale_; }
  // Size in points: pixels divided by the scale (the given size for an image without bitmap).
  Size size() const { return size_; }
  // Size in pixels; for an image without bitmap its size in points.
  Size pixelSize() const;
  // 32 with a bitmap, 0 without.
  int bitsPerPixel() const { return bitmap_ ? 32 : 0; }

  const std::optional<std::vector<ImagePtr>>& frames() const { return animation_.frames; }
  double duration() const { return animation_.duration; }
  const std::shared_ptr<const foundation::Bytes>& animatedImageData() const { return animation_.animatedImageData; }
  std::size_t frameCount() const { return animation_.frameCount; }
  const std::shared_ptr<ImageFrameSource>& frameSource() const { return animation_.frameSource; }
  const std::optional<ImageCreatingOptions>& creatingOptions() const { return animation_.creatingOptions; }
  const AnimationInfo& animation() const { return animation_; }

  // Memory cost in bytes: pixels x bytes per pixel; with a frame list, each distinct frame object's pixels and
  // its own bookkeeping (kFrameOverheadBytes), so an animation of many tiny frames costs what it holds (an
  // empty list costs 0); pixels x 4 without a bitmap; and, for an image that keeps GIF bytes, their
  // size (or, without them, the size of its frame source's data). Saturates instead of overflowing.
  std::int64_t cacheCost() const;
  // What one frame of a frame list holds besides its pixels: its image and bitmap objects, their counts and
  // allocations, its place in the lists. Counted by cacheCost() and by the GIF decoder's budget.
  static constexpr std::int64_t kFrameOverheadBytes = 384;

  // A short text for logs and error messages, such as "<Image 100x50 @1x>".
  std::string description() const;

 private:
  std::int64_t pictureCost() const;

  std::shared_ptr<const Bitmap> bitmap_;
  double scale_;
  Size size_;
  AnimationInfo animation_;
};

// Describes the bitmap an image is redrawn into at a width and height: both floored and at least 1, 8 bits a
// component (sources are 8-bit), bytes per row rounded up to a multiple of 64.
struct BitmapContextDescriptor {
  std::uint32_t width = 1;
  std::uint32_t height = 1;
  int bitsPerComponent = 8;
  std::size_t bytesPerRow = 64;
  bool hasAlpha = true;

  BitmapContextDescriptor(double width, double height);
};

// Pre-decodes an image for drawing at `scale`: an animated image (one with a frame list, or one of several
// frames decoded as it plays) and an image without bitmap come back as the same object; otherwise a new image of the same pixels (shared, as they are decoded
// already) at `scale`, keeping what else the image carries. Never fails: at any obstacle (a scale that is not
// positive and finite) it answers the input.
ImagePtr decoded(const ImagePtr& image, double scale);

}  // namespace vellum
