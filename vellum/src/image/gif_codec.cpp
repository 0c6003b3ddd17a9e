// GIF through giflib, record by record rather than with DGifSlurp: the slurp allocates every frame's raster
// from the sizes the header claims before reading a byte of it, so a 20-byte file could ask for gigabytes.
// Here each size is checked against the limits first, and frames are composited onto the logical screen
// as they are read.
#include <gif_lib.h>

#include <algorithm>
#include <cmath>
#include <cstring>

#include "vellum/image_codecs.hpp"

namespace vellum {
namespace {

struct MemoryReader {
  const std::uint8_t* data;
  std::size_t size;
  std::size_t position;
};

int readFromMemory(GifFileType* gif, GifByteType* buffer, int length) {
  auto* reader = static_cast<MemoryReader*>(gif->UserData);
  if (length <= 0) return 0;
  const std::size_t n = std::min(static_cast<std::size_t>(length), reader->size - reader->position);
  std::memcpy(buffer, reader->data + reader->position, n);
  reader->position += n;
  return static_cast<int>(n);
}

struct GifCloser {
  void operator()(GifFileType* gif) const {
    int error = 0;
    DGifCloseFile(gif, &error);
  }
};

using GifHandle = std::unique_ptr<GifFileType, GifCloser>;

using GIFResult = foundation::Result<std::vector<GIFFrame>, DecodingError>;

GIFResult fail(std::string reason) { return GIFResult::failure({"GIF: " + std::move(reason)}); }

// Rows of an interlaced frame arrive in four passes.
std::vector<int> rowOrder(int height, bool interlaced) {
  std::vector<int> rows;
  rows.reserve(static_cast<std::size_t>(height));
  if (!interlaced) {
    for (int y = 0; y < height; ++y) rows.push_back(y);
    return rows;
  }
  static constexpr int starts[] = {0, 4, 2, 1};
  static constexpr int steps[] = {8, 8, 4, 2};
  for (int pass = 0; pass < 4; ++pass) {
    for (int y = starts[pass]; y < height; y += steps[pass]) rows.push_back(y);
  }
  return rows;
}

void clearRect(Bitmap& canvas, long left, long top, long width, long height) {
  const long x0 = std::clamp<long>(left, 0, canvas.width), x1 = std::clamp<long>(left + width, 0, canvas.width);
  const long y0 = std::clamp<long>(top, 0, canvas.height), y1 = std::clamp<long>(top + height, 0, canvas.height);
  for (long y = y0; y < y1; ++y) {
    std::uint8_t* row = canvas.pixels.data() + static_cast<std::size_t>(y) * canvas.bytesPerRow();
    std::memset(row + x0 * 4, 0, static_cast<std::size_t>(x1 - x0) * 4);
  }
}

}  // namespace

double gifFrameDuration(std::optional<double> delaySeconds) {
  if (delaySeconds && *delaySeconds > 0.011) return *delaySeconds;
  return 0.1;
}

GIFResult decodeGIF(std::span<const std::uint8_t> data, bool onlyFirstFrame, const DecodingLimits& limits) {
  if (data.empty()) return fail("empty data");
  MemoryReader reader{data.data(), data.size(), 0};
  int error = 0;
  GifHandle gif(DGifOpen(&reader, readFromMemory, &error));
  if (!gif) return fail(GifErrorString(error) ? GifErrorString(error) : "cannot open");

  const std::uint64_t canvasPixels = std::uint64_t(gif->SWidth) * std::uint64_t(gif->SHeight);
  if (gif->SWidth <= 0 || gif->SHeight <= 0 || canvasPixels > limits.maxPixels) {
    return fail("logical screen out of range");
  }
  Bitmap canvas;
  canvas.width = static_cast<std::uint32_t>(gif->SWidth);
  canvas.height = static_cast<std::uint32_t>(gif->SHeight);
  canvas.pixels.assign(canvas.bytesPerRow() * canvas.height, 0);

  std::vector<GIFFrame> frames;
  std::uint64_t keptPixels = 0;
  GraphicsControlBlock control{DISPOSAL_UNSPECIFIED, false, 0, NO_TRANSPARENT_COLOR};
  bool haveControl = false;
  std::vector<GifPixelType> line;

  for (;;) {
    GifRecordType type;
    if (DGifGetRecordType(gif.get(), &type) == GIF_ERROR) return fail("truncated record");
    if (type == TERMINATE_RECORD_TYPE) break;
    if (type == EXTENSION_RECORD_TYPE) {
      int code = 0;
      GifByteType* block = nullptr;
      if (DGifGetExtension(gif.get(), &code, &block) == GIF_ERROR) return fail("bad extension");
      if (code == GRAPHICS_EXT_FUNC_CODE && block && block[0] >= 4) {
        DGifExtensionToGCB(block[0], block + 1, &control);
        haveControl = true;
      }
      while (block) {
        if (DGifGetExtensionNext(gif.get(), &block) == GIF_ERROR) return fail("bad extension block");
      }
      continue;
    }
    if (type != IMAGE_DESC_RECORD_TYPE) return fail("unknown record");

    if (DGifGetImageDesc(gif.get()) == GIF_ERROR) return fail("bad image descriptor");
    const GifImageDesc& desc = gif->Image;
    const std::uint64_t framePixels = std::uint64_t(desc.Width) * std::uint64_t(desc.Height);
    if (desc.Width < 0 || desc.Height < 0 || framePixels > limits.maxPixels) return fail("frame out of range");
    // Each frame costs a canvas kept and a raster decoded (which may be larger than the canvas and clipped):
    // counting the larger bounds both the memory and the decoding work of many-frame files.
    keptPixels += std::max(canvasPixels, framePixels);
    if (keptPixels > limits.maxTotalPixels) return fail("animation too large");
    const ColorMapObject* colors = desc.ColorMap ? desc.ColorMap : gif->SColorMap;
    if (!colors) return fail("no colour table");

    const int disposal = haveControl ? control.DisposalMode : DISPOSAL_UNSPECIFIED;
    const int transparent = haveControl ? control.TransparentColor : NO_TRANSPARENT_COLOR;
    Bitmap previous;
    if (disposal == DISPOSE_PREVIOUS) previous = canvas;

    line.resize(static_cast<std::size_t>(desc.Width));
    for (int y : rowOrder(desc.Height, desc.Interlace)) {
      if (desc.Width > 0 && DGifGetLine(gif.get(), line.data(), desc.Width) == GIF_ERROR) {
        return fail("truncated image data");
      }
      const long canvasY = long(desc.Top) + y;
      if (canvasY < 0 || canvasY >= long(canvas.height)) continue;
      std::uint8_t* row = canvas.pixels.data() + static_cast<std::size_t>(canvasY) * canvas.bytesPerRow();
      for (int x = 0; x < desc.Width; ++x) {
        const long canvasX = long(desc.Left) + x;
        if (canvasX < 0 || canvasX >= long(canvas.width)) continue;
        const int index = line[static_cast<std::size_t>(x)];
        // The transparent colour, and an index past the table, leave what lies underneath.
        if (index == transparent || index >= colors->ColorCount) continue;
        const GifColorType& c = colors->Colors[index];
        std::uint8_t* p = row + canvasX * 4;
        p[0] = c.Red;
        p[1] = c.Green;
        p[2] = c.Blue;
        p[3] = 255;
      }
    }

    std::optional<double> delay;
    if (haveControl) delay = control.DelayTime / 100.0;
    frames.push_back(GIFFrame{canvas, gifFrameDuration(delay)});
    if (onlyFirstFrame) break;

    // Disposal decides what the next frame is drawn over.
    if (disposal == DISPOSE_BACKGROUND) {
      clearRect(canvas, desc.Left, desc.Top, desc.Width, desc.Height);
    } else if (disposal == DISPOSE_PREVIOUS) {
      canvas = std::move(previous);
    }
    control = GraphicsControlBlock{DISPOSAL_UNSPECIFIED, false, 0, NO_TRANSPARENT_COLOR};
    haveControl = false;
  }
  if (frames.empty()) return fail("no frames");
  return GIFResult::success(std::move(frames));
}

std::size_t gifFrameCount(std::span<const std::uint8_t> data) {
  if (data.empty()) return 0;
  MemoryReader reader{data.data(), data.size(), 0};
  int error = 0;
  GifHandle gif(DGifOpen(&reader, readFromMemory, &error));
  if (!gif) return 0;
  std::size_t count = 0;
  for (;;) {
    GifRecordType type;
    if (DGifGetRecordType(gif.get(), &type) == GIF_ERROR || type == TERMINATE_RECORD_TYPE) break;
    GifByteType* block = nullptr;
    if (type == EXTENSION_RECORD_TYPE) {
      int code = 0;
      if (DGifGetExtension(gif.get(), &code, &block) == GIF_ERROR) break;
      while (block) {
        if (DGifGetExtensionNext(gif.get(), &block) == GIF_ERROR) return count;
      }
    } else if (type == IMAGE_DESC_RECORD_TYPE) {
      // Skips the compressed raster block by block without decoding it.
      int codeSize = 0;
      if (DGifGetImageDesc(gif.get()) == GIF_ERROR || DGifGetCode(gif.get(), &codeSize, &block) == GIF_ERROR) break;
      ++count;
      while (block) {
        if (DGifGetCodeNext(gif.get(), &block) == GIF_ERROR) return count;
      }
    } else {
      break;
    }
  }
  return count;
}

}  // namespace vellum
