// libFuzzer harness: JPEG bytes through the progressive decoder, delivered in pieces whose sizes the first
// input byte chooses, asking for a picture at every completed scan.
#include <cstddef>
#include <cstdint>

#include "image/progressive_jpeg_decoder.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  vellum::DecodingLimits limits;
  limits.maxPixels = std::uint64_t{1} << 22;
  const std::size_t piece = 1 + data[0] % 97;
  vellum::ProgressiveJPEGDecoder decoder(limits);
  for (std::size_t at = 1; at < size; at += piece) {
    const std::size_t length = size - at < piece ? size - at : piece;
    decoder.append(std::span(data + at, length), [] { return true; }, [](vellum::Bitmap) {});
  }
  return 0;
}
