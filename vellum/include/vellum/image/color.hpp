#pragma once
// Color: an 8-bit RGBA colour (straight alpha), the colour argument of the image processors.
//
// Example:
//   vellum::Color red{255, 0, 0, 255};
//   std::string hex = red.hex();   // "#FF0000FF"
#include <cstdint>
#include <string>

namespace vellum {

struct Color {
  std::uint8_t red = 0;
  std::uint8_t green = 0;
  std::uint8_t blue = 0;
  std::uint8_t alpha = 255;

  // "#RRGGBBAA", upper-case: the colour as processor identifiers write it.
  std::string hex() const;
  friend bool operator==(const Color&, const Color&) = default;
};

}  // namespace vellum
