#include "exif_metadata.hpp"

#include <libexif/exif-data.h>

#include <algorithm>
#include <memory>

#include "image_header.hpp"

namespace vellum {

namespace {

// The payload of the first APP1 segment holding EXIF ("Exif", two NULs, then a TIFF block). Other segments may
// come first (APP0, a comment, quantisation tables, an XMP APP1), so every segment up to the first scan is
// looked at.
std::span<const std::uint8_t> exifPayload(std::span<const std::uint8_t> jpeg) {
  static constexpr std::uint8_t kHeader[] = {'E', 'x', 'i', 'f', 0, 0};
  std::span<const std::uint8_t> found;
  forEachJPEGHeaderSegment(jpeg, [&](const JPEGSegment& segment) {
    if (segment.marker != 0xE1 || segment.payload.size() < sizeof kHeader ||
        !std::equal(std::begin(kHeader), std::end(kHeader), segment.payload.begin())) {
      return true;
    }
    found = segment.payload;
    return false;
  });
  return found;
}

}  // namespace

ExifMetadata readExifMetadata(std::span<const std::uint8_t> jpeg) {
  ExifMetadata metadata;
  const auto payload = exifPayload(jpeg);
  if (payload.empty()) return metadata;
  std::unique_ptr<ExifData, void (*)(ExifData*)> exif(
      exif_data_new_from_data(payload.data(), static_cast<unsigned int>(payload.size())), exif_data_unref);
  if (!exif) return metadata;
  // IFD0 describes the main picture; IFD1's tags (an Orientation among them) are the embedded thumbnail's.
  if (ExifEntry* entry = exif_content_get_entry(exif->ifd[EXIF_IFD_0], EXIF_TAG_ORIENTATION)) {
    if (entry->format == EXIF_FORMAT_SHORT && entry->components >= 1 && entry->data && entry->size >= 2) {
      const int value = exif_get_short(entry->data, exif_data_get_byte_order(exif.get()));
      if (value >= 1 && value <= 8) metadata.orientation = value;
    }
  }
  if (exif->data && exif->size > 0) metadata.thumbnail.emplace(exif->data, exif->data + exif->size);
  return metadata;
}

Bitmap applyOrientation(const Bitmap& bitmap, int orientation) {
  if (orientation <= 1 || orientation > 8) return bitmap;
  const std::uint32_t w = bitmap.width, h = bitmap.height;
  const bool swaps = orientation >= 5;
  Bitmap out{swaps ? h : w, swaps ? w : h, std::vector<std::uint8_t>(bitmap.pixels.size())};
  for (std::uint32_t y = 0; y < h; ++y) {
    for (std::uint32_t x = 0; x < w; ++x) {
      std::uint32_t dx = x, dy = y;
      switch (orientation) {
        case 2: dx = w - 1 - x; break;
        case 3: dx = w - 1 - x; dy = h - 1 - y; break;
        case 4: dy = h - 1 - y; break;
        case 5: dx = y; dy = x; break;
        case 6: dx = h - 1 - y; dy = x; break;
        case 7: dx = h - 1 - y; dy = w - 1 - x; break;
        case 8: dx = y; dy = w - 1 - x; break;
        default: break;
      }
      const std::uint8_t* from = &bitmap.pixels[(std::size_t{y} * w + x) * 4];
      std::uint8_t* to = &out.pixels[(std::size_t{dy} * out.width + dx) * 4];
      std::copy(from, from + 4, to);
    }
  }
  return out;
}

}  // namespace vellum
