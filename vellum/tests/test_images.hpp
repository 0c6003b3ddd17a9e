#pragma once
// Images the tests make with real encoders: gradients, 16-bit PNG, CMYK and YCCK JPEG, and GIFs written
// frame by frame with giflib (the library itself encodes neither CMYK nor GIF).
#include <gif_lib.h>
#include <png.h>

#include <cstddef>
#include <cstdio>
// clang-format off
#include <jpeglib.h>
// clang-format on

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "vellum/image/image.hpp"

namespace vellum::test {

// A smooth gradient: compresses like a photo rather than like a flat colour.
inline Bitmap gradient(std::uint32_t w, std::uint32_t h) {
  Bitmap bitmap{w, h, std::vector<std::uint8_t>(std::size_t{w} * h * 4)};
  for (std::uint32_t y = 0; y < h; ++y) {
    for (std::uint32_t x = 0; x < w; ++x) {
      std::uint8_t* p = &bitmap.pixels[(std::size_t{y} * w + x) * 4];
      p[0] = static_cast<std::uint8_t>(x * 255 / w);
      p[1] = static_cast<std::uint8_t>(y * 255 / h);
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

// Palette indices: 0 black, 1 red, 2 green, 3 blue.
inline const std::vector<GifColorType> kPalette = {{0, 0, 0}, {255, 0, 0}, {0, 255, 0}, {0, 0, 255}};

struct GifFrameSpec {
  int left = 0, top = 0, width = 0, height = 0;
  std::vector<std::uint8_t> indices;  // width x height palette indices
  int disposal = DISPOSAL_UNSPECIFIED;
  int transparent = NO_TRANSPARENT_COLOR;
  int delayCentiseconds = 0;
  bool withControl = true;
  std::vector<GifColorType> localPalette = {};  // the frame's own colour table; none: the global kPalette
};

inline foundation::Bytes makeGIF(int width, int height, const std::vector<GifFrameSpec>& frames) {
  foundation::Bytes out;
  int error = 0;
  auto write = [](GifFileType* g, const GifByteType* data, int length) {
    auto* bytes = static_cast<foundation::Bytes*>(g->UserData);
    bytes->insert(bytes->end(), data, data + length);
    return length;
  };
  GifFileType* gif = EGifOpen(&out, write, &error);
  if (!gif) throw std::runtime_error("EGifOpen");
  EGifSetGifVersion(gif, true);
  ColorMapObject* map = GifMakeMapObject(static_cast<int>(kPalette.size()), kPalette.data());
  EGifPutScreenDesc(gif, width, height, 8, 0, map);
  for (const auto& f : frames) {
    if (f.withControl) {
      GraphicsControlBlock gcb{f.disposal, false, f.delayCentiseconds, f.transparent};
      GifByteType ext[4];
      EGifPutExtension(gif, GRAPHICS_EXT_FUNC_CODE, static_cast<int>(EGifGCBToExtension(&gcb, ext)), ext);
    }
    ColorMapObject* local =
        f.localPalette.empty() ? nullptr : GifMakeMapObject(int(f.localPalette.size()), f.localPalette.data());
    EGifPutImageDesc(gif, f.left, f.top, f.width, f.height, false, local);
    std::vector<GifPixelType> indices(f.indices.begin(), f.indices.end());
    for (int y = 0; y < f.height; ++y) EGifPutLine(gif, indices.data() + y * f.width, f.width);
    GifFreeMapObject(local);
  }
  EGifCloseFile(gif, &error);
  GifFreeMapObject(map);
  return out;
}

// Encodes the rows `rowAt` gives with libjpeg itself; `configure` runs once the defaults are set.
inline foundation::Bytes encodeRowsWithLibjpeg(JDIMENSION width, JDIMENSION height, int components, J_COLOR_SPACE space,
                                               const std::function<const std::uint8_t*(JDIMENSION)>& rowAt,
                                               const std::function<void(jpeg_compress_struct&)>& configure) {
  jpeg_compress_struct info;
  jpeg_error_mgr errors;
  info.err = jpeg_std_error(&errors);
  jpeg_create_compress(&info);
  unsigned char* buffer = nullptr;
  unsigned long size = 0;
  jpeg_mem_dest(&info, &buffer, &size);
  info.image_width = width;
  info.image_height = height;
  info.input_components = components;
  info.in_color_space = space;
  jpeg_set_defaults(&info);
  configure(info);
  jpeg_start_compress(&info, TRUE);
  while (info.next_scanline < height) {
    JSAMPROW r = const_cast<std::uint8_t*>(rowAt(info.next_scanline));
    jpeg_write_scanlines(&info, &r, 1);
  }
  jpeg_finish_compress(&info);
  jpeg_destroy_compress(&info);
  foundation::Bytes out(buffer, buffer + size);
  std::free(buffer);
  return out;
}

// Encodes `height` copies of `row`.
inline foundation::Bytes encodeWithLibjpeg(JDIMENSION width, JDIMENSION height, int components, J_COLOR_SPACE space,
                                           std::vector<std::uint8_t> row,
                                           const std::function<void(jpeg_compress_struct&)>& configure) {
  return encodeRowsWithLibjpeg(width, height, components, space, [&](JDIMENSION) { return row.data(); }, configure);
}

// A progressive JPEG of `bitmap` (alpha dropped) by libjpeg's standard progression: for a colour picture
// ten scans, the first holding only the DC coefficients.
inline foundation::Bytes progressiveJPEG(const Bitmap& bitmap, int quality = 85) {
  return encodeRowsWithLibjpeg(
      bitmap.width, bitmap.height, 4, JCS_EXT_RGBA,
      [&](JDIMENSION y) { return &bitmap.pixels[std::size_t{y} * bitmap.bytesPerRow()]; },
      [quality](jpeg_compress_struct& info) {
        jpeg_set_quality(&info, quality, TRUE);
        jpeg_simple_progression(&info);
      });
}

// Decodes a whole JPEG with libjpeg itself, to RGBA: the picture a decoder of our own should agree with.
inline Bitmap decodeWithLibjpeg(const foundation::Bytes& jpeg) {
  jpeg_decompress_struct info;
  jpeg_error_mgr errors;
  info.err = jpeg_std_error(&errors);
  jpeg_create_decompress(&info);
  jpeg_mem_src(&info, jpeg.data(), static_cast<unsigned long>(jpeg.size()));
  jpeg_read_header(&info, TRUE);
  info.out_color_space = JCS_EXT_RGBA;
  jpeg_start_decompress(&info);
  Bitmap bitmap{info.output_width, info.output_height,
                std::vector<std::uint8_t>(std::size_t{info.output_width} * info.output_height * 4)};
  while (info.output_scanline < info.output_height) {
    JSAMPROW row = &bitmap.pixels[std::size_t{info.output_scanline} * bitmap.bytesPerRow()];
    jpeg_read_scanlines(&info, &row, 1);
  }
  jpeg_finish_decompress(&info);
  jpeg_destroy_decompress(&info);
  return bitmap;
}

// The largest difference of one channel between two pictures of one size; 255 when the sizes differ.
inline int largestChannelDifference(const Bitmap& a, const Bitmap& b) {
  if (a.width != b.width || a.height != b.height || a.pixels.size() != b.pixels.size()) return 255;
  int largest = 0;
  for (std::size_t i = 0; i < a.pixels.size(); ++i) largest = std::max(largest, std::abs(a.pixels[i] - b.pixels[i]));
  return largest;
}

enum class InkForm { plain, adobeCMYK, adobeYCCK };

// Flat 16 x 16 blocks, one ink mix each, at full quality: the decoded inks stay within a step or two.
inline foundation::Bytes writeCMYKJPEG(const std::vector<std::array<std::uint8_t, 4>>& blocks, InkForm form) {
  const JDIMENSION width = static_cast<JDIMENSION>(16 * blocks.size());
  std::vector<std::uint8_t> row(std::size_t{width} * 4);
  for (JDIMENSION x = 0; x < width; ++x) std::copy_n(blocks[x / 16].begin(), 4, &row[std::size_t{x} * 4]);
  return encodeWithLibjpeg(width, 16, 4, JCS_CMYK, std::move(row), [form](jpeg_compress_struct& info) {
    jpeg_set_colorspace(&info, form == InkForm::adobeYCCK ? JCS_YCCK : JCS_CMYK);
    // The Adobe marker is what says the inks are stored inverted; without it they are read as written.
    info.write_Adobe_marker = form != InkForm::plain;
    jpeg_set_quality(&info, 100, TRUE);
  });
}

// The RGBA of one pixel.
inline std::vector<std::uint8_t> pixel(const Bitmap& bitmap, std::uint32_t x, std::uint32_t y) {
  const std::uint8_t* p = &bitmap.pixels[(std::size_t{y} * bitmap.width + x) * 4];
  return {p[0], p[1], p[2], p[3]};
}

// A canvas as one letter a pixel, rows joined by '/': k black, r red, g green, b blue, . clear, ? other.
inline std::string letters(const Bitmap& canvas) {
  const std::pair<std::vector<std::uint8_t>, char> names[] = {
      {{0, 0, 0, 0}, '.'}, {{0, 0, 0, 255}, 'k'}, {{255, 0, 0, 255}, 'r'}, {{0, 255, 0, 255}, 'g'},
      {{0, 0, 255, 255}, 'b'}};
  std::string out;
  for (std::uint32_t y = 0; y < canvas.height; ++y) {
    if (y) out += '/';
    for (std::uint32_t x = 0; x < canvas.width; ++x) {
      char c = '?';
      for (const auto& [rgba, name] : names) c = rgba == pixel(canvas, x, y) ? name : c;
      out += c;
    }
  }
  return out;
}

}  // namespace vellum::test
