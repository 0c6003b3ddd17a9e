// libFuzzer harness: PNG and JPEG bytes through the decoders that decode at a reduced size (PNG row by row into
// a box-averaged bitmap, JPEG at a DCT scale), for a target side the first two input bytes choose, with limits
// small enough that a hostile header cannot make one run allocate hundreds of megabytes. Whatever decodes is
// a whole bitmap: four bytes for each of its pixels.
#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "vellum/image/image_codecs.hpp"

namespace {
void check(const vellum::DecodingResult& result, const vellum::DecodingLimits& limits) {
  if (!result) return;
  const vellum::Bitmap& bitmap = result.value();
  const std::uint64_t pixels = std::uint64_t{bitmap.width} * bitmap.height;
  if (bitmap.width == 0 || bitmap.height == 0 || pixels > limits.maxPixels || bitmap.pixels.size() != pixels * 4) {
    __builtin_trap();
  }
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  vellum::DecodingLimits limits;
  limits.maxPixels = std::uint64_t{1} << 22;
  limits.maxTotalPixels = std::uint64_t{1} << 24;
  const std::uint32_t side = data[0] | (std::uint32_t{data[1]} << 8);  // 0 included
  const std::span<const std::uint8_t> bytes(data + 2, size - 2);
  const vellum::DecodingResult png = vellum::decodePNGDownscaled(bytes, side, limits);
  check(png, limits);
  // Downscaled, a PNG never comes out larger than the side asked for, unless it decoded whole (interlaced, or
  // already small enough), which a full decode then gives alike.
  if (png && side > 0 && std::max(png.value().width, png.value().height) > side) {
    const vellum::DecodingResult whole = vellum::decodePNG(bytes, limits);
    if (!whole || whole.value().width != png.value().width || whole.value().height != png.value().height) {
      __builtin_trap();
    }
  }
  check(vellum::decodeJPEGDownscaled(bytes, side, limits), limits);
  return 0;
}
