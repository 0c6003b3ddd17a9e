#include "gif_encoder.hpp"

#include <gif_lib.h>

#include <array>
#include <cstring>
#include <memory>
#include <vector>

namespace vellum {
namespace {

int appendOutput(GifFileType* file, const GifByteType* bytes, int length) {
  auto* out = static_cast<foundation::Bytes*>(file->UserData);
  out->insert(out->end(), bytes, bytes + length);
  return length;
}

}  // namespace

std::optional<foundation::Bytes> encodeStillGIF(const Bitmap& bitmap) {
  const std::size_t count = std::size_t{bitmap.width} * bitmap.height;
  if (count == 0 || bitmap.width > 0xFFFF || bitmap.height > 0xFFFF || bitmap.pixels.size() < count * 4) {
    return std::nullopt;
  }
  std::vector<GifByteType> red(count), green(count), blue(count), indices(count);
  bool anyTransparent = false;
  for (std::size_t i = 0; i < count; ++i) {
    red[i] = bitmap.pixels[i * 4];
    green[i] = bitmap.pixels[i * 4 + 1];
    blue[i] = bitmap.pixels[i * 4 + 2];
    anyTransparent = anyTransparent || bitmap.pixels[i * 4 + 3] < 128;
  }
  // Index 255 stays free for transparency.
  int colours = 255;
  GifColorType palette[256] = {};
  if (GifQuantizeBuffer(bitmap.width, bitmap.height, &colours, red.data(), green.data(), blue.data(), indices.data(),
                        palette) == GIF_ERROR) {
    return std::nullopt;
  }
  // The quantiser works on 5 bits a channel; each entry becomes the mean of the colours it stands for, so
  // that a flat 255 stays 255.
  std::vector<std::array<std::uint64_t, 4>> sums(256, {0, 0, 0, 0});
  for (std::size_t i = 0; i < count; ++i) {
    auto& sum = sums[indices[i]];
    sum[0] += red[i], sum[1] += green[i], sum[2] += blue[i], sum[3] += 1;
  }
  for (int i = 0; i < colours; ++i) {
    const auto& sum = sums[i];
    if (sum[3] == 0) continue;
    palette[i].Red = static_cast<GifByteType>((sum[0] + sum[3] / 2) / sum[3]);
    palette[i].Green = static_cast<GifByteType>((sum[1] + sum[3] / 2) / sum[3]);
    palette[i].Blue = static_cast<GifByteType>((sum[2] + sum[3] / 2) / sum[3]);
  }
  constexpr int kTransparent = 255;
  if (anyTransparent) {
    for (std::size_t i = 0; i < count; ++i) {
      if (bitmap.pixels[i * 4 + 3] < 128) indices[i] = kTransparent;
    }
  }

  foundation::Bytes out;
  int error = 0;
  GifFileType* file = EGifOpen(&out, appendOutput, &error);
  if (!file) return std::nullopt;
  std::unique_ptr<ColorMapObject, void (*)(ColorMapObject*)> map(GifMakeMapObject(256, palette), GifFreeMapObject);
  bool ok = map != nullptr;
  EGifSetGifVersion(file, true);
  ok = ok && EGifPutScreenDesc(file, static_cast<int>(bitmap.width), static_cast<int>(bitmap.height), 8, 0,
                               map.get()) == GIF_OK;
  if (ok && anyTransparent) {
    GraphicsControlBlock control{};
    control.DisposalMode = DISPOSAL_UNSPECIFIED;
    control.TransparentColor = kTransparent;
    GifByteType extension[4];
    const std::size_t length = EGifGCBToExtension(&control, extension);
    ok = EGifPutExtension(file, GRAPHICS_EXT_FUNC_CODE, static_cast<int>(length), extension) == GIF_OK;
  }
  ok = ok && EGifPutImageDesc(file, 0, 0, static_cast<int>(bitmap.width), static_cast<int>(bitmap.height), false,
                              nullptr) == GIF_OK;
  for (std::uint32_t y = 0; ok && y < bitmap.height; ++y) {
    ok = EGifPutLine(file, indices.data() + std::size_t{y} * bitmap.width, static_cast<int>(bitmap.width)) == GIF_OK;
  }
  if (EGifCloseFile(file, &error) != GIF_OK) ok = false;
  if (!ok) return std::nullopt;
  return out;
}

}  // namespace vellum
