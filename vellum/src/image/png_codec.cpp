// PNG through libpng's simplified interface, which converts every colour type and bit depth (16-bit
// included) to 8-bit RGBA and turns libpng's own errors into a failed call.
#include <png.h>

#include <cstring>

#include "vellum/image_codecs.hpp"

namespace vellum {

DecodingResult decodePNG(std::span<const std::uint8_t> data, const DecodingLimits& limits) {
  png_image image;
  std::memset(&image, 0, sizeof image);
  image.version = PNG_IMAGE_VERSION;
  if (data.empty()) return DecodingResult::failure({"empty PNG data"});
  if (!png_image_begin_read_from_memory(&image, data.data(), data.size())) {
    DecodingError error{std::string("PNG header: ") + image.message};
    png_image_free(&image);
    return DecodingResult::failure(std::move(error));
  }
  const std::uint64_t pixels = std::uint64_t{image.width} * image.height;
  if (image.width == 0 || image.height == 0 || pixels > limits.maxPixels) {
    png_image_free(&image);
    return DecodingResult::failure({"PNG dimensions out of range"});
  }
  image.format = PNG_FORMAT_RGBA;
  Bitmap bitmap;
  bitmap.width = image.width;
  bitmap.height = image.height;
  bitmap.pixels.resize(PNG_IMAGE_SIZE(image));
  if (!png_image_finish_read(&image, nullptr, bitmap.pixels.data(), 0, nullptr)) {
    DecodingError error{std::string("PNG data: ") + image.message};
    png_image_free(&image);
    return DecodingResult::failure(std::move(error));
  }
  return DecodingResult::success(std::move(bitmap));
}

std::optional<foundation::Bytes> encodePNG(const Bitmap& bitmap) {
  if (bitmap.width == 0 || bitmap.height == 0 || bitmap.pixels.size() < bitmap.bytesPerRow() * bitmap.height) {
    return std::nullopt;
  }
  png_image image;
  std::memset(&image, 0, sizeof image);
  image.version = PNG_IMAGE_VERSION;
  image.width = bitmap.width;
  image.height = bitmap.height;
  image.format = PNG_FORMAT_RGBA;
  png_alloc_size_t size = 0;
  if (!png_image_write_get_memory_size(image, size, 0, bitmap.pixels.data(), 0, nullptr)) {
    png_image_free(&image);
    return std::nullopt;
  }
  foundation::Bytes out(size);
  if (!png_image_write_to_memory(&image, out.data(), &size, 0, bitmap.pixels.data(), 0, nullptr)) {
    png_image_free(&image);
    return std::nullopt;
  }
  out.resize(size);
  return out;
}

}  // namespace vellum
