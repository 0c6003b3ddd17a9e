#pragma once
// Redrawing a bitmap at another pixel size: bilinear (for redraws near the source size), and area averaging
// (for large reductions, where bilinear would skip most source pixels and alias). Both blend colour
// premultiplied by alpha, so clear pixels lend no colour (no dark fringe round a transparent edge), and a
// result with no alpha at all is clear black.
#include <cstdint>
#include <optional>

#include "vellum/image/image.hpp"

namespace vellum {

// Whether a bitmap has a picture and the pixels its width and height claim. A bitmap may come from the
// application, and one that is short of them must be refused before a redraw reads past its end.
inline bool holdsItsPixels(const Bitmap& bitmap) {
  return bitmap.width > 0 && bitmap.height > 0 && bitmap.pixels.size() / bitmap.bytesPerRow() >= bitmap.height;
}

std::optional<Bitmap> resample(const Bitmap& source, std::uint32_t width, std::uint32_t height);

struct PixelSize {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
};

// The size of a `width` x `height` picture shrunk to fit inside a box of `boxWidth` x `boxHeight` pixels,
// keeping its aspect ratio (each side rounded, at least 1); the picture's own size when it fits already.
// REQUIRES: a positive, finite box.
PixelSize fitInside(std::uint32_t width, std::uint32_t height, double boxWidth, double boxHeight);

// Each output pixel is the average of the source area it covers (partly covered pixels weighted by the
// part covered), with colours weighted by alpha so that clear pixels lend no colour. Meant for reductions;
// an enlargement replicates pixels.
std::optional<Bitmap> boxResize(const Bitmap& source, std::uint32_t width, std::uint32_t height);

}  // namespace vellum
