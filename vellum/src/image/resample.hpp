#pragma once
// Redrawing a bitmap at another pixel size (bilinear, in straight-alpha RGBA).
#include <cstdint>
#include <optional>

#include "vellum/image.hpp"

namespace vellum {

std::optional<Bitmap> resample(const Bitmap& source, std::uint32_t width, std::uint32_t height);

}  // namespace vellum
