#include "image/resample.hpp"

#include <algorithm>
#include <cmath>

namespace vellum {

std::optional<Bitmap> resample(const Bitmap& source, std::uint32_t width, std::uint32_t height) {
  if (source.width == 0 || source.height == 0 || width == 0 || height == 0) return std::nullopt;
  if (source.pixels.size() < source.bytesPerRow() * source.height) return std::nullopt;
  Bitmap out;
  out.width = width;
  out.height = height;
  out.pixels.resize(out.bytesPerRow() * height);
  if (width == source.width && height == source.height) {
    out.pixels.assign(source.pixels.begin(), source.pixels.begin() + static_cast<long>(out.pixels.size()));
    return out;
  }
  const double sx = double(source.width) / width;
  const double sy = double(source.height) / height;
  for (std::uint32_t y = 0; y < height; ++y) {
    const double fy = std::clamp((y + 0.5) * sy - 0.5, 0.0, double(source.height - 1));
    const auto y0 = static_cast<std::uint32_t>(fy);
    const std::uint32_t y1 = std::min(y0 + 1, source.height - 1);
    const double wy = fy - y0;
    for (std::uint32_t x = 0; x < width; ++x) {
      const double fx = std::clamp((x + 0.5) * sx - 0.5, 0.0, double(source.width - 1));
      const auto x0 = static_cast<std::uint32_t>(fx);
      const std::uint32_t x1 = std::min(x0 + 1, source.width - 1);
      const double wx = fx - x0;
      const std::uint8_t* p00 = &source.pixels[std::size_t{y0} * source.bytesPerRow() + std::size_t{x0} * 4];
      const std::uint8_t* p01 = &source.pixels[std::size_t{y0} * source.bytesPerRow() + std::size_t{x1} * 4];
      const std::uint8_t* p10 = &source.pixels[std::size_t{y1} * source.bytesPerRow() + std::size_t{x0} * 4];
      const std::uint8_t* p11 = &source.pixels[std::size_t{y1} * source.bytesPerRow() + std::size_t{x1} * 4];
      std::uint8_t* q = &out.pixels[std::size_t{y} * out.bytesPerRow() + std::size_t{x} * 4];
      for (int c = 0; c < 4; ++c) {
        const double top = p00[c] + (p01[c] - p00[c]) * wx;
        const double bottom = p10[c] + (p11[c] - p10[c]) * wx;
        q[c] = static_cast<std::uint8_t>(std::lround(top + (bottom - top) * wy));
      }
    }
  }
  return out;
}

}  // namespace vellum
