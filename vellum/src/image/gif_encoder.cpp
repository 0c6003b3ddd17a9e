#include "gif_encoder.hpp"

#include <gif_lib.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <functional>
#include <memory>
#include <vector>

namespace vellum {
namespace {

int appendOutput(GifFileType* file, const GifByteType* bytes, int length) {
  auto* out = static_cast<foundation::Bytes*>(file->UserData);
  out->insert(out->end(), bytes, bytes + length);
  return length;
}

constexpr int kTransparent = 255;

}  // namespace

namespace {

// A picture's colours quantised to at most 255 (index 255 stays free for transparency).
struct Quantized {
  std::vector<GifByteType> indices;
  GifColorType palette[256] = {};
  bool anyTransparent = false;
};

std::optional<Quantized> quantize(const Bitmap& bitmap) {
  const std::size_t count = std::size_t{bitmap.width} * bitmap.height;
  if (count == 0 || bitmap.width > 0xFFFF || bitmap.height > 0xFFFF || bitmap.pixels.size() < count * 4) {
    return std::nullopt;
  }
  Quantized out;
  std::vector<GifByteType> red(count), green(count), blue(count);
  out.indices.resize(count);
  for (std::size_t i = 0; i < count; ++i) {
    red[i] = bitmap.pixels[i * 4];
    green[i] = bitmap.pixels[i * 4 + 1];
    blue[i] = bitmap.pixels[i * 4 + 2];
    out.anyTransparent = out.anyTransparent || bitmap.pixels[i * 4 + 3] < 128;
  }
  int colours = 255;
  if (GifQuantizeBuffer(bitmap.width, bitmap.height, &colours, red.data(), green.data(), blue.data(),
                        out.indices.data(), out.palette) == GIF_ERROR) {
    return std::nullopt;
  }
  // The quantiser works on 5 bits a channel; each entry becomes the mean of the colours it stands for, so
  // that a flat 255 stays 255.
  std::vector<std::array<std::uint64_t, 4>> sums(256, {0, 0, 0, 0});
  for (std::size_t i = 0; i < count; ++i) {
    auto& sum = sums[out.indices[i]];
    sum[0] += red[i], sum[1] += green[i], sum[2] += blue[i], sum[3] += 1;
  }
  for (int i = 0; i < colours; ++i) {
    const auto& sum = sums[i];
    if (sum[3] == 0) continue;
    out.palette[i].Red = static_cast<GifByteType>((sum[0] + sum[3] / 2) / sum[3]);
    out.palette[i].Green = static_cast<GifByteType>((sum[1] + sum[3] / 2) / sum[3]);
    out.palette[i].Blue = static_cast<GifByteType>((sum[2] + sum[3] / 2) / sum[3]);
  }
  if (out.anyTransparent) {
    for (std::size_t i = 0; i < count; ++i) {
      if (bitmap.pixels[i * 4 + 3] < 128) out.indices[i] = kTransparent;
    }
  }
  return out;
}

using ColorMap = std::unique_ptr<ColorMapObject, void (*)(ColorMapObject*)>;

// One image record: its control block (when it has a delay, a disposal or transparency) and its rows.
bool putFrame(GifFileType* file, const Bitmap& bitmap, const Quantized& frame, const ColorMapObject* local,
              int delayCentiseconds, int disposal) {
  if (frame.anyTransparent || delayCentiseconds > 0 || disposal != DISPOSAL_UNSPECIFIED) {
    GraphicsControlBlock control{};
    control.DisposalMode = disposal;
    control.DelayTime = delayCentiseconds;
    control.TransparentColor = frame.anyTransparent ? kTransparent : NO_TRANSPARENT_COLOR;
    GifByteType extension[4];
    const std::size_t length = EGifGCBToExtension(&control, extension);
    if (EGifPutExtension(file, GRAPHICS_EXT_FUNC_CODE, static_cast<int>(length), extension) != GIF_OK) return false;
  }
  if (EGifPutImageDesc(file, 0, 0, static_cast<int>(bitmap.width), static_cast<int>(bitmap.height), false,
                       local) != GIF_OK) {
    return false;
  }
  for (std::uint32_t y = 0; y < bitmap.height; ++y) {
    if (EGifPutLine(file, const_cast<GifByteType*>(frame.indices.data()) + std::size_t{y} * bitmap.width,
                    static_cast<int>(bitmap.width)) != GIF_OK) {
      return false;
    }
  }
  return true;
}

}  // namespace

std::optional<foundation::Bytes> encodeStillGIF(const Bitmap& bitmap) {
  const auto frame = quantize(bitmap);
  if (!frame) return std::nullopt;
  foundation::Bytes out;
  int error = 0;
  GifFileType* file = EGifOpen(&out, appendOutput, &error);
  if (!file) return std::nullopt;
  ColorMap map(GifMakeMapObject(256, frame->palette), GifFreeMapObject);
  bool ok = map != nullptr;
  EGifSetGifVersion(file, true);
  ok = ok && EGifPutScreenDesc(file, static_cast<int>(bitmap.width), static_cast<int>(bitmap.height), 8, 0,
                               map.get()) == GIF_OK;
  ok = ok && putFrame(file, bitmap, *frame, nullptr, 0, DISPOSAL_UNSPECIFIED);
  if (EGifCloseFile(file, &error) != GIF_OK) ok = false;
  if (!ok) return std::nullopt;
  return out;
}

std::optional<foundation::Bytes> encodeAnimatedGIF(const std::vector<const Bitmap*>& frames,
                                                   const std::vector<double>& durations) {
  if (frames.empty() || frames.size() != durations.size()) return std::nullopt;
  std::uint32_t width = 0, height = 0;
  for (const Bitmap* frame : frames) {
    if (!frame) return std::nullopt;
    width = std::max(width, frame->width);
    height = std::max(height, frame->height);
  }
  return encodeAnimatedGIF(
      width, height, frames.size(),
      [&frames](std::size_t i) { return std::shared_ptr<const Bitmap>(std::shared_ptr<void>(), frames[i]); },
      [&durations](std::size_t i) { return durations[i]; });
}

std::optional<foundation::Bytes> encodeAnimatedGIF(
    std::uint32_t width, std::uint32_t height, std::size_t count,
    const std::function<std::shared_ptr<const Bitmap>(std::size_t)>& frameAt,
    const std::function<double(std::size_t)>& durationAt) {
  if (count == 0 || width == 0 || height == 0 || width > 0xFFFF || height > 0xFFFF) return std::nullopt;
  foundation::Bytes out;
  int error = 0;
  GifFileType* file = EGifOpen(&out, appendOutput, &error);
  if (!file) return std::nullopt;
  EGifSetGifVersion(file, true);
  bool ok = EGifPutScreenDesc(file, static_cast<int>(width), static_cast<int>(height), 8, 0, nullptr) == GIF_OK;
  // Loops for ever, as the frames played.
  static const GifByteType application[] = {'N', 'E', 'T', 'S', 'C', 'A', 'P', 'E', '2', '.', '0'};
  static const GifByteType loop[] = {1, 0, 0};
  ok = ok && EGifPutExtensionLeader(file, APPLICATION_EXT_FUNC_CODE) == GIF_OK &&
       EGifPutExtensionBlock(file, sizeof application, application) == GIF_OK &&
       EGifPutExtensionBlock(file, sizeof loop, loop) == GIF_OK && EGifPutExtensionTrailer(file) == GIF_OK;
  for (std::size_t i = 0; ok && i < count; ++i) {
    // One frame quantised at a time, each with its own colours; every frame is a whole picture, so each is
    // cleared away before the next.
    const auto bitmap = frameAt(i);
    const auto frame = bitmap && bitmap->width <= width && bitmap->height <= height ? quantize(*bitmap) : std::nullopt;
    if (!frame) {
      ok = false;
      break;
    }
    ColorMap local(GifMakeMapObject(256, frame->palette), GifFreeMapObject);
    const double duration = durationAt(i);
    const double centiseconds = std::isfinite(duration) ? std::round(duration * 100) : 0;
    ok = local && putFrame(file, *bitmap, *frame, local.get(),
                           static_cast<int>(std::clamp(centiseconds, 0.0, 65535.0)), DISPOSE_BACKGROUND);
  }
  if (EGifCloseFile(file, &error) != GIF_OK) ok = false;
  if (!ok) return std::nullopt;
  return out;
}

}  // namespace vellum
