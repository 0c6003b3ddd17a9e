// libFuzzer harness: a photo's EXIF block (libexif) and frame headers, as a thumbnail reads them, and the
// orientation applied to a small bitmap, and where each format's image ends.
#include <cstddef>
#include <cstdint>

#include "exif_metadata.hpp"
#include "image_header.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> bytes(data, size);
  const vellum::ExifMetadata exif = vellum::readExifMetadata(bytes);
  const vellum::Bitmap bitmap{3, 2, std::vector<std::uint8_t>(24, 7)};
  (void)vellum::applyOrientation(bitmap, exif.orientation);
  for (auto format : {vellum::ImageFormat::JPEG, vellum::ImageFormat::PNG, vellum::ImageFormat::GIF}) {
    (void)vellum::declaredImageSize(format, bytes);
    // The image's end, found at once and as a file read in two pieces: the two must agree.
    const auto once = vellum::EncodedImageEnd(format).find(bytes);
    vellum::EncodedImageEnd pieces(format);
    auto twice = pieces.find(bytes.first(size / 2));
    if (!twice) twice = pieces.find(bytes);
    if (once != twice || (once && *once > size)) __builtin_trap();
  }
  return 0;
}
