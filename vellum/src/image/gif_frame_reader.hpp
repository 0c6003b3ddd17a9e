#pragma once
// GIFFrameReader: GIF frames composited one after the other onto one canvas. Reading frame n after frame
// n - 1 costs one frame; going back means starting over from the first. What it holds at once is the canvas
// and, for a dispose-to-previous frame, the area it covers, whatever the number of frames.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>

#include "foundation/bytes.hpp"
#include "foundation/result.hpp"
#include "vellum/image/image_codecs.hpp"

namespace vellum {

class GIFFrameReader {
 public:
  // Walks the records once without decoding any raster (up to `stopAfter` frames) and checks the canvas and
  // frame sizes against the limits before anything that size is allocated.
  static foundation::Result<std::unique_ptr<GIFFrameReader>, DecodingError> open(
      std::shared_ptr<const foundation::Bytes> data, std::size_t stopAfter = SIZE_MAX,
      const DecodingLimits& limits = {});
  ~GIFFrameReader();
  // A reader of its own over the same data, before its first frame, that shares what open() learned: the
  // records are not walked again. Null when the data cannot be reopened.
  std::unique_ptr<GIFFrameReader> another() const;

  std::size_t frameCount() const;
  // Seconds, by gifFrameDuration.
  double duration(std::size_t index) const;
  bool restoresPrevious() const;
  std::uint64_t canvasPixels() const;

  // Index of the frame next() composites; frameCount() once every frame was read or a frame broke.
  std::size_t nextIndex() const;
  // Composites frame nextIndex() onto the canvas. After an error only rewind() reads on.
  std::optional<DecodingError> next();
  // Whether the last next() failed (until rewind()): the canvas then shows no frame, only as far as the broken
  // one was drawn, although nextIndex() is past the last frame as after reading them all.
  bool broken() const;
  // The canvas as the frame last composited shows.
  const Bitmap& canvas() const;
  Bitmap takeCanvas();
  // Back to before the first frame, with a clear canvas; false when the data cannot be reopened.
  bool rewind();

 private:
  GIFFrameReader();
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace vellum
