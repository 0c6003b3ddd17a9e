#pragma once
// What a photo's EXIF block (libexif) tells a thumbnailer: the orientation tag and the embedded thumbnail.
// Untrusted input: hostile offsets or loops give nothing, never a crash.
#include <cstdint>
#include <optional>
#include <span>

#include "foundation/bytes.hpp"
#include "vellum/image/image.hpp"

namespace vellum {

struct ExifMetadata {
  // 1 to 8 as the tag says; 1 (as stored) when absent or out of range.
  int orientation = 1;
  // The embedded JPEG thumbnail's bytes, when the block carries one.
  std::optional<foundation::Bytes> thumbnail;
};

// Reads the EXIF block of JPEG data: its first APP1 segment holding EXIF, among the segments before the first
// scan.
ExifMetadata readExifMetadata(std::span<const std::uint8_t> jpeg);

// The bitmap as it is meant to be seen under an EXIF orientation (5 to 8 swap width and height).
Bitmap applyOrientation(const Bitmap& bitmap, int orientation);

}  // namespace vellum
