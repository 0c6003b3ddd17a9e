#pragma once
// Geometry for processors that resize, crop and round images.
//
// Example:
//   vellum::Size fit = vellum::constrained({200, 100}, {100, 100});   // {100, 50}: fits inside
//   vellum::Size cover = vellum::filling({200, 100}, {100, 100});     // {200, 100}: covers
//   auto path = vellum::RoundedRectPath::make({{0, 0}, {100, 40}}, vellum::RectCorner{vellum::RectCorner::all}, 8);
#include <vector>

#include "vellum/general/geometry.hpp"

namespace vellum {

enum class ContentMode { none, aspectFit, aspectFill };

// A set of corners.
struct RectCorner {
  int rawValue = 0;
  static constexpr int topLeft = 1;
  static constexpr int topRight = 2;
  static constexpr int bottomLeft = 4;
  static constexpr int bottomRight = 8;
  static constexpr int all = 15;
  bool contains(int corner) const { return (rawValue & corner) == corner; }
};

// The largest size with `base`'s aspect ratio that fits inside `size`.
Size constrained(Size base, Size size);
// The smallest size with `base`'s aspect ratio that covers `size`.
Size filling(Size base, Size size);
// `size` itself for `none`, else constrained or filling.
Size resize(Size base, Size size, ContentMode mode);
// Where a crop of `size` lies inside `base` for an anchor (each coordinate clamped to 0...1).
Rect constrainedRect(Size base, Size size, Point anchor);

// A drawing path (not a file path): moves, lines, tangent arcs and a close, in the order drawn.
struct PathElement {
  enum class Kind { moveTo, arcTo, close };
  Kind kind = Kind::moveTo;
  Point point;       // moveTo: the point; arcTo: the corner the arc turns at
  Point toward;      // arcTo: the point the second tangent heads for
  double radius = 0; // arcTo
  friend bool operator==(const PathElement&, const PathElement&) = default;
};

class RoundedRectPath {
 public:
  // A rectangle with the corners in `corners` rounded by `radius` (a negative radius squares them), each
  // radius capped at half the shorter side. An empty rectangle gives an empty path.
  static RoundedRectPath make(Rect rect, RectCorner corners, double radius);

  const std::vector<PathElement>& elements() const { return elements_; }
  bool isEmpty() const { return elements_.empty(); }

 private:
  std::vector<PathElement> elements_;
};

}  // namespace vellum
