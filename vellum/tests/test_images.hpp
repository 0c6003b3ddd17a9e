#pragma once
// Images the tests make with real encoders: solid and patterned bitmaps, 16-bit PNG, and GIFs written
// frame by frame with giflib (the library itself never encodes GIF).
#include <gif_lib.h>
#include <png.h>

#include <cstring>
#include <stdexcept>
#include <vector>

#include "vellum/image.hpp"

namespace vellum::test {

inline Bitmap solid(std::uint32_t w, std::uint32_t h, std::uint8_t r, std::uint8_t g, std::uint8_t b,
                    std::uint8_t a = 255) {
  Bitmap bitmap{w, h, {}};
  bitmap.pixels.reserve(std::size_t{w} * h * 4);
  for (std::size_t i = 0; i < std::size_t{w} * h; ++i) {
    bitmap.pixels.insert(bitmap.pixels.end(), {r, g, b, a});
  }
  return bitmap;
}

// A smooth gradient: compresses like a photo rather than like a flat colour.
inline Bitmap gradient(std::uint32_t w, std::uint32_t h) {
  Bitmap bitmap{w, h, std::vector<std::uint8_t>(std::size_t{w} * h * 4)};
  for (std::uint32_t y = 0; y < h; ++y) {
    for (std::uint32_t x = 0; x < w; ++x) {
      std::uint8_t* p = &bitmap.pixels[(std::size_t{y} * w + x) * 4];
      p[0] = static_cast<std::uint8_t>(x * 255 / (w ? w : 1));
      p[1] = static_cast<std::uint8_t>(y * 255 / (h ? h : 1));
      p[2] = static_cast<std::uint8_t>((x + y) & 0xFF);
      p[3] = 255;
    }
  }
  return bitmap;
}

// A 16-bit-per-channel RGBA PNG whose every pixel is `value` (a 16-bit level) in each channel.
inline foundation::Bytes png16(std::uint32_t w, std::uint32_t h, std::uint16_t value) {
  png_image image;
  std::memset(&image, 0, sizeof image);
  image.version = PNG_IMAGE_VERSION;
  image.width = w;
  image.height = h;
  image.format = PNG_FORMAT_LINEAR_RGB_ALPHA;
  std::vector<std::uint16_t> pixels(std::size_t{w} * h * 4, value);
  png_alloc_size_t size = 0;
  png_image_write_get_memory_size(image, size, 0, pixels.data(), 0, nullptr);
  foundation::Bytes out(size);
  if (!png_image_write_to_memory(&image, out.data(), &size, 0, pixels.data(), 0, nullptr)) {
    throw std::runtime_error("png16");
  }
  out.resize(size);
  return out;
}

struct GifFrameSpec {
  int left = 0, top = 0, width = 0, height = 0;
  std::vector<std::uint8_t> indices;  // width x height palette indices
  int disposal = DISPOSAL_UNSPECIFIED;
  int transparent = NO_TRANSPARENT_COLOR;
  int delayCentiseconds = 0;
  bool withControl = true;
};

inline int writeToVector(GifFileType* gif, const GifByteType* data, int length) {
  auto* out = static_cast<foundation::Bytes*>(gif->UserData);
  out->insert(out->end(), data, data + length);
  return length;
}

// `palette` must have a power-of-two number of colours.
inline foundation::Bytes makeGIF(int width, int height, const std::vector<GifColorType>& palette,
                                 const std::vector<GifFrameSpec>& frames) {
  foundation::Bytes out;
  int error = 0;
  GifFileType* gif = EGifOpen(&out, writeToVector, &error);
  if (!gif) throw std::runtime_error("EGifOpen");
  EGifSetGifVersion(gif, true);
  ColorMapObject* map = GifMakeMapObject(static_cast<int>(palette.size()), palette.data());
  EGifPutScreenDesc(gif, width, height, 8, 0, map);
  for (const auto& f : frames) {
    if (f.withControl) {
      GraphicsControlBlock gcb{f.disposal, false, f.delayCentiseconds, f.transparent};
      GifByteType ext[4];
      const std::size_t len = EGifGCBToExtension(&gcb, ext);
      EGifPutExtension(gif, GRAPHICS_EXT_FUNC_CODE, static_cast<int>(len), ext);
    }
    EGifPutImageDesc(gif, f.left, f.top, f.width, f.height, false, nullptr);
    for (int y = 0; y < f.height; ++y) {
      auto row = std::vector<GifPixelType>(f.indices.begin() + y * f.width, f.indices.begin() + (y + 1) * f.width);
      EGifPutLine(gif, row.data(), f.width);
    }
  }
  EGifCloseFile(gif, &error);
  GifFreeMapObject(map);
  return out;
}

// The RGBA of one pixel.
inline std::vector<std::uint8_t> pixel(const Bitmap& bitmap, std::uint32_t x, std::uint32_t y) {
  const std::uint8_t* p = &bitmap.pixels[(std::size_t{y} * bitmap.width + x) * 4];
  return {p[0], p[1], p[2], p[3]};
}

}  // namespace vellum::test
