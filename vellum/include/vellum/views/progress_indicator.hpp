#pragma once
// ProgressIndicator: a headless progress indicator (a bar or a spinner). It records whether it animates and
// how often it was started, which is what a test of a loading indicator looks at.
// Thread rule: main queue only. Lifetime: a shared object, as every view.
#include <memory>

#include "vellum/views/view.hpp"

namespace vellum {

class ProgressIndicator : public View {
 public:
  enum class Style { bar, spinning };
  enum class ControlSize { regular, small, mini, large };

  using View::View;
  static std::shared_ptr<ProgressIndicator> make(Rect frame = {}) {
    return std::make_shared<ProgressIndicator>(frame);
  }

  Style style() const { return style_; }
  void setStyle(Style style) {
    VELLUM_REQUIRE_MAIN_QUEUE();
    style_ = style;
  }
  ControlSize controlSize() const { return controlSize_; }
  void setControlSize(ControlSize size) {
    VELLUM_REQUIRE_MAIN_QUEUE();
    controlSize_ = size;
  }

  // Starting a running indicator, or stopping a stopped one, changes nothing.
  void startAnimation();
  void stopAnimation();
  bool isAnimating() const { return animating_; }
  // How many times the animation went from stopped to running.
  int animationStarts() const { return starts_; }

 private:
  Style style_ = Style::bar;
  ControlSize controlSize_ = ControlSize::regular;
  bool animating_ = false;
  int starts_ = 0;
};

}  // namespace vellum
