#pragma once
// Plain geometry values in points (or pixels where a name says so). The y axis points up.
#include <algorithm>

namespace vellum {

struct Point {
  double x = 0;
  double y = 0;
  friend bool operator==(const Point&, const Point&) = default;
};

struct Size {
  double width = 0;
  double height = 0;
  friend bool operator==(const Size&, const Size&) = default;
};

struct Rect {
  Point origin;
  Size size;

  double minX() const { return std::min(origin.x, origin.x + size.width); }
  double maxX() const { return std::max(origin.x, origin.x + size.width); }
  double minY() const { return std::min(origin.y, origin.y + size.height); }
  double maxY() const { return std::max(origin.y, origin.y + size.height); }
  double midX() const { return (minX() + maxX()) / 2; }
  double midY() const { return (minY() + maxY()) / 2; }
  // No area (a zero or negative extent), or the null rectangle.
  bool isEmpty() const { return isNull() || size.width == 0 || size.height == 0; }
  bool isNull() const { return null; }

  // The rectangle of no place at all: what an intersection of two rectangles that do not meet gives.
  static Rect nullRect() {
    Rect r;
    r.null = true;
    return r;
  }
  friend bool operator==(const Rect&, const Rect&) = default;

  bool null = false;
};

// The overlap of two rectangles; the null rectangle when they do not meet.
Rect intersection(const Rect& a, const Rect& b);

}  // namespace vellum
