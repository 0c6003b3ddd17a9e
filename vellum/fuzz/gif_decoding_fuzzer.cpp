// libFuzzer harness: GIF bytes through the library's decoder, with limits small enough that a hostile
// header cannot make one run allocate hundreds of megabytes.
#include <cstddef>
#include <cstdint>

#include "vellum/image/image_codecs.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  vellum::DecodingLimits limits;
  limits.maxPixels = std::uint64_t{1} << 22;
  limits.maxTotalPixels = std::uint64_t{1} << 24;
  auto result = vellum::decodeGIF(std::span<const std::uint8_t>(data, size), false, limits);
  (void)result;
  return 0;
}
