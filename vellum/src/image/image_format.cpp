#include "vellum/image/image_format.hpp"

#include <algorithm>
#include <array>

namespace vellum {

ImageFormat imageFormat(std::span<const std::uint8_t> data) noexcept {
  if (data.size() < 9) return ImageFormat::unknown;
  static constexpr std::array<std::uint8_t, 8> png{0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A};
  if (std::equal(png.begin(), png.end(), data.begin())) return ImageFormat::PNG;
  if (data[0] == 'G' && data[1] == 'I' && data[2] == 'F') return ImageFormat::GIF;
  if (data[0] == 0xFF && data[1] == 0xD8 && data[2] == 0xFF) return ImageFormat::JPEG;
  return ImageFormat::unknown;
}

}  // namespace vellum
