// GIF through giflib, record by record rather than with DGifSlurp: the slurp allocates every frame's raster
// from the sizes the header claims before reading a byte of it, so a 20-byte file could ask for gigabytes.
// Here a first walk over the records, which decodes no raster, sizes everything the file will cost; it is
// checked against the limits before any canvas is allocated, and a second walk composites the frames onto
// the logical screen.
#include <gif_lib.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <optional>

#include "image/gif_frame_reader.hpp"
#include "vellum/image/image_codecs.hpp"

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

namespace {

// What a first walk over the records finds, without decoding any raster: enough to size the canvas and to
// know what decoding will cost before anything that size is allocated.
struct Layout {
  std::size_t frames = 0;  // complete frames
  bool intact = true;      // false when the data breaks anywhere but at a record boundary
  long right = 0, bottom = 0;  // extent of all frames
  std::uint64_t largestFrame = 0;
  bool restoresPrevious = false;
  std::vector<std::optional<double>> delays;  // one a frame: its delay field, when it has one
};

// Skips one extension, or one image's compressed blocks; false when the data ends or breaks inside it.
bool skipExtension(GifFileType* gif, GraphicsControlBlock* control, bool* haveControl) {
  int code = 0;
  GifByteType* block = nullptr;
  if (DGifGetExtension(gif, &code, &block) == GIF_ERROR) return false;
  if (control && code == GRAPHICS_EXT_FUNC_CODE && block && block[0] >= 4) {
    DGifExtensionToGCB(block[0], block + 1, control);
    *haveControl = true;
  }
  while (block) {
    if (DGifGetExtensionNext(gif, &block) == GIF_ERROR) return false;
  }
  return true;
}

// The data may end without its trailer byte (downloads cut short often do): after at least one complete
// frame, running out of bytes exactly where the next record would start ends the file.
bool endsAtRecordBoundary(const MemoryReader& reader, std::size_t frames) {
  return frames > 0 && reader.position == reader.size;
}

// Reads the descriptor of the image record that follows. giflib also keeps a copy of every descriptor it has
// read (with its colour table) in SavedImages, growing that array by one realloc a frame; records are read
// one at a time here, so the copy is dropped at once. Memory then stays flat whatever the number of frames,
// and a frame never reallocates an array that another thread (a reader moves between workers) allocated,
// which would wait on that thread's heap.
bool readImageDesc(GifFileType* gif) {
  if (DGifGetImageDesc(gif) == GIF_ERROR) return false;
  GifFreeSavedImages(gif);
  gif->SavedImages = nullptr;
  gif->ImageCount = 0;
  return true;
}

// Walks the records of an opened file, up to `stopAfter` frames.
Layout readLayout(GifFileType* gif, const MemoryReader& reader, std::size_t stopAfter) {
  Layout layout;
  auto broken = [&layout] {
    layout.intact = false;
    return layout;
  };
  bool pendingPrevious = false;
  std::optional<double> pendingDelay;
  while (layout.frames < stopAfter) {
    if (endsAtRecordBoundary(reader, layout.frames)) break;
    GifRecordType type;
    if (DGifGetRecordType(gif, &type) == GIF_ERROR) return broken();
    if (type == TERMINATE_RECORD_TYPE) break;
    if (type == EXTENSION_RECORD_TYPE) {
      GraphicsControlBlock control{DISPOSAL_UNSPECIFIED, false, 0, NO_TRANSPARENT_COLOR};
      bool haveControl = false;
      if (!skipExtension(gif, &control, &haveControl)) return broken();
      if (haveControl) {
        pendingPrevious = control.DisposalMode == DISPOSE_PREVIOUS;
        pendingDelay = control.DelayTime / 100.0;
      }
      continue;
    }
    if (type != IMAGE_DESC_RECORD_TYPE || !readImageDesc(gif)) return broken();
    const GifImageDesc& desc = gif->Image;
    if (desc.Width < 0 || desc.Height < 0) return broken();
    int codeSize = 0;
    GifByteType* block = nullptr;
    if (DGifGetCode(gif, &codeSize, &block) == GIF_ERROR) return broken();
    while (block) {
      if (DGifGetCodeNext(gif, &block) == GIF_ERROR) return broken();
    }
    ++layout.frames;
    layout.right = std::max(layout.right, long(desc.Left) + desc.Width);
    layout.bottom = std::max(layout.bottom, long(desc.Top) + desc.Height);
    layout.largestFrame = std::max(layout.largestFrame, std::uint64_t(desc.Width) * std::uint64_t(desc.Height));
    layout.restoresPrevious = layout.restoresPrevious || pendingPrevious;
    layout.delays.push_back(pendingDelay);
    pendingPrevious = false;
    pendingDelay.reset();
  }
  return layout;
}

GifHandle open(MemoryReader& reader, int* error) { return GifHandle(DGifOpen(&reader, readFromMemory, error)); }

// The pixels of the canvas rectangle a frame covers, to put back when the frame is disposed to previous.
struct SavedRect {
  long x0 = 0, y0 = 0, x1 = 0, y1 = 0;
  std::vector<std::uint8_t> pixels;
};

SavedRect saveRect(const Bitmap& canvas, long left, long top, long width, long height) {
  SavedRect saved{std::clamp<long>(left, 0, canvas.width), std::clamp<long>(top, 0, canvas.height),
                  std::clamp<long>(left + width, 0, canvas.width), std::clamp<long>(top + height, 0, canvas.height), {}};
  const std::size_t rowBytes = static_cast<std::size_t>(saved.x1 - saved.x0) * 4;
  saved.pixels.reserve(rowBytes * static_cast<std::size_t>(saved.y1 - saved.y0));
  for (long y = saved.y0; y < saved.y1; ++y) {
    const std::uint8_t* row = canvas.pixels.data() + static_cast<std::size_t>(y) * canvas.bytesPerRow() + saved.x0 * 4;
    saved.pixels.insert(saved.pixels.end(), row, row + rowBytes);
  }
  return saved;
}

void restoreRect(Bitmap& canvas, const SavedRect& saved) {
  const std::size_t rowBytes = static_cast<std::size_t>(saved.x1 - saved.x0) * 4;
  if (rowBytes == 0) return;
  for (long y = saved.y0; y < saved.y1; ++y) {
    std::memcpy(canvas.pixels.data() + static_cast<std::size_t>(y) * canvas.bytesPerRow() + saved.x0 * 4,
                saved.pixels.data() + static_cast<std::size_t>(y - saved.y0) * rowBytes, rowBytes);
  }
}

}  // namespace

struct GIFFrameReader::State {
  std::shared_ptr<const foundation::Bytes> data;
  MemoryReader reader{nullptr, 0, 0};
  GifHandle gif;
  // Walked once by open(); readers made from this one by another() share it.
  std::shared_ptr<const Layout> layout;
  long width = 0, height = 0;
  Bitmap canvas;
  std::size_t next = 0;  // index of the frame next() composites
  bool broken = false;   // the last next() failed
  std::vector<GifPixelType> line;
  // How the frame on the canvas is disposed of before the next one is drawn.
  int disposal = DISPOSAL_UNSPECIFIED;
  long left = 0, top = 0, frameWidth = 0, frameHeight = 0;
  SavedRect previous;
};

GIFFrameReader::GIFFrameReader() : state_(std::make_unique<State>()) {}
GIFFrameReader::~GIFFrameReader() = default;

foundation::Result<std::unique_ptr<GIFFrameReader>, DecodingError> GIFFrameReader::open(
    std::shared_ptr<const foundation::Bytes> data, std::size_t stopAfter, const DecodingLimits& limits) {
  using R = foundation::Result<std::unique_ptr<GIFFrameReader>, DecodingError>;
  auto failure = [](std::string reason) { return R::failure({"GIF: " + std::move(reason)}); };
  if (!data || data->empty()) return failure("empty data");
  std::unique_ptr<GIFFrameReader> self(new GIFFrameReader());
  State& st = *self->state_;
  st.data = std::move(data);
  st.reader = MemoryReader{st.data->data(), st.data->size(), 0};
  int error = 0;
  st.gif = vellum::open(st.reader, &error);
  if (!st.gif) return failure(GifErrorString(error) ? GifErrorString(error) : "cannot open");
  st.layout = std::make_shared<const Layout>(readLayout(st.gif.get(), st.reader, stopAfter));
  const Layout& layout = *st.layout;
  if (!layout.intact) return failure("truncated or damaged data");
  if (layout.frames == 0) return failure("no frames");

  // A logical screen of 0 (some encoders write it) takes its size from the frames.
  st.width = st.gif->SWidth > 0 ? long(st.gif->SWidth) : layout.right;
  st.height = st.gif->SHeight > 0 ? long(st.gif->SHeight) : layout.bottom;
  const std::uint64_t canvasPixels = self->canvasPixels();
  if (st.width <= 0 || st.height <= 0 || st.width > 65535 || st.height > 65535 || canvasPixels > limits.maxPixels) {
    return failure("logical screen out of range");
  }
  // A frame's raster is decoded even where it falls outside the canvas: bound that work too.
  if (layout.largestFrame > limits.maxPixels) return failure("frame out of range");
  // The canvas, and what a dispose-to-previous frame covers, are held while frames are read.
  const std::uint64_t held = 1 + (layout.restoresPrevious ? 1 : 0);
  if (held > limits.maxTotalPixels / canvasPixels) return failure("animation too large");
  if (!self->rewind()) return failure("cannot open");
  return R::success(std::move(self));
}

std::unique_ptr<GIFFrameReader> GIFFrameReader::another() const {
  std::unique_ptr<GIFFrameReader> copy(new GIFFrameReader());
  State& st = *copy->state_;
  st.data = state_->data;
  st.reader = MemoryReader{st.data->data(), st.data->size(), 0};
  st.layout = state_->layout;
  st.width = state_->width;
  st.height = state_->height;
  if (!copy->rewind()) return nullptr;
  return copy;
}

std::size_t GIFFrameReader::frameCount() const { return state_->layout->frames; }

bool GIFFrameReader::restoresPrevious() const { return state_->layout->restoresPrevious; }

std::uint64_t GIFFrameReader::canvasPixels() const {
  return std::uint64_t(std::max(state_->width, 0L)) * std::uint64_t(std::max(state_->height, 0L));
}

double GIFFrameReader::duration(std::size_t index) const {
  const auto& delays = state_->layout->delays;
  return index < delays.size() ? gifFrameDuration(delays[index]) : 0.0;
}

std::size_t GIFFrameReader::nextIndex() const { return state_->next; }

bool GIFFrameReader::broken() const { return state_->broken; }

const Bitmap& GIFFrameReader::canvas() const { return state_->canvas; }

Bitmap GIFFrameReader::takeCanvas() { return std::move(state_->canvas); }

bool GIFFrameReader::rewind() {
  State& st = *state_;
  st.reader.position = 0;
  int error = 0;
  st.gif = vellum::open(st.reader, &error);
  st.next = 0;
  st.broken = false;
  st.disposal = DISPOSAL_UNSPECIFIED;
  // The canvas is cleared (or first made) by the first frame: a caller that refuses the file after opening
  // it has paid for no canvas.
  st.canvas.pixels.clear();
  return st.gif != nullptr;
}

std::optional<DecodingError> GIFFrameReader::next() {
  State& st = *state_;
  auto failure = [&st](std::string reason) {
    // A broken record leaves the file position undefined: only a rewind reads on.
    st.next = st.layout->frames;
    st.broken = true;
    return DecodingError{"GIF: " + std::move(reason)};
  };
  if (!st.gif || st.next >= st.layout->frames) return failure("no more frames");
  if (st.next == 0) {
    st.canvas.width = static_cast<std::uint32_t>(st.width);
    st.canvas.height = static_cast<std::uint32_t>(st.height);
    st.canvas.pixels.assign(st.canvas.bytesPerRow() * st.canvas.height, 0);
  }
  if (st.next > 0) {
    if (st.disposal == DISPOSE_BACKGROUND) {
      clearRect(st.canvas, st.left, st.top, st.frameWidth, st.frameHeight);
    } else if (st.disposal == DISPOSE_PREVIOUS) {
      restoreRect(st.canvas, st.previous);
    }
    st.disposal = DISPOSAL_UNSPECIFIED;
  }
  GraphicsControlBlock control{DISPOSAL_UNSPECIFIED, false, 0, NO_TRANSPARENT_COLOR};
  bool haveControl = false;
  for (;;) {
    GifRecordType type;
    if (DGifGetRecordType(st.gif.get(), &type) == GIF_ERROR) return failure("truncated record");
    if (type == EXTENSION_RECORD_TYPE) {
      if (!skipExtension(st.gif.get(), &control, &haveControl)) return failure("bad extension");
      continue;
    }
    if (type != IMAGE_DESC_RECORD_TYPE || !readImageDesc(st.gif.get())) {
      return failure("bad image descriptor");
    }
    break;
  }
  const GifImageDesc& desc = st.gif->Image;
  const ColorMapObject* colors = desc.ColorMap ? desc.ColorMap : st.gif->SColorMap;
  if (!colors) return failure("no colour table");
  Bitmap& canvas = st.canvas;

  const int disposal = haveControl ? control.DisposalMode : DISPOSAL_UNSPECIFIED;
  const int transparent = haveControl ? control.TransparentColor : NO_TRANSPARENT_COLOR;
  const bool last = st.next + 1 == st.layout->frames;
  if (disposal == DISPOSE_PREVIOUS && !last) {
    st.previous = saveRect(canvas, desc.Left, desc.Top, desc.Width, desc.Height);
  }
  st.disposal = last ? DISPOSAL_UNSPECIFIED : disposal;
  st.left = desc.Left;
  st.top = desc.Top;
  st.frameWidth = desc.Width;
  st.frameHeight = desc.Height;

  st.line.resize(static_cast<std::size_t>(desc.Width));
  for (int y : rowOrder(desc.Height, desc.Interlace)) {
    if (desc.Width > 0 && DGifGetLine(st.gif.get(), st.line.data(), desc.Width) == GIF_ERROR) {
      return failure("truncated image data");
    }
    const long canvasY = long(desc.Top) + y;
    if (canvasY < 0 || canvasY >= long(canvas.height)) continue;
    std::uint8_t* row = canvas.pixels.data() + static_cast<std::size_t>(canvasY) * canvas.bytesPerRow();
    for (int x = 0; x < desc.Width; ++x) {
      const long canvasX = long(desc.Left) + x;
      if (canvasX < 0 || canvasX >= long(canvas.width)) continue;
      const int index = st.line[static_cast<std::size_t>(x)];
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
  // giflib moves past a frame's compressed blocks only when its last line is read: a frame of no pixels
  // reads no line, so its blocks are skipped here, or the next record would be read from inside them.
  if (desc.Width == 0 || desc.Height == 0) {
    int codeSize = 0;
    GifByteType* block = nullptr;
    if (DGifGetCode(st.gif.get(), &codeSize, &block) == GIF_ERROR) return failure("truncated image data");
    while (block) {
      if (DGifGetCodeNext(st.gif.get(), &block) == GIF_ERROR) return failure("truncated image data");
    }
  }
  ++st.next;
  return std::nullopt;
}

GIFResult decodeGIF(std::span<const std::uint8_t> data, bool onlyFirstFrame, const DecodingLimits& limits) {
  if (data.empty()) return fail("empty data");
  const std::size_t wanted = onlyFirstFrame ? 1 : std::numeric_limits<std::size_t>::max();
  auto opened = GIFFrameReader::open(std::make_shared<const foundation::Bytes>(data.begin(), data.end()), wanted,
                                     limits);
  if (!opened) return GIFResult::failure(opened.error());
  GIFFrameReader& reader = *opened.value();
  // Every canvas held at once: one per frame kept, the one being drawn on while more frames follow, and
  // what a dispose-to-previous frame covered; and each kept frame's own bookkeeping, in pixels' worth, so
  // that many tiny frames count for what they hold.
  const std::uint64_t frames = reader.frameCount();
  const std::uint64_t canvases = frames + (frames > 1 ? 1 : 0) + (frames > 1 && reader.restoresPrevious() ? 1 : 0);
  constexpr std::uint64_t kOverheadPixels = (Image::kFrameOverheadBytes + 3) / 4;
  if (canvases > limits.maxTotalPixels / (reader.canvasPixels() + kOverheadPixels)) return fail("animation too large");

  std::vector<GIFFrame> decoded;
  decoded.reserve(reader.frameCount());
  while (decoded.size() < reader.frameCount()) {
    const std::size_t index = reader.nextIndex();
    if (auto error = reader.next()) return GIFResult::failure(*error);
    if (index + 1 == reader.frameCount()) {
      decoded.push_back(GIFFrame{reader.takeCanvas(), reader.duration(index)});
      break;
    }
    decoded.push_back(GIFFrame{reader.canvas(), reader.duration(index)});
  }
  return GIFResult::success(std::move(decoded));
}

std::size_t gifFrameCount(std::span<const std::uint8_t> data) {
  if (data.empty()) return 0;
  MemoryReader reader{data.data(), data.size(), 0};
  int error = 0;
  GifHandle gif = open(reader, &error);
  if (!gif) return 0;
  return readLayout(gif.get(), reader, std::numeric_limits<std::size_t>::max()).frames;
}

}  // namespace vellum
