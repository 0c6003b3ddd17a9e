#include "image/resample.hpp"

#include <algorithm>
#include <cmath>
#include <vector>

namespace vellum {
namespace {

// Straight colour from colour premultiplied by alpha (alpha in 0...255): each channel rounded once, from the
// unrounded sums, and a pixel with no alpha at all is clear black, as it has no colour to keep.
void unpremultiply(const double (&premultiplied)[4], std::uint8_t* out) {
  const double alpha = premultiplied[3];
  if (!(alpha > 0)) {
    out[0] = out[1] = out[2] = out[3] = 0;
    return;
  }
  for (int c = 0; c < 3; ++c) out[c] = static_cast<std::uint8_t>(std::clamp(std::lround(premultiplied[c] / alpha), 0L, 255L));
  out[3] = static_cast<std::uint8_t>(std::clamp(std::lround(alpha), 0L, 255L));
}

}  // namespace

std::optional<Bitmap> resample(const Bitmap& source, std::uint32_t width, std::uint32_t height) {
  if (!holdsItsPixels(source) || width == 0 || height == 0) return std::nullopt;
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
      // Colour is interpolated premultiplied by alpha, so a clear neighbour lends no colour of its own.
      const double w00 = (1 - wx) * (1 - wy) * p00[3], w01 = wx * (1 - wy) * p01[3];
      const double w10 = (1 - wx) * wy * p10[3], w11 = wx * wy * p11[3];
      const double premultiplied[4] = {p00[0] * w00 + p01[0] * w01 + p10[0] * w10 + p11[0] * w11,
                                       p00[1] * w00 + p01[1] * w01 + p10[1] * w10 + p11[1] * w11,
                                       p00[2] * w00 + p01[2] * w01 + p10[2] * w10 + p11[2] * w11,
                                       w00 + w01 + w10 + w11};
      unpremultiply(premultiplied, q);
    }
  }
  return out;
}

namespace {

// For each output position along one axis, the source pixels it covers and how much of each.
struct Span {
  std::uint32_t first = 0;
  std::vector<float> weights;  // normalised to sum 1
};

std::vector<Span> spans(std::uint32_t sourceLength, std::uint32_t length) {
  std::vector<Span> out(length);
  const double step = double(sourceLength) / length;
  for (std::uint32_t i = 0; i < length; ++i) {
    const double start = i * step, end = std::min(double(sourceLength), (i + 1) * step);
    Span& span = out[i];
    span.first = std::min(static_cast<std::uint32_t>(start), sourceLength - 1);
    double total = 0;
    for (std::uint32_t s = span.first; s < sourceLength && s < end; ++s) {
      const double w = std::min(end, s + 1.0) - std::max(start, double(s));
      if (w <= 0) continue;
      span.weights.push_back(static_cast<float>(w));
      total += w;
    }
    if (span.weights.empty()) span.weights.push_back(1.0f), total = 1;
    for (float& w : span.weights) w = static_cast<float>(w / total);
  }
  return out;
}

}  // namespace

PixelSize fitInside(std::uint32_t width, std::uint32_t height, double boxWidth, double boxHeight) {
  const double fit = std::min(boxWidth / width, boxHeight / height);
  if (fit >= 1) return {width, height};
  auto side = [fit](std::uint32_t length) {
    return static_cast<std::uint32_t>(std::max(1.0, std::round(length * fit)));
  };
  return {side(width), side(height)};
}

std::optional<Bitmap> boxResize(const Bitmap& source, std::uint32_t width, std::uint32_t height) {
  if (!holdsItsPixels(source) || width == 0 || height == 0) return std::nullopt;
  const auto columns = spans(source.width, width);
  const auto rows = spans(source.height, height);
  // One output row at a time: the source rows it covers are averaged across (into premultiplied floats) and
  // added up with their weights. A source row that two output rows share is averaged twice, which costs far
  // less than holding every averaged row: working memory is two rows, whatever the picture.
  auto averageAcross = [&](std::uint32_t y, float* out) {
    const std::uint8_t* row = &source.pixels[std::size_t{y} * source.bytesPerRow()];
    for (std::uint32_t x = 0; x < width; ++x) {
      float acc[4] = {0, 0, 0, 0};
      const Span& span = columns[x];
      for (std::size_t k = 0; k < span.weights.size(); ++k) {
        const std::uint8_t* p = row + (std::size_t{span.first} + k) * 4;
        const float wa = span.weights[k] * p[3];
        acc[0] += p[0] * wa;
        acc[1] += p[1] * wa;
        acc[2] += p[2] * wa;
        acc[3] += wa;
      }
      std::copy(acc, acc + 4, out + std::size_t{x} * 4);
    }
  };
  Bitmap result;
  result.width = width;
  result.height = height;
  result.pixels.resize(result.bytesPerRow() * height);
  std::vector<float> across(std::size_t{width} * 4);
  std::vector<float> acc(std::size_t{width} * 4);
  for (std::uint32_t y = 0; y < height; ++y) {
    std::fill(acc.begin(), acc.end(), 0.0f);
    const Span& span = rows[y];
    for (std::size_t k = 0; k < span.weights.size(); ++k) {
      averageAcross(span.first + static_cast<std::uint32_t>(k), across.data());
      const float w = span.weights[k];
      for (std::size_t i = 0; i < acc.size(); ++i) acc[i] += across[i] * w;
    }
    std::uint8_t* out = &result.pixels[std::size_t{y} * result.bytesPerRow()];
    for (std::uint32_t x = 0; x < width; ++x) {
      const float* a = &acc[std::size_t{x} * 4];
      const double premultiplied[4] = {a[0], a[1], a[2], a[3]};
      unpremultiply(premultiplied, out + std::size_t{x} * 4);
    }
  }
  return result;
}

}  // namespace vellum
