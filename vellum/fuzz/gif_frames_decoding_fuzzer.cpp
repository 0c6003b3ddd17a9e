// libFuzzer harness: GIF bytes made into an animated image (frames decoded lazily, up front, or the first
// alone), then played as a player asks for them: in an order the first input bytes choose (forwards, back, the
// same frame again), at full size or fitted into a box. Whatever the order, a frame is what a fresh copy of the
// source decodes for that index alone, and where the whole file also decodes up front, the frame it decoded
// there. Only files whose logical screen is small are taken, so that no run allocates hundreds of megabytes.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>

#include "vellum/image/image_codecs.hpp"

namespace {
bool samePicture(const vellum::ImagePtr& a, const vellum::ImagePtr& b) {
  if (!a || !b) return !a && !b;
  const vellum::Bitmap& x = *a->bitmap();
  const vellum::Bitmap& y = *b->bitmap();
  return x.width == y.width && x.height == y.height && x.pixels == y.pixels;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  constexpr std::size_t kChoices = 8;
  if (size < kChoices + 10) return 0;
  const std::uint8_t* choices = data;
  const std::span<const std::uint8_t> gif(data + kChoices, size - kChoices);
  const std::uint32_t width = gif[6] | (gif[7] << 8), height = gif[8] | (gif[9] << 8);
  if (width == 0 || height == 0 || std::uint64_t{width} * height > (1u << 16)) return 0;

  // Decoded lazily, or up front, or its first frame only: the last two bits of the first choice.
  vellum::ImageCreatingOptions options;
  options.preloadAll = (choices[0] & 3) == 1;
  options.onlyFirstFrame = (choices[0] & 3) == 2;
  const vellum::ImagePtr image = vellum::imageFromData(gif, options);
  if (!image || !image->frameSource()) return 0;
  const auto& source = image->frameSource();
  const std::size_t count = source->frameCount();
  if (!options.onlyFirstFrame && count != image->frameCount()) __builtin_trap();
  if (count == 0) return 0;

  vellum::DecodingLimits limits;
  limits.maxTotalPixels = std::uint64_t{1} << 22;
  const auto eager = vellum::decodeGIF(gif, false, limits);
  for (std::size_t i = 0; i < kChoices; ++i) {
    const std::size_t index = choices[i] % (count + 1);  // one past the end included
    const std::optional<vellum::Size> box =
        choices[i] & 0x80 ? std::optional<vellum::Size>(vellum::Size{double(choices[i] & 0x0F) + 1, 3}) : std::nullopt;
    const vellum::ImagePtr frame = source->frame(index, box);
    const vellum::ImagePtr alone = source->copy()->frame(index, box);
    if (!samePicture(frame, alone)) __builtin_trap();
    (void)source->duration(index);
    if (!box && frame && eager && index < eager.value().size()) {
      const vellum::Bitmap& expected = eager.value()[index].canvas;
      const vellum::Bitmap& got = *frame->bitmap();
      if (expected.width != got.width || expected.height != got.height || expected.pixels != got.pixels) {
        __builtin_trap();
      }
    }
  }
  return 0;
}
