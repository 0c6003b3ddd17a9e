#include "vellum/image/image.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <set>

#include "image/resample.hpp"

namespace vellum {

Image::Image(Passkey, std::shared_ptr<const Bitmap> bitmap, double scale, Size pointSize, AnimationInfo animation)
    : bitmap_(std::move(bitmap)), scale_(scale), size_(pointSize), animation_(std::move(animation)) {}

ImagePtr Image::make(Bitmap bitmap, double scale, AnimationInfo animation) {
  return make(std::make_shared<const Bitmap>(std::move(bitmap)), scale, std::move(animation));
}

ImagePtr Image::make(std::shared_ptr<const Bitmap> bitmap, double scale, AnimationInfo animation) {
  if (!(scale > 0) || !std::isfinite(scale)) scale = 1.0;
  Size size;
  if (bitmap) size = Size{bitmap->width / scale, bitmap->height / scale};
  return std::make_shared<const Image>(Passkey{}, std::move(bitmap), scale, size, std::move(animation));
}

ImagePtr Image::withoutBitmap(Size size) {
  return std::make_shared<const Image>(Passkey{}, nullptr, 1.0, size, AnimationInfo{});
}

Size Image::pixelSize() const {
  if (bitmap_) return Size{double(bitmap_->width), double(bitmap_->height)};
  return size_;
}

std::int64_t Image::cacheCost() const {
  constexpr auto max = std::numeric_limits<std::int64_t>::max();
  // The GIF bytes kept to decode frames from are held as long as the image: an animation decoded as it plays
  // holds one canvas but may keep megabytes of them.
  const std::int64_t pictures = pictureCost();
  std::shared_ptr<const foundation::Bytes> kept = animation_.animatedImageData;
  // A processed animation that plays as it decodes keeps no GIF bytes of its own, but its source does.
  if (!kept && animation_.frameSource) {
    try {
      kept = animation_.frameSource->data();
    } catch (...) {
      // An application's source that cannot say what it holds adds nothing.
    }
  }
  if (!kept) return pictures;
  const auto keptBytes = static_cast<std::int64_t>(std::min<std::size_t>(kept->size(), std::size_t(max)));
  return pictures > max - keptBytes ? max : pictures + keptBytes;
}

std::int64_t Image::pictureCost() const {
  constexpr auto max = std::numeric_limits<std::int64_t>::max();
  const Size pixelsSize = pixelSize();
  const double product = pixelsSize.width * pixelsSize.height;
  // Sizes of real images are finite and positive; anything else costs nothing rather than overflowing.
  if (std::isnan(product) || product <= 0) return 0;
  if (product >= double(max) / 4) return max;
  const auto pixels = static_cast<std::int64_t>(product);
  if (!bitmap_) return pixels * 4;
  const std::int64_t perFrame = pixels * (bitsPerPixel() / 8);
  if (!animation_.frames) return perFrame;
  std::set<const Image*> distinct;
  for (const auto& frame : *animation_.frames) distinct.insert(frame.get());
  const auto count = static_cast<std::int64_t>(distinct.size());
  const std::int64_t held = perFrame > max - kFrameOverheadBytes ? max : perFrame + kFrameOverheadBytes;
  if (count != 0 && held > max / count) return max;
  return held * count;
}

std::string Image::description() const {
  const Size pixels = pixelSize();
  std::string text = "<Image " + std::to_string(static_cast<long long>(pixels.width)) + "x" +
                     std::to_string(static_cast<long long>(pixels.height));
  if (!bitmap_) return text + " no bitmap>";
  char scaleText[32];
  std::snprintf(scaleText, sizeof scaleText, " @%gx", scale_);
  text += scaleText;
  if (animation_.frames) text += " frames: " + std::to_string(animation_.frames->size());
  return text + ">";
}

BitmapContextDescriptor::BitmapContextDescriptor(double w, double h) {
  auto floorAtLeastOne = [](double v) -> std::uint32_t {
    if (!(v >= 1)) return 1;
    if (v >= double(std::numeric_limits<std::uint32_t>::max())) return std::numeric_limits<std::uint32_t>::max();
    return static_cast<std::uint32_t>(std::floor(v));
  };
  width = floorAtLeastOne(w);
  height = floorAtLeastOne(h);
  const std::size_t rowBytes = std::size_t{width} * 4;
  bytesPerRow = (rowBytes + 63) / 64 * 64;
}

ImagePtr decoded(const ImagePtr& image, double scale) {
  if (!image || image->frames() || !image->hasBitmap()) return image;
  // An animation decoded as it plays is one too: its frames come from its source, not from this bitmap.
  if (image->frameSource() && image->frameCount() > 1 && !image->creatingOptions().value_or(ImageCreatingOptions{}).onlyFirstFrame) {
    return image;
  }
  if (!(scale > 0) || !std::isfinite(scale)) return image;
  // The pixels are decoded already and never change: the new object shares them. A decode ahead of use
  // must not lose any of them, so the pixel size stays and only the scale is the one asked for.
  return Image::make(image->bitmap(), scale, image->animation());
}

}  // namespace vellum
