#include "vellum/views/progress_indicator.hpp"

namespace vellum {

void ProgressIndicator::startAnimation() {
  VELLUM_REQUIRE_MAIN_QUEUE();
  if (animating_) return;
  animating_ = true;
  ++starts_;
}

void ProgressIndicator::stopAnimation() {
  VELLUM_REQUIRE_MAIN_QUEUE();
  animating_ = false;
}

}  // namespace vellum
