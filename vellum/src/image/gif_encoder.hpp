#pragma once
// One still GIF from a bitmap: colours quantised to at most 255 (giflib's median cut), pixels with alpha
// below half transparent.
#include <optional>

#include "foundation/bytes.hpp"
#include "vellum/image/image.hpp"

namespace vellum {

std::optional<foundation::Bytes> encodeStillGIF(const Bitmap& bitmap);

}  // namespace vellum
