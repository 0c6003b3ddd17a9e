#pragma once
// The canvas size an encoded image declares, read from its header without decoding: PNG's IHDR, GIF's
// logical screen, JPEG's first start-of-frame marker. Lets a caller refuse a huge canvas before any decoder
// allocates for it. Untrusted input: none for anything it cannot read.
#include <cstddef>
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

// Where an encoded image ends in a file read piece by piece: after PNG's IEND chunk, JPEG's end-of-image
// marker (found by walking its segments and scanning its entropy-coded data), GIF's trailer. Bytes after it
// (data appended to a photo) are no part of the image and need not be read. Untrusted input: data that is
// no well-formed image ends where it stops making sense.
class EncodedImageEnd {
 public:
  explicit EncodedImageEnd(ImageFormat format) : format_(format) {}
  // Looks further into `data`, the same bytes as the call before with more appended; the offset just past
  // the image once it lies within `data`. Each byte is looked at once over all calls.
  std::optional<std::size_t> find(std::span<const std::uint8_t> data);

 private:
  std::optional<std::size_t> findPNG(std::span<const std::uint8_t> data);
  std::optional<std::size_t> findJPEG(std::span<const std::uint8_t> data);
  std::optional<std::size_t> findGIF(std::span<const std::uint8_t> data);

  ImageFormat format_;
  std::size_t position_ = 0;  // where the next record starts (or the scan goes on)
  bool started_ = false;      // the signature and fixed header are behind `position_`
  bool inside_ = false;       // JPEG: in entropy-coded data; GIF: in a run of sub-blocks
};

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
