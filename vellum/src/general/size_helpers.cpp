#include "vellum/general/size_helpers.hpp"

#include <algorithm>
#include <cmath>

namespace vellum {
namespace {

double aspectRatio(Size base) { return base.height == 0 ? 1.0 : base.width / base.height; }
// std::round rounds halves away from zero.
double aspectWidth(Size base, Size size) {
  return base.height == 0 ? std::round(size.height) : std::round(size.height * aspectRatio(base));
}
double aspectHeight(Size base, Size size) { return std::round(size.width / aspectRatio(base)); }

}  // namespace

Rect intersection(const Rect& a, const Rect& b) {
  if (a.isNull() || b.isNull()) return Rect::nullRect();
  const double x0 = std::max(a.minX(), b.minX()), x1 = std::min(a.maxX(), b.maxX());
  const double y0 = std::max(a.minY(), b.minY()), y1 = std::min(a.maxY(), b.maxY());
  if (x1 < x0 || y1 < y0) return Rect::nullRect();
  return Rect{{x0, y0}, {x1 - x0, y1 - y0}};
}

Size constrained(Size base, Size size) {
  const double w = aspectWidth(base, size);
  if (size.width < w) return {size.width, aspectHeight(base, size)};
  return {w, size.height};
}

Size filling(Size base, Size size) {
  const double w = aspectWidth(base, size);
  if (w < size.width) return {size.width, aspectHeight(base, size)};
  return {w, size.height};
}

Size resize(Size base, Size size, ContentMode mode) {
  switch (mode) {
    case ContentMode::none:
      return size;
    case ContentMode::aspectFit:
      return constrained(base, size);
    case ContentMode::aspectFill:
      return filling(base, size);
  }
  return size;
}

Rect constrainedRect(Size base, Size size, Point anchor) {
  auto clamp01 = [](double v) { return v <= 0 ? 0.0 : (v > 1 ? 1.0 : v); };
  anchor = {clamp01(anchor.x), clamp01(anchor.y)};
  const Rect crop{{(base.width - size.width) * anchor.x, (base.height - size.height) * anchor.y}, size};
  return intersection(crop, Rect{{0, 0}, base});
}

RoundedRectPath RoundedRectPath::make(Rect r, RectCorner corners, double radius) {
  RoundedRectPath path;
  if (r.isEmpty()) return path;
  const double cap = std::min(r.maxX() - r.minX(), r.maxY() - r.minY()) / 2;
  auto cornerRadius = [&](int corner) {
    const double value = corners.contains(corner) && radius >= 0 ? radius : 0.0;
    return std::min(value, cap);
  };
  using K = PathElement::Kind;
  path.elements_.push_back({K::moveTo, {r.midX(), r.maxY()}, {}, 0});
  path.elements_.push_back({K::arcTo, {r.minX(), r.maxY()}, {r.minX(), r.minY()}, cornerRadius(RectCorner::topLeft)});
  path.elements_.push_back(
      {K::arcTo, {r.minX(), r.minY()}, {r.maxX(), r.minY()}, cornerRadius(RectCorner::bottomLeft)});
  path.elements_.push_back(
      {K::arcTo, {r.maxX(), r.minY()}, {r.maxX(), r.maxY()}, cornerRadius(RectCorner::bottomRight)});
  path.elements_.push_back({K::arcTo, {r.maxX(), r.maxY()}, {r.minX(), r.maxY()}, cornerRadius(RectCorner::topRight)});
  path.elements_.push_back({K::close, {}, {}, 0});
  return path;
}

}  // namespace vellum
