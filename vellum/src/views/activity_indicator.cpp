#include "vellum/views/activity_indicator.hpp"

#include <algorithm>

namespace vellum {

ActivityIndicator::ActivityIndicator()
    : activityIndicatorView_(ProgressIndicator::make(Rect{{0, 0}, {16, 16}})) {
  activityIndicatorView_->setControlSize(ProgressIndicator::ControlSize::regular);
  activityIndicatorView_->setStyle(ProgressIndicator::Style::spinning);
}

void ActivityIndicator::startAnimatingView() {
  if (animatingCount_ == 0) {
    activityIndicatorView_->startAnimation();
    activityIndicatorView_->setHidden(false);
  }
  ++animatingCount_;
}

void ActivityIndicator::stopAnimatingView() {
  int remaining = animatingCount_ - 1;
  animatingCount_ = std::max(remaining, 0);
  if (remaining < 1) {
    activityIndicatorView_->stopAnimation();
    activityIndicatorView_->setHidden(true);
  }
}

}  // namespace vellum
