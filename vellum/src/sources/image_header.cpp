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

std::optional<std::size_t> EncodedImageEnd::find(std::span<const std::uint8_t> data) {
  switch (format_) {
    case ImageFormat::PNG:
      return findPNG(data);
    case ImageFormat::JPEG:
      return findJPEG(data);
    case ImageFormat::GIF:
      return findGIF(data);
    case ImageFormat::unknown:
      break;
  }
  return std::nullopt;
}

std::optional<std::size_t> EncodedImageEnd::findPNG(std::span<const std::uint8_t> data) {
  if (!started_) position_ = 8, started_ = true;  // the signature
  // Chunks: length, type, data, CRC.
  while (position_ + 8 <= data.size()) {
    const std::uint64_t length = be32(&data[position_]);
    if (length > 0x7FFFFFFF) return position_;  // no PNG chunk is that long
    const std::uint64_t next = position_ + 12 + length;
    const bool last = data[position_ + 4] == 'I' && data[position_ + 5] == 'E' && data[position_ + 6] == 'N' &&
                      data[position_ + 7] == 'D';
    if (last) {
      if (next > data.size()) return std::nullopt;
      return static_cast<std::size_t>(next);
    }
    position_ = static_cast<std::size_t>(next);
  }
  return std::nullopt;
}

std::optional<std::size_t> EncodedImageEnd::findJPEG(std::span<const std::uint8_t> data) {
  if (!started_) position_ = 2, started_ = true;  // start of image
  for (;;) {
    if (inside_) {
      // Entropy-coded data: 0xFF is stuffed (FF 00), a restart marker, fill, or the marker after the scan.
      while (position_ < data.size() && data[position_] != 0xFF) ++position_;
      if (position_ + 1 >= data.size()) return std::nullopt;
      const std::uint8_t next = data[position_ + 1];
      if (next == 0xFF) {
        ++position_;
      } else if (next == 0x00 || (next >= 0xD0 && next <= 0xD7)) {
        position_ += 2;
      } else {
        inside_ = false;
      }
      continue;
    }
    // Stray bytes where a marker must be are skipped, as decoders skip them.
    while (position_ < data.size() && data[position_] != 0xFF) ++position_;
    if (position_ + 1 >= data.size()) return std::nullopt;
    if (data[position_ + 1] == 0xFF) {
      ++position_;  // fill before a marker
      continue;
    }
    const std::uint8_t marker = data[position_ + 1];
    if (marker == 0xD9) return position_ + 2;
    if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7)) {
      position_ += 2;
      continue;
    }
    if (position_ + 4 > data.size()) return std::nullopt;
    const std::size_t length = be16(&data[position_ + 2]);
    if (length < 2) return position_;
    position_ += 2 + length;
    inside_ = marker == 0xDA;  // a scan's header is followed by its data
  }
}

std::optional<std::size_t> EncodedImageEnd::findGIF(std::span<const std::uint8_t> data) {
  if (!started_) {
    if (data.size() < 13) return std::nullopt;
    // Header and logical screen descriptor, then the global colour table when the flags say so.
    position_ = 13 + ((data[10] & 0x80) ? 3u << ((data[10] & 7) + 1) : 0u);
    started_ = true;
  }
  for (;;) {
    if (inside_) {
      if (position_ >= data.size()) return std::nullopt;
      const std::size_t size = data[position_];
      position_ += 1 + size;
      if (size == 0) inside_ = false;
      continue;
    }
    if (position_ >= data.size()) return std::nullopt;
    switch (data[position_]) {
      case 0x3B:  // trailer
        return position_ + 1;
      case 0x21:  // extension: introducer and label, then sub-blocks
        if (position_ + 2 > data.size()) return std::nullopt;
        position_ += 2;
        inside_ = true;
        break;
      case 0x2C: {  // image: descriptor, local colour table, LZW code size, then sub-blocks
        if (position_ + 10 > data.size()) return std::nullopt;
        const std::uint8_t flags = data[position_ + 9];
        const std::size_t table = (flags & 0x80) ? 3u << ((flags & 7) + 1) : 0u;
        if (position_ + 10 + table + 1 > data.size()) return std::nullopt;
        position_ += 10 + table + 1;
        inside_ = true;
        break;
      }
      default:
        return position_;  // no block starts so: the image ends here (or is broken)
    }
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
