#pragma once
// ImageTransition: how a view shows a newly set image. The options only store it.
namespace vellum {

struct ImageTransition {
  enum class Kind { none, fade };
  Kind kind = Kind::none;
  double duration = 0;  // seconds, for `fade`

  static ImageTransition none() { return {}; }
  static ImageTransition fade(double seconds) { return {Kind::fade, seconds}; }
  friend bool operator==(const ImageTransition&, const ImageTransition&) = default;
};

}  // namespace vellum
