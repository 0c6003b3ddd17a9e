#pragma once
// GIFs from bitmaps: colours quantised to at most 255 (giflib's median cut), pixels with alpha below half
// transparent.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "foundation/bytes.hpp"
#include "vellum/image/image.hpp"

namespace vellum {

std::optional<foundation::Bytes> encodeStillGIF(const Bitmap& bitmap);
// An animation that loops for ever: each frame a whole picture with colours of its own, shown for its
// duration in seconds (rounded to hundredths). None when `durations` does not match `frames`.
std::optional<foundation::Bytes> encodeAnimatedGIF(const std::vector<const Bitmap*>& frames,
                                                   const std::vector<double>& durations);
// The same with the frames asked for one at a time (only one is held at once) on a `width` x `height`
// screen; none when a frame is missing or larger than the screen.
std::optional<foundation::Bytes> encodeAnimatedGIF(
    std::uint32_t width, std::uint32_t height, std::size_t count,
    const std::function<std::shared_ptr<const Bitmap>(std::size_t)>& frameAt,
    const std::function<double(std::size_t)>& durationAt);

}  // namespace vellum
