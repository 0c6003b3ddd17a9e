#pragma once
// The canvas size an encoded image declares, read from its header without decoding: PNG's IHDR, GIF's
// logical screen, JPEG's first start-of-frame marker. Lets a caller refuse a huge canvas before any decoder
// allocates for it. Untrusted input: none for anything it cannot read.
#include <cstdint>
#include <optional>
#include <span>

#include "vellum/image/image_format.hpp"

namespace vellum {

struct DeclaredSize {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
};

std::optional<DeclaredSize> declaredImageSize(ImageFormat format, std::span<const std::uint8_t> data);

}  // namespace vellum
