#pragma once
// The canvas size an encoded image declares, read from its header without decoding: PNG's IHDR, GIF's
// logical screen, JPEG's first start-of-frame marker. Lets a caller refuse a huge canvas before any decoder
// allocates for it. Untrusted input: none for anything it cannot read.
#include <cstdint>
#include <functional>
#include <optional>
#include <span>

#include "vellum/image/image_format.hpp"

namespace vellum {

struct DeclaredSize {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
};

std::optional<DeclaredSize> declaredImageSize(ImageFormat format, std::span<const std::uint8_t> data);

// One marker segment of a JPEG's header: its marker and its payload (what follows the length field).
struct JPEGSegment {
  std::uint8_t marker = 0;
  std::span<const std::uint8_t> payload;
};

// Calls `visit` with each marker segment of JPEG data before its first scan, in file order, until `visit`
// answers false. The walk ends quietly at the first scan, the end marker, or anything that is no well-formed
// segment (a length running past the data among them).
void forEachJPEGHeaderSegment(std::span<const std::uint8_t> data, const std::function<bool(const JPEGSegment&)>& visit);

}  // namespace vellum
