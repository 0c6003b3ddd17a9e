#pragma once
// GIFs from bitmaps: colours quantised to at most 255 (giflib's median cut), pixels with alpha below half
// transparent.
#include <optional>
#include <vector>

#include "foundation/bytes.hpp"
#include "vellum/image/image.hpp"

namespace vellum {

std::optional<foundation::Bytes> encodeStillGIF(const Bitmap& bitmap);
// An animation that loops for ever: each frame a whole picture with colours of its own, shown for its
// duration in seconds (rounded to hundredths). None when `durations` does not match `frames`.
std::optional<foundation::Bytes> encodeAnimatedGIF(const std::vector<const Bitmap*>& frames,
                                                   const std::vector<double>& durations);

}  // namespace vellum
