#include "vellum/views/activity_indicator.hpp"

namespace vellum {

ActivityIndicator::ActivityIndicator()
    : activityIndicatorView_(ProgressIndicator::make(Rect{{0, 0}, {16, 16}})) {
  activityIndicatorView_->setControlSize(ProgressIndicator::ControlSize::regular);
  activityIndicatorView_->setStyle(ProgressIndicator::Style::spinning);
}

void ActivityIndicator::startAnimatingView() {
  VELLUM_REQUIRE_MAIN_QUEUE();
  if (!loads_.start()) return;
  activityIndicatorView_->startAnimation();
  activityIndicatorView_->setHidden(false);
}

void ActivityIndicator::stopAnimatingView() {
  VELLUM_REQUIRE_MAIN_QUEUE();
  if (!loads_.stop()) return;
  activityIndicatorView_->stopAnimation();
  activityIndicatorView_->setHidden(true);
}

}  // namespace vellum
