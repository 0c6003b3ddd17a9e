#include "image_header.hpp"

namespace vellum {
namespace {

std::uint32_t be16(const std::uint8_t* p) { return std::uint32_t{p[0]} << 8 | p[1]; }
std::uint32_t be32(const std::uint8_t* p) { return be16(p) << 16 | be16(p + 2); }

std::optional<DeclaredSize> jpegSize(std::span<const std::uint8_t> data) {
  std::optional<DeclaredSize> size;
  forEachJPEGHeaderSegment(data, [&](const JPEGSegment& segment) {
    const std::uint8_t m = segment.marker;
    const bool startOfFrame = m >= 0xC0 && m <= 0xCF && m != 0xC4 && m != 0xC8 && m != 0xCC;
    if (!startOfFrame) return true;
    // Precision, then height and width.
    if (segment.payload.size() >= 5) size = DeclaredSize{be16(&segment.payload[3]), be16(&segment.payload[1])};
    return false;
  });
  return size;
}

}  // namespace

void forEachJPEGHeaderSegment(std::span<const std::uint8_t> data, const std::function<bool(const JPEGSegment&)>& visit) {
  if (data.size() < 4 || data[0] != 0xFF || data[1] != 0xD8) return;
  std::size_t i = 2;
  while (i + 1 < data.size()) {
    if (data[i] != 0xFF) return;
    // Fill bytes may precede a marker.
    while (i + 1 < data.size() && data[i + 1] == 0xFF) ++i;
    if (i + 1 >= data.size()) return;
    const std::uint8_t marker = data[i + 1];
    i += 2;
    if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7)) continue;  // no length
    if (marker == 0xD9 || marker == 0xDA) return;                         // the end, or the first scan
    if (i + 2 > data.size()) return;
    const std::size_t length = be16(&data[i]);
    if (length < 2 || i + length > data.size()) return;
    if (!visit(JPEGSegment{marker, data.subspan(i + 2, length - 2)})) return;
    i += length;
  }
}

std::optional<DeclaredSize> declaredImageSize(ImageFormat format, std::span<const std::uint8_t> data) {
  switch (format) {
    case ImageFormat::PNG:
      // Signature, then the IHDR chunk: length, type, width, height.
      if (data.size() < 24 || data[12] != 'I' || data[13] != 'H' || data[14] != 'D' || data[15] != 'R') return std::nullopt;
      return DeclaredSize{be32(&data[16]), be32(&data[20])};
    case ImageFormat::GIF:
      if (data.size() < 10) return std::nullopt;
      return DeclaredSize{std::uint32_t{data[6]} | std::uint32_t{data[7]} << 8,
                          std::uint32_t{data[8]} | std::uint32_t{data[9]} << 8};
    case ImageFormat::JPEG:
      return jpegSize(data);
    case ImageFormat::unknown:
      break;
  }
  return std::nullopt;
}

}  // namespace vellum
