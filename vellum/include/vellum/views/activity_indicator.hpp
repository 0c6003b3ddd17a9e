#pragma once
// ActivityIndicator: a 16 x 16 spinner that counts overlapping loads: each start adds one, each stop takes
// one away, and it spins while the count is above zero. An extra stop leaves the count at zero.
// Thread rule: main queue only.
#include <memory>

#include "vellum/views/indicator.hpp"
#include "vellum/views/progress_indicator.hpp"

namespace vellum {

class ActivityIndicator final : public Indicator {
 public:
  // REQUIRES: on the main queue.
  ActivityIndicator();

  // REQUIRES: on the main queue (both).
  void startAnimatingView() override;
  void stopAnimatingView() override;
  Point centerOffset() const override { return {}; }
  std::shared_ptr<View> view() const override { return activityIndicatorView_; }
  IndicatorSizeStrategy sizeStrategy(const ImageView&) const override { return IndicatorSizeStrategy::intrinsicSize(); }

  const std::shared_ptr<ProgressIndicator>& activityIndicatorView() const { return activityIndicatorView_; }
  int animatingCount() const { return loads_.value(); }

 private:
  std::shared_ptr<ProgressIndicator> activityIndicatorView_;
  IndicatorLoadCount loads_;
};

}  // namespace vellum
